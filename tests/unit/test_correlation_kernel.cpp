// The wide product kernels against a scalar statement of their summation order: every bit must agree,
// for every kernel the machine has, whatever the shapes, the blocks' remainders and the column ranges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

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
