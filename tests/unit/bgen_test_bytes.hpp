#pragma once
// Hand-assembled BGEN bytes for the reader's unit tests: every field is written out explicitly so
// that each test shows the exact layout it feeds to the reader.
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bgenbytes {

inline std::string u8(uint32_t v) { return std::string(1, static_cast<char>(v & 0xFF)); }
inline std::string u16(uint32_t v) { return u8(v) + u8(v >> 8); }
inline std::string u32(uint32_t v) { return u16(v) + u16(v >> 16); }
inline std::string s16(const std::string& s) { return u16(static_cast<uint32_t>(s.size())) + s; }
inline std::string s32(const std::string& s) { return u32(static_cast<uint32_t>(s.size())) + s; }

inline std::string zlibCompress(const std::string& data) {
  uLongf length = compressBound(data.size());
  std::string out(length, '\0');
  if (compress(reinterpret_cast<Bytef*>(&out[0]), &length,
               reinterpret_cast<const Bytef*>(data.data()), data.size()) != Z_OK) {
    throw std::runtime_error("compress failed");
  }
  out.resize(length);
  return out;
}

// Whole file: offset, header block (header_size = 20 + free data), optional sample block, variants.
inline std::string file(uint32_t flags, uint32_t n_samples, uint32_t n_variants,
                        const std::vector<std::string>& sample_ids, const std::string& variants,
                        const std::string& free_data = "", const std::string& magic = "bgen") {
  std::string header = u32(20 + static_cast<uint32_t>(free_data.size())) + u32(n_variants) +
                       u32(n_samples) + magic + free_data + u32(flags);
  std::string samples;
  if (flags & 0x80000000u) {
    std::string ids;
    for (const std::string& id : sample_ids) ids += s16(id);
    samples = u32(8 + static_cast<uint32_t>(ids.size())) + u32(n_samples) + ids;
  }
  return u32(static_cast<uint32_t>(header.size() + samples.size())) + header + samples + variants;
}

// Identifying data; layouts 0/1 carry the sample count and exactly two alleles.
inline std::string idData(uint32_t layout, uint32_t n_samples, const std::string& rsid,
                          const std::string& chromosome, uint32_t position,
                          const std::vector<std::string>& alleles,
                          const std::string& snpid = "snp") {
  std::string out;
  if (layout != 2) out += u32(n_samples);
  out += s16(snpid) + s16(rsid) + s16(chromosome) + u32(position);
  if (layout == 2) out += u16(static_cast<uint32_t>(alleles.size()));
  for (const std::string& a : alleles) out += s32(a);
  return out;
}

// Layouts 0/1: three u16 values per sample.
inline std::string v11Data(const std::vector<uint32_t>& values) {
  std::string out;
  for (uint32_t v : values) out += u16(v);
  return out;
}

// Layouts 0/1 stored block as it follows the identifying data.
inline std::string v11Block(uint32_t layout, bool compressed, const std::string& data) {
  if (!compressed) return data;
  const std::string z = zlibCompress(data);
  if (layout == 1) return u32(static_cast<uint32_t>(z.size())) + z;
  return u32(static_cast<uint32_t>(z.size() + 4)) + u32(static_cast<uint32_t>(data.size())) + z;
}

// Layout 2 probability data with values packed in `bits` bits, least significant bit first.
inline std::string v12Data(uint32_t n, uint32_t K, uint32_t min_ploidy, uint32_t max_ploidy,
                           const std::vector<uint32_t>& ploidy, bool phased, uint32_t bits,
                           const std::vector<uint64_t>& values) {
  std::string out = u32(n) + u16(K) + u8(min_ploidy) + u8(max_ploidy);
  for (uint32_t p : ploidy) out += u8(p);
  out += u8(phased ? 1 : 0) + u8(bits);
  uint64_t accumulator = 0;
  uint32_t count = 0;
  for (uint64_t v : values) {
    for (uint32_t b = 0; b < bits; ++b) {
      accumulator |= ((v >> b) & 1u) << count;
      if (++count == 8) {
        out += u8(static_cast<uint32_t>(accumulator));
        accumulator = 0;
        count = 0;
      }
    }
  }
  if (count > 0) out += u8(static_cast<uint32_t>(accumulator));
  return out;
}

inline std::string v12Block(bool compressed, const std::string& data) {
  if (!compressed) return u32(static_cast<uint32_t>(data.size())) + data;
  const std::string z = zlibCompress(data);
  return u32(static_cast<uint32_t>(z.size() + 4)) + u32(static_cast<uint32_t>(data.size())) + z;
}

} // namespace bgenbytes
