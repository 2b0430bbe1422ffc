// BCOR header: fixed part, variant header records, the frequency coding.
#include "header_serial.hpp"

#include <cmath>
#include <limits>

#include "corvane.hpp"
#include "fatal.hpp"

namespace bcor {

std::string perThreadName(const std::string& bcor_name, uint64_t file_number) {
  return bcor_name + "_" + std::to_string(file_number);
}

uint64_t encodeFrequency(double frequency) {
  if (std::isnan(frequency)) return frequency_not_a_number;
  const double q = frequency * 9223372036854775808.0; // 2^63
  if (q < 0.0) return 0;
  if (q >= 18446744073709551616.0) return UINT64_MAX; // 2^64
  return static_cast<uint64_t>(std::floor(q + 0.5));
}

double decodeFrequency(uint64_t stored) {
  if (stored == frequency_not_a_number) return std::numeric_limits<double>::quiet_NaN();
  return std::ldexp(static_cast<double>(stored), -63);
}

} // namespace bcor

template <typename HeaderType>
std::vector<byte_t> Corvane::writeVariantHeaderToBuffer(const HeaderType& variant_header) {
  const size_t lr = variant_header.RSID.size();
  const size_t lc = variant_header.chromosome.size();
  const size_t la = variant_header.A_allele.size();
  const size_t lb = variant_header.B_allele.size();
  if (lr > UINT16_MAX || lc > UINT16_MAX) {
    corvane::fatalError("Error: The RSID or chromosome of variant " +
                        std::to_string(uint64_t(variant_header.index) + 1) +
                        " is longer than 65535 bytes and cannot be stored!");
  }
  // 64-bit sum: allele lengths near 2^32 must not wrap into a small record.
  const uint64_t size = uint64_t(36) + lr + lc + la + lb;
  if (size > UINT32_MAX) {
    corvane::fatalError("Error: The alleles of variant " +
                        std::to_string(uint64_t(variant_header.index) + 1) +
                        " are too long to be stored!");
  }
  std::vector<byte_t> buffer(size);
  byte_t* p = buffer.data();
  const byte_t* end = p + size;
  p = writeLittleEndianInteger(p, end, variant_header.index);
  p = writeLengthFollowedByString(p, end, static_cast<uint16_t>(lr), variant_header.RSID);
  p = writeLittleEndianInteger(p, end, variant_header.position);
  p = writeLengthFollowedByString(p, end, static_cast<uint16_t>(lc), variant_header.chromosome);
  p = writeLengthFollowedByString(p, end, static_cast<uint32_t>(la), variant_header.A_allele);
  p = writeLengthFollowedByString(p, end, static_cast<uint32_t>(lb), variant_header.B_allele);
  p = writeLittleEndianInteger(p, end, bcor::encodeFrequency(variant_header.A_allele_freq));
  p = writeLittleEndianInteger(p, end, bcor::encodeFrequency(variant_header.B_allele_freq));
  if (p != end) {
    corvane::fatalError("Error: Internal fault in the BCOR store: variant header record size!");
  }
  return buffer;
}

template std::vector<byte_t> Corvane::writeVariantHeaderToBuffer<VariantHeader>(
    const VariantHeader&);

VariantHeader Corvane::readVariantHeaderToBuffer(std::vector<byte_t>& buffer) {
  const byte_t* p = buffer.data();
  const byte_t* end = p + buffer.size();
  VariantHeader header;
  uint16_t length16 = 0;
  uint32_t length32 = 0;
  uint64_t a_freq = 0;
  uint64_t b_freq = 0;
  p = readLittleEndianInteger(p, end, &header.index);
  p = readLengthFollowedByString(p, end, &length16, &header.RSID);
  p = readLittleEndianInteger(p, end, &header.position);
  p = readLengthFollowedByString(p, end, &length16, &header.chromosome);
  p = readLengthFollowedByString(p, end, &length32, &header.A_allele);
  p = readLengthFollowedByString(p, end, &length32, &header.B_allele);
  p = readLittleEndianInteger(p, end, &a_freq);
  p = readLittleEndianInteger(p, end, &b_freq);
  if (p != end) failBCORRead("is corrupt: a variant header record is longer than its fields!");
  header.A_allele_freq = bcor::decodeFrequency(a_freq);
  header.B_allele_freq = bcor::decodeFrequency(b_freq);
  return header;
}

void Corvane::writeVariantHeader() {
  const std::string name =
      flags.merge ? bcor_file : bcor::perThreadName(bcor_file, uint64_t(process_number) + 1);
  openBCOR(bcor_out, name);
  requireBCORState(ready_for_header, "writeVariantHeader");
  if (accuracy.size() > UINT16_MAX) {
    corvane::fatalError("Error: The accuracy word is too long to be stored!");
  }

  // Field 1 stays 0 until finishBCOR: a file whose writing stops early is never taken as whole.
  std::vector<byte_t> fixed(bcor::fixed_header_size + accuracy.size());
  byte_t* p = fixed.data();
  const byte_t* end = p + fixed.size();
  p = writeLittleEndianInteger(p, end, uint32_t(0));
  p = writeLittleEndianInteger(p, end, bin_n_samples);
  p = writeLittleEndianInteger(p, end, bin_n_variants);
  p = writeLittleEndianInteger(p, end, chunk_n_variants);
  p = writeLittleEndianInteger(p, end, shared_buffers.run_start_position);
  p = writeLittleEndianInteger(p, end, shared_buffers.run_end_position);
  p = writeLittleEndianInteger(p, end, bcor_start_variant);
  p = writeLittleEndianInteger(p, end, bcor_end_variant);
  p = writeLittleEndianInteger(p, end, bcor_start_position);
  p = writeLittleEndianInteger(p, end, bcor_end_position);
  p = writeLittleEndianInteger(p, end, number_of_correlation_records);
  p = writeLittleEndianInteger(p, end, number_of_sample_count_records);
  p = writeLittleEndianInteger(p, end, shared_buffers.total_number_of_correlations);
  p = writeLittleEndianInteger(p, end, number_of_correlations_in_file);
  p = writeLengthFollowedByString(p, end, static_cast<uint16_t>(accuracy.size()), accuracy);
  writeBCORBytes(bcor_out, fixed.data(), fixed.size());

  uint64_t position = fixed.size();
  for (const auto& entry : variant_headers) {
    const std::vector<byte_t> record = writeVariantHeaderToBuffer(entry.second);
    writeLittleEndianInteger(bcor_out, static_cast<uint32_t>(record.size()));
    writeBCORBytes(bcor_out, record.data(), record.size());
    position += 4 + record.size();
  }
  if (position > UINT32_MAX) {
    corvane::fatalError("Error: The variant header records of file '" + name +
                        "' exceed 4 GiB and cannot be stored!");
  }
  header_size = static_cast<uint32_t>(position);
  bcor_state = ready_for_offsets;
}

void Corvane::readMinimalHeader(
    uint32_t& file_header_size, uint32_t& file_number_of_samples, uint32_t& file_number_of_variants,
    uint32_t& file_variants_in_file, uint32_t& file_run_start_position,
    uint32_t& file_run_end_position, uint32_t& file_first_variant, uint32_t& file_last_variant,
    uint32_t& file_start_position, uint32_t& file_end_position, uint32_t& file_correlation_records,
    uint32_t& file_sample_count_records, uint64_t& file_total_correlations,
    uint64_t& file_correlations_in_file, uint16_t accuracy_length, std::string& file_accuracy) {
  readLittleEndianInteger(bcor_in, &file_header_size);
  if (file_header_size == 0) failBCORRead("is incomplete: its writing did not finish!");
  readLittleEndianInteger(bcor_in, &file_number_of_samples);
  readLittleEndianInteger(bcor_in, &file_number_of_variants);
  readLittleEndianInteger(bcor_in, &file_variants_in_file);
  readLittleEndianInteger(bcor_in, &file_run_start_position);
  readLittleEndianInteger(bcor_in, &file_run_end_position);
  readLittleEndianInteger(bcor_in, &file_first_variant);
  readLittleEndianInteger(bcor_in, &file_last_variant);
  readLittleEndianInteger(bcor_in, &file_start_position);
  readLittleEndianInteger(bcor_in, &file_end_position);
  readLittleEndianInteger(bcor_in, &file_correlation_records);
  readLittleEndianInteger(bcor_in, &file_sample_count_records);
  readLittleEndianInteger(bcor_in, &file_total_correlations);
  readLittleEndianInteger(bcor_in, &file_correlations_in_file);
  readLengthFollowedByString(bcor_in, &accuracy_length, &file_accuracy);
  if (file_header_size < bcor::fixed_header_size + uint32_t(accuracy_length)) {
    failBCORRead("is corrupt: its header size is smaller than its fixed header!");
  }
  if (file_header_size > bcor_in_size) failBCORRead("is truncated!");
}

void Corvane::readVariantHeaderFromStream() {
  openBCOR(bcor_in, bcor_file);
  requireBCORState(ready_for_header, "readVariantHeaderFromStream");
  readMinimalHeader(header_size, bin_n_samples, bin_n_variants, chunk_n_variants,
                    shared_buffers.run_start_position, shared_buffers.run_end_position,
                    bcor_start_variant, bcor_end_variant, bcor_start_position, bcor_end_position,
                    number_of_correlation_records, number_of_sample_count_records,
                    shared_buffers.total_number_of_correlations, number_of_correlations_in_file, 0,
                    accuracy);
  if (bin_n_variants != chunk_n_variants) {
    displayError("Error: File '" + bcor_file + "' is a thread-specific BCOR file!");
  }

  const bool filter = flags.incl_range && incl_range.size() >= 2;
  uint64_t position = bcor::fixed_header_size + accuracy.size();
  uint32_t n_read = 0;
  uint64_t least_next_index = 0;
  while (position < header_size && n_read < bin_n_variants) {
    std::vector<byte_t> record = readStreamToBuffer(bcor_in);
    position += 4 + record.size();
    if (position > header_size) {
      failBCORRead("is corrupt: a variant header record runs past the end of the header!");
    }
    VariantHeader header = readVariantHeaderToBuffer(record);
    // Offsets are looked up by index - first variant: an index outside the range is no BCOR data.
    if (header.index < bcor_start_variant || header.index > bcor_end_variant) {
      failBCORRead("is corrupt: a variant index lies outside the file's range of variants!");
    }
    checkVariantRecordIndex(least_next_index, header.index);
    ++n_read;
    if (filter && (header.position < incl_range[0] || header.position > incl_range[1])) continue;
    const uint32_t index = header.index;
    variant_headers[index] = std::move(header);
  }
  if (position != header_size) {
    failBCORRead("is corrupt: it holds more variant header records than variants!");
  }
  // Readers see n - 1 entries per table; a merge of several files leaves 16 more bytes after them.
  const uint64_t table_entries = bin_n_variants > 0 ? uint64_t(bin_n_variants) - 1 : 0;
  checkBCORLength(header_size, table_entries, number_of_correlation_records,
                  number_of_sample_count_records, 16);
}
