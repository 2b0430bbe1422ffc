#pragma once
// Shared timing harness of the two product benchmarks: every thread of one OpenMP team multiplies its
// own matrices (a chunk of n standardised dosage columns against a batch of n more, both with `samples`
// rows) `reps` times; the rate counts 2 x n x n x samples operations per product over the team's wall
// time, as a run of the computation would spend them.
#include <omp.h>

#include <Eigen/Dense>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

struct Options {
  int threads = 1;
  Eigen::Index samples = 5000;
  Eigen::Index n = 1000;
  int reps = 5;
};

inline Options parse(int argc, char** argv, const char* name) {
  Options o;
  for (int k = 1; k + 1 < argc; k += 2) {
    const std::string a = argv[k];
    const long v = std::strtol(argv[k + 1], nullptr, 10);
    if (v <= 0) {
      std::fprintf(stderr, "%s: %s needs a positive number\n", name, a.c_str());
      std::exit(1);
    }
    if (a == "--threads") o.threads = static_cast<int>(v);
    else if (a == "--samples") o.samples = v;
    else if (a == "--n") o.n = v;
    else if (a == "--reps") o.reps = static_cast<int>(v);
    else {
      std::fprintf(stderr, "usage: %s [--threads T] [--samples S] [--n N] [--reps R]\n", name);
      std::exit(1);
    }
  }
  return o;
}

// Standardised columns of a few discrete dosage levels, like the computation's matrices.
inline Eigen::MatrixXd dosageLike(Eigen::Index rows, Eigen::Index cols, unsigned seed) {
  Eigen::MatrixXd X(rows, cols);
  uint64_t s = 0x9E3779B97F4A7C15ull * (seed + 1);
  for (Eigen::Index c = 0; c < cols; ++c) {
    for (Eigen::Index r = 0; r < rows; ++r) {
      s ^= s << 13;
      s ^= s >> 7;
      s ^= s << 17;
      X(r, c) = static_cast<double>(s % 3);
    }
    X.col(c).array() -= X.col(c).mean();
    X.col(c) /= std::sqrt(X.col(c).squaredNorm() / static_cast<double>(rows - 1));
  }
  return X;
}

// Runs product(A, B, C) on every thread and prints "<label> threads=T gflops=R seconds=S".
template <typename Product>
void run(const Options& o, const char* label, Product product) {
  double seconds = 0.0;
  double checksum = 0.0;
#pragma omp parallel num_threads(o.threads) reduction(+ : checksum)
  {
    const Eigen::MatrixXd A = dosageLike(o.samples, o.n, 2 * omp_get_thread_num());
    const Eigen::MatrixXd B = dosageLike(o.samples, o.n, 2 * omp_get_thread_num() + 1);
    Eigen::MatrixXd C(o.n, o.n);
    product(A, B, C);  // warm-up: first touch, caches, clocks
#pragma omp barrier
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < o.reps; ++r) product(A, B, C);
#pragma omp barrier
#pragma omp master
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    checksum += C(0, 0);
  }
  const double ops = 2.0 * static_cast<double>(o.n) * static_cast<double>(o.n) *
                     static_cast<double>(o.samples) * o.reps * o.threads;
  std::printf("%s threads=%d gflops=%.2f seconds=%.3f checksum=%.6g\n", label, o.threads,
              ops / seconds * 1e-9, seconds, checksum);
}

} // namespace bench
