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
