#include "correlation_kernel.hpp"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace correlation {

namespace {

// Each kernel's functions are compiled for its instruction set only: a pragma region, in the form
// each compiler understands.
#if defined(__clang__)
#define CORVANE_TARGET_BEGIN(isa) _Pragma(isa)
#define CORVANE_TARGET_END _Pragma("clang attribute pop")
#else
#define CORVANE_TARGET_BEGIN(isa) _Pragma("GCC push_options") _Pragma(isa)
#define CORVANE_TARGET_END _Pragma("GCC pop_options")
#endif

#if defined(__clang__)
CORVANE_TARGET_BEGIN("clang attribute push(__attribute__((target(\"avx512f\"))), apply_to = function)")
#else
CORVANE_TARGET_BEGIN("GCC target(\"avx512f\")")
#endif
namespace avx512 {
constexpr int W = 8, MV = 1, NR = 8;  // measured best on Zen 4; larger tiles run slower there
typedef double Vec __attribute__((vector_size(64)));
inline Vec splat(double x) { return reinterpret_cast<Vec>(_mm512_set1_pd(x)); }
inline Vec multiplyAdd(Vec a, Vec b, Vec c) { return a * b + c; }
#include "correlation_kernel.inc"
} // namespace avx512
CORVANE_TARGET_END

#if defined(__clang__)
CORVANE_TARGET_BEGIN("clang attribute push(__attribute__((target(\"avx\"))), apply_to = function)")
#else
CORVANE_TARGET_BEGIN("GCC target(\"avx\")")
#endif
namespace avx {
constexpr int W = 4, MV = 3, NR = 4;  // 12 accumulators of the 16 vector registers
typedef double Vec __attribute__((vector_size(32)));
inline Vec splat(double x) { return reinterpret_cast<Vec>(_mm256_set1_pd(x)); }
inline Vec multiplyAdd(Vec a, Vec b, Vec c) { return a * b + c; }
#include "correlation_kernel.inc"
} // namespace avx
CORVANE_TARGET_END

WideKernel detect() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return WideKernel::avx512;
  if (__builtin_cpu_supports("avx")) return WideKernel::avx;
  return WideKernel::none;
}

} // namespace

ProductScratch::~ProductScratch() {
  for (void* p : buffers_) std::free(p);
}

double* ProductScratch::doubles(int slot, std::size_t n) {
  return static_cast<double*>(get(slot, n * sizeof(double)));
}

std::ptrdiff_t* ProductScratch::indices(int slot, std::size_t n) {
  return static_cast<std::ptrdiff_t*>(get(slot, n * sizeof(std::ptrdiff_t)));
}

void* ProductScratch::get(int slot, std::size_t bytes) {
  if (bytes > sizes_[slot]) {
    std::free(buffers_[slot]);
    buffers_[slot] = nullptr;
    sizes_[slot] = 0;
    void* p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    if (!p) throw std::bad_alloc();
    buffers_[slot] = p;
    sizes_[slot] = bytes;
  }
  return buffers_[slot];
}

WideKernel machineWideKernel() {
  static const WideKernel kernel = detect();
  return kernel;
}

namespace {
// Set by tests alone (-1: nothing forced); read on every product, by every thread.
std::atomic<int> forced_kernel{-1};

bool machineRuns(WideKernel kernel) {
  const WideKernel have = machineWideKernel();
  switch (kernel) {
    case WideKernel::avx512: return have == WideKernel::avx512;
    case WideKernel::avx: return have != WideKernel::none;
    default: return true;
  }
}
} // namespace

bool forceKernelForTesting(WideKernel kernel) {
  if (!machineRuns(kernel)) return false;
  forced_kernel.store(static_cast<int>(kernel));
  return true;
}

WideKernel activeKernel() {
  const int forced = forced_kernel.load(std::memory_order_relaxed);
  return forced < 0 ? machineWideKernel() : static_cast<WideKernel>(forced);
}

const char* wideKernelName(WideKernel kernel) {
  switch (kernel) {
    case WideKernel::avx512: return "avx512";
    case WideKernel::avx: return "avx";
    default: return "none";
  }
}

bool wideCrossProduct(WideKernel kernel, const double* A, std::ptrdiff_t lda, std::ptrdiff_t n_a,
                      const double* B, std::ptrdiff_t ldb, std::ptrdiff_t n_b, std::ptrdiff_t depth,
                      std::ptrdiff_t block, double* C, std::ptrdiff_t ldc, const std::ptrdiff_t* col_begin,
                      const std::ptrdiff_t* col_end, ProductScratch* scratch) {
  // A kernel the machine lacks is never run, whatever the caller asks.
  if (!machineRuns(kernel)) return false;
  if (n_a <= 0 || n_b <= 0 || depth <= 0 || block <= 0) return kernel != WideKernel::none;
  ProductScratch own;
  if (!scratch) scratch = &own;
  switch (kernel) {
    case WideKernel::avx512:
      avx512::product(A, lda, n_a, B, ldb, n_b, depth, block, C, ldc, col_begin, col_end, *scratch);
      return true;
    case WideKernel::avx:
      avx::product(A, lda, n_a, B, ldb, n_b, depth, block, C, ldc, col_begin, col_end, *scratch);
      return true;
    default:
      return false;
  }
}

bool wideCrossProduct(const double* A, std::ptrdiff_t lda, std::ptrdiff_t n_a, const double* B,
                      std::ptrdiff_t ldb, std::ptrdiff_t n_b, std::ptrdiff_t depth, std::ptrdiff_t block,
                      double* C, std::ptrdiff_t ldc, const std::ptrdiff_t* col_begin,
                      const std::ptrdiff_t* col_end, ProductScratch* scratch) {
  return wideCrossProduct(activeKernel(), A, lda, n_a, B, ldb, n_b, depth, block, C, ldc, col_begin,
                          col_end, scratch);
}

} // namespace correlation
