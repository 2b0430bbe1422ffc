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
#include "bcor_runs.hpp"
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
      "rs1 2147483648 1 A G\n", "1e+04", "10000abc", "4294967296"};
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
  h.A_allele = "AT";
  h.B_allele = "G";
  h.A_allele_freq = 0.375;
  h.B_allele_freq = 0.625;
  return h;
}

std::string u16le(size_t n) { return std::string{static_cast<char>(n & 0xff), static_cast<char>(n >> 8)}; }

void bcorSeeds() {
  using fuzzsupport::BcorRun;
  const std::string base = fuzzsupport::scratchPath("seed.bcor");
  int k = 0;
  for (const char* accuracy : {"low", "medium", "high"}) {
    BcorRun one;
    one.accuracy = accuracy;
    const std::string whole = fuzzsupport::writeBcorRun(base, one)[0];
    BcorRun later = one;
    later.first = 3;
    later.n_variants = 4;
    later.sample_counts = false;
    const std::string shifted = fuzzsupport::writeBcorRun(base, later)[0];
    for (const char* harness : {"fuzz_bcor_file", "fuzz_bcor_extract"}) {
      seed(harness, std::string("one_") + accuracy, whole);
      seed(harness, std::string("first3_") + accuracy, shifted);
    }
    // Merge inputs: u16 length of file 1, file 1, file 2.
    BcorRun two = one;
    two.n_variants = 6;
    two.split = 2;
    const std::vector<std::string> files = fuzzsupport::writeBcorRun(base, two);
    seed("fuzz_merge", std::string("two_") + accuracy, u16le(files[0].size()) + files[0] + files[1]);
    seed("fuzz_merge", "one_thread" + std::to_string(k++), u16le(whole.size()) + whole);
    fuzzsupport::mergeBcorFiles(base, 2);
    seed("fuzz_bcor_file", std::string("merged_") + accuracy, fuzzsupport::readBytes(base));
    seed("fuzz_bcor_extract", std::string("merged_") + accuracy, fuzzsupport::readBytes(base));
  }
  BcorRun single;
  single.n_variants = 1;
  seed("fuzz_bcor_file", "one_variant", fuzzsupport::writeBcorRun(base, single)[0]);

  // Variant lists over the harness's own file (fuzzsupport::BcorRun with 6 variants).
  const std::string header = "RSID position chromosome A_allele B_allele\n";
  seed("fuzz_variant_list", "all", header + "rs1 1000 22 A G\nrs2 1010 22 AT G\nrs3 1020 22 A G\n");
  seed("fuzz_variant_list", "flipped", header + "rs4 1030 22 G AT\nrs2 1010 22 G AT\nrs2 1010 22 AT G\n");
  seed("fuzz_variant_list", "unknown", header + "rs9 1090 22 A G\nrs1 1000 21 A G\n");
  seed("fuzz_variant_list", "empty", header);

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

void plinkSeeds() {
  std::string fam, bim;
  for (int i = 0; i < 6; ++i) fam += "FAM" + std::to_string(i) + "\tID" + std::to_string(i) + "\t0\t0\t1\t-9\n";
  for (int v = 0; v < 4; ++v) bim += "1\trs" + std::to_string(v + 1) + "\t0\t" + std::to_string(1000 + 10 * v) + "\tA\tG\n";
  seed("fuzz_plink", "tabs", u16le(fam.size()) + fam + bim);
  std::string fam_spaces = fam, bim_spaces = bim;
  for (char& c : fam_spaces) c = c == '\t' ? ' ' : c;
  for (char& c : bim_spaces) c = c == '\t' ? ' ' : c;
  seed("fuzz_plink", "spaces", u16le(fam_spaces.size()) + fam_spaces + bim_spaces);
  // Positions as R and spreadsheet exports write them.
  const std::string bim_forms = "1\trs1\t0\t1e3\tA\tG\n1\trs2\t0\t1.01e+03\tA\tG\n1\trs3\t0\t1020.0\tA\tG\n"
                                "1\trs4\t0\t 1030\tA\tG\n";
  seed("fuzz_plink", "forms", u16le(fam.size()) + fam + bim_forms);
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
    plinkSeeds();
  } catch (const fuzzsupport::Refusal& r) {
    std::cerr << "fuzz_seed_corpus: " << r.message << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "fuzz_seed_corpus: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
