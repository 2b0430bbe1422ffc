#pragma once
// Dosage standardisation, correlation products and the pair filter.
#include <Eigen/Dense>

#include <cstdint>
#include <string>

#include "corvane_serial_impl.hpp"

namespace correlation {

// counts(c) = number of non-NaN entries of column c of X; counts is resized to X's columns.
void countNonMissing(const Eigen::MatrixXd& X, Eigen::VectorXi& counts);

// Replaces the NaNs of the first n_impute columns by the mean of the column's other entries, then
// standardises every column: x := (x - mean) / sqrt(sum of (x - mean)^2 / divisor). Columns are
// handled one by one in row order, so a column's result never depends on its neighbours. A
// constant column, or one without values, becomes NaN.
void imputeAndStandardise(Eigen::MatrixXd& X, Eigen::Index n_impute, double divisor);

// The progress line of one chunk, newline included; `process` counts from 1.
std::string progressLine(uint32_t process, uint32_t chunk_number, uint32_t n_chunks,
                         const Chunk& chunk);

} // namespace correlation
