#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bcor_fixture.hpp"
#include "corvane.hpp"
#include "extraction.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace {

using testbcor::StoredRun;
using testutil::SettingsGuard;

const std::string kProcessing = "\r- Processing variant               : ";
const std::string kRequested = "\r- Number of requested variants     : ";
const std::string kTableHeader =
    "chromosome index1 RSID1 position1 index2 RSID2 position2 correlation n_samples\n";

enum class Mode { meta, matrix, table };

struct Options {
  Options(Mode m = Mode::table, double thold = 0.0, double proportion = 0.0)
      : mode(m), ld_thold(thold), prop(proportion) {}
  Mode mode;
  std::vector<uint32_t> range;
  std::string list;  // inclusion list file, or empty
  double ld_thold;
  double prop;
  bool capture = true;  // false in death tests: their messages must reach the test's stderr
};

struct Outcome {
  bool written = false;
  std::string file;
  std::string output;  // standard output of the mode's steps
  uint64_t count = 0;
};

// The steps of the meta, matrix or table mode after the status blocks, as the entry point runs them.
Outcome extract(const std::string& bcor, const std::string& out, const Options& o) {
  SettingsGuard guard;
  flags.bcor = true;
  par.bcor = bcor;
  if (o.mode == Mode::meta) {
    flags.meta = true;
    par.meta = out;
  } else if (o.mode == Mode::matrix) {
    flags.matrix = true;
    par.matrix = out;
  } else {
    flags.table = true;
    par.table = out;
  }
  if (!o.range.empty()) {
    flags.incl_range = true;
    par.incl_range = o.range;
  }
  if (!o.list.empty()) {
    flags.incl_variants = true;
    par.incl_variants = o.list;
  }
  par.ld_thold = o.ld_thold;
  par.ld_n_samples_avail_prop = o.prop;
  Shared_buffers shared(0);
  Corvane engine(par, shared);

  if (o.capture) testing::internal::CaptureStdout();
  engine.readVariantHeaderFromStream();
  if (o.mode == Mode::meta) {
    engine.writeVariantHeaderToStream();
  } else {
    engine.readVariantOffset();
    if (!o.list.empty()) engine.readVariantsToInclude();
    shared.total_number_of_correlations = 0;
    if (o.mode == Mode::matrix) {
      o.list.empty() ? engine.extractCorrelationsMatrix() : engine.extractCorrelationsRegionMatrix();
    } else {
      o.list.empty() ? engine.extractCorrelationsTable() : engine.extractCorrelationsRegionTable();
    }
  }
  Outcome result;
  if (o.capture) result.output = testing::internal::GetCapturedStdout();
  result.count = shared.total_number_of_correlations;
  result.written = std::filesystem::exists(out);
  if (result.written) result.file = testutil::readFile(out);
  return result;
}

// A dense matrix as text: 1 on the diagonal, the given values at (row, column) and (column, row),
// each value as a default-formatted stream writes it.
std::string matrixText(uint32_t n, const std::map<std::pair<uint32_t, uint32_t>, double>& values) {
  std::ostringstream text;
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t j = 0; j < n; ++j) {
      double v = i == j ? 1.0 : 0.0;
      auto found = values.find({std::min(i, j), std::max(i, j)});
      if (found != values.end()) v = found->second;
      text << (j ? " " : "") << v;
    }
    text << "\n";
  }
  return text.str();
}

std::string listLine(const VariantHeader& v, bool swapped = false) {
  return v.RSID + " " + std::to_string(v.position) + " " + v.chromosome + " " +
         (swapped ? v.B_allele + " " + v.A_allele : v.A_allele + " " + v.B_allele) + "\n";
}

const std::string kListHeader = "RSID position chromosome A_allele B_allele\n";

// Eight variants at 100, 200, ..., 800, 100 samples.
StoredRun eightVariantRun() {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 8, 100, 100);
  run.pairs = {{0, 1, -0.25, 0}, {2, 6, 0.5, 0}, {3, 4, 0.0, 0}, {1, 7, 0.75, 60}, {5, 6, -1.0, 0}};
  return run;
}

// Five variants with pairs at and around the thresholds 0.25 and 0.5 used below.
StoredRun thresholdRun() {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 5, 100, 100);
  run.pairs = {{0, 1, -0.25, 0}, {0, 2, 0.2, 0},   {1, 3, 0.5, 50},
               {1, 4, 0.5, 49},  {2, 3, 0.9, 0},   {3, 4, 0.25, 100}};
  return run;
}

class Extraction : public ::testing::Test {
protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dir = testutil::scratchDir(std::string("extraction_") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  std::string write(const StoredRun& run) { return testbcor::writeSingleFile(run, dir + "/run.bcor"); }
  std::string list(const std::string& body, const std::string& name = "list.txt") {
    const std::string path = dir + "/" + name;
    testutil::writeFile(path, body);
    return path;
  }
  std::string dir;
};

// ---- meta list ----

TEST_F(Extraction, MetaListsIndexFromOneAndTenDecimals) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 3, 100, 100);
  run.variants[1].RSID = "";
  run.variants[2].A_allele_freq = 1.0;
  run.variants[2].B_allele_freq = 0.0;
  const std::string out = dir + "/out.meta";
  testutil::writeFile(out, std::string(500, 'x'));  // an existing file is overwritten
  const Outcome r = extract(write(run), out, {Mode::meta});
  EXPECT_EQ(r.file,
            "index RSID position chromosome A_allele B_allele A_allele_freq B_allele_freq\n"
            "1 rs0 100 1 A G 0.0156250000 0.9843750000\n"
            "2  200 1 A G 0.0312500000 0.9687500000\n"
            "3 rs2 300 1 A G 1.0000000000 0.0000000000\n");
  EXPECT_EQ(r.output, "");
}

TEST_F(Extraction, MetaKeepsGenotypeFileIndexAndRange) {
  StoredRun run;
  run.variants = testbcor::makeVariants(500, 4, 100, 100);
  const std::string bcor = write(run);
  Options o{Mode::meta};
  o.range = {200, 300};
  const Outcome r = extract(bcor, dir + "/out.meta", o);
  EXPECT_EQ(r.file,
            "index RSID position chromosome A_allele B_allele A_allele_freq B_allele_freq\n"
            "502 rs501 200 1 A G 0.0312500000 0.9687500000\n"
            "503 rs502 300 1 A G 0.0468750000 0.9531250000\n");
  o.range = {1000, 2000};
  EXPECT_EQ(extract(bcor, dir + "/none.meta", o).file,
            "index RSID position chromosome A_allele B_allele A_allele_freq B_allele_freq\n");
}

// ---- whole-file matrix ----

TEST_F(Extraction, MatrixHoldsEveryStoredPairMirrored) {
  const Outcome r = extract(write(eightVariantRun()), dir + "/out.matrix", {Mode::matrix});
  EXPECT_EQ(r.file, matrixText(8, {{{0, 1}, -0.25}, {{2, 6}, 0.5}, {{3, 4}, 0.0}, {{1, 7}, 0.75}, {{5, 6}, -1.0}}));
  EXPECT_EQ(r.count, 5u);
  std::string progress;
  for (int i = 2; i <= 7; ++i) progress += kProcessing + std::to_string(i) + "/8";
  EXPECT_EQ(r.output, progress + kProcessing + "8/8\n" + "- Number of extracted correlations : 5\n" +
                          "- Writing matrix                   : \r- Writing matrix                   : done!\n");
}

TEST_F(Extraction, MatrixProgressSkipsMultiplesOfHundred) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 250, 100, 10);
  const Outcome r = extract(write(run), dir + "/out.matrix", {Mode::matrix});
  std::string progress;
  for (int i = 1; i <= 248; ++i) {
    if (i % 100 != 0) progress += kProcessing + std::to_string(i + 1) + "/250";
  }
  progress += kProcessing + "250/250\n";
  EXPECT_EQ(r.output.substr(0, progress.size()), progress);
  EXPECT_EQ(r.count, 0u);
}

TEST_F(Extraction, MatrixOfOneVariantAndOfNone) {
  const std::string bcor = write(eightVariantRun());
  Options o{Mode::matrix};
  o.range = {300, 300};
  Outcome r = extract(bcor, dir + "/one.matrix", o);
  EXPECT_EQ(r.file, "1\n");
  EXPECT_EQ(r.output.substr(0, kProcessing.size() + 4), kProcessing + "1/1\n");
  o.range = {5000, 6000};
  r = extract(bcor, dir + "/none.matrix", o);
  EXPECT_FALSE(r.written);
  EXPECT_EQ(r.output, "");
}

TEST_F(Extraction, MatrixNumbersRowsByPlaceInASetWithGaps) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 4, 100, 100);
  run.variants[1].position = 300;
  run.variants[2].position = 200;
  run.pairs = {{0, 1, 0.25, 0}, {0, 2, 0.5, 0}, {1, 3, -0.5, 0}};
  Options o{Mode::matrix};
  o.range = {100, 250};  // variants 0 and 2
  const Outcome r = extract(write(run), dir + "/out.matrix", o);
  EXPECT_EQ(r.file, "1 0.5\n0.5 1\n");
  EXPECT_EQ(r.count, 1u);
}

TEST_F(Extraction, MatrixThatCannotBeAllocatedEndsTheRunAndLeavesNoFile) {
  // Sanitizer runtimes reserve far more address space than the limit and end the process themselves.
  if (std::getenv("CORVANE_SANITIZER") != nullptr) GTEST_SKIP();
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 4000, 100, 10);  // 128 MB of matrix
  const std::string bcor = write(run);
  std::string body = kListHeader;
  for (const VariantHeader& v : run.variants) body += listLine(v);
  const std::string listed = list(body);
  for (const bool requested : {false, true}) {
    const std::string out = dir + (requested ? "/requested.matrix" : "/whole.matrix");
    EXPECT_EXIT(
        {
          dup2(2, 1);
          // Room for everything but the matrix.
          long pages = 0;
          std::ifstream("/proc/self/statm") >> pages;
          const rlim_t room = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (48u << 20);
          rlimit limit;
          limit.rlim_cur = limit.rlim_max = room;
          setrlimit(RLIMIT_AS, &limit);
          Options o(Mode::matrix);
          o.capture = false;
          if (requested) o.list = listed;
          extract(bcor, out, o);
        },
        ::testing::ExitedWithCode(1), "Error: The correlation matrix of 4000 variants cannot be allocated!");
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// ---- requested matrix ----

TEST_F(Extraction, RequestedMatrixFindsPairsInAnyOrder) {
  const StoredRun run = eightVariantRun();
  const std::string bcor = write(run);
  std::string ascending = kListHeader, descending = kListHeader;
  for (int k = 0; k < 8; ++k) ascending += listLine(run.variants[k]);
  for (int k = 7; k >= 0; --k) descending += listLine(run.variants[k]);
  Options o{Mode::matrix};
  o.list = list(ascending, "asc.txt");
  const Outcome asc = extract(bcor, dir + "/asc.matrix", o);
  o.list = list(descending, "desc.txt");
  const Outcome desc = extract(bcor, dir + "/desc.matrix", o);
  EXPECT_EQ(asc.file, matrixText(8, {{{0, 1}, -0.25}, {{2, 6}, 0.5}, {{3, 4}, 0.0}, {{1, 7}, 0.75}, {{5, 6}, -1.0}}));
  // Place p of the descending list is variant 7 - p.
  EXPECT_EQ(desc.file, matrixText(8, {{{6, 7}, -0.25}, {{1, 5}, 0.5}, {{3, 4}, 0.0}, {{0, 6}, 0.75}, {{1, 2}, -1.0}}));
  EXPECT_EQ(asc.count, 5u);
  EXPECT_EQ(desc.count, 5u);
}

TEST_F(Extraction, RequestedMatrixNegatesAlleleSwappedVariants) {
  const StoredRun run = eightVariantRun();
  const auto& v = run.variants;
  // Places: 0 rs0, 1 rs1 swapped, 2 rs2, 3 rs6, 4 rs7 swapped (the run's last variant, no record).
  Options o{Mode::matrix};
  o.list = list(kListHeader + listLine(v[0]) + listLine(v[1], true) + listLine(v[2]) + listLine(v[6]) +
                listLine(v[7], true));
  const Outcome r = extract(write(run), dir + "/out.matrix", o);
  // Pairs not stored stay 0 (not -0) under one swap.
  EXPECT_EQ(r.file, matrixText(5, {{{0, 1}, 0.25},  // one swapped: negated
                                   {{2, 3}, 0.5},
                                   {{1, 4}, 0.75}}));  // both swapped: kept
}

// A stored magnitude 0 carries the sign of what rounded to it, and a swap negates it: printed as 0.
TEST_F(Extraction, ZerosPrintWithoutSign) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 4, 100, 100);
  run.pairs = {{0, 1, -1e-17, 0}, {2, 3, 0.0, 0}};
  const std::string bcor = write(run);
  const std::string swapped = list(kListHeader + listLine(run.variants[0]) + listLine(run.variants[1]) +
                                   listLine(run.variants[2]) + listLine(run.variants[3], true));
  for (const Mode mode : {Mode::table, Mode::matrix}) {
    for (const bool listed : {false, true}) {
      Options o{mode};
      if (listed) o.list = swapped;
      const Outcome r = extract(bcor, dir + "/out", o);
      EXPECT_EQ(r.count, 2u);
      std::istringstream words(r.file);
      for (std::string word; words >> word;) EXPECT_NE(word, "-0") << r.file;
    }
  }
}

TEST_F(Extraction, RequestedMatrixWithVariantListedTwice) {
  const StoredRun run = eightVariantRun();
  const auto& v = run.variants;
  // Variant 2 as in the file, then swapped: only the swapped listing changes sign; the element of
  // the two listings stays 0 (not -0).
  Options o{Mode::matrix};
  o.list = list(kListHeader + listLine(v[2]) + listLine(v[6]) + listLine(v[2], true));
  Outcome r = extract(write(run), dir + "/out.matrix", o);
  EXPECT_EQ(r.file, "1 0.5 0\n0.5 1 -0.5\n0 -0.5 1\n");
  EXPECT_EQ(r.count, 2u);
  // Swapped first: the same with the signs of the two listings exchanged.
  o.list = list(kListHeader + listLine(v[2], true) + listLine(v[6]) + listLine(v[2]), "swapped_first.txt");
  r = extract(write(run), dir + "/out.matrix", o);
  EXPECT_EQ(r.file, "1 -0.5 0\n-0.5 1 0.5\n0 0.5 1\n");
  // Swapped both times: both listings negated, their element still 0.
  o.list = list(kListHeader + listLine(v[2], true) + listLine(v[6]) + listLine(v[2], true), "both.txt");
  r = extract(write(run), dir + "/out.matrix", o);
  EXPECT_EQ(r.file, matrixText(3, {{{0, 1}, -0.5}, {{1, 2}, -0.5}, {{0, 2}, 0.0}}));
}

TEST_F(Extraction, RequestedMatrixProgressAndEmptyForms) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 250, 100, 10);
  const std::string bcor = write(run);
  std::string body = kListHeader;
  for (const VariantHeader& v : run.variants) body += listLine(v);
  Options o{Mode::matrix};
  o.list = list(body);
  Outcome r = extract(bcor, dir + "/all.matrix", o);
  const std::string progress = kProcessing + "1/250" + kProcessing + "101/250" + kProcessing + "201/250" +
                               kProcessing + "249/249\n";
  EXPECT_NE(r.output.find(progress), std::string::npos) << r.output;

  o.list = list(kListHeader + listLine(run.variants[3]), "one.txt");
  r = extract(bcor, dir + "/one.matrix", o);
  EXPECT_EQ(r.file, "1\n");
  EXPECT_NE(r.output.find(kProcessing + "0/0\n"), std::string::npos);

  o.list = list(kListHeader + "rs999 5 1 A G\n", "none.txt");
  r = extract(bcor, dir + "/none.matrix", o);
  EXPECT_FALSE(r.written);
  EXPECT_EQ(r.output, kRequested + "0/250" + kRequested + "0/250\n");
}

// ---- whole-file table ----

TEST_F(Extraction, TableAppliesInclusiveThresholdsAndSampleCounts) {
  Options o{Mode::table};
  o.ld_thold = 0.25;
  o.prop = 0.5;
  const std::string bcor = write(thresholdRun());
  Outcome r = extract(bcor, dir + "/out.table", o);
  EXPECT_EQ(r.file, kTableHeader +
                        "1 1 rs0 100 2 rs1 200 -0.25 100\n"
                        "1 2 rs1 200 4 rs3 400 0.5 50\n"
                        "1 3 rs2 300 4 rs3 400 0.9 100\n"
                        "1 4 rs3 400 5 rs4 500 0.25 100\n");
  EXPECT_EQ(r.count, 4u);
  EXPECT_EQ(r.output, kProcessing + "2/5" + kProcessing + "3/5" + kProcessing + "4/5" + kProcessing +
                          "5/5\n- Number of extracted correlations : 4\n");

  o.ld_thold = 0.0;
  o.prop = 0.0;
  r = extract(bcor, dir + "/all.table", o);
  EXPECT_EQ(r.count, 6u);
  EXPECT_NE(r.file.find("1 1 rs0 100 3 rs2 300 0.2 100\n"), std::string::npos);
  EXPECT_NE(r.file.find("1 2 rs1 200 5 rs4 500 0.5 49\n"), std::string::npos);
}

// At the threshold that stored them, a table lists the pairs stored at it: 0.3 and 0.8 read back
// below themselves at low and medium accuracy.
TEST_F(Extraction, TableThresholdIsTheStoredMagnitude) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 4, 100, 100);
  run.pairs = {{0, 1, 0.3, 0}, {1, 2, -0.8, 0}, {2, 3, 0.2999, 0}};
  for (const char* accuracy : {"low", "medium", "high"}) {
    run.accuracy = accuracy;
    const Outcome r = extract(write(run), dir + "/out.table", Options(Mode::table, 0.3));
    EXPECT_EQ(r.count, 2u) << accuracy << "\n" << r.file;
  }
}

TEST_F(Extraction, TableNumbersFromTheSetsFirstVariant) {
  StoredRun run;
  run.variants = testbcor::makeVariants(500, 3, 100, 100);
  run.pairs = {{500, 502, 0.5, 0}};
  const Outcome r = extract(write(run), dir + "/out.table", {Mode::table});
  EXPECT_EQ(r.file, kTableHeader + "1 1 rs500 100 3 rs502 300 0.5 100\n");
}

TEST_F(Extraction, TableOfOneVariantAndOfNone) {
  const std::string bcor = write(thresholdRun());
  Options o{Mode::table};
  o.range = {200, 200};
  Outcome r = extract(bcor, dir + "/one.table", o);
  EXPECT_EQ(r.file, kTableHeader);
  EXPECT_EQ(r.output, kProcessing + "1/1\n- Number of extracted correlations : 0\n");
  o.range = {1, 2};
  r = extract(bcor, dir + "/none.table", o);
  EXPECT_FALSE(r.written);
  EXPECT_EQ(r.output, "");
}

// ---- requested table ----

TEST_F(Extraction, RequestedTableInDescendingOrderFindsTheSamePairs) {
  const StoredRun run = thresholdRun();
  const std::string bcor = write(run);
  Options o{Mode::table};
  o.ld_thold = 0.25;
  o.prop = 0.5;
  std::string ascending = kListHeader, descending = kListHeader;
  for (int k = 0; k < 5; ++k) ascending += listLine(run.variants[k]);
  for (int k = 4; k >= 0; --k) descending += listLine(run.variants[k]);
  o.list = list(ascending, "asc.txt");
  const Outcome asc = extract(bcor, dir + "/asc.table", o);
  o.list = list(descending, "desc.txt");
  const Outcome desc = extract(bcor, dir + "/desc.table", o);
  EXPECT_EQ(asc.file, extract(bcor, dir + "/whole.table", Options(Mode::table, 0.25, 0.5)).file);
  // In list order; the number of samples comes from the record of the lower-index variant.
  EXPECT_EQ(desc.file, kTableHeader +
                           "1 1 rs4 500 2 rs3 400 0.25 100\n"
                           "1 2 rs3 400 3 rs2 300 0.9 100\n"
                           "1 2 rs3 400 4 rs1 200 0.5 50\n"
                           "1 4 rs1 200 5 rs0 100 -0.25 100\n");
  EXPECT_EQ(desc.count, asc.count);
  EXPECT_NE(desc.output.find(kProcessing + "1/4" + kProcessing + "4/4\n"), std::string::npos) << desc.output;
}

TEST_F(Extraction, RequestedTableProgressCountsAgainstAllButOne) {
  StoredRun run;
  run.variants = testbcor::makeVariants(0, 250, 100, 10);
  std::string body = kListHeader;
  for (const VariantHeader& v : run.variants) body += listLine(v);
  Options o{Mode::table};
  o.list = list(body);
  const Outcome r = extract(write(run), dir + "/all.table", o);
  EXPECT_EQ(r.output, kRequested + "0/250" + kRequested + "50/250" + kRequested + "100/250" + kRequested +
                          "150/250" + kRequested + "200/250" + kRequested + "250/250" + kRequested + "250/250\n" +
                          kProcessing + "1/249" + kProcessing + "101/249" + kProcessing + "201/249" +
                          kProcessing + "249/249\n- Number of extracted correlations : 0\n");
}

TEST_F(Extraction, RequestedTableSignRule) {
  const StoredRun run = thresholdRun();
  const auto& v = run.variants;
  Options o{Mode::table};
  o.list = list(kListHeader + listLine(v[0]) + listLine(v[1], true) + listLine(v[3], true) + listLine(v[4]));
  const Outcome r = extract(write(run), dir + "/out.table", o);
  EXPECT_EQ(r.file, kTableHeader +
                        "1 1 rs0 100 2 rs1 200 0.25 100\n"
                        "1 2 rs1 200 3 rs3 400 0.5 50\n"
                        "1 2 rs1 200 4 rs4 500 -0.5 49\n"
                        "1 3 rs3 400 4 rs4 500 -0.25 100\n");
}

TEST_F(Extraction, RequestedTableWithVariantListedTwice) {
  const StoredRun run = thresholdRun();
  const auto& v = run.variants;
  Options o{Mode::table};
  o.list = list(kListHeader + listLine(v[1]) + listLine(v[3]) + listLine(v[1]));
  const Outcome r = extract(write(run), dir + "/out.table", o);
  // The pair of places 2 and 3 is read from the record of variant 1, the lower index.
  EXPECT_EQ(r.file, kTableHeader +
                        "1 1 rs1 200 2 rs3 400 0.5 50\n"
                        "1 2 rs3 400 3 rs1 200 0.5 50\n");
  EXPECT_EQ(r.count, 2u);
}

TEST_F(Extraction, RequestedTableWithVariantListedBothWays) {
  const StoredRun run = thresholdRun();
  const auto& v = run.variants;
  Options o{Mode::table};
  o.list = list(kListHeader + listLine(v[1]) + listLine(v[3]) + listLine(v[1], true));
  const Outcome r = extract(write(run), dir + "/out.table", o);
  // Each listing has the sign of its own line: the one given as in the file keeps the stored sign.
  EXPECT_EQ(r.file, kTableHeader +
                        "1 1 rs1 200 2 rs3 400 0.5 50\n"
                        "1 2 rs3 400 3 rs1 200 -0.5 50\n");
  EXPECT_EQ(r.count, 2u);
}

TEST_F(Extraction, RequestedTableOfOneVariant) {
  const StoredRun run = thresholdRun();
  Options o{Mode::table};
  o.list = list(kListHeader + listLine(run.variants[2]));
  const Outcome r = extract(write(run), dir + "/out.table", o);
  EXPECT_EQ(r.file, kTableHeader);
  EXPECT_EQ(r.output, kRequested + "0/5" + kRequested + "1/5\n" + kProcessing +
                          "0/0\n- Number of extracted correlations : 0\n");
}

// ---- variant inclusion list ----

class InclusionList : public Extraction {
protected:
  // An engine holding variant records as a BCOR header would give them, without a file.
  void fill(Corvane& engine, const std::vector<VariantHeader>& variants, uint32_t n_in_file) {
    for (const VariantHeader& v : variants) engine.variant_headers[v.index] = v;
    engine.bin_n_variants = n_in_file;
  }
  std::string read(const std::vector<VariantHeader>& variants, const std::string& body,
                   std::vector<uint32_t>& requested, std::set<uint32_t>& flipped, bool capture = true) {
    SettingsGuard guard;
    flags.incl_variants = true;
    par.incl_variants = list(body);
    Shared_buffers shared(0);
    Corvane engine(par, shared);
    fill(engine, variants, static_cast<uint32_t>(variants.size()));
    if (capture) testing::internal::CaptureStdout();
    engine.readVariantsToInclude();
    const std::string output = capture ? testing::internal::GetCapturedStdout() : "";
    EXPECT_EQ(engine.n_requested_variants, engine.requested_variants.size());
    for (const auto& it : engine.requested_variants) requested.push_back(it->first);
    for (const auto& f : engine.flipped_variants) {
      EXPECT_EQ(f.second, 0u);
      flipped.insert(f.first);
    }
    return output;
  }
};

TEST_F(InclusionList, MatchesAllelesInEitherOrderAndRecordsSwaps) {
  std::vector<VariantHeader> variants = testbcor::makeVariants(0, 5, 100, 100);
  variants[2].A_allele = "G";
  variants[2].B_allele = "T";
  variants[4] = variants[3];  // the same identifying data twice: the lower index is taken
  variants[4].index = 4;
  std::vector<uint32_t> requested;
  std::set<uint32_t> flipped;
  const std::string output = read(variants,
                                  kListHeader +
                                      "rs2 300 1 T G\n"        // swapped: flip
                                      "rs2 300 1 G T extra\n"  // in order; further fields ignored
                                      "rs2 300 1 G G\n"        // no record has G twice
                                      "rs2 300 1 G C\n"        // one allele in common only
                                      "rs2 301 1 G T\n"
                                      "rs2 300 2 G T\n"
                                      "RS2 300 1 G T\n"
                                      "rs3 400 1 A G\n"
                                      "rs0 1e2 1 G A\n",
                                  requested, flipped);
  EXPECT_EQ(requested, (std::vector<uint32_t>{2, 2, 3, 0}));
  EXPECT_EQ(flipped, (std::set<uint32_t>{0, 2}));
  EXPECT_EQ(output, kRequested + "0/5" + kRequested + "4/5\n");
}

TEST_F(InclusionList, ProgressEveryFiftyMatches) {
  const std::vector<VariantHeader> variants = testbcor::makeVariants(0, 250, 100, 10);
  std::string body = kListHeader;
  for (int k = 0; k < 120; ++k) {
    body += listLine(variants[k]);
    if (k % 10 == 0) body += "rs_unknown 5 1 A G\n";
  }
  std::vector<uint32_t> requested;
  std::set<uint32_t> flipped;
  EXPECT_EQ(read(variants, body, requested, flipped),
            kRequested + "0/250" + kRequested + "50/250" + kRequested + "100/250" + kRequested + "120/250\n");
  EXPECT_EQ(requested.size(), 120u);
  EXPECT_TRUE(flipped.empty());
}

TEST_F(InclusionList, HeaderOnlyOrEmptyFile) {
  const std::vector<VariantHeader> variants = testbcor::makeVariants(0, 12, 100, 10);
  for (const std::string& body : {kListHeader, std::string()}) {
    std::vector<uint32_t> requested;
    std::set<uint32_t> flipped;
    EXPECT_EQ(read(variants, body, requested, flipped), kRequested + "0/12" + kRequested + "0/12\n");
    EXPECT_TRUE(requested.empty());
  }
}

TEST_F(InclusionList, MalformedLinesEndTheRun) {
  const std::vector<VariantHeader> variants = testbcor::makeVariants(0, 3, 100, 100);
  const std::string path = dir + "/list.txt";
  auto run = [&](const std::string& body) {
    dup2(2, 1);
    std::vector<uint32_t> requested;
    std::set<uint32_t> flipped;
    read(variants, body, requested, flipped, false);
  };
  EXPECT_EXIT(run(kListHeader + "rs0 100 1 A G\n\nrs1 200 1 A G\n"), ::testing::ExitedWithCode(1),
              "Error: Encountered emtpy input in line 2 in " + path + "!");
  EXPECT_EXIT(run(kListHeader + "rs0 12.5 1\n"), ::testing::ExitedWithCode(1),
              "Error: Encountered non-numeric data '12.5' in line 1 in " + path + "!");
  EXPECT_EXIT(run(kListHeader + "rs0 100 1 A\n"), ::testing::ExitedWithCode(1),
              "Error: Encountered emtpy input in line 1");
}

TEST_F(InclusionList, MissingFileEndsTheRun) {
  EXPECT_EXIT(
      {
        dup2(2, 1);
        SettingsGuard guard;
        flags.incl_variants = true;
        par.incl_variants = dir + "/missing.txt";
        Shared_buffers shared(0);
        Corvane engine(par, shared);
        engine.readVariantsToInclude();
      },
      ::testing::ExitedWithCode(1), "Error: File '" + dir + "/missing.txt' cannot be opened!");
}

// ---- output files that cannot be written ----

TEST_F(Extraction, UnwritableOutputsEndTheRun) {
  const std::string bcor = write(thresholdRun());
  auto fails = [&](Mode mode, const std::string& out) {
    dup2(2, 1);
    Options o(mode);
    o.capture = false;
    extract(bcor, out, o);
  };
  const std::string missing_dir = dir + "/no/such/dir/out";
  EXPECT_EXIT(fails(Mode::meta, missing_dir), ::testing::ExitedWithCode(1),
              "Error: File '" + missing_dir + "' cannot be written!");
  EXPECT_EXIT(fails(Mode::matrix, dir), ::testing::ExitedWithCode(1),
              "Error: File '" + dir + "' cannot be written!");
  EXPECT_EXIT(fails(Mode::table, "/dev/full"), ::testing::ExitedWithCode(1),
              "Error: File '/dev/full' cannot be written!");
  EXPECT_EXIT(fails(Mode::matrix, "/dev/full"), ::testing::ExitedWithCode(1),
              "Error: File '/dev/full' cannot be written!");
  EXPECT_EXIT(fails(Mode::meta, "/dev/full"), ::testing::ExitedWithCode(1),
              "Error: File '/dev/full' cannot be written!");
}

TEST_F(Extraction, OutputNamedAsTheBcorFileIsRefused) {
  const std::string bcor = write(thresholdRun());
  const std::string before = testutil::readFile(bcor);
  EXPECT_EXIT(
      {
        dup2(2, 1);
        Options o(Mode::table);
        o.capture = false;
        extract(bcor, bcor, o);
      },
      ::testing::ExitedWithCode(1), "Error: File '" + bcor + "' cannot be written: it is the BCOR file being read!");
  EXPECT_EQ(testutil::readFile(bcor), before);
}

// Each extraction reads its records through the offset tables, so it refuses to start without them.
TEST(ExtractionOrder, EveryExtractionNeedsTheOffsetTables) {
  for (void (Corvane::*extraction)() :
       {&Corvane::extractCorrelationsMatrix, &Corvane::extractCorrelationsRegionMatrix,
        &Corvane::extractCorrelationsTable, &Corvane::extractCorrelationsRegionTable}) {
    EXPECT_EXIT(
        {
          dup2(2, 1);
          SettingsGuard guard;
          Shared_buffers shared(0);
          Corvane engine(par, shared);
          engine.bcor_file = "ld.bcor";
          (engine.*extraction)();
        },
        ::testing::ExitedWithCode(1), "^Error: The offset tables of file 'ld.bcor' were not read!\n\n$");
  }
}

} // namespace
