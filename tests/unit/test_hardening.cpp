// Regression tests for faults that fuzzing found: each input, as small as it was found, must be
// refused quickly with a message and status 1.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>

#include "bcor_fixture.hpp"
#include "bgen_writer.hpp"
#include "corvane.hpp"
#include "death_test.hpp"
#include "fatal.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace {

std::string scratchFile(const std::string& test, const std::string& content) {
  const std::string path = testutil::scratchDir("hardening_" + test) + "/input";
  testutil::writeFile(path, content);
  return path;
}

void openBgen(const std::string& path) {
  BgenParser parser;
  parser.print_errors = true;
  parser.open(path);
}

// A BGEN header of 113 bytes that declares 16.7 million samples and no variant: the sample set
// was built from the declared count before anything bounded it (seconds and gigabytes per thread;
// 2^31 - 1 samples ran out of memory).
TEST(HardeningBgen, HugeSampleCountWithoutVariantsIsRefusedAtOnce) {
  testdata::Bytes bytes;
  bytes.u32(20).u32(20).u32(0).u32(0x00ff0000u).raw(std::string(4, '\0')).u32(0x8);
  bytes.zeros(113 - bytes.size());
  const std::string path = scratchFile("huge_samples", bytes.str());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FATAL(openBgen(path), "Error: File '.*input' is corrupt: its header declares 16711680 samples, more than a file of 113 bytes can hold!");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// One byte flipped in a BGEN header's variant count (0xFF000004 variants in a file of one): the
// run sized its workload table by the declared count, 34 GB, before scanning the variants.
TEST(HardeningBgen, VariantCountBeyondTheFileIsRefusedBeforeAnyTableIsSized) {
  const std::string dir = testutil::scratchDir("hardening_variant_count");
  const std::string path = dir + "/one.bgen";
  {
    testdata::BgenWriter writer(path, 3);
    testdata::BgenVariantId id;
    id.rsid = "rs1";
    id.position = 100;
    writer.addVariantDosages(id, {0.0, 1.0, 2.0});
    writer.close();
  }
  std::string bytes = testutil::readFile(path);
  bytes[11] = static_cast<char>(0xFF);
  testutil::writeFile(path, bytes);

  testutil::SettingsGuard guard;
  flags.bgen = true;
  par.bgen = path;
  {
    Shared_buffers shared(0);
    Corvane engine(par, shared);
    EXPECT_FATAL(engine.openBGEN(true),
                 "Error: File '.*one.bgen' is corrupt: its header declares 4278190081 variants, "
                 "more than its [0-9]+ bytes of variant data can hold!");
  }
}

// A per-thread file whose header says the run's last variant is 0 while it holds variants 0 to 4:
// the merge accepted it and wrote a merged file that every extraction then refused.
TEST(HardeningMerge, VariantsBeyondTheRunsLastVariantAreRefused) {
  testutil::SettingsGuard guard;
  const std::string base = testutil::scratchDir("hardening_merge_last") + "/run";
  testbcor::StoredRun run;
  run.variants = testbcor::makeVariants(0, 5, 1000, 10);
  run.pairs = {{0, 1, 0.5, 0}, {1, 2, -0.25, 0}};
  testbcor::writePerThreadFiles(run, base, {5}, [](Corvane& engine, uint32_t) { engine.bcor_end_variant = 0; });
  flags.merge = true;
  par.n_threads = 1;
  par.bcor = base;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  EXPECT_FATAL(engine.readVariantHeaderFromMaster(),
               "Error: The variants of the BCOR files to merge \\(0 to 4\\) lie beyond the run's last variant 0!");
}

// Standard output itself (not a swapped stream buffer) joins standard error in the child.
#define EXPECT_STDOUT_EXIT(statement, regex)                  \
  do {                                                        \
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";   \
    EXPECT_EXIT(                                              \
        {                                                     \
          ::dup2(STDERR_FILENO, STDOUT_FILENO);                \
          statement;                                          \
        },                                                    \
        ::testing::ExitedWithCode(1), regex);                 \
  } while (0)

// Progress lines stay open ("- Preprocessing ...    ", "\r- Merging files : 2/2"); an error
// message used to continue them, so no line of the output started with "Error: ".
TEST(HardeningFatal, MessageAfterAnOpenLineStartsALineOfItsOwn) {
  EXPECT_STDOUT_EXIT(
      {
        std::cout << "- Preprocessing ...    " << std::flush;
        corvane::fatalError("Error: first");
      },
      "Preprocessing \\.\\.\\.    \nError: first\n\n$");
  EXPECT_STDOUT_EXIT(
      {
        std::cout << "\r- Merging files : 2/2" << std::flush;
        corvane::fatalErrorCollective("Error: second", true);
      },
      "Merging files : 2/2\nError: second\n\n$");
  // A closed line, or a message that brings its own line breaks, gets nothing more.
  EXPECT_STDOUT_EXIT(
      {
        std::cout << "done\n" << std::flush;
        corvane::fatalError("Error: third");
      },
      "\ndone\nError: third\n\n$");
  EXPECT_STDOUT_EXIT(
      {
        std::cout << "open" << std::flush;
        corvane::fatalError("\n\nError: fourth");
      },
      "\nopen\n\nError: fourth\n\n$");
}

// A table extraction that met a corrupt record near the end of a large file left megabytes of
// table behind, indistinguishable from a result.
TEST(HardeningFatal, UnfinishedOutputsAreRemovedOnError) {
  const std::string dir = testutil::scratchDir("hardening_outputs");
  const std::string unfinished = dir + "/unfinished.txt";
  const std::string finished = dir + "/finished.txt";
  const std::string target = dir + "/target.txt";
  const std::string link = dir + "/link.txt";
  for (const std::string& p : {unfinished, finished, target}) testutil::writeFile(p, "some lines\n");
  std::filesystem::create_symlink(target, link);
  EXPECT_STDOUT_EXIT(
      {
        corvane::removeOnError(unfinished);
        corvane::removeOnError(finished);
        corvane::keepOnError(finished);
        corvane::removeOnError(link);
        corvane::fatalError("Error: stop");
      },
      "Error: stop");
  EXPECT_FALSE(std::filesystem::exists(unfinished));
  EXPECT_TRUE(std::filesystem::exists(finished));
  // Only regular files are removed: not a link, nor what it points to.
  EXPECT_TRUE(std::filesystem::exists(link));
  EXPECT_TRUE(std::filesystem::exists(target));
}

} // namespace
