#include <gtest/gtest.h>
#include <omp.h>

#include "corvane.hpp"

namespace {

struct FlagsGuard {
  Flags saved_flags = flags;
  Parameters saved_par = par;
  ~FlagsGuard() {
    flags = saved_flags;
    par = saved_par;
  }
};

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
  FlagsGuard guard;
  flags = Flags();
  par = Parameters();
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
  FlagsGuard guard;
  flags = Flags();
  par = Parameters();
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
  FlagsGuard guard;
  flags = Flags();
  par = Parameters();
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

} // namespace
