#pragma once
// Fixed-seed genotype data with LD for tests and benchmarks. A small set of founder haplotypes shares a
// genealogy (a random coalescent tree, redrawn at recombination points, more often in hotspots); each
// variant is a mutation on one branch of the current tree, so neighbouring variants on the same tree split
// the founders in equal, nested or disjoint ways. Each sample's two haplotypes copy founders, switching
// founder with a probability that grows with the distance between variants, and mutate away from the
// founder now and then: correlation is strong between close variants and fades with distance. Everything comes from the
// generator's own seeded streams (no global state); missingness has a stream of its own, so the same seed
// gives the same genotypes whatever the missing rate.
#include <cstdint>
#include <string>
#include <vector>

namespace testdata {

// xoshiro256** seeded through splitmix64: the same numbers on every platform and library.
class Rng {
 public:
  explicit Rng(uint64_t seed);
  uint64_t next();
  double uniform();             // [0, 1) with 53 random bits
  uint64_t below(uint64_t n);   // [0, n), n > 0

 private:
  uint64_t s_[4];
};

struct SimulationOptions {
  uint32_t n_samples = 100;
  uint32_t n_variants = 100;
  uint64_t seed = 1;
  std::string chromosome = "1";
  uint32_t first_position = 10000;
  uint32_t spacing = 1000;         // mean distance between neighbouring variants, at least 1
  bool jitter = true;              // distances uniform in [1, 2 spacing - 1]; false: exactly spacing
  double missing_rate = 0.0;       // each genotype missing independently with this probability
  uint32_t n_founders = 12;        // 2 to 64
  double ld_length = 0.0;          // bp after which the founders' tree has changed with probability 1 - 1/e;
                                   // samples switch founder four times more slowly; 0 means 20 x spacing
  double hotspot_rate = 0.05;      // share of intervals holding a recombination hotspot
  double hotspot_factor = 50.0;    // how much faster a hotspot interval switches
  double mutation_rate = 0.005;    // per haplotype and variant: the allele differs from the founder's
  std::vector<uint32_t> monomorphic;  // indices of variants made monomorphic (no copy of the B allele)
  uint32_t monomorphic_every = 0;     // also every k-th variant (indices k-1, 2k-1, ...); 0 for none
};

struct SimulatedVariant {
  uint32_t index = 0;
  std::string chromosome, rsid;
  uint32_t position = 0;
  std::string allele_a, allele_b;  // first and second allele
  std::vector<int8_t> b_counts;    // per sample: copies of allele_b (0, 1, 2), -1 when missing
};

// Produces the variants one at a time in file order, so any size streams in O(samples) memory.
class GenotypeSimulator {
 public:
  explicit GenotypeSimulator(const SimulationOptions& options);  // throws std::invalid_argument
  bool next(SimulatedVariant& out);  // false once all variants are out
  const SimulationOptions& options() const { return opt_; }

 private:
  SimulationOptions opt_;
  Rng structure_, haplotypes_, missing_;
  void newTree();
  std::vector<uint16_t> founder_of_;   // per haplotype (2 per sample): the founder copied now
  std::vector<uint64_t> clades_;       // the current tree's branches as founder sets (bit f: founder f)
  std::vector<double> clade_weight_;   // cumulative branch lengths
  std::vector<uint8_t> founder_alleles_;
  std::vector<uint8_t> hap_alleles_;
  std::vector<char> monomorphic_;
  uint32_t done_ = 0;
  uint32_t position_ = 0;
};

// Copies of the A allele (the PLINK dosage) from copies of B; missing stays -1.
void aCountsFromB(const std::vector<int8_t>& b_counts, std::vector<int8_t>& a_counts);

} // namespace testdata
