#pragma once
// BCOR primitives: bytes, little-endian integers, length-prefixed strings, stream state.
#include <cstdint>

typedef unsigned char byte_t;

// Where an engine stands in writing or reading its BCOR stream.
enum bcor_state_value : uint32_t {
  not_open = 0,
  ready_for_header = 1,
  ready_for_offsets = 2,
};
