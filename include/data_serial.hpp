#pragma once
// BCOR records: offset tables, correlation records and sample-count records.
#include <cstdint>
#include <unordered_map>

typedef std::unordered_map<uint32_t, double> CorrelationMap;
typedef std::unordered_map<uint32_t, uint32_t> SampleCountMap;
