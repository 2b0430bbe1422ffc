// A whole BCOR file as the extraction modes read it: fixed header, variant header records, both
// offset tables, then every record that a table points to. Whatever the bytes, the reading ends
// with the records or with a refusal that names the problem.
#include <string>
#include <vector>

#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::Refusal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzsupport::scratchPath("input.bcor");
  fuzzsupport::writeScratch(path, data, size);

  Shared_buffers shared(0);
  Corvane engine(par, shared);
  engine.bcor_file = path;
  try {
    engine.readVariantHeaderFromStream();
    engine.readVariantOffset();
    for (uint64_t offset : engine.correlation_offsets) {
      if (offset == 0) continue;
      engine.bcor_in.seekg(static_cast<std::streamoff>(offset));
      engine.readVariantCorrFromBuffer(engine.readStreamToBuffer(engine.bcor_in));
    }
    for (uint64_t offset : engine.sample_count_offsets) {
      if (offset == 0) continue;
      engine.bcor_in.seekg(static_cast<std::streamoff>(offset));
      engine.readVariantNumberOfSamplesFromBuffer(engine.readStreamToBuffer(engine.bcor_in));
    }
  } catch (const Refusal& r) {
    fuzzsupport::checkRefusal(r);
  }
  return 0;
}
