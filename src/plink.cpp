// PLINK .bed/.bim/.fam reader.
#include "plink.hpp"

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>
#include <string_view>

#include "corvane.hpp"
#include "fatal.hpp"
#include "open_failure.hpp"
#include "selection.hpp"

namespace plinkfile {
namespace bed {

const byte_t bitmask[4] = {0x03, 0x0C, 0x30, 0xC0};

bool number_of_variants(std::istream& stream, Context& context, uint64_t& size) {
  stream.clear();
  stream.seekg(0, std::ios::end);
  const std::streamoff end = stream.tellg();
  size = end > 0 ? static_cast<uint64_t>(end) : 0;
  stream.seekg(3, std::ios::beg);
  context.bytes_per_variant = (static_cast<uint64_t>(context.number_of_samples) + 3) / 4;
  uint64_t records = 0;
  if (context.bytes_per_variant > 0 && size > 3) records = (size - 3) / context.bytes_per_variant;
  if (records > std::numeric_limits<uint32_t>::max()) {
    context.number_of_variants = 0;
    return false;
  }
  context.number_of_variants = static_cast<uint32_t>(records);
  return true;
}

GenotypeCounts decode_into(const byte_t* record, const uint32_t* samples, size_t count, double* out) {
  // Indexed by the 2-bit code: 00 -> 2, 01 -> missing, 10 -> 1, 11 -> 0 copies of the A allele.
  static const double value[4] = {2.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0};
  uint32_t tally[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < count; ++i) {
    const uint32_t s = samples[i];
    const unsigned code = (record[s >> 2] >> ((s & 3u) << 1)) & 3u;
    out[i] = value[code];
    ++tally[code];
  }
  GenotypeCounts counts;
  counts.two = tally[0];
  counts.missing = tally[1];
  counts.one = tally[2];
  counts.zero = tally[3];
  return counts;
}

namespace {

// The four dosages of every .bed byte, first sample in the lowest bits.
struct ByteDosages {
  double value[256][4];
  ByteDosages() {
    const double code_value[4] = {2.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0};
    for (unsigned b = 0; b < 256; ++b)
      for (unsigned k = 0; k < 4; ++k) value[b][k] = code_value[(b >> (2 * k)) & 3u];
  }
};

// Bits set in x, without relying on a population-count instruction in a portable build.
inline unsigned bitCount(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

} // namespace

GenotypeCounts decode_all(const byte_t* record, size_t count, double* out) {
  static const ByteDosages table;
  const size_t whole = count / 4;
  for (size_t b = 0; b < whole; ++b) std::memcpy(out + 4 * b, table.value[record[b]], 4 * sizeof(double));
  for (size_t i = 4 * whole; i < count; ++i) out[i] = table.value[record[whole]][i - 4 * whole];

  // Tallies by words: per code, the low bit and the high bit of each 2-bit field.
  const uint64_t low_bits = 0x5555555555555555ull;
  uint64_t two = 0, missing = 0, one = 0, zero = 0;
  const size_t bytes = (count + 3) / 4;
  for (size_t b = 0; b < bytes; b += 8) {
    uint64_t w = 0;
    const size_t n = std::min<size_t>(8, bytes - b);
    for (size_t k = 0; k < n; ++k) w |= static_cast<uint64_t>(record[b + k]) << (8 * k);
    const size_t samples_here = std::min<size_t>(32, count - 4 * b);
    const uint64_t valid = samples_here == 32 ? low_bits : low_bits & ((uint64_t(1) << (2 * samples_here)) - 1);
    const uint64_t lo = w & valid, hi = (w >> 1) & valid;
    two += bitCount(valid & ~lo & ~hi);
    missing += bitCount(lo & ~hi);
    one += bitCount(hi & ~lo);
    zero += bitCount(lo & hi);
  }
  GenotypeCounts counts;
  counts.two = static_cast<uint32_t>(two);
  counts.missing = static_cast<uint32_t>(missing);
  counts.one = static_cast<uint32_t>(one);
  counts.zero = static_cast<uint32_t>(zero);
  return counts;
}

Eigen::VectorXd decode(const std::vector<byte_t>& record, const std::set<uint32_t>& samples, uint32_t& counter,
                       const Context& context) {
  CORVANE_CHECK(record.size() >= context.bytes_per_variant, "Error: A .bed record is shorter than its variant size!");
  CORVANE_CHECK(samples.empty() || *samples.rbegin() < context.number_of_samples,
                "Error: A sample index lies beyond the samples of the .bed file!");
  const std::vector<uint32_t> flat(samples.begin(), samples.end());
  Eigen::VectorXd dosages(static_cast<Eigen::Index>(flat.size()));
  const GenotypeCounts counts = decode_into(record.data(), flat.data(), flat.size(), dosages.data());
  counter += static_cast<uint32_t>(flat.size()) - counts.missing;
  return dosages;
}

bool check_magic_number(std::istream& stream) {
  char magic[3] = {0, 0, 0};
  stream.read(magic, 3);
  return stream.gcount() == 3 && static_cast<byte_t>(magic[0]) == 0x6C && static_cast<byte_t>(magic[1]) == 0x1B &&
         static_cast<byte_t>(magic[2]) == 0x01;
}

} // namespace bed
} // namespace plinkfile

namespace {

// Fields of one .bim/.fam line: split on tabs when the line holds one, else on single spaces.
// Every delimiter ends one field (two in a row give an empty field, a trailing one gives none).
class Fields {
public:
  explicit Fields(const std::string& line)
      : line_(line), delimiter_(line.find('\t') != std::string::npos ? '\t' : ' ') {}
  bool next(std::string_view& field) {
    if (pos_ >= line_.size()) return false;
    size_t stop = line_.find(delimiter_, pos_);
    if (stop == std::string::npos) stop = line_.size();
    field = std::string_view(line_).substr(pos_, stop - pos_);
    pos_ = stop + 1;
    return true;
  }
  uint32_t count() {
    uint32_t n = 0;
    std::string_view ignored;
    while (next(ignored)) ++n;
    return n;
  }

private:
  const std::string& line_;
  char delimiter_;
  size_t pos_ = 0;
};

void rewind(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::beg);
}

// Sets a flag for the lifetime of a scope.
class FlagScope {
public:
  explicit FlagScope(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = saved_; }

private:
  bool& flag_;
  bool saved_;
};

} // namespace

void PlinkParser::display_error(std::string&& message) {
  if (errors_are_local) corvane::fatalError(message);
  corvane::fatalErrorCollective(message, print_errors);
}

void PlinkParser::fail_empty(const std::string& file_name) {
  display_error("Error: Encountered emtpy input in file '" + file_name + "'!");
}

std::string PlinkParser::read_string(std::istream& line_stream, char delimiter) {
  std::string field;
  if (!std::getline(line_stream, field, delimiter)) fail_empty(reading_fam ? fam_filename : bim_filename);
  return field;
}

uint32_t PlinkParser::convert_integer(const std::string& text, uint64_t line_number) {
  uint32_t position = 0;
  switch (readPositionText(text, position)) {
    case PositionText::whole:
      return position;
    case PositionText::negative:
      // Wrapped to unsigned it would lie at the far end of the chromosome.
      display_error("Error: Encountered negative position in column 4 of file '" + bim_filename + "'!");
    case PositionText::beyond_largest:
      display_error("Error: Position '" + text + "' in column 4 of line " + std::to_string(line_number) +
                    " of file '" + bim_filename + "' is beyond the largest position (" +
                    std::to_string(kLargestPosition) + ")!");
    case PositionText::not_whole:
      break;
  }
  // Read whole: 1e+04 (as R writes 10000) is not 1, and 10000.5 is not 10000.
  display_error("Error: Encountered non-numeric data '" + text + "' in column 4 of line " +
                std::to_string(line_number) + " of file '" + bim_filename + "'!");
}

bool PlinkParser::checkLine(std::istream& stream, uint32_t start, uint32_t maximum) {
  stream.clear();
  std::string line;
  uint64_t count = start;
  if (readTextLine(stream, line)) count += Fields(line).count();
  if (count > maximum) return false;
  rewind(stream);
  return true;
}

// One .bim line's chromosome and position; the alleles must be there too, so that a line that a
// single thread parses later (read_bim) is already known to be whole.
bool PlinkParser::read_position(std::string& chromosome, uint32_t& position, std::string* rsid) {
  if (!readTextLine(bim_stream, line_buffer)) return false;
  ++bim_line;
  Fields fields(line_buffer);
  std::string_view field;
  if (!fields.next(field)) fail_empty(bim_filename);
  if (chromosome.empty()) {
    chromosome.assign(field);
  } else if (field != chromosome) {
    display_error("Error: File '" + bim_filename + "' contains variants on multiple chromosomes!");
  }
  if (!fields.next(field)) fail_empty(bim_filename);
  if (rsid) rsid->assign(field);
  if (!fields.next(field) || !fields.next(field)) fail_empty(bim_filename);
  position_text.assign(field);
  position = convert_integer(position_text, bim_line);
  if (!fields.next(field) || !fields.next(field)) fail_empty(bim_filename);
  return true;
}

bool PlinkParser::read_fam() {
  if (!checkLine(bim_stream, 0, 6)) return false;
  FlagScope scope(reading_fam);
  std::string line;
  while (readTextLine(fam_stream, line)) {
    Fields fields(line);
    std::string_view family, individual;
    if (!fields.next(family) || !fields.next(individual)) fail_empty(fam_filename);
    // Only the reader that keeps the identifiers sees a repeated one, so it ends the run itself.
    if (keep_sample_ids && !sample_ids.emplace(std::string(individual), context.number_of_samples).second) {
      corvane::fatalError("\n\nError: File '" + fam_filename + "' includes a duplicated sample " +
                          std::string(individual) + "!");
    }
    if (context.number_of_samples == std::numeric_limits<uint32_t>::max()) {
      display_error("Error: File '" + fam_filename + "' holds more samples than Corvane can index!");
    }
    ++context.number_of_samples;
  }
  return true;
}

void PlinkParser::validate_bim() {
  std::string chromosome;
  uint32_t position = 0;
  uint64_t lines = 0;
  rewind_bim();
  while (read_position(chromosome, position)) ++lines;
  if (lines != context.number_of_variants) {
    display_error("Error: File '" + bim_filename + "' holds " + std::to_string(lines) + " variants but file '" +
                  bed_filename + "' holds " + std::to_string(context.number_of_variants) + " variant records!");
  }
  rewind_bim();
}

void PlinkParser::open(const std::string& bed_name, const std::string& bim_name, const std::string& fam_name) {
  bed_filename = bed_name;
  bim_filename = bim_name;
  fam_filename = fam_name;

  // Each file is opened only after the previous one is known to be readable.
  bed_stream.open(bed_filename, std::ios::in | std::ios::binary);
  if (!bed_stream.is_open() || bed_stream.fail()) display_error(corvane::openFailure(bed_filename));
  bim_stream.open(bim_filename);
  if (!bim_stream.is_open() || bim_stream.fail()) display_error(corvane::openFailure(bim_filename));
  fam_stream.open(fam_filename);
  if (!fam_stream.is_open() || fam_stream.fail()) display_error(corvane::openFailure(fam_filename));

  if (!plinkfile::bed::check_magic_number(bed_stream)) {
    display_error("Error: File '" + bed_filename + "' is not a BED file in SNP-major format!");
  }
  state = 1;
  if (!read_fam()) display_error("Error: File '" + bim_filename + "' is expected to contain 6 columns!");
  if (context.number_of_samples == 0) display_error("Error: File '" + fam_filename + "' contains no samples!");
  if (!plinkfile::bed::number_of_variants(bed_stream, context, bed_size)) {
    display_error("Error: File '" + bed_filename + "' holds more variants than Corvane can index!");
  }
  if (context.number_of_variants == 0) {
    display_error("Error: File '" + bed_filename + "' contains no complete variant record!");
  }
  validate_bim();

  included_samples.clear();
  if (include_all_samples) {
    for (uint32_t i = 0; i < context.number_of_samples; ++i) included_samples.insert(included_samples.end(), i);
  }
  sync_included_samples();
  record_buffer.assign(context.bytes_per_variant, 0);
  state = 2;
}

void PlinkParser::read_bim(uint32_t start, uint32_t end, std::map<uint32_t, VariantHeader>& variant_headers) {
  FlagScope scope(errors_are_local);
  // The opening checks accepted the first line, so this always returns to it; rewind regardless.
  checkLine(bim_stream, 0, 6);
  rewind(bim_stream);
  for (uint32_t i = 0; i < end; ++i) {
    if (!readTextLine(bim_stream, line_buffer)) {
      display_error("Error: File '" + bim_filename + "' ends before variant " + std::to_string(i + 1) + "!");
    }
    if (i < start) continue;
    Fields fields(line_buffer);
    std::string_view chromosome, rsid, distance, position, a_allele, b_allele;
    if (!fields.next(chromosome) || !fields.next(rsid) || !fields.next(distance) || !fields.next(position) ||
        !fields.next(a_allele) || !fields.next(b_allele)) {
      fail_empty(bim_filename);
    }
    position_text.assign(position);
    const uint32_t value = convert_integer(position_text, static_cast<uint64_t>(i) + 1);
    VariantHeader& header = variant_headers[i];
    header.index = i;
    header.RSID.assign(rsid);
    header.position = value;
    header.chromosome.assign(chromosome);
    header.A_allele.assign(a_allele);
    header.B_allele.assign(b_allele);
    header.A_allele_freq = 0.0;
    header.B_allele_freq = 0.0;
  }
}

void PlinkParser::rewind_bim() {
  rewind(bim_stream);
  bim_line = 0;
}

void PlinkParser::sync_included_samples() { included_list.assign(included_samples.begin(), included_samples.end()); }

void PlinkParser::seek_variant(uint32_t variant) {
  CORVANE_CHECK(variant < context.number_of_variants,
                "Error: Variant " + std::to_string(variant) + " lies beyond the records of file '" + bed_filename + "'!");
  bed_stream.clear();
  bed_stream.seekg(static_cast<std::streamoff>(record_offset(variant)), std::ios::beg);
  state = 2;
}

bool PlinkParser::has_record() {
  const std::streamoff here = bed_stream.tellg();
  return here >= 0 && static_cast<uint64_t>(here) + context.bytes_per_variant <= bed_size;
}

uint32_t PlinkParser::compute_genotypes(uint32_t variant_index, bool store,
                                        std::map<uint32_t, VariantHeader>& variant_headers,
                                        Eigen::Ref<Eigen::VectorXd> dosages) {
  state = 2;
  if (included_list.size() != included_samples.size()) sync_included_samples();
  CORVANE_CHECK(static_cast<size_t>(dosages.size()) == included_list.size(),
                "Error: Dosage column does not match the number of included samples!");
  record_buffer.resize(context.bytes_per_variant);
  bed_stream.read(reinterpret_cast<char*>(record_buffer.data()), static_cast<std::streamsize>(record_buffer.size()));
  if (static_cast<uint64_t>(bed_stream.gcount()) != context.bytes_per_variant) {
    corvane::fatalError("Error: File '" + bed_filename + "' ends within the record of variant " +
                        std::to_string(variant_index + 1) + "!");
  }
  // With every sample included (the list is sorted and unique), whole bytes decode at once.
  const plinkfile::bed::GenotypeCounts counts =
      included_list.size() == context.number_of_samples
          ? plinkfile::bed::decode_all(record_buffer.data(), included_list.size(), dosages.data())
          : plinkfile::bed::decode_into(record_buffer.data(), included_list.data(), included_list.size(),
                                        dosages.data());
  const uint32_t n = static_cast<uint32_t>(included_list.size()) - counts.missing;
  if (store) {
    auto entry = variant_headers.find(variant_index);
    CORVANE_CHECK(entry != variant_headers.end(),
                  "Error: No variant header for variant " + std::to_string(variant_index + 1) + "!");
    // With no genotype at all both are 0/0: NaN.
    entry->second.A_allele_freq = (2.0 * counts.two + counts.one) / (2.0 * n);
    entry->second.B_allele_freq = (2.0 * counts.zero + counts.one) / (2.0 * n);
  }
  return n;
}

Eigen::VectorXd PlinkParser::compute_genotypes(uint32_t variant_index, bool store,
                                               std::map<uint32_t, VariantHeader>& variant_headers) {
  Eigen::VectorXd dosages(static_cast<Eigen::Index>(included_samples.size()));
  compute_genotypes(variant_index, store, variant_headers, dosages);
  return dosages;
}

// ---------------------------------------------------------------------------------------------
// Engine side
// ---------------------------------------------------------------------------------------------

void Corvane::openPLINK(bool print_errors) {
  plink_parser.print_errors = print_errors;
  plink_parser.open(bed_file, bim_file, fam_file);
  n_samples_in_file = bin_n_samples = plink_parser.context.number_of_samples;
  n_variants_in_file = bin_n_variants = plink_parser.context.number_of_variants;
}

void Corvane::readBim() {
  plink_parser.rewind_bim();
  plink_parser.read_bim(chunk_start_variant, chunk_end_variant, variant_headers);
}
