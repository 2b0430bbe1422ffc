#include "simulate.hpp"

#include <cmath>
#include <stdexcept>

namespace testdata {

namespace {

uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// 32-bit halves of one draw as two probabilities in [0, 1): enough resolution for switch and mutation rates.
inline double high(uint64_t x) { return static_cast<double>(x >> 32) * (1.0 / 4294967296.0); }
inline double low(uint64_t x) { return static_cast<double>(x & 0xFFFFFFFFull) * (1.0 / 4294967296.0); }

} // namespace

Rng::Rng(uint64_t seed) {
  uint64_t x = seed;
  for (auto& s : s_) s = splitmix64(x);
}

uint64_t Rng::next() {
  const uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double Rng::uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

uint64_t Rng::below(uint64_t n) {
  // Rejection keeps the draw unbiased.
  const uint64_t limit = UINT64_MAX - UINT64_MAX % n;
  uint64_t x;
  do x = next();
  while (x >= limit);
  return x % n;
}

GenotypeSimulator::GenotypeSimulator(const SimulationOptions& o)
    : opt_(o),
      structure_(o.seed * 3 + 0x5EED0001ull),
      haplotypes_(o.seed * 3 + 0x5EED0002ull),
      missing_(o.seed * 3 + 0x5EED0003ull) {
  if (o.spacing < 1) throw std::invalid_argument("spacing must be at least 1");
  if (o.n_founders < 2 || o.n_founders > 64) throw std::invalid_argument("founders must be 2 to 64");
  if (!(o.missing_rate >= 0.0 && o.missing_rate <= 1.0)) throw std::invalid_argument("missing rate outside [0, 1]");
  if (opt_.ld_length <= 0.0) opt_.ld_length = 20.0 * o.spacing;
  founder_of_.resize(2 * static_cast<std::size_t>(o.n_samples));
  for (auto& f : founder_of_) f = static_cast<uint16_t>(haplotypes_.below(o.n_founders));
  founder_alleles_.resize(o.n_founders);
  hap_alleles_.resize(founder_of_.size());
  monomorphic_.assign(o.n_variants, 0);
  for (uint32_t v : o.monomorphic)
    if (v < o.n_variants) monomorphic_[v] = 1;
  if (o.monomorphic_every > 0)
    for (uint64_t v = o.monomorphic_every - 1; v < o.n_variants; v += o.monomorphic_every) monomorphic_[v] = 1;
  position_ = o.first_position;
  newTree();
}

// Kingman's coalescent over the founders: while k lineages remain, all grow by an exponential time of rate
// k(k-1)/2, then two random ones merge. Every lineage but the root is a branch a mutation can hit.
void GenotypeSimulator::newTree() {
  std::vector<uint64_t> lineage;
  std::vector<double> length;
  for (uint32_t f = 0; f < opt_.n_founders; ++f) {
    lineage.push_back(uint64_t(1) << f);
    length.push_back(0.0);
  }
  std::vector<std::size_t> live(lineage.size());
  for (std::size_t i = 0; i < live.size(); ++i) live[i] = i;
  while (live.size() > 1) {
    const double k = static_cast<double>(live.size());
    const double t = -std::log(1.0 - structure_.uniform()) / (k * (k - 1) / 2);
    for (std::size_t i : live) length[i] += t;
    std::size_t a = structure_.below(live.size());
    std::size_t b = structure_.below(live.size() - 1);
    if (b >= a) ++b;
    lineage.push_back(lineage[live[a]] | lineage[live[b]]);
    length.push_back(0.0);
    const std::size_t merged = lineage.size() - 1;
    if (a < b) std::swap(a, b);
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(a));
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(b));
    live.push_back(merged);
  }
  clades_.clear();
  clade_weight_.clear();
  double total = 0.0;
  for (std::size_t i = 0; i + 1 < lineage.size(); ++i) {  // the last lineage is the root
    total += length[i];
    clades_.push_back(lineage[i]);
    clade_weight_.push_back(total);
  }
}

bool GenotypeSimulator::next(SimulatedVariant& out) {
  if (done_ >= opt_.n_variants) return false;
  const uint32_t n = opt_.n_samples;
  double p_switch = 1.0;  // the first variant has no left neighbour: every founder is fresh anyway
  if (done_ > 0) {
    const uint64_t step = opt_.jitter ? 1 + structure_.below(2 * static_cast<uint64_t>(opt_.spacing) - 1)
                                      : opt_.spacing;
    if (position_ + step > UINT32_MAX) throw std::invalid_argument("positions run past 2^32 - 1");
    position_ += static_cast<uint32_t>(step);
    double rate = structure_.uniform() < opt_.hotspot_rate ? opt_.hotspot_factor : 1.0;
    const double scaled = static_cast<double>(step) * rate / opt_.ld_length;
    if (structure_.uniform() < 1.0 - std::exp(-scaled)) newTree();
    p_switch = 1.0 - std::exp(-scaled / 4.0);
  }
  static const char* bases[4] = {"A", "C", "G", "T"};
  const uint64_t a = structure_.below(4);
  const uint64_t b = (a + 1 + structure_.below(3)) % 4;
  // A mutation on a branch chosen by length; the derived allele is B or A with even odds.
  const double hit = structure_.uniform() * clade_weight_.back();
  std::size_t c = 0;
  while (c + 1 < clades_.size() && clade_weight_[c] <= hit) ++c;
  const uint8_t flip = structure_.uniform() < 0.5 ? 1 : 0;
  for (uint32_t f = 0; f < opt_.n_founders; ++f)
    founder_alleles_[f] = static_cast<uint8_t>(((clades_[c] >> f) & 1u) ^ flip);

  out.index = done_;
  out.chromosome = opt_.chromosome;
  out.rsid = "rs" + std::to_string(done_ + 1);
  out.position = position_;
  out.allele_a = bases[a];
  out.allele_b = bases[b];
  out.b_counts.resize(n);
  const double mu = opt_.mutation_rate;
  for (std::size_t h = 0; h < founder_of_.size(); ++h) {
    const uint64_t x = haplotypes_.next();
    if (done_ > 0 && high(x) < p_switch) founder_of_[h] = static_cast<uint16_t>(haplotypes_.below(opt_.n_founders));
    uint8_t allele = founder_alleles_[founder_of_[h]];
    if (low(x) < mu) allele ^= 1;
    hap_alleles_[h] = allele;
  }
  const bool mono = monomorphic_[done_] != 0;
  for (uint32_t i = 0; i < n; ++i)
    out.b_counts[i] = mono ? 0 : static_cast<int8_t>(hap_alleles_[2 * i] + hap_alleles_[2 * i + 1]);
  if (opt_.missing_rate > 0.0)
    for (uint32_t i = 0; i < n; ++i)
      if (missing_.uniform() < opt_.missing_rate) out.b_counts[i] = -1;
  ++done_;
  return true;
}

void aCountsFromB(const std::vector<int8_t>& b, std::vector<int8_t>& a) {
  a.resize(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) a[i] = b[i] < 0 ? static_cast<int8_t>(-1) : static_cast<int8_t>(2 - b[i]);
}

} // namespace testdata
