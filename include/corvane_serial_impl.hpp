#pragma once
// Work split between threads and chunk planning.
#include <cstdint>
#include <string>
#include <vector>

struct Chunk {
  uint64_t offset = 0;
  uint32_t n_variants = 0;
  uint32_t start = 0;
  uint32_t end = 0;
};

namespace worksplit {

// Share [start, end) of `process` in an even split of n_variants over n_processes (run offsets):
// the first n_variants mod n_processes processes take one variant more.
void evenShare(uint32_t n_variants, uint32_t n_processes, uint32_t process, uint32_t& start,
               uint32_t& end);

// Workload of the run offsets [from, from + count): the number of later variants up to the first
// one farther than `window` base pairs (difference taken as unsigned 32-bit, so a later variant
// at a smaller position ends the count). Written into workload[from ...].
void workloadOfVariants(const std::vector<uint32_t>& run_positions, uint32_t window, uint32_t from,
                        uint32_t count, std::vector<double>& workload);

// Sum of the workloads in index order, the value every thread divides by.
double totalWorkload(const std::vector<double>& workload);

// Share [start, end) of `process` (run offsets) in the split at equal fractions of the cumulative
// workload. The first process always starts at offset 0 and the last always ends at the run's end,
// so the shares cover the run exactly; a total of 0 falls back to the even split.
void balancedShare(const std::vector<double>& workload, double total, uint32_t n_processes,
                   uint32_t process, uint32_t& start, uint32_t& end);

// Chunks of the share [start, end) with at most chunk_size variants each, in order; empty for an
// empty share.
std::vector<Chunk> planChunks(uint32_t start, uint32_t end, uint32_t chunk_size);

// One line of the printed plan, newline included; `process` counts from 1.
std::string planLine(uint32_t process, uint32_t n_variants, uint32_t start, uint32_t end);

} // namespace worksplit
