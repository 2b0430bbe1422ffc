#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "death_test.hpp"
#include "fatal.hpp"
#include "pair_spool.hpp"
#include "test_util.hpp"

namespace {

typedef std::tuple<uint32_t, uint32_t, double, uint32_t> Line;

std::vector<ExtractedPair> shuffledPairs(uint32_t n, unsigned seed) {
  std::vector<ExtractedPair> pairs;
  std::mt19937 random(seed);
  for (uint32_t p = 0; p < n; ++p) {
    for (uint32_t q = p + 1; q < n; ++q) {
      if (random() % 3 == 0) continue;
      pairs.push_back(ExtractedPair{p, q, (random() % 2001) / 1000.0 - 1.0, static_cast<uint32_t>(random())});
    }
  }
  std::shuffle(pairs.begin(), pairs.end(), random);
  return pairs;
}

std::vector<Line> drained(PairSpool& spool) {
  std::vector<Line> lines;
  spool.drain([&lines](const ExtractedPair& x) {
    lines.emplace_back(x.first, x.second, x.correlation, x.n_samples);
  });
  return lines;
}

// A list in any order gives its table lines in the table's order, whether the pairs stay in memory,
// go to disk in runs, or need more than one merge pass; the temporary file exists only while needed.
TEST(PairSpool, AnyOrderComesBackInTableOrder) {
  const std::vector<ExtractedPair> pairs = shuffledPairs(60, 3);
  std::vector<Line> expected;
  for (const ExtractedPair& x : pairs) expected.emplace_back(x.first, x.second, x.correlation, x.n_samples);
  std::sort(expected.begin(), expected.end());

  const std::string dir = testutil::scratchDir("pair_spool");
  struct Budget {
    std::size_t pairs_in_memory;
    std::size_t runs_per_merge;
  };
  // In memory; 2 runs of ~600; 12 runs merged 4 at a time; 175 runs of 7, 2 at a time (many passes).
  for (const Budget& budget : {Budget{5000, 64}, Budget{600, 64}, Budget{100, 4}, Budget{7, 2}}) {
    const std::string path = dir + "/table.tmp";
    PairSpool spool(path, budget.pairs_in_memory, budget.runs_per_merge);
    for (const ExtractedPair& x : pairs) spool.add(x);
    EXPECT_EQ(std::filesystem::exists(path), pairs.size() >= budget.pairs_in_memory);
    EXPECT_EQ(drained(spool), expected) << budget.pairs_in_memory << " pairs in memory";
    EXPECT_FALSE(std::filesystem::exists(path));
    // Drained, it is empty and can be filled again.
    spool.add(pairs[0]);
    EXPECT_EQ(drained(spool).size(), 1u);
  }
}

// A failed run must not leave the spilled pairs beside the table, nor a table; a spool that cannot
// create its file stops the run.
TEST(PairSpool, TemporaryFileNeverOutlivesAFailedRun) {
  const std::string dir = testutil::scratchDir("pair_spool_errors");
  const std::string path = dir + "/table.tmp";
  EXPECT_FATAL(
      {
        PairSpool spool(path, 4, 2);
        for (const ExtractedPair& x : shuffledPairs(10, 5)) spool.add(x);
        if (std::filesystem::exists(path)) corvane::fatalError("Error: stop");
      },
      "Error: stop");
  EXPECT_FALSE(std::filesystem::exists(path));

  const std::string unwritable = dir + "/no_such_directory/table.tmp";
  EXPECT_FATAL(
      {
        PairSpool spool(unwritable, 4, 2);
        for (const ExtractedPair& x : shuffledPairs(10, 5)) spool.add(x);
      },
      "Error: File '" + unwritable + "' cannot be written!");
}

} // namespace
