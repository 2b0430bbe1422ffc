// BCOR primitives: integers and strings in buffers and streams, record reading, opening, and the
// checked write path that every BCOR writer goes through.
#include "io_serial.hpp"
#include "output_files.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include "corvane.hpp"
#include "fatal.hpp"
#include "open_failure.hpp"

namespace {

// The caller sized a buffer wrongly or called out of order: a fault of the program, not of input.
[[noreturn]] void internalFault(const std::string& what) {
  corvane::fatalError("Error: Internal fault in the BCOR store: " + what + "!");
}

// A failed stream read of the format names the --bcor file, also while one of its per-thread
// files is being read.
[[noreturn]] void failBCORStreamRead(const std::string& bcor_file) {
  corvane::fatalError("Error: File '" + bcor_file + "' cannot be opened!");
}

} // namespace

void Corvane::requireBCORState(uint32_t expected, const char* operation) {
  if (bcor_state != expected) {
    internalFault(std::string(operation) + " called in stream state " + std::to_string(bcor_state) +
                  " instead of " + std::to_string(expected));
  }
}

void Corvane::failBCORRead(const std::string& problem) {
  const std::string& name = bcor_in_name.empty() ? bcor_file : bcor_in_name;
  corvane::fatalError("Error: File '" + name + "' " + problem);
}

void Corvane::checkPairSamples(uint32_t variant, uint32_t partner, uint32_t count) {
  if (count > bin_n_samples) {
    failBCORRead("is corrupt: the pair of variants " + std::to_string(variant) + " and " + std::to_string(partner) +
                 " has " + std::to_string(count) + " samples, more than the file's " +
                 std::to_string(bin_n_samples) + "!");
  }
}

void Corvane::checkVariantRecordIndex(uint64_t& least_next, uint32_t index) {
  if (index < least_next) {
    const uint32_t previous = static_cast<uint32_t>(least_next - 1);
    failBCORRead(index == previous
                     ? "is corrupt: two variant header records carry index " + std::to_string(index) + "!"
                     : "is corrupt: the variant header record of index " + std::to_string(index) +
                           " follows that of index " + std::to_string(previous) + "!");
  }
  least_next = uint64_t(index) + 1;
}

void Corvane::failBCORWrite(std::ostream& stream) {
  std::string name = bcor_file;
  if (&stream == &bcor_out && !bcor_out_name.empty()) {
    name = bcor_out_name;
    // The clean-up removes the partly written file.
    bcor_out.close();
  }
  corvane::fatalError("Error: File '" + name + "' cannot be written!");
}

void Corvane::writeBCORBytes(std::ostream& stream, const byte_t* data, size_t n_bytes) {
  stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n_bytes));
  if (!stream) failBCORWrite(stream);
}

void Corvane::seekBCOROut(uint64_t position) {
  // A seek flushes what is pending: a full disk shows here at the latest.
  bcor_out.seekp(static_cast<std::streamoff>(position));
  if (!bcor_out) failBCORWrite(bcor_out);
}

void Corvane::finishBCOR() {
  if (!bcor_out.is_open()) internalFault("finishBCOR without an open output");
  seekBCOROut(0);
  writeLittleEndianInteger(bcor_out, header_size);
  bcor_out.flush();
  if (!bcor_out) failBCORWrite(bcor_out);
  bcor_out.close();
  if (bcor_out.fail()) failBCORWrite(bcor_out);
  // Complete, but put in place only when the run ends with success: a merge stopped before "- Done!"
  // leaves no merged file, and a computation's set is of use only whole.
  if (!bcor_out_file.publish()) failBCORWrite(bcor_out);
  bcor_out_name.clear();
  bcor_state = finished;
}

uint64_t Corvane::bytesLeftInStream(std::istream& stream) {
  const std::streamoff position = stream.tellg();
  if (position < 0) failBCORRead("cannot be read!");
  uint64_t size = 0;
  if (&stream == &bcor_in && !bcor_in_name.empty()) {
    size = bcor_in_size;
  } else {
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    stream.seekg(position);
    if (end < 0 || !stream) failBCORRead("cannot be read!");
    size = static_cast<uint64_t>(end);
  }
  return size > static_cast<uint64_t>(position) ? size - static_cast<uint64_t>(position) : 0;
}

// ---- integers ----

template <typename IntegerType>
byte_t* Corvane::writeLittleEndianInteger(byte_t* buffer, const byte_t* end, IntegerType value) {
  if (bcor::bytesLeft(buffer, end) < sizeof(IntegerType)) {
    internalFault("record buffer too small for an integer");
  }
  bcor::storeLittleEndian(buffer, value);
  return buffer + sizeof(IntegerType);
}

template <typename IntegerType>
void Corvane::writeLittleEndianInteger(std::ostream& stream, IntegerType value) {
  byte_t bytes[sizeof(IntegerType)];
  bcor::storeLittleEndian(bytes, value);
  writeBCORBytes(stream, bytes, sizeof bytes);
}

template <typename IntegerType>
const byte_t* Corvane::readLittleEndianInteger(const byte_t* buffer, const byte_t* end,
                                               IntegerType* value) {
  if (bcor::bytesLeft(buffer, end) < sizeof(IntegerType)) {
    failBCORRead("is corrupt: a record ends inside one of its fields!");
  }
  *value = bcor::loadLittleEndian<IntegerType>(buffer);
  return buffer + sizeof(IntegerType);
}

template <typename IntegerType>
byte_t* Corvane::readLittleEndianInteger(byte_t* buffer, const byte_t* end, IntegerType* value) {
  const byte_t* next = readLittleEndianInteger(static_cast<const byte_t*>(buffer), end, value);
  return buffer + (next - buffer);
}

template <typename IntegerType>
void Corvane::readLittleEndianInteger(std::istream& stream, IntegerType* value) {
  byte_t bytes[sizeof(IntegerType)];
  stream.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  if (!stream) failBCORStreamRead(bcor_file);
  *value = bcor::loadLittleEndian<IntegerType>(bytes);
}

// ---- strings ----

template <typename IntegerType>
byte_t* Corvane::writeLengthFollowedByString(byte_t* buffer, const byte_t* end, IntegerType length,
                                             const std::string& data_string) {
  if (bcor::bytesLeft(buffer, end) < sizeof(IntegerType) + static_cast<size_t>(length)) {
    internalFault("record buffer too small for a text field");
  }
  if (length > data_string.size()) internalFault("text field length beyond its text");
  buffer = writeLittleEndianInteger(buffer, end, length);
  if (length > 0) std::memcpy(buffer, data_string.data(), length);
  return buffer + length;
}

template <typename IntegerType>
void Corvane::writeLengthFollowedByString(std::ostream& stream, IntegerType length,
                                          const std::string& data_string) {
  if (length > data_string.size()) internalFault("text field length beyond its text");
  writeLittleEndianInteger(stream, length);
  writeBCORBytes(stream, reinterpret_cast<const byte_t*>(data_string.data()), length);
}

template <typename IntegerType>
const byte_t* Corvane::readLengthFollowedByString(const byte_t* buffer, const byte_t* end,
                                                  IntegerType* length, std::string* string_ptr) {
  IntegerType n = 0;
  buffer = readLittleEndianInteger(buffer, end, &n);
  if (bcor::bytesLeft(buffer, end) < n) {
    failBCORRead("is corrupt: a text field runs past the end of its record!");
  }
  string_ptr->assign(reinterpret_cast<const char*>(buffer), n);
  *length = n;
  return buffer + n;
}

template <typename IntegerType>
byte_t* Corvane::readLengthFollowedByString(byte_t* buffer, const byte_t* end, IntegerType* length,
                                            std::string* string_ptr) {
  const byte_t* next =
      readLengthFollowedByString(static_cast<const byte_t*>(buffer), end, length, string_ptr);
  return buffer + (next - buffer);
}

template <typename IntegerType>
void Corvane::readLengthFollowedByString(std::istream& stream, IntegerType* length,
                                         std::string* string_ptr) {
  IntegerType n = 0;
  readLittleEndianInteger(stream, &n);
  if (n > bytesLeftInStream(stream)) failBCORStreamRead(bcor_file);
  std::string text(n, '\0');
  if (n > 0) {
    stream.read(&text[0], n);
    if (!stream) failBCORStreamRead(bcor_file);
  }
  *string_ptr = std::move(text);
  *length = n;
}

// ---- records and opening ----

std::vector<byte_t> Corvane::readStreamToBuffer(std::istream& stream) {
  uint32_t size = 0;
  readLittleEndianInteger(stream, &size);
  if (size > bytesLeftInStream(stream)) {
    failBCORRead("is truncated or corrupt: a record is larger than the rest of the file!");
  }
  std::vector<byte_t> buffer(size);
  if (size > 0) {
    stream.read(reinterpret_cast<char*>(buffer.data()), size);
    if (!stream) failBCORRead(stream.bad() ? "cannot be read!" : "is truncated!");
  }
  return buffer;
}

template <typename aStream>
void Corvane::openBCOR(aStream& stream, const std::string& file_name) {
  requireBCORState(not_open, "openBCOR");
  if constexpr (std::is_base_of<std::istream, aStream>::value) {
    stream.open(file_name, std::ios::in | std::ios::binary);
    if (!stream.is_open()) corvane::fatalError(corvane::openFailure(file_name));
    if (static_cast<std::istream*>(&stream) == &bcor_in) {
      bcor_in_name = file_name;
      stream.seekg(0, std::ios::end);
      const std::streamoff size = stream.tellg();
      stream.seekg(0);
      if (size < 0 || !stream) {
        corvane::fatalError("Error: File '" + file_name + "' cannot be read!");
      }
      bcor_in_size = static_cast<uint64_t>(size);
    }
  } else {
    // A new file beside the one at the end of the links, renamed onto it when the run ends with
    // success: other names of the earlier file (hard links of a snapshot tree) keep their content,
    // and a failed or stopped run takes it with it. Anything but a regular file was refused before
    // the work.
    if (!bcor_out_file.create(file_name, stream, std::ios::in | std::ios::out | std::ios::binary)) {
      corvane::fatalError(corvane::openFailure(file_name));
    }
    // A run that fails from here on must not leave the earlier file to be read as its own.
    if (!corvane::removeEarlierOutput(file_name)) {
      corvane::fatalError("Error: File '" + corvane::notedPlace(file_name).target +
                          "' from an earlier run cannot be removed!");
    }
    if (static_cast<std::ostream*>(&stream) == &bcor_out) bcor_out_name = file_name;
  }
  bcor_state = ready_for_header;
}

// ---- the instances other concerns link against ----

#define CORVANE_INTEGER_INSTANCES(T)                                                            \
  template byte_t* Corvane::writeLittleEndianInteger<T>(byte_t*, const byte_t*, T);             \
  template void Corvane::writeLittleEndianInteger<T>(std::ostream&, T);                         \
  template byte_t* Corvane::readLittleEndianInteger<T>(byte_t*, const byte_t*, T*);             \
  template const byte_t* Corvane::readLittleEndianInteger<T>(const byte_t*, const byte_t*, T*); \
  template void Corvane::readLittleEndianInteger<T>(std::istream&, T*);

CORVANE_INTEGER_INSTANCES(uint8_t)
CORVANE_INTEGER_INSTANCES(uint16_t)
CORVANE_INTEGER_INSTANCES(uint32_t)
CORVANE_INTEGER_INSTANCES(uint64_t)

#define CORVANE_STRING_INSTANCES(T)                                                               \
  template byte_t* Corvane::writeLengthFollowedByString<T>(byte_t*, const byte_t*, T,             \
                                                           const std::string&);                   \
  template void Corvane::writeLengthFollowedByString<T>(std::ostream&, T, const std::string&);    \
  template byte_t* Corvane::readLengthFollowedByString<T>(byte_t*, const byte_t*, T*,             \
                                                          std::string*);                          \
  template const byte_t* Corvane::readLengthFollowedByString<T>(const byte_t*, const byte_t*, T*, \
                                                                std::string*);                    \
  template void Corvane::readLengthFollowedByString<T>(std::istream&, T*, std::string*);

CORVANE_STRING_INSTANCES(uint16_t)
CORVANE_STRING_INSTANCES(uint32_t)

template void Corvane::openBCOR<std::ifstream>(std::ifstream&, const std::string&);
template void Corvane::openBCOR<std::ofstream>(std::ofstream&, const std::string&);
