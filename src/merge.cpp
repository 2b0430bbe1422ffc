#include "merge.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "corvane.hpp"
#include "fatal.hpp"

namespace {

// The fixed header of one per-thread file, fields 1 to 15.
struct FileHeader {
  uint32_t header_size = 0;
  uint32_t number_of_samples = 0;
  uint32_t number_of_variants = 0;
  uint32_t number_of_variants_in_file = 0;
  uint32_t run_start_position = 0;
  uint32_t run_end_position = 0;
  uint32_t first_variant = 0;
  uint32_t last_variant = 0;
  uint32_t bcor_start_position = 0;
  uint32_t bcor_end_position = 0;
  uint32_t number_of_correlation_records = 0;
  uint32_t number_of_sample_count_records = 0;
  uint64_t total_number_of_correlations = 0;
  uint64_t number_of_correlations_in_file = 0;
  std::string accuracy;
};

std::string perThreadName(const Corvane& engine, uint32_t file_number) {
  return bcor::perThreadName(engine.bcor_file, file_number);
}

// Opens one per-thread file on bcor_in and reads its fixed header.
FileHeader openPerThreadFile(Corvane& engine, const std::string& name) {
  if (engine.bcor_in.is_open()) engine.bcor_in.close();
  engine.bcor_in.clear();
  engine.bcor_state = not_open;
  engine.openBCOR(engine.bcor_in, name);
  CORVANE_CHECK(engine.bcor_state == ready_for_header,
                "Error: File '" + name + "' was not opened for reading!");
  FileHeader h;
  engine.readMinimalHeader(h.header_size, h.number_of_samples, h.number_of_variants,
                           h.number_of_variants_in_file, h.run_start_position, h.run_end_position,
                           h.first_variant, h.last_variant, h.bcor_start_position,
                           h.bcor_end_position, h.number_of_correlation_records,
                           h.number_of_sample_count_records, h.total_number_of_correlations,
                           h.number_of_correlations_in_file, 0, h.accuracy);
  return h;
}

// Entries of each offset table of per-thread file i of n: its share, one fewer in the run's last
// file, whose last variant has no later partner.
uint64_t perThreadTableEntries(const FileHeader& h, uint32_t i, uint32_t n) {
  uint64_t m = h.number_of_variants_in_file;
  if (i == n && m > 0) --m;
  return m;
}

// An entry of a sample-count record: the partner's index and the pair's number of samples.
constexpr uint64_t sample_count_entry = 8;

// Copies `count` size-prefixed data records from bcor_in to the end of the merged file and notes
// each one's offset in `table`. Readers of the merged file see only its first `table_entries`
// entries. A record's size must match its number of entries of `entry_size` bytes: a file read
// out of step (a damaged file, or files named out of their threads' order) is refused here rather
// than copied into a merged file that only fails when read; so is a pair counting more samples than
// the files hold.
void copyDataRecords(Corvane& engine, const std::string& name, uint32_t count,
                     std::vector<uint64_t>& table, uint64_t table_entries, const char* kind,
                     uint64_t entry_size) {
  if (count == 0) return;
  const std::streamoff start = engine.bcor_out.tellp();
  if (start < 0) engine.failBCORWrite(engine.bcor_out);
  uint64_t position = static_cast<uint64_t>(start);
  for (uint32_t r = 0; r < count; ++r) {
    const std::vector<byte_t> record = engine.readStreamToBuffer(engine.bcor_in);
    if (record.size() < 8) {
      engine.failBCORRead("is corrupt: a " + std::string(kind) + " record of " +
                          std::to_string(record.size()) + " bytes is too short to be one!");
    }
    uint32_t variant = 0;
    uint32_t n_entries = 0;
    const byte_t* end = record.data() + record.size();
    engine.readLittleEndianInteger(engine.readLittleEndianInteger(record.data(), end, &variant), end, &n_entries);
    if (record.size() != 8 + static_cast<uint64_t>(n_entries) * entry_size) {
      engine.failBCORRead("is corrupt: a " + std::string(kind) +
                          " record's size does not match its number of entries!");
    }
    if (entry_size == sample_count_entry) {
      for (const byte_t* p = record.data() + 8; p != end; p += 8) {
        engine.checkPairSamples(variant, bcor::loadLittleEndian<uint32_t>(p), bcor::loadLittleEndian<uint32_t>(p + 4));
      }
    }
    const uint64_t k = static_cast<uint64_t>(variant) - engine.bcor_start_variant;
    if (variant < engine.bcor_start_variant || k >= table_entries) {
      engine.displayError("Error: File '" + name + "' holds a " + kind + " record of variant " +
                          std::to_string(variant) + ", outside the offset tables of the run (variants " +
                          std::to_string(engine.bcor_start_variant) + " to " +
                          std::to_string(engine.bcor_start_variant + table_entries) + ")!");
    }
    if (table[k] != 0) {
      engine.displayError("Error: Variant " + std::to_string(variant) + " has more than one " + kind +
                          " record in the BCOR files to merge!");
    }
    table[k] = position;
    engine.writeLittleEndianInteger(engine.bcor_out, static_cast<uint32_t>(record.size()));
    engine.writeBCORBytes(engine.bcor_out, record.data(), record.size());
    position += 4 + record.size();
  }
}

} // namespace

template <typename IntegerType>
void Corvane::doAssertCommonInts(std::string&& name, IntegerType& member, const IntegerType& file_value) {
  if (member == 0) {
    member = file_value;
  } else if (member != file_value) {
    displayError("Error: " + name + " is not the same in each BCOR file!");
  }
}

template void Corvane::doAssertCommonInts<uint32_t>(std::string&&, uint32_t&, const uint32_t&);
template void Corvane::doAssertCommonInts<uint64_t>(std::string&&, uint64_t&, const uint64_t&);

void Corvane::doAssertCommonStrings(std::string&& name, std::string& member, const std::string& file_value) {
  if (member.empty()) {
    member = file_value;
  } else if (member != file_value) {
    displayError("Error: " + name + " is not the same in each BCOR file!");
  }
}

void Corvane::assertCommonValues(uint32_t file_run_start_position, uint32_t file_run_end_position,
                                 uint32_t file_first_variant, uint32_t file_last_variant,
                                 uint32_t file_number_of_samples, uint32_t file_number_of_variants,
                                 uint64_t file_total_number_of_correlations,
                                 const std::string& file_accuracy) {
  doAssertCommonInts<uint32_t>("Start genomic position", bcor_start_position, file_run_start_position);
  doAssertCommonInts<uint32_t>("End genomic position", bcor_end_position, file_run_end_position);
  doAssertCommonInts<uint32_t>("First variant", bcor_start_variant, file_first_variant);
  doAssertCommonInts<uint32_t>("Last variant", bcor_end_variant, file_last_variant);
  doAssertCommonInts<uint32_t>("Number of samples", bin_n_samples, file_number_of_samples);
  doAssertCommonInts<uint32_t>("Number of variants", bin_n_variants, file_number_of_variants);
  doAssertCommonInts<uint64_t>("Total number of correlations", number_of_correlations_in_file,
                               file_total_number_of_correlations);
  doAssertCommonStrings("Accuracy", accuracy, file_accuracy);
}

void Corvane::readVariantHeaderFromMaster() {
  // 64-bit sums: a wrapped sum must not pass for the run's count.
  uint64_t sum_of_shares = 0;
  uint64_t sum_of_pairs = 0;
  uint64_t sum_of_correlation_records = 0;
  uint64_t sum_of_sample_count_records = 0;
  // Lowest and highest variant of every file with variants, by file number: the tables of the
  // last file are one entry shorter, so the files must come in the order of their threads.
  struct FileRange {
    uint32_t file_number;
    uint32_t lowest;
    uint32_t highest;
  };
  std::vector<FileRange> file_ranges;

  for (uint32_t i = 1; i <= n_processes; ++i) {
    const std::string name = perThreadName(*this, i);
    const FileHeader h = openPerThreadFile(*this, name);
    assertCommonValues(h.run_start_position, h.run_end_position, h.first_variant, h.last_variant,
                       h.number_of_samples, h.number_of_variants, h.total_number_of_correlations,
                       h.accuracy);
    sum_of_correlation_records += h.number_of_correlation_records;
    sum_of_sample_count_records += h.number_of_sample_count_records;
    sum_of_shares += h.number_of_variants_in_file;
    sum_of_pairs += h.number_of_correlations_in_file;

    uint64_t position = bcor::fixed_header_size + static_cast<uint64_t>(h.accuracy.size());
    uint32_t j = 0;
    uint64_t least_next_index = 0;
    while (j < h.number_of_variants_in_file && position < h.header_size) {
      std::vector<byte_t> record = readStreamToBuffer(bcor_in);
      position += 4 + record.size();
      VariantHeader variant = readVariantHeaderToBuffer(record);
      checkVariantRecordIndex(least_next_index, variant.index);
      if (variant.position == 0) {
        displayError("Error: Variant '" + variant.RSID + "' in file '" + name + "' has position 0!");
      }
      if (variant.position < bcor_start_position || variant.position > bcor_end_position) {
        displayError("Error: Variant '" + variant.RSID + "' in file '" + name + "' lies at position " +
                     std::to_string(variant.position) + ", outside the genomic range " +
                     std::to_string(bcor_start_position) + "-" + std::to_string(bcor_end_position) +
                     " of the BCOR files to merge!");
      }
      const uint32_t index = variant.index;
      variant_headers[index] = std::move(variant);
      if (j == 0) file_ranges.push_back(FileRange{i, index, index});
      file_ranges.back().lowest = std::min(file_ranges.back().lowest, index);
      file_ranges.back().highest = std::max(file_ranges.back().highest, index);
      ++j;
    }
    // The merged header takes its records from here: a file that holds more or fewer than it
    // announces would leave the merged file inconsistent. Records past the announced count are
    // counted, so that the message tells what the file holds.
    uint64_t held = j;
    while (position < h.header_size) {
      position += 4 + readStreamToBuffer(bcor_in).size();
      ++held;
    }
    if (position != h.header_size) {
      displayError("Error: File '" + name +
                   "' is corrupt: its variant header records do not end where its header ends!");
    }
    if (held != h.number_of_variants_in_file) {
      displayError("Error: File '" + name + "' holds " + std::to_string(held) +
                   " variant records, but its header announces " +
                   std::to_string(h.number_of_variants_in_file) + "!");
    }
    bcor_in.close();
  }

  if (sum_of_shares != bin_n_variants) {
    displayError("Error: Number of read variants is not equal to total number of variants operated on!");
  }
  if (sum_of_pairs != number_of_correlations_in_file) {
    displayError("Error: Number of read correlations is not equal to total number of computed correlations!");
  }
  if (variant_headers.empty()) {
    displayError("Error: The BCOR files to merge hold no variant!");
  }
  if (variant_headers.size() != bin_n_variants) {
    displayError("Error: A variant is stored in more than one of the BCOR files to merge!");
  }
  // Entry k of the merged tables belongs to variant first_variant + k.
  const uint32_t smallest = variant_headers.begin()->first;
  const uint32_t largest = variant_headers.rbegin()->first;
  if (smallest < bcor_start_variant ||
      static_cast<uint64_t>(largest) - bcor_start_variant >= bin_n_variants) {
    displayError("Error: The variants of the BCOR files to merge (" + std::to_string(smallest) + " to " +
                 std::to_string(largest) + ") do not match the run's first variant " +
                 std::to_string(bcor_start_variant) + " and its " + std::to_string(bin_n_variants) +
                 " variants!");
  }
  // The merged file's readers take the run's last variant as the end of its range.
  if (largest > bcor_end_variant) {
    displayError("Error: The variants of the BCOR files to merge (" + std::to_string(smallest) + " to " +
                 std::to_string(largest) + ") lie beyond the run's last variant " +
                 std::to_string(bcor_end_variant) + "!");
  }
  for (size_t k = 1; k < file_ranges.size(); ++k) {
    if (file_ranges[k].lowest <= file_ranges[k - 1].highest) {
      displayError("Error: The BCOR files to merge are not numbered in the order of their threads: file '" +
                   perThreadName(*this, file_ranges[k].file_number) + "' holds variants before those of file '" +
                   perThreadName(*this, file_ranges[k - 1].file_number) + "'!");
    }
  }
  if (sum_of_correlation_records >= bin_n_variants || sum_of_sample_count_records >= bin_n_variants) {
    displayError("Error: The BCOR files to merge hold more data records than variants with partners!");
  }
  // A cut or lengthened file is refused before the merged file exists. The table sizes depend on
  // which file is the last, so this comes after the checks that the files form one run in order.
  for (uint32_t i = 1; i <= n_processes; ++i) {
    const FileHeader h = openPerThreadFile(*this, perThreadName(*this, i));
    checkBCORLength(h.header_size, perThreadTableEntries(h, i, n_processes), h.number_of_correlation_records,
                    h.number_of_sample_count_records, 0);
    bcor_in.close();
  }
  number_of_correlation_records = static_cast<uint32_t>(sum_of_correlation_records);
  number_of_sample_count_records = static_cast<uint32_t>(sum_of_sample_count_records);

  shared_buffers.run_start_position = bcor_start_position;
  shared_buffers.run_end_position = bcor_end_position;
  shared_buffers.total_number_of_correlations = number_of_correlations_in_file;

  chunk_n_variants = static_cast<uint32_t>(sum_of_shares);
  chunk_start_variant = smallest;
  chunk_end_variant = largest + 1;
  bcor_state = not_open;
}

void Corvane::readWriteVariantDataFromMaster() {
  // Readers of the merged file see n - 1 entries per table, n being the run's variants.
  const uint64_t table_entries = bin_n_variants == 0 ? 0 : static_cast<uint64_t>(bin_n_variants) - 1;
  CORVANE_CHECK(correlation_offsets.size() >= table_entries && sample_count_offsets.size() >= table_entries,
                "Error: The offset tables of file '" + bcor_file + "' were not prepared!");

  const unsigned width = bcor::magnitudeWidth(accuracy);
  for (uint32_t i = 1; i <= n_processes; ++i) {
    std::cout << "\r- Merging files                 : " << i << "/" << n_processes << std::flush;
    const std::string name = perThreadName(*this, i);
    const FileHeader h = openPerThreadFile(*this, name);
    const uint64_t m = perThreadTableEntries(h, i, n_processes);
    bcor_in.seekg(static_cast<std::streamoff>(h.header_size + 16 * m));
    if (!bcor_in) failBCORRead("cannot be read!");
    if (width == 0 && h.number_of_correlation_records > 0) {
      failBCORRead("has an unknown accuracy '" + accuracy + "'!");
    }
    copyDataRecords(*this, name, h.number_of_correlation_records, correlation_offsets, table_entries,
                    "correlation", 5 + width);
    copyDataRecords(*this, name, h.number_of_sample_count_records, sample_count_offsets, table_entries,
                    "sample-count", sample_count_entry);
    bcor_in.close();
  }

  // The first n - 1 correlation entries, then the whole sample-count table: with two or more files
  // its spare last entry and 8 bytes of the placeholders stay behind as zeros.
  seekBCOROut(header_size);
  writeOffsetTable(correlation_offsets, static_cast<size_t>(table_entries));
  writeOffsetTable(sample_count_offsets);
  // Only now does the merged file get its header size: an interrupted merge is never read as whole.
  finishBCOR();
  std::cout << std::endl;
}
