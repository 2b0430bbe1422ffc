#include "bgen_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace testdata {

namespace {

void fail(const std::string& what) { throw std::runtime_error("bgen writer: " + what); }

// Splits one unit of `scale` over a group so that the integer parts sum to exactly `scale` (largest
// remainders get the leftover units), the way a careful writer keeps every group's sum at 1.
void quantiseGroup(const double* entries, std::size_t n, uint64_t scale, uint64_t* out) {
  // Hard calls (one entry 1, the rest 0) are the common case in bulk data.
  std::size_t ones = n, zeros = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (entries[k] == 1.0) ones = k;
    else if (entries[k] == 0.0) ++zeros;
  }
  if (ones < n && zeros == n - 1) {
    for (std::size_t k = 0; k < n; ++k) out[k] = k == ones ? scale : 0;
    return;
  }
  double total = 0.0;
  for (std::size_t k = 0; k < n; ++k) total += entries[k] > 0.0 ? entries[k] : 0.0;
  if (!(total > 0.0) || !std::isfinite(total)) {
    for (std::size_t k = 0; k < n; ++k) out[k] = 0;
    return;
  }
  uint64_t used = 0;
  double remainders[64];
  const bool track = n <= 64;
  for (std::size_t k = 0; k < n; ++k) {
    double x = (entries[k] > 0.0 ? entries[k] : 0.0) / total * static_cast<double>(scale);
    double f = std::floor(x);
    if (f > static_cast<double>(scale)) f = static_cast<double>(scale);
    out[k] = static_cast<uint64_t>(f);
    if (track) remainders[k] = x - f;
    used += out[k];
  }
  while (used < scale) {  // at most n - 1 rounds
    std::size_t best = n - 1;
    if (track) {
      double best_r = -1.0;
      for (std::size_t k = 0; k < n; ++k)
        if (remainders[k] > best_r) { best_r = remainders[k]; best = k; }
      remainders[best] = -2.0;
    }
    out[best] += 1;
    used += 1;
  }
  while (used > scale) {  // floating-point excess: take it from the largest entry
    std::size_t big = 0;
    for (std::size_t k = 1; k < n; ++k)
      if (out[k] > out[big]) big = k;
    out[big] -= 1;
    used -= 1;
  }
}

uint64_t nChooseK(uint64_t n, uint64_t k) {
  if (k > n) return 0;
  uint64_t r = 1;
  for (uint64_t i = 1; i <= k; ++i) r = r * (n - k + i) / i;
  return r;
}

class BitPacker {
 public:
  BitPacker(std::string& out, uint32_t bits) : out_(out), bits_(bits) {}
  void put(uint64_t v) {
    acc_ |= v << count_;
    count_ += bits_;
    while (count_ >= 8) {
      out_.push_back(static_cast<char>(acc_ & 0xFF));
      acc_ >>= 8;
      count_ -= 8;
    }
  }
  void finish() {
    if (count_ > 0) out_.push_back(static_cast<char>(acc_ & 0xFF));
    acc_ = 0;
    count_ = 0;
  }

 private:
  std::string& out_;
  uint32_t bits_;
  uint64_t acc_ = 0;
  uint32_t count_ = 0;
};

std::string zlibCompress(const std::string& data, int level) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  int rc = compress2(reinterpret_cast<Bytef*>(&out[0]), &bound, reinterpret_cast<const Bytef*>(data.data()),
                     static_cast<uLong>(data.size()), level);
  if (rc != Z_OK) fail("zlib compress2 failed");
  out.resize(bound);
  return out;
}

} // namespace

Bytes& Bytes::u8(uint32_t v) {
  data_.push_back(static_cast<char>(v & 0xFF));
  return *this;
}
Bytes& Bytes::u16(uint32_t v) {
  data_.push_back(static_cast<char>(v & 0xFF));
  data_.push_back(static_cast<char>((v >> 8) & 0xFF));
  return *this;
}
Bytes& Bytes::u32(uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) data_.push_back(static_cast<char>((v >> shift) & 0xFF));
  return *this;
}
Bytes& Bytes::str16(const std::string& s) {
  if (s.size() > 0xFFFF) fail("string too long for a u16 length");
  u16(static_cast<uint32_t>(s.size()));
  data_ += s;
  return *this;
}
Bytes& Bytes::str32(const std::string& s) {
  u32(static_cast<uint32_t>(s.size()));
  data_ += s;
  return *this;
}
Bytes& Bytes::raw(const std::string& s) {
  data_ += s;
  return *this;
}
Bytes& Bytes::zeros(std::size_t n) {
  data_.append(n, '\0');
  return *this;
}

uint32_t bgenEntryCount(uint32_t ploidy, uint32_t n_alleles, bool phased) {
  if (phased) return n_alleles * ploidy;
  if (n_alleles == 0) return 0;
  if (n_alleles == 1) return 1;
  return static_cast<uint32_t>(nChooseK(ploidy + n_alleles - 1, n_alleles - 1));
}

uint32_t bgenStoredCount(uint32_t ploidy, uint32_t n_alleles, bool phased) {
  if (n_alleles == 0) return 0;
  if (phased) return ploidy * (n_alleles - 1);
  uint32_t e = bgenEntryCount(ploidy, n_alleles, false);
  return e == 0 ? 0 : e - 1;
}

double bgenReaderDosage(const std::vector<double>& e, double scale) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (e.size() < 3) return nan;
  if (e[0] == -1.0 || e[1] == -1.0 || e[2] == -1.0) return nan;
  const long long n0 = std::llround(e[0] * scale), n1 = std::llround(e[1] * scale),
                  n2 = std::llround(e[2] * scale);
  if (n0 + n1 + n2 == 0) return nan;
  return static_cast<double>(n1 + 2 * n2) / static_cast<double>(n0 + n1 + n2);
}

void dosageToProbs(double d, double out[3]) {
  if (std::isnan(d)) {
    out[0] = out[1] = out[2] = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  if (d < 0.0) d = 0.0;
  if (d > 2.0) d = 2.0;
  if (d <= 1.0) {
    out[0] = 1.0 - d;
    out[1] = d;
    out[2] = 0.0;
  } else {
    out[0] = 0.0;
    out[1] = 2.0 - d;
    out[2] = d - 1.0;
  }
}

std::string bgenHeaderBytes(const BgenHeader& h, uint32_t n_samples, uint32_t n_variants) {
  Bytes sample_block;
  if (h.sample_identifiers) {
    std::vector<std::string> ids = h.sample_ids;
    if (ids.empty())
      for (uint32_t i = 0; i < n_samples; ++i) ids.push_back("sample_" + std::to_string(i));
    uint32_t length = 8;
    for (const auto& id : ids) length += 2 + static_cast<uint32_t>(id.size());
    sample_block.u32(h.sample_block_length.value_or(length));
    sample_block.u32(h.sample_block_count.value_or(static_cast<uint32_t>(ids.size())));
    for (const auto& id : ids) sample_block.str16(id);
  }
  const uint32_t header_size =
      h.header_size.value_or(static_cast<uint32_t>(16 + h.magic.size() + h.free_data.size()));
  const uint32_t flags = h.flags.value_or((h.compression & 0x3u) | ((h.layout & 0xFu) << 2) |
                                          (h.sample_identifiers ? 0x80000000u : 0u) | h.extra_flags);
  // The offset points past the header block and the sample block as actually written.
  const uint32_t written_header = static_cast<uint32_t>(16 + h.magic.size() + h.free_data.size());
  const uint32_t offset = h.offset.value_or(written_header + static_cast<uint32_t>(sample_block.size()));
  Bytes b;
  b.u32(offset).u32(header_size).u32(h.number_of_variants.value_or(n_variants));
  b.u32(h.number_of_samples.value_or(n_samples)).raw(h.magic).raw(h.free_data).u32(flags);
  b.raw(sample_block.str());
  return b.str();
}

std::string bgenIdentifyingData(uint32_t layout, uint32_t n_samples, const BgenVariantId& id) {
  Bytes b;
  if (layout <= 1) {
    if (id.alleles.size() < 2) fail("layouts 0 and 1 need two alleles");
    b.u32(n_samples).str16(id.varid).str16(id.rsid).str16(id.chromosome).u32(id.position);
    b.str32(id.alleles[0]).str32(id.alleles[1]);
  } else {
    if (id.alleles.size() > 0xFFFF) fail("too many alleles");
    b.str16(id.varid).str16(id.rsid).str16(id.chromosome).u32(id.position);
    b.u16(static_cast<uint32_t>(id.alleles.size()));
    for (const auto& a : id.alleles) b.str32(a);
  }
  return b.str();
}

std::string bgenLayout2Data(const std::vector<BgenSampleProbs>& samples, uint32_t n_alleles,
                            const BgenBlockOptions& opt, std::vector<std::vector<double>>* decoded) {
  const uint32_t bits = opt.bits;
  if (bits < 1 || bits > 32) fail("bits must be 1 to 32 (override bits_byte for other values)");
  const uint64_t scale = (uint64_t(1) << bits) - 1;
  const double dscale = static_cast<double>(scale);
  const std::size_t n = samples.size();
  uint32_t min_p = n ? 63 : 0, max_p = 0;
  for (const auto& s : samples) {
    if (s.ploidy > 63) fail("ploidy above 63");
    if (s.ploidy < min_p) min_p = s.ploidy;
    if (s.ploidy > max_p) max_p = s.ploidy;
  }
  Bytes head;
  head.u32(opt.n_samples.value_or(static_cast<uint32_t>(n))).u16(opt.n_alleles.value_or(n_alleles));
  head.u8(opt.min_ploidy.value_or(min_p)).u8(opt.max_ploidy.value_or(max_p));
  for (const auto& s : samples) head.u8(s.ploidy | (s.missing ? 0x80u : 0u) | opt.ploidy_extra_bits);
  head.u8(opt.phased_byte.value_or(opt.phased ? 1u : 0u)).u8(opt.bits_byte.value_or(bits));
  std::string out = head.str();
  out.reserve(out.size() + (n * 2 * bits) / 8 + 8);

  if (decoded) decoded->resize(n);
  BitPacker packer(out, bits);
  uint64_t q[64];
  std::vector<uint64_t> big;  // groups past 64 entries (high ploidy with many alleles)
  uint32_t entry_count[64], stored_count[64];  // per ploidy: the counts cost a binomial each
  for (uint32_t p = 0; p < 64; ++p) entry_count[p] = stored_count[p] = UINT32_MAX;
  for (std::size_t i = 0; i < n; ++i) {
    const BgenSampleProbs& s = samples[i];
    if (entry_count[s.ploidy] == UINT32_MAX) {
      entry_count[s.ploidy] = bgenEntryCount(s.ploidy, n_alleles, opt.phased);
      stored_count[s.ploidy] = bgenStoredCount(s.ploidy, n_alleles, opt.phased);
    }
    const uint32_t entries = entry_count[s.ploidy];
    const uint32_t stored = stored_count[s.ploidy];
    std::vector<double>* dec = decoded ? &(*decoded)[i] : nullptr;
    if (dec) dec->clear();
    if (s.missing) {
      for (uint32_t j = 0; j < stored; ++j) packer.put(0);
      if (dec) dec->assign(entries, -1.0);
      continue;
    }
    const uint32_t group = opt.phased ? n_alleles : entries;
    const uint32_t groups = group == 0 ? 0 : entries / group;
    if (!s.raw_values.empty()) {
      if (s.raw_values.size() != stored) fail("raw_values must hold the sample's stored count");
      for (uint32_t v : s.raw_values) {
        if (v > scale) fail("raw value does not fit in B bits");
        packer.put(v);
      }
      if (dec) {
        std::size_t k = 0;
        for (uint32_t g = 0; g < groups; ++g) {
          double sum = 0.0;
          for (uint32_t j = 0; j + 1 < group; ++j, ++k) {
            double p = static_cast<double>(s.raw_values[k]) / dscale;
            dec->push_back(p);
            sum += p;
          }
          dec->push_back(1.0 - sum);
        }
      }
      continue;
    }
    if (s.probs.size() != entries) fail("sample " + std::to_string(i) + " needs " + std::to_string(entries) +
                                        " probabilities");
    uint64_t* qp = q;
    if (group > 64) {
      big.resize(group);
      qp = big.data();
    }
    for (uint32_t g = 0; g < groups; ++g) {
      quantiseGroup(&s.probs[g * group], group, scale, qp);
      double sum = 0.0;
      for (uint32_t j = 0; j + 1 < group; ++j) {
        packer.put(qp[j]);
        if (dec) {
          double p = static_cast<double>(qp[j]) / dscale;
          dec->push_back(p);
          sum += p;
        }
      }
      if (dec) dec->push_back(1.0 - sum);
    }
  }
  packer.finish();
  return out;
}

std::string bgenLayout1Data(uint32_t layout, const std::vector<double>& probs3,
                            std::vector<std::vector<double>>* decoded) {
  if (layout > 1) fail("bgenLayout1Data is for layouts 0 and 1");
  if (probs3.size() % 3 != 0) fail("probabilities must come in threes");
  const uint64_t scale = layout == 0 ? 10000 : 32768;
  const double factor = static_cast<double>(scale);
  const std::size_t n = probs3.size() / 3;
  std::string out;
  out.reserve(6 * n);
  if (decoded) decoded->resize(n);
  uint64_t q[3];
  for (std::size_t i = 0; i < n; ++i) {
    const double* p = &probs3[3 * i];
    const double total = p[0] + p[1] + p[2];
    if (std::isnan(total)) {
      q[0] = q[1] = q[2] = 0;
    } else if (total < 1.0 - 1e-9) {
      // These layouts store each probability on its own, so a sum below 1 stays below 1.
      for (int k = 0; k < 3; ++k) q[k] = static_cast<uint64_t>(std::llround(std::max(p[k], 0.0) * factor));
    } else {
      quantiseGroup(p, 3, scale, q);
    }
    for (int k = 0; k < 3; ++k) {
      out.push_back(static_cast<char>(q[k] & 0xFF));
      out.push_back(static_cast<char>((q[k] >> 8) & 0xFF));
    }
    if (decoded) {
      auto& d = (*decoded)[i];
      d.resize(3);
      for (int k = 0; k < 3; ++k) d[k] = static_cast<double>(q[k]) / factor;
    }
  }
  return out;
}

std::string bgenGenotypeBlock(uint32_t layout, uint32_t compression, const std::string& data, int zlib_level) {
  const bool zlib = (compression & 1u) != 0;
  Bytes b;
  if (layout <= 1) {
    if (!zlib) return data;  // 6 x N bytes, no length field
    std::string z = zlibCompress(data, zlib_level);
    if (layout == 1) {
      b.u32(static_cast<uint32_t>(z.size())).raw(z);
    } else {
      b.u32(static_cast<uint32_t>(z.size() + 4)).u32(static_cast<uint32_t>(data.size())).raw(z);
    }
    return b.str();
  }
  if (!zlib) {
    b.u32(static_cast<uint32_t>(data.size())).raw(data);
  } else {
    std::string z = zlibCompress(data, zlib_level);
    b.u32(static_cast<uint32_t>(z.size() + 4)).u32(static_cast<uint32_t>(data.size())).raw(z);
  }
  return b.str();
}

void writeSnptestSampleFile(const std::string& path, const std::vector<std::string>& ids) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) fail("cannot create " + path);
  out << "ID_1 ID_2 missing\n0 0 0\n";
  for (const auto& id : ids) out << id << ' ' << id << " 0\n";
  out.close();
  if (!out) fail("cannot write " + path);
}

BgenWriter::BgenWriter(const std::string& path, uint32_t n_samples, const BgenHeader& header,
                       const BgenBlockOptions& block)
    : path_(path), n_samples_(n_samples), header_(header), block_(block) {
  out_.open(path, std::ios::binary | std::ios::trunc);
  if (!out_) fail("cannot create " + path);
  write(bgenHeaderBytes(header_, n_samples_, header_.number_of_variants.value_or(0)));
}

BgenWriter::~BgenWriter() {
  if (!closed_) {
    try {
      close();
    } catch (...) {
    }
  }
}

void BgenWriter::write(const std::string& bytes) {
  out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out_) fail("cannot write " + path_);
}

void BgenWriter::addVariant(const BgenVariantId& id, const std::vector<double>& probs3,
                            std::vector<double>* dosages) {
  if (probs3.size() != 3 * static_cast<std::size_t>(n_samples_)) fail("addVariant needs 3 values per sample");
  std::string data;
  if (header_.layout <= 1) {
    data = bgenLayout1Data(header_.layout, probs3, dosages ? &decoded_ : nullptr);
  } else {
    if (id.alleles.size() != 2 || block_.phased) fail("addVariant writes unphased two-allele data");
    scratch_.resize(n_samples_);
    for (uint32_t i = 0; i < n_samples_; ++i) {
      const double* p = &probs3[3 * i];
      BgenSampleProbs& s = scratch_[i];
      s.ploidy = 2;
      s.raw_values.clear();
      s.missing = std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2]);
      s.probs.assign(p, p + 3);
    }
    data = bgenLayout2Data(scratch_, 2, block_, dosages ? &decoded_ : nullptr);
  }
  write(bgenIdentifyingData(header_.layout, n_samples_, id));
  write(bgenGenotypeBlock(header_.layout, header_.compression, data, header_.zlib_level));
  if (dosages) {
    const double scale = header_.layout == 0   ? 10000.0
                         : header_.layout == 1 ? 32768.0
                                               : static_cast<double>((uint64_t(1) << block_.bits) - 1);
    dosages->resize(n_samples_);
    for (uint32_t i = 0; i < n_samples_; ++i) (*dosages)[i] = bgenReaderDosage(decoded_[i], scale);
  }
  ++n_variants_;
}

void BgenWriter::addVariantDosages(const BgenVariantId& id, const std::vector<double>& b_dosages,
                                   std::vector<double>* dosages) {
  if (b_dosages.size() != n_samples_) fail("addVariantDosages needs one dosage per sample");
  std::vector<double> probs(3 * static_cast<std::size_t>(n_samples_));
  for (uint32_t i = 0; i < n_samples_; ++i) dosageToProbs(b_dosages[i], &probs[3 * i]);
  addVariant(id, probs, dosages);
}

void BgenWriter::addVariantSamples(const BgenVariantId& id, const std::vector<BgenSampleProbs>& samples,
                                   std::vector<std::vector<double>>* decoded) {
  if (header_.layout <= 1) fail("addVariantSamples writes layout 2 data");
  std::string data = bgenLayout2Data(samples, static_cast<uint32_t>(id.alleles.size()), block_, decoded);
  write(bgenIdentifyingData(header_.layout, n_samples_, id));
  write(bgenGenotypeBlock(header_.layout, header_.compression, data, header_.zlib_level));
  ++n_variants_;
}

void BgenWriter::addRaw(const std::string& bytes) { write(bytes); }

void BgenWriter::close() {
  if (closed_) return;
  closed_ = true;
  if (!header_.number_of_variants) {
    out_.seekp(8);
    Bytes b;
    b.u32(n_variants_);
    write(b.str());
  }
  out_.close();
  if (!out_) fail("cannot write " + path_);
}

} // namespace testdata
