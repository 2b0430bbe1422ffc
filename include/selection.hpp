#pragma once
// Sample inclusion list, range selection, SNPTEST2 sample file and text-line validators.
//
// The plain-text inputs (sample file, sample inclusion list, variant inclusion list) are split on
// single spaces only: a tab is an ordinary character, two spaces give an empty field, one trailing
// space gives no further field. Every validator ends the process from the calling thread with its
// message and status 1 (corvane::fatalError).
#include <cstdint>
#include <istream>
#include <string>

// Reads the stream's next line, false when none is left. Every text input (.bim, .fam, sample file,
// both lists) reads its lines through here: a file saved on Windows or by a spreadsheet ends them in
// CR LF, and the carriage return belongs to the line end, not to the last field (an allele or an
// identifier that nothing could match, a header word that reads as wrong).
bool readTextLine(std::istream& stream, std::string& line);

// Next space-separated field of a one-line stream. A field of zero characters (two spaces in a
// row) is returned as ""; a stream with nothing left to take (exhausted, or an empty line) ends
// the process with the empty-input message naming file and line.
std::string readString(std::istream& line_stream, const std::string& file_name, int32_t line_number);

// Positions are unsigned 32-bit throughout (BGEN stores them so, BCOR and meta files carry them so).
constexpr uint32_t kLargestPosition = 4294967295u;

enum class PositionText { whole, not_whole, negative, beyond_largest };

// How a position field reads. The whole text must be one whole number written in decimal ("12",
// "12.0", "1e2", "1e+04", "+12", " 7"), read exactly, with no rounding: a fraction however small
// ("10000.0000000000001", "1e-400"), trailing text, no number at all, hexadecimal ("0x2710"), an
// infinity or NaN is not_whole. A whole number below 0 is negative, one above kLargestPosition
// ("4294967296", "1e400") beyond_largest; one from 0 to kLargestPosition is whole and goes to
// `position`.
PositionText readPositionText(const std::string& text, uint32_t& position);

// A whole number from 1 to 4294967295 ("12", "12.0", "1e2"); a larger whole number ends the
// process with the beyond-the-largest-position message, anything else with the non-numeric one,
// each naming text, file and line.
uint32_t convertInteger(const std::string& text, const std::string& file_name, int32_t line_number);

// The stream's next line may hold at most `maximum` columns (counting from `start`); the stream
// is then rewound to its first byte, else the process ends with the column message.
void checkLine(std::istream& stream, const std::string& file_name, int32_t start, int32_t maximum);

// The stream's next line must hold at least `minimum` columns (counting from `start`); the
// stream is then rewound to its first byte, else the process ends with the column message.
void checkLineSample(std::istream& stream, const std::string& file_name, int32_t start, int32_t minimum);

// Number of fields of one line under the single-space rule (an empty line has none).
uint32_t countSpaceFields(const std::string& line);
