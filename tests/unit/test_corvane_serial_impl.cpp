#include <gtest/gtest.h>
#include <omp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <vector>

#include "bgen_writer.hpp"
#include "corvane.hpp"
#include "corvane_serial_impl.hpp"
#include "fatal.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace {

using testutil::SettingsGuard;

// Workload by its definition: later variants up to the first one farther than the window.
std::vector<double> referenceWorkload(const std::vector<uint32_t>& pos, uint32_t window) {
  std::vector<double> w(pos.size());
  for (size_t k = 0; k < pos.size(); ++k) {
    size_t count = 0;
    for (size_t m = k + 1; m < pos.size(); ++m) {
      if (static_cast<uint32_t>(pos[m] - pos[k]) > window) break;
      ++count;
    }
    w[k] = static_cast<double>(count);
  }
  return w;
}

std::vector<std::pair<uint32_t, uint32_t>> allShares(const std::vector<double>& w, uint32_t P) {
  const double total = worksplit::totalWorkload(w);
  std::vector<std::pair<uint32_t, uint32_t>> shares(P);
  for (uint32_t p = 0; p < P; ++p) worksplit::balancedShare(w, total, P, p, shares[p].first, shares[p].second);
  return shares;
}

// ---- even split ----

TEST(EvenShare, TenOverThree) {
  uint32_t s, e;
  worksplit::evenShare(10, 3, 0, s, e);
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(e, 4u);
  worksplit::evenShare(10, 3, 1, s, e);
  EXPECT_EQ(s, 4u);
  EXPECT_EQ(e, 7u);
  worksplit::evenShare(10, 3, 2, s, e);
  EXPECT_EQ(s, 7u);
  EXPECT_EQ(e, 10u);
}

TEST(EvenShare, OneVariantPerThreadWhenCountsAreEqual) {
  for (uint32_t p = 0; p < 4; ++p) {
    uint32_t s, e;
    worksplit::evenShare(4, 4, p, s, e);
    EXPECT_EQ(s, p);
    EXPECT_EQ(e, p + 1);
  }
}

// ---- workload ----

TEST(Workload, PartnerAtTheWindowCountsOneFartherDoesNot) {
  std::vector<uint32_t> pos = {100, 150, 200, 201};
  std::vector<double> w(4);
  worksplit::workloadOfVariants(pos, 100, 0, 4, w);
  EXPECT_EQ(w, (std::vector<double>{2, 2, 1, 0}));
}

TEST(Workload, MatchesTheDefinitionOnSortedAndUnsortedPositions) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    const size_t n = 1 + rng() % 60;
    std::vector<uint32_t> pos(n);
    uint32_t p = rng() % 1000;
    for (auto& x : pos) x = p += rng() % 50;  // sorted, with repeats
    if (trial % 3 == 0) std::swap(pos[rng() % n], pos[rng() % n]);
    const uint32_t window = 1 + rng() % 200;
    const std::vector<double> expected = referenceWorkload(pos, window);
    // Every slice on its own, as the threads compute them.
    for (uint32_t P = 1; P <= 4 && P <= n; ++P) {
      std::vector<double> w(n, -1.0);
      for (uint32_t q = 0; q < P; ++q) {
        uint32_t s, e;
        worksplit::evenShare(static_cast<uint32_t>(n), P, q, s, e);
        worksplit::workloadOfVariants(pos, window, s, e - s, w);
      }
      EXPECT_EQ(w, expected) << "trial " << trial << " threads " << P;
    }
  }
}

// ---- balanced split ----

TEST(BalancedShare, TwoVariantsInOneWindowGoToTheSecondThread) {
  auto shares = allShares({1, 0}, 2);
  EXPECT_EQ(shares[0], std::make_pair(0u, 0u));
  EXPECT_EQ(shares[1], std::make_pair(0u, 2u));
}

TEST(BalancedShare, FractionEqualToSplitStaysWithEarlierThread) {
  // Cumulative fractions 0.25, 0.5, 0.75, 1: the variant at exactly 1/2 belongs to thread 0.
  auto shares = allShares({1, 1, 1, 1}, 2);
  EXPECT_EQ(shares[0], std::make_pair(0u, 2u));
  EXPECT_EQ(shares[1], std::make_pair(2u, 4u));
}

TEST(BalancedShare, LeadingVariantsWithoutPartnersBelongToThreadZero) {
  auto shares = allShares({0, 0, 3, 2, 1, 0}, 2);
  EXPECT_EQ(shares[0], std::make_pair(0u, 3u));
  EXPECT_EQ(shares[1], std::make_pair(3u, 6u));
}

TEST(BalancedShare, NoWorkloadAtAllFallsBackToTheEvenSplit) {
  auto shares = allShares(std::vector<double>(10, 0.0), 3);
  EXPECT_EQ(shares[0], std::make_pair(0u, 4u));
  EXPECT_EQ(shares[1], std::make_pair(4u, 7u));
  EXPECT_EQ(shares[2], std::make_pair(7u, 10u));
  auto single = allShares({0.0}, 1);
  EXPECT_EQ(single[0], std::make_pair(0u, 1u));
}

TEST(BalancedShare, SharesAlwaysCoverTheRunInOrder) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const uint32_t n = 1 + rng() % 40;
    std::vector<double> w(n);
    for (auto& x : w) x = (rng() % 3 == 0) ? 0.0 : static_cast<double>(rng() % 20);
    for (uint32_t P = 1; P <= 8 && P <= n; ++P) {
      auto shares = allShares(w, P);
      uint32_t covered = 0;
      for (uint32_t p = 0; p < P; ++p) {
        EXPECT_EQ(shares[p].first, covered) << "trial " << trial << " P " << P << " p " << p;
        EXPECT_LE(shares[p].first, shares[p].second);
        covered = shares[p].second;
      }
      EXPECT_EQ(covered, n);
    }
  }
}

// ---- chunk plan ----

TEST(ChunkPlan, ShareOf2500WithChunkSize1000) {
  auto plan = worksplit::planChunks(100, 2600, 1000);
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].start, 100u);
  EXPECT_EQ(plan[0].end, 1100u);
  EXPECT_EQ(plan[0].n_variants, 1000u);
  EXPECT_EQ(plan[1].start, 1100u);
  EXPECT_EQ(plan[1].end, 2100u);
  EXPECT_EQ(plan[2].start, 2100u);
  EXPECT_EQ(plan[2].end, 2600u);
  EXPECT_EQ(plan[2].n_variants, 500u);
}

TEST(ChunkPlan, MultipleSmallerEmptyAndSingleVariantChunks) {
  EXPECT_EQ(worksplit::planChunks(0, 3000, 1000).size(), 3u);
  auto small = worksplit::planChunks(5, 9, 1000);
  ASSERT_EQ(small.size(), 1u);
  EXPECT_EQ(small[0].n_variants, 4u);
  EXPECT_TRUE(worksplit::planChunks(0, 0, 7).empty());
  auto ones = worksplit::planChunks(3, 6, 1);
  ASSERT_EQ(ones.size(), 3u);
  for (uint32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(ones[k].start, 3 + k);
    EXPECT_EQ(ones[k].end, 4 + k);
  }
}

TEST(ChunkPlan, PrintedLines) {
  EXPECT_EQ(worksplit::planLine(3, 0, 0, 0), "- Process 3 : is handling no variants\n");
  EXPECT_EQ(worksplit::planLine(2, 1, 4, 5), "- Process 2 : is handling variant 5-5 (1 variant)\n");
  EXPECT_EQ(worksplit::planLine(1, 500, 0, 500),
            "- Process 1 : is handling variants 1-500 (500 variants)\n");
}

// ---- engine: the split as the threads run it ----

// Runs the split of one run with hand-made positions (what the position scan delivers).
void splitOnThreads(Shared_buffers& shared, const std::vector<uint32_t>& pos, uint32_t P,
                    uint32_t window, std::vector<ProcessRange>& ranges,
                    std::vector<std::pair<uint32_t, uint32_t>>& bcor_positions) {
  bcor_positions.assign(P, {0, 0});
#pragma omp parallel num_threads(P)
  {
    Corvane engine(par, shared);
    engine.variant_window_size = window;
    engine.bin_n_variants = static_cast<uint32_t>(pos.size());
    engine.resizeWorkload();
    uint32_t s, e;
    worksplit::evenShare(engine.bin_n_variants, P, engine.process_number, s, e);
    engine.chunk_start_variant = s;
    engine.chunk_end_variant = e;
    engine.chunk_n_variants = e - s;
    engine.shareStartEndVariant(engine.chunk_start_variant, engine.chunk_end_variant);
    for (uint32_t i = 0; i < pos.size(); ++i) engine.positions[i] = pos[i];
    engine.getWorkloadPerVariant(engine.positions);
    engine.findStartEndBalanced();
    engine.computeNumberOfChunks();
    bcor_positions[engine.process_number] = {engine.bcor_start_position, engine.bcor_end_position};
  }
  ranges = shared.process_ranges;
}

TEST(EngineSplit, ThreadsCoverTheRunAndRecordTheirShares) {
  SettingsGuard guard;
  par.n_variants_chunk = 3;
  std::vector<uint32_t> pos;
  for (uint32_t i = 0; i < 20; ++i) pos.push_back(1000 + 10 * i + (i > 12 ? 500 : 0));
  Shared_buffers shared(3);
  std::vector<ProcessRange> ranges;
  std::vector<std::pair<uint32_t, uint32_t>> bpos;
  splitOnThreads(shared, pos, 3, 45, ranges, bpos);

  EXPECT_EQ(shared.run_first_variant, 0u);
  EXPECT_EQ(shared.run_last_variant, 19u);
  EXPECT_EQ(shared.total_workload, worksplit::totalWorkload(referenceWorkload(pos, 45)));
  uint32_t covered = 0;
  for (uint32_t p = 0; p < 3; ++p) {
    if (ranges[p].n_variants == 0) {
      EXPECT_EQ(ranges[p].start, 0u);
      EXPECT_EQ(ranges[p].end, 0u);
      EXPECT_EQ(ranges[p].n_chunks, 0u);
      continue;
    }
    EXPECT_EQ(ranges[p].start, covered);
    EXPECT_EQ(ranges[p].end - ranges[p].start, ranges[p].n_variants);
    EXPECT_EQ(ranges[p].n_chunks, (ranges[p].n_variants + 2) / 3);
    EXPECT_EQ(bpos[p].first, pos[ranges[p].start]);
    EXPECT_EQ(bpos[p].second, pos[ranges[p].end - 1]);
    covered = ranges[p].end;
  }
  EXPECT_EQ(covered, 20u);
}

TEST(EngineSplit, IsolatedVariantsSplitEvenly) {
  SettingsGuard guard;
  std::vector<uint32_t> pos = {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000};
  Shared_buffers shared(3);
  std::vector<ProcessRange> ranges;
  std::vector<std::pair<uint32_t, uint32_t>> bpos;
  splitOnThreads(shared, pos, 3, 10, ranges, bpos);
  EXPECT_EQ(shared.total_workload, 0.0);
  EXPECT_EQ(ranges[0].start, 0u);
  EXPECT_EQ(ranges[0].end, 4u);
  EXPECT_EQ(ranges[1].start, 4u);
  EXPECT_EQ(ranges[1].end, 7u);
  EXPECT_EQ(ranges[2].start, 7u);
  EXPECT_EQ(ranges[2].end, 10u);
}

TEST(EngineSplit, RangeRunKeepsAbsoluteIndices) {
  SettingsGuard guard;
  flags.incl_range = true;
  Shared_buffers shared(2);
#pragma omp parallel num_threads(2)
  {
    Corvane engine(par, shared);
    engine.variant_window_size = 1000;
    // As the range selection leaves it: variants 5 to 12 of the file.
    engine.bcor_start_variant = engine.chunk_start_variant = 5;
    engine.bcor_end_variant = engine.chunk_end_variant = 12;
    engine.bin_n_variants = 8;
    engine.resizeWorkload();
    uint32_t s, e;
    worksplit::evenShare(8, 2, engine.process_number, s, e);
    engine.chunk_start_variant = 5 + s;
    engine.chunk_end_variant = 5 + e;
    engine.chunk_n_variants = e - s;
    for (uint32_t i = 5; i <= 12; ++i) engine.positions[i] = 100 * i;
    engine.getWorkloadPerVariant(engine.positions);
    engine.findStartEndBalanced();
  }
  EXPECT_EQ(shared.workload.size(), 8u);
  EXPECT_EQ(shared.process_ranges[0].start, 5u);
  EXPECT_EQ(shared.process_ranges[1].end, 13u);
  EXPECT_EQ(shared.process_ranges[0].end, shared.process_ranges[1].start);
  EXPECT_EQ(shared.process_ranges[0].n_variants + shared.process_ranges[1].n_variants, 8u);
}

TEST(EngineSplit, FewerVariantsThanThreadsStopsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SettingsGuard guard;
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.n_processes = 4;
  engine.bin_n_variants = 3;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        engine.checkNumberOfProcessesAndVariants();
      },
      ::testing::ExitedWithCode(1), "Error: Requested 4 parallel processes but 3 variants were selected!");
}

TEST(EngineChunks, PlanPrintedForEveryThread) {
  SettingsGuard guard;
  Shared_buffers shared(3);
  shared.process_ranges[0] = {1, 500, 0, 500};
  shared.process_ranges[1] = {1, 1, 500, 501};
  shared.process_ranges[2] = {0, 0, 0, 0};
  Corvane engine(par, shared);
  engine.n_processes = 3;
  testing::internal::CaptureStdout();
  engine.printChunks();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n---------\nCOMPUTING\n---------\n"
            "- Process 1 : is handling variants 1-500 (500 variants)\n"
            "- Process 2 : is handling variant 501-501 (1 variant)\n"
            "- Process 3 : is handling no variants\n");
}

TEST(EngineChunks, EmptyShareHasNoChunk) {
  SettingsGuard guard;
  Shared_buffers shared(1);
  Corvane engine(par, shared);
  engine.computeNumberOfChunks();
  EXPECT_TRUE(engine.chunks.empty());
  EXPECT_EQ(engine.n_chunks, 0u);
  engine.chunk_start_variant = 100;
  engine.chunk_end_variant = 2600;
  engine.chunk_n_variants = 2500;
  engine.computeNumberOfChunks();
  ASSERT_EQ(engine.chunks.size(), 3u);
  EXPECT_EQ(engine.chunks.begin()->first, 1u);
  EXPECT_EQ(engine.chunks.at(3).end, 2600u);
  EXPECT_EQ(shared.process_ranges[0].n_chunks, 3u);
}

// ---- faults of the genotype input, through the binary ----

// The binary of this build (the support library's runner does not know where it is).
testutil::RunResult runBinary(const std::string& arguments) {
  testutil::RunResult result;
  const std::string command = std::string("timeout 120 ") + CORVANE_BINARY + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

// A BGEN file of n_written variants 500 bp apart, 8 samples; `tweak` may append or override.
std::string writeBgen(const std::string& dir, uint32_t n_written, testdata::BgenHeader header,
                      void (*tweak)(testdata::BgenWriter&) = nullptr) {
  const std::string path = dir + "/in.bgen";
  testdata::BgenWriter writer(path, 8, header);
  for (uint32_t v = 0; v < n_written; ++v) {
    testdata::BgenVariantId id;
    id.rsid = "rs" + std::to_string(v);
    id.position = 1000 + 500 * v;
    writer.addVariantDosages(id, {0, 1, 2, 1, 0, 2, 1, double(v % 3)});
  }
  if (tweak) tweak(writer);
  writer.close();
  return path;
}

// In a range run the range selection's master has published the run's end position; the split's
// last thread, on another thread and with no barrier between, leaves it alone.
TEST(EngineSplit, RangeRunEndPositionHasOneWriter) {
  SettingsGuard guard;
  const std::string dir = testutil::scratchDir("range_end_writer");
  flags.bgen = flags.incl_range = true;
  par.bgen = writeBgen(dir, 10, testdata::BgenHeader());
  par.incl_range = {2000, 4000};
  Shared_buffers shared(2);
#pragma omp parallel num_threads(2)
  {
    Corvane engine(par, shared);
    engine.openBGEN(engine.is_master);
    engine.findInclude();
#pragma omp barrier
    if (engine.is_master) shared.run_end_position = 777;  // marks the range selection's value
#pragma omp barrier
    engine.checkNumberOfProcessesAndVariants();
    engine.resizeWorkload();
    engine.computeBalancedWorkload();
    engine.findStartEndBalanced();
  }
  EXPECT_EQ(shared.run_end_position, 777u);
  EXPECT_EQ(shared.run_start_position, 2000u);
  EXPECT_EQ(shared.process_ranges[0].start, 2u);
  EXPECT_EQ(shared.process_ranges[1].end, 7u);
}

TEST(InputFaults, BgenHoldingFewerVariantsThanDeclaredIsRefused) {
  const std::string dir = testutil::scratchDir("fewer_variants");
  testdata::BgenHeader header;
  header.number_of_variants = 12;
  const std::string path = writeBgen(dir, 10, header);
  const testutil::RunResult run =
      runBinary("--bcor " + dir + "/out.bcor --bgen " + path + " --n-threads 3");
  EXPECT_EQ(run.status, 1) << run.output;
  const std::string message = "Error: File '" + path + "' holds 10 variants but declares 12!";
  ASSERT_NE(run.output.find(message), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(message), run.output.rfind(message)) << "printed once";
  EXPECT_FALSE(std::ifstream(dir + "/out.bcor_1").good());
}

// A range run reads no further than the header's count, as a run without a range does: bytes after
// the last declared variant are not part of the data, whatever they hold.
TEST(InputFaults, BgenRangeScanStopsAtTheDeclaredCount) {
  const std::string dir = testutil::scratchDir("range_declared_count");
  struct Case {
    const char* what;
    uint32_t written;
    uint32_t declared;
    void (*tweak)(testdata::BgenWriter&);
  } cases[] = {{"8 zero bytes appended", 10, 10, [](testdata::BgenWriter& w) { w.addRaw(std::string(8, '\0')); }},
               {"count lowered by 1", 10, 9, nullptr}};
  for (const Case& c : cases) {
    testdata::BgenHeader header;
    header.number_of_variants = c.declared;
    const std::string path = writeBgen(dir, c.written, header, c.tweak);
    const std::string counted = "- Number of variants : " + std::to_string(c.declared) + "/" +
                                std::to_string(c.declared) + "\n";
    for (const char* range : {"", " --incl-range 1000-100000"}) {
      const testutil::RunResult run =
          runBinary("--bgen " + path + " --bcor " + dir + "/out.bcor --n-threads 2" + range);
      EXPECT_EQ(run.status, 0) << c.what << range << "\n" << run.output;
      EXPECT_NE(run.output.find(counted), std::string::npos) << c.what << range << "\n" << run.output;
      EXPECT_EQ(run.output.find("Error"), std::string::npos) << c.what << range << "\n" << run.output;
    }
  }
}

TEST(InputFaults, CorruptBlockMetByOneThreadEndsTheRunWithoutHanging) {
  const std::string dir = testutil::scratchDir("corrupt_block");
  testdata::BgenHeader header;
  header.number_of_variants = 21;  // the hand-made last variant counts too
  const std::string path = writeBgen(dir, 20, header, [](testdata::BgenWriter& w) {
    testdata::BgenVariantId id;
    id.rsid = "rs_bad";
    id.position = 20000;
    w.addRaw(testdata::bgenIdentifyingData(2, 8, id));
    w.addRaw(testdata::bgenGenotypeBlock(2, testdata::kBgenZlib, std::string(40, '\x07')));
  });
  for (const char* threads : {"1", "4"}) {
    const testutil::RunResult run = runBinary("--bcor " + dir + "/out.bcor --bgen " + path +
                                                         " --n-threads " + threads +
                                                         " --variant-window-size 2000");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Error: "), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("- Done!"), std::string::npos) << run.output;
  }
}

// A stop every thread should meet alike, met by some threads only (a file that only some threads
// could open): the master does not print it, so a thread that met it must, before the run ends.
TEST(InputFaults, StopThatTheMasterDidNotMeetIsStillPrinted) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = []() {
    dup2(2, 1);
#pragma omp parallel num_threads(3)
    {
      if (omp_get_thread_num() != 0) corvane::fatalErrorCollective("Error: File 'x' cannot be opened!", false);
#pragma omp barrier
#pragma omp barrier
    }
    std::exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(1), "\nError: File 'x' cannot be opened!\n\n$");
}

// The chromosome rule of the BGEN position scan: names compared without leading zeros, only
// within the run.
std::string writeChromosomes(const std::string& dir, const std::vector<std::string>& chromosomes) {
  const std::string path = dir + "/chromosomes.bgen";
  testdata::BgenWriter writer(path, 6);
  for (size_t v = 0; v < chromosomes.size(); ++v) {
    testdata::BgenVariantId id;
    id.rsid = "rs" + std::to_string(v);
    id.chromosome = chromosomes[v];
    id.position = static_cast<uint32_t>(1000 * (v + 1));
    writer.addVariantDosages(id, {0, 1, 2, 1, double(v % 3), 2});
  }
  writer.close();
  return path;
}

TEST(PositionScan, BgenChromosomeNamesWithLeadingZerosAgree) {
  const std::string dir = testutil::scratchDir("scan_zeros");
  const std::string path = writeChromosomes(dir, {"01", "1", "001", "1"});
  const testutil::RunResult run = runBinary("--bcor " + dir + "/out.bcor --bgen " + path + " --n-threads 2");
  EXPECT_EQ(run.status, 0) << run.output;
}

TEST(PositionScan, BgenSecondChromosomeInsideTheRunIsRefused) {
  const std::string dir = testutil::scratchDir("scan_two");
  const std::string path = writeChromosomes(dir, {"1", "1", "2", "1"});
  const testutil::RunResult run = runBinary("--bcor " + dir + "/out.bcor --bgen " + path + " --n-threads 2");
  EXPECT_EQ(run.status, 1) << run.output;
  const std::string message = "Error: File '" + path + "' contains variants on multiple chromosomes!";
  EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(message), run.output.rfind(message)) << "printed once";
}

TEST(PositionScan, BgenOtherChromosomeOutsideTheRangeIsAccepted) {
  const std::string dir = testutil::scratchDir("scan_outside");
  const std::string path = writeChromosomes(dir, {"2", "1", "1", "1", "3"});
  const testutil::RunResult run =
      runBinary("--bcor " + dir + "/out.bcor --bgen " + path + " --incl-range 2000-4000 --n-threads 1");
  EXPECT_EQ(run.status, 0) << run.output;
}

} // namespace
