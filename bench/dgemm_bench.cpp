// A plain DGEMM of the product stage's shapes (C = A^T B), one product per thread at a time, with
// Eigen's best kernel for this machine: the rate the product stage is measured against.
#include "bench_common.hpp"

int main(int argc, char** argv) {
  const bench::Options o = bench::parse(argc, argv, "corvane_bench_dgemm");
  Eigen::setNbThreads(1);  // one product per thread, as in the computation
  bench::run(o, "dgemm", [](const Eigen::MatrixXd& A, const Eigen::MatrixXd& B, Eigen::MatrixXd& C) {
    C.noalias() = A.transpose() * B;
  });
  return 0;
}
