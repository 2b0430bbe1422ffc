// The product kernels against a scalar statement of their summation order: every bit must agree, for
// every kernel the machine has, whatever the shapes, the blocks' remainders and the column ranges. The
// plain kernel, which only a machine without AVX takes, is run here by forcing it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "correlation.hpp"
#include "correlation_kernel.hpp"

using correlation::WideKernel;

namespace {

// One entry, term by term: per block, four lanes over the block's first len & ~3 terms, then the
// block's tail in order, then ((lane0 + lane1) + (lane2 + lane3)) + tail added to the entry.
double referenceEntry(const double* a, const double* b, std::ptrdiff_t depth, std::ptrdiff_t block) {
  auto madd = [](double x, double y, double acc) {
    volatile double p = x * y;  // two roundings, as everywhere in the correlation products
    return p + acc;
  };
  double c = 0.0;
  for (std::ptrdiff_t k0 = 0; k0 < depth; k0 += block) {
    const std::ptrdiff_t len = std::min(block, depth - k0), vl = len & ~std::ptrdiff_t(3);
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::ptrdiff_t k = 0; k < vl; ++k) lane[k % 4] = madd(a[k0 + k], b[k0 + k], lane[k % 4]);
    double tail = 0.0;
    for (std::ptrdiff_t k = vl; k < len; ++k) tail = madd(a[k0 + k], b[k0 + k], tail);
    c = c + (((lane[0] + lane[1]) + (lane[2] + lane[3])) + tail);
  }
  return c;
}

uint64_t bits(double x) {
  uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

std::vector<WideKernel> kernels() {
  std::vector<WideKernel> out;
  const WideKernel have = correlation::machineWideKernel();
  if (have == WideKernel::avx || have == WideKernel::avx512) out.push_back(WideKernel::avx);
  if (have == WideKernel::avx512) out.push_back(WideKernel::avx512);
  return out;
}

// The kernels the products can take here: the plain one, then the wide ones the machine has.
std::vector<WideKernel> runnableKernels() {
  std::vector<WideKernel> out = {WideKernel::none};
  for (WideKernel k : kernels()) out.push_back(k);
  return out;
}

const char* kernelName(WideKernel k) { return k == WideKernel::none ? "plain" : correlation::wideKernelName(k); }

// One kernel for the products of a scope, the machine's own again after it.
class ForcedKernel {
 public:
  explicit ForcedKernel(WideKernel k) : forced_(correlation::forceKernelForTesting(k)) {}
  ~ForcedKernel() { correlation::forceKernelForTesting(correlation::machineWideKernel()); }
  bool forced() const { return forced_; }

 private:
  bool forced_;
};

struct Operands {
  std::ptrdiff_t depth, lda, ldb, n_a, n_b;
  std::vector<double> A, B;
  Operands(std::ptrdiff_t d, std::ptrdiff_t na, std::ptrdiff_t nb, unsigned seed)
      : depth(d), lda(d + 3), ldb(d + 1), n_a(na), n_b(nb) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> level(0, 2);
    std::normal_distribution<double> noise(0.0, 1.0);
    // Standardised-looking values with odd bits, plus the padding of the leading dimensions.
    A.resize(static_cast<std::size_t>(lda * (na + 1)));
    B.resize(static_cast<std::size_t>(ldb * (nb + 1)));
    for (double& x : A) x = (level(rng) - 1.1) * 0.7 + 1e-3 * noise(rng);
    for (double& x : B) x = (level(rng) - 0.9) * 1.3 + 1e-3 * noise(rng);
  }
  double reference(std::ptrdiff_t a, std::ptrdiff_t b, std::ptrdiff_t block) const {
    return referenceEntry(A.data() + a * lda, B.data() + b * ldb, depth, block);
  }
};

} // namespace

TEST(CorrelationKernel, MachineKernelHasAName) {
  const std::string name = correlation::wideKernelName(correlation::machineWideKernel());
  EXPECT_TRUE(name == "avx512" || name == "avx" || name == "none") << name;
}

TEST(CorrelationKernel, EveryBitAgreesWithTheScalarOrderForOddShapes) {
  if (kernels().empty()) GTEST_SKIP() << "no wide kernel on this machine";
  const std::ptrdiff_t block = 256;
  for (std::ptrdiff_t depth : {1, 3, 4, 6, 255, 256, 257, 262, 515}) {
    for (std::ptrdiff_t n_a : {1, 5, 8, 13, 25}) {
      for (std::ptrdiff_t n_b : {1, 4, 7, 9, 17}) {
        const Operands op(depth, n_a, n_b, static_cast<unsigned>(depth * 1000 + n_a * 31 + n_b));
        for (WideKernel k : kernels()) {
          std::vector<double> C(static_cast<std::size_t>((n_a + 2) * n_b), 0.0);
          ASSERT_TRUE(correlation::wideCrossProduct(k, op.A.data(), op.lda, n_a, op.B.data(), op.ldb, n_b, depth,
                                                    block, C.data(), n_a + 2, nullptr, nullptr));
          for (std::ptrdiff_t b = 0; b < n_b; ++b) {
            for (std::ptrdiff_t a = 0; a < n_a; ++a)
              ASSERT_EQ(bits(C[a + b * (n_a + 2)]), bits(op.reference(a, b, block)))
                  << correlation::wideKernelName(k) << " depth " << depth << " " << n_a << "x" << n_b << " at "
                  << a << "," << b;
            // The rows past n_a in C's leading dimension are not written.
            EXPECT_EQ(C[n_a + b * (n_a + 2)], 0.0);
            EXPECT_EQ(C[n_a + 1 + b * (n_a + 2)], 0.0);
          }
        }
      }
    }
  }
}

TEST(CorrelationKernel, OtherBlockSizesAndTheOperandsShareNothing) {
  if (kernels().empty()) GTEST_SKIP() << "no wide kernel on this machine";
  const Operands op(1000, 40, 33, 7);
  for (std::ptrdiff_t block : {4, 7, 64, 999, 4096}) {
    for (WideKernel k : kernels()) {
      std::vector<double> C(static_cast<std::size_t>(40 * 33), 0.0);
      ASSERT_TRUE(correlation::wideCrossProduct(k, op.A.data(), op.lda, 40, op.B.data(), op.ldb, 33, 1000, block,
                                                C.data(), 40, nullptr, nullptr));
      for (std::ptrdiff_t b = 0; b < 33; ++b)
        for (std::ptrdiff_t a = 0; a < 40; ++a)
          ASSERT_EQ(bits(C[a + b * 40]), bits(op.reference(a, b, block))) << block << " " << a << "," << b;
    }
  }
}

TEST(CorrelationKernel, AMissingValueTouchesOnlyItsOwnRowAndColumn) {
  if (kernels().empty()) GTEST_SKIP() << "no wide kernel on this machine";
  Operands op(300, 20, 12, 11);
  op.A[static_cast<std::size_t>(3 * op.lda + 17)] = std::nan("");
  op.B[static_cast<std::size_t>(5 * op.ldb + 299)] = std::nan("");
  for (WideKernel k : kernels()) {
    std::vector<double> C(20 * 12, 0.0);
    ASSERT_TRUE(correlation::wideCrossProduct(k, op.A.data(), op.lda, 20, op.B.data(), op.ldb, 12, 300, 256,
                                              C.data(), 20, nullptr, nullptr));
    for (int b = 0; b < 12; ++b) {
      for (int a = 0; a < 20; ++a) {
        if (a == 3 || b == 5) {
          EXPECT_TRUE(std::isnan(C[a + b * 20])) << a << "," << b;
        } else {
          EXPECT_EQ(bits(C[a + b * 20]), bits(op.reference(a, b, 256))) << a << "," << b;
        }
      }
    }
  }
}

TEST(CorrelationKernel, ColumnRangesAreComputedExactlyAndEmptyRowsSkipped) {
  if (kernels().empty()) GTEST_SKIP() << "no wide kernel on this machine";
  const std::ptrdiff_t n = 45;
  const Operands op(333, n, n, 3);
  // An upper triangle cut off by a window, and some rows with nothing to compute.
  std::vector<std::ptrdiff_t> begin(n), end(n);
  for (std::ptrdiff_t a = 0; a < n; ++a) {
    begin[a] = a + 1;
    end[a] = std::min(n, a + 1 + (a * 7) % 19);
  }
  begin[10] = end[10] = 0;
  begin[30] = 31;
  end[30] = 31;
  for (WideKernel k : kernels()) {
    const double untouched = -12345.0;
    std::vector<double> C(static_cast<std::size_t>(n * n), 0.0);
    ASSERT_TRUE(correlation::wideCrossProduct(k, op.A.data(), op.lda, n, op.B.data(), op.ldb, n, 333, 256, C.data(),
                                              n, begin.data(), end.data()));
    for (std::ptrdiff_t a = 0; a < n; ++a)
      for (std::ptrdiff_t b = begin[a]; b < end[a]; ++b)
        ASSERT_EQ(bits(C[a + b * n]), bits(op.reference(a, b, 256))) << a << "," << b;
    // A tile no row asks for is not touched at all.
    std::vector<std::ptrdiff_t> none_begin(n, 0), none_end(n, 0);
    std::vector<double> D(static_cast<std::size_t>(n * n), untouched);
    ASSERT_TRUE(correlation::wideCrossProduct(k, op.A.data(), op.lda, n, op.B.data(), op.ldb, n, 333, 256, D.data(),
                                              n, none_begin.data(), none_end.data()));
    for (double x : D) ASSERT_EQ(x, untouched);
  }
}

TEST(CorrelationKernel, SumsAreTheDotProducts) {
  // Independent of the order: the kernels compute dot products at all.
  if (kernels().empty()) GTEST_SKIP() << "no wide kernel on this machine";
  const Operands op(700, 9, 10, 5);
  for (WideKernel k : kernels()) {
    std::vector<double> C(90, 0.0);
    ASSERT_TRUE(correlation::wideCrossProduct(k, op.A.data(), op.lda, 9, op.B.data(), op.ldb, 10, 700, 256, C.data(), 9,
                                              nullptr, nullptr));
    for (int b = 0; b < 10; ++b)
      for (int a = 0; a < 9; ++a) {
        long double dot = 0;
        for (int r = 0; r < 700; ++r) dot += static_cast<long double>(op.A[a * op.lda + r]) * op.B[b * op.ldb + r];
        EXPECT_NEAR(C[a + b * 9], static_cast<double>(dot), 1e-10);
      }
  }
}

TEST(CorrelationKernel, EveryKernelTheMachineRunsGivesTheSameBitsOnAwkwardShapes) {
  // Sample counts off the multiples of 4 and 8 and across the depth block, one row or column, and
  // sizes beside the tiles (plain 3 x 4, AVX 12 x 4, AVX-512 8 x 8) and panels (240, 132, 128).
  const std::ptrdiff_t block = correlation::crossProductBlock;
  const std::vector<std::ptrdiff_t> depths = {1, 3, 5, 7, 9, 13, 17, 33, 255, 257, 259, 499, 515};
  const std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>> shapes = {
      {1, 1},   {1, 9},   {9, 1},   {2, 3},   {3, 4},   {4, 5},   {5, 7},   {7, 8},   {8, 9},   {11, 12}, {12, 13},
      {13, 17}, {127, 3}, {128, 9}, {129, 4}, {131, 5}, {132, 8}, {133, 1}, {239, 2}, {240, 4}, {241, 7}};
  const std::vector<WideKernel> all = runnableKernels();
  std::mt19937_64 rng(2024);
  std::uniform_int_distribution<int> level(0, 2), small(1, 3), sign(0, 1);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::ptrdiff_t depth : depths) {
    for (const auto& [n_a, n_b] : shapes) {
      // Standardised-looking values with odd bits, and whole numbers, whose sums are exact in any order,
      // never 0: a term left out shows. One column more than used, as a chunk matrix has.
      Eigen::MatrixXd A(depth, n_a + 1), B(depth, n_b + 1), Ai(depth, n_a + 1), Bi(depth, n_b + 1);
      for (Eigen::MatrixXd* m : {&A, &B}) {
        for (Eigen::Index i = 0; i < m->size(); ++i) m->data()[i] = (level(rng) - 1.1) * 0.7 + 1e-3 * noise(rng);
      }
      for (Eigen::MatrixXd* m : {&Ai, &Bi}) {
        for (Eigen::Index i = 0; i < m->size(); ++i) m->data()[i] = small(rng) * (sign(rng) ? 1.0 : -1.0);
      }
      // A chunk's product with itself: the upper triangle, rows cut off by windows, some rows empty.
      std::vector<Eigen::Index> limits(static_cast<std::size_t>(n_a));
      for (std::ptrdiff_t a = 0; a < n_a; ++a)
        limits[a] = a % 5 == 0 ? n_a : a % 7 == 3 ? 0 : std::min(n_a, a + 1 + (a * 7) % 19);

      std::vector<Eigen::MatrixXd> full, exact, chunk;
      for (WideKernel k : all) {
        const ForcedKernel use(k);
        ASSERT_TRUE(use.forced()) << kernelName(k);
        ASSERT_EQ(correlation::activeKernel(), k);
        full.emplace_back(n_a, n_b);
        correlation::crossProduct(A, n_a, B, n_b, full.back(), false);
        exact.emplace_back(n_a, n_b);
        correlation::crossProduct(Ai, n_a, Bi, n_b, exact.back(), false);
        chunk.emplace_back(n_a, n_a);
        correlation::crossProduct(A, n_a, A, n_a, chunk.back(), true, limits.data());
      }
      for (std::size_t k = 0; k < all.size(); ++k) {
        const std::string what = std::string(kernelName(all[k])) + " depth " + std::to_string(depth) + " " +
                                 std::to_string(n_a) + "x" + std::to_string(n_b);
        for (std::ptrdiff_t a = 0; a < n_a; ++a) {
          for (std::ptrdiff_t b = 0; b < n_b; ++b) {
            ASSERT_EQ(bits(full[k](a, b)), bits(full[0](a, b))) << what << " against plain at " << a << "," << b;
            ASSERT_EQ(bits(full[k](a, b)), bits(referenceEntry(A.col(a).data(), B.col(b).data(), depth, block)))
                << what << " at " << a << "," << b;
            double sum = 0.0;
            for (std::ptrdiff_t r = 0; r < depth; ++r) sum += Ai(r, a) * Bi(r, b);
            ASSERT_EQ(bits(exact[k](a, b)), bits(sum)) << what << " whole numbers at " << a << "," << b;
          }
          for (std::ptrdiff_t b = a + 1; b < limits[a]; ++b) {
            ASSERT_EQ(bits(chunk[k](a, b)), bits(chunk[0](a, b)))
                << what << " chunk against plain at " << a << "," << b;
            ASSERT_EQ(bits(chunk[k](a, b)), bits(referenceEntry(A.col(a).data(), A.col(b).data(), depth, block)))
                << what << " chunk at " << a << "," << b;
          }
        }
      }
    }
  }
}
