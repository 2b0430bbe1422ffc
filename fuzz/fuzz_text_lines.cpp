// Text-line validators on arbitrary bytes: the field splitter against the single-space rule, the
// integer field of a list and the position field of a .bim line (in decimal), the two column checks
// and the two header checks (a CR before the line's end is part of the end), each refusal checked for
// its exact message.
#include <algorithm>
#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "corvane.hpp"
#include "fuzz_support.hpp"
#include "selection.hpp"

using fuzzsupport::Refusal;
using fuzzsupport::fail;

namespace {

// The rule, written independently: split at every space; a trailing space opens no field.
std::vector<std::string> splitRule(const std::string& line) {
  std::vector<std::string> fields;
  if (line.empty()) return fields;
  std::string field;
  for (char c : line) {
    if (c == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (line.back() != ' ') fields.push_back(field);
  return fields;
}

void expectMessage(const Refusal& r, const std::string& expected, const char* what) {
  fuzzsupport::checkRefusal(r);
  if (r.message != expected) fail(std::string(what) + ": message [" + r.message + "] instead of [" + expected + "]");
}

void fuzzReadString(const std::string& line, const std::vector<std::string>& expected) {
  std::istringstream stream(line);
  size_t k = 0;
  try {
    for (;; ++k) {
      const std::string field = readString(stream, "list.txt", 7);
      if (k >= expected.size()) fail("readString returned more fields than the line holds");
      if (field != expected[k]) fail("readString field " + std::to_string(k) + " differs from the rule");
    }
  } catch (const Refusal& r) {
    if (k != expected.size()) fail("readString refused before the last field");
    expectMessage(r, "\n\nError: Encountered emtpy input in line 7 in list.txt!", "readString");
  }
}

// A position is written in decimal: blanks, a sign, digits with a fraction, an exponent; strtod's
// hexadecimal, infinities and NaN are not.
bool decimalRule(const std::string& text) {
  static const std::regex decimal("[ \t]*[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?");
  return std::regex_match(text, decimal);
}

// The exact number a text decimalRule accepts, found by moving its decimal point among the written
// digits (no double): its sign, whether a non-zero digit falls after the point, and the digits
// before the point without leading zeros ("" for 0).
struct Decimal {
  bool negative = false;
  bool fraction = false;
  std::string whole;
};

Decimal exactDecimal(const std::string& text) {
  Decimal d;
  size_t k = text.find_first_not_of(" \t");
  if (text[k] == '+' || text[k] == '-') d.negative = text[k++] == '-';
  std::string digits;
  int64_t point = -1;
  for (; k < text.size() && text[k] != 'e' && text[k] != 'E'; ++k) {
    if (text[k] == '.') point = static_cast<int64_t>(digits.size());
    else digits += text[k];
  }
  if (point < 0) point = static_cast<int64_t>(digits.size());
  // Past the text's length the point lies beyond every digit either way.
  const int64_t cap = static_cast<int64_t>(text.size()) + 16;
  int64_t exponent = 0;
  bool down = false;
  if (k < text.size()) {
    ++k;
    if (text[k] == '+' || text[k] == '-') down = text[k++] == '-';
    for (; k < text.size(); ++k) exponent = std::min(cap, exponent * 10 + (text[k] - '0'));
  }
  point += down ? -exponent : exponent;
  std::string before;
  std::string after;
  if (point <= 0) {
    after = digits;
  } else if (point >= static_cast<int64_t>(digits.size())) {
    before = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    before = digits.substr(0, static_cast<size_t>(point));
    after = digits.substr(static_cast<size_t>(point));
  }
  d.fraction = after.find_first_not_of('0') != std::string::npos;
  const size_t lead = before.find_first_not_of('0');
  d.whole = lead == std::string::npos ? "" : before.substr(lead);
  return d;
}

// Whole digits within 32 unsigned bits (compared as text: no conversion can overflow).
bool withinLargest(const std::string& whole) {
  return whole.size() < 10 || (whole.size() == 10 && whole <= "4294967295");
}

void fuzzConvertInteger(const std::string& text) {
  // What may pass: the whole text a decimal number, exactly whole, positive and within 32 unsigned bits.
  const bool decimal = decimalRule(text);
  const Decimal d = decimal ? exactDecimal(text) : Decimal();
  const bool number = decimal && !d.fraction && !d.whole.empty() && !d.negative;
  const bool acceptable = number && withinLargest(d.whole);
  try {
    const uint32_t n = convertInteger(text, "list.txt", 3);
    if (!acceptable) fail("convertInteger accepted [" + text + "]");
    if (std::to_string(n) != d.whole) fail("convertInteger changed the value of [" + text + "]");
  } catch (const Refusal& r) {
    if (acceptable) fail("convertInteger refused [" + text + "]");
    const std::string message =
        number ? "\n\nError: Position '" + text + "' in line 3 in list.txt is beyond the largest position (4294967295)!"
               : "\n\nError: Encountered non-numeric data '" + text + "' in line 3 in list.txt!";
    expectMessage(r, message, "convertInteger");
  }
}

void fuzzBimPosition(const std::string& text) {
  // The .bim column 4 rule: the whole text an exactly whole decimal number; negative ones, then
  // those past 32 unsigned bits, have messages of their own.
  const bool decimal = decimalRule(text);
  const Decimal d = decimal ? exactDecimal(text) : Decimal();
  const bool whole = decimal && !d.fraction;
  const bool below_zero = d.negative && !d.whole.empty();
  const bool acceptable = whole && !below_zero && withinLargest(d.whole);
  PlinkParser parser;
  parser.bim_filename = "x.bim";
  try {
    const uint32_t n = parser.convert_integer(text, 5);
    if (!acceptable) fail(".bim convert_integer accepted [" + text + "]");
    if (n == 0 ? !d.whole.empty() : std::to_string(n) != d.whole) {
      fail(".bim convert_integer changed the value of [" + text + "]");
    }
  } catch (const Refusal& r) {
    if (acceptable) fail(".bim convert_integer refused [" + text + "]");
    const std::string message =
        !whole ? "Error: Encountered non-numeric data '" + text + "' in column 4 of line 5 of file 'x.bim'!"
        : below_zero
            ? std::string("Error: Encountered negative position in column 4 of file 'x.bim'!")
            : "Error: Position '" + text + "' in column 4 of line 5 of file 'x.bim' is beyond the largest position "
                                           "(4294967295)!";
    expectMessage(r, message, ".bim convert_integer");
  }
}

void fuzzColumnChecks(const std::string& text, size_t n_fields, int32_t start, int32_t limit) {
  const int64_t count = int64_t(start) + int64_t(n_fields);
  {
    std::istringstream stream(text);
    try {
      checkLine(stream, "list.txt", start, limit);
      if (count > limit) fail("checkLine accepted too many columns");
      if (stream.tellg() != 0) fail("checkLine did not rewind its stream");
    } catch (const Refusal& r) {
      if (count <= limit) fail("checkLine refused a line within the maximum");
      expectMessage(r, "Error: Encountered " + std::to_string(count) + " column(s) in list.txt but " +
                           std::to_string(limit) + " columns are required!", "checkLine");
    }
  }
  {
    // Counting stops at the minimum, so a refusal shows the line's own count.
    std::istringstream stream(text);
    try {
      checkLineSample(stream, "samples.txt", start, limit);
      if (count < limit) fail("checkLineSample accepted too few columns");
      if (stream.tellg() != 0) fail("checkLineSample did not rewind its stream");
    } catch (const Refusal& r) {
      if (count >= limit) fail("checkLineSample refused a line with enough columns");
      expectMessage(r, "Error: Encountered " + std::to_string(count) + " column(s) in samples.txt but at least " +
                           std::to_string(limit) + " columns are required!", "checkLineSample");
    }
  }
}

void fuzzHeaders(Corvane& engine, const std::string& text, const std::vector<std::string>& fields) {
  static const char* const list_words[] = {"RSID", "position", "chromosome", "A_allele", "B_allele"};
  {
    size_t bad = fields.size();
    for (size_t k = 0; k < fields.size() && bad == fields.size(); ++k) {
      if (fields[k] != list_words[k < 4 ? k : 4]) bad = k;
    }
    std::istringstream stream(text);
    try {
      engine.readFirstLine(stream, "variants.txt");
      if (bad != fields.size()) fail("readFirstLine accepted a wrong header");
    } catch (const Refusal& r) {
      if (bad == fields.size()) fail("readFirstLine refused a right header");
      const char* word = list_words[bad < 4 ? bad : 4];
      expectMessage(r, "\nError: Encountered '" + fields[bad] + "' in place of '" + word +
                           "' in header in variants.txt!", "readFirstLine");
    }
  }
  {
    static const char* const sample_words[] = {"ID_1", "ID_2", "missing"};
    size_t bad = 3;
    for (size_t k = 0; k < fields.size() && k < 3 && bad == 3; ++k) {
      if (fields[k] != sample_words[k]) bad = k;
    }
    std::istringstream stream(text);
    try {
      engine.readTwoLinesSample(stream, "data.sample");
      if (bad != 3) fail("readTwoLinesSample accepted a wrong header");
    } catch (const Refusal& r) {
      if (bad == 3) fail("readTwoLinesSample refused a right header");
      expectMessage(r, "\n\nError: Encountered '" + fields[bad] + "' in place of '" + sample_words[bad] +
                           "' in header in data.sample!", "readTwoLinesSample");
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Shared_buffers shared(0);
  static Corvane engine(par, shared);

  // Two leading bytes choose the column checks' start and limit; the rest is the text.
  if (size < 2) return 0;
  const int32_t start = static_cast<int8_t>(data[0]);
  const int32_t limit = static_cast<int8_t>(data[1]);
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string line = text.substr(0, text.find('\n'));
  const std::vector<std::string> fields = splitRule(line);
  if (countSpaceFields(line) != fields.size()) fail("countSpaceFields differs from the rule");
  // A file's first line as the checks read it: a carriage return before its end belongs to the end.
  const std::string first_line = !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
  const std::vector<std::string> first_fields = splitRule(first_line);

  fuzzReadString(line, fields);
  fuzzConvertInteger(line);
  fuzzBimPosition(line);
  fuzzColumnChecks(text, first_fields.size(), 0, 5);
  fuzzColumnChecks(text, first_fields.size(), 0, 3);
  fuzzColumnChecks(text, first_fields.size(), start, limit);
  fuzzHeaders(engine, text, first_fields);
  return 0;
}
