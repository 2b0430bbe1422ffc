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
}
