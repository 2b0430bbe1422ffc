#pragma once
// BCOR records: offset tables, correlation records and sample-count records.
#include <cstdint>
#include <string>
#include <unordered_map>

typedef std::unordered_map<uint32_t, double> CorrelationMap;
typedef std::unordered_map<uint32_t, uint32_t> SampleCountMap;

namespace bcor {

// Bytes of a correlation's stored magnitude for an accuracy word: 2 ("low"), 4 ("medium"),
// 8 ("high"), or 0 for any other word, which has no coding.
unsigned magnitudeWidth(const std::string& accuracy);

// |r| scaled to the accuracy's fixed point (2^15, 2^31, 2^63), rounded half up, clamped to the
// width. NaN stores 0.
uint64_t encodeMagnitude(double r, unsigned width);
// The signed correlation of a stored sign byte and magnitude.
double decodeCorrelation(uint8_t sign, uint64_t magnitude, unsigned width);

// The least |r| whose stored magnitude reaches the stored magnitude of `threshold`. Comparing |r|
// with it (>=) decides on the values as the file keeps them, the same way whether r is computed or
// read back. A NaN r never passes; a threshold of 0 or less lets every other value pass.
double thresholdAsStored(double threshold, unsigned width);

} // namespace bcor
