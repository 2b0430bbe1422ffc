// Two per-thread BCOR files through the merge: the first two input bytes give the length of file
// 1, the rest is file 2 (none when the input ends with file 1). A merge either refuses with a
// message or writes a file that the extraction modes read back whole.
#include <string>

#include "bcor_runs.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = fuzzsupport::scratchPath("merge.bcor");
  if (size < 2) return 0;
  const size_t first = std::min<size_t>(size - 2, data[0] | size_t(data[1]) << 8);
  const size_t second = size - 2 - first;
  fuzzsupport::writeScratch(base + "_1", data + 2, first);
  fuzzsupport::writeScratch(base + "_2", data + 2 + first, second);
  const uint32_t n_files = second > 0 ? 2 : 1;
  try {
    fuzzsupport::mergeBcorFiles(base, n_files);
  } catch (const fuzzsupport::Refusal& r) {
    fuzzsupport::checkRefusal(r);
    return 0;
  }
  try {
    fuzzsupport::readWholeBcor(base);
  } catch (const fuzzsupport::Refusal& r) {
    fuzzsupport::fail("a merged file is refused by its readers: " + r.message);
  }
  return 0;
}
