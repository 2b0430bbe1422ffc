#include "bcor_fixture.hpp"
#include "settings_guard.hpp"

#include <stdexcept>

#include "fatal.hpp"
#include "header_serial.hpp"

namespace testbcor {

std::vector<VariantHeader> makeVariants(uint32_t first_index, uint32_t n, uint32_t first_position,
                                        uint32_t step) {
  std::vector<VariantHeader> variants;
  for (uint32_t k = 0; k < n; ++k) {
    VariantHeader v;
    v.index = first_index + k;
    v.RSID = "rs" + std::to_string(first_index + k);
    v.position = first_position + k * step;
    v.chromosome = "1";
    v.A_allele = "A";
    v.B_allele = "G";
    v.A_allele_freq = static_cast<double>(k + 1) / 64.0;
    v.B_allele_freq = 1.0 - v.A_allele_freq;
    variants.push_back(v);
  }
  return variants;
}

void writePerThreadFiles(const StoredRun& run, const std::string& base, const std::vector<uint32_t>& shares,
                         const Tweak& tweak) {
  testutil::SettingsGuard guard;
  flags.bcor = true;
  par.bcor = base;
  flags.accuracy = true;
  par.accuracy = run.accuracy;

  const uint32_t n_threads = static_cast<uint32_t>(shares.size());
  const uint32_t n = static_cast<uint32_t>(run.variants.size());
  Shared_buffers shared(n_threads);
  if (n > 0) {
    shared.run_start_position = run.variants.front().position;
    shared.run_end_position = run.variants.back().position;
  }
  shared.total_number_of_correlations = run.pairs.size();

  uint32_t next = 0;
  for (uint32_t t = 0; t < n_threads; ++t) {
    if (next + shares[t] > n) throw std::invalid_argument("shares exceed the run's variants");
    Corvane engine(par, shared);
    engine.process_number = t;
    engine.n_processes = n_threads;
    engine.is_master = t == 0;
    engine.bin_n_samples = run.n_samples;
    engine.bin_n_variants = n;
    engine.chunk_n_variants = shares[t];
    if (n > 0) {
      engine.bcor_start_variant = run.variants.front().index;
      engine.bcor_end_variant = run.variants.back().index;
    }
    const uint32_t begin = next, end = next + shares[t];
    next = end;
    if (begin < n) {
      engine.chunk_start_variant = run.variants[begin].index;
    } else if (n > 0) {
      engine.chunk_start_variant = run.variants.back().index + 1;
    }
    engine.chunk_end_variant = engine.chunk_start_variant + shares[t];
    if (end > begin) {
      engine.bcor_start_position = run.variants[begin].position;
      engine.bcor_end_position = run.variants[end - 1].position;
    }
    for (uint32_t k = begin; k < end; ++k) engine.variant_headers[run.variants[k].index] = run.variants[k];
    for (const StoredPair& pair : run.pairs) {
      if (pair.first < engine.chunk_start_variant || pair.first >= engine.chunk_end_variant) continue;
      engine.correlations[pair.first][pair.second] = pair.correlation;
      if (pair.n_samples != 0 && pair.n_samples != run.n_samples) {
        engine.sample_counts[pair.first][pair.second] = pair.n_samples;
      }
      ++engine.number_of_correlations_in_file;
    }
    engine.number_of_correlation_records = static_cast<uint32_t>(engine.correlations.size());
    engine.number_of_sample_count_records = static_cast<uint32_t>(engine.sample_counts.size());
    if (tweak) tweak(engine, t);
    engine.writeVariantHeader();
    engine.writeVariantOffset();
    engine.writeVariantDataCorr();
    engine.writeVariantDataNumberOfSamples();
  }
  // The set is whole: as after a computation, a later failure must not take it.
  for (uint32_t t = 0; t < n_threads; ++t) corvane::keepOnError(bcor::perThreadName(base, uint64_t(t) + 1));
}

std::string writeSingleFile(const StoredRun& run, const std::string& base) {
  writePerThreadFiles(run, base, {static_cast<uint32_t>(run.variants.size())});
  return base + "_1";
}

} // namespace testbcor
