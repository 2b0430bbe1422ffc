#pragma once
// Dosage standardisation, correlation products and the pair filter.
#include <Eigen/Dense>

#include <cstdint>
#include <string>

#include "correlation_kernel.hpp"
#include "corvane_serial_impl.hpp"

namespace correlation {

// counts(c) = number of non-NaN entries of column c of X; counts is resized to X's columns.
void countNonMissing(const Eigen::MatrixXd& X, Eigen::VectorXi& counts);
// The same for columns [c0, c1) only; counts already holds at least c1 entries.
void countNonMissing(const Eigen::MatrixXd& X, Eigen::Index c0, Eigen::Index c1, Eigen::VectorXi& counts);

// Replaces the NaNs of the first n_impute columns by the mean of the column's other entries, then
// standardises every column: x := (x - mean) / sqrt(sum of (x - mean)^2 / divisor). Columns are
// handled one by one in row order, so a column's result never depends on its neighbours. A
// constant column, or one without values, becomes NaN.
void imputeAndStandardise(Eigen::MatrixXd& X, Eigen::Index n_impute, double divisor);
// The same for columns [c0, c1) only (imputing those below n_impute).
void imputeAndStandardise(Eigen::MatrixXd& X, Eigen::Index c0, Eigen::Index c1, Eigen::Index n_impute,
                          double divisor);

// C(a, b) = sum over k of A(k, a) * B(k, b), for a < n_a and b < n_b; C must be n_a x n_b. With
// `upper` only the entries with a < b are needed (the others may hold anything). Every entry is
// summed in one fixed order, whatever the shapes and wherever the columns sit in A and B: the depth
// in blocks of crossProductBlock, each block in four interleaved lanes added as ((0 + 1) + (2 + 3))
// plus the block's last depth % 4 terms in order, the blocks' sums added in order. So the
// correlation of two variants has the same bits in a chunk's product and in a batch's. With
// row_limits (n_a entries), row a is needed only in the columns below row_limits[a]: tiles that no
// row needs are skipped, and what they would hold stays 0. The working memory comes from `scratch`
// (a thread's own), or is allocated for the call without one.
constexpr Eigen::Index crossProductBlock = 256;
void crossProduct(const Eigen::MatrixXd& A, Eigen::Index n_a, const Eigen::MatrixXd& B,
                  Eigen::Index n_b, Eigen::MatrixXd& C, bool upper,
                  const Eigen::Index* row_limits = nullptr, ProductScratch* scratch = nullptr);

// A computed |r| at or above nearOne may be a correlation of exactly 1 that the rounding of sums
// over the samples has moved; the relative error of a product is far below this bound for any
// number of samples a BCOR file can count.
constexpr double nearOne = 1.0 - 1.0 / 65536.0;
// True when the exact correlation of the standardised columns u and v (rows entries each) rounds to
// +-1 (the sign of r): dosages that are identical or mirrored, or any other exact linear relation.
bool roundsToPerfect(const double* u, const double* v, Eigen::Index rows, double r);
// r itself, except that a pair for which roundsToPerfect holds gets exactly +-1 and an |r| above 1
// is 1. Without columns (null) only the latter applies.
double settleNearOne(double r, const double* u, const double* v, Eigen::Index rows);

// The progress line of one chunk, newline included; `process` counts from 1.
std::string progressLine(uint32_t process, uint32_t chunk_number, uint32_t n_chunks,
                         const Chunk& chunk);

} // namespace correlation
