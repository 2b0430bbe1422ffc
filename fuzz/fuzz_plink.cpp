// A PLINK file set from arbitrary .fam and .bim text: the first two input bytes give the length of
// the .fam text, the rest is the .bim text; the .bed file gets the right magic and as many records
// as the .bim has lines, their bytes taken from the input. Open, the .bim lines of the whole run
// (each position its column 4 read whole), then every record's dosages: each is 0, 1, 2 or missing,
// and the count of samples with a genotype is the count of dosages that are not missing.
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>

#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::Refusal;
using fuzzsupport::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = fuzzsupport::scratchPath("input");
  if (size < 2) return 0;
  const size_t fam_size = std::min<size_t>(size - 2, data[0] | size_t(data[1]) << 8);
  const std::string fam(reinterpret_cast<const char*>(data + 2), fam_size);
  const std::string bim(reinterpret_cast<const char*>(data + 2 + fam_size), size - 2 - fam_size);
  size_t samples = 0, variants = 0;
  for (char c : fam) samples += c == '\n';
  for (char c : bim) variants += c == '\n';
  if (samples > 4096 || variants > 4096) return 0;
  std::string bed = "\x6c\x1b\x01";
  const size_t record = (samples + 3) / 4;
  for (size_t k = 0; k < record * variants; ++k) bed += static_cast<char>(data[k % size] * 37 + k);
  fuzzsupport::writeScratch(base + ".fam", fam);
  fuzzsupport::writeScratch(base + ".bim", bim);
  fuzzsupport::writeScratch(base + ".bed", bed);

  PlinkParser parser;
  parser.print_errors = true;
  try {
    parser.open(base + ".bed", base + ".bim", base + ".fam");
    const uint32_t n = parser.context.number_of_variants;
    std::map<uint32_t, VariantHeader> headers;
    parser.read_bim(0, n, headers);
    if (headers.size() != n) fail("the .bim lines of the run are not all read");
    // Every position is its column 4 read whole (the checks above refused any other).
    size_t at = 0;
    for (uint32_t v = 0; v < n; ++v) {
      const size_t stop = bim.find('\n', at);
      std::string line = bim.substr(at, stop - at);
      at = stop + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const char delimiter = line.find('\t') != std::string::npos ? '\t' : ' ';
      size_t from = 0;
      for (int k = 0; k < 3; ++k) from = line.find(delimiter, from) + 1;
      const std::string field = line.substr(from, line.find(delimiter, from) - from);
      if (std::strtod(field.c_str(), nullptr) != static_cast<double>(headers.at(v).position)) {
        fail("position " + std::to_string(headers.at(v).position) + " is not column 4 [" + field + "] read whole");
      }
    }
    parser.seek_variant(0);
    Eigen::VectorXd dosages(static_cast<Eigen::Index>(parser.included_samples.size()));
    for (uint32_t v = 0; v < n; ++v) {
      dosages.setConstant(-1.0);
      const uint32_t with_genotype = parser.compute_genotypes(v, true, headers, dosages);
      uint32_t counted = 0;
      for (Eigen::Index i = 0; i < dosages.size(); ++i) {
        const double d = dosages[i];
        if (!(std::isnan(d) || d == 0.0 || d == 1.0 || d == 2.0)) fail("a dosage other than 0, 1, 2 or missing");
        counted += !std::isnan(d);
      }
      if (counted != with_genotype) fail("the count of samples with a genotype differs from the dosages");
    }
  } catch (const Refusal& r) {
    fuzzsupport::checkRefusal(r);
  }
  return 0;
}
