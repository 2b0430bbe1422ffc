// Text-line validators, the sample inclusion list and the base-pair range selection.
#include "selection.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "corvane.hpp"
#include "fatal.hpp"

// ---------------------------------------------------------------------------------------------
// Text-line validators
// ---------------------------------------------------------------------------------------------

namespace {

// The words a header must hold, in order, with the text that follows the offending field.
const char* expectedText(const std::string& word) {
  if (word == "RSID") return "' in place of 'RSID' in header";
  if (word == "position") return "' in place of 'position' in header";
  if (word == "chromosome") return "' in place of 'chromosome' in header";
  if (word == "A_allele") return "' in place of 'A_allele' in header";
  if (word == "B_allele") return "' in place of 'B_allele' in header";
  if (word == "ID_1") return "' in place of 'ID_1' in header";
  if (word == "ID_2") return "' in place of 'ID_2' in header";
  return "' in place of 'missing' in header";
}

// Reads one line; a stream with no line left yields the empty line (no fields).
std::string nextLine(std::istream& stream) {
  std::string line;
  if (!std::getline(stream, line)) line.clear();
  return line;
}

void rewind(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::beg);
}

} // namespace

uint32_t countSpaceFields(const std::string& line) {
  if (line.empty()) return 0;
  uint32_t spaces = 0;
  for (char c : line) spaces += (c == ' ');
  // Every space ends one field; text after the last space is one more field.
  return line.back() == ' ' ? spaces : spaces + 1;
}

std::string readString(std::istream& line_stream, const std::string& file_name, int32_t line_number) {
  std::string field;
  // getline fails only when not even the delimiter could be taken: the line is used up.
  if (!std::getline(line_stream, field, ' ')) {
    corvane::fatalError("\n\nError: Encountered emtpy input in line " + std::to_string(line_number) +
                        " in " + file_name + "!");
  }
  return field;
}

int32_t convertInteger(const std::string& text, const std::string& file_name, int32_t line_number) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  // The whole text must be the number (an embedded NUL leaves text behind and is refused too);
  // whole numbers beyond the signed 32-bit range (and infinities) are refused, not wrapped.
  const bool whole_text = !text.empty() && end == begin + text.size();
  const bool ok = whole_text && errno != ERANGE && value > 0.0 && value == std::ceil(value) &&
                  value <= static_cast<double>(std::numeric_limits<int32_t>::max());
  if (!ok) {
    corvane::fatalError("\n\nError: Encountered non-numeric data '" + text + "' in line " +
                        std::to_string(line_number) + " in " + file_name + "!");
  }
  return static_cast<int32_t>(value);
}

void checkLine(std::istream& stream, const std::string& file_name, int32_t start, int32_t maximum) {
  const int64_t count = static_cast<int64_t>(start) + countSpaceFields(nextLine(stream));
  if (count > maximum) {
    corvane::fatalError("Error: Encountered " + std::to_string(count) + " column(s) in " + file_name +
                        " but " + std::to_string(maximum) + " columns are required!");
  }
  rewind(stream);
}

void checkLineSample(std::istream& stream, const std::string& file_name, int32_t start, int32_t minimum) {
  // Counting stops at the minimum, so only a short line is reported (with its own count).
  const int64_t fields = countSpaceFields(nextLine(stream));
  int64_t count = start;
  for (int64_t k = 0; k < fields && count != minimum; ++k) ++count;
  if (count < minimum) {
    corvane::fatalError("Error: Encountered " + std::to_string(count) + " column(s) in " + file_name +
                        " but at least " + std::to_string(minimum) + " columns are required!");
  }
  rewind(stream);
}

void Corvane::readFirstLine(std::istream& stream, const std::string& file_name) {
  static const char* const words[] = {"RSID", "position", "chromosome", "A_allele", "B_allele"};
  std::istringstream fields(nextLine(stream));
  std::string field;
  for (size_t k = 0; std::getline(fields, field, ' '); ++k) {
    const std::string expected = words[k < 4 ? k : 4];
    if (field != expected) {
      corvane::fatalError("\nError: Encountered '" + field + expectedText(expected) + " in " + file_name + "!");
    }
  }
}

void Corvane::readTwoLinesSample(std::istream& stream, const std::string& file_name) {
  static const char* const words[] = {"ID_1", "ID_2", "missing"};
  std::istringstream fields(nextLine(stream));
  std::string field;
  for (size_t k = 0; k < 3 && std::getline(fields, field, ' '); ++k) {
    if (field != words[k]) {
      corvane::fatalError("\n\nError: Encountered '" + field + expectedText(words[k]) + " in " + file_name + "!");
    }
  }
  // The SNPTEST2 line of column types is not checked.
  nextLine(stream);
}
