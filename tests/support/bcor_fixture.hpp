#pragma once
// Builds small BCOR files for tests through the engine's own writers: a "run" of variants and
// stored pairs is split into per-thread shares and written as base + "_1" .. "_N", exactly as the
// computing threads would write them, without any genotype input or computation.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "corvane.hpp"

namespace testbcor {

struct StoredPair {
  uint32_t first = 0;   // index of the variant with the lower index
  uint32_t second = 0;  // index of its partner
  double correlation = 0.0;
  uint32_t n_samples = 0;  // 0: every sample of the run
};

struct StoredRun {
  std::vector<VariantHeader> variants;  // ascending, consecutive indices
  std::vector<StoredPair> pairs;
  uint32_t n_samples = 100;
  std::string accuracy = "medium";
};

// Variants first_index .. first_index + n - 1 at positions first_position + k * step, named
// "rs<index>", alleles A/G with frequencies k / (n + 1).
std::vector<VariantHeader> makeVariants(uint32_t first_index, uint32_t n, uint32_t first_position,
                                        uint32_t step);

// Called on each thread's engine after it is filled and before it writes: lets a test break one
// file's header values.
typedef std::function<void(Corvane& engine, uint32_t thread)> Tweak;

// Writes the per-thread files of the run, thread t taking the next shares[t] variants.
void writePerThreadFiles(const StoredRun& run, const std::string& base, const std::vector<uint32_t>& shares,
                         const Tweak& tweak = Tweak());

// Writes the run as the single file of a one-thread run (base + "_1"), which the extraction modes
// read like a merged file; returns its name.
std::string writeSingleFile(const StoredRun& run, const std::string& base);

} // namespace testbcor
