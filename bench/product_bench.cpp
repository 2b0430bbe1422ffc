// The product stage of the computation alone: correlation::crossProduct and the division by the
// number of samples minus one, exactly as a chunk's downstream batch runs them.
#include "bench_common.hpp"
#include "correlation.hpp"

int main(int argc, char** argv) {
  const bench::Options o = bench::parse(argc, argv, "corvane_bench_product");
  const double d = static_cast<double>(o.samples - 1);
  bench::run(o, "product_stage", [&](const Eigen::MatrixXd& A, const Eigen::MatrixXd& B, Eigen::MatrixXd& C) {
    // One per thread, kept from call to call, as each engine keeps its own.
    thread_local correlation::ProductScratch scratch;
    correlation::crossProduct(A, A.cols(), B, B.cols(), C, false, nullptr, &scratch);
    C /= d;
  });
  return 0;
}
