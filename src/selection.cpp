// Text-line validators, the sample inclusion list and the base-pair range selection.
#include "selection.hpp"

#include <algorithm>
#include <limits>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <set>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "corvane.hpp"
#include "fatal.hpp"
#include "open_failure.hpp"

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
  if (!readTextLine(stream, line)) line.clear();
  return line;
}

void rewind(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::beg);
}

} // namespace

bool readTextLine(std::istream& stream, std::string& line) {
  if (!std::getline(stream, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

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

PositionText readPositionText(const std::string& text, uint32_t& position) {
  // Plain digits, as nearly every .bim line writes them: the quickest reading on each line of the scans.
  if (!text.empty() && text.size() <= 10) {
    uint64_t digits = 0;
    size_t k = 0;
    for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k) digits = 10 * digits + (text[k] - '0');
    if (k == text.size()) {
      if (digits > kLargestPosition) return PositionText::beyond_largest;
      position = static_cast<uint32_t>(digits);
      return PositionText::whole;
    }
  }
  // Any other spelling is read digit by digit, never through a double: rounding would make
  // 10000.0000000000001 whole and 1e400 no number at all. Hexadecimal, infinities and NaN, which
  // strtod would take, are no position a user writes.
  const size_t n = text.size();
  size_t k = 0;
  auto is_digit = [&](size_t i) { return i < n && text[i] >= '0' && text[i] <= '9'; };
  while (k < n && (text[k] == ' ' || text[k] == '\t')) ++k;
  bool negative = false;
  if (k < n && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
  const size_t whole_begin = k;
  while (is_digit(k)) ++k;
  const size_t whole_digits = k - whole_begin;
  size_t fraction_begin = k;
  if (k < n && text[k] == '.') fraction_begin = ++k;
  while (is_digit(k)) ++k;
  const size_t fraction_digits = k - fraction_begin;
  const size_t count = whole_digits + fraction_digits;
  if (count == 0) return PositionText::not_whole;
  // An exponent beyond the text's length plus ten decides as any larger one does (too large, or a
  // fraction), so it stops growing there and no sum below can overflow.
  const int64_t exponent_cap = static_cast<int64_t>(n) + 11;
  int64_t exponent = 0;
  if (k < n && (text[k] == 'e' || text[k] == 'E')) {
    ++k;
    bool down = false;
    if (k < n && (text[k] == '+' || text[k] == '-')) down = text[k++] == '-';
    if (!is_digit(k)) return PositionText::not_whole;
    for (; is_digit(k); ++k) exponent = std::min(exponent_cap, 10 * exponent + (text[k] - '0'));
    if (down) exponent = -exponent;
  }
  // Trailing text, a trailing blank or an embedded NUL.
  if (k != n) return PositionText::not_whole;

  // The digits of whole and fraction as one run; the number is run x 10^(exponent - fraction_digits).
  auto digit = [&](size_t i) {
    return text[i < whole_digits ? whole_begin + i : fraction_begin + (i - whole_digits)] - '0';
  };
  size_t first = 0;
  while (first < count && digit(first) == 0) ++first;
  if (first == count) {
    position = 0;  // "-0" and "0e999" too
    return PositionText::whole;
  }
  size_t end = count;
  while (digit(end - 1) == 0) --end;
  // The last significant digit is not 0, so a negative scale leaves a fraction.
  const int64_t scale = exponent - static_cast<int64_t>(fraction_digits) + static_cast<int64_t>(count - end);
  if (scale < 0) return PositionText::not_whole;
  if (negative) return PositionText::negative;
  if (static_cast<int64_t>(end - first) + scale > 10) return PositionText::beyond_largest;
  uint64_t value = 0;
  for (size_t i = first; i < end; ++i) value = 10 * value + digit(i);
  for (int64_t i = 0; i < scale; ++i) value *= 10;
  if (value > kLargestPosition) return PositionText::beyond_largest;
  position = static_cast<uint32_t>(value);
  return PositionText::whole;
}

uint32_t convertInteger(const std::string& text, const std::string& file_name, int32_t line_number) {
  uint32_t position = 0;
  const PositionText reading = readPositionText(text, position);
  if (reading == PositionText::beyond_largest) {
    corvane::fatalError("\n\nError: Position '" + text + "' in line " + std::to_string(line_number) + " in " +
                        file_name + " is beyond the largest position (" + std::to_string(kLargestPosition) + ")!");
  }
  if (reading != PositionText::whole || position == 0) {
    corvane::fatalError("\n\nError: Encountered non-numeric data '" + text + "' in line " +
                        std::to_string(line_number) + " in " + file_name + "!");
  }
  return position;
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

// ---------------------------------------------------------------------------------------------
// Sample inclusion list
// ---------------------------------------------------------------------------------------------

namespace {

// Replaces the reader's included samples by those the list names; returns how many. The reader
// needs `sample_ids` and `included_samples`, which both genotype readers have.
template <typename Reader>
uint32_t applySampleList(Corvane& engine, Reader& reader, const std::string& ids_file) {
  const std::string& list = engine.incl_samples_file;
  reader.included_samples.clear();
  std::string line;
  int32_t n = 0;
  for (; readTextLine(engine.text_in, line); ++n) {
    std::istringstream line_stream(line);
    const std::string id = readString(line_stream, list, n);
    const auto found = reader.sample_ids.find(id);
    if (found == reader.sample_ids.end()) {
      engine.displayError("\n\nError: File '" + list + "' includes a sample '" + id +
                          " that cannot be found in file '" + ids_file + "'!");
    }
    if (!reader.included_samples.insert(found->second).second) {
      engine.displayError("\n\nError: File '" + list + "' includes a duplicated sample '" + id + "!");
    }
  }
  return static_cast<uint32_t>(n);
}

} // namespace

void Corvane::readSamplesToInclude() {
  text_in.close();
  text_in.clear();
  text_in.open(incl_samples_file);
  if (!text_in.is_open()) displayError("\n\n" + corvane::openFailure(incl_samples_file));

  if (flags.bgen) {
    // BGEN input: identifiers are the sample file's ID_1 values (readSampleFile).
    bin_n_samples = applySampleList(*this, bgen_parser, sample_file);
    bgen_parser.refresh_included_samples();
  } else {
    bin_n_samples = applySampleList(*this, plink_parser, fam_file);
    plink_parser.sync_included_samples();
  }
  // A computation over no sample has nothing to correlate.
  if (bin_n_samples == 0) displayError("\n\nError: File '" + incl_samples_file + "' does not name any sample!");
  text_in.close();
  text_in.clear();
}

void Corvane::selectSamples() {
  if (is_master) {
    // The other threads wait at the barrier below: an error here ends the run from this thread.
    errors_are_local = true;
    if (flags.bgen && flags.samples) readSampleFile();
    if (flags.incl_samples) readSamplesToInclude();
    errors_are_local = false;
    const std::set<uint32_t>& kept = flags.bgen ? bgen_parser.included_samples : plink_parser.included_samples;
    shared_buffers.included_samples.assign(kept.begin(), kept.end());
    // Only the selection looks identifiers up: a large cohort's would otherwise stay to the end.
    std::unordered_map<std::string, uint32_t>().swap(flags.bgen ? bgen_parser.sample_ids : plink_parser.sample_ids);
#ifdef __GLIBC__
    // Their many small blocks lie below blocks that stay, so malloc keeps the pages unless asked.
    malloc_trim(0);
#endif
  }
#pragma omp barrier
  if (is_master) return;
  const std::vector<uint32_t>& kept = shared_buffers.included_samples;
  if (flags.bgen) {
    bgen_parser.included_samples = std::set<uint32_t>(kept.begin(), kept.end());
    bgen_parser.refresh_included_samples();
  } else {
    plink_parser.included_samples = std::set<uint32_t>(kept.begin(), kept.end());
    plink_parser.sync_included_samples();
  }
  bin_n_samples = static_cast<uint32_t>(kept.size());
}

// ---------------------------------------------------------------------------------------------
// Base-pair range
// ---------------------------------------------------------------------------------------------

void Corvane::findInclude() {
  CORVANE_CHECK(incl_range.size() == 2, "Error: --incl-range needs a start and an end coordinate!");
  const uint32_t start = incl_range[0];
  const uint32_t end = incl_range[1];
  bool found_start = false;
  bool found_end = false;
  uint32_t i = 0;
  uint32_t position = 0;
  uint32_t last_position = 0;
  std::string file_name;

  // Walks the variants in file order; a variant can be both the first and the last. The last is
  // the first variant at or past the end coordinate.
  auto visit = [&](uint32_t pos) {
    if (!found_start && pos >= start) {
      found_start = true;
      bcor_start_variant = chunk_start_variant = i;
      if (is_master) shared_buffers.run_start_position = pos;
    }
    if (!found_end && pos >= end) {
      found_end = true;
      bcor_end_variant = chunk_end_variant = i;
      if (is_master) shared_buffers.run_end_position = pos;
    }
  };

  if (flags.bgen) {
    file_name = bgen_file;
    bgen_parser.seek_to_variant(0);
    std::size_t block_offset = 0;
    std::string chromosome;
    // Variants past the declared count are not part of the file's data, as in a run without a range.
    while (!(found_start && found_end) && i < n_variants_in_file &&
           bgen_parser.read_position(position, block_offset, chromosome)) {
      bgen_parser.skip_probs();
      visit(position);
      last_position = position;
      ++i;
    }
    bgen_parser.seek_to_variant(0);
  } else {
    file_name = bim_file;
    plink_parser.rewind_bim();
    std::string chromosome;
    while (!(found_start && found_end) && plink_parser.read_position(chromosome, position)) {
      visit(position);
      last_position = position;
      ++i;
    }
    plink_parser.rewind_bim();
  }

  if (!found_start) {
    displayError("\n\nError: Position " + std::to_string(last_position) + " of last variant in file '" + file_name +
                 "' is smaller than start coordinate " + std::to_string(start) + "!");
  }
  if (!found_end) {
    bcor_end_variant = chunk_end_variant = i - 1;
    if (is_master) shared_buffers.run_end_position = last_position;
  }
  bin_n_variants = chunk_end_variant + 1 - chunk_start_variant;
}
