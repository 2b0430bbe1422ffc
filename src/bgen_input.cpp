// Opening the BGEN input for an engine.
#include "corvane.hpp"

void Corvane::openBGEN(bool print) {
  bgen_parser.print_errors = print;
  bgen_parser.open(bgen_file);
  n_samples_in_file = bin_n_samples = bgen_parser.context.number_of_samples;
  n_variants_in_file = bin_n_variants = bgen_parser.context.number_of_variants;
  if (n_samples_in_file == 0) {
    bgen_parser.display_error("Error: File '" + bgen_file + "' contains no samples!");
  }
  if (n_variants_in_file == 0) {
    bgen_parser.display_error("Error: File '" + bgen_file + "' contains no variants!");
  }
  // The run sizes its tables by the declared count before the variants are scanned; every variant
  // takes at least 24 bytes (identifying data with two alleles, a block length).
  const uint64_t variant_bytes = bgen_parser.file_size - (uint64_t(bgen_parser.offset) + 4);
  if (uint64_t(n_variants_in_file) * 24 > variant_bytes) {
    bgen_parser.display_error("Error: File '" + bgen_file + "' is corrupt: its header declares " +
                              std::to_string(n_variants_in_file) + " variants, more than its " +
                              std::to_string(variant_bytes) + " bytes of variant data can hold!");
  }
}
