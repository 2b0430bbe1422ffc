// fuzz_seed_corpus DIR: writes small seed inputs for every harness into DIR/<harness>/. Genotype
// files come from the test writers; BCOR files and records from the engine's own writers.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bgen_writer.hpp"
#include "corvane.hpp"
#include "fuzz_support.hpp"

namespace fs = std::filesystem;

namespace {

fs::path out_dir;

void seed(const std::string& harness, const std::string& name, const std::string& bytes) {
  const fs::path dir = out_dir / harness;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write seed " + (dir / name).string());
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string bytes(const std::vector<byte_t>& v) { return std::string(v.begin(), v.end()); }

void textSeeds() {
  const std::vector<std::string> lines = {
      "RSID position chromosome A_allele B_allele\nrs1 100 1 A G\n",
      "ID_1 ID_2 missing sex\n0 0 0 D\nid1 id1 0 1\n",
      "ID_1 ID_2\n",
      "12", "1e2", "12.5", "0x1F", "-3", "a  b", "a b ", "", "B_allele\r\n", "ID_1\tID_2\tmissing\n",
      "rs1 2147483648 1 A G\n"};
  int k = 0;
  for (const std::string& line : lines) {
    seed("fuzz_text_lines", "seed" + std::to_string(k++), std::string("\x00\x05", 2) + line);
    seed("fuzz_text_lines", "seed" + std::to_string(k++), std::string("\x02\x03", 2) + line);
  }
}

VariantHeader variant(uint32_t index, uint32_t position, const std::string& rsid) {
  VariantHeader h;
  h.index = index;
  h.RSID = rsid;
  h.position = position;
  h.chromosome = "22";
  h.A_allele = index % 2 ? "AT" : "A";
  h.B_allele = "G";
  h.A_allele_freq = 0.125 * (index % 8);
  h.B_allele_freq = 1.0 - h.A_allele_freq;
  return h;
}

// A one-thread BCOR file of n variants, as a computation over them writes it.
std::string bcorFile(const std::string& accuracy, uint32_t first, uint32_t n, bool with_counts) {
  const std::string base = fuzzsupport::scratchPath("seed.bcor");
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = base;
  engine.accuracy = accuracy;
  engine.process_number = 0;
  engine.n_processes = 1;
  engine.bin_n_samples = 40;
  engine.bin_n_variants = engine.chunk_n_variants = n;
  engine.chunk_start_variant = engine.bcor_start_variant = first;
  engine.chunk_end_variant = first + n;
  engine.bcor_end_variant = first + n - 1;
  engine.bcor_start_position = shared.run_start_position = 1000 + 10 * first;
  engine.bcor_end_position = shared.run_end_position = 1000 + 10 * (first + n - 1);
  uint64_t pairs = 0;
  for (uint32_t i = first; i < first + n; ++i) {
    engine.variant_headers[i] = variant(i, 1000 + 10 * i, "rs" + std::to_string(i + 1));
    for (uint32_t j = i + 1; j < first + n && j < i + 3; ++j) {
      engine.correlations[i][j] = (j - i == 1 ? 0.75 : -0.25);
      if (with_counts && j == i + 1) engine.sample_counts[i][j] = 37;
      ++pairs;
    }
  }
  engine.number_of_correlation_records = static_cast<uint32_t>(engine.correlations.size());
  engine.number_of_sample_count_records = static_cast<uint32_t>(engine.sample_counts.size());
  engine.number_of_correlations_in_file = shared.total_number_of_correlations = pairs;
  engine.writeVariantHeader();
  engine.writeVariantOffset();
  engine.writeVariantDataCorr();
  engine.writeVariantDataNumberOfSamples();
  return fileBytes(base + "_1");
}

void bcorSeeds() {
  int k = 0;
  for (const char* accuracy : {"low", "medium", "high"}) {
    seed("fuzz_bcor_file", std::string("seed_") + accuracy, bcorFile(accuracy, 0, 5, true));
    seed("fuzz_bcor_file", "seed_first3_" + std::string(accuracy), bcorFile(accuracy, 3, 4, false));
  }
  seed("fuzz_bcor_file", "seed_one_variant", bcorFile("medium", 0, 1, false));

  Shared_buffers shared(0);
  Corvane engine(par, shared);
  const std::string prefixes[] = {std::string(1, '\0'), std::string(1, '\1'), std::string(1, '\2')};
  const char* words[] = {"low", "medium", "high"};
  for (int a = 0; a < 3; ++a) {
    engine.accuracy = words[a];
    CorrelationMap correlations{{4, 0.5}, {5, -1.0}, {9, 0.0}};
    SampleCountMap counts{{4, 12}, {7, 0}};
    seed("fuzz_bcor_records", "corr" + std::to_string(k++), prefixes[a] + bytes(engine.writeVariantDataToBuffer(3, correlations)));
    seed("fuzz_bcor_records", "count" + std::to_string(k++), prefixes[a] + bytes(engine.writeVariantDataToBuffer(3, counts)));
    seed("fuzz_bcor_records", "header" + std::to_string(k++),
         prefixes[a] + bytes(engine.writeVariantHeaderToBuffer(variant(3, 12345, "rs4"))));
  }
  seed("fuzz_bcor_records", "empty", prefixes[1] + bytes(engine.writeVariantDataToBuffer(0, SampleCountMap())));
}

std::vector<double> someProbs(uint32_t n_samples, uint32_t salt) {
  std::vector<double> probs;
  for (uint32_t i = 0; i < n_samples; ++i) {
    const uint32_t g = (i * 7 + salt) % 5;
    if (g == 4 && salt % 2) {
      probs.insert(probs.end(), {std::nan(""), std::nan(""), std::nan("")});
    } else if (g == 3) {
      probs.insert(probs.end(), {0.2, 0.5, 0.3});
    } else {
      probs.insert(probs.end(), {g == 0 ? 1.0 : 0.0, g == 1 ? 1.0 : 0.0, g == 2 ? 1.0 : 0.0});
    }
  }
  return probs;
}

std::string bgenFile(uint32_t layout, uint32_t compression, bool ids, uint32_t bits, bool phased) {
  const std::string path = fuzzsupport::scratchPath("seed.bgen");
  const uint32_t n_samples = 6;
  testdata::BgenHeader header;
  header.layout = layout;
  header.compression = compression;
  header.sample_identifiers = ids;
  testdata::BgenBlockOptions block;
  block.bits = bits;
  block.phased = phased;
  testdata::BgenWriter writer(path, n_samples, header, block);
  for (uint32_t v = 0; v < 3; ++v) {
    testdata::BgenVariantId id;
    id.varid = "1:" + std::to_string(1000 + v);
    id.rsid = "rs" + std::to_string(v + 1);
    id.position = 1000 + 100 * v;
    if (phased) {
      std::vector<testdata::BgenSampleProbs> samples(n_samples);
      for (uint32_t i = 0; i < n_samples; ++i) {
        samples[i].probs = {(i + v) % 2 ? 1.0 : 0.0, (i + v) % 2 ? 0.0 : 1.0, i % 3 ? 1.0 : 0.0, i % 3 ? 0.0 : 1.0};
      }
      writer.addVariantSamples(id, samples);
    } else {
      writer.addVariant(id, someProbs(n_samples, v + (layout == 2 ? 1 : 0)));
    }
  }
  writer.close();
  return fileBytes(path);
}

void bgenSeeds() {
  for (uint32_t layout : {0u, 1u, 2u}) {
    for (uint32_t compression : {testdata::kBgenStored, testdata::kBgenZlib}) {
      const std::string name = "l" + std::to_string(layout) + "c" + std::to_string(compression);
      seed("fuzz_bgen_file", name, bgenFile(layout, compression, false, 8, false));
      seed("fuzz_bgen_file", name + "_ids", bgenFile(layout, compression, true, 8, false));
      // The probability harness: selector byte, u16 samples, the stored block without length field.
      const uint32_t n = 5;
      const std::string probs =
          layout == 2 ? testdata::bgenLayout2Data(
                            [&] {
                              std::vector<testdata::BgenSampleProbs> s(n);
                              for (uint32_t i = 0; i < n; ++i) {
                                s[i].probs = {i == 0 ? 1.0 : 0.25, i == 0 ? 0.0 : 0.5, i == 0 ? 0.0 : 0.25};
                                s[i].missing = i == 3;
                              }
                              return s;
                            }(),
                            2, testdata::BgenBlockOptions())
                      : testdata::bgenLayout1Data(layout, someProbs(n, 1));
      std::string stored = testdata::bgenGenotypeBlock(layout, compression, probs);
      if (layout == 2 || compression != testdata::kBgenStored) stored.erase(0, 4);
      const char selector = static_cast<char>(layout | (compression ? 4 : 0));
      seed("fuzz_bgen_probabilities", name, std::string(1, selector) + std::string("\x05\x00", 2) + stored);
    }
  }
  seed("fuzz_bgen_file", "l2_bits16", bgenFile(2, testdata::kBgenZlib, false, 16, false));
  seed("fuzz_bgen_file", "l2_phased", bgenFile(2, testdata::kBgenStored, false, 8, true));
  seed("fuzz_bgen_file", "l2_bits3", bgenFile(2, testdata::kBgenStored, true, 3, false));
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seed_corpus DIR\n";
    return 2;
  }
  out_dir = argv[1];
  try {
    textSeeds();
    bcorSeeds();
    bgenSeeds();
  } catch (const fuzzsupport::Refusal& r) {
    std::cerr << "fuzz_seed_corpus: " << r.message << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "fuzz_seed_corpus: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
