// A whole BCOR file as the extraction modes read it: fixed header, variant header records, both
// offset tables, then every record that a table points to. Whatever the bytes, the reading ends
// with the records or with a refusal that names the problem.
#include <string>

#include "bcor_runs.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzsupport::scratchPath("input.bcor");
  fuzzsupport::writeScratch(path, data, size);
  try {
    fuzzsupport::readWholeBcor(path);
  } catch (const fuzzsupport::Refusal& r) {
    fuzzsupport::checkRefusal(r);
  }
  return 0;
}
