#pragma once
// One-shot zlib decompression of BGEN genotype blocks. Nothing is ever compressed.
#include <zlib.h>

#include <cstddef>
#include <limits>

namespace genfile {
namespace zlib {

// Decompresses source into dest (capacity *dest_length bytes). On return *dest_length holds the
// number of bytes written. Returns zlib's status: Z_OK, Z_BUF_ERROR (dest too small or input
// cut short), Z_DATA_ERROR (corrupt input) or Z_MEM_ERROR.
inline int uncompress(const unsigned char* source, std::size_t source_length, unsigned char* dest,
                      std::size_t* dest_length) {
  // uLong is 64 bits wide on the platforms Corvane runs on; refuse anything that would not fit.
  if (source_length > std::numeric_limits<uLong>::max() ||
      *dest_length > std::numeric_limits<uLong>::max()) {
    return Z_BUF_ERROR;
  }
  uLongf written = static_cast<uLongf>(*dest_length);
  const int status = ::uncompress(dest, &written, source, static_cast<uLong>(source_length));
  *dest_length = static_cast<std::size_t>(written);
  return status;
}

} // namespace zlib
} // namespace genfile
