// Variant inclusion lists over a fixed BCOR file of six variants: the list's header and lines
// through the validators and the matching, then the requested table and matrix.
#include <fstream>
#include <string>

#include "bcor_runs.hpp"
#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::Refusal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = fuzzsupport::scratchPath("list.bcor");
  static const std::string list = fuzzsupport::scratchPath("variants.txt");
  static const std::string out = fuzzsupport::scratchPath("output.txt");
  static const bool written = [] {
    fuzzsupport::BcorRun run;
    run.n_variants = 6;
    fuzzsupport::writeBcorRun(base, run);
    return true;
  }();
  (void)written;
  fuzzsupport::writeScratch(list, data, size);

  for (int matrix = 0; matrix < 2; ++matrix) {
    Shared_buffers shared(0);
    Corvane engine(par, shared);
    engine.bcor_file = base + "_1";
    engine.incl_variants_file = list;
    engine.table_file = engine.matrix_file = out;
    try {
      engine.readVariantHeaderFromStream();
      engine.readVariantOffset();
      engine.readVariantsToInclude();
      if (engine.requested_variants.size() != engine.n_requested_variants) {
        fuzzsupport::fail("the count of requested variants differs from the list kept");
      }
      shared.total_number_of_correlations = 0;
      if (matrix) {
        engine.extractCorrelationsRegionMatrix();
      } else {
        engine.extractCorrelationsRegionTable();
      }
    } catch (const Refusal& r) {
      fuzzsupport::checkRefusal(r);
    }
  }
  return 0;
}
