#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bcor_fixture.hpp"
#include "corvane.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace {

using testbcor::StoredRun;
using testutil::SettingsGuard;
using testbcor::StoredPair;

// Twelve variants from index 0 with pairs in every thread's share, some with fewer samples.
StoredRun twelveVariantRun() {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 12, 1000, 100);
  run.pairs = {{0, 1, 0.5, 0},    {0, 3, -0.25, 90}, {2, 5, 0.75, 0},  {4, 5, -0.5, 0},
               {4, 7, 0.125, 80}, {6, 11, 1.0, 0},   {8, 9, -1.0, 99}, {10, 11, 0.0625, 0}};
  return run;
}

uint32_t u32At(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + k));
  return v;
}

uint64_t u64At(const std::string& bytes, size_t offset) {
  uint64_t v = 0;
  for (int k = 7; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + k));
  return v;
}

void patchU32(const std::string& path, size_t offset, uint32_t value) {
  std::string bytes = testutil::readFile(path);
  for (int k = 0; k < 4; ++k) bytes.at(offset + k) = static_cast<char>((value >> (8 * k)) & 0xff);
  testutil::writeFile(path, bytes);
}

void patchU64(const std::string& path, size_t offset, uint64_t value) {
  std::string bytes = testutil::readFile(path);
  for (int k = 0; k < 8; ++k) bytes.at(offset + k) = static_cast<char>((value >> (8 * k)) & 0xff);
  testutil::writeFile(path, bytes);
}

void setMergeSettings(const std::string& base, uint32_t n_files) {
  flags = Flags();
  par = Parameters();
  flags.bcor = flags.merge = true;
  par.bcor = base;
  par.n_threads = static_cast<int32_t>(n_files);
}

// The merge mode's steps after the status blocks, as the entry point runs them.
void mergeFiles(const std::string& base, uint32_t n_files) {
  SettingsGuard guard;
  setMergeSettings(base, n_files);
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.readVariantHeaderFromMaster();
  engine.writeVariantHeader();
  engine.writeVariantOffset();
  engine.readWriteVariantDataFromMaster();
}

// Runs a merge expected to end the process; its message must match `pattern`.
#define EXPECT_MERGE_FAILS(base, n_files, pattern, ...)              \
  EXPECT_EXIT(                                                       \
      {                                                              \
        dup2(2, 1);                                                  \
        __VA_ARGS__;                                                 \
        mergeFiles(base, n_files);                                   \
      },                                                             \
      ::testing::ExitedWithCode(1), pattern)

// The whole-file table of a BCOR file with every stored pair (thresholds 0).
std::string tableOf(const std::string& bcor, const std::string& out) {
  SettingsGuard guard;
  flags.bcor = flags.table = true;
  par.bcor = bcor;
  par.table = out;
  par.ld_thold = 0.0;
  par.ld_n_samples_avail_prop = 0.0;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  testing::internal::CaptureStdout();
  engine.readVariantHeaderFromStream();
  engine.readVariantOffset();
  shared.total_number_of_correlations = 0;
  engine.extractCorrelationsTable();
  testing::internal::GetCapturedStdout();
  return testutil::readFile(out);
}

class Merge : public ::testing::Test {
protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dir = testutil::scratchDir(std::string("merge_") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    base = dir + "/run.bcor";
  }
  // Offset of field `f` (1-based, fields 1 to 14) of the fixed header.
  static size_t field(int f) { return f <= 12 ? 4 * (f - 1) : 48 + 8 * (f - 13); }

  std::string dir;
  std::string base;
};

TEST_F(Merge, SingleFileOfOneThreadRunKeepsItsLayout) {
  testing::internal::CaptureStdout();
  testbcor::writeSingleFile(twelveVariantRun(), base);
  mergeFiles(base, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\r- Merging files                 : 1/1\n");
  EXPECT_EQ(testutil::readFile(base), testutil::readFile(base + "_1"));
}

TEST_F(Merge, SeveralFilesGetSpareEntryAndZeroBytes) {
  const StoredRun run = twelveVariantRun();
  const std::string single = dir + "/single.bcor";
  testbcor::writeSingleFile(run, single);
  testbcor::writePerThreadFiles(run, base, {4, 5, 3});
  testing::internal::CaptureStdout();
  mergeFiles(base, 3);
  testing::internal::GetCapturedStdout();

  const std::string merged = testutil::readFile(base);
  const std::string reference = testutil::readFile(single + "_1");
  const uint32_t header_size = u32At(merged, 0);
  const uint32_t n = 12;
  // The header (fixed part and records) is that of the same run written by one thread.
  EXPECT_EQ(merged.substr(0, header_size), reference.substr(0, header_size));
  EXPECT_EQ(u32At(merged, field(3)), n);
  EXPECT_EQ(u32At(merged, field(4)), n);
  EXPECT_EQ(u32At(merged, field(9)), u32At(merged, field(5)));
  EXPECT_EQ(u32At(merged, field(10)), u32At(merged, field(6)));
  EXPECT_EQ(u32At(merged, field(11)), 6u);  // variants 0, 2, 4, 6, 8 and 10
  EXPECT_EQ(u32At(merged, field(12)), 3u);
  EXPECT_EQ(u64At(merged, field(13)), run.pairs.size());
  EXPECT_EQ(u64At(merged, field(14)), run.pairs.size());

  // Correlation table: n - 1 entries; sample-count table: n - 1 entries, a spare 0 and 8 zero bytes.
  const size_t corr_table = header_size, sample_table = header_size + 8 * (n - 1);
  for (uint32_t k = 0; k < n - 1; ++k) {
    const bool has_pair = k == 0 || k == 2 || k == 4 || k == 6 || k == 8 || k == 10;
    EXPECT_EQ(u64At(merged, corr_table + 8 * k) != 0, has_pair) << "variant " << k;
    const uint64_t offset = u64At(merged, corr_table + 8 * k);
    if (offset != 0) {
      EXPECT_EQ(u32At(merged, offset + 4), k) << "record of variant " << k;
    }
    const bool has_counts = k == 0 || k == 4 || k == 8;
    EXPECT_EQ(u64At(merged, sample_table + 8 * k) != 0, has_counts) << "variant " << k;
  }
  EXPECT_EQ(u64At(merged, sample_table + 8 * (n - 1)), 0u);
  EXPECT_EQ(u64At(merged, sample_table + 8 * n), 0u);
  // The first record starts after 16 n bytes of tables: file 1's first correlation record.
  const size_t first_record = header_size + 16 * n;
  EXPECT_EQ(u64At(merged, corr_table), first_record);
  EXPECT_EQ(merged.size(), reference.size() + 16);

  // Read back, the merged file holds exactly the pairs of the run.
  EXPECT_EQ(tableOf(base, dir + "/merged.table"), tableOf(single + "_1", dir + "/single.table"));
}

TEST_F(Merge, CommonValuesAreCheckedInTheirOrder) {
  const StoredRun run = twelveVariantRun();
  const std::vector<std::pair<int, std::string>> cases = {
      {5, "Start genomic position"}, {6, "End genomic position"}, {7, "First variant"},
      {8, "Last variant"},           {2, "Number of samples"},    {3, "Number of variants"},
      {13, "Total number of correlations"}};
  for (const auto& c : cases) {
    testbcor::writePerThreadFiles(run, base, {4, 5, 3});
    const std::string file = base + "_2";
    if (c.first == 13) {
      patchU64(file, field(13), 99);
    } else {
      patchU32(file, field(c.first), u32At(testutil::readFile(file), field(c.first)) + 1);
    }
    EXPECT_MERGE_FAILS(base, 3, "Error: " + c.second + " is not the same in each BCOR file!");
  }
  // Two differing values in one file: the earlier of the table is reported.
  testbcor::writePerThreadFiles(run, base, {4, 5, 3});
  patchU32(base + "_3", field(3), 13);
  patchU32(base + "_3", field(2), 7);
  EXPECT_MERGE_FAILS(base, 3, "Error: Number of samples is not the same");
}

TEST_F(Merge, DifferentAccuracyIsRefused) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3}, [](Corvane& engine, uint32_t t) {
    if (t == 2) engine.accuracy = "high";
  });
  EXPECT_MERGE_FAILS(base, 3, "Error: Accuracy is not the same in each BCOR file!");
}

TEST_F(Merge, ValueZeroTakesALaterValueButIsNotTakenAfterOne) {
  StoredRun run = twelveVariantRun();
  run.variants = testbcor::makeVariants(5, 12, 1000, 100);
  for (StoredPair& p : run.pairs) {
    p.first += 5;
    p.second += 5;
  }
  testbcor::writePerThreadFiles(run, base, {6, 6});
  patchU32(base + "_1", field(7), 0);
  testing::internal::CaptureStdout();
  mergeFiles(base, 2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(u32At(testutil::readFile(base), field(7)), 5u);

  testbcor::writePerThreadFiles(run, base, {6, 6});
  patchU32(base + "_2", field(7), 0);
  EXPECT_MERGE_FAILS(base, 2, "Error: First variant is not the same in each BCOR file!");
}

TEST_F(Merge, FirstVariantZeroAgreesEverywhere) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {6, 6});
  testing::internal::CaptureStdout();
  mergeFiles(base, 2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(u32At(testutil::readFile(base), field(7)), 0u);
}

TEST_F(Merge, SharesAndStoredPairsMustAddUp) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  EXPECT_MERGE_FAILS(base, 2, "Error: Number of read variants is not equal to total number of variants operated on!");
  EXPECT_MERGE_FAILS(base, 4, "Error: File '" + base + "_4' cannot be opened!");
  patchU64(base + "_2", field(14), 1);
  EXPECT_MERGE_FAILS(base, 3,
                     "Error: Number of read correlations is not equal to total number of computed correlations!");
}

// The message once said "does not hold the 4 variant records that its header announces" of a file
// that holds 5: it must tell both counts, whichever is larger.
TEST_F(Merge, VariantRecordCountThatDiffersFromTheHeaderIsNamed) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  patchU32(base + "_2", field(4), 4);
  EXPECT_MERGE_FAILS(base, 3, "Error: File '" + base + "_2' holds 5 variant records, but its header announces 4!");
  patchU32(base + "_2", field(4), 6);
  EXPECT_MERGE_FAILS(base, 3, "Error: File '" + base + "_2' holds 5 variant records, but its header announces 6!");
}

TEST_F(Merge, StoredPairsBeyondThirtyTwoBitsAddUp) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  const uint64_t per_file = 3000000000ull;
  for (int t = 1; t <= 3; ++t) {
    patchU64(base + "_" + std::to_string(t), field(13), 3 * per_file);
    patchU64(base + "_" + std::to_string(t), field(14), per_file);
  }
  testing::internal::CaptureStdout();
  mergeFiles(base, 3);
  testing::internal::GetCapturedStdout();
  const std::string merged = testutil::readFile(base);
  EXPECT_EQ(u64At(merged, field(13)), 3 * per_file);
  EXPECT_EQ(u64At(merged, field(14)), 3 * per_file);
}

TEST_F(Merge, VariantRecordOutsideTheRunIsRefused) {
  // With "medium" the records start at byte 72; file 2's first record is variant 4 ("rs4"):
  // size 4, index 4, RSID length 2 and 3 bytes, then its position.
  const size_t position_offset = 72 + 4 + 4 + 2 + 3;
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  ASSERT_EQ(u32At(testutil::readFile(base + "_2"), position_offset), 1400u);
  patchU32(base + "_2", position_offset, 0);
  EXPECT_MERGE_FAILS(base, 3, "Error: Variant 'rs4' in file '" + base + "_2' has position 0!");
  patchU32(base + "_2", position_offset, 999);
  EXPECT_MERGE_FAILS(base, 3,
                     "Error: Variant 'rs4' in file '" + base +
                         "_2' lies at position 999, outside the genomic range 1000-2100");
}

TEST_F(Merge, SameVariantInTwoFilesIsRefused) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  patchU32(base + "_2", 72 + 4, 3);  // file 2's first record claims variant 3 of file 1
  EXPECT_MERGE_FAILS(base, 3, "Error: A variant is stored in more than one of the BCOR files to merge!");
}

TEST_F(Merge, DataRecordOutsideTheTablesIsRefused) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  const std::string file = base + "_2";
  const std::string bytes = testutil::readFile(file);
  const uint64_t record = u64At(bytes, u32At(bytes, 0));  // variant 4's correlation record
  ASSERT_NE(record, 0u);
  patchU32(file, record + 4, 11);  // the run's last variant has no entry
  EXPECT_MERGE_FAILS(base, 3, "Error: File '" + file + "' holds a correlation record of variant 11, outside");
  patchU32(file, record + 4, 0);  // file 1 already holds variant 0's record
  EXPECT_MERGE_FAILS(base, 3, "Error: Variant 0 has more than one correlation record");
}

TEST_F(Merge, DataRecordWhoseSizeDoesNotMatchItsEntriesIsRefused) {
  // File 2 holds variants 4 to 8 and tables of 5 entries; variant 4 has two partners, one of them
  // with a sample count.
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  const std::string file = base + "_2";
  std::string bytes = testutil::readFile(file);
  const uint32_t header_size = u32At(bytes, 0);
  patchU32(file, u64At(bytes, header_size) + 8, 3);
  EXPECT_MERGE_FAILS(base, 3,
                     "Error: File '" + file + "' is corrupt: a correlation record's size does not match its "
                     "number of entries!");

  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  bytes = testutil::readFile(file);
  patchU32(file, u64At(bytes, header_size + 8 * 5) + 8, 0);
  EXPECT_MERGE_FAILS(base, 3,
                     "Error: File '" + file + "' is corrupt: a sample-count record's size does not match its "
                     "number of entries!");
}

TEST_F(Merge, FilesNamedOutOfTheirThreadsOrderAreRefused) {
  const std::string original = dir + "/original.bcor";
  testbcor::writePerThreadFiles(twelveVariantRun(), original, {4, 5, 3});
  // The last thread's file, whose tables are one entry shorter, named as the first.
  std::filesystem::copy_file(original + "_3", base + "_1");
  std::filesystem::copy_file(original + "_2", base + "_2");
  std::filesystem::copy_file(original + "_1", base + "_3");
  EXPECT_MERGE_FAILS(base, 3,
                     "Error: The BCOR files to merge are not numbered in the order of their threads: file '" + base +
                         "_2' holds variants before those of file '" + base + "_1'!");
  // Two files of full tables exchanged: refused all the same.
  std::filesystem::copy_file(original + "_2", base + "_1", std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(original + "_1", base + "_2", std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(original + "_3", base + "_3", std::filesystem::copy_options::overwrite_existing);
  EXPECT_MERGE_FAILS(base, 3, "Error: The BCOR files to merge are not numbered in the order of their threads");
}

TEST_F(Merge, RecordsOfAnUnknownAccuracyAreRefused) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {4, 5, 3});
  // "medium" becomes "mediun" in every file: the files agree, but no record can be read.
  for (int t = 1; t <= 3; ++t) {
    const std::string file = base + "_" + std::to_string(t);
    std::string bytes = testutil::readFile(file);
    ASSERT_EQ(bytes.substr(66, 6), "medium");
    bytes[71] = 'n';
    testutil::writeFile(file, bytes);
  }
  EXPECT_MERGE_FAILS(base, 3, "Error: File '" + base + "_1' has an unknown accuracy 'mediun'!");
}

TEST_F(Merge, FilesWithoutVariantsAreRefused) {
  StoredRun empty;
  testbcor::writePerThreadFiles(empty, base, {0});
  EXPECT_MERGE_FAILS(base, 1, "Error: The BCOR files to merge hold no variant!");
}

TEST_F(Merge, ProgressLineEndsAfterTheLastFile) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {3, 3, 3, 3});
  testing::internal::CaptureStdout();
  mergeFiles(base, 4);
  const std::string label = "\r- Merging files                 : ";
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            label + "1/4" + label + "2/4" + label + "3/4" + label + "4/4\n");
}

TEST_F(Merge, UnwritableOutputIsReported) {
  testbcor::writePerThreadFiles(twelveVariantRun(), base, {6, 6});
  EXPECT_MERGE_FAILS(base, 2, "Error: File '" + base + "' cannot be written!", testutil::limitFileSize(700));
  EXPECT_FALSE(std::filesystem::exists(base));
}

} // namespace
