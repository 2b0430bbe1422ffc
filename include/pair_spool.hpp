#pragma once
// The pairs of a table extraction, found in any order and handed back in the table's order (first
// place, then second place) in bounded memory: a list in any order may give hundreds of millions of
// lines. Pairs beyond what memory holds go to a temporary file as sorted runs, merged at the end.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "extraction.hpp"
#include "output_files.hpp"

class PairSpool {
public:
  // 1 M pairs (24 MiB) in memory; the merge reads ahead from at most 64 runs at a time in the same
  // memory.
  static constexpr std::size_t kPairsInMemory = std::size_t(1) << 20;
  static constexpr std::size_t kMaxRunsPerMerge = 64;

  // The temporary file is created only when the pairs outgrow memory, under a name of this run's
  // own in `place`: its stem and some random characters. It is written and read back only through
  // the descriptor that created it.
  explicit PairSpool(corvane::OwnPlace place, std::size_t pairs_in_memory = kPairsInMemory,
                     std::size_t max_runs_per_merge = kMaxRunsPerMerge);
  // The same at the path `temporary_stem`.
  explicit PairSpool(const std::string& temporary_stem, std::size_t pairs_in_memory = kPairsInMemory,
                     std::size_t max_runs_per_merge = kMaxRunsPerMerge);
  ~PairSpool();
  PairSpool(const PairSpool&) = delete;
  PairSpool& operator=(const PairSpool&) = delete;

  void add(const ExtractedPair& pair);
  // Calls `write` for every pair added, in the table's order, then removes the temporary file.
  void drain(const std::function<void(const ExtractedPair&)>& write);

  // Held on disk in fixed-size records, without padding bytes.
  struct Record {
    uint32_t first;
    uint32_t second;
    uint32_t n_samples;
    uint32_t unused;
    double correlation;
  };

private:
  struct Run {
    uint64_t offset;  // in records
    uint64_t size;
  };
  class Reader;

  void spill();
  void writeRecords(const Record* records, std::size_t count);
  void mergeRuns(std::size_t first_run, std::size_t n_runs, const std::function<void(const Record&)>& out);
  void removeFile();
  [[noreturn]] void fail(const char* what) const;

  corvane::OwnPlace place_;
  std::string name_;  // the temporary file in place_.directory, once created
  std::string path_;  // and its path, for messages
  std::size_t pairs_in_memory_;
  std::size_t max_runs_per_merge_;
  std::vector<Record> buffer_;
  std::vector<Run> runs_;
  std::fstream file_;
  uint64_t records_in_file_ = 0;
};
