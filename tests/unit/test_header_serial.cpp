#include <gtest/gtest.h>

#include <filesystem>

#include <cmath>
#include <limits>
#include <random>

#include "bcor_test_helpers.hpp"

using bcortest::Bytes;
using testutil::SettingsGuard;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BcorFrequency, FixedPointCoding) {
  struct Case {
    double frequency;
    uint64_t stored;
  };
  const Case cases[] = {
      {1.0, 1ull << 63},
      {0.5, 1ull << 62},
      {0.25, 1ull << 61},
      {0.0, 0},
      {-0.25, 0},
      {-0.0, 0},
      {std::ldexp(1.5, -63), 2}, // a fraction of one half rounds up
      {std::ldexp(1.25, -63), 1},
      {2.0, UINT64_MAX},
      {1.5, 3ull << 62},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bcor::encodeFrequency(c.frequency), c.stored) << c.frequency;
  }
  EXPECT_EQ(bcor::decodeFrequency(1ull << 63), 1.0);
  EXPECT_EQ(bcor::decodeFrequency(1ull << 61), 0.25);
  EXPECT_EQ(bcor::decodeFrequency(0), 0.0);
}

TEST(BcorFrequency, NotANumberHasItsOwnCodeAndReadsBackAsNaN) {
  EXPECT_EQ(bcor::encodeFrequency(kNaN), bcor::frequency_not_a_number);
  EXPECT_TRUE(std::isnan(bcor::decodeFrequency(bcor::frequency_not_a_number)));
  // No frequency of [0, 1] shares the code.
  EXPECT_LT(bcor::encodeFrequency(1.0), bcor::frequency_not_a_number);
  EXPECT_LT(bcor::encodeFrequency(std::nextafter(1.0, 2.0)), bcor::frequency_not_a_number);
}

TEST(BcorVariantRecord, BytesOfOneRecord) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  VariantHeader h;
  h.index = 7;
  h.RSID = "rs1";
  h.position = 1000;
  h.chromosome = "22";
  h.A_allele = "A";
  h.B_allele = "GT";
  h.A_allele_freq = 1.0;
  h.B_allele_freq = 0.0;
  Bytes expected;
  expected.u32(7).u16(3).text("rs1").u32(1000).u16(2).text("22").u32(1).text("A").u32(2).text("GT");
  expected.v.insert(expected.v.end(), {0, 0, 0, 0, 0, 0, 0, 0x80}); // 1.0 as 2^63
  expected.u64(0);
  ASSERT_EQ(expected.size(), 36u + 3 + 2 + 1 + 2);
  std::vector<byte_t> record = engine.writeVariantHeaderToBuffer(h);
  EXPECT_EQ(record, expected.v);

  const VariantHeader back = engine.readVariantHeaderToBuffer(record);
  EXPECT_EQ(back.index, 7u);
  EXPECT_EQ(back.RSID, "rs1");
  EXPECT_EQ(back.position, 1000u);
  EXPECT_EQ(back.chromosome, "22");
  EXPECT_EQ(back.A_allele, "A");
  EXPECT_EQ(back.B_allele, "GT");
  EXPECT_EQ(back.A_allele_freq, 1.0);
  EXPECT_EQ(back.B_allele_freq, 0.0);
}

TEST(BcorVariantRecord, EmptyTextsAndMissingFrequency) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  VariantHeader h;
  h.index = 0xFFFFFFFFu;
  h.position = 0;
  h.A_allele_freq = kNaN;
  h.B_allele_freq = kNaN;
  Bytes expected;
  expected.u32(0xFFFFFFFFu).u16(0).u32(0).u16(0).u32(0).u32(0).u64(UINT64_MAX).u64(UINT64_MAX);
  std::vector<byte_t> record = engine.writeVariantHeaderToBuffer(h);
  EXPECT_EQ(record, expected.v);
  const VariantHeader back = engine.readVariantHeaderToBuffer(record);
  EXPECT_TRUE(back.RSID.empty() && back.chromosome.empty() && back.A_allele.empty());
  EXPECT_TRUE(std::isnan(back.A_allele_freq));
  EXPECT_TRUE(std::isnan(back.B_allele_freq));
}

TEST(BcorVariantRecord, RandomRecordsRoundTrip) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  std::mt19937_64 rng(20240611);
  auto randomText = [&](size_t max_length) {
    std::string s(rng() % (max_length + 1), '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xff); // any byte, NUL included
    return s;
  };
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int trial = 0; trial < 500; ++trial) {
    VariantHeader h;
    h.index = static_cast<uint32_t>(rng());
    h.RSID = randomText(20);
    h.position = static_cast<uint32_t>(rng());
    h.chromosome = randomText(3);
    h.A_allele = randomText(12);
    h.B_allele = randomText(12);
    h.A_allele_freq = unit(rng);
    h.B_allele_freq = 1.0 - h.A_allele_freq;
    std::vector<byte_t> record = engine.writeVariantHeaderToBuffer(h);
    ASSERT_EQ(record.size(),
              36 + h.RSID.size() + h.chromosome.size() + h.A_allele.size() + h.B_allele.size());
    const VariantHeader back = engine.readVariantHeaderToBuffer(record);
    EXPECT_EQ(back.index, h.index);
    EXPECT_EQ(back.RSID, h.RSID);
    EXPECT_EQ(back.position, h.position);
    EXPECT_EQ(back.chromosome, h.chromosome);
    EXPECT_EQ(back.A_allele, h.A_allele);
    EXPECT_EQ(back.B_allele, h.B_allele);
    // A step of 2^-63, then the double's own rounding.
    EXPECT_NEAR(back.A_allele_freq, h.A_allele_freq, 1e-15);
    EXPECT_NEAR(back.B_allele_freq, h.B_allele_freq, 1e-15);
  }
}

TEST(BcorVariantRecordDeathTest, MalformedRecordsAndOverlongTexts) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = "ld.bcor";
  std::vector<byte_t> record =
      engine.writeVariantHeaderToBuffer(bcortest::variant(1, "rs", 5, 0.5));
  std::vector<byte_t> longer = record;
  longer.push_back(0);
  EXPECT_FATAL(engine.readVariantHeaderToBuffer(longer), "Error: File 'ld.bcor' is corrupt");
  std::vector<byte_t> shorter(record.begin(), record.end() - 1);
  EXPECT_FATAL(engine.readVariantHeaderToBuffer(shorter), "Error: File 'ld.bcor' is corrupt");
  std::vector<byte_t> empty;
  EXPECT_FATAL(engine.readVariantHeaderToBuffer(empty), "Error: File 'ld.bcor' is corrupt");

  VariantHeader h = bcortest::variant(4, std::string(65536, 'r'), 5, 0.5);
  EXPECT_FATAL(engine.writeVariantHeaderToBuffer(h), "longer than 65535 bytes");
  h.RSID = std::string(65535, 'r'); // the longest that fits
  EXPECT_EQ(engine.writeVariantHeaderToBuffer(h).size(), 36u + 65535 + 2 + 1 + 1);
}

// ---- the header of a whole file ----

class BcorHeaderFile : public ::testing::Test {
 protected:
  SettingsGuard guard;
  std::string dir =
      testutil::scratchDir(std::string("bcor_header_") +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name());

  // A one-thread run over the variants, written through the writers; returns the file name.
  std::string writeRun(const std::vector<VariantHeader>& headers, const std::string& accuracy,
                       const std::string& name = "run.bcor") {
    Shared_buffers shared(0);
    Corvane engine(par, shared);
    engine.bcor_file = dir + "/" + name;
    engine.accuracy = accuracy;
    bcortest::setUpOneThreadRun(engine, headers);
    bcortest::writeWholeFile(engine);
    return engine.bcor_file + "_1";
  }
};

using BcorHeaderFileDeathTest = BcorHeaderFile;

TEST_F(BcorHeaderFile, RecordsStartAfterTheAccuracyWord) {
  const std::vector<VariantHeader> one = {bcortest::variant(0, "rs1", 10, 0.5)};
  const struct {
    const char* accuracy;
    size_t first_record;
  } cases[] = {{"low", 69}, {"high", 70}, {"medium", 72}};
  for (const auto& c : cases) {
    const std::vector<byte_t> bytes = bcortest::fileBytes(writeRun(one, c.accuracy, c.accuracy));
    SCOPED_TRACE(c.accuracy);
    Bytes word;
    word.u16(std::string(c.accuracy).size()).text(c.accuracy);
    EXPECT_EQ(std::vector<byte_t>(bytes.begin() + 64, bytes.begin() + c.first_record), word.v);
    Bytes size;
    size.u32(36 + 3 + 2 + 1 + 1);
    EXPECT_EQ(
        std::vector<byte_t>(bytes.begin() + c.first_record, bytes.begin() + c.first_record + 4),
        size.v);
    Bytes header_size;
    header_size.u32(c.first_record + 4 + 43);
    EXPECT_EQ(std::vector<byte_t>(bytes.begin(), bytes.begin() + 4), header_size.v);
  }
}

TEST_F(BcorHeaderFile, ReadBackLoadsTheEngineAndTheSharedValues) {
  std::vector<VariantHeader> headers;
  for (uint32_t k = 0; k < 4; ++k)
    headers.push_back(bcortest::variant(10 + k, "rs" + std::to_string(k), 100 * (k + 1), 0.25));
  const std::string path = writeRun(headers, "high");
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = path;
  engine.readVariantHeaderFromStream();
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(ready_for_header));
  EXPECT_EQ(engine.bin_n_samples, 50u);
  EXPECT_EQ(engine.bin_n_variants, 4u);
  EXPECT_EQ(engine.chunk_n_variants, 4u);
  EXPECT_EQ(engine.bcor_start_variant, 10u);
  EXPECT_EQ(engine.bcor_end_variant, 13u);
  EXPECT_EQ(engine.bcor_start_position, 100u);
  EXPECT_EQ(engine.bcor_end_position, 400u);
  EXPECT_EQ(shared.run_start_position, 100u);
  EXPECT_EQ(shared.run_end_position, 400u);
  EXPECT_EQ(engine.accuracy, "high");
  EXPECT_EQ(engine.bcor_in.tellg(), static_cast<std::streamoff>(engine.header_size));
  ASSERT_EQ(engine.variant_headers.size(), 4u);
  EXPECT_EQ(engine.variant_headers.at(12).RSID, "rs2");
  EXPECT_EQ(engine.variant_headers.at(12).A_allele_freq, 0.25);
  EXPECT_EQ(engine.variant_headers.at(12).B_allele_freq, 0.75);
}

TEST_F(BcorHeaderFile, RangeFilterKeepsBothEnds) {
  std::vector<VariantHeader> headers;
  const uint32_t positions[] = {99, 100, 150, 200, 201};
  for (uint32_t k = 0; k < 5; ++k) headers.push_back(bcortest::variant(k, "v", positions[k], 0.5));
  const std::string path = writeRun(headers, "medium");
  flags.incl_range = true;
  par.incl_range = {100, 200};
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = path;
  engine.readVariantHeaderFromStream();
  std::vector<uint32_t> kept;
  for (const auto& entry : engine.variant_headers) kept.push_back(entry.second.position);
  EXPECT_EQ(kept, (std::vector<uint32_t>{100, 150, 200}));
  EXPECT_EQ(engine.bin_n_variants, 5u);
}

TEST_F(BcorHeaderFile, FewerRecordsThanVariantsStopAtTheHeaderEnd) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/few.bcor";
  bcortest::setUpOneThreadRun(engine, bcortest::twoVariants());
  engine.bin_n_variants = engine.chunk_n_variants = 3;
  engine.bcor_end_variant = 2;
  bcortest::writeWholeFile(engine);
  Shared_buffers shared2(0);
  Corvane reader(par, shared2);
  reader.bcor_file = engine.bcor_file + "_1";
  reader.readVariantHeaderFromStream();
  EXPECT_EQ(reader.variant_headers.size(), 2u);
  EXPECT_EQ(reader.bcor_in.tellg(), static_cast<std::streamoff>(reader.header_size));
}

TEST_F(BcorHeaderFileDeathTest, ThreadSpecificFileIsRefused) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/threads.bcor";
  bcortest::setUpOneThreadRun(engine, bcortest::twoVariants());
  engine.n_processes = 2; // first of two threads: its share is half of the run
  engine.bin_n_variants = 4;
  engine.bcor_end_variant = 3;
  bcortest::writeWholeFile(engine);
  Shared_buffers shared2(0);
  Corvane reader(par, shared2);
  reader.bcor_file = engine.bcor_file + "_1";
  EXPECT_FATAL(reader.readVariantHeaderFromStream(),
               "Error: File '.*threads.bcor_1' is a thread-specific BCOR file!");
}

TEST_F(BcorHeaderFileDeathTest, UnfinishedFileIsRefused) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = dir + "/unfinished.bcor";
  bcortest::setUpOneThreadRun(engine, bcortest::twoVariants());
  engine.correlations[0][1] = 0.5;
  bcortest::countRecords(engine);
  engine.writeVariantHeader();
  engine.writeVariantOffset();
  engine.writeVariantDataCorr();
  engine.bcor_out.close(); // the writer stops before its last step: a killed run's file
  EXPECT_FALSE(std::filesystem::exists(engine.bcor_file + "_1"));
  Shared_buffers shared2(0);
  Corvane reader(par, shared2);
  reader.bcor_file = engine.bcor_out_file.unfinished();
  EXPECT_FATAL(reader.readVariantHeaderFromStream(),
               "Error: File '.*unfinished.bcor_1.corvane-unfinished-[a-z0-9]{8}' is incomplete: its writing did "
               "not finish!");
}

TEST_F(BcorHeaderFileDeathTest, CorruptHeadersAreRefused) {
  const std::string path =
      writeRun({bcortest::variant(5, "a", 1, 0.5), bcortest::variant(6, "b", 2, 0.5)}, "low");
  const std::vector<byte_t> good = bcortest::fileBytes(path);
  // The file with some u32 fields replaced: (offset, value) pairs.
  auto variantWith = [&](std::vector<std::pair<size_t, uint32_t>> changes) {
    std::vector<byte_t> bytes = good;
    for (const auto& change : changes) {
      for (int k = 0; k < 4; ++k) {
        bytes[change.first + k] = static_cast<byte_t>(change.second >> (8 * k));
      }
    }
    const std::string bad = dir + "/bad.bcor";
    bcortest::writeBytes(bad, bytes, bytes.size());
    return bad;
  };
  auto readIt = [&](const std::string& file) {
    Shared_buffers shared(0);
    Corvane reader(par, shared);
    reader.bcor_file = file;
    reader.readVariantHeaderFromStream();
  };
  // header_size below the fixed header, beyond the file, or cutting a record in two.
  EXPECT_FATAL(readIt(variantWith({{0, 20}})), "Error: File '.*bad.bcor' is corrupt");
  EXPECT_FATAL(readIt(variantWith({{0, 1u << 30}})), "Error: File '.*bad.bcor' is truncated!");
  EXPECT_FATAL(readIt(variantWith({{0, 69 + 4 + 10}})), "Error: File '.*bad.bcor' is corrupt");
  // More records than variants.
  EXPECT_FATAL(readIt(variantWith({{8, 1}, {12, 1}})),
               "Error: File '.*bad.bcor' is corrupt: it holds more variant header records");
  // A record whose index lies outside the file's first and last variant.
  EXPECT_FATAL(readIt(variantWith({{69 + 4, 4}})), "Error: File '.*bad.bcor' is corrupt");
  // A record whose size overstates its fields.
  EXPECT_FATAL(readIt(variantWith({{69, 36 + 1 + 2 + 1 + 1 + 1}})),
               "Error: File '.*bad.bcor' is corrupt");
}

} // namespace
