#include <gtest/gtest.h>
#include <omp.h>

#include <iostream>
#include <sstream>

#include "corvane.hpp"
#include "settings_guard.hpp"

namespace {

using testutil::SettingsGuard;

TEST(SharedBuffers, HoldsOneZeroRecordPerThread) {
  Shared_buffers none(0);
  EXPECT_TRUE(none.process_ranges.empty());
  Shared_buffers four(4);
  ASSERT_EQ(four.process_ranges.size(), 4u);
  for (const ProcessRange& r : four.process_ranges) {
    EXPECT_EQ(r.n_chunks + r.n_variants + r.start + r.end, 0u);
  }
  EXPECT_EQ(four.total_number_of_correlations, 0u);
  EXPECT_TRUE(four.workload.empty());
}

TEST(Engine, SerialEngineIdentityAndDefaults) {
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  EXPECT_EQ(engine.process_number, 0u);
  EXPECT_TRUE(engine.is_master);
  EXPECT_EQ(engine.n_processes, 1u);
  EXPECT_EQ(engine.accuracy, "medium");
  EXPECT_EQ(engine.n_variants_chunk, 1000u);
  EXPECT_EQ(engine.variant_window_size, 5000000u);
  EXPECT_TRUE(engine.bed_file.empty());
  EXPECT_EQ(engine.bcor_state, static_cast<uint32_t>(not_open));
}

TEST(Engine, MergeCountPlinkNamesAndAccuracy) {
  SettingsGuard guard;
  flags.bplink = flags.bcor = flags.accuracy = true;
  par.bplink = "data/base";
  par.bcor = "out.bcor";
  par.accuracy = "low";
  Shared_buffers shared(0);
  {
    Corvane engine(par, shared);
    EXPECT_EQ(engine.bed_file, "data/base.bed");
    EXPECT_EQ(engine.bim_file, "data/base.bim");
    EXPECT_EQ(engine.fam_file, "data/base.fam");
    EXPECT_EQ(engine.bcor_file, "out.bcor");
    EXPECT_EQ(engine.accuracy, "low");
  }
  flags.merge = true;
  par.n_threads = 3;
  Corvane merger(par, shared);
  EXPECT_EQ(merger.n_processes, 3u);
  EXPECT_TRUE(merger.accuracy.empty());
}

TEST(Engine, EachThreadKnowsItsNumberAndTeamSize) {
  SettingsGuard guard;
  Shared_buffers shared(3);
  std::vector<uint32_t> numbers(3), teams(3);
#pragma omp parallel num_threads(3)
  {
    Corvane engine(par, shared);
    numbers[engine.process_number] = engine.process_number;
    teams[engine.process_number] = engine.n_processes;
  }
  for (uint32_t t = 0; t < 3; ++t) {
    EXPECT_EQ(numbers[t], t);
    EXPECT_EQ(teams[t], 3u);
  }
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Captures what the status blocks write to standard output; restores the stream's format, which
// the sparsity line leaves in fixed notation.
class CoutCapture {
public:
  CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())), flags_(std::cout.flags()), precision_(std::cout.precision()) {}
  ~CoutCapture() {
    std::cout.rdbuf(old_);
    std::cout.flags(flags_);
    std::cout.precision(precision_);
  }
  std::string take() {
    std::string text = buffer_.str();
    buffer_.str("");
    return text;
  }

private:
  std::ostringstream buffer_;
  std::streambuf* old_;
  std::ios::fmtflags flags_;
  std::streamsize precision_;
};

// A mode's engine with cleared settings; the test sets the flags and values it needs first.
struct StatusFixture : ::testing::Test {
  SettingsGuard guard;
  Shared_buffers shared{0};
  void addVariants(Corvane& engine, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) engine.variant_headers[i].index = i;
  }
};

TEST_F(StatusFixture, BgenComputationWithDefaults) {
  flags.bgen = flags.bcor = true;
  par.bgen = "in.bgen";
  par.bcor = "out.bcor";
  Corvane engine(par, shared);
  engine.n_processes = 4;
  CoutCapture out;
  engine.printStatus();
  EXPECT_EQ(out.take(),
            "--------\n"
            "SETTINGS\n"
            "--------\n"
            "- Number of variants per chunk : 1000\n"
            "- Window size in kilobases     : 5000\n"
            "- Storing a correlation if\n"
            "  - absolute value                      >= : 0.001\n"
            "  - data available for % of all samples >= : 10%\n"
            "- Accuracy of correlations     : medium\n"
            "- Number of parallel processes : 4\n"
            "\n"
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BGEN file          : in.bgen\n"
            "- BCOR file          : out.bcor_processNumber\n"
            "- Preprocessing ...    ");
}

TEST_F(StatusFixture, BgenComputationWithSamplesRangeAndSummary) {
  flags.bgen = flags.bcor = flags.samples = flags.incl_samples = flags.incl_range = true;
  par.bgen = "in.bgen";
  par.bcor = "out";
  par.samples = "s.sample";
  par.incl_samples = "keep.txt";
  par.incl_range = {100, 2000};
  par.ld_thold = 0.25;
  par.ld_n_samples_avail_prop = 0.5;
  par.variant_window_size = 1500;
  par.n_variants_chunk = 20;
  Corvane engine(par, shared);
  CoutCapture out;
  engine.printStatus();
  EXPECT_EQ(out.take(),
            "--------\n"
            "SETTINGS\n"
            "--------\n"
            "- Including only variants in range : 100-2000\n"
            "- Number of variants per chunk : 20\n"
            "- Window size in kilobases     : 1.5\n"
            "- Storing a correlation if\n"
            "  - absolute value                      >= : 0.25\n"
            "  - data available for % of all samples >= : 50%\n"
            "- Accuracy of correlations     : medium\n"
            "- Number of parallel processes : 1\n"
            "\n"
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BGEN file          : in.bgen\n"
            "- BCOR file          : out_processNumber\n"
            "- SAMPLE file        : s.sample\n"
            "- SAMPLE incl-file   : keep.txt\n"
            "- Preprocessing ...    ");

  shared.run_start_position = 150;
  shared.run_end_position = 1990;
  engine.bin_n_samples = 80;
  engine.n_samples_in_file = 100;
  engine.bin_n_variants = 10;
  engine.n_variants_in_file = 30;
  engine.printRestStatus();
  // The first line overwrites the preprocessing text, which has the same length.
  EXPECT_EQ(std::string("- Preprocessing ...    ").size(), std::string("- Genomic range      : ").size());
  EXPECT_EQ(out.take(),
            "\r- Genomic range      : 150-1990\n"
            "- Number of samples  : 80/100\n"
            "- Number of variants : 10/30\n");
}

TEST_F(StatusFixture, PlinkComputationAndFinalBlock) {
  flags.bplink = flags.bcor = flags.incl_samples = flags.accuracy = true;
  par.bplink = "data/chr1";
  par.bcor = "ld";
  par.incl_samples = "ids.txt";
  par.accuracy = "high";
  Corvane engine(par, shared);
  engine.n_processes = 2;
  CoutCapture out;
  engine.printStatus();
  const std::string status = out.take();
  EXPECT_NE(status.find("- Accuracy of correlations     : high\n"
                        "- Number of parallel processes : 2\n\n"),
            std::string::npos);
  EXPECT_EQ(status.substr(status.find("---------\nIN/OUTPUT")),
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BED file           : data/chr1.bed\n"
            "- BIM file           : data/chr1.bim\n"
            "- FAM file           : data/chr1.fam\n"
            "- BCOR file          : ld_processNumber\n"
            "- SAMPLE incl-file   : ids.txt\n"
            "- Preprocessing ...    ");

  engine.bin_n_variants = 10;
  shared.total_number_of_correlations = 12;
  engine.printFinalize();
  EXPECT_EQ(out.take(),
            "\n"
            "----\n"
            "BCOR\n"
            "----\n"
            "- Total number of correlations  : 45\n"
            "- Number of stored correlations : 12\n"
            "- Sparsity                      : 73.333%\n");
}

TEST_F(StatusFixture, MetaList) {
  flags.bcor = flags.meta = true;
  par.bcor = "all.bcor";
  par.meta = "all.meta";
  Corvane engine(par, shared);
  engine.bcor_start_position = 1000;
  engine.bcor_end_position = 9000;
  engine.bin_n_variants = 10;
  engine.accuracy = "low";
  addVariants(engine, 10);
  shared.total_number_of_correlations = 12;
  CoutCapture out;
  engine.printStatus();
  engine.printRestStatus();
  engine.printFinalize();
  EXPECT_EQ(out.take(),
            "--------\n"
            "SETTINGS\n"
            "--------\n"
            "- Including all variants \n"
            "\n"
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BCOR file                     : all.bcor\n"
            "- META file                     : all.meta\n"
            "- Genomic range                 : 1000-9000\n"
            "- Number of variants            : 10\n"
            "- Accuracy of correlations      : low\n"
            "- Total number of correlations  : 45\n"
            "- Number of stored correlations : 12\n"
            "- Sparsity                      : 73.333%\n"
            "\n"
            "---------------\n"
            "EXTRACTING META\n"
            "---------------\n"
            "- Number of variants : 10/10\n");
}

TEST_F(StatusFixture, MetaListWithRange) {
  flags.bcor = flags.meta = flags.incl_range = true;
  par.bcor = "all.bcor";
  par.meta = "m";
  par.incl_range = {5, 50};
  Corvane engine(par, shared);
  CoutCapture out;
  engine.printStatus();
  EXPECT_PRED2(startsWith, out.take(), "--------\nSETTINGS\n--------\n- Including only variants in range : 5-50\n\n---");
}

TEST_F(StatusFixture, MatrixWithVariantList) {
  flags.bcor = flags.matrix = flags.incl_variants = true;
  par.bcor = "all.bcor";
  par.matrix = "ld.matrix";
  par.incl_variants = "wanted.txt";
  Corvane engine(par, shared);
  engine.bcor_start_position = 1;
  engine.bcor_end_position = 2;
  engine.bin_n_variants = 10;
  addVariants(engine, 4);
  shared.total_number_of_correlations = 12;
  CoutCapture out;
  engine.printStatus();
  engine.printRestStatus();
  engine.printFinalize();
  EXPECT_EQ(out.take(),
            "--------\n"
            "SETTINGS\n"
            "--------\n"
            "- Including only variants in variant file\n"
            "\n"
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BCOR file                     : all.bcor\n"
            "- MATRIX file                   : ld.matrix\n"
            "- Variants file                 : wanted.txt\n"
            "\n"
            "- Genomic range                 : 1-2\n"
            "- Number of variants            : 10\n"
            "- Accuracy of correlations      : medium\n"
            "- Total number of correlations  : 45\n"
            "- Number of stored correlations : 12\n"
            "- Sparsity                      : 73.333%\n"
            "\n"
            "-----------------\n"
            "EXTRACTING MATRIX\n"
            "-----------------\n");
}

TEST_F(StatusFixture, MatrixWithoutVariantListCountsRequestedVariants) {
  flags.bcor = flags.matrix = true;
  par.bcor = "b";
  par.matrix = "m";
  Corvane engine(par, shared);
  engine.bin_n_variants = 10;
  addVariants(engine, 6);
  CoutCapture out;
  engine.printStatus();
  const std::string settings = out.take();
  EXPECT_PRED2(startsWith, settings, "--------\nSETTINGS\n--------\n- Including all variants \n\n---");
  engine.printFinalize();
  EXPECT_EQ(out.take(),
            "\n-----------------\nEXTRACTING MATRIX\n-----------------\n"
            "- Number of requested variants     : 6/10\n");
}

TEST_F(StatusFixture, Table) {
  flags.bcor = flags.table = flags.ld_thold = flags.ld_n_samples_avail_prop = true;
  par.bcor = "all.bcor";
  par.table = "ld.table";
  par.ld_thold = 0.2;
  par.ld_n_samples_avail_prop = 0.95;
  Corvane engine(par, shared);
  engine.bin_n_variants = 10;
  addVariants(engine, 10);
  CoutCapture out;
  engine.printStatus();
  EXPECT_EQ(out.take(),
            "--------\n"
            "SETTINGS\n"
            "--------\n"
            "- Including all variants \n"
            "- Extracting correlations \n"
            "  - with absolute value             >= : 0.2\n"
            "  - computed using % of all samples >= : 95%\n"
            "\n"
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BCOR file                     : all.bcor\n"
            "- TABLE file                    : ld.table\n");
  engine.printFinalize();
  EXPECT_EQ(out.take(),
            "\n-----------------\nEXTRACTING TABLE\n-----------------\n"
            "- Number of requested variants     : 10/10\n");
}

TEST_F(StatusFixture, TableWithRangeAndWithVariantList) {
  flags.bcor = flags.table = flags.incl_range = true;
  par.bcor = "b";
  par.table = "t";
  par.incl_range = {7, 8};
  {
    Corvane engine(par, shared);
    CoutCapture out;
    engine.printStatus();
    EXPECT_NE(out.take().find("--------\n- Including only variants in range : 7-8\n- Extracting correlations \n"),
              std::string::npos);
  }
  flags.incl_range = false;
  flags.incl_variants = true;
  par.incl_variants = "v.txt";
  Corvane engine(par, shared);
  CoutCapture out;
  engine.printStatus();
  EXPECT_NE(out.take().find("--------\n- Including only variants in variant file\n- Extracting correlations \n"),
            std::string::npos);
  engine.printRestStatus();
  EXPECT_PRED2(startsWith, out.take(), "- Variants file                 : v.txt\n\n- Genomic");
  engine.printFinalize();
  EXPECT_EQ(out.take(), "\n-----------------\nEXTRACTING TABLE\n-----------------\n");
}

TEST_F(StatusFixture, MergeHasNoSettingsBlock) {
  flags.bcor = flags.merge = true;
  par.bcor = "run.bcor";
  par.n_threads = 4;
  Corvane engine(par, shared);
  engine.bcor_start_position = 10;
  engine.bcor_end_position = 20;
  engine.bin_n_variants = 10;
  engine.accuracy = "medium";
  shared.total_number_of_correlations = 12;
  CoutCapture out;
  engine.printStatus();
  engine.printRestStatus();
  engine.printFinalize();
  EXPECT_EQ(out.take(),
            "---------\n"
            "IN/OUTPUT\n"
            "---------\n"
            "- BCOR input file               : run.bcor_processNumber\n"
            "- BCOR output file              : run.bcor\n"
            "- Genomic range                 : 10-20\n"
            "- Number of variants            : 10\n"
            "- Accuracy of correlations      : medium\n"
            "- Total number of correlations  : 45\n"
            "- Number of stored correlations : 12\n"
            "- Sparsity                      : 73.333%\n"
            "\n"
            "-------------\n"
            "MERGING FILES\n"
            "-------------\n");
}

TEST_F(StatusFixture, TotalsAndSparsityEdgeCases) {
  flags.bcor = flags.meta = true;
  par.bcor = "b";
  Corvane engine(par, shared);
  CoutCapture out;
  auto summary = [&](uint32_t n, uint64_t stored) {
    engine.bin_n_variants = n;
    shared.total_number_of_correlations = stored;
    out.take();
    engine.printRestStatus();
    const std::string text = out.take();
    return text.substr(text.find("- Total"));
  };
  // One variant has no pairs: the share is undefined.
  EXPECT_EQ(summary(1, 0),
            "- Total number of correlations  : 0\n"
            "- Number of stored correlations : 0\n"
            "- Sparsity                      : nan%\n");
  EXPECT_PRED2(startsWith, summary(0, 0), "- Total number of correlations  : 0\n");
  EXPECT_NE(summary(2, 1).find(": 1\n- Number of stored correlations : 1\n- Sparsity                      : 0.000%"),
            std::string::npos);
  EXPECT_NE(summary(3, 0).find(": 3\n- Number of stored correlations : 0\n- Sparsity                      : 100.000%"),
            std::string::npos);
  // A million variants: 499999500000 pairs, beyond 32 bits.
  EXPECT_PRED2(startsWith, summary(1000000, 0), "- Total number of correlations  : 499999500000");
}

TEST_F(StatusFixture, NoModeNoSummary) {
  flags.help = true;
  Corvane engine(par, shared);
  CoutCapture out;
  engine.printRestStatus();
  EXPECT_EQ(out.take(), "");
}

} // namespace
