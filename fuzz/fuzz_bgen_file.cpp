// A whole BGEN file through the engine's reader: open (header, sample identifiers), the position
// scan that skips genotype blocks, then every variant read twice, once through the probability
// table and once straight into dosages. Both reads must give the same dosages for every included
// sample, and every refusal must be a message.
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::Refusal;
using fuzzsupport::fail;

namespace {

constexpr size_t max_variants = 64;
constexpr double not_written = 12345.0;

bool sameDosage(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzsupport::scratchPath("input.bgen");
  fuzzsupport::writeScratch(path, data, size);

  BgenParser parser;
  parser.print_errors = true;
  try {
    parser.open(path);
    // Odd-sized inputs read a subset of the samples, as --incl-samples does.
    if (size % 2 == 1 && parser.included_samples.size() > 1) {
      for (auto it = parser.included_samples.begin(); it != parser.included_samples.end();) {
        it = (*it % 3 == 1) ? parser.included_samples.erase(it) : std::next(it);
      }
      parser.refresh_included_samples();
    }
    std::vector<std::size_t> offsets;
    uint32_t position = 0;
    std::size_t offset = 0;
    std::string chromosome;
    while (offsets.size() < max_variants && parser.read_position(position, offset, chromosome)) {
      offsets.push_back(offset);
      parser.skip_probs();
    }

    const Eigen::Index n = static_cast<Eigen::Index>(parser.included_samples.size());
    std::map<uint32_t, VariantHeader> via_table, direct;
    Eigen::VectorXd straight(n);
    for (uint32_t k = 0; k < offsets.size(); ++k) {
      parser.seek_to_variant(offsets[k]);
      if (!parser.read_variant(k, true, via_table)) fail("a variant found by the scan vanished");
      parser.read_probs();
      Eigen::VectorXd tabled(n);
      tabled.setConstant(not_written);
      const uint32_t c1 = parser.compute_dosages(tabled, k, true, via_table);

      parser.seek_to_variant(offsets[k]);
      if (!parser.read_variant(k, true, direct)) fail("a variant found by the scan vanished");
      straight.setConstant(not_written);
      const uint32_t c2 = parser.read_dosages(straight, k, true, direct);

      if (c1 != c2) fail("the two dosage paths count different samples with data");
      uint32_t counted = 0;
      for (Eigen::Index i = 0; i < n; ++i) {
        if (tabled[i] == not_written || straight[i] == not_written) fail("an included sample got no dosage");
        if (!sameDosage(tabled[i], straight[i])) fail("the two dosage paths disagree");
        counted += !std::isnan(straight[i]);
      }
      if (counted != c2) fail("the count of samples with data differs from the dosages");
      const VariantHeader& a = via_table[k];
      const VariantHeader& b = direct[k];
      if (!sameDosage(a.A_allele_freq, b.A_allele_freq) || !sameDosage(a.B_allele_freq, b.B_allele_freq)) {
        fail("the two dosage paths give different allele frequencies");
      }
    }
  } catch (const Refusal& r) {
    fuzzsupport::checkRefusal(r);
  }
  return 0;
}
