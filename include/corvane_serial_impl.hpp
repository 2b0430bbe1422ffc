#pragma once
// Work split between threads and chunk planning.
#include <cstdint>

struct Chunk {
  uint64_t offset = 0;
  uint32_t n_variants = 0;
  uint32_t start = 0;
  uint32_t end = 0;
};
