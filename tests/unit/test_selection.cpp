// Text-line validators, sample inclusion list and range selection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "corvane.hpp"
#include "death_test.hpp"
#include "plink_writer.hpp"
#include "selection.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace {

using testutil::exactly;
using testutil::stdoutToStderr;

class Validators : public ::testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Validators, ReadStringSplitsOnSingleSpaces) {
  std::istringstream line("a  b");
  EXPECT_EQ(readString(line, "f.txt", 3), "a");
  EXPECT_EQ(readString(line, "f.txt", 3), "");
  EXPECT_EQ(readString(line, "f.txt", 3), "b");
  EXPECT_EXIT((stdoutToStderr(), readString(line, "f.txt", 3)), ::testing::ExitedWithCode(1),
              exactly("\n\nError: Encountered emtpy input in line 3 in f.txt!\n\n"));
}

TEST_F(Validators, ReadStringTrailingSpaceEmptyLineAndTab) {
  std::istringstream trailing("x ");
  EXPECT_EQ(readString(trailing, "f", 0), "x");
  EXPECT_EXIT((stdoutToStderr(), readString(trailing, "f", 0)), ::testing::ExitedWithCode(1),
              "emtpy input in line 0 in f!");
  std::istringstream empty("");
  EXPECT_EXIT((stdoutToStderr(), readString(empty, "list", 7)), ::testing::ExitedWithCode(1),
              exactly("\n\nError: Encountered emtpy input in line 7 in list!\n\n"));
  std::istringstream tabbed("ID7\tmore text\r");
  EXPECT_EQ(readString(tabbed, "f", 0), "ID7\tmore");
  EXPECT_EQ(readString(tabbed, "f", 0), "text\r");
}

// Read exactly: a double would make a tiny fraction whole and an exponent past its range no number.
TEST(ReadPositionText, ExactDecimalReading) {
  const std::string zeros(40, '0');
  const struct {
    std::string text;
    PositionText kind;
    uint32_t position;
  } cases[] = {
      {"10000", PositionText::whole, 10000},
      {"1e4", PositionText::whole, 10000},
      {"1e+04", PositionText::whole, 10000},
      {"10000.0", PositionText::whole, 10000},
      {"+1000", PositionText::whole, 1000},
      {" \t10000", PositionText::whole, 10000},
      {"1.5e1", PositionText::whole, 15},
      {"0.00001e5", PositionText::whole, 1},
      {"100000e-1", PositionText::whole, 10000},
      {"42949672.95e2", PositionText::whole, 4294967295u},
      {"4294967295.000", PositionText::whole, 4294967295u},
      {"0." + zeros + "1e41", PositionText::whole, 1},
      {"1" + zeros + "e-40", PositionText::whole, 1},
      {"0", PositionText::whole, 0},
      {"-0", PositionText::whole, 0},
      {"0e999", PositionText::whole, 0},
      {"-0.0e99999999999999999999", PositionText::whole, 0},
      {"10000.0000000000001", PositionText::not_whole, 0},
      {"1e-400", PositionText::not_whole, 0},
      {"1e-99999999999999999999", PositionText::not_whole, 0},
      {"4294967295.5", PositionText::not_whole, 0},
      {"1" + zeros + "1e-40", PositionText::not_whole, 0},
      {"-0.5", PositionText::not_whole, 0},
      {"0x2710", PositionText::not_whole, 0},
      {"inf", PositionText::not_whole, 0},
      {"nan", PositionText::not_whole, 0},
      {"10000 ", PositionText::not_whole, 0},
      {std::string("12\0", 3), PositionText::not_whole, 0},
      {"", PositionText::not_whole, 0},
      {".", PositionText::not_whole, 0},
      {"e5", PositionText::not_whole, 0},
      {"1e", PositionText::not_whole, 0},
      {"1e400x", PositionText::not_whole, 0},
      {"\v12", PositionText::not_whole, 0},
      {"4294967296", PositionText::beyond_largest, 0},
      {"42949672960e-1", PositionText::beyond_largest, 0},
      {"99999999999", PositionText::beyond_largest, 0},
      {"1e400", PositionText::beyond_largest, 0},
      {"4294967295.5e1", PositionText::beyond_largest, 0},
      {"1e99999999999999999999", PositionText::beyond_largest, 0},
      {"0.000000000000000000001e31", PositionText::beyond_largest, 0},
      {"-5", PositionText::negative, 0},
      {"-1e400", PositionText::negative, 0},
  };
  for (const auto& c : cases) {
    uint32_t position = 7;
    EXPECT_EQ(readPositionText(c.text, position), c.kind) << c.text;
    if (c.kind == PositionText::whole) {
      EXPECT_EQ(position, c.position) << c.text;
    }
  }
}

TEST_F(Validators, ConvertIntegerAcceptsWholePositiveNumbers) {
  EXPECT_EQ(convertInteger("12", "v", 1), 12);
  EXPECT_EQ(convertInteger("12.0", "v", 1), 12);
  EXPECT_EQ(convertInteger("1e2", "v", 1), 100);
  EXPECT_EQ(convertInteger(" 7", "v", 1), 7);
  EXPECT_EQ(convertInteger("+12", "v", 1), 12);
  EXPECT_EQ(convertInteger("12.", "v", 1), 12);
  EXPECT_EQ(convertInteger(".12E2", "v", 1), 12);
  EXPECT_EQ(convertInteger("2147483648", "v", 1), 2147483648u);
  EXPECT_EQ(convertInteger("4294967295", "v", 1), 4294967295u);
}

TEST_F(Validators, ConvertIntegerRefusesEverythingElse) {
  // Decimal only: strtod's hexadecimal, infinities and NaN are no positions.
  for (const char* text : {"12.5", "0", "-3", "12a", "", "nan", "inf", "7 ", "0x2710", "0X7D0",
                           "0x1p4", "infinity", "+inf", "-nan", "1e", "1e+", ".", "+", "\v12"}) {
    EXPECT_EXIT((stdoutToStderr(), convertInteger(text, "vars.txt", 4)), ::testing::ExitedWithCode(1),
                exactly("\n\nError: Encountered non-numeric data '" + std::string(text) +
                        "' in line 4 in vars.txt!\n\n"))
        << text;
  }
  for (const char* text : {"4294967296", "1e300", "1e400"}) {
    EXPECT_EXIT((stdoutToStderr(), convertInteger(text, "vars.txt", 4)), ::testing::ExitedWithCode(1),
                exactly("\n\nError: Position '" + std::string(text) +
                        "' in line 4 in vars.txt is beyond the largest position (4294967295)!\n\n"))
        << text;
  }
}

TEST_F(Validators, CheckLineMaximumAndRewind) {
  std::istringstream five("a b c d e\nsecond\n");
  checkLine(five, "v.txt", 0, 5);
  std::string first;
  std::getline(five, first);
  EXPECT_EQ(first, "a b c d e");
  std::istringstream six("a b c d e f\n");
  EXPECT_EXIT((stdoutToStderr(), checkLine(six, "v.txt", 0, 5)), ::testing::ExitedWithCode(1),
              exactly("Error: Encountered 6 column(s) in v.txt but 5 columns are required!\n\n"));
  // A tab does not split: one column.
  std::istringstream tabs("RSID\tposition\tchromosome\tA\tB\tC\n");
  checkLine(tabs, "v.txt", 0, 1);
  // An empty stream has no columns and is rewound.
  std::istringstream none("");
  checkLine(none, "v.txt", 0, 5);
  EXPECT_TRUE(none.good());
}

TEST_F(Validators, CheckLineSampleMinimum) {
  std::istringstream two("ID_1 ID_2\n");
  EXPECT_EXIT((stdoutToStderr(), checkLineSample(two, "s.sample", 0, 3)), ::testing::ExitedWithCode(1),
              exactly("Error: Encountered 2 column(s) in s.sample but at least 3 columns are required!\n\n"));
  std::istringstream empty("\nID_1 ID_2 missing\n");
  EXPECT_EXIT((stdoutToStderr(), checkLineSample(empty, "s.sample", 0, 3)), ::testing::ExitedWithCode(1),
              "Encountered 0 column\\(s\\) in s.sample but at least 3");
  std::istringstream four("ID_1 ID_2 missing sex\nrest\n");
  checkLineSample(four, "s.sample", 0, 3);
  std::string first;
  std::getline(four, first);
  EXPECT_EQ(first, "ID_1 ID_2 missing sex");
  std::istringstream three("ID_1 ID_2 missing\n");
  checkLineSample(three, "s.sample", 0, 3);
}

class HeaderChecks : public Validators {
protected:
  Shared_buffers shared{0};
  Corvane engine{par, shared};
};

TEST_F(HeaderChecks, VariantListHeader) {
  std::istringstream good("RSID position chromosome A_allele B_allele\nrs1 100 1 A G\n");
  engine.readFirstLine(good, "v.txt");
  std::string next;
  std::getline(good, next);
  EXPECT_EQ(next, "rs1 100 1 A G");
  std::istringstream partial("RSID position\n");
  engine.readFirstLine(partial, "v.txt");
  std::istringstream extra("RSID position chromosome A_allele B_allele B_allele\n");
  engine.readFirstLine(extra, "v.txt");

  std::istringstream tabs("RSID\tposition\tchromosome\tA_allele\tB_allele\n");
  EXPECT_EXIT((stdoutToStderr(), engine.readFirstLine(tabs, "v.txt")), ::testing::ExitedWithCode(1),
              exactly("\nError: Encountered 'RSID\tposition\tchromosome\tA_allele\tB_allele' in place of "
                      "'RSID' in header in v.txt!\n\n"));
  // CR LF line ends are line ends; a carriage return inside a line (CR-only line ends) is shown as \r.
  std::istringstream crlf("RSID position chromosome A_allele B_allele\r\nrs1 100 1 A G\r\n");
  engine.readFirstLine(crlf, "v.txt");
  std::getline(crlf, next);
  EXPECT_EQ(next, "rs1 100 1 A G\r");
  std::istringstream cr_only("RSID position chromosome A_allele B_allele\rrs1 100 1 A G\r");
  EXPECT_EXIT((stdoutToStderr(), engine.readFirstLine(cr_only, "v.txt")), ::testing::ExitedWithCode(1),
              exactly("\nError: Encountered 'B_allele\\rrs1' in place of 'B_allele' in header in v.txt!\n\n"));
  std::istringstream wrong("RSID pos chromosome\n");
  EXPECT_EXIT((stdoutToStderr(), engine.readFirstLine(wrong, "v.txt")), ::testing::ExitedWithCode(1),
              exactly("\nError: Encountered 'pos' in place of 'position' in header in v.txt!\n\n"));
  std::istringstream sixth("RSID position chromosome A_allele B_allele x\n");
  EXPECT_EXIT((stdoutToStderr(), engine.readFirstLine(sixth, "v.txt")), ::testing::ExitedWithCode(1),
              "'x' in place of 'B_allele' in header");
}

TEST_F(HeaderChecks, SampleFileHeader) {
  std::istringstream good("ID_1 ID_2 missing sex\n0 0 0 D\nS1 S1 0 1\n");
  engine.readTwoLinesSample(good, "s.sample");
  std::string next;
  std::getline(good, next);
  EXPECT_EQ(next, "S1 S1 0 1");
  std::istringstream bare("ID_1 ID_2\nanything at all\nS1\n");
  engine.readTwoLinesSample(bare, "s.sample");
  std::getline(bare, next);
  EXPECT_EQ(next, "S1");

  std::istringstream crlf("ID_1 ID_2 missing\r\n0 0 0\r\nS1 S1 0\r\n");
  engine.readTwoLinesSample(crlf, "s.sample");
  std::getline(crlf, next);
  EXPECT_EQ(next, "S1 S1 0\r");
  std::istringstream cr_only("ID_1 ID_2 missing\r0 0 0\rS1 S1 0\r");
  EXPECT_EXIT((stdoutToStderr(), engine.readTwoLinesSample(cr_only, "s.sample")), ::testing::ExitedWithCode(1),
              exactly("\n\nError: Encountered 'missing\\r0' in place of 'missing' in header in s.sample!\n\n"));
  std::istringstream wrong("ID1 ID_2 missing\n");
  EXPECT_EXIT((stdoutToStderr(), engine.readTwoLinesSample(wrong, "s.sample")), ::testing::ExitedWithCode(1),
              exactly("\n\nError: Encountered 'ID1' in place of 'ID_1' in header in s.sample!\n\n"));
  std::istringstream second("ID_1 id2 missing\n");
  EXPECT_EXIT((stdoutToStderr(), engine.readTwoLinesSample(second, "s.sample")), ::testing::ExitedWithCode(1),
              "'id2' in place of 'ID_2' in header in s.sample!");
}

TEST_F(Validators, ValidatorsWorkOnFileStreams) {
  const std::string dir = testutil::scratchDir("validators_file");
  testutil::writeFile(dir + "/v.txt", "a b c\nd\n");
  std::ifstream in(dir + "/v.txt");
  checkLine(in, dir + "/v.txt", 0, 5);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "a b c");
  // Rewinding also works once the stream has met its end.
  while (std::getline(in, line)) {
  }
  checkLine(in, dir + "/v.txt", 0, 5);
  std::getline(in, line);
  EXPECT_EQ(line, "a b c");
}

// ---- sample inclusion list and range selection, on a PLINK set ----

// A set of 10 samples (IIDs I0..I9) and variants at 100, 200, 300, 400.
class Selections : public Validators {
protected:
  testutil::SettingsGuard guard;
  std::string dir;
  std::string base;
  std::unique_ptr<Shared_buffers> shared;
  std::unique_ptr<Corvane> engine;

  void SetUp() override {
    Validators::SetUp();
    dir = testutil::scratchDir(std::string("selection_") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    base = dir + "/set";
    testdata::writePlinkSet(base, testdata::famLines(10), testdata::bimLines(4),
                            std::string("\x6C\x1B\x01", 3) + std::string(4 * 3, '\0'));
  }
  void TearDown() override { engine.reset(); }
  Corvane& open(const std::string& list = "", std::vector<uint32_t> range = {}) {
    flags = Flags();
    par = Parameters();
    flags.bplink = flags.bcor = true;
    par.bplink = base;
    if (!list.empty()) {
      flags.incl_samples = true;
      par.incl_samples = dir + "/" + list;
    }
    if (!range.empty()) {
      flags.incl_range = true;
      par.incl_range = range;
    }
    shared = std::make_unique<Shared_buffers>(0);
    engine = std::make_unique<Corvane>(par, *shared);
    engine->openPLINK(true);
    return *engine;
  }
};

TEST_F(Selections, ListOrderDoesNotMatter) {
  testutil::writeFile(dir + "/keep.txt", "I5\nI2 more words\nI9");
  Corvane& e = open("keep.txt");
  e.readSamplesToInclude();
  EXPECT_EQ(e.plink_parser.included_samples, (std::set<uint32_t>{2, 5, 9}));
  EXPECT_EQ(e.bin_n_samples, 3u);
  EXPECT_EQ(e.n_samples_in_file, 10u);
  EXPECT_FALSE(e.text_in.is_open());
  // Dosages now follow samples 2, 5, 9.
  e.variant_headers[0] = VariantHeader();
  e.plink_parser.seek_variant(0);
  EXPECT_EQ(e.plink_parser.compute_genotypes(0, false, e.variant_headers).size(), 3);
}

// The threads of a computation, opened as the computation opens them: only thread 0 reads the
// identifiers; every thread ends with the listed samples, and no thread keeps the identifiers.
void selectOnThreads(int threads, std::vector<std::set<uint32_t>>& kept, std::vector<size_t>& ids_left,
                     std::vector<uint32_t>& counts) {
  Shared_buffers shared(static_cast<unsigned int>(threads));
  kept.assign(threads, {});
  ids_left.assign(threads, 0);
  counts.assign(threads, 0);
#pragma omp parallel num_threads(threads)
  {
    Corvane e(par, shared);
    const bool first = e.process_number == 0;
    e.plink_parser.keep_sample_ids = first;
    e.plink_parser.include_all_samples = first && !flags.incl_samples;
    e.openPLINK(first);
#pragma omp barrier
    e.selectSamples();
    kept[e.process_number] = e.plink_parser.included_samples;
    ids_left[e.process_number] = e.plink_parser.sample_ids.size();
    counts[e.process_number] = e.bin_n_samples;
  }
}

TEST_F(Selections, SamplesSelectedOnceForAllThreads) {
  testutil::writeFile(dir + "/keep.txt", "I5\nI2\nI9\n");
  open("keep.txt");
  std::vector<std::set<uint32_t>> kept;
  std::vector<size_t> ids_left;
  std::vector<uint32_t> counts;
  selectOnThreads(3, kept, ids_left, counts);
  for (int t = 0; t < 3; ++t) {
    EXPECT_EQ(kept[t], (std::set<uint32_t>{2, 5, 9})) << "thread " << t;
    EXPECT_EQ(ids_left[t], 0u) << "thread " << t;
    EXPECT_EQ(counts[t], 3u) << "thread " << t;
  }
  // Without a list every thread takes every sample.
  open();
  selectOnThreads(3, kept, ids_left, counts);
  for (int t = 0; t < 3; ++t) EXPECT_EQ(kept[t].size(), 10u) << "thread " << t;
  // A fault of the list ends the run from thread 0 while the others wait.
  testutil::writeFile(dir + "/unknown.txt", "I5\nI77\n");
  open("unknown.txt");
  EXPECT_EXIT((stdoutToStderr(), selectOnThreads(3, kept, ids_left, counts)), ::testing::ExitedWithCode(1),
              exactly("\n\nError: File '" + dir + "/unknown.txt' includes a sample 'I77 that cannot be found in file '" +
                      base + ".fam'!\n\n"));
}

TEST_F(Selections, TabIsNotASeparator) {
  testutil::writeFile(dir + "/keep.txt", "I7\tmore\n");
  Corvane& e = open("keep.txt");
  EXPECT_EXIT((stdoutToStderr(), e.readSamplesToInclude()), ::testing::ExitedWithCode(1),
              exactly("\n\nError: File '" + dir + "/keep.txt' includes a sample 'I7\tmore that cannot be found in file '" +
                      base + ".fam'!\n\n"));
}

TEST_F(Selections, DuplicateEmptyLineEmptyListAndMissingList) {
  testutil::writeFile(dir + "/dup.txt", "I1\nI3\nI1\n");
  Corvane& e = open("dup.txt");
  EXPECT_EXIT((stdoutToStderr(), e.readSamplesToInclude()), ::testing::ExitedWithCode(1),
              exactly("\n\nError: File '" + dir + "/dup.txt' includes a duplicated sample 'I1!\n\n"));
  testutil::writeFile(dir + "/blank.txt", "I1\n\nI3\n");
  Corvane& b = open("blank.txt");
  EXPECT_EXIT((stdoutToStderr(), b.readSamplesToInclude()), ::testing::ExitedWithCode(1),
              exactly("\n\nError: Encountered emtpy input in line 1 in " + dir + "/blank.txt!\n\n"));
  testutil::writeFile(dir + "/none.txt", "");
  Corvane& n = open("none.txt");
  EXPECT_EXIT((stdoutToStderr(), n.readSamplesToInclude()), ::testing::ExitedWithCode(1),
              exactly("\n\nError: File '" + dir + "/none.txt' does not name any sample!\n\n"));
  Corvane& m = open("absent.txt");
  EXPECT_EXIT((stdoutToStderr(), m.readSamplesToInclude()), ::testing::ExitedWithCode(1),
              exactly("\n\nError: File '" + dir + "/absent.txt' cannot be opened!\n\n"));
}

struct RangeCase {
  uint32_t start, end, first, last, end_position;
};

TEST_F(Selections, RangeBoundsOnPositions100To400) {
  // The last variant is the first at or past the end coordinate, or the file's last.
  for (const RangeCase& c : {RangeCase{150, 300, 1, 2, 300}, RangeCase{150, 250, 1, 2, 300},
                             RangeCase{150, 1000, 1, 3, 400}, RangeCase{50, 60, 0, 0, 100}}) {
    Corvane& e = open("", {c.start, c.end});
    e.findInclude();
    EXPECT_EQ(e.bcor_start_variant, c.first) << c.start << "-" << c.end;
    EXPECT_EQ(e.chunk_start_variant, c.first);
    EXPECT_EQ(e.bcor_end_variant, c.last) << c.start << "-" << c.end;
    EXPECT_EQ(e.chunk_end_variant, c.last);
    EXPECT_EQ(e.bin_n_variants, c.last + 1 - c.first);
    EXPECT_EQ(shared->run_start_position, 100 * (c.first + 1));
    EXPECT_EQ(shared->run_end_position, c.end_position);
    // The .bim stream is back at its first line.
    std::string chromosome;
    uint32_t position = 0;
    ASSERT_TRUE(e.plink_parser.read_position(chromosome, position));
    EXPECT_EQ(position, 100u);
  }
}

TEST_F(Selections, RangeAfterTheLastVariantRefused) {
  Corvane& e = open("", {500, 600});
  EXPECT_EXIT((stdoutToStderr(), e.findInclude()), ::testing::ExitedWithCode(1),
              exactly("\n\nError: Position 400 of last variant in file '" + base +
                      ".bim' is smaller than start coordinate 500!\n\n"));
}

} // namespace
