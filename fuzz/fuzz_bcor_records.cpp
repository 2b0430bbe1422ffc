// BCOR records from a buffer: the variant header record, the correlation record in each accuracy
// and the sample-count record, each against a plain decoder written here, so a record is either
// refused with a message or read exactly as its bytes say.
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "corvane.hpp"
#include "fuzz_support.hpp"

using fuzzsupport::Refusal;
using fuzzsupport::fail;

namespace {

// Header field 2 of the file the records are read from.
constexpr uint32_t kSamplesInFile = 1000;

// Little-endian reader over the input that reports running out instead of reading past it.
struct Cursor {
  const uint8_t* p;
  size_t left;
  bool ok = true;
  uint64_t le(size_t width) {
    if (!ok || left < width) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t k = 0; k < width; ++k) v |= uint64_t(p[k]) << (8 * k);
    p += width;
    left -= width;
    return v;
  }
  std::string text(size_t length_width) {
    const uint64_t n = le(length_width);
    if (!ok || left < n) {
      ok = false;
      return std::string();
    }
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    left -= n;
    return s;
  }
};

void fuzzHeaderRecord(Corvane& engine, const uint8_t* data, size_t size) {
  Cursor c{data, size};
  VariantHeader want;
  want.index = static_cast<uint32_t>(c.le(4));
  want.RSID = c.text(2);
  want.position = static_cast<uint32_t>(c.le(4));
  want.chromosome = c.text(2);
  want.A_allele = c.text(4);
  want.B_allele = c.text(4);
  const uint64_t fa = c.le(8), fb = c.le(8);
  const bool valid = c.ok && c.left == 0;

  std::vector<byte_t> buffer(data, data + size);
  try {
    const VariantHeader got = engine.readVariantHeaderToBuffer(buffer);
    if (!valid) fail("a malformed variant header record was read");
    if (got.index != want.index || got.RSID != want.RSID || got.position != want.position ||
        got.chromosome != want.chromosome || got.A_allele != want.A_allele || got.B_allele != want.B_allele) {
      fail("a variant header record was read differently from its bytes");
    }
    // The frequency coding is fixed point over 2^63; all ones is the not-a-number code.
    for (auto pair : {std::make_pair(fa, got.A_allele_freq), std::make_pair(fb, got.B_allele_freq)}) {
      const bool nan_code = pair.first == UINT64_MAX;
      if (nan_code != std::isnan(pair.second)) fail("frequency not-a-number code misread");
      if (!nan_code && pair.second != std::ldexp(static_cast<double>(pair.first), -63)) fail("frequency misread");
    }
    // Writing it back gives a record of the same size.
    if (engine.writeVariantHeaderToBuffer(got).size() != size) fail("a record read back has another size");
  } catch (const Refusal& r) {
    if (valid) fail("a well-formed variant header record was refused: " + r.message);
    fuzzsupport::checkRefusal(r);
  }
}

void fuzzCorrelationRecord(Corvane& engine, const uint8_t* data, size_t size, unsigned width) {
  Cursor c{data, size};
  c.le(4);
  const uint64_t n = c.le(4);
  std::map<uint32_t, double> want;
  bool valid = c.ok && c.left == n * (5 + width);
  if (valid) {
    for (uint64_t e = 0; e < n; ++e) {
      const uint32_t j = static_cast<uint32_t>(c.le(4));
      const uint64_t sign = c.le(1);
      const uint64_t magnitude = c.le(width);
      const double r = std::ldexp(static_cast<double>(magnitude), width == 2 ? -15 : width == 4 ? -31 : -63);
      want[j] = sign ? r : -r;  // a repeated partner keeps its last value
    }
  }
  try {
    const CorrelationMap got = engine.readVariantCorrFromBuffer(std::vector<byte_t>(data, data + size));
    if (!valid) fail("a malformed correlation record was read");
    if (got.size() != want.size()) fail("a correlation record was read with another number of partners");
    for (const auto& entry : want) {
      const auto found = got.find(entry.first);
      if (found == got.end() || found->second != entry.second) {
        fail("a correlation was read differently from its bytes");
      }
    }
  } catch (const Refusal& r) {
    if (valid) fail("a well-formed correlation record was refused: " + r.message);
    fuzzsupport::checkRefusal(r);
  }
}

void fuzzSampleCountRecord(Corvane& engine, const uint8_t* data, size_t size) {
  Cursor c{data, size};
  c.le(4);
  const uint64_t n = c.le(4);
  std::map<uint32_t, uint32_t> want;
  bool valid = c.ok && c.left == 8 * n;
  if (valid) {
    for (uint64_t e = 0; e < n; ++e) {
      const uint32_t j = static_cast<uint32_t>(c.le(4));
      want[j] = static_cast<uint32_t>(c.le(4));
      // A pair cannot count more samples than its file holds.
      if (want[j] > engine.bin_n_samples) valid = false;
    }
  }
  try {
    const SampleCountMap got = engine.readVariantNumberOfSamplesFromBuffer(std::vector<byte_t>(data, data + size));
    if (!valid) fail("a malformed sample-count record was read");
    if (std::map<uint32_t, uint32_t>(got.begin(), got.end()) != want) {
      fail("a sample-count record was read differently from its bytes");
    }
  } catch (const Refusal& r) {
    if (valid) fail("a well-formed sample-count record was refused: " + r.message);
    fuzzsupport::checkRefusal(r);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Shared_buffers shared(0);
  static Corvane engine(par, shared);
  engine.bin_n_samples = kSamplesInFile;
  // The first byte chooses the accuracy; the rest is one record, read as each of the three kinds.
  if (size < 1) return 0;
  static const char* const words[] = {"low", "medium", "high"};
  const unsigned choice = data[0] % 3;
  engine.accuracy = words[choice];
  ++data;
  --size;
  fuzzHeaderRecord(engine, data, size);
  fuzzCorrelationRecord(engine, data, size, 2u << choice);
  fuzzSampleCountRecord(engine, data, size);
  return 0;
}
