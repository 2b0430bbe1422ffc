#pragma once
// BGEN reading library (genfile::bgen) and the engine's BGEN reader, BgenParser.
//
// The library throws BGenError when the stream runs dry and BGenFormatError (a BGenError with a
// description) when the bytes contradict the format. Nothing escapes BgenParser: every fault ends
// the run there with an "Error: " message that names the file.
#include <Eigen/Dense>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <fstream>
#include <istream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "header_serial.hpp"
#include "io_serial.hpp"

namespace genfile {
namespace bgen {

// ---------------------------------------------------------------------------------------------
// Errors, header summary, flags

struct BGenError : public virtual std::exception {
  ~BGenError() noexcept override;
  const char* what() const noexcept override;
};

// Data that contradict the format (as opposed to a stream that simply ran out).
class BGenFormatError : public BGenError {
public:
  explicit BGenFormatError(std::string description) : m_description(std::move(description)) {}
  const std::string& description() const noexcept { return m_description; }

private:
  std::string m_description;
};

struct Context {
  uint32_t number_of_samples = 0;
  uint32_t number_of_variants = 0;
  std::string magic = "bgen";
  std::string free_data;
  uint32_t flags = 0;
};

enum FlagBits : uint32_t {
  e_CompressedSNPBlocks = 0x1u,
  e_CompressionMask = 0x3u,
  e_Layout = 0x3Cu,
  e_Layout0 = 0x0u,
  e_Layout1 = 0x4u,
  e_Layout2 = 0x8u,
  e_SampleIdentifiers = 0x80000000u,
};

inline uint32_t layout_of(const Context& context) { return context.flags & e_Layout; }
inline bool is_compressed(const Context& context) {
  return (context.flags & e_CompressedSNPBlocks) != 0;
}

namespace impl {

// n! / (k! (n-k)!), exact; throws BGenFormatError when the result does not fit in 32 bits.
uint32_t n_choose_k(uint32_t n, uint32_t k);

// Reads exactly n bytes into out (resized to n). Very long lengths are read piecewise, so a
// corrupt length field costs at most what the file really holds before the read fails.
template <typename Container>
bool read_exact(std::istream& in, uint64_t n, Container* out) {
  constexpr uint64_t piece = uint64_t(1) << 24;
  if (n <= piece) {
    out->resize(static_cast<std::size_t>(n));
    if (n == 0) return static_cast<bool>(in);
    in.read(reinterpret_cast<char*>(&(*out)[0]), static_cast<std::streamsize>(n));
    return static_cast<uint64_t>(in.gcount()) == n && in;
  }
  out->clear();
  uint64_t done = 0;
  while (done < n) {
    const uint64_t part = (n - done < piece) ? n - done : piece;
    out->resize(static_cast<std::size_t>(done + part));
    in.read(reinterpret_cast<char*>(&(*out)[static_cast<std::size_t>(done)]),
            static_cast<std::streamsize>(part));
    if (static_cast<uint64_t>(in.gcount()) != part || !in) return false;
    done += part;
  }
  return true;
}

} // namespace impl

// ---------------------------------------------------------------------------------------------
// Integers and strings

// Stream form: 2 or 4 bytes, least significant first. Throws BGenError when the read fails.
template <typename T>
void read_little_endian_integer(std::istream& in, T* value) {
  static_assert(std::is_unsigned<T>::value && sizeof(T) <= 4, "u8, u16 or u32");
  unsigned char bytes[sizeof(T)];
  in.read(reinterpret_cast<char*>(bytes), sizeof(T));
  if (!in) throw BGenError();
  T v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | bytes[i]);
  *value = v;
}

// Buffer form: returns the pointer past the integer. A buffer too short for it is corrupt data.
template <typename T>
const byte_t* read_little_endian_integer(const byte_t* p, const byte_t* end, T* value) {
  static_assert(std::is_unsigned<T>::value && sizeof(T) <= 4, "u8, u16 or u32");
  if (end - p < static_cast<std::ptrdiff_t>(sizeof(T))) {
    throw BGenFormatError("the probability data end inside a field of their header");
  }
  T v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | p[i]);
  *value = v;
  return p + sizeof(T);
}

template <typename L>
void read_length_followed_by_data(std::istream& in, L* length, std::string* data) {
  read_little_endian_integer(in, length);
  if (!impl::read_exact(in, *length, data)) throw BGenError();
}

// ---------------------------------------------------------------------------------------------
// Container: header, sample identifiers, identifying data

// Reads the header block into context and returns header_size. A wrong magic prints
// "Error: File '<file_name>' is not a BGEN file!" on thread 0 and ends the run (status 1) after a
// barrier of the team.
std::size_t read_header_block(std::istream& in, Context* context, const std::string& file_name);

// Calls setter(identifier, index) for every sample; returns the block length.
template <typename SampleSetter>
std::size_t read_sample_identifier_block(std::istream& in, const Context& context,
                                         SampleSetter setter) {
  uint32_t block_length = 0, count = 0;
  read_little_endian_integer(in, &block_length);
  read_little_endian_integer(in, &count);
  if (count != context.number_of_samples) {
    throw BGenFormatError("its sample identifier block lists " + std::to_string(count) +
                          " samples but its header declares " +
                          std::to_string(context.number_of_samples));
  }
  uint64_t bytes = 8;
  std::string identifier;
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t length = 0;
    read_length_followed_by_data(in, &length, &identifier);
    bytes += 2u + length;
    if (bytes > block_length) {
      throw BGenFormatError("its sample identifiers run past the sample identifier block's length " +
                            std::to_string(block_length));
    }
    setter(identifier, i);
  }
  if (bytes != block_length) {
    throw BGenFormatError("its sample identifier block's length field is " +
                          std::to_string(block_length) + " but the block holds " +
                          std::to_string(bytes) + " bytes");
  }
  return block_length;
}

// Reads one variant's identifying data. set_number_of_alleles(K) comes first; set_allele(i)
// returns the string that allele i is read into (so callers can reuse their storage).
// Returns false when the stream stands exactly at the end
// of the file (the end of the variant data); a variant cut short after its first byte is a
// truncated file and throws.
template <typename NumberOfAllelesSetter, typename AlleleSetter>
bool read_snp_identifying_data(std::istream& in, const Context& context, std::string* SNPID,
                               std::string* RSID, std::string* chromosome, uint32_t* position,
                               NumberOfAllelesSetter set_number_of_alleles,
                               AlleleSetter set_allele) {
  const uint32_t layout = layout_of(context);
  if (layout != e_Layout0 && layout != e_Layout1 && layout != e_Layout2) {
    throw BGenFormatError("its flags name an unsupported layout");
  }
  if (in.peek() == std::char_traits<char>::eof()) {
    in.clear(in.rdstate() & ~std::ios::eofbit);
    return false;
  }
  uint16_t length16 = 0;
  uint32_t length32 = 0;
  uint16_t number_of_alleles = 2;
  if (layout != e_Layout2) {
    uint32_t n = 0;
    read_little_endian_integer(in, &n);
    if (n != context.number_of_samples) {
      throw BGenFormatError("a variant declares " + std::to_string(n) +
                            " samples but the header declares " +
                            std::to_string(context.number_of_samples));
    }
  }
  read_length_followed_by_data(in, &length16, SNPID);
  read_length_followed_by_data(in, &length16, RSID);
  read_length_followed_by_data(in, &length16, chromosome);
  read_little_endian_integer(in, position);
  if (layout == e_Layout2) read_little_endian_integer(in, &number_of_alleles);
  set_number_of_alleles(number_of_alleles);
  std::string* allele = nullptr;
  for (uint16_t i = 0; i < number_of_alleles; ++i) {
    allele = set_allele(i);
    read_length_followed_by_data(in, &length32, allele);
  }
  if (!in) throw BGenError();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Genotype blocks

// Size of the stored block that follows the identifying data, when it has no length field.
inline bool block_has_length_field(const Context& context) {
  return layout_of(context) == e_Layout2 || is_compressed(context);
}

// Reads the stored block into buffer. Throws BGenError when the file ends inside it.
void read_genotype_data_block(std::istream& in, const Context& context, std::vector<byte_t>* buffer);

// Moves the stream past the stored block without reading it. The caller checks that the new
// position still lies inside the file (a seek past the end does not fail by itself).
void ignore_genotype_data_block(std::istream& in, const Context& context);

// Decompressed probability data of a stored block: a copy when the blocks are not compressed.
void uncompress_probability_data(const Context& context, const std::vector<byte_t>& block,
                                 std::vector<byte_t>* out);
// The same on a byte range, for callers that avoid the copy of stored blocks.
void uncompress_probability_data(const Context& context, const byte_t* begin, const byte_t* end,
                                 std::vector<byte_t>* out);

// The setters below receive, per block: initialise(N, M, scale), then per sample set_sample(i),
// set_number_of_entries(E, ploidy, phased) and E times set_value(v). Each v is a stored integer
// divided by `scale` (2^B - 1, or 10000 or 32768 for layouts 0 and 1); a missing sample's entries
// are all -1.0. An unphased diploid biallelic sample (the common case) may instead come as one
// set_diploid(p0, p1, p2, n0, n1, n2) after set_sample(i), which stands for the same calls: the
// three values and the integers they stand for (n2 = scale - n0 - n1 where it is implied).

namespace v11 {
namespace impl {
double get_probability_conversion_factor(uint32_t flags);
}

template <typename Setter>
void parse_probability_data(const byte_t* begin, const byte_t* end, const Context& context,
                            Setter& setter) {
  const uint32_t n = context.number_of_samples;
  const uint64_t size = static_cast<uint64_t>(end - begin);
  if (size != 6 * static_cast<uint64_t>(n)) {
    throw BGenFormatError("its probability data hold " + std::to_string(size) +
                          " bytes where 6 x " + std::to_string(n) + " are expected");
  }
  const double factor = impl::get_probability_conversion_factor(context.flags);
  setter.initialise(n, 3, factor);
  if (n == 0) return;
  const byte_t* p = begin;
  for (uint32_t i = 0; i < n; ++i, p += 6) {
    setter.set_sample(i);
    const uint32_t n0 = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
    const uint32_t n1 = uint32_t(p[2]) | (uint32_t(p[3]) << 8);
    const uint32_t n2 = uint32_t(p[4]) | (uint32_t(p[5]) << 8);
    setter.set_diploid(static_cast<double>(n0) / factor, static_cast<double>(n1) / factor,
                       static_cast<double>(n2) / factor, n0, n1, n2);
  }
}
} // namespace v11

namespace v12 {
namespace impl {

struct BitReader {
  const byte_t* next;
  const byte_t* end;
  uint64_t accumulator = 0;
  uint32_t bit_count = 0;

  uint64_t bits_left() const {
    return 8 * static_cast<uint64_t>(end - next) + bit_count;
  }
};

// Fills the accumulator with at least `bits` bits (bits <= 32); throws when the data run out.
inline void read_bits_from_buffer(BitReader& reader, uint32_t bits) {
  while (reader.bit_count < bits && reader.next < reader.end) {
    reader.accumulator |= static_cast<uint64_t>(*reader.next++) << reader.bit_count;
    reader.bit_count += 8;
  }
  if (reader.bit_count < bits) {
    throw BGenFormatError("its packed probabilities run past the end of the data");
  }
}

// The refusal of a sample whose probabilities sum above 1: the sum with every digit it needs, so
// that 1.0000000116 does not read as 1.000000.
[[noreturn]] void throw_sum_above_one(uint32_t sample, double sum);

// Takes the next `bits`-bit value from the accumulator.
inline uint32_t parse_bit_representation(BitReader& reader, uint32_t bits) {
  read_bits_from_buffer(reader, bits);
  const uint64_t mask = (uint64_t(1) << bits) - 1;
  const uint32_t value = static_cast<uint32_t>(reader.accumulator & mask);
  reader.accumulator >>= bits;
  reader.bit_count -= bits;
  return value;
}

} // namespace impl

template <typename Setter>
void parse_probability_data(const byte_t* begin, const byte_t* end, const Context& context,
                            Setter& setter) {
  const uint32_t n_expected = context.number_of_samples;
  if (end - begin < 8) {
    throw BGenFormatError("its probability data hold fewer than 8 bytes");
  }
  uint32_t n = 0;
  uint16_t K = 0;
  uint8_t min_ploidy = 0, max_ploidy = 0;
  const byte_t* p = read_little_endian_integer(begin, end, &n);
  p = read_little_endian_integer(p, end, &K);
  p = read_little_endian_integer(p, end, &min_ploidy);
  p = read_little_endian_integer(p, end, &max_ploidy);
  (void)min_ploidy;
  if (n != n_expected) {
    throw BGenFormatError("its probability data count " + std::to_string(n) +
                          " samples but the header declares " + std::to_string(n_expected));
  }
  if (static_cast<uint64_t>(end - begin) < 10 + static_cast<uint64_t>(n)) {
    throw BGenFormatError("its probability data end inside the ploidy bytes");
  }
  if (K < 2) {
    throw BGenFormatError("a genotype block has " + std::to_string(K) +
                          " alleles; at least 2 are needed");
  }
  const byte_t* ploidy = begin + 8;
  const bool phased = (begin[8 + n] & 1u) != 0;
  const uint32_t B = begin[9 + n];
  if (B == 0 || B > 32) {
    throw BGenFormatError("a genotype block stores its probabilities in " + std::to_string(B) +
                          " bits; 1 to 32 are supported");
  }
  // Entries of an unphased sample by ploidy, computed when first needed (K >= 3).
  uint64_t unphased_entries[64];
  for (uint64_t& e : unphased_entries) e = 0;
  auto entries_unphased = [&](uint32_t P) -> uint64_t {
    if (K == 2) return P + 1;
    if (unphased_entries[P] == 0) unphased_entries[P] = bgen::impl::n_choose_k(P + K - 1, K - 1);
    return unphased_entries[P];
  };
  // A hint only: samples may exceed the declared maximum ploidy, and the setters grow as needed.
  const uint64_t max_entries = phased ? static_cast<uint64_t>(K) * max_ploidy
                                      : (K == 2 ? static_cast<uint64_t>(max_ploidy) + 1 : 0);
  const double denominator = static_cast<double>((uint64_t(1) << B) - 1);
  setter.initialise(n, static_cast<std::size_t>(max_entries), denominator);
  if (n == 0) return;

  impl::BitReader reader{begin + 10 + n, end};
  const uint32_t group = K - 1u;  // stored values per phased haplotype
  const bool biallelic_unphased = !phased && K == 2;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t P = ploidy[i] & 0x3Fu;
    const bool missing = (ploidy[i] & 0x80u) != 0;
    if (biallelic_unphased && P == 2 && !missing && reader.bits_left() >= 2 * B) {
      const uint32_t x0 = impl::parse_bit_representation(reader, B);
      const uint32_t x1 = impl::parse_bit_representation(reader, B);
      const double v0 = static_cast<double>(x0) / denominator;
      const double v1 = static_cast<double>(x1) / denominator;
      const double sum = v0 + v1;
      if (sum > 1.00000001) impl::throw_sum_above_one(i + 1, sum);
      setter.set_sample(i);
      setter.set_diploid(v0, v1, 1.0 - sum, x0, x1,
                         static_cast<int64_t>((uint64_t(1) << B) - 1) - x0 - x1);
      continue;
    }
    uint64_t E, S;
    if (phased) {
      E = static_cast<uint64_t>(K) * P;
      S = static_cast<uint64_t>(P) * group;
    } else {
      E = entries_unphased(P);
      S = E - 1;
    }
    if (S * B > reader.bits_left()) {
      throw BGenFormatError("its packed probabilities end inside sample " + std::to_string(i + 1));
    }
    setter.set_sample(i);
    setter.set_number_of_entries(static_cast<std::size_t>(E), P, phased);
    if (missing) {
      for (uint64_t j = 0; j < S; ++j) impl::parse_bit_representation(reader, B);
      for (uint64_t j = 0; j < E; ++j) setter.set_value(-1.0);
      continue;
    }
    if (S == 0) {
      // An unphased group without stored values: its one entry is implied to be 1.
      if (E == 1) setter.set_value(1.0);
      continue;
    }
    double sum = 0.0;
    for (uint64_t j = 1; j <= S; ++j) {
      const double value =
          static_cast<double>(impl::parse_bit_representation(reader, B)) / denominator;
      setter.set_value(value);
      sum += value;
      if (phased ? (j % group == 0) : (j == S)) {
        if (sum > 1.00000001) impl::throw_sum_above_one(i + 1, sum);
        setter.set_value(1.0 - sum);
        sum = 0.0;
      }
    }
  }
}

} // namespace v12

// ---------------------------------------------------------------------------------------------
// Probability table and setters

namespace impl {
// a1 / t1 + c1 / t2 (integers below 2^32), as one fraction in lowest terms, then divided: exactly
// rounded when its terms fit 53 bits, and in any case the same double for the same value.
double reduced_ratio(uint64_t a1, uint64_t t1, uint64_t c1, uint64_t t2);
} // namespace impl

// The current variant's probabilities, per sample (file order), in one flat buffer that keeps its
// storage from variant to variant.
struct ProbabilityTable {
  std::vector<double> values;
  std::vector<std::size_t> begin;  // first entry of each sample in values
  std::vector<uint32_t> counts;    // entries of each sample
  std::vector<uint8_t> ploidy;     // ploidy of each sample
  bool phased = false;
  double scale = 0.0;              // each value is a stored integer divided by it

  std::size_t n_samples() const { return counts.size(); }
  std::size_t size(std::size_t sample) const { return counts.at(sample); }
  double operator()(std::size_t sample, std::size_t entry) const {
    if (entry >= counts.at(sample)) throw BGenFormatError("probability entry out of range");
    return values[begin[sample] + entry];
  }
};

// Fills a ProbabilityTable.
struct ProbSetter {
  ProbabilityTable* probabilities;
  std::size_t sample = 0;
  std::size_t entry = 0;

  explicit ProbSetter(ProbabilityTable* table) : probabilities(table) {}

  void initialise(std::size_t n_samples, std::size_t /*max_entries*/, double scale) {
    probabilities->scale = scale;
    probabilities->values.clear();
    probabilities->begin.assign(n_samples, 0);
    probabilities->counts.assign(n_samples, 0);
    probabilities->ploidy.assign(n_samples, 0);
    probabilities->phased = false;
  }
  void set_sample(std::size_t i) { sample = i; }
  void set_number_of_entries(std::size_t n_entries, uint32_t ploidy, bool phased) {
    probabilities->begin[sample] = probabilities->values.size();
    probabilities->counts[sample] = static_cast<uint32_t>(n_entries);
    probabilities->ploidy[sample] = static_cast<uint8_t>(ploidy);
    probabilities->phased = phased;
    probabilities->values.resize(probabilities->values.size() + n_entries, 0.0);
    entry = 0;
  }
  void set_diploid(double p0, double p1, double p2, int64_t, int64_t, int64_t) {
    set_number_of_entries(3, 2, false);
    set_value(p0);
    set_value(p1);
    set_value(p2);
  }
  void set_value(double value) {
    if (entry >= probabilities->counts[sample]) {
      throw BGenFormatError("more probability entries than announced");
    }
    probabilities->values[probabilities->begin[sample] + entry] = value;
    ++entry;
  }
};

// Turns decoded entries straight into dosages (expected count of the second allele) of the
// included samples. A sample is missing (NaN, not counted) when it is flagged missing, is not
// diploid, has fewer than three entries, or its first three genotype probabilities sum to 0.
// A phased diploid sample's haplotype probabilities are combined into genotype probabilities.
// The dosage is a ratio of the stored integers, taken from them and not from the rounded values:
// samples whose probabilities differ but whose dosages are equal (1 from (0, 255, 0)/255 and from
// (4, 247, 4)/255) must give the same double, or a variant without spread looks like one with it.
// The sums S0, S1, S2 that the allele frequencies come from add each counted sample's probabilities;
// with `scale_to_one` (layouts 0 and 1, whose three probabilities may sum below 1) they are first
// divided by their sum, as the dosage is, so that the frequencies add up to 1 and B's is half the
// mean dosage. Layout 2 stores its last probability as 1 minus the others: nothing to scale.
class DosageSetter {
public:
  // slot[i]: position of file sample i in dest, or -1 when it is not included.
  DosageSetter(const int32_t* slot, double* dest, bool scale_to_one = false)
      : m_slot(slot), m_dest(dest), m_scale_to_one(scale_to_one) {}

  void initialise(std::size_t, std::size_t, double scale) { m_scale = scale; }
  void set_sample(std::size_t i) { m_current = m_slot[i]; }
  void set_number_of_entries(std::size_t n_entries, uint32_t ploidy, bool phased) {
    m_seen = 0;
    if (m_current < 0) return;
    if (ploidy != 2 || n_entries < 3) {
      m_dest[m_current] = std::numeric_limits<double>::quiet_NaN();
      m_current = -1;
      return;
    }
    m_phased = phased;
    m_group = phased ? static_cast<uint32_t>(n_entries / 2) : 0;
    m_last = phased ? m_group + 1 : 2;
  }
  void set_diploid(double p0, double p1, double p2, int64_t n0, int64_t n1, int64_t n2) {
    if (m_current < 0) return;
    if (double* d = count(p0, p1, p2)) *d = ratio(n1 + 2 * n2, n0 + n1 + n2);
  }
  void set_value(double value) {
    if (m_current < 0) return;
    const uint32_t e = m_seen++;
    if (!m_phased) {
      m_p[e] = value;
    } else if (e < 2) {
      m_p[e] = value;
    } else if (e >= m_group) {
      m_p[2 + (e - m_group)] = value;
    }
    if (e == m_last) finish_sample();
  }

  uint32_t n_nonmissing = 0;
  double S0 = 0.0, S1 = 0.0, S2 = 0.0;

private:
  void finish_sample() {
    double p0, p1, p2;
    if (!m_phased) {
      p0 = m_p[0];
      p1 = m_p[1];
      p2 = m_p[2];
    } else if (m_p[0] == -1.0 || m_p[1] == -1.0 || m_p[2] == -1.0 || m_p[3] == -1.0) {
      p0 = p1 = p2 = -1.0;
    } else {
      p0 = m_p[0] * m_p[2];
      p1 = m_p[0] * m_p[3] + m_p[1] * m_p[2];
      p2 = m_p[1] * m_p[3];
    }
    if (double* d = count(p0, p1, p2)) {
      *d = m_phased ? phased_dosage()
                    : ratio(whole(p1) + 2 * whole(p2), whole(p0) + whole(p1) + whole(p2));
    }
  }

  // Tallies the current sample: the place of its dosage, or nullptr when it has none (the dosage
  // NaN, not counted).
  double* count(double p0, double p1, double p2) {
    double* d = m_dest + m_current;
    m_current = -1;
    const double total = (p0 + p1) + p2;
    if (p0 == -1.0 || p1 == -1.0 || p2 == -1.0 || total == 0.0) {
      *d = std::numeric_limits<double>::quiet_NaN();
      return nullptr;
    }
    ++n_nonmissing;
    if (m_scale_to_one) {
      p0 /= total;
      p1 /= total;
      p2 /= total;
    }
    S0 += p0;
    S1 += p1;
    S2 += p2;
    return d;
  }

  // The stored integer of a value: the value is that integer divided by m_scale, correctly rounded
  // (or 1 minus one or two such values), so value * m_scale lies within 1e-5 of the integer.
  int64_t whole(double value) const {
    const double x = value * m_scale;
    return static_cast<int64_t>(x < 0.0 ? x - 0.5 : x + 0.5);
  }
  // Integers below 2^53 convert exactly: one correctly rounded division.
  static double ratio(int64_t numerator, int64_t denominator) {
    return static_cast<double>(numerator) / static_cast<double>(denominator);
  }
  // Haplotypes (a0, a1) and (c0, c1): the dosage a1 / (a0 + a1) + c1 / (c0 + c1).
  double phased_dosage() const {
    const int64_t a0 = whole(m_p[0]), a1 = whole(m_p[1]), c0 = whole(m_p[2]), c1 = whole(m_p[3]);
    if (a0 + a1 == c0 + c1) return ratio(a1 + c1, a0 + a1);
    // Some probability on a third allele, a different share in each haplotype.
    return impl::reduced_ratio(static_cast<uint64_t>(a1), static_cast<uint64_t>(a0 + a1),
                               static_cast<uint64_t>(c1), static_cast<uint64_t>(c0 + c1));
  }

  const int32_t* m_slot;
  double* m_dest;
  bool m_scale_to_one;
  double m_scale = 0.0;
  int32_t m_current = -1;
  uint32_t m_seen = 0;
  uint32_t m_group = 0;
  uint32_t m_last = 2;
  bool m_phased = false;
  double m_p[4] = {0.0, 0.0, 0.0, 0.0};
};

} // namespace bgen
} // namespace genfile

// ---------------------------------------------------------------------------------------------
// The engine's BGEN reader: one per engine, so one per thread, each with its own stream.
//
// Errors: faults met while opening or scanning identifying data (open, read_position, skip_probs)
// are met by every thread alike and end the run collectively (thread 0 prints, barrier, status 1);
// faults met while reading a variant's genotypes (read_variant, read_probs, read_dosages) belong
// to the calling thread and end the run from it at once (status 1).
class BgenParser {
public:
  enum State : uint32_t {
    e_NotOpen = 0,
    e_Opening = 1,
    e_ReadyForVariant = 2,
    e_ReadyForProbs = 3,
  };

  BgenParser() = default;
  ~BgenParser();
  BgenParser(const BgenParser&) = delete;
  BgenParser& operator=(const BgenParser&) = delete;

  // Opens the file, reads header and sample identifiers, includes all samples, and leaves the
  // stream at the first variant (e_ReadyForVariant). Set print_errors before.
  void open(const std::string& name);

  // Identifying data only: the variant's position and chromosome, and in block_offset the file
  // offset of its identifying data. False at the end of the variant data. Follow with skip_probs()
  // (or read_probs()).
  bool read_position(uint32_t& position, std::size_t& block_offset, std::string& chromosome);
  // Skips the genotype block after read_position/read_variant, checking that it lies in the file.
  void skip_probs();
  // Positions the reader at the identifying data at file offset block_offset (0: the first
  // variant), in e_ReadyForVariant.
  void seek_to_variant(uint64_t block_offset);

  // Identifying data; with store, headers[index] is set whole (frequencies 0 until the dosages).
  bool read_variant(uint32_t index, bool store, std::map<uint32_t, VariantHeader>& headers);
  // Reads and decodes the genotype block into `probabilities`.
  void read_probs();
  // Dosages of the included samples (ascending file index) from `probabilities`; with store, the
  // allele frequencies go into headers[index].
  Eigen::VectorXd compute_dosages(uint32_t index, bool store,
                                  std::map<uint32_t, VariantHeader>& headers);
  // The same into dest (one entry per included sample); returns the number of non-missing dosages.
  uint32_t compute_dosages(Eigen::Ref<Eigen::VectorXd> dest, uint32_t index, bool store,
                           std::map<uint32_t, VariantHeader>& headers);
  // read_probs + compute_dosages in one pass, decoding straight into dest without the table:
  // the hot path. Returns the number of non-missing dosages.
  uint32_t read_dosages(Eigen::Ref<Eigen::VectorXd> dest, uint32_t index, bool store,
                        std::map<uint32_t, VariantHeader>& headers);

  // Call after changing included_samples.
  void refresh_included_samples();

  // Ends the run on an error every thread meets alike: thread 0 prints, barrier, status 1.
  [[noreturn]] void display_error(std::string&& message);

  // -- state, in the order of the reader's description --
  std::string filename;
  std::unique_ptr<std::ifstream> stream;
  genfile::bgen::Context context;
  bool print_errors = false;
  uint32_t offset = 0;
  uint32_t m_state = e_NotOpen;
  std::unordered_map<std::string, uint32_t> sample_ids;
  std::set<uint32_t> included_samples;
  // What open builds, at a cost per sample of the file. A computation's threads other than the first
  // take their samples from it (Corvane::selectSamples) and keep neither; the first includes no
  // sample when a sample list will replace them.
  bool keep_sample_ids = true;
  bool include_all_samples = true;
  std::vector<byte_t> block_buffer;
  std::vector<byte_t> uncompressed_buffer;
  genfile::bgen::ProbabilityTable probabilities;

  // -- reused between variants --
  uint64_t file_size = 0;
  uint64_t variant_offset = 0;  // identifying data of the variant being read
  std::string snpid_, rsid_, chromosome_;
  std::vector<std::string> alleles_;
  std::vector<int32_t> sample_slot_;  // per file sample: dosage position, or -1
  std::size_t n_slots_ = 0;
  bool slots_valid_ = false;

private:
  [[noreturn]] void fail_shared(const std::string& message);
  [[noreturn]] void fail_own(const std::string& message);
  std::string where() const;
  bool read_identifying(std::string& chromosome, uint32_t& position, bool shared);
  // Decompresses the block just read and returns the decoded data range.
  void load_block(const byte_t** begin, const byte_t** end);
  void ensure_slots();
  void store_frequencies(uint32_t index, bool store, std::map<uint32_t, VariantHeader>& headers,
                         const genfile::bgen::DosageSetter& setter);
};
