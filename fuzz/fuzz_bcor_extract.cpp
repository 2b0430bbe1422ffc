// A BCOR file through the three extraction modes: meta list, table and matrix, each on an engine
// of its own as the entry point runs them. A mode either refuses with a message or writes its
// file; a table holds one line per pair that the extraction counted.
#include <cstdio>
#include <fstream>
#include <string>

#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::Refusal;

namespace {

// Stored names are bytes: one with a line break spreads its variant over two lines.
bool namesWithLineBreaks(const Corvane& engine) {
  for (const auto& entry : engine.variant_headers) {
    const VariantHeader& v = entry.second;
    for (const std::string* s : {&v.RSID, &v.chromosome, &v.A_allele, &v.B_allele}) {
      if (s->find('\n') != std::string::npos) return true;
    }
  }
  return false;
}

size_t lines(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) ++n;
  return n;
}

template <typename Steps>
void mode(const std::string& bcor, Steps steps) {
  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = bcor;
  try {
    engine.readVariantHeaderFromStream();
    steps(engine, shared);
  } catch (const Refusal& r) {
    fuzzsupport::checkRefusal(r);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string bcor = fuzzsupport::scratchPath("input.bcor");
  static const std::string out = fuzzsupport::scratchPath("output.txt");
  fuzzsupport::writeScratch(bcor, data, size);

  mode(bcor, [&](Corvane& engine, Shared_buffers&) {
    engine.meta_file = out;
    engine.writeVariantHeaderToStream();
    if (!namesWithLineBreaks(engine) && lines(out) != engine.variant_headers.size() + 1) {
      fuzzsupport::fail("the meta list misses variants");
    }
  });
  mode(bcor, [&](Corvane& engine, Shared_buffers& shared) {
    engine.table_file = out;
    engine.readVariantOffset();
    shared.total_number_of_correlations = 0;
    engine.extractCorrelationsTable();
    // An empty set writes no table and leaves none behind: not even the meta list at that path.
    if (engine.variant_headers.empty()) {
      if (std::ifstream(out).is_open()) fuzzsupport::fail("an empty set left a file at the table's path");
    } else if (!namesWithLineBreaks(engine) && lines(out) != shared.total_number_of_correlations + 1) {
      fuzzsupport::fail("the table's lines differ from the pairs the extraction counted");
    }
  });
  std::remove(out.c_str());
  mode(bcor, [&](Corvane& engine, Shared_buffers&) {
    engine.matrix_file = out;
    engine.readVariantOffset();
    engine.extractCorrelationsMatrix();
    // An empty set writes no matrix at all.
    if (!engine.variant_headers.empty() && lines(out) != engine.variant_headers.size()) {
      fuzzsupport::fail("the matrix misses rows");
    }
  });
  return 0;
}
