#include "bcor_runs.hpp"

#include <fstream>
#include <iterator>

#include "corvane.hpp"

namespace fuzzsupport {

namespace {

VariantHeader variant(uint32_t index) {
  VariantHeader h;
  h.index = index;
  h.RSID = "rs" + std::to_string(index + 1);
  h.position = 1000 + 10 * index;
  h.chromosome = "22";
  h.A_allele = index % 2 ? "AT" : "A";
  h.B_allele = "G";
  h.A_allele_freq = 0.125 * (index % 8);
  h.B_allele_freq = 1.0 - h.A_allele_freq;
  return h;
}

bool inRun(const BcorRun& run, uint32_t j) { return j < run.first + run.n_variants; }

} // namespace

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> writeBcorRun(const std::string& base, const BcorRun& run) {
  const uint32_t threads = run.split > 0 ? 2 : 1;
  const uint32_t last = run.first + run.n_variants - 1;
  Shared_buffers shared(threads);
  shared.run_start_position = variant(run.first).position;
  shared.run_end_position = variant(last).position;
  uint64_t total = 0;
  for (uint32_t i = run.first; i <= last; ++i) {
    for (uint32_t j = i + 1; j <= i + 2; ++j) total += inRun(run, j);
  }
  shared.total_number_of_correlations = total;

  std::vector<std::string> files;
  for (uint32_t t = 0; t < threads; ++t) {
    Corvane engine(par, shared);
    engine.process_number = t;
    engine.n_processes = threads;
    engine.is_master = t == 0;
    engine.bcor_file = base;
    engine.accuracy = run.accuracy;
    const uint32_t begin = run.first + (t == 0 ? 0 : run.split);
    const uint32_t end = threads == 1 || t == 1 ? last + 1 : run.first + run.split;
    engine.bin_n_samples = 40;
    engine.bin_n_variants = run.n_variants;
    engine.chunk_n_variants = end - begin;
    engine.chunk_start_variant = begin;
    engine.chunk_end_variant = end;
    engine.bcor_start_variant = run.first;
    engine.bcor_end_variant = last;
    engine.bcor_start_position = variant(begin).position;
    engine.bcor_end_position = variant(end - 1).position;
    uint64_t pairs = 0;
    for (uint32_t i = begin; i < end; ++i) {
      engine.variant_headers[i] = variant(i);
      for (uint32_t j = i + 1; j <= i + 2 && inRun(run, j); ++j) {
        engine.correlations[i][j] = j == i + 1 ? 0.75 : -0.25;
        if (run.sample_counts && j == i + 1) engine.sample_counts[i][j] = 37;
        ++pairs;
      }
    }
    engine.number_of_correlation_records = static_cast<uint32_t>(engine.correlations.size());
    engine.number_of_sample_count_records = static_cast<uint32_t>(engine.sample_counts.size());
    engine.number_of_correlations_in_file = pairs;
    engine.writeVariantHeader();
    engine.writeVariantOffset();
    engine.writeVariantDataCorr();
    engine.writeVariantDataNumberOfSamples();
    files.push_back(readBytes(base + "_" + std::to_string(t + 1)));
  }
  return files;
}

void mergeBcorFiles(const std::string& base, uint32_t n_files) {
  const Flags saved = flags;
  flags.merge = true;  // names the output after the --bcor name itself
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = base;
  engine.n_processes = n_files;
  engine.readVariantHeaderFromMaster();
  engine.writeVariantHeader();
  engine.writeVariantOffset();
  engine.readWriteVariantDataFromMaster();
  flags = saved;
}

void readWholeBcor(const std::string& path) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = path;
  engine.readVariantHeaderFromStream();
  engine.readVariantOffset();
  for (const std::vector<uint64_t>* table : {&engine.correlation_offsets, &engine.sample_count_offsets}) {
    for (uint64_t offset : *table) {
      if (offset == 0) continue;
      engine.bcor_in.seekg(static_cast<std::streamoff>(offset));
      std::vector<byte_t> record = engine.readStreamToBuffer(engine.bcor_in);
      if (table == &engine.correlation_offsets) {
        engine.readVariantCorrFromBuffer(std::move(record));
      } else {
        engine.readVariantNumberOfSamplesFromBuffer(std::move(record));
      }
    }
  }
}

} // namespace fuzzsupport
