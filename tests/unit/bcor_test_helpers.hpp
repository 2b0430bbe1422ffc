#pragma once
// Helpers for the BCOR store tests: bytes assembled by hand, fatal-exit checks,
// and a small one-thread run written through the writers and read back through the readers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "corvane.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

namespace bcortest {

// Errors go to standard output; death tests match standard error, so the child joins them.
#define EXPECT_FATAL(statement, regex)        \
  EXPECT_EXIT(                                \
      {                                       \
        ::dup2(STDERR_FILENO, STDOUT_FILENO); \
        statement;                            \
      },                                      \
      ::testing::ExitedWithCode(1), regex)

// Bytes written out by hand in the tests, independent of the code under test.
struct Bytes {
  std::vector<byte_t> v;
  Bytes& le(uint64_t value, int width) {
    for (int k = 0; k < width; ++k) v.push_back(static_cast<byte_t>((value >> (8 * k)) & 0xff));
    return *this;
  }
  Bytes& u8(uint64_t value) { return le(value, 1); }
  Bytes& u16(uint64_t value) { return le(value, 2); }
  Bytes& u32(uint64_t value) { return le(value, 4); }
  Bytes& u64(uint64_t value) { return le(value, 8); }
  Bytes& text(const std::string& s) {
    v.insert(v.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& append(const std::vector<byte_t>& more) {
    v.insert(v.end(), more.begin(), more.end());
    return *this;
  }
  size_t size() const { return v.size(); }
};

inline std::vector<byte_t> fileBytes(const std::string& path) {
  const std::string s = testutil::readFile(path);
  return std::vector<byte_t>(s.begin(), s.end());
}

inline void writeBytes(const std::string& path, const std::vector<byte_t>& bytes, size_t n) {
  testutil::writeFile(path, std::string(bytes.begin(), bytes.begin() + static_cast<long>(n)));
}

inline VariantHeader variant(uint32_t index, const std::string& rsid, uint32_t position,
                             double a_freq) {
  VariantHeader h;
  h.index = index;
  h.RSID = rsid;
  h.position = position;
  h.chromosome = "22";
  h.A_allele = "A";
  h.B_allele = "G";
  h.A_allele_freq = a_freq;
  h.B_allele_freq = 1.0 - a_freq;
  return h;
}

// Variants 0 ("a" at 1) and 1 ("b" at 2), both alleles at frequency 0.5.
inline std::vector<VariantHeader> twoVariants() {
  return {variant(0, "a", 1, 0.5), variant(1, "b", 2, 0.5)};
}

// An engine as the single thread of a run over the given variants, with its header values set.
inline void setUpOneThreadRun(Corvane& engine, const std::vector<VariantHeader>& headers) {
  engine.process_number = 0;
  engine.n_processes = 1;
  engine.bin_n_samples = 50;
  engine.bin_n_variants = static_cast<uint32_t>(headers.size());
  engine.chunk_n_variants = engine.bin_n_variants;
  engine.chunk_start_variant = headers.empty() ? 0 : headers.front().index;
  engine.chunk_end_variant = headers.empty() ? 0 : headers.back().index + 1;
  engine.bcor_start_variant = engine.chunk_start_variant;
  engine.bcor_end_variant = headers.empty() ? 0 : headers.back().index;
  engine.bcor_start_position = headers.empty() ? 0 : headers.front().position;
  engine.bcor_end_position = headers.empty() ? 0 : headers.back().position;
  engine.shared_buffers.run_start_position = engine.bcor_start_position;
  engine.shared_buffers.run_end_position = engine.bcor_end_position;
  for (const VariantHeader& h : headers) engine.variant_headers[h.index] = h;
}

// Sets the counts of the header from the maps, as the computation does.
inline void countRecords(Corvane& engine) {
  engine.number_of_correlation_records = static_cast<uint32_t>(engine.correlations.size());
  engine.number_of_sample_count_records = static_cast<uint32_t>(engine.sample_counts.size());
  uint64_t pairs = 0;
  for (const auto& entry : engine.correlations) pairs += entry.second.size();
  engine.number_of_correlations_in_file = pairs;
  engine.shared_buffers.total_number_of_correlations = pairs;
}

inline void writeWholeFile(Corvane& engine) {
  engine.writeVariantHeader();
  engine.writeVariantOffset();
  engine.writeVariantDataCorr();
  engine.writeVariantDataNumberOfSamples();
}

struct ReadBack {
  std::map<uint32_t, VariantHeader> headers;
  std::map<uint32_t, CorrelationMap> correlations;
  std::map<uint32_t, SampleCountMap> sample_counts;
  std::string accuracy;
};

// What an extraction does: header, tables, then every record through its table entry.
inline ReadBack readWholeFile(const std::string& path) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = path;
  engine.readVariantHeaderFromStream();
  engine.readVariantOffset();
  ReadBack back;
  back.headers = engine.variant_headers;
  back.accuracy = engine.accuracy;
  for (size_t k = 0; k < engine.correlation_offsets.size(); ++k) {
    if (engine.correlation_offsets[k] == 0) continue;
    engine.bcor_in.seekg(static_cast<std::streamoff>(engine.correlation_offsets[k]));
    back.correlations[engine.bcor_start_variant + static_cast<uint32_t>(k)] =
        engine.readVariantCorrFromBuffer(engine.readStreamToBuffer(engine.bcor_in));
  }
  for (size_t k = 0; k < engine.sample_count_offsets.size(); ++k) {
    if (engine.sample_count_offsets[k] == 0) continue;
    engine.bcor_in.seekg(static_cast<std::streamoff>(engine.sample_count_offsets[k]));
    back.sample_counts[engine.bcor_start_variant + static_cast<uint32_t>(k)] =
        engine.readVariantNumberOfSamplesFromBuffer(engine.readStreamToBuffer(engine.bcor_in));
  }
  return back;
}

} // namespace bcortest
