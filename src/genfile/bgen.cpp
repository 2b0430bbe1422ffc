#include "genfile/bgen.hpp"

#include <omp.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "fatal.hpp"
#include "genfile/zlib.hpp"
#include "open_failure.hpp"

namespace genfile {
namespace bgen {

BGenError::~BGenError() noexcept = default;

const char* BGenError::what() const noexcept { return "BGenError"; }

namespace impl {

uint32_t n_choose_k(uint32_t n, uint32_t k) {
  if (k > n) return 0;
  if (n - k < k) k = n - k;
  // C(n-k+i, i) from C(n-k+i-1, i-1): every division is exact.
  uint64_t c = 1;
  for (uint32_t i = 1; i <= k; ++i) {
    c = c * (static_cast<uint64_t>(n - k) + i) / i;
    if (c > std::numeric_limits<uint32_t>::max()) {
      throw BGenFormatError("a genotype block needs more than 2^32 probability entries per sample");
    }
  }
  return static_cast<uint32_t>(c);
}

double reduced_ratio(uint64_t a1, uint64_t t1, uint64_t c1, uint64_t t2) {
  // Up to 2^65 and 2^64: 128 bits hold them exactly.
  typedef unsigned __int128 u128;
  u128 numerator = u128(a1) * t2 + u128(c1) * t1, denominator = u128(t1) * t2;
  u128 a = numerator, b = denominator;
  while (b != 0) {
    const u128 r = a % b;
    a = b;
    b = r;
  }
  numerator /= a;
  denominator /= a;
  return static_cast<double>(numerator) / static_cast<double>(denominator);
}

} // namespace impl

std::size_t read_header_block(std::istream& in, Context* context, const std::string& file_name) {
  CORVANE_CHECK(context != nullptr, "Error: internal fault: BGEN header read without a context!");
  uint32_t header_size = 0, number_of_variants = 0, number_of_samples = 0, flags = 0;
  read_little_endian_integer(in, &header_size);
  if (header_size < 20) {
    throw BGenFormatError("its header block size " + std::to_string(header_size) +
                          " is below the minimum of 20");
  }
  read_little_endian_integer(in, &number_of_variants);
  read_little_endian_integer(in, &number_of_samples);
  char magic[4];
  in.read(magic, 4);
  if (!in) throw BGenError();
  const bool named = std::memcmp(magic, "bgen", 4) == 0;
  const bool zero = magic[0] == 0 && magic[1] == 0 && magic[2] == 0 && magic[3] == 0;
  if (!named && !zero) {
    corvane::fatalErrorCollective("Error: File '" + file_name + "' is not a BGEN file!",
                                  omp_get_thread_num() == 0);
  }
  std::string free_data;
  if (!impl::read_exact(in, header_size - 20u, &free_data)) throw BGenError();
  read_little_endian_integer(in, &flags);
  if (!in) throw BGenError();
  context->number_of_samples = number_of_samples;
  context->number_of_variants = number_of_variants;
  context->magic.assign(magic, 4);
  context->free_data.swap(free_data);
  context->flags = flags;
  return header_size;
}

void read_genotype_data_block(std::istream& in, const Context& context,
                              std::vector<byte_t>* buffer) {
  uint64_t length = 6 * static_cast<uint64_t>(context.number_of_samples);
  if (block_has_length_field(context)) {
    uint32_t stored_length = 0;
    read_little_endian_integer(in, &stored_length);
    length = stored_length;
  }
  if (!impl::read_exact(in, length, buffer)) throw BGenError();
}

void ignore_genotype_data_block(std::istream& in, const Context& context) {
  uint64_t length = 6 * static_cast<uint64_t>(context.number_of_samples);
  if (block_has_length_field(context)) {
    uint32_t stored_length = 0;
    read_little_endian_integer(in, &stored_length);
    length = stored_length;
  }
  if (length > 0) in.seekg(static_cast<std::streamoff>(length), std::ios::cur);
  if (!in) throw BGenError();
}

void uncompress_probability_data(const Context& context, const std::vector<byte_t>& block,
                                 std::vector<byte_t>* out) {
  uncompress_probability_data(context, block.data(), block.data() + block.size(), out);
}

void uncompress_probability_data(const Context& context, const byte_t* begin, const byte_t* end,
                                 std::vector<byte_t>* out) {
  if (!is_compressed(context)) {
    out->assign(begin, end);
    return;
  }
  uint64_t expected = 0;
  const byte_t* data = begin;
  if (layout_of(context) == e_Layout1) {
    expected = 6 * static_cast<uint64_t>(context.number_of_samples);
  } else {
    if (end - begin < 4) {
      throw BGenFormatError("a compressed genotype block holds fewer than 4 bytes");
    }
    uint32_t declared = 0;
    data = read_little_endian_integer(begin, end, &declared);
    expected = declared;
  }
  const uint64_t compressed = static_cast<uint64_t>(end - data);
  // Deflate expands at most about 1032-fold: a larger claim is corrupt, and must not be allocated.
  if (expected > compressed * 1032 + 1024) {
    throw BGenFormatError("a genotype block claims " + std::to_string(expected) +
                          " decompressed bytes, more than its " + std::to_string(compressed) +
                          " compressed bytes can hold");
  }
  out->resize(static_cast<std::size_t>(expected));
  std::size_t written = static_cast<std::size_t>(expected);
  byte_t scratch = 0;  // zlib wants a valid destination even for an empty result
  const int status = zlib::uncompress(data, static_cast<std::size_t>(compressed),
                                      expected > 0 ? out->data() : &scratch, &written);
  if (status == Z_DATA_ERROR) {
    throw BGenFormatError("a genotype block's compressed data are corrupt (zlib data error)");
  }
  if (status == Z_MEM_ERROR) {
    throw BGenFormatError("a genotype block could not be decompressed (out of memory)");
  }
  if (status != Z_OK) {
    throw BGenFormatError("a genotype block's compressed data do not decompress to the expected " +
                          std::to_string(expected) + " bytes (zlib status " +
                          std::to_string(status) + ")");
  }
  if (written != expected) {
    throw BGenFormatError("a genotype block decompresses to " + std::to_string(written) +
                          " bytes instead of the expected " + std::to_string(expected));
  }
}

namespace v11 {
namespace impl {

double get_probability_conversion_factor(uint32_t flags) {
  const uint32_t layout = flags & e_Layout;
  if (layout == e_Layout0) return 10000.0;
  if (layout == e_Layout1) return 32768.0;
  throw BGenFormatError("its flags name an unsupported layout");
}

} // namespace impl
} // namespace v11

namespace v12 {
namespace impl {
void throw_sum_above_one(uint32_t sample, double sum) {
  // The shortest text that reads back as the same double.
  char text[32];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, sum);
  throw BGenFormatError("the probabilities of sample " + std::to_string(sample) + " sum to " +
                        std::string(text, written.ptr) + ", above 1");
}
} // namespace impl
} // namespace v12

} // namespace bgen
} // namespace genfile

// ---------------------------------------------------------------------------------------------
// BgenParser

using namespace genfile::bgen;

BgenParser::~BgenParser() = default;

void BgenParser::fail_shared(const std::string& message) {
  corvane::fatalErrorCollective(message, print_errors);
}

void BgenParser::fail_own(const std::string& message) { corvane::fatalError(message); }

void BgenParser::display_error(std::string&& message) { fail_shared(message); }

std::string BgenParser::where() const {
  return "the variant at byte " + std::to_string(variant_offset);
}

namespace {

std::string truncated(const std::string& file, const std::string& where) {
  return "Error: File '" + file + "' is truncated: it ends inside " + where + "!";
}

std::string corrupt(const std::string& file, const std::string& what) {
  return "Error: File '" + file + "' is corrupt: " + what + "!";
}

} // namespace

#define BGEN_REQUIRE_STATE(expected)                                                       \
  CORVANE_CHECK(m_state == (expected),                                                     \
                "Error: internal fault: BGEN reader of file '" + filename +               \
                    "' used out of order (m_state == " #expected " failed)!")

void BgenParser::open(const std::string& name) {
  filename = name;
  m_state = e_NotOpen;
  stream.reset(new std::ifstream(name, std::ios::in | std::ios::binary));
  std::error_code ignored;
  if (!stream->is_open()) fail_shared(corvane::openFailure(name));
  if (std::filesystem::is_directory(name, ignored)) fail_shared("Error: File '" + name + "' cannot be opened!");
  stream->seekg(0, std::ios::end);
  const std::streamoff size = stream->tellg();
  stream->seekg(0, std::ios::beg);
  if (size < 0 || !*stream) fail_shared("Error: File '" + name + "' cannot be read!");
  file_size = static_cast<uint64_t>(size);
  m_state = e_Opening;

  std::size_t header_size = 0;
  try {
    read_little_endian_integer(*stream, &offset);
    header_size = read_header_block(*stream, &context, filename);
  } catch (const BGenFormatError& e) {
    fail_shared(corrupt(filename, e.description()));
  } catch (const BGenError&) {
    fail_shared(truncated(filename, "its header block"));
  }
  if ((context.flags & e_CompressionMask) > e_CompressedSNPBlocks) {
    fail_shared("Error: File '" + filename + "' uses a compression method that is not supported!");
  }
  const uint32_t layout = layout_of(context);
  if (layout != e_Layout0 && layout != e_Layout1 && layout != e_Layout2) {
    fail_shared("Error: File '" + filename + "' uses BGEN layout " + std::to_string(layout >> 2) +
                ", which is not supported!");
  }
  const uint32_t n = context.number_of_samples;
  if (n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    fail_shared("Error: File '" + filename + "' declares " + std::to_string(n) +
                " samples, more than Corvane supports!");
  }
  // Every sample takes at least one byte of every genotype block before compression. Checked
  // whatever the declared variant count: the sample set below is built from n alone.
  if (static_cast<uint64_t>(n) > 1100 * file_size) {
    fail_shared(corrupt(filename, "its header declares " + std::to_string(n) +
                                      " samples, more than a file of " +
                                      std::to_string(file_size) + " bytes can hold"));
  }

  sample_ids.clear();
  uint64_t sample_block_length = 0;
  if (context.flags & e_SampleIdentifiers) {
    try {
      sample_block_length = read_sample_identifier_block(
          *stream, context,
          [this](const std::string& id, uint32_t index) {
            if (keep_sample_ids) sample_ids.emplace(id, index);
          });
    } catch (const BGenFormatError& e) {
      fail_shared(corrupt(filename, e.description()));
    } catch (const BGenError&) {
      fail_shared(truncated(filename, "its sample identifier block"));
    }
  }
  const uint64_t first_variant = static_cast<uint64_t>(offset) + 4;
  if (first_variant < 4 + header_size + sample_block_length) {
    fail_shared(corrupt(filename, "its first variant offset " + std::to_string(offset) +
                                      " points inside its header"));
  }
  if (first_variant > file_size) {
    fail_shared(truncated(filename, "its header (the first variant would start at byte " +
                                        std::to_string(first_variant) + ")"));
  }

  included_samples.clear();
  if (include_all_samples) {
    for (uint32_t i = 0; i < n; ++i) included_samples.emplace_hint(included_samples.end(), i);
  }
  slots_valid_ = false;

  stream->clear();
  stream->seekg(static_cast<std::streamoff>(first_variant));
  if (!*stream) fail_shared("Error: File '" + filename + "' cannot be read!");
  m_state = e_ReadyForVariant;
}

bool BgenParser::read_identifying(std::string& chromosome, uint32_t& position, bool shared) {
  const std::streamoff here = stream->tellg();
  variant_offset = here < 0 ? 0 : static_cast<uint64_t>(here);
  std::string message;
  try {
    return read_snp_identifying_data(
        *stream, context, &snpid_, &rsid_, &chromosome, &position,
        [this](uint16_t number_of_alleles) {
          if (number_of_alleles < 2) {
            throw BGenFormatError("a variant has " + std::to_string(number_of_alleles) +
                                  " alleles; at least 2 are needed");
          }
          alleles_.resize(number_of_alleles);
        },
        [this](uint16_t i) { return &alleles_[i]; });
  } catch (const BGenFormatError& e) {
    message = corrupt(filename, e.description() + " in " + where());
  } catch (const BGenError&) {
    message = truncated(filename, "the identifying data of " + where());
  }
  if (shared) fail_shared("\n\n" + message);
  fail_own("\n\n" + message);
}

bool BgenParser::read_position(uint32_t& position, std::size_t& block_offset,
                               std::string& chromosome) {
  BGEN_REQUIRE_STATE(e_ReadyForVariant);
  const bool found = read_identifying(chromosome, position, true);
  block_offset = static_cast<std::size_t>(variant_offset);
  if (!found) return false;
  m_state = e_ReadyForProbs;
  return true;
}

void BgenParser::skip_probs() {
  BGEN_REQUIRE_STATE(e_ReadyForProbs);
  bool ok = true;
  try {
    ignore_genotype_data_block(*stream, context);
  } catch (const BGenError&) {
    ok = false;
  }
  const std::streamoff here = ok ? static_cast<std::streamoff>(stream->tellg()) : std::streamoff(-1);
  if (here < 0 || static_cast<uint64_t>(here) > file_size) {
    fail_shared("\n\n" + truncated(filename, "the genotype data of " + where()));
  }
  m_state = e_ReadyForVariant;
}

void BgenParser::seek_to_variant(uint64_t block_offset) {
  const uint64_t target = block_offset == 0 ? static_cast<uint64_t>(offset) + 4 : block_offset;
  stream->clear();
  stream->seekg(static_cast<std::streamoff>(target));
  CORVANE_CHECK(static_cast<bool>(*stream),
                "\n\nError: File '" + filename + "' cannot be read at byte " +
                    std::to_string(target) + "!");
  m_state = e_ReadyForVariant;
}

bool BgenParser::read_variant(uint32_t index, bool store,
                              std::map<uint32_t, VariantHeader>& headers) {
  BGEN_REQUIRE_STATE(e_ReadyForVariant);
  uint32_t position = 0;
  if (!read_identifying(chromosome_, position, false)) return false;
  if (store) {
    VariantHeader& header = headers[index];
    header.index = index;
    header.RSID = rsid_;
    header.position = position;
    header.chromosome = chromosome_;
    header.A_allele = alleles_[0];
    header.B_allele = alleles_[1];
    header.A_allele_freq = 0.0;
    header.B_allele_freq = 0.0;
  }
  m_state = e_ReadyForProbs;
  return true;
}

void BgenParser::load_block(const byte_t** begin, const byte_t** end) {
  try {
    read_genotype_data_block(*stream, context, &block_buffer);
  } catch (const BGenError&) {
    fail_own("\n\n" + truncated(filename, "the genotype data of " + where()));
  }
  const byte_t* stored_begin = block_buffer.data();
  const byte_t* stored_end = stored_begin + block_buffer.size();
  if (!is_compressed(context)) {
    *begin = stored_begin;
    *end = stored_end;
    return;
  }
  try {
    uncompress_probability_data(context, stored_begin, stored_end, &uncompressed_buffer);
  } catch (const BGenFormatError& e) {
    fail_own("\n\n" + corrupt(filename, e.description() + " in " + where()));
  }
  *begin = uncompressed_buffer.data();
  *end = *begin + uncompressed_buffer.size();
}

void BgenParser::read_probs() {
  BGEN_REQUIRE_STATE(e_ReadyForProbs);
  const byte_t* begin = nullptr;
  const byte_t* end = nullptr;
  load_block(&begin, &end);
  try {
    ProbSetter setter(&probabilities);
    if (layout_of(context) == e_Layout2) {
      v12::parse_probability_data(begin, end, context, setter);
    } else {
      v11::parse_probability_data(begin, end, context, setter);
    }
  } catch (const BGenFormatError& e) {
    fail_own("\n\n" + corrupt(filename, e.description() + " in " + where()));
  }
  m_state = e_ReadyForVariant;
}

void BgenParser::refresh_included_samples() { slots_valid_ = false; }

void BgenParser::ensure_slots() {
  if (slots_valid_ && n_slots_ == included_samples.size() &&
      sample_slot_.size() == context.number_of_samples) {
    return;
  }
  sample_slot_.assign(context.number_of_samples, -1);
  int32_t k = 0;
  for (uint32_t index : included_samples) {
    CORVANE_CHECK(index < context.number_of_samples,
                  "Error: internal fault: sample index " + std::to_string(index) +
                      " lies beyond the samples of file '" + filename + "'!");
    sample_slot_[index] = k++;
  }
  n_slots_ = static_cast<std::size_t>(k);
  slots_valid_ = true;
}

void BgenParser::store_frequencies(uint32_t index, bool store,
                                   std::map<uint32_t, VariantHeader>& headers,
                                   const DosageSetter& setter) {
  if (!store) return;
  const double n = static_cast<double>(setter.n_nonmissing);
  VariantHeader& header = headers[index];
  header.A_allele_freq = ((setter.S0 + setter.S0) + setter.S1) / (n + n);
  header.B_allele_freq = ((setter.S2 + setter.S2) + setter.S1) / (n + n);
}

uint32_t BgenParser::compute_dosages(Eigen::Ref<Eigen::VectorXd> dest, uint32_t index, bool store,
                                     std::map<uint32_t, VariantHeader>& headers) {
  ensure_slots();
  CORVANE_CHECK(static_cast<std::size_t>(dest.size()) == n_slots_,
                "Error: internal fault: dosage destination of the wrong size for file '" +
                    filename + "'!");
  CORVANE_CHECK(probabilities.n_samples() == context.number_of_samples,
                "Error: internal fault: dosages of file '" + filename +
                    "' computed before its probabilities were read!");
  DosageSetter setter(sample_slot_.data(), dest.data(), layout_of(context) != e_Layout2);
  const std::size_t n = probabilities.n_samples();
  setter.initialise(n, 0, probabilities.scale);
  for (std::size_t i = 0; i < n; ++i) {
    setter.set_sample(i);
    const uint32_t count = probabilities.counts[i];
    setter.set_number_of_entries(count, probabilities.ploidy[i], probabilities.phased);
    const double* values = probabilities.values.data() + probabilities.begin[i];
    for (uint32_t k = 0; k < count; ++k) setter.set_value(values[k]);
  }
  store_frequencies(index, store, headers, setter);
  return setter.n_nonmissing;
}

Eigen::VectorXd BgenParser::compute_dosages(uint32_t index, bool store,
                                            std::map<uint32_t, VariantHeader>& headers) {
  Eigen::VectorXd dosages(static_cast<Eigen::Index>(included_samples.size()));
  compute_dosages(dosages, index, store, headers);
  return dosages;
}

namespace {

// The common block of layout 2: two alleles, unphased, 8 bits per probability, every sample diploid
// (flagged missing or not), so each sample takes two bytes. Gives the dosages and tallies of the
// general parser with DosageSetter, value for value: the same dosage (510 - 2 x0 - x1) / 255 from
// the stored x0 and x1, and for the tallies the same divisions by 255 and sums in sample order.
// Returns false, leaving the setter's tallies untouched, for any other block or for anything the
// general parser would refuse; that parser then reads the block, writes every dosage again and
// reports.
bool dosagesFromDiploid8Bit(const byte_t* begin, const byte_t* end, const genfile::bgen::Context& context,
                            const int32_t* slot, double* dest, genfile::bgen::DosageSetter& setter) {
  if (end - begin < 10) return false;
  uint32_t n = 0;
  uint16_t K = 0;
  genfile::bgen::read_little_endian_integer(begin, end, &n);
  genfile::bgen::read_little_endian_integer(begin + 4, end, &K);
  if (n != context.number_of_samples || K != 2) return false;
  if (static_cast<uint64_t>(end - begin) < 10 + 3 * static_cast<uint64_t>(n)) return false;
  const byte_t* ploidy = begin + 8;
  if ((begin[8 + n] & 1u) != 0 || begin[9 + n] != 8) return false;
  const byte_t* data = begin + 10 + n;

  // Every pair of stored values (first value in the low byte) and its dosage, computed once as the
  // general parser computes it; NaN for a pair it would refuse (a sum above 1), which sends the block
  // to that parser.
  struct Pairs {
    double level[256];
    double dosage[65536];
    Pairs() {
      const double denominator = static_cast<double>((uint64_t(1) << 8) - 1);
      for (unsigned x = 0; x < 256; ++x) level[x] = static_cast<double>(x) / denominator;
      for (unsigned x1 = 0; x1 < 256; ++x1) {
        for (unsigned x0 = 0; x0 < 256; ++x0) {
          const bool usable = x0 + x1 <= 255;
          dosage[x0 | (x1 << 8)] = usable ? static_cast<double>(510 - 2 * x0 - x1) / denominator
                                          : std::numeric_limits<double>::quiet_NaN();
        }
      }
    }
  };
  static const Pairs pairs;

  uint32_t n_nonmissing = 0;
  double S0 = 0.0, S1 = 0.0, S2 = 0.0;
  for (uint32_t i = 0; i < n; ++i) {
    const byte_t pl = ploidy[i];
    if ((pl & 0x3Fu) != 2) return false;
    const unsigned x0 = data[2 * i], x1 = data[2 * i + 1];
    const double d = pairs.dosage[x0 | (x1 << 8)];
    const bool missing = (pl & 0x80u) != 0;
    if (!missing && std::isnan(d)) return false;
    const int32_t k = slot[i];
    if (k < 0) continue;
    if (missing) {
      dest[k] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    dest[k] = d;
    ++n_nonmissing;
    const double p0 = pairs.level[x0], p1 = pairs.level[x1];
    S0 += p0;
    S1 += p1;
    S2 += 1.0 - (p0 + p1);
  }
  setter.n_nonmissing += n_nonmissing;
  setter.S0 += S0;
  setter.S1 += S1;
  setter.S2 += S2;
  return true;
}

} // namespace

uint32_t BgenParser::read_dosages(Eigen::Ref<Eigen::VectorXd> dest, uint32_t index, bool store,
                                  std::map<uint32_t, VariantHeader>& headers) {
  BGEN_REQUIRE_STATE(e_ReadyForProbs);
  ensure_slots();
  CORVANE_CHECK(static_cast<std::size_t>(dest.size()) == n_slots_,
                "Error: internal fault: dosage destination of the wrong size for file '" +
                    filename + "'!");
  const byte_t* begin = nullptr;
  const byte_t* end = nullptr;
  load_block(&begin, &end);
  DosageSetter setter(sample_slot_.data(), dest.data(), layout_of(context) != e_Layout2);
  if (layout_of(context) == e_Layout2 &&
      dosagesFromDiploid8Bit(begin, end, context, sample_slot_.data(), dest.data(), setter)) {
    m_state = e_ReadyForVariant;
    store_frequencies(index, store, headers, setter);
    return setter.n_nonmissing;
  }
  try {
    if (layout_of(context) == e_Layout2) {
      v12::parse_probability_data(begin, end, context, setter);
    } else {
      v11::parse_probability_data(begin, end, context, setter);
    }
  } catch (const BGenFormatError& e) {
    fail_own("\n\n" + corrupt(filename, e.description() + " in " + where()));
  }
  m_state = e_ReadyForVariant;
  store_frequencies(index, store, headers, setter);
  return setter.n_nonmissing;
}
