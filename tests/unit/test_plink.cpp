// PLINK reader: .bed decoding, .bim/.fam parsing, file-set checks and the engine's openPLINK/readBim.
#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "corvane.hpp"
#include "death_test.hpp"
#include "plink.hpp"
#include "plink_writer.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace {

using testutil::exactly;
using testutil::stdoutToStderr;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string bedHeader() { return bytes({0x6C, 0x1B, 0x01}); }

using testdata::bimLines;
using testdata::famLines;

// Writes base.bed/.bim/.fam in a fresh directory and returns the base name.
std::string writeSet(const std::string& name, const std::string& fam, const std::string& bim, const std::string& bed) {
  const std::string base = testutil::scratchDir(name) + "/set";
  testdata::writePlinkSet(base, fam, bim, bed);
  return base;
}

struct Engine {
  testutil::SettingsGuard guard;
  Shared_buffers shared{0};
  std::unique_ptr<Corvane> engine;
  explicit Engine(const std::string& base) {
    flags.bplink = flags.bcor = true;
    par.bplink = base;
    par.bcor = base + ".bcor";
    engine = std::make_unique<Corvane>(par, shared);
  }
  Corvane* operator->() { return engine.get(); }
};

class Plink : public ::testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// ---- .bed geometry and decoding ----

TEST_F(Plink, ByteDecodesLowestBitsFirst) {
  EXPECT_EQ(plinkfile::bed::bitmask[0], 0x03);
  EXPECT_EQ(plinkfile::bed::bitmask[1], 0x0C);
  EXPECT_EQ(plinkfile::bed::bitmask[2], 0x30);
  EXPECT_EQ(plinkfile::bed::bitmask[3], 0xC0);
  plinkfile::bed::Context context;
  context.number_of_samples = 4;
  context.bytes_per_variant = 1;
  uint32_t counter = 0;
  // 0x1B = 00 01 10 11: samples 0..3 carry codes 11, 10, 01, 00.
  const Eigen::VectorXd d = plinkfile::bed::decode({0x1B}, {0, 1, 2, 3}, counter, context);
  ASSERT_EQ(d.size(), 4);
  EXPECT_EQ(d[0], 0.0);
  EXPECT_EQ(d[1], 1.0);
  EXPECT_TRUE(std::isnan(d[2]));
  EXPECT_EQ(d[3], 2.0);
  EXPECT_EQ(counter, 3u);
}

TEST_F(Plink, IncludedSamplesFollowAscendingIndex) {
  plinkfile::bed::Context context;
  context.number_of_samples = 4;
  context.bytes_per_variant = 1;
  uint32_t counter = 10;
  const Eigen::VectorXd d = plinkfile::bed::decode({0x1B}, {3, 0}, counter, context);
  ASSERT_EQ(d.size(), 2);
  EXPECT_EQ(d[0], 0.0);  // sample 0
  EXPECT_EQ(d[1], 2.0);  // sample 3
  EXPECT_EQ(counter, 12u);
}

TEST_F(Plink, RecordSizeAndTrailingBytes) {
  plinkfile::bed::Context context;
  context.number_of_samples = 5;
  uint64_t size = 0;
  std::istringstream ten(bedHeader() + std::string(2 * 10 + 1, '\0'));
  ASSERT_TRUE(plinkfile::bed::number_of_variants(ten, context, size));
  EXPECT_EQ(context.bytes_per_variant, 2u);
  EXPECT_EQ(context.number_of_variants, 10u);
  EXPECT_EQ(size, 24u);
  EXPECT_EQ(ten.tellg(), 3);
  context.number_of_samples = 4;
  std::istringstream none(bedHeader());
  ASSERT_TRUE(plinkfile::bed::number_of_variants(none, context, size));
  EXPECT_EQ(context.bytes_per_variant, 1u);
  EXPECT_EQ(context.number_of_variants, 0u);
}

TEST_F(Plink, MagicNumber) {
  std::istringstream good(bedHeader());
  EXPECT_TRUE(plinkfile::bed::check_magic_number(good));
  std::istringstream sample_major(bytes({0x6C, 0x1B, 0x00}));
  EXPECT_FALSE(plinkfile::bed::check_magic_number(sample_major));
  std::istringstream short_file(bytes({0x6C, 0x1B}));
  EXPECT_FALSE(plinkfile::bed::check_magic_number(short_file));
}

// ---- opening a file set ----

TEST_F(Plink, OpensAndCountsASet) {
  // 5 samples, 3 variants of 2 bytes, one trailing byte.
  const std::string base = writeSet("plink_open", famLines(5), bimLines(3),
                                    bedHeader() + bytes({0x1B, 0x00, 0xFF, 0x03, 0x00, 0x01, 0x7F}));
  Engine e(base);
  e->openPLINK(true);
  const PlinkParser& p = e->plink_parser;
  EXPECT_EQ(p.context.number_of_samples, 5u);
  EXPECT_EQ(p.context.number_of_variants, 3u);
  EXPECT_EQ(p.context.bytes_per_variant, 2u);
  EXPECT_EQ(p.bed_size, 10u);
  EXPECT_EQ(p.state, 2u);
  EXPECT_EQ(p.sample_ids.at("I0"), 0u);
  EXPECT_EQ(p.sample_ids.at("I4"), 4u);
  EXPECT_EQ(p.included_samples.size(), 5u);
  EXPECT_EQ(e->n_samples_in_file, 5u);
  EXPECT_EQ(e->bin_n_samples, 5u);
  EXPECT_EQ(e->n_variants_in_file, 3u);
  EXPECT_EQ(e->bin_n_variants, 3u);
  EXPECT_EQ(p.record_offset(2), 7u);
}

TEST_F(Plink, SampleMajorBedRefused) {
  const std::string base = writeSet("plink_sample_major", famLines(4), bimLines(1), bytes({0x6C, 0x1B, 0x00, 0x00}));
  Engine e(base);
  EXPECT_EXIT((stdoutToStderr(), e->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + base + ".bed' is not a BED file in SNP-major format!\n\n"));
}

TEST_F(Plink, FileThatCannotBeOpenedIsNamed) {
  const std::string base = writeSet("plink_unopenable", famLines(4), bimLines(1), bedHeader() + bytes({0}));
  std::remove((base + ".fam").c_str());
  // A link to itself exists as a name but cannot be opened.
  ASSERT_EQ(symlink("set.fam", (base + ".fam").c_str()), 0);
  Engine e(base);
  EXPECT_EXIT((stdoutToStderr(), e->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + base + ".fam' cannot be opened!\n\n"));
}

TEST_F(Plink, EmptyFamAndBedWithoutRecordRefused) {
  const std::string no_samples = writeSet("plink_no_samples", "", bimLines(1), bedHeader() + bytes({0}));
  Engine a(no_samples);
  EXPECT_EXIT((stdoutToStderr(), a->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + no_samples + ".fam' contains no samples!\n\n"));
  const std::string no_records = writeSet("plink_no_records", famLines(5), bimLines(1), bedHeader() + bytes({0}));
  Engine b(no_records);
  EXPECT_EXIT((stdoutToStderr(), b->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + no_records + ".bed' contains no complete variant record!\n\n"));
}

TEST_F(Plink, BimLineCountMustMatchBedRecords) {
  const std::string base = writeSet("plink_count", famLines(4), bimLines(3), bedHeader() + bytes({0, 0}));
  Engine e(base);
  EXPECT_EXIT((stdoutToStderr(), e->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + base + ".bim' holds 3 variants but file '" + base +
                      ".bed' holds 2 variant records!\n\n"));
}

TEST_F(Plink, BimColumnCheckNamesTheBim) {
  const std::string base = writeSet("plink_columns", famLines(4), "1 rs1 0 100 A G extra\n", bedHeader() + bytes({0}));
  Engine e(base);
  EXPECT_EXIT((stdoutToStderr(), e->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + base + ".bim' is expected to contain 6 columns!\n\n"));
  // Counted the way the line is read: on tabs when it holds one.
  const std::string tabs = writeSet("plink_columns_tabs", famLines(4), "1\trs 1\t0\t100\tA\tG\tx\n",
                                    bedHeader() + bytes({0}));
  Engine t(tabs);
  EXPECT_EXIT((stdoutToStderr(), t->openPLINK(true)), ::testing::ExitedWithCode(1),
              "File '" + tabs + "\\.bim' is expected to contain 6 columns!");
  const std::string spaces_inside = writeSet("plink_columns_inside", famLines(4), "1\trs 1 a b c d e\t0\t100\tA\tG\n",
                                             bedHeader() + bytes({0}));
  Engine ok(spaces_inside);
  ok->openPLINK(true);
  EXPECT_EQ(ok->n_variants_in_file, 1u);
}

TEST_F(Plink, FamFieldSplitting) {
  // Tab lines split on tabs only: the space stays inside the IID.
  const std::string tabs = writeSet("plink_fam_tabs", "F1\tI1 x\nF2\tI2\n", bimLines(1), bedHeader() + bytes({0}));
  Engine a(tabs);
  a->openPLINK(true);
  EXPECT_EQ(a->plink_parser.sample_ids.count("I1 x"), 1u);
  EXPECT_EQ(a->plink_parser.sample_ids.at("I2"), 1u);
  // Two spaces: an empty IID.
  const std::string empty_iid = writeSet("plink_fam_empty_iid", "F1  I1\n", bimLines(1), bedHeader() + bytes({0}));
  Engine b(empty_iid);
  b->openPLINK(true);
  EXPECT_EQ(b->plink_parser.sample_ids.at(""), 0u);
}

TEST_F(Plink, OpenWithoutItsSamples) {
  // As every thread of a computation but the first opens the set: no identifiers, no sample, the
  // same counts; the repeated IID is the first thread's to refuse.
  const std::string base =
      writeSet("plink_without_samples", "F1 I1\nF2 I1\nF3 I3\n", bimLines(2), bedHeader() + bytes({0x1B, 0x00}));
  Engine e(base);
  PlinkParser& p = e->plink_parser;
  p.keep_sample_ids = false;
  p.include_all_samples = false;
  e->openPLINK(true);
  EXPECT_TRUE(p.sample_ids.empty());
  EXPECT_TRUE(p.included_samples.empty());
  EXPECT_EQ(p.context.number_of_samples, 3u);
  EXPECT_EQ(p.context.number_of_variants, 2u);
  // Given the samples that the first thread keeps, it reads them.
  p.included_samples = {0, 2};
  p.sync_included_samples();
  std::map<uint32_t, VariantHeader> headers;
  const Eigen::VectorXd dosages = p.compute_genotypes(0, false, headers);
  ASSERT_EQ(dosages.size(), 2);
  EXPECT_EQ(dosages[0], 0.0);
  EXPECT_TRUE(std::isnan(dosages[1]));
}

TEST_F(Plink, FamDuplicateAndBlankLinesRefused) {
  const std::string dup = writeSet("plink_fam_dup", "F1 I1\nF2 I1\n", bimLines(1), bedHeader() + bytes({0}));
  Engine a(dup);
  EXPECT_EXIT((stdoutToStderr(), a->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("\n\nError: File '" + dup + ".fam' includes a duplicated sample I1!\n\n"));
  const std::string blank = writeSet("plink_fam_blank", "F1 I1\n\nF2 I2\n", bimLines(1), bedHeader() + bytes({0}));
  Engine b(blank);
  EXPECT_EXIT((stdoutToStderr(), b->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: Encountered emtpy input in file '" + blank + ".fam'!\n\n"));
  const std::string trailing = writeSet("plink_fam_trailing", "F1 I1\n\n", bimLines(1), bedHeader() + bytes({0}));
  Engine c(trailing);
  EXPECT_EXIT((stdoutToStderr(), c->openPLINK(true)), ::testing::ExitedWithCode(1), "emtpy input in file");
}

TEST_F(Plink, EveryBimLineIsCheckedWhenOpening) {
  // Line 3 lacks its B allele: found by every thread at opening, not by one thread later.
  const std::string short_line = writeSet("plink_bim_short", famLines(4), "1 a 0 1 A G\n1 b 0 2 A G\n1 c 0 3 A\n",
                                          bedHeader() + bytes({0, 0, 0}));
  Engine a(short_line);
  EXPECT_EXIT((stdoutToStderr(), a->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: Encountered emtpy input in file '" + short_line + ".bim'!\n\n"));
  const std::string chromosomes = writeSet("plink_bim_chr", famLines(4), "1 a 0 1 A G\n2 b 0 2 A G\n",
                                           bedHeader() + bytes({0, 0}));
  Engine b(chromosomes);
  EXPECT_EXIT((stdoutToStderr(), b->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: File '" + chromosomes + ".bim' contains variants on multiple chromosomes!\n\n"));
}

// ---- .bim fields ----

TEST_F(Plink, ConvertIntegerReadsTheWholeField) {
  PlinkParser p;
  p.bim_filename = "x.bim";
  // Written as R and spreadsheets write 10000: the same number, not its leading digits.
  for (const char* text : {"10000", "1e4", "1e+04", "10000.0", " 10000"}) EXPECT_EQ(p.convert_integer(text, 1), 10000u) << text;
  EXPECT_EQ(p.convert_integer("0", 1), 0u);
  EXPECT_EQ(p.convert_integer("2147483648", 1), 2147483648u);
  EXPECT_EQ(p.convert_integer("4294967295", 1), 4294967295u);
  p.print_errors = true;
  for (const char* text : {"10000.5", "10000abc", "12abc", "abc", "", "nan", "inf", "10000 ", "0x2710", "0x1.388p13"}) {
    EXPECT_EXIT((stdoutToStderr(), p.convert_integer(text, 3)), ::testing::ExitedWithCode(1),
                exactly("Error: Encountered non-numeric data '" + std::string(text) +
                        "' in column 4 of line 3 of file 'x.bim'!\n\n"))
        << text;
  }
  for (const char* text : {"4294967296", "1e10", "3000000000000"}) {
    EXPECT_EXIT((stdoutToStderr(), p.convert_integer(text, 3)), ::testing::ExitedWithCode(1),
                exactly("Error: Position '" + std::string(text) +
                        "' in column 4 of line 3 of file 'x.bim' is beyond the largest position (4294967295)!\n\n"))
        << text;
  }
  for (const char* text : {"-5", "-1e3", "-2147483649"}) {
    EXPECT_EXIT((stdoutToStderr(), p.convert_integer(text, 3)), ::testing::ExitedWithCode(1),
                exactly("Error: Encountered negative position in column 4 of file 'x.bim'!\n\n"))
        << text;
  }
}

TEST_F(Plink, PositionFieldsInBimLines) {
  const std::string base = writeSet("plink_positions", famLines(4), "1\ta\t0\t1.2e1\tA\tG\n1\tb\t0\t 7\tA\tG\n",
                                    bedHeader() + bytes({0, 0}));
  Engine e(base);
  e->openPLINK(true);
  std::string chromosome;
  uint32_t position = 0;
  ASSERT_TRUE(e->plink_parser.read_position(chromosome, position));
  EXPECT_EQ(chromosome, "1");
  EXPECT_EQ(position, 12u);
  ASSERT_TRUE(e->plink_parser.read_position(chromosome, position));
  EXPECT_EQ(position, 7u);
  EXPECT_FALSE(e->plink_parser.read_position(chromosome, position));

  // The fault lies on line 2: the message counts lines from 1.
  const auto second_line = [](const std::string& field) {
    return "1\ta\t0\t5\tA\tG\n1\tb\t0\t" + field + "\tA\tG\n";
  };
  for (const char* field : {"abc", "", "12abc", "10000.5"}) {
    const std::string bad = writeSet("plink_position_bad", famLines(4), second_line(field), bedHeader() + bytes({0, 0}));
    Engine b(bad);
    EXPECT_EXIT((stdoutToStderr(), b->openPLINK(true)), ::testing::ExitedWithCode(1),
                exactly("Error: Encountered non-numeric data '" + std::string(field) + "' in column 4 of line 2 of file '" +
                        bad + ".bim'!\n\n"))
        << field;
  }
  const std::string beyond = writeSet("plink_position_beyond", famLines(4), second_line("3000000000000"),
                                      bedHeader() + bytes({0, 0}));
  Engine big(beyond);
  EXPECT_EXIT((stdoutToStderr(), big->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: Position '3000000000000' in column 4 of line 2 of file '" + beyond +
                      ".bim' is beyond the largest position (4294967295)!\n\n"));
  // A negative position would wrap to the far end of the chromosome: refused.
  const std::string negative = writeSet("plink_position_negative", famLines(4), "1\ta\t0\t-5\tA\tG\n",
                                        bedHeader() + bytes({0}));
  Engine n(negative);
  EXPECT_EXIT((stdoutToStderr(), n->openPLINK(true)), ::testing::ExitedWithCode(1),
              exactly("Error: Encountered negative position in column 4 of file '" + negative + ".bim'!\n\n"));
}

TEST_F(Plink, ReadBimStoresTheShareOnly) {
  std::string bim = bimLines(9);
  bim += "1\trs9\t0\t1000\tC\tT\r\n";
  const std::string base = writeSet("plink_read_bim", famLines(4), bim, bedHeader() + std::string(10, '\0'));
  Engine e(base);
  e->openPLINK(true);
  e->chunk_start_variant = 2;
  e->chunk_end_variant = 4;
  e->readBim();
  ASSERT_EQ(e->variant_headers.size(), 2u);
  const VariantHeader& h = e->variant_headers.at(2);
  EXPECT_EQ(h.index, 2u);
  EXPECT_EQ(h.RSID, "rs2");
  EXPECT_EQ(h.position, 300u);
  EXPECT_EQ(h.chromosome, "1");
  EXPECT_EQ(h.A_allele, "A");
  EXPECT_EQ(h.B_allele, "G");
  EXPECT_EQ(e->variant_headers.at(3).index, 3u);
  // A CR LF line end is a line end: no carriage return in the B allele.
  e->plink_parser.read_bim(9, 10, e->variant_headers);
  EXPECT_EQ(e->variant_headers.at(9).B_allele, "T");
}

TEST_F(Plink, FaultInOneThreadsShareEndsTheRunWithoutHanging) {
  const std::string base = writeSet("plink_share_fault", famLines(4), bimLines(4), bedHeader() + std::string(4, '\0'));
  Engine e(base);
  e->openPLINK(false);
  // The file changes under the run: only the thread that owns line 4 meets the fault.
  testutil::writeFile(base + ".bim", bimLines(3) + "1\trs3\t0\t400\tA\n");
  auto run = [&]() {
    stdoutToStderr();
#pragma omp parallel num_threads(2)
    {
      if (omp_get_thread_num() == 1) {
        std::map<uint32_t, VariantHeader> headers;
        e->plink_parser.read_bim(2, 4, headers);
      }
#pragma omp barrier
    }
    std::exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(1), exactly("Error: Encountered emtpy input in file '" + base + ".bim'!\n\n"));
}

// ---- genotypes and frequencies ----

TEST_F(Plink, GenotypesAndAlleleFrequencies) {
  // Variant 0: samples 0..3 dosages 2, 2, 1, missing -> codes 00 00 10 01 = 0b01100000.
  // Variant 1: all missing -> 0x55.
  const std::string base = writeSet("plink_genotypes", famLines(4), bimLines(2), bedHeader() + bytes({0x60, 0x55}));
  Engine e(base);
  e->openPLINK(true);
  e->chunk_start_variant = 0;
  e->chunk_end_variant = 2;
  e->readBim();
  PlinkParser& p = e->plink_parser;
  p.seek_variant(0);
  ASSERT_TRUE(p.has_record());
  Eigen::MatrixXd matrix(4, 2);
  EXPECT_EQ(p.compute_genotypes(0, true, e->variant_headers, matrix.col(0)), 3u);
  EXPECT_EQ(matrix(0, 0), 2.0);
  EXPECT_EQ(matrix(1, 0), 2.0);
  EXPECT_EQ(matrix(2, 0), 1.0);
  EXPECT_TRUE(std::isnan(matrix(3, 0)));
  EXPECT_DOUBLE_EQ(e->variant_headers.at(0).A_allele_freq, 5.0 / 6.0);
  EXPECT_DOUBLE_EQ(e->variant_headers.at(0).B_allele_freq, 1.0 / 6.0);
  EXPECT_EQ(p.compute_genotypes(1, true, e->variant_headers, matrix.col(1)), 0u);
  EXPECT_TRUE(std::isnan(e->variant_headers.at(1).A_allele_freq));
  EXPECT_TRUE(std::isnan(e->variant_headers.at(1).B_allele_freq));
  EXPECT_FALSE(p.has_record());
  // Store false leaves the headers alone; the record of variant 0 again, by seek.
  e->variant_headers.at(0).A_allele_freq = -1.0;
  p.seek_variant(0);
  const Eigen::VectorXd again = p.compute_genotypes(0, false, e->variant_headers);
  EXPECT_EQ(again[2], 1.0);
  EXPECT_EQ(e->variant_headers.at(0).A_allele_freq, -1.0);
}

TEST_F(Plink, RoundTripThroughTheTestWriter) {
  // Random counts (fixed seed) over sample counts around a byte boundary, with a sample subset.
  std::mt19937 rng(77u);
  for (uint32_t n : {1u, 4u, 7u, 9u}) {
    const std::string base = testutil::scratchDir("plink_round_trip_" + std::to_string(n)) + "/set";
    std::vector<std::vector<int>> counts(6, std::vector<int>(n));
    {
      testdata::PlinkWriter writer(base, testdata::defaultFamSamples(n));
      for (uint32_t v = 0; v < counts.size(); ++v) {
        for (int& c : counts[v]) c = static_cast<int>(rng() % 4) - 1;
        testdata::PlinkVariant variant;
        variant.rsid = "rs" + std::to_string(v);
        variant.position = 10 + v;
        variant.allele_a = "A";
        variant.allele_b = "C";
        writer.addVariant(variant, counts[v]);
      }
      writer.close();
    }
    Engine e(base);
    e->openPLINK(true);
    ASSERT_EQ(e->n_variants_in_file, counts.size());
    PlinkParser& p = e->plink_parser;
    // Odd sample indices only (or sample 0 when there is one sample).
    p.included_samples.clear();
    for (uint32_t s = (n > 1 ? 1 : 0); s < n; s += 2) p.included_samples.insert(s);
    p.sync_included_samples();
    p.seek_variant(0);
    for (uint32_t v = 0; v < counts.size(); ++v) {
      const Eigen::VectorXd d = p.compute_genotypes(v, false, e->variant_headers);
      size_t k = 0;
      for (uint32_t s : p.included_samples) {
        const int expected = counts[v][s];
        if (expected < 0) {
          EXPECT_TRUE(std::isnan(d[k])) << n << " " << v << " " << s;
        } else {
          EXPECT_EQ(d[k], expected) << n << " " << v << " " << s;
        }
        ++k;
      }
    }
  }
}

// ---- interop with plink1.9 ----

// Genotypes of a small VCF (fixed seed) go through `plink1.9 --make-bed`; our dosages must equal
// the A1 (column 5) counts that `plink1.9 --recode A` writes for the same samples.
class PlinkInterop : public Plink {
protected:
  std::string dir;
  static constexpr int kSamples = 13;  // not a multiple of 4: the last byte is partly used
  static constexpr int kVariants = 25;

  void SetUp() override {
    Plink::SetUp();
    if (std::system("command -v plink1.9 >/dev/null 2>&1") != 0) GTEST_SKIP() << "plink1.9 not installed";
    dir = testutil::scratchDir(std::string("plink_interop_") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::mt19937 rng(20240611u);
    std::ostringstream vcf;
    vcf << "##fileformat=VCFv4.2\n##contig=<ID=7>\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
    for (int s = 0; s < kSamples; ++s) vcf << "\tS" << s;
    vcf << "\n";
    const char* gts[] = {"0/0", "0/1", "1/1", "./."};
    const char* bases = "ACGT";
    for (int v = 0; v < kVariants; ++v) {
      const int ref = static_cast<int>(rng() % 4);
      const int alt = (ref + 1 + static_cast<int>(rng() % 3)) % 4;
      vcf << "7\t" << 1000 + 37 * v << "\tvar" << v << "\t" << bases[ref] << "\t" << bases[alt] << "\t.\tPASS\t.\tGT";
      for (int s = 0; s < kSamples; ++s) {
        const unsigned r = rng() % 20;
        vcf << "\t" << gts[r == 0 ? 3 : (r < 8 ? 0 : (r < 15 ? 1 : 2))];
      }
      vcf << "\n";
    }
    testutil::writeFile(dir + "/in.vcf", vcf.str());
    plink("--vcf " + dir + "/in.vcf --make-bed --out " + dir + "/set");
  }

  void plink(const std::string& arguments) {
    const std::string command = "plink1.9 --threads 1 --memory 256 --silent " + arguments + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  // The .raw table of `--recode A`: per sample (row), per variant (column) the A1 count, NaN for NA;
  // also the counted allele of each column.
  static std::vector<std::vector<double>> readRaw(const std::string& path, std::vector<std::string>& counted) {
    std::istringstream in(testutil::readFile(path));
    std::string line, word;
    std::getline(in, line);
    std::istringstream header(line);
    for (int k = 0; header >> word; ++k) {
      if (k >= 6) counted.push_back(word.substr(word.rfind('_') + 1));
    }
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::vector<double> row;
      for (int k = 0; fields >> word; ++k) {
        if (k >= 6) row.push_back(word == "NA" ? std::nan("") : std::stod(word));
      }
      rows.push_back(row);
    }
    return rows;
  }

  static void expectSame(double ours, double theirs, const std::string& where) {
    if (std::isnan(theirs)) {
      EXPECT_TRUE(std::isnan(ours)) << where;
    } else {
      EXPECT_EQ(ours, theirs) << where;
    }
  }
};

TEST_F(PlinkInterop, DosagesEqualRecodeACounts) {
  plink("--bfile " + dir + "/set --recode A --out " + dir + "/rec");
  std::vector<std::string> counted;
  const auto raw = readRaw(dir + "/rec.raw", counted);
  ASSERT_EQ(raw.size(), static_cast<size_t>(kSamples));
  ASSERT_EQ(counted.size(), static_cast<size_t>(kVariants));

  Engine e(dir + "/set");
  e->openPLINK(true);
  ASSERT_EQ(e->n_samples_in_file, static_cast<uint32_t>(kSamples));
  ASSERT_EQ(e->n_variants_in_file, static_cast<uint32_t>(kVariants));
  e->chunk_start_variant = 0;
  e->chunk_end_variant = kVariants;
  e->readBim();
  PlinkParser& p = e->plink_parser;
  p.seek_variant(0);
  Eigen::MatrixXd dosages(kSamples, kVariants);
  for (uint32_t v = 0; v < static_cast<uint32_t>(kVariants); ++v) {
    ASSERT_TRUE(p.has_record());
    p.compute_genotypes(v, true, e->variant_headers, dosages.col(v));
    const VariantHeader& h = e->variant_headers.at(v);
    EXPECT_EQ(h.A_allele, counted[v]) << "variant " << v;
    EXPECT_EQ(h.position, 1000u + 37u * v);
    double sum = 0.0, n = 0.0;
    for (int s = 0; s < kSamples; ++s) {
      expectSame(dosages(s, v), raw[s][v], "sample " + std::to_string(s) + " variant " + std::to_string(v));
      if (!std::isnan(raw[s][v])) sum += raw[s][v], n += 1.0;
    }
    EXPECT_DOUBLE_EQ(h.A_allele_freq, sum / (2.0 * n));
    EXPECT_DOUBLE_EQ(h.B_allele_freq, 1.0 - sum / (2.0 * n));
  }
  EXPECT_FALSE(p.has_record());
}

TEST_F(PlinkInterop, SampleListMatchesKeep) {
  // plink keeps .fam order whatever the order of --keep; our list gives ascending sample order too.
  // --keep-allele-order: otherwise plink would recount the minor allele among the kept samples.
  testutil::writeFile(dir + "/keep.fid", "S11 S11\nS3 S3\nS0 S0\nS7 S7\n");
  testutil::writeFile(dir + "/keep.txt", "S11\nS3\nS0\nS7\n");
  plink("--bfile " + dir + "/set --keep " + dir + "/keep.fid --keep-allele-order --recode A --out " + dir + "/kept");
  std::vector<std::string> counted;
  const auto raw = readRaw(dir + "/kept.raw", counted);
  ASSERT_EQ(raw.size(), 4u);
  ASSERT_EQ(counted.size(), static_cast<size_t>(kVariants));

  Engine e(dir + "/set");
  flags.incl_samples = true;
  e->incl_samples_file = dir + "/keep.txt";
  e->openPLINK(true);
  e->readSamplesToInclude();
  ASSERT_EQ(e->bin_n_samples, 4u);
  e->chunk_start_variant = 0;
  e->chunk_end_variant = kVariants;
  e->readBim();
  PlinkParser& p = e->plink_parser;
  p.seek_variant(0);
  Eigen::MatrixXd dosages(4, kVariants);
  for (uint32_t v = 0; v < static_cast<uint32_t>(kVariants); ++v) {
    p.compute_genotypes(v, false, e->variant_headers, dosages.col(v));
    EXPECT_EQ(e->variant_headers.at(v).A_allele, counted[v]) << "variant " << v;
    for (int s = 0; s < 4; ++s) {
      expectSame(dosages(s, v), raw[s][v], "sample " + std::to_string(s) + " variant " + std::to_string(v));
    }
  }
}

// Whole-byte decoding of a record with every sample: the same dosages and tallies as the one
// sample at a time path, for every sample count around byte and word boundaries.
TEST(PlinkDecode, AllSamplesAtOnceAgreesWithOneAtATime) {
  std::mt19937 rng(17);
  for (size_t count : {1, 2, 3, 4, 5, 31, 32, 33, 63, 64, 65, 127, 129, 1001}) {
    std::vector<byte_t> record((count + 3) / 4 + 1);
    for (auto& b : record) b = static_cast<byte_t>(rng());
    std::vector<uint32_t> all(count);
    for (size_t i = 0; i < count; ++i) all[i] = static_cast<uint32_t>(i);
    std::vector<double> one(count), whole(count);
    const auto a = plinkfile::bed::decode_into(record.data(), all.data(), count, one.data());
    const auto b = plinkfile::bed::decode_all(record.data(), count, whole.data());
    for (size_t i = 0; i < count; ++i) {
      if (std::isnan(one[i])) {
        EXPECT_TRUE(std::isnan(whole[i])) << count << " " << i;
      } else {
        EXPECT_EQ(one[i], whole[i]) << count << " " << i;
      }
    }
    EXPECT_EQ(a.zero, b.zero) << count;
    EXPECT_EQ(a.one, b.one) << count;
    EXPECT_EQ(a.two, b.two) << count;
    EXPECT_EQ(a.missing, b.missing) << count;
    EXPECT_EQ(b.zero + b.one + b.two + b.missing, count);
  }
}

} // namespace
