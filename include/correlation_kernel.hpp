#pragma once
// Wide-vector kernels of the correlation product, chosen at run time for the machine at hand.
#include <cstddef>

namespace correlation {

// The packing buffers of the wide kernels (and the row ranges of crossProduct), grown to the largest
// shape met and kept: a product allocates nothing once one of its shape has run. One per thread,
// owned by the caller (the engine), never a thread-local object: a thread's first use of one of those
// registers its destructor, which fails without memory and ends the process in the C library.
class ProductScratch {
public:
  ProductScratch() = default;
  ~ProductScratch();
  ProductScratch(const ProductScratch&) = delete;
  ProductScratch& operator=(const ProductScratch&) = delete;

  // Room for n values in one of kSlots slots; throws std::bad_alloc.
  double* doubles(int slot, std::size_t n);
  std::ptrdiff_t* indices(int slot, std::size_t n);

  static constexpr int kSlots = 6;

private:
  void* get(int slot, std::size_t bytes);
  void* buffers_[kSlots] = {};
  std::size_t sizes_[kSlots] = {};
};

// Sets C(a, b) = the sum over k < depth of A(k, a) * B(k, b) for every a < n_a and every column b of
// [col_begin[a], col_end[a]) (all n_b columns when col_begin is null), in exactly the arithmetic of
// crossProduct: the depth in blocks of `block` values, each block in four interleaved lanes added as
// ((0 + 1) + (2 + 3)) plus the block's last len % 4 terms summed in order, C += each block's sum. C
// must hold zeros where it is to be set; entries outside the requested ranges may be set too.
// Column-major operands with leading dimensions lda, ldb, ldc. Returns false, touching nothing, when
// the machine has no wide kernel (or a test forced the plain one); the caller then takes the plain path.
// Slots 0 to 3 of `scratch` hold the packing; without one, the call allocates its own.
bool wideCrossProduct(const double* A, std::ptrdiff_t lda, std::ptrdiff_t n_a, const double* B,
                      std::ptrdiff_t ldb, std::ptrdiff_t n_b, std::ptrdiff_t depth, std::ptrdiff_t block,
                      double* C, std::ptrdiff_t ldc, const std::ptrdiff_t* col_begin,
                      const std::ptrdiff_t* col_end, ProductScratch* scratch = nullptr);

// The wide kernels: AVX-512 (8 doubles per vector) and AVX (4); none when the machine has neither.
enum class WideKernel { none, avx, avx512 };
WideKernel machineWideKernel();
const char* wideKernelName(WideKernel kernel);

// The same with a chosen kernel (for tests and benchmarks): false when the machine lacks it.
bool wideCrossProduct(WideKernel kernel, const double* A, std::ptrdiff_t lda, std::ptrdiff_t n_a,
                      const double* B, std::ptrdiff_t ldb, std::ptrdiff_t n_b, std::ptrdiff_t depth,
                      std::ptrdiff_t block, double* C, std::ptrdiff_t ldc, const std::ptrdiff_t* col_begin,
                      const std::ptrdiff_t* col_end, ProductScratch* scratch = nullptr);

// For tests only, never a user's choice: every later product takes `kernel` instead of the machine's
// widest, WideKernel::none being the plain path, so that a machine with AVX-512 can check the kernels
// other machines take. False, changing nothing, when the machine cannot run it. Call it while no
// product is running.
bool forceKernelForTesting(WideKernel kernel);
// The kernel the products take: the forced one, else the machine's widest.
WideKernel activeKernel();

} // namespace correlation
