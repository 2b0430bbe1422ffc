#pragma once
// Meta variant list, variant inclusion list, matrix and table extraction.
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "header_serial.hpp"

// Matches one line of a variant inclusion list against a stored variant: RSID, position and
// chromosome exactly, the two alleles in either order.
struct find_by_meta {
  std::string RSID;
  uint32_t position = 0;
  std::string chromosome;
  std::string A_allele;
  std::string B_allele;

  find_by_meta(std::string rsid, uint32_t pos, std::string chrom, std::string a_allele,
               std::string b_allele)
      : RSID(std::move(rsid)), position(pos), chromosome(std::move(chrom)),
        A_allele(std::move(a_allele)), B_allele(std::move(b_allele)) {}
  ~find_by_meta() = default;

  bool operator()(const std::pair<const uint32_t, VariantHeader>& entry) const {
    const VariantHeader& v = entry.second;
    // Cheap comparisons first: the scan runs over many records per line.
    if (v.RSID.size() != RSID.size() || v.RSID != RSID) return false;
    if (v.position != position || v.chromosome != chromosome) return false;
    return (v.A_allele == A_allele && v.B_allele == B_allele) ||
           (v.A_allele == B_allele && v.B_allele == A_allele);
  }
};

// A stored pair of an extracted set: the places of its two variants in the set (first < second),
// its correlation as stored (no sign rule applied) and its number of samples.
struct ExtractedPair {
  uint32_t first = 0;
  uint32_t second = 0;
  double correlation = 0.0;
  uint32_t n_samples = 0;
};
