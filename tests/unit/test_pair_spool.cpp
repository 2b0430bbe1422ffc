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
#include "output_files.hpp"
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

// The spool's files: its stem and the characters that make the name its own.
std::vector<std::string> spoolFiles(const std::string& stem) {
  std::vector<std::string> files;
  const std::filesystem::path base(stem);
  for (const auto& entry : std::filesystem::directory_iterator(base.parent_path())) {
    if (entry.path().filename().string().rfind(base.filename().string() + "-", 0) == 0) {
      files.push_back(entry.path().string());
    }
  }
  return files;
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
    const std::string stem = dir + "/table.sort";
    PairSpool spool(stem, budget.pairs_in_memory, budget.runs_per_merge);
    for (const ExtractedPair& x : pairs) spool.add(x);
    EXPECT_EQ(spoolFiles(stem).size(), pairs.size() >= budget.pairs_in_memory ? 1u : 0u);
    EXPECT_EQ(drained(spool), expected) << budget.pairs_in_memory << " pairs in memory";
    EXPECT_TRUE(spoolFiles(stem).empty());
    // Drained, it is empty and can be filled again.
    spool.add(pairs[0]);
    EXPECT_EQ(drained(spool).size(), 1u);
  }
}

// A failed run must not leave the spilled pairs beside the table, nor a table; a spool that cannot
// create its file stops the run.
TEST(PairSpool, TemporaryFileNeverOutlivesAFailedRun) {
  const std::string dir = testutil::scratchDir("pair_spool_errors");
  const std::string stem = dir + "/table.sort";
  EXPECT_FATAL(
      {
        PairSpool spool(stem, 4, 2);
        for (const ExtractedPair& x : shuffledPairs(10, 5)) spool.add(x);
        if (spoolFiles(stem).size() == 1) corvane::fatalError("Error: stop");
      },
      "Error: stop");
  EXPECT_TRUE(spoolFiles(stem).empty());

  const std::string unwritable = dir + "/no_such_directory/table.sort";
  EXPECT_FATAL(
      {
        PairSpool spool(unwritable, 4, 2);
        for (const ExtractedPair& x : shuffledPairs(10, 5)) spool.add(x);
      },
      "Error: File '" + unwritable + "-[a-z0-9]+' cannot be written!");
}

// Two spools of one stem (two runs of one table) each have a file of their own, and neither writes
// through what already stands at a name: a link there leads nowhere, and what it points to stays.
TEST(PairSpool, EverySpoolHasAFileOfItsOwn) {
  const std::string dir = testutil::scratchDir("pair_spool_own");
  const std::string stem = dir + "/table.sort";
  testutil::writeFile(dir + "/precious.txt", "keep me\n");
  std::filesystem::create_symlink("precious.txt", stem);
  const std::vector<ExtractedPair> pairs = shuffledPairs(40, 9);
  PairSpool first(stem, 50, 4);
  PairSpool second(stem, 50, 4);
  for (const ExtractedPair& x : pairs) {
    first.add(x);
    second.add(x);
  }
  EXPECT_EQ(spoolFiles(stem).size(), 2u);
  const std::vector<Line> from_first = drained(first);
  EXPECT_EQ(spoolFiles(stem).size(), 1u);
  EXPECT_EQ(drained(second), from_first);
  EXPECT_EQ(from_first.size(), pairs.size());
  EXPECT_TRUE(spoolFiles(stem).empty());
  EXPECT_EQ(testutil::readFile(dir + "/precious.txt"), "keep me\n");
  EXPECT_TRUE(std::filesystem::is_symlink(stem));
}

// A table whose name is as long as the file system takes has its sort file beside it all the same,
// under a shortened name that keeps the name's start and end and cuts no character in two.
TEST(PairSpool, LongestTableNameHasASortFileBesideIt) {
  const std::string dir = testutil::scratchDir("pair_spool_longest");
  std::string name = "a";
  while (name.size() < 253) name += "\xc3\xa9";  // é
  name += "_1";
  const std::string stem = corvane::sortFileStem(dir + "/" + name);
  const std::vector<ExtractedPair> pairs = shuffledPairs(10, 5);
  PairSpool spool(stem, 4, 2);
  for (const ExtractedPair& x : pairs) spool.add(x);
  const std::vector<std::string> files = spoolFiles(stem);
  ASSERT_EQ(files.size(), 1u);
  const std::string own = std::filesystem::path(files[0]).filename().string();
  EXPECT_LE(own.size(), 255u);
  const std::size_t kept = own.find(".corvane-sort-");
  ASSERT_NE(kept, std::string::npos);
  EXPECT_GE(kept, 255u - 22 - 1);
  EXPECT_EQ(own.substr(0, 3), "a\xc3\xa9");
  EXPECT_EQ(own.substr(kept - 4, 4), "\xc3\xa9_1");
  EXPECT_EQ((kept - 3) % 2, 0u);
  EXPECT_EQ(drained(spool).size(), pairs.size());
}

} // namespace
