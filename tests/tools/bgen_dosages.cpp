// Prints what Corvane's BGEN reader makes of a file: one line per variant with its identifying
// data, allele frequencies and the dosage of every sample (expected count of the second allele).
// Used by the end-to-end interop tests. Usage: bgen_dosages FILE.bgen [--table] [--sample FILE]
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "corvane.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: bgen_dosages FILE.bgen [--table] [--sample FILE]\n";
    return 2;
  }
  bool table = false;
  std::string sample_file;
  for (int a = 2; a < argc; ++a) {
    if (std::strcmp(argv[a], "--table") == 0) table = true;
    if (std::strcmp(argv[a], "--sample") == 0 && a + 1 < argc) sample_file = argv[++a];
  }
  flags.bgen = true;
  par.bgen = argv[1];
  if (!sample_file.empty()) {
    flags.samples = true;
    par.samples = sample_file;
  }
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.openBGEN(true);
  if (!sample_file.empty()) engine.readSampleFile();

  // Sample identifiers in file order, when known.
  std::vector<std::string> ids(engine.n_samples_in_file);
  for (const auto& entry : engine.bgen_parser.sample_ids) ids[entry.second] = entry.first;
  std::printf("samples");
  for (const std::string& id : ids) std::printf(" %s", id.empty() ? "." : id.c_str());
  std::printf("\n");

  std::map<uint32_t, VariantHeader> headers;
  Eigen::VectorXd dosages(engine.bin_n_samples);
  for (uint32_t j = 0; engine.bgen_parser.read_variant(j, true, headers); ++j) {
    if (table) {
      engine.bgen_parser.read_probs();
      engine.bgen_parser.compute_dosages(dosages, j, true, headers);
    } else {
      engine.bgen_parser.read_dosages(dosages, j, true, headers);
    }
    const VariantHeader& h = headers.at(j);
    std::printf("%s %u %s %s %s %.17g %.17g", h.RSID.c_str(), h.position, h.chromosome.c_str(),
                h.A_allele.c_str(), h.B_allele.c_str(), h.A_allele_freq, h.B_allele_freq);
    for (Eigen::Index i = 0; i < dosages.size(); ++i) std::printf(" %.17g", dosages[i]);
    std::printf("\n");
    headers.erase(j);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
