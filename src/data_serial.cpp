// BCOR records: offset tables, correlation and sample-count records, the quantisation of r.
#include "data_serial.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "corvane.hpp"
#include "fatal.hpp"

namespace bcor {

unsigned magnitudeWidth(const std::string& accuracy) {
  if (accuracy == "low") return 2;
  if (accuracy == "medium") return 4;
  if (accuracy == "high") return 8;
  return 0;
}

uint64_t encodeMagnitude(double r, unsigned width) {
  const double a = std::fabs(r);
  if (!(a >= 0.0)) return 0; // NaN
  switch (width) {
    case 2: {
      const double q = a * 32768.0; // 2^15
      return q > 65535.0 ? 65535u : static_cast<uint64_t>(std::floor(q + 0.5));
    }
    case 4: {
      const double q = a * 2147483648.0; // 2^31
      return q > 4294967295.0 ? 4294967295u : static_cast<uint64_t>(std::floor(q + 0.5));
    }
    default: {
      const double q = a * 9223372036854775808.0; // 2^63
      return q >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(std::floor(q + 0.5));
    }
  }
}

double decodeCorrelation(uint8_t sign, uint64_t magnitude, unsigned width) {
  const int scale = width == 2 ? -15 : width == 4 ? -31 : -63;
  const double r = std::ldexp(static_cast<double>(magnitude), scale);
  return sign != 0 ? r : -r;
}

double thresholdAsStored(double threshold, unsigned width) {
  if (!(threshold > 0.0)) return threshold;
  // The encoding never decreases with |r|, and the bit patterns of non-negative doubles are in the
  // order of their values: bisect the patterns up to the threshold's own with the encoder itself,
  // so the rounding is exactly the file's.
  const uint64_t target = encodeMagnitude(threshold, width);
  uint64_t low = 0, high = 0;
  std::memcpy(&high, &threshold, sizeof high);
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    double value = 0.0;
    std::memcpy(&value, &middle, sizeof value);
    if (encodeMagnitude(value, width) >= target) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  double least = 0.0;
  std::memcpy(&least, &high, sizeof least);
  return least;
}

} // namespace bcor

namespace {

constexpr size_t entry_head = 5; // partner index and sign byte

// The record's size is fixed before the loop, so entries go in without per-field checks.
template <typename MagnitudeType>
byte_t* putCorrelations(byte_t* p, const CorrelationMap& correlation_map) {
  for (const auto& entry : correlation_map) {
    bcor::storeLittleEndian<uint32_t>(p, entry.first);
    p[4] = entry.second >= 0.0 ? 1 : 0;
    bcor::storeLittleEndian<MagnitudeType>(
        p + entry_head,
        static_cast<MagnitudeType>(bcor::encodeMagnitude(entry.second, sizeof(MagnitudeType))));
    p += entry_head + sizeof(MagnitudeType);
  }
  return p;
}

template <typename MagnitudeType>
const byte_t* getCorrelations(const byte_t* p, uint32_t n, CorrelationMap& correlation_map) {
  for (uint32_t e = 0; e < n; ++e) {
    const uint32_t partner = bcor::loadLittleEndian<uint32_t>(p);
    const uint64_t magnitude = bcor::loadLittleEndian<MagnitudeType>(p + entry_head);
    correlation_map[partner] = bcor::decodeCorrelation(p[4], magnitude, sizeof(MagnitudeType));
    p += entry_head + sizeof(MagnitudeType);
  }
  return p;
}

constexpr size_t table_block = 8192; // entries encoded per write

// Sizes a record of n entries behind its 4-byte size prefix and writes the prefix, the variant's
// index and n; returns where the entries go.
byte_t* startRecord(Corvane& engine, uint32_t index, uint64_t n, uint64_t entry_width, const char* what,
                    std::vector<byte_t>& prefixed_record) {
  const uint64_t size = 8 + n * entry_width;
  if (size > UINT32_MAX) {
    corvane::fatalError(std::string("Error: The ") + what + " of variant " +
                        std::to_string(uint64_t(index) + 1) +
                        " are too many to be stored in one record!");
  }
  prefixed_record.resize(4 + size);
  byte_t* p = prefixed_record.data();
  const byte_t* end = p + prefixed_record.size();
  p = engine.writeLittleEndianInteger(p, end, static_cast<uint32_t>(size));
  p = engine.writeLittleEndianInteger(p, end, index);
  return engine.writeLittleEndianInteger(p, end, static_cast<uint32_t>(n));
}

// Offset of the last record that a table of `entries` entries at `start` points at, read from the
// table's end in blocks; 0 when it points at none. Writers put each table's records in the order of
// its variants, so the last entry that is not 0 is found in the first block; `whole` reads every
// entry for the largest, whatever the order.
uint64_t lastTableEntry(Corvane& engine, uint64_t start, uint64_t entries, bool whole) {
  constexpr uint64_t scan_block = 512;
  std::vector<byte_t> block(8 * std::min<uint64_t>(entries, scan_block));
  uint64_t largest = 0;
  for (uint64_t first = entries; first > 0;) {
    const uint64_t n = std::min<uint64_t>(scan_block, first);
    first -= n;
    engine.bcor_in.seekg(static_cast<std::streamoff>(start + 8 * first));
    engine.bcor_in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(8 * n));
    if (!engine.bcor_in) engine.failBCORRead("cannot be read!");
    for (uint64_t k = n; k-- > 0;) {
      const uint64_t offset = bcor::loadLittleEndian<uint64_t>(&block[8 * k]);
      if (offset == 0) continue;
      if (!whole) return offset;
      largest = std::max(largest, offset);
    }
  }
  return largest;
}

// Where the record whose size prefix lies at `offset` ends; UINT64_MAX when the prefix lies past
// the end of the file.
uint64_t recordEnd(Corvane& engine, uint64_t offset, uint64_t records_start) {
  if (offset < records_start) {
    engine.failBCORRead("is corrupt: an offset table entry points before the records!");
  }
  if (engine.bcor_in_size < 4 || offset > engine.bcor_in_size - 4) return UINT64_MAX;
  byte_t prefix[4];
  engine.bcor_in.seekg(static_cast<std::streamoff>(offset));
  engine.bcor_in.read(reinterpret_cast<char*>(prefix), sizeof prefix);
  if (!engine.bcor_in) engine.failBCORRead("cannot be read!");
  return offset + 4 + bcor::loadLittleEndian<uint32_t>(prefix);
}

} // namespace

void Corvane::checkBCORLength(uint32_t file_header_size, uint64_t table_entries,
                              uint32_t correlation_records, uint32_t sample_count_records,
                              uint64_t spare_bytes) {
  const uint64_t correlation_table = file_header_size;
  const uint64_t sample_count_table = correlation_table + 8 * table_entries;
  const uint64_t records_start = sample_count_table + 8 * table_entries;
  if (records_start > bcor_in_size) failBCORRead("is truncated!");

  uint64_t end = records_start;
  if (correlation_records > 0 || sample_count_records > 0) {
    auto lastRecord = [&](bool whole) {
      uint64_t last = 0;
      if (correlation_records > 0) {
        last = lastTableEntry(*this, correlation_table, table_entries, whole);
        if (last == 0) {
          failBCORRead("is corrupt: its header counts correlation records, but its offset table holds none!");
        }
      }
      if (sample_count_records > 0) {
        const uint64_t entry = lastTableEntry(*this, sample_count_table, table_entries, whole);
        if (entry == 0) {
          failBCORRead("is corrupt: its header counts sample-count records, but its offset table holds none!");
        }
        last = std::max(last, entry);
      }
      return last;
    };
    end = recordEnd(*this, lastRecord(false), records_start);
    // Only a file about to be refused, or one not written in variant order, pays for whole tables.
    if (end != bcor_in_size) end = recordEnd(*this, lastRecord(true), records_start);
  } else if (bcor_in_size > records_start && bcor_in_size - records_start <= spare_bytes) {
    // The spare bytes that a merge of several files leaves are zeros. Without a record to place the
    // end, a whole file may end before or after them: any other byte there was added, and zeros
    // short of the whole spare are a cut. (A file cut by exactly its spare bytes, or one with that
    // many zeros added, is byte for byte the other layout, and reads as what it was.)
    const uint64_t tail = bcor_in_size - records_start;
    std::vector<byte_t> spare(static_cast<size_t>(tail));
    bcor_in.seekg(static_cast<std::streamoff>(records_start));
    bcor_in.read(reinterpret_cast<char*>(spare.data()), static_cast<std::streamsize>(tail));
    if (!bcor_in) failBCORRead("cannot be read!");
    const bool zeros = std::all_of(spare.begin(), spare.end(), [](byte_t b) { return b == 0; });
    end = zeros ? records_start + spare_bytes : records_start;
  }
  if (end > bcor_in_size) failBCORRead("is truncated!");
  if (end < bcor_in_size) failBCORRead("is corrupt: it is longer than its header and offset tables say!");
  bcor_in.seekg(file_header_size);
  if (!bcor_in) failBCORRead("cannot be read!");
}

void Corvane::buildCorrelationRecord(uint32_t index, const CorrelationMap& correlation_map,
                                     unsigned width, std::vector<byte_t>& prefixed_record) {
  byte_t* p = startRecord(*this, index, correlation_map.size(), entry_head + width, "correlations",
                          prefixed_record);
  const byte_t* end = prefixed_record.data() + prefixed_record.size();
  switch (width) {
    case 2: p = putCorrelations<uint16_t>(p, correlation_map); break;
    case 4: p = putCorrelations<uint32_t>(p, correlation_map); break;
    case 8: p = putCorrelations<uint64_t>(p, correlation_map); break;
    default:
      corvane::fatalError("Error: Accuracy '" + accuracy + "' has no coding for correlations!");
  }
  if (p != end)
    corvane::fatalError("Error: Internal fault in the BCOR store: correlation record size!");
}

void Corvane::buildSampleCountRecord(uint32_t index, const SampleCountMap& sample_count_map,
                                     std::vector<byte_t>& prefixed_record) {
  byte_t* p = startRecord(*this, index, sample_count_map.size(), 8, "sample counts", prefixed_record);
  const byte_t* end = prefixed_record.data() + prefixed_record.size();
  for (const auto& entry : sample_count_map) {
    bcor::storeLittleEndian<uint32_t>(p, entry.first);
    bcor::storeLittleEndian<uint32_t>(p + 4, entry.second);
    p += 8;
  }
  if (p != end)
    corvane::fatalError("Error: Internal fault in the BCOR store: sample-count record size!");
}

std::vector<byte_t> Corvane::writeVariantDataToBuffer(uint32_t index,
                                                      const CorrelationMap& correlation_map) {
  std::vector<byte_t> prefixed;
  buildCorrelationRecord(index, correlation_map, bcor::magnitudeWidth(accuracy), prefixed);
  return std::vector<byte_t>(prefixed.begin() + 4, prefixed.end());
}

std::vector<byte_t> Corvane::writeVariantDataToBuffer(uint32_t index,
                                                      const SampleCountMap& sample_count_map) {
  std::vector<byte_t> prefixed;
  buildSampleCountRecord(index, sample_count_map, prefixed);
  return std::vector<byte_t>(prefixed.begin() + 4, prefixed.end());
}

void Corvane::writeOffsetTable(const std::vector<uint64_t>& table, size_t n_entries) {
  const size_t count = std::min(n_entries, table.size());
  std::vector<byte_t> block(8 * std::min(count, table_block));
  for (size_t first = 0; first < count; first += table_block) {
    const size_t n = std::min(table_block, count - first);
    for (size_t k = 0; k < n; ++k)
      bcor::storeLittleEndian<uint64_t>(&block[8 * k], table[first + k]);
    writeBCORBytes(bcor_out, block.data(), 8 * n);
  }
}

template <typename MapType>
void Corvane::writeDataRecords(const std::map<uint32_t, MapType>& records,
                               std::vector<uint64_t>& table, unsigned width) {
  if (records.empty()) return;
  const std::streamoff start = bcor_out.tellp();
  if (start < 0) failBCORWrite(bcor_out);
  uint64_t position = static_cast<uint64_t>(start);
  std::vector<byte_t> prefixed;
  for (const auto& entry : records) {
    const uint32_t index = entry.first;
    if (index < chunk_start_variant || index - chunk_start_variant >= table.size()) {
      corvane::fatalError("Error: Internal fault in the BCOR store: variant " +
                          std::to_string(uint64_t(index) + 1) +
                          " has a record but no entry in the offset tables of file '" +
                          bcor_out_name + "'!");
    }
    if constexpr (std::is_same<MapType, CorrelationMap>::value) {
      buildCorrelationRecord(index, entry.second, width, prefixed);
    } else {
      (void)width;
      buildSampleCountRecord(index, entry.second, prefixed);
    }
    table[index - chunk_start_variant] = position;
    writeBCORBytes(bcor_out, prefixed.data(), prefixed.size());
    position += prefixed.size();
  }
}

void Corvane::writeVariantOffset() {
  requireBCORState(ready_for_offsets, "writeVariantOffset");
  // The run's last variant has no later partner, so the last file has no entry for it; an
  // empty share gets empty tables.
  const bool last_file = uint64_t(process_number) + 1 == n_processes;
  const size_t entries =
      last_file ? (chunk_n_variants > 0 ? chunk_n_variants - 1 : 0) : chunk_n_variants;
  correlation_offsets.assign(entries, 0);
  sample_count_offsets.assign(entries, 0);
  writeOffsetTable(correlation_offsets);
  writeOffsetTable(sample_count_offsets);
  bcor_state = ready_for_correlations;
}

void Corvane::writeVariantDataCorr() {
  if (!bcor_out.is_open()) {
    corvane::fatalError(
        "Error: Internal fault in the BCOR store: records written before the header!");
  }
  bcor_state = ready_for_correlations;
  const unsigned width = bcor::magnitudeWidth(accuracy);
  if (!correlations.empty() && width == 0) {
    corvane::fatalError("Error: Accuracy '" + accuracy + "' has no coding for correlations!");
  }
  writeDataRecords(correlations, correlation_offsets, width);
  seekBCOROut(header_size);
  writeOffsetTable(correlation_offsets);
  bcor_out.seekp(0, std::ios::end);
  if (!bcor_out) failBCORWrite(bcor_out);
  bcor_state = ready_for_number_of_samples;
}

void Corvane::writeVariantDataNumberOfSamples() {
  if (!bcor_out.is_open()) {
    corvane::fatalError(
        "Error: Internal fault in the BCOR store: records written before the header!");
  }
  bcor_state = ready_for_number_of_samples;
  // The program's one unnamed critical section: threads write these records one at a time.
#pragma omp critical
  { writeDataRecords(sample_counts, sample_count_offsets, 0); }
  seekBCOROut(uint64_t(header_size) + 8 * uint64_t(correlation_offsets.size()));
  writeOffsetTable(sample_count_offsets);
  finishBCOR();
}

void Corvane::readVariantOffset() {
  bcor_state = ready_for_offsets;
  const uint64_t entries = bin_n_variants > 0 ? uint64_t(bin_n_variants) - 1 : 0;
  const uint64_t records_start = uint64_t(header_size) + 16 * entries;
  if (records_start > bcor_in_size) failBCORRead("is truncated!");
  bcor_in.seekg(header_size);
  if (!bcor_in) failBCORRead("cannot be read!");

  std::vector<byte_t> block(8 * std::min<uint64_t>(entries, table_block));
  auto readTable = [&](std::vector<uint64_t>& table) {
    table.assign(entries, 0);
    for (uint64_t first = 0; first < entries; first += table_block) {
      const uint64_t n = std::min<uint64_t>(table_block, entries - first);
      bcor_in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(8 * n));
      if (!bcor_in) failBCORRead(bcor_in.bad() ? "cannot be read!" : "is truncated!");
      for (uint64_t k = 0; k < n; ++k) {
        const uint64_t offset = bcor::loadLittleEndian<uint64_t>(&block[8 * k]);
        // A record's size prefix lies after the tables and inside the file.
        if (offset != 0 && offset < records_start) {
          failBCORRead("is corrupt: an offset table entry points before the records!");
        }
        if (offset != 0 && (bcor_in_size < 4 || offset > bcor_in_size - 4)) {
          failBCORRead(
              "is truncated or corrupt: an offset table entry points past the end of the file!");
        }
        table[first + k] = offset;
      }
    }
  };
  readTable(correlation_offsets);
  readTable(sample_count_offsets);
  bcor_state = ready_for_correlations;
}

CorrelationMap Corvane::readVariantCorrFromBuffer(std::vector<byte_t>&& buffer) {
  const byte_t* p = buffer.data();
  const byte_t* end = p + buffer.size();
  uint32_t index = 0;
  uint32_t n = 0;
  p = readLittleEndianInteger(p, end, &index);
  p = readLittleEndianInteger(p, end, &n);
  const unsigned width = bcor::magnitudeWidth(accuracy);
  if (width == 0) failBCORRead("has an unknown accuracy '" + accuracy + "'!");
  // Checked before anything is reserved: n comes from the file.
  if (bcor::bytesLeft(p, end) != uint64_t(n) * (entry_head + width)) {
    failBCORRead("is corrupt: a correlation record's size does not match its number of entries!");
  }
  CorrelationMap correlation_map;
  correlation_map.reserve(n);
  switch (width) {
    case 2: p = getCorrelations<uint16_t>(p, n, correlation_map); break;
    case 4: p = getCorrelations<uint32_t>(p, n, correlation_map); break;
    default: p = getCorrelations<uint64_t>(p, n, correlation_map); break;
  }
  if (p != end) failBCORRead("is corrupt: a correlation record is longer than its entries!");
  return correlation_map;
}

SampleCountMap Corvane::readVariantNumberOfSamplesFromBuffer(std::vector<byte_t>&& buffer) {
  const byte_t* p = buffer.data();
  const byte_t* end = p + buffer.size();
  uint32_t index = 0;
  uint32_t n = 0;
  p = readLittleEndianInteger(p, end, &index);
  p = readLittleEndianInteger(p, end, &n);
  if (bcor::bytesLeft(p, end) != uint64_t(n) * 8) {
    failBCORRead("is corrupt: a sample-count record's size does not match its number of entries!");
  }
  SampleCountMap sample_count_map;
  sample_count_map.reserve(n);
  for (uint32_t e = 0; e < n; ++e) {
    const uint32_t partner = bcor::loadLittleEndian<uint32_t>(p);
    const uint32_t count = bcor::loadLittleEndian<uint32_t>(p + 4);
    checkPairSamples(index, partner, count);
    sample_count_map[partner] = count;
    p += 8;
  }
  if (p != end) failBCORRead("is corrupt: a sample-count record is longer than its entries!");
  return sample_count_map;
}
