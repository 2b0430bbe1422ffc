#pragma once
// Small BCOR files written by the engine's own writers, as a run of one or two threads writes
// them: seeds for the BCOR harnesses and the fixed input of the variant-list harness.
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

// Variant i lies at position 1000 + 10 i, is named "rs<i + 1>" on chromosome 22, alleles "A" or
// "AT" and "G"; each variant is paired with its next two.
struct BcorRun {
  std::string accuracy = "medium";
  uint32_t first = 0;         // index of the run's first variant
  uint32_t n_variants = 5;
  uint32_t split = 0;         // variants of thread 1's share; 0 for a run of one thread
  bool sample_counts = true;  // pairs with fewer samples than the run
};

// Writes base + "_1" (and base + "_2" for two threads); returns the files' bytes.
std::vector<std::string> writeBcorRun(const std::string& base, const BcorRun& run);

// Merges base + "_1" .. "_<n_files>" into base, as the merge mode does.
void mergeBcorFiles(const std::string& base, uint32_t n_files);

// Reads a merged (or one-thread) BCOR file as the extraction modes do: header, tables, and every
// record that a table points to.
void readWholeBcor(const std::string& path);

std::string readBytes(const std::string& path);

} // namespace fuzzsupport
