#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "bcor_test_helpers.hpp"

using bcortest::Bytes;
using testutil::SettingsGuard;

namespace {

// ---- quantisation and single records ----

struct QuantisationCase {
  const char* accuracy;
  double r;
  uint8_t sign;
  uint64_t magnitude;
};

const QuantisationCase kQuantisationCases[] = {
    {"low", -0.5, 0, 16384},
    {"low", 1.0, 1, 32768},
    {"low", 0.0, 1, 0},
    {"low", -1.0, 0, 32768},
    {"low", 1.0000001, 1, 32768}, // rounding above 1 still fits far below the clamp
    {"low", 3.0, 1, 65535},       // clamped
    {"low", 1.5 / 32768, 1, 2},   // half rounds up
    {"medium", 1.0, 1, 2147483648u},
    {"medium", -0.25, 0, 536870912u},
    {"medium", 0.0, 1, 0},
    {"high", 1.0, 1, 1ull << 63},
    {"high", -0.5, 0, 1ull << 62},
    {"high", 2.5, 1, UINT64_MAX}, // clamped
};

TEST(BcorCorrelationRecord, QuantisationBytesAndReadBack) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  for (const QuantisationCase& c : kQuantisationCases) {
    SCOPED_TRACE(std::string(c.accuracy) + " r=" + std::to_string(c.r));
    engine.accuracy = c.accuracy;
    const int width = static_cast<int>(bcor::magnitudeWidth(c.accuracy));
    Bytes expected;
    expected.u32(3).u32(1).u32(5).u8(c.sign).le(c.magnitude, width);
    std::vector<byte_t> record = engine.writeVariantDataToBuffer(3, CorrelationMap{{5, c.r}});
    EXPECT_EQ(record, expected.v);
    const CorrelationMap back = engine.readVariantCorrFromBuffer(std::move(record));
    ASSERT_EQ(back.size(), 1u);
    if (std::fabs(c.r) <= 1.0) {
      EXPECT_NEAR(back.at(5), c.r, 1.0 / 65536);
      EXPECT_EQ(std::signbit(back.at(5)), std::signbit(c.r));
    }
  }
  // Exact values of the examples.
  engine.accuracy = "low";
  EXPECT_EQ(
      engine
          .readVariantCorrFromBuffer(engine.writeVariantDataToBuffer(0, CorrelationMap{{1, -0.5}}))
          .at(1),
      -0.5);
  EXPECT_EQ(
      engine.readVariantCorrFromBuffer(engine.writeVariantDataToBuffer(0, CorrelationMap{{1, 0.0}}))
          .at(1),
      0.0);
  // 1.0 as 2^63 at "high": bytes 00 00 00 00 00 00 00 80.
  engine.accuracy = "high";
  const std::vector<byte_t> high = engine.writeVariantDataToBuffer(0, CorrelationMap{{1, 1.0}});
  EXPECT_EQ(std::vector<byte_t>(high.end() - 8, high.end()),
            (std::vector<byte_t>{0, 0, 0, 0, 0, 0, 0, 0x80}));
}

TEST(BcorSampleCountRecord, BytesAndEmptyRecord) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bin_n_samples = 77;  // a pair may count every sample of its file
  Bytes expected;
  expected.u32(12).u32(1).u32(13).u32(77);
  std::vector<byte_t> record = engine.writeVariantDataToBuffer(12, SampleCountMap{{13, 77}});
  EXPECT_EQ(record, expected.v);
  EXPECT_EQ(engine.readVariantNumberOfSamplesFromBuffer(std::move(record)),
            (SampleCountMap{{13, 77}}));

  Bytes empty;
  empty.u32(9).u32(0);
  EXPECT_EQ(engine.writeVariantDataToBuffer(9, SampleCountMap{}), empty.v);
  EXPECT_TRUE(engine.readVariantNumberOfSamplesFromBuffer(std::vector<byte_t>(empty.v)).empty());
}

TEST(BcorRecords, RandomMapsRoundTripAtEveryAccuracy) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bin_n_samples = UINT32_MAX;
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> correlation(-1.0, 1.0);
  const struct {
    const char* accuracy;
    double bound;
  } accuracies[] = {{"low", std::ldexp(1.0, -16)},
                    {"medium", std::ldexp(1.0, -32)},
                    {"high", 2e-16}}; // 2^-64 steps, then the double's own rounding
  for (const auto& a : accuracies) {
    SCOPED_TRACE(a.accuracy);
    engine.accuracy = a.accuracy;
    for (int trial = 0; trial < 200; ++trial) {
      CorrelationMap written;
      SampleCountMap counts;
      const int n = static_cast<int>(rng() % 40);
      for (int e = 0; e < n; ++e) {
        const uint32_t partner = static_cast<uint32_t>(rng());
        const int kind = static_cast<int>(rng() % 10);
        written[partner] = kind == 0 ? 1.0 : kind == 1 ? -1.0 : kind == 2 ? 0.0 : correlation(rng);
        counts[partner] = static_cast<uint32_t>(rng());
      }
      const CorrelationMap back =
          engine.readVariantCorrFromBuffer(engine.writeVariantDataToBuffer(1, written));
      ASSERT_EQ(back.size(), written.size());
      for (const auto& entry : written) {
        const double r = back.at(entry.first);
        EXPECT_LE(std::fabs(r - entry.second), a.bound) << entry.second;
        if (std::fabs(entry.second) == 1.0) {
          EXPECT_EQ(r, entry.second);
        }
        EXPECT_EQ(std::signbit(r), entry.second < 0.0) << entry.second;
      }
      EXPECT_EQ(
          engine.readVariantNumberOfSamplesFromBuffer(engine.writeVariantDataToBuffer(1, counts)),
          counts);
    }
  }
}

TEST(BcorRecordsDeathTest, MalformedRecordsAreRefused) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = "ld.bcor";
  engine.accuracy = "medium";
  std::vector<byte_t> record =
      engine.writeVariantDataToBuffer(1, CorrelationMap{{2, 0.5}, {3, -0.5}});
  std::vector<byte_t> longer = record;
  longer.push_back(0);
  EXPECT_FATAL(engine.readVariantCorrFromBuffer(std::move(longer)),
               "Error: File 'ld.bcor' is corrupt");
  EXPECT_FATAL(
      engine.readVariantCorrFromBuffer(std::vector<byte_t>(record.begin(), record.end() - 1)),
      "Error: File 'ld.bcor' is corrupt");
  EXPECT_FATAL(
      engine.readVariantCorrFromBuffer(std::vector<byte_t>(record.begin(), record.begin() + 6)),
      "Error: File 'ld.bcor' is corrupt");
  // An entry count far beyond the record: refused before any map is sized for it.
  Bytes huge;
  huge.u32(1).u32(0xFFFFFFFFu).u32(2).u8(1).u32(5);
  EXPECT_FATAL(engine.readVariantCorrFromBuffer(std::vector<byte_t>(huge.v)),
               "Error: File 'ld.bcor' is corrupt");
  EXPECT_FATAL(engine.readVariantNumberOfSamplesFromBuffer(std::vector<byte_t>(huge.v)),
               "Error: File 'ld.bcor' is corrupt");
  Bytes counts;
  counts.u32(1).u32(1).u32(2).u32(3).u8(0);
  EXPECT_FATAL(engine.readVariantNumberOfSamplesFromBuffer(std::vector<byte_t>(counts.v)),
               "Error: File 'ld.bcor' is corrupt");
  engine.accuracy = "bogus";
  EXPECT_FATAL(engine.readVariantCorrFromBuffer(std::vector<byte_t>(record)),
               "Error: File 'ld.bcor' has an unknown accuracy 'bogus'!");
}

// ---- whole files ----

class BcorDataFile : public ::testing::Test {
 protected:
  SettingsGuard guard;
  std::string dir = testutil::scratchDir(
      std::string("bcor_data_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

// A thread's file of a three-thread run, assembled byte by byte.
TEST_F(BcorDataFile, GoldenPerThreadFile) {
  Shared_buffers shared(3);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/gold.bcor";
  engine.process_number = 1;
  engine.n_processes = 3;
  engine.accuracy = "low";
  engine.bin_n_samples = 100;
  engine.bin_n_variants = 9;
  engine.chunk_n_variants = 3;
  engine.chunk_start_variant = 3;
  engine.chunk_end_variant = 6;
  shared.run_start_position = 1000;
  shared.run_end_position = 9000;
  engine.bcor_start_variant = 0;
  engine.bcor_end_variant = 8;
  engine.bcor_start_position = 4000;
  engine.bcor_end_position = 6000;
  engine.variant_headers[3] = {3, "rs3", 4000, "1", "A", "C", 0.5, 0.5};
  engine.variant_headers[4] = {4, "", 5000, "1", "AT", "G", 1.0, 0.0};
  engine.variant_headers[5] = {5, "rs5", 6000, "1", "T", "", 0.25, 0.75};
  engine.correlations[3] = {{4, 0.5}};
  engine.correlations[5] = {{6, -1.0}, {8, 0.0}};
  engine.sample_counts[5] = {{8, 90}};
  engine.number_of_correlation_records = 2;
  engine.number_of_sample_count_records = 1;
  shared.total_number_of_correlations = 11;
  engine.number_of_correlations_in_file = 3;
  bcortest::writeWholeFile(engine);
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(finished));
  EXPECT_FALSE(engine.bcor_out.is_open());

  Bytes g;
  g.u32(204).u32(100).u32(9).u32(3).u32(1000).u32(9000).u32(0).u32(8).u32(4000).u32(6000);
  g.u32(2).u32(1).u64(11).u64(3).u16(3).text("low");
  ASSERT_EQ(g.size(), 69u);
  g.u32(42).u32(3).u16(3).text("rs3").u32(4000).u16(1).text("1").u32(1).text("A").u32(1).text("C");
  g.u64(1ull << 62).u64(1ull << 62);
  g.u32(40).u32(4).u16(0).u32(5000).u16(1).text("1").u32(2).text("AT").u32(1).text("G");
  g.u64(1ull << 63).u64(0);
  g.u32(41).u32(5).u16(3).text("rs5").u32(6000).u16(1).text("1").u32(1).text("T").u32(0);
  g.u64(1ull << 61).u64(3ull << 61);
  ASSERT_EQ(g.size(), 204u);
  g.u64(252).u64(0).u64(271); // correlation table: not the last thread, 3 entries
  g.u64(0).u64(0).u64(297);   // sample-count table
  ASSERT_EQ(g.size(), 252u);
  g.u32(15).u32(3).u32(1).u32(4).u8(1).u16(16384);
  ASSERT_EQ(g.size(), 271u);
  g.u32(22).u32(5).u32(2);
  for (const auto& entry : engine.correlations[5]) { // entries follow the map's own order
    if (entry.first == 6)
      g.u32(6).u8(0).u16(32768);
    else
      g.u32(8).u8(1).u16(0);
  }
  ASSERT_EQ(g.size(), 297u);
  g.u32(16).u32(5).u32(1).u32(8).u32(90);
  EXPECT_EQ(bcortest::fileBytes(dir + "/gold.bcor_2"), g.v);
}

TEST_F(BcorDataFile, LastOfThreeThreadsHasOneEntryLessPerTable) {
  Shared_buffers shared(3);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/three.bcor";
  engine.process_number = 2;
  engine.n_processes = 3;
  engine.bin_n_variants = 30;
  engine.chunk_n_variants = 10;
  engine.chunk_start_variant = 20;
  engine.chunk_end_variant = 30;
  engine.bcor_end_variant = 29;
  for (uint32_t i = 20; i < 30; ++i)
    engine.variant_headers[i] = bcortest::variant(i, "v", 100 + i, 0.5);
  engine.correlations[20] = {{21, 0.5}};
  engine.correlations[28] = {{29, 0.25}};
  engine.sample_counts[28] = {{29, 40}};
  bcortest::countRecords(engine);
  bcortest::writeWholeFile(engine);

  const std::vector<byte_t> bytes = bcortest::fileBytes(dir + "/three.bcor_3");
  auto u64At = [&](size_t offset) {
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= uint64_t(bytes[offset + k]) << (8 * k);
    return v;
  };
  const uint64_t h = engine.header_size;
  EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24, h);
  EXPECT_EQ(engine.correlation_offsets.size(), 9u);
  EXPECT_EQ(engine.sample_count_offsets.size(), 9u);
  const uint64_t records = h + 144;
  EXPECT_EQ(u64At(h), records); // variant 20
  for (int k = 1; k < 8; ++k) EXPECT_EQ(u64At(h + 8 * k), 0u);
  EXPECT_EQ(u64At(h + 64), records + 21); // variant 28; 4 + 8 + 9 bytes before it
  for (int k = 0; k < 8; ++k) EXPECT_EQ(u64At(h + 72 + 8 * k), 0u);
  EXPECT_EQ(u64At(h + 72 + 64), records + 42); // the sample-count table starts at h + 72
  EXPECT_EQ(bytes.size(), records + 42 + 4 + 16);
}

TEST_F(BcorDataFile, SmallAndEmptyShares) {
  { // one variant, not the last thread: one entry per table
    Shared_buffers shared(2);
    Corvane engine(par, shared);
    engine.bcor_file = dir + "/small.bcor";
    engine.n_processes = 2;
    engine.chunk_n_variants = 1;
    engine.variant_headers[0] = bcortest::variant(0, "v", 1, 0.5);
    bcortest::writeWholeFile(engine);
    EXPECT_EQ(bcortest::fileBytes(dir + "/small.bcor_1").size(), engine.header_size + 16u);
  }
  { // the last thread with an empty share: tables of 0 entries
    Shared_buffers shared(2);
    Corvane engine(par, shared);
    engine.bcor_file = dir + "/small.bcor";
    engine.process_number = 1;
    engine.n_processes = 2;
    engine.chunk_n_variants = 0;
    bcortest::writeWholeFile(engine);
    EXPECT_TRUE(engine.correlation_offsets.empty());
    EXPECT_EQ(engine.header_size, 72u);
    EXPECT_EQ(bcortest::fileBytes(dir + "/small.bcor_2").size(), 72u);
  }
}

// A one-thread run over 30 variants with random pairs, written and read back at each accuracy.
TEST_F(BcorDataFile, WholeFileRoundTripAtEveryAccuracy) {
  std::mt19937_64 rng(4242);
  std::uniform_real_distribution<double> correlation(-1.0, 1.0);
  for (const char* accuracy : {"low", "medium", "high"}) {
    SCOPED_TRACE(accuracy);
    Shared_buffers shared(0);
    Corvane engine(par, shared);
    engine.bcor_file = dir + "/" + accuracy + ".bcor";
    engine.accuracy = accuracy;
    std::vector<VariantHeader> headers;
    for (uint32_t i = 0; i < 30; ++i)
      headers.push_back(
          bcortest::variant(100 + i, "rs" + std::to_string(i), 1000 + 10 * i, i / 30.0));
    headers[7].A_allele_freq = std::numeric_limits<double>::quiet_NaN();
    bcortest::setUpOneThreadRun(engine, headers);
    for (uint32_t i = 100; i < 129; ++i) {
      if (rng() % 4 == 0) continue; // some variants without partners
      for (uint32_t j = i + 1; j < 130 && j < i + 6; ++j) {
        if (rng() % 3 == 0) continue;
        engine.correlations[i][j] = j == i + 1 ? -1.0 : correlation(rng);
        if (rng() % 2 == 0) engine.sample_counts[i][j] = static_cast<uint32_t>(rng() % 50);
      }
    }
    bcortest::countRecords(engine);
    bcortest::writeWholeFile(engine);

    const bcortest::ReadBack back = bcortest::readWholeFile(engine.bcor_file + "_1");
    EXPECT_EQ(back.accuracy, accuracy);
    ASSERT_EQ(back.headers.size(), 30u);
    EXPECT_TRUE(std::isnan(back.headers.at(107).A_allele_freq));
    EXPECT_EQ(back.headers.at(115).RSID, "rs15");
    EXPECT_EQ(back.headers.at(115).A_allele_freq, 0.5);
    const double bound = bcor::magnitudeWidth(accuracy) == 2   ? std::ldexp(1.0, -16)
                         : bcor::magnitudeWidth(accuracy) == 4 ? std::ldexp(1.0, -32)
                                                               : 2e-16;
    ASSERT_EQ(back.correlations.size(), engine.correlations.size());
    for (const auto& variant : engine.correlations) {
      const CorrelationMap& read = back.correlations.at(variant.first);
      ASSERT_EQ(read.size(), variant.second.size());
      for (const auto& pair : variant.second) {
        EXPECT_LE(std::fabs(read.at(pair.first) - pair.second), bound);
        EXPECT_EQ(std::signbit(read.at(pair.first)), pair.second < 0.0);
      }
    }
    EXPECT_EQ(back.sample_counts, engine.sample_counts);
  }
}

TEST_F(BcorDataFile, ThreadsWriteTheirOwnFilesConcurrently) {
  Shared_buffers shared(3);
#pragma omp parallel num_threads(3)
  {
    Corvane engine(par, shared);
    engine.bcor_file = dir + "/team.bcor";
    const uint32_t first = 10 * engine.process_number;
    engine.bin_n_variants = 10 * engine.n_processes;
    engine.chunk_n_variants = 10;
    engine.chunk_start_variant = first;
    for (uint32_t i = first; i < first + 10; ++i) {
      engine.variant_headers[i] = bcortest::variant(i, "v", i + 1, 0.5);
      if (i + 1 < engine.bin_n_variants) {
        engine.correlations[i][i + 1] = 0.5;
        engine.sample_counts[i][i + 1] = 7;
      }
    }
    // Per-engine counts only: the run's total is shared and set once, as the computation's
    // atomic sum does, not written by every thread.
    engine.number_of_correlation_records = static_cast<uint32_t>(engine.correlations.size());
    engine.number_of_sample_count_records = static_cast<uint32_t>(engine.sample_counts.size());
    engine.number_of_correlations_in_file = engine.correlations.size();
#pragma omp single
    shared.total_number_of_correlations = 29;
    bcortest::writeWholeFile(engine);
  }
  for (int t = 1; t <= 3; ++t) {
    const std::vector<byte_t> bytes = bcortest::fileBytes(dir + "/team.bcor_" + std::to_string(t));
    const uint32_t header_size =
        bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
    const size_t entries = t == 3 ? 9 : 10;
    // Header, tables, one correlation and one sample-count record per table entry.
    EXPECT_EQ(bytes.size(),
              header_size + 16 * entries + entries * (4 + 8 + 9) + entries * (4 + 16));
  }
}

TEST_F(BcorDataFile, StreamStateFollowsTheWritersAndReaders) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/state.bcor";
  bcortest::setUpOneThreadRun(engine, bcortest::twoVariants());
  engine.correlations[0] = {{1, 0.5}};
  bcortest::countRecords(engine);
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(not_open));
  engine.writeVariantHeader();
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(ready_for_offsets));
  EXPECT_EQ(engine.bcor_out.tellp(), static_cast<std::streamoff>(engine.header_size));
  engine.writeVariantOffset();
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(ready_for_correlations));
  engine.writeVariantDataCorr();
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(ready_for_number_of_samples));
  engine.writeVariantDataNumberOfSamples();
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(finished));

  Shared_buffers shared2(0);
  Corvane reader(par, shared2);
  reader.bcor_file = dir + "/state.bcor_1";
  reader.readVariantHeaderFromStream();
  EXPECT_EQ(reader.bcor_state, static_cast<uint32_t>(ready_for_header));
  reader.readVariantOffset();
  EXPECT_EQ(reader.bcor_state, static_cast<uint32_t>(ready_for_correlations));
  EXPECT_EQ(reader.correlation_offsets.size(), 1u);
  EXPECT_NE(reader.correlation_offsets[0], 0u);
  EXPECT_EQ(reader.sample_count_offsets, (std::vector<uint64_t>{0}));
}

TEST_F(BcorDataFile, UnknownAccuracyWithoutPairsIsWrittenAsIs) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/odd.bcor";
  engine.accuracy = "bogus";
  bcortest::setUpOneThreadRun(engine, bcortest::twoVariants());
  bcortest::writeWholeFile(engine);
  EXPECT_EQ(bcortest::readWholeFile(dir + "/odd.bcor_1").accuracy, "bogus");
}

// ---- failures ----

class BcorDataFileDeathTest : public BcorDataFile {};

// A small one-thread file with every kind of record.
std::string writeSmallFile(const std::string& dir) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/small.bcor";
  engine.accuracy = "low";
  bcortest::setUpOneThreadRun(
      engine, {bcortest::variant(0, "rs1", 10, 0.5), bcortest::variant(1, "rs2", 20, 0.5),
               bcortest::variant(2, "rs3", 30, 0.5), bcortest::variant(3, "rs4", 40, 0.5)});
  engine.correlations[0] = {{1, 0.5}, {2, -0.25}};
  engine.correlations[2] = {{3, 0.75}};
  engine.sample_counts[0] = {{2, 40}};
  engine.sample_counts[2] = {{3, 45}};
  bcortest::countRecords(engine);
  bcortest::writeWholeFile(engine);
  return engine.bcor_file + "_1";
}

TEST_F(BcorDataFileDeathTest, TruncationAtEveryByteIsReported) {
  const std::vector<byte_t> whole = bcortest::fileBytes(writeSmallFile(dir));
  ASSERT_GT(whole.size(), 200u);
  const std::string cut = dir + "/cut.bcor";
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    bcortest::writeBytes(cut, whole, length);
    EXPECT_FATAL(bcortest::readWholeFile(cut),
                 "Error: File '.*cut.bcor' (is truncated|is incomplete|cannot be opened!)");
  }
  bcortest::writeBytes(cut, whole, whole.size());
  EXPECT_EQ(bcortest::readWholeFile(cut).correlations.size(), 2u);
}

TEST_F(BcorDataFileDeathTest, CorruptOffsetTableEntry) {
  const std::vector<byte_t> whole = bcortest::fileBytes(writeSmallFile(dir));
  const uint32_t header_size = whole[0] | whole[1] << 8 | whole[2] << 16 | uint32_t(whole[3]) << 24;
  for (uint64_t entry :
       {uint64_t(8), uint64_t(header_size), uint64_t(whole.size() - 3), uint64_t(1) << 40}) {
    std::vector<byte_t> bytes = whole;
    for (int k = 0; k < 8; ++k) bytes[header_size + k] = static_cast<byte_t>(entry >> (8 * k));
    bcortest::writeBytes(dir + "/bad.bcor", bytes, bytes.size());
    EXPECT_FATAL(
        bcortest::readWholeFile(dir + "/bad.bcor"),
        "Error: File '.*bad.bcor' is (truncated or )?corrupt: an offset table entry points");
  }
}

TEST_F(BcorDataFileDeathTest, AnOutputThatIsADeviceIsRefused) {
  std::filesystem::create_symlink("/dev/full", dir + "/full.bcor_1");
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/full.bcor";
  bcortest::setUpOneThreadRun(engine, bcortest::twoVariants());
  engine.correlations[0] = {{1, 0.5}};
  bcortest::countRecords(engine);
  // Sought back into, a BCOR file cannot go to a device; nothing is created beside the link.
  EXPECT_FATAL(bcortest::writeWholeFile(engine), "Error: File '.*full.bcor_1' cannot be opened!");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/full.bcor_1"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
}

TEST_F(BcorDataFileDeathTest, FailedWriteLeavesNoFileBehind) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/limited.bcor";
  std::vector<VariantHeader> headers;
  for (uint32_t i = 0; i < 40; ++i)
    headers.push_back(bcortest::variant(i, "rs" + std::to_string(i), i + 1, 0.5));
  bcortest::setUpOneThreadRun(engine, headers);
  for (uint32_t i = 0; i + 1 < 40; ++i) engine.correlations[i] = {{i + 1, 0.5}};
  bcortest::countRecords(engine);
  // The file may not grow past 1000 bytes: the writes beyond fail as on a full disk.
  auto writeLimited = [&engine] {
    testutil::limitFileSize(1000);
    bcortest::writeWholeFile(engine);
  };
  EXPECT_FATAL(writeLimited(), "Error: File '.*limited.bcor_1' cannot be written!");
  // Neither the file nor the run's own unfinished one.
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(BcorDataFileDeathTest, WriterFaults) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/fault.bcor";
  bcortest::setUpOneThreadRun(engine,
                              {bcortest::variant(0, "a", 1, 0.5), bcortest::variant(1, "b", 2, 0.5),
                               bcortest::variant(2, "c", 3, 0.5)});
  // The run's last variant has no table entry, so a record for it is a fault of the caller.
  engine.correlations[2] = {{3, 0.5}};
  EXPECT_FATAL(bcortest::writeWholeFile(engine),
               "Error: Internal fault in the BCOR store: variant 3");
  engine.correlations.clear();
  engine.accuracy = "bogus";
  engine.correlations[0] = {{1, 0.5}};
  EXPECT_FATAL(bcortest::writeWholeFile(engine),
               "Error: Accuracy 'bogus' has no coding for correlations!");
  // Offsets before the header.
  EXPECT_FATAL(engine.writeVariantOffset(), "Error: Internal fault");
}

} // namespace
