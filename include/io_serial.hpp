#pragma once
// BCOR primitives: bytes, little-endian integers, length-prefixed strings, stream state.
// This is the one place that knows the byte order of the format: everything else encodes and
// decodes through storeLittleEndian / loadLittleEndian.
#include <cstddef>
#include <cstdint>
#include <type_traits>

typedef unsigned char byte_t;

// Where an engine stands in writing or reading its BCOR stream.
enum bcor_state_value : uint32_t {
  not_open = 0,
  ready_for_header = 1,
  ready_for_offsets = 2,
  ready_for_correlations = 3,
  ready_for_number_of_samples = 4,
  finished = 5,
};

namespace bcor {

// Unchecked coding of one unsigned integer at any (unaligned) address, least significant byte
// first whatever the host. Compilers turn the loops into single loads and stores on x86.
template <typename IntegerType>
inline void storeLittleEndian(byte_t* p, IntegerType value) {
  static_assert(std::is_unsigned<IntegerType>::value, "the format stores unsigned integers only");
  for (size_t k = 0; k < sizeof(IntegerType); ++k) {
    p[k] = static_cast<byte_t>(value >> (8 * k));
  }
}

template <typename IntegerType>
inline IntegerType loadLittleEndian(const byte_t* p) {
  static_assert(std::is_unsigned<IntegerType>::value, "the format stores unsigned integers only");
  IntegerType value = 0;
  for (size_t k = 0; k < sizeof(IntegerType); ++k) {
    value = static_cast<IntegerType>(value | (static_cast<IntegerType>(p[k]) << (8 * k)));
  }
  return value;
}

// Bytes of [p, end) without pointer arithmetic past end.
inline size_t bytesLeft(const byte_t* p, const byte_t* end) {
  return end > p ? static_cast<size_t>(end - p) : 0;
}

} // namespace bcor
