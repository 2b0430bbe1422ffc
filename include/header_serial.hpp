#pragma once
// BCOR header: the fixed part and the variant header records.
#include <cstdint>
#include <string>

struct VariantHeader {
  uint32_t index = 0;
  std::string RSID;
  uint32_t position = 0;
  std::string chromosome;
  std::string A_allele;
  std::string B_allele;
  double A_allele_freq = 0.0;
  double B_allele_freq = 0.0;
};

namespace bcor {

// Size of the fixed header before the variant header records, without the accuracy word's bytes.
constexpr uint32_t fixed_header_size = 66;

// A frequency is stored as the fraction f * 2^63 in a u64: 0 .. 2^63 covers [0, 1].
// Not-a-number (a variant without any sample with data) is stored as all ones, which no
// frequency in [0, 2) produces, and reads back as NaN, so the meta list shows "nan" for it
// rather than a number that could pass for a frequency. Values of 2 or more clamp to the same
// pattern and therefore also read back as NaN; no frequency reaches them.
constexpr uint64_t frequency_not_a_number = UINT64_MAX;

// A computation's thread k (from 1) writes its own file, the BCOR name + "_" + k; the merge reads them.
std::string perThreadName(const std::string& bcor_name, uint64_t file_number);

uint64_t encodeFrequency(double frequency);
double decodeFrequency(uint64_t stored);

} // namespace bcor
