// BGEN genotype blocks through the library alone: decompression and the layout 0/1 and layout 2
// decoders, with the probability table and with the dosage setter. The dosages must follow from
// the decoded probabilities by the dosage rule, written out here on its own.
//
// Input: byte 0 chooses the layout (bits 0-1, 3 counts as 2) and compression (bit 2); bytes 1-2
// are the number of samples (little-endian, below 4096); the rest is the stored block as it
// follows the identifying data (for layout 2 and compressed blocks, without its length field).
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::fail;
using namespace genfile::bgen;

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// The expected count of the second allele from one sample's decoded entries: each entry is a stored
// integer over table.scale, and the dosage is the exact ratio of those integers, in lowest terms,
// divided once.
double ruleDosage(const ProbabilityTable& table, size_t i) {
  if (table.ploidy[i] != 2 || table.counts[i] < 3) return nan;
  const double* v = table.values.data() + table.begin[i];
  auto n = [&](size_t k) { return static_cast<long long>(std::llround(v[k] * table.scale)); };
  if (!table.phased) {
    if (v[0] == -1.0 || v[1] == -1.0 || v[2] == -1.0) return nan;
    const long long denominator = n(0) + n(1) + n(2);
    if (denominator == 0) return nan;
    return static_cast<double>(n(1) + 2 * n(2)) / static_cast<double>(denominator);
  }
  // Two haplotypes of K entries each, (a0, a1, ...) and (c0, c1, ...): a1 / (a0 + a1) + c1 / (c0 + c1).
  const size_t k = table.counts[i] / 2;
  if (v[0] == -1.0 || v[1] == -1.0 || v[k] == -1.0 || v[k + 1] == -1.0) return nan;
  typedef unsigned __int128 u128;
  const u128 t1 = n(0) + n(1), t2 = n(k) + n(k + 1);
  u128 numerator = u128(n(1)) * t2 + u128(n(k + 1)) * t1, denominator = t1 * t2;
  if (denominator == 0) return nan;
  u128 a = numerator, b = denominator;
  while (b != 0) {
    const u128 r = a % b;
    a = b;
    b = r;
  }
  return static_cast<double>(numerator / a) / static_cast<double>(denominator / a);
}

template <typename Decode>
bool decodes(Decode decode) {
  try {
    decode();
    return true;
  } catch (const BGenFormatError& e) {
    if (e.description().empty()) fail("a format error without a description");
    if (e.description() == "more probability entries than announced") {
      fail("the decoder set more entries than it announced");
    }
    return false;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Context context;
  const uint32_t layout = (data[0] & 3u) == 3 ? 2 : (data[0] & 3u);
  context.flags = (layout << 2) | ((data[0] & 4u) ? e_CompressedSNPBlocks : 0u);
  context.number_of_samples = (uint32_t(data[1]) | uint32_t(data[2]) << 8) % 4096;
  const uint32_t n = context.number_of_samples;
  const std::vector<byte_t> block(data + 3, data + size);

  std::vector<byte_t> probabilities_data;
  if (!decodes([&] { uncompress_probability_data(context, block, &probabilities_data); })) return 0;
  if (!is_compressed(context) && probabilities_data != block) fail("a stored block was not copied as it is");
  const byte_t* begin = probabilities_data.data();
  const byte_t* end = begin + probabilities_data.size();

  ProbabilityTable table;
  ProbSetter prob_setter(&table);
  const bool table_ok = decodes([&] {
    if (layout == 2) {
      v12::parse_probability_data(begin, end, context, prob_setter);
    } else {
      v11::parse_probability_data(begin, end, context, prob_setter);
    }
  });

  // Every other sample included, in the order of the file.
  std::vector<int32_t> slot(n);
  int32_t included = 0;
  for (uint32_t i = 0; i < n; ++i) slot[i] = (i % 2 == 0) ? included++ : -1;
  std::vector<double> dosages(static_cast<size_t>(included), 12345.0);
  DosageSetter dosage_setter(slot.data(), dosages.data());
  const bool dosages_ok = decodes([&] {
    if (layout == 2) {
      v12::parse_probability_data(begin, end, context, dosage_setter);
    } else {
      v11::parse_probability_data(begin, end, context, dosage_setter);
    }
  });

  if (table_ok != dosages_ok) fail("the table and dosage decoders disagree on whether the block is valid");
  if (!table_ok) return 0;
  if (table.n_samples() != n) fail("the table does not hold every sample");
  uint32_t with_data = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (layout != 2 && (table.counts[i] != 3 || table.ploidy[i] != 2)) fail("a layout 0/1 sample without 3 entries");
    if (slot[i] < 0) continue;
    const double want = ruleDosage(table, i);
    const double got = dosages[static_cast<size_t>(slot[i])];
    if (!((std::isnan(want) && std::isnan(got)) || want == got)) {
      fail("sample " + std::to_string(i) + ": dosage " + std::to_string(got) + " where the rule gives " +
           std::to_string(want));
    }
    with_data += !std::isnan(got);
  }
  if (with_data != dosage_setter.n_nonmissing) fail("the count of samples with data is wrong");
  return 0;
}
