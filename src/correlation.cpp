#include "correlation.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "correlation_kernel.hpp"
#include "corvane.hpp"
#include "fatal.hpp"

#include <immintrin.h>

namespace correlation {

void countNonMissing(const Eigen::MatrixXd& X, Eigen::VectorXi& counts) {
  counts.resize(X.cols());
  countNonMissing(X, 0, X.cols(), counts);
}

void countNonMissing(const Eigen::MatrixXd& X, Eigen::Index c0, Eigen::Index c1, Eigen::VectorXi& counts) {
  const Eigen::Index rows = X.rows();
  for (Eigen::Index c = c0; c < c1; ++c) {
    const double* col = X.col(c).data();
    // Two entries per step: an ordered comparison of x with itself is false only for NaN.
    __m128i present = _mm_setzero_si128();
    Eigen::Index r = 0;
    for (; r + 2 <= rows; r += 2) {
      const __m128d x = _mm_loadu_pd(col + r);
      present = _mm_sub_epi64(present, _mm_castpd_si128(_mm_cmpord_pd(x, x)));
    }
    int64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), present);
    int64_t n = halves[0] + halves[1];
    for (; r < rows; ++r) n += std::isnan(col[r]) ? 0 : 1;
    counts(c) = static_cast<int>(n);
  }
}

namespace {

// Columns [c0, c0 + G) together: each column's sums are still formed one row after the other, in
// row order, exactly as for a column alone; G columns side by side only keep G chains of additions in
// flight instead of one. A missing entry adds +0.0 where a column alone skips it: the same value, as a
// sum that starts at +0.0 never becomes -0.0 by adding it.
//
// A column is centred on its first present value before it is summed: dosages a few steps apart
// subtract exactly, so the sum's rounding scales with the column's spread rather than with its
// values. Summed as they are, nearly equal fractions (a BGEN variant with one uncertain genotype
// shared by almost every sample) round by up to a few ulps per sample, which can outweigh the spread
// itself. Where the first value and the sum are whole numbers (every column of hard calls) the
// column is centred on its mean as before, and keeps the bits it has always had: the mean's one
// rounding is then small beside the spread, as a whole sum other than 0 needs differences of at
// least 1 in all, and a sum of 0 gives the first value itself.
template <int G>
void standardiseColumns(Eigen::MatrixXd& X, Eigen::Index c0, Eigen::Index n_impute, double divisor) {
  const Eigen::Index rows = X.rows();
  double* col[G];
  double sum[G], delta[G], squares[G], first[G], centre[G];
  uint64_t count[G];
  bool impute[G];
  for (int j = 0; j < G; ++j) {
    col[j] = X.col(c0 + j).data();
    sum[j] = 0.0;
    count[j] = 0;
    first[j] = 0.0;
    impute[j] = c0 + j < n_impute;
  }
  // Unrolled, so that the G columns' sums stay in registers.
  for (Eigen::Index r = 0; r < rows; ++r) {
#pragma GCC unroll 8
    for (int j = 0; j < G; ++j) {
      const double x = col[j][r];
      const bool present = !std::isnan(x);
      first[j] = present && count[j] == 0 ? x : first[j];
      sum[j] += present ? x - first[j] : 0.0;
      count[j] += present ? 1 : 0;
    }
  }
  for (int j = 0; j < G; ++j) {
    const double n = static_cast<double>(count[j]);
    const bool whole = first[j] == std::rint(first[j]) && sum[j] == std::rint(sum[j]);
    centre[j] = whole ? 0.0 : first[j];
    delta[j] = whole ? (sum[j] + n * first[j]) / n : sum[j] / n;
    squares[j] = 0.0;
  }
  // An imputed entry sits at the mean and adds 0; a missing entry of a column that is not imputed
  // makes the sum NaN. A constant column has no spread to sum: its sd is 0 and it becomes NaN.
  for (Eigen::Index r = 0; r < rows; ++r) {
#pragma GCC unroll 8
    for (int j = 0; j < G; ++j) {
      const double x = col[j][r];
      const double deviation = (x - centre[j]) - delta[j];
      const double term = !std::isnan(x) ? deviation * deviation : impute[j] ? 0.0 : x;
      squares[j] += term;
    }
  }
  for (int j = 0; j < G; ++j) {
    const double sd = std::sqrt(squares[j] / divisor);
    double* c = col[j];
    const double f = centre[j], d = delta[j];
    // 0 / sd: an imputed entry is exactly 0, or NaN with the rest of a column without spread.
    for (Eigen::Index r = 0; r < rows; ++r) c[r] = (std::isnan(c[r]) ? 0.0 : (c[r] - f) - d) / sd;
  }
}

} // namespace

void imputeAndStandardise(Eigen::MatrixXd& X, Eigen::Index n_impute, double divisor) {
  imputeAndStandardise(X, 0, X.cols(), n_impute, divisor);
}

void imputeAndStandardise(Eigen::MatrixXd& X, Eigen::Index c0, Eigen::Index c1, Eigen::Index n_impute,
                          double divisor) {
  Eigen::Index c = c0;
  for (; c + 8 <= c1; c += 8) standardiseColumns<8>(X, c, n_impute, divisor);
  for (; c < c1; ++c) standardiseColumns<1>(X, c, n_impute, divisor);
}

namespace {

// Four lanes of doubles; plain SSE2 pairs where AVX is not enabled.
typedef double Lanes __attribute__((vector_size(32)));

inline void loadLanes(Lanes& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// Two roundings, a product and then a sum, on every machine and in every build: the build compiles
// without contracting them into one fused operation, so the stored correlations do not depend on the
// instruction set (nor on CORVANE_NATIVE).
inline void multiplyAdd(Lanes& acc, const Lanes& a, const Lanes& b) { acc = a * b + acc; }
inline double multiplyAdd(double a, double b, double c) { return a * b + c; }

// Tile of MR columns of A against NR columns of B over one depth block of `len` values:
// C(a, b) += the block's sum. Small enough to stay in registers.
template <int MR, int NR>
void tileBlock(const double* a, Eigen::Index lda, const double* b, Eigen::Index ldb, Eigen::Index len,
               double* c, Eigen::Index ldc) {
  Lanes acc[MR][NR];
  for (int i = 0; i < MR; ++i)
    for (int j = 0; j < NR; ++j) acc[i][j] = Lanes{0.0, 0.0, 0.0, 0.0};
  const Eigen::Index vector_len = len & ~Eigen::Index(3);
  for (Eigen::Index k = 0; k < vector_len; k += 4) {
    Lanes av[MR];
    for (int i = 0; i < MR; ++i) loadLanes(av[i], a + i * lda + k);
    for (int j = 0; j < NR; ++j) {
      Lanes bv;
      loadLanes(bv, b + j * ldb + k);
      for (int i = 0; i < MR; ++i) multiplyAdd(acc[i][j], av[i], bv);
    }
  }
  for (int i = 0; i < MR; ++i) {
    for (int j = 0; j < NR; ++j) {
      double tail = 0.0;
      for (Eigen::Index k = vector_len; k < len; ++k) tail = multiplyAdd(a[i * lda + k], b[j * ldb + k], tail);
      const Lanes& v = acc[i][j];
      c[i + j * ldc] += ((v[0] + v[1]) + (v[2] + v[3])) + tail;
    }
  }
}

#if defined(__AVX__)
constexpr int kTileA = 3, kTileB = 4;  // 12 accumulators in 16 vector registers
#else
constexpr int kTileA = 2, kTileB = 4;  // measured best where a Lanes value takes two SSE registers
#endif

// Edge tiles take the same arithmetic with fewer columns.
template <int MR>
void tileBlockB(int nr, const double* a, Eigen::Index lda, const double* b, Eigen::Index ldb,
                Eigen::Index len, double* c, Eigen::Index ldc) {
  switch (nr) {
    case 1: tileBlock<MR, 1>(a, lda, b, ldb, len, c, ldc); break;
    case 2: tileBlock<MR, 2>(a, lda, b, ldb, len, c, ldc); break;
    case 3: tileBlock<MR, 3>(a, lda, b, ldb, len, c, ldc); break;
    default: tileBlock<MR, 4>(a, lda, b, ldb, len, c, ldc); break;
  }
}

void anyTile(int mr, int nr, const double* a, Eigen::Index lda, const double* b, Eigen::Index ldb,
             Eigen::Index len, double* c, Eigen::Index ldc) {
  switch (mr) {
    case 1: tileBlockB<1>(nr, a, lda, b, ldb, len, c, ldc); break;
    case 2: tileBlockB<2>(nr, a, lda, b, ldb, len, c, ldc); break;
    default: tileBlockB<3>(nr, a, lda, b, ldb, len, c, ldc); break;
  }
}

} // namespace

void crossProduct(const Eigen::MatrixXd& A, Eigen::Index n_a, const Eigen::MatrixXd& B,
                  Eigen::Index n_b, Eigen::MatrixXd& C, bool upper, const Eigen::Index* row_limits,
                  ProductScratch* scratch) {
  CORVANE_CHECK(A.rows() == B.rows() && n_a <= A.cols() && n_b <= B.cols() && C.rows() == n_a &&
                    C.cols() == n_b,
                "Error: Matrix shapes of a correlation product do not agree!");
  C.setZero();
  if (n_a > 0 && n_b > 0 && A.rows() > 0) {
    // The machine's widest kernel, when it has one: the same arithmetic, entry by entry.
    ProductScratch own;
    if (!scratch) scratch = &own;
    std::ptrdiff_t* begin = nullptr;
    std::ptrdiff_t* end = nullptr;
    if (upper || row_limits) {
      begin = scratch->indices(4, static_cast<size_t>(n_a));
      end = scratch->indices(5, static_cast<size_t>(n_a));
      for (Eigen::Index a = 0; a < n_a; ++a) {
        begin[a] = upper ? a + 1 : 0;
        end[a] = row_limits ? std::min(row_limits[a], n_b) : n_b;
      }
    }
    if (wideCrossProduct(A.data(), A.rows(), n_a, B.data(), B.rows(), n_b, A.rows(), crossProductBlock,
                         C.data(), C.rows(), begin, end, scratch))
      return;
  }
  const Eigen::Index depth = A.rows();
  const Eigen::Index lda = A.rows(), ldb = B.rows(), ldc = C.rows();
  // Columns of A per pass over B: their block stays in the core's second-level cache.
  const Eigen::Index a_panel = 240;
  for (Eigen::Index k0 = 0; k0 < depth; k0 += crossProductBlock) {
    const Eigen::Index len = std::min(crossProductBlock, depth - k0);
    for (Eigen::Index p0 = 0; p0 < n_a; p0 += a_panel) {
      const Eigen::Index p1 = std::min(n_a, p0 + a_panel);
      for (Eigen::Index b0 = 0; b0 < n_b; b0 += kTileB) {
        const int nr = static_cast<int>(std::min<Eigen::Index>(kTileB, n_b - b0));
        const Eigen::Index b_last = b0 + nr - 1;
        for (Eigen::Index a0 = p0; a0 < p1; a0 += kTileA) {
          if (upper && a0 >= b_last) break;
          const int mr = static_cast<int>(std::min<Eigen::Index>(kTileA, p1 - a0));
          if (row_limits) {
            Eigen::Index needed = 0;
            for (int i = 0; i < mr; ++i) needed = std::max(needed, row_limits[a0 + i]);
            if (needed <= b0) continue;
          }
          const double* a = A.data() + a0 * lda + k0;
          const double* b = B.data() + b0 * ldb + k0;
          double* c = C.data() + a0 + b0 * ldc;
          if (mr == kTileA && nr == kTileB) {
            tileBlock<kTileA, kTileB>(a, lda, b, ldb, len, c, ldc);
          } else {
            anyTile(mr, nr, a, lda, b, ldb, len, c, ldc);
          }
        }
      }
    }
  }
}

namespace {

inline double laneSum(const Lanes& v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// Rows k to k + 3 of the columns u and v, 0 past the last row, and w = y - s x.
inline void loadPair(const double* u, const double* v, Eigen::Index k, Eigen::Index rows, const Lanes& sign,
                     Lanes& x, Lanes& y, Lanes& w) {
  if (k + 4 <= rows) {
    loadLanes(x, u + k);
    loadLanes(y, v + k);
  } else {
    x = y = Lanes{0.0, 0.0, 0.0, 0.0};
    for (Eigen::Index i = 0; k + i < rows; ++i) {
      x[i] = u[k + i];
      y[i] = v[k + i];
    }
  }
  w = y - sign * x;
}

} // namespace

bool roundsToPerfect(const double* u, const double* v, Eigen::Index rows, double r) {
  if (rows < 2 || !(std::fabs(r) > 0.5)) return false;
  const double s = r < 0.0 ? -1.0 : 1.0;
  const Lanes sign = {s, s, s, s};
  const double n = static_cast<double>(rows);
  // w = v - s u is what u leaves of v. The residual of any fit of w to a + b u, over Svv, bounds
  // 1 - r^2 without the cancellation of 1 - r. At or below 2^-60 the exact correlation of the two
  // columns is within 2^-54 of +-1, even allowing for the rounding of the standardisation, so its
  // nearest double is +-1. The product's r misses that by the rounding of its sums over the
  // samples, which is why it cannot tell by itself. Rows past the last add 0 to every sum.
  Lanes sv = {0.0, 0.0, 0.0, 0.0}, svv = sv, sww = sv;
  for (Eigen::Index k = 0; k < rows; k += 4) {
    Lanes x, y, w;
    loadPair(u, v, k, rows, sign, x, y, w);
    sv += y;
    svv += y * y;
    sww += w * w;
  }
  const double Sv = laneSum(sv);
  const double Svv = laneSum(svv) - Sv * Sv / n;
  if (!(Svv > 0.0)) return false;
  const double limit = std::ldexp(Svv, -60);
  // a = b = 0 nearly always settles a collinear pair in this one pass.
  if (laneSum(sww) <= limit) return true;

  // The least-squares fit takes up the offset and scale that the rounding of two standardisations
  // over many samples can leave between collinear columns.
  Lanes su = {0.0, 0.0, 0.0, 0.0}, sw = su, suu = su, suw = su;
  for (Eigen::Index k = 0; k < rows; k += 4) {
    Lanes x, y, w;
    loadPair(u, v, k, rows, sign, x, y, w);
    su += x;
    sw += w;
    suu += x * x;
    suw += x * w;
  }
  const double Su = laneSum(su), Sw = laneSum(sw);
  const double Suu = laneSum(suu) - Su * Su / n;
  if (!(Suu > 0.0)) return false;
  const double b = (laneSum(suw) - Su * Sw / n) / Suu;
  const double a = (Sw - b * Su) / n;
  if (!(std::fabs(b) <= 0.5 && std::fabs(a) <= 1.0)) return false;
  const Lanes offset = {a, a, a, a}, slope = {b, b, b, b};
  // A row past the last adds a^2 here: it can only make the answer no.
  Lanes residual = {0.0, 0.0, 0.0, 0.0};
  for (Eigen::Index k = 0; k < rows; k += 4) {
    Lanes x, y, w;
    loadPair(u, v, k, rows, sign, x, y, w);
    const Lanes e = (w - offset) - slope * x;
    residual += e * e;
    // Columns that are not collinear mostly show it early.
    if ((k & 1023) == 0 && laneSum(residual) > limit) return false;
  }
  return laneSum(residual) <= limit;
}

double settleNearOne(double r, const double* u, const double* v, Eigen::Index rows) {
  if (!(std::fabs(r) >= nearOne)) return r;
  if (u && v && roundsToPerfect(u, v, rows, r)) return std::copysign(1.0, r);
  return std::fabs(r) > 1.0 ? std::copysign(1.0, r) : r;
}

std::string progressLine(uint32_t process, uint32_t chunk_number, uint32_t n_chunks,
                         const Chunk& chunk) {
  const bool one = chunk.n_variants == 1;
  std::string line = "- Process " + std::to_string(process) + " : is processing ";
  line += one ? "variant " : "variants ";
  line += std::to_string(chunk.start + 1) + "-" + std::to_string(chunk.end) + " (" +
          std::to_string(chunk.n_variants);
  line += one ? " variant" : " variants";
  line += ") in chunk " + std::to_string(chunk_number) + "/" + std::to_string(n_chunks) + "\n";
  return line;
}

} // namespace correlation

namespace {

// Where a stored pair goes: the first variant's two maps, looked up once per variant and scan.
struct PairSink {
  CorrelationMap* correlations = nullptr;
  SampleCountMap* sample_counts = nullptr;
  uint64_t stored = 0;
};

// Partner j closes i's window when it lies at or beyond the window (an unsigned difference, so a
// smaller position counts as beyond) or past the run. The test does not look at r.
inline bool closesWindow(const Corvane& e, uint32_t position_i, uint32_t position_j, uint32_t j) {
  return static_cast<uint32_t>(position_j - position_i) >= e.variant_window_size ||
         j > e.bcor_end_variant;
}

// The two standardised columns of a pair, when the caller has them (rows entries each).
struct PairColumns {
  const double* u = nullptr;
  const double* v = nullptr;
  Eigen::Index rows = 0;
};

// The decision for one pair (i < j). Returns true when i's window has closed. Both thresholds are
// inclusive, and a NaN never passes them; |r| is compared with least_magnitude, the threshold as
// the file stores it.
inline bool decidePair(Corvane& e, double least_magnitude, double r, uint32_t n_samples_pair, uint32_t i,
                       uint32_t j, uint32_t position_i, uint32_t position_j, PairSink& sink,
                       const PairColumns& columns = PairColumns()) {
  if (closesWindow(e, position_i, position_j, j)) return true;
  const double available =
      static_cast<double>(n_samples_pair) / static_cast<double>(e.bin_n_samples);
  if (!(available >= e.ld_n_samples_avail_prop)) return false;
  if (std::fabs(r) >= correlation::nearOne) {
    r = correlation::settleNearOne(r, columns.u, columns.v, columns.rows);
  }
  if (!(std::fabs(r) >= least_magnitude)) return false;
  if (!sink.correlations) sink.correlations = &e.correlations[i];
  (*sink.correlations)[j] = r;
  ++e.number_of_correlations_in_file;
  ++sink.stored;
  if (n_samples_pair != e.bin_n_samples) {
    if (!sink.sample_counts) sink.sample_counts = &e.sample_counts[i];
    (*sink.sample_counts)[j] = n_samples_pair;
  }
  return false;
}

// Found by a bisection: once per chunk or batch, never per pair.
double leastStoredMagnitude(const Corvane& e) {
  return bcor::thresholdAsStored(e.ld_thold, bcor::magnitudeWidth(e.accuracy));
}

void addToRunTotal(Shared_buffers& shared, uint64_t stored) {
  if (stored == 0) return;
#pragma omp atomic
  shared.total_number_of_correlations += stored;
}

void resizeOrStop(Eigen::MatrixXd& m, Eigen::Index rows, Eigen::Index cols) {
  try {
    m.resize(rows, cols);
  } catch (const std::bad_alloc&) {
    // Formatted in place: building a string here could fail as the matrix did.
    char message[128];
    std::snprintf(message, sizeof message, "Error: Cannot allocate memory for a matrix of %lld x %lld values!",
                  static_cast<long long>(rows), static_cast<long long>(cols));
    corvane::fatalError(message);
  }
}

// Positions of the chunk's variants, from their descriptions.
void chunkPositions(const Corvane& e, uint32_t start, uint32_t n, std::vector<uint32_t>& pos) {
  pos.resize(n);
  auto header = e.variant_headers.lower_bound(start);
  for (uint32_t a = 0; a < n; ++a, ++header) {
    CORVANE_CHECK(header != e.variant_headers.end() && header->first == start + a,
                  "Error: No variant description for variant " + std::to_string(start + a + 1) + "!");
    pos[a] = header->second.position;
  }
}

// Positions of the n_read partners from first_partner on; partners past the run have none and get
// 0, which the run-end test makes irrelevant.
void partnerPositions(const Corvane& e, uint32_t first_partner, uint32_t n_read,
                      std::vector<uint32_t>& pos) {
  pos.assign(n_read, 0);
  auto known = e.positions.lower_bound(first_partner);
  for (uint32_t k = 0; k < n_read && known != e.positions.end(); ++k) {
    if (known->first == first_partner + k) {
      pos[k] = known->second;
      ++known;
    }
  }
}

// Whether X holds the standardised columns a product was made of (a filter called on its own may
// have none).
bool holdsColumns(const Eigen::MatrixXd& X, uint32_t n_samples, uint32_t n_columns) {
  return X.rows() == static_cast<Eigen::Index>(n_samples) && X.cols() >= static_cast<Eigen::Index>(n_columns);
}

double divisorOf(uint32_t n_samples) {
  return static_cast<double>(static_cast<uint32_t>(n_samples - 1));
}

// Counts (before imputation) and standardises columns [from, to) of X once a group of eight has
// arrived, or all of them when `last`; returns the first column not yet done. The first n_impute
// columns are imputed.
Eigen::Index prepareColumns(Eigen::MatrixXd& X, Eigen::VectorXi& counts, Eigen::Index from, Eigen::Index to,
                            Eigen::Index n_impute, double divisor, bool last = false) {
  if (to - from < 8 && !last) return from;
  correlation::countNonMissing(X, from, to, counts);
  correlation::imputeAndStandardise(X, from, to, n_impute, divisor);
  return to;
}

} // namespace

void Corvane::getNumberOfSamplesWithDosages(Eigen::MatrixXd& X, Eigen::VectorXi& counts) {
  correlation::countNonMissing(X, counts);
}

void Corvane::meanImputeAndScaleDosages(Eigen::MatrixXd& X, uint32_t n_columns) {
  correlation::imputeAndStandardise(X, static_cast<Eigen::Index>(n_columns), divisorOf(bin_n_samples));
}

void Corvane::checkSparseness(double r, uint32_t n_samples_pair, uint32_t variant_i,
                              uint32_t variant_j, uint32_t position_i, uint32_t position_j,
                              bool& stop) {
  PairSink sink;
  if (decidePair(*this, leastStoredMagnitude(*this), r, n_samples_pair, variant_i, variant_j, position_i,
                 position_j, sink)) {
    finished_variants.insert(variant_i);
    stop = true;
  }
  addToRunTotal(shared_buffers, sink.stored);
}

void Corvane::checkChunk(uint32_t start, uint32_t end, const Eigen::MatrixXd& R) {
  if (end <= start + 1) return;
  const uint32_t n = end - start;
  CORVANE_CHECK(R.rows() >= n && R.cols() >= n && chunk_n_nonmissing.size() >= n,
                "Error: Chunk matrix smaller than its chunk!");
  std::vector<uint32_t>& pos = pair_positions;
  chunkPositions(*this, start, n, pos);
  // A window that closes inside the chunk has no lasting effect: the downstream pass starts with
  // every chunk variant active again.
  uint64_t stored = 0;
  const double least = leastStoredMagnitude(*this);
  const bool have_columns = holdsColumns(chunk_dosages, bin_n_samples, n);
  for (uint32_t a = 0; a + 1 < n; ++a) {
    PairSink sink;
    const int count_a = chunk_n_nonmissing(a);
    PairColumns columns;
    if (have_columns) columns = PairColumns{chunk_dosages.col(a).data(), nullptr, chunk_dosages.rows()};
    for (uint32_t b = a + 1; b < n; ++b) {
      const uint32_t count = static_cast<uint32_t>(std::min(count_a, chunk_n_nonmissing(b)));
      if (have_columns) columns.v = chunk_dosages.col(b).data();
      if (decidePair(*this, least, R(a, b), count, start + a, start + b, pos[a], pos[b], sink, columns)) {
        break;
      }
    }
    stored += sink.stored;
  }
  addToRunTotal(shared_buffers, stored);
}

void Corvane::checkBatch(uint32_t start, uint32_t end, uint32_t n_read, const Eigen::MatrixXd& R) {
  if (n_read == 0 || end <= start) return;
  CORVANE_CHECK(!batch_sizes.empty() && R.rows() >= end - start && R.cols() >= n_read &&
                    downstream_n_nonmissing.size() >= n_read &&
                    chunk_n_nonmissing.size() >= end - start,
                "Error: Batch matrix smaller than its batch!");
  uint32_t base = 0;
  for (size_t b = 0; b + 1 < batch_sizes.size(); ++b) base += batch_sizes[b];
  const uint32_t first_partner = end + base;

  std::vector<uint32_t>& pos = pair_positions;
  partnerPositions(*this, first_partner, n_read, pos);

  uint64_t stored = 0;
  const double least = leastStoredMagnitude(*this);
  const bool have_columns = holdsColumns(chunk_dosages, bin_n_samples, end - start) &&
                            holdsColumns(downstream_dosages, bin_n_samples, n_read);
  for (auto it = active_variants.lower_bound(start); it != active_variants.end() && *it < end;) {
    const uint32_t i = *it;
    auto header = variant_headers.find(i);
    CORVANE_CHECK(header != variant_headers.end(),
                  "Error: No variant description for variant " + std::to_string(i + 1) + "!");
    const uint32_t position_i = header->second.position;
    const uint32_t a = i - start;
    const int count_a = chunk_n_nonmissing(a);
    PairSink sink;
    bool closed = false;
    PairColumns columns;
    if (have_columns) columns = PairColumns{chunk_dosages.col(a).data(), nullptr, chunk_dosages.rows()};
    for (uint32_t k = 0; k < n_read; ++k) {
      const uint32_t count = static_cast<uint32_t>(std::min(count_a, downstream_n_nonmissing(k)));
      if (have_columns) columns.v = downstream_dosages.col(k).data();
      if (decidePair(*this, least, R(a, k), count, i, first_partner + k, position_i, pos[k], sink, columns)) {
        closed = true;
        break;
      }
    }
    stored += sink.stored;
    it = closed ? active_variants.erase(it) : std::next(it);
  }
  addToRunTotal(shared_buffers, stored);
}

void Corvane::doVariantsInChunk(const Chunk& chunk) {
  const Eigen::Index n = chunk.n_variants;
  resizeOrStop(chunk_dosages, bin_n_samples, n);
  chunk_n_nonmissing.resize(n);
  Eigen::Index prepared = 0;
  for (uint32_t i = chunk.start; i < chunk.end; ++i) {
    if (!readDosages(i, true, chunk_dosages, i - chunk.start)) {
      corvane::fatalError("Error: File '" + (flags.bgen ? bgen_file : bed_file) +
                          "' ended before variant " + std::to_string(i + 1) + " could be read!");
    }
    prepared = prepareColumns(chunk_dosages, chunk_n_nonmissing, prepared, i - chunk.start + 1, n,
                              divisorOf(bin_n_samples));
  }
  prepareColumns(chunk_dosages, chunk_n_nonmissing, prepared, n, n, divisorOf(bin_n_samples), true);

  // The filter reads a row only up to the first partner that closes its window.
  std::vector<uint32_t>& pos = pair_positions;
  chunkPositions(*this, chunk.start, chunk.n_variants, pos);
  std::vector<Eigen::Index>& limits = row_limits;
  limits.resize(chunk.n_variants);
  for (uint32_t a = 0; a < chunk.n_variants; ++a) {
    uint32_t b = a + 1;
    while (b < chunk.n_variants && !closesWindow(*this, pos[a], pos[b], chunk.start + b)) ++b;
    limits[a] = b;
  }
  Eigen::MatrixXd& product = product_matrix;
  resizeOrStop(product, n, n);
  correlation::crossProduct(chunk_dosages, n, chunk_dosages, n, product, true, limits.data(),
                            &product_scratch);
  product /= divisorOf(bin_n_samples);
  checkChunk(chunk.start, chunk.end, product);
}

void Corvane::doVariantsDownstreamOfChunk(const Chunk& chunk) {
  downstream_done = false;
  batch_sizes.clear();
  // Variants left active by an earlier chunk whose pass ran into the end of the data would only
  // keep this pass reading; the chunk's own variants are all that matter here.
  active_variants.clear();
  for (uint32_t i = chunk.start; i < chunk.end; ++i) active_variants.insert(active_variants.end(), i);
  batch_counter = 0;

  // The run's variants after the chunk, capped at the chunk size; the same for every batch.
  const uint32_t b = std::min(bcor_end_variant - chunk.start - chunk.n_variants + 1, n_variants_chunk);
  uint32_t next = chunk.end;
  Eigen::MatrixXd& product = product_matrix;
  while (!active_variants.empty() && !downstream_done) {
    if (b == 0) {
      downstream_done = true;
      break;
    }
    resizeOrStop(downstream_dosages, bin_n_samples, b);
    downstream_n_nonmissing.resize(b);
    // Partners past the run would only close windows, so reading stops at the run's end. The
    // columns are counted and standardised in small groups as they arrive, while they are still in
    // the cache; the results are those of whole-matrix passes, column by column.
    uint32_t n_read = 0;
    Eigen::Index prepared = 0;
    while (n_read < b && next <= bcor_end_variant &&
           readDosages(next, false, downstream_dosages, n_read)) {
      ++n_read;
      ++next;
      prepared = prepareColumns(downstream_dosages, downstream_n_nonmissing, prepared, n_read, n_read,
                                divisorOf(bin_n_samples));
    }
    if (n_read == 0) {
      downstream_done = true;
      break;
    }
    if (n_read < b) downstream_dosages.rightCols(b - n_read).setZero();
    batch_sizes.push_back(n_read);
    prepareColumns(downstream_dosages, downstream_n_nonmissing, prepared, b, n_read, divisorOf(bin_n_samples),
                   true);

    // Rows already closed, and entries past the partner that closes a row, are never read.
    uint32_t base = 0;
    for (size_t k = 0; k + 1 < batch_sizes.size(); ++k) base += batch_sizes[k];
    std::vector<uint32_t>& pos = pair_positions;
    partnerPositions(*this, chunk.end + base, n_read, pos);
    std::vector<Eigen::Index>& limits = row_limits;
    limits.assign(chunk.n_variants, 0);
    for (auto it = active_variants.lower_bound(chunk.start);
         it != active_variants.end() && *it < chunk.end; ++it) {
      const uint32_t position_i = variant_headers.at(*it).position;
      uint32_t k = 0;
      while (k < n_read && !closesWindow(*this, position_i, pos[k], chunk.end + base + k)) ++k;
      limits[*it - chunk.start] = k;
    }
    resizeOrStop(product, chunk.n_variants, n_read);
    correlation::crossProduct(chunk_dosages, chunk.n_variants, downstream_dosages, n_read, product,
                              false, limits.data(), &product_scratch);
    product /= divisorOf(bin_n_samples);
    checkBatch(chunk.start, chunk.end, n_read, product);
    ++batch_counter;
  }
}

void Corvane::doChunks() {
#pragma omp barrier
  const std::string input = flags.bgen ? bgen_file : bed_file;
  try {
    for (const auto& entry : chunks) {
      corvane::printLocked(correlation::progressLine(process_number + 1, entry.first,
                                                     static_cast<uint32_t>(chunks.size()),
                                                     entry.second));
      seekToChunk(entry.second);
      doVariantsInChunk(entry.second);
      doVariantsDownstreamOfChunk(entry.second);
      number_of_correlation_records = static_cast<uint32_t>(correlations.size());
      number_of_sample_count_records = static_cast<uint32_t>(sample_counts.size());
    }
  } catch (const std::bad_alloc&) {
    char message[128];
    std::snprintf(message, sizeof message, "Error: Not enough memory to store the correlations of process %u!",
                  process_number + 1);
    corvane::fatalError(message);
  } catch (const std::exception& e) {
    corvane::fatalError("Error: Reading file '" + input + "' failed (" + e.what() + ")!");
  }
}

void Corvane::seekToChunk(const Chunk& chunk) {
  if (flags.bgen) {
    bgen_parser.seek_to_variant(chunk.offset);
    return;
  }
  // The previous chunk's downstream pass may have run into the end of the file.
  plink_parser.bed_stream.clear();
  plink_parser.bed_stream.seekg(static_cast<std::streamoff>(chunk.offset), std::ios::beg);
  plink_parser.state = 2;
}

bool Corvane::readDosages(uint32_t variant, bool store, Eigen::MatrixXd& X, Eigen::Index column) {
  if (flags.bgen) {
    if (!bgen_parser.read_variant(variant, store, variant_headers)) return false;
    bgen_parser.read_dosages(X.col(column), variant, store, variant_headers);
    return true;
  }
  // Records are read in index order from the chunk's seek, so the index tells the end of the data.
  if (variant >= plink_parser.context.number_of_variants) return false;
  plink_parser.compute_genotypes(variant, store, variant_headers, X.col(column));
  return true;
}
