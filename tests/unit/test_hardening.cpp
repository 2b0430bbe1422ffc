// Regression tests for faults that fuzzing found: each input, as small as it was found, must be
// refused quickly with a message and status 1.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "bgen_writer.hpp"
#include "corvane.hpp"
#include "test_util.hpp"

namespace {

// Error messages go to standard output; death tests match standard error.
#define EXPECT_REFUSED(statement, regex)                      \
  do {                                                        \
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";   \
    EXPECT_EXIT(                                              \
        {                                                     \
          std::cout.rdbuf(std::cerr.rdbuf());                 \
          statement;                                          \
        },                                                    \
        ::testing::ExitedWithCode(1), regex);                 \
  } while (0)

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
  EXPECT_REFUSED(openBgen(path), "Error: File '.*input' is corrupt: its header declares 16711680 samples, more than a file of 113 bytes can hold!");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
