#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "bcor_test_helpers.hpp"
#include "bgen_writer.hpp"
#include "correlation.hpp"
#include "corvane.hpp"
#include "plink_writer.hpp"
#include "settings_guard.hpp"
#include "simulate.hpp"
#include "test_util.hpp"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

using testutil::SettingsGuard;

// ---- plain references: one column, one pair at a time ----

std::vector<double> meanImputed(std::vector<double> x) {
  double sum = 0;
  int n = 0;
  for (double v : x) {
    if (!std::isnan(v)) {
      sum += v;
      ++n;
    }
  }
  for (double& v : x) {
    if (std::isnan(v)) v = sum / n;
  }
  return x;
}

double referencePearson(const std::vector<double>& x0, const std::vector<double>& y0) {
  const std::vector<double> x = meanImputed(x0), y = meanImputed(y0);
  double mx = 0, my = 0;
  for (size_t s = 0; s < x.size(); ++s) {
    mx += x[s];
    my += y[s];
  }
  mx /= x.size();
  my /= y.size();
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t s = 0; s < x.size(); ++s) {
    sxy += (x[s] - mx) * (y[s] - my);
    sxx += (x[s] - mx) * (x[s] - mx);
    syy += (y[s] - my) * (y[s] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

std::vector<double> column(const Eigen::MatrixXd& X, Eigen::Index c) {
  return std::vector<double>(X.col(c).data(), X.col(c).data() + X.rows());
}

Eigen::MatrixXd randomDosages(int samples, int variants, unsigned seed, double missing) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  Eigen::MatrixXd X(samples, variants);
  for (int v = 0; v < variants; ++v) {
    const double p = 0.1 + 0.8 * u(rng);
    for (int s = 0; s < samples; ++s) {
      X(s, v) = (u(rng) < p) + (u(rng) < p);
      if (u(rng) < missing) X(s, v) = NaN;
    }
  }
  return X;
}

// ---- counting, imputation and standardisation ----

TEST(Dosages, CountsNonMissingPerColumn) {
  Eigen::MatrixXd X(3, 3);
  X << 0, NaN, NaN, 1, 2, NaN, NaN, 1, NaN;
  Eigen::VectorXi counts;
  correlation::countNonMissing(X, counts);
  EXPECT_EQ(counts, Eigen::Vector3i(2, 2, 0));
}

TEST(Dosages, ProductOfStandardisedColumnsIsPearsonOfImputedDosages) {
  Eigen::MatrixXd X = randomDosages(60, 8, 3, 0.1);
  X.col(5).setConstant(1.0);  // monomorphic
  X(4, 5) = NaN;
  X.col(6).setConstant(NaN);  // no data at all
  const Eigen::MatrixXd raw = X;
  correlation::imputeAndStandardise(X, X.cols(), 59.0);
  const Eigen::MatrixXd R = (X.transpose() * X) / 59.0;
  for (int a = 0; a < 8; ++a) {
    for (int b = a + 1; b < 8; ++b) {
      if (a == 5 || a == 6 || b == 5 || b == 6) {
        EXPECT_TRUE(std::isnan(R(a, b))) << a << "," << b;
      } else {
        EXPECT_NEAR(R(a, b), referencePearson(column(raw, a), column(raw, b)), 1e-12) << a << "," << b;
      }
    }
    if (a != 5 && a != 6) {
      EXPECT_NEAR(R(a, a), 1.0, 1e-12);
    }
  }
}

TEST(Dosages, StandardDeviationDividesByAllSamplesMinusOne) {
  Eigen::MatrixXd X(4, 1);
  X << 0, 2, NaN, 1;  // mean 1, imputed entry 1: squares 1 + 1 + 0 + 0 over 3
  correlation::imputeAndStandardise(X, 1, 3.0);
  const double sd = std::sqrt(2.0 / 3.0);
  EXPECT_DOUBLE_EQ(X(0, 0), -1.0 / sd);
  EXPECT_DOUBLE_EQ(X(1, 0), 1.0 / sd);
  EXPECT_DOUBLE_EQ(X(2, 0), 0.0);
  EXPECT_DOUBLE_EQ(X(3, 0), 0.0);
}

TEST(Dosages, ColumnsPastTheImputedOnesAreOnlyStandardised) {
  Eigen::MatrixXd X(3, 3);
  X << 0, 0, 0,  //
      NaN, NaN, 1,  //
      2, 2, 2;
  correlation::imputeAndStandardise(X, 1, 2.0);
  // Imputed: mean 1, squares 1 + 0 + 1 over 2, so sd 1.
  EXPECT_DOUBLE_EQ(X(0, 0), -1.0);
  EXPECT_DOUBLE_EQ(X(1, 0), 0.0);
  EXPECT_DOUBLE_EQ(X(2, 0), 1.0);
  // Not imputed: the gap spoils the whole column.
  for (int r = 0; r < 3; ++r) EXPECT_TRUE(std::isnan(X(r, 1)));
  // Not imputed but complete: standardised.
  EXPECT_DOUBLE_EQ(X(0, 2), -1.0);
  EXPECT_DOUBLE_EQ(X(1, 2), 0.0);
  EXPECT_DOUBLE_EQ(X(2, 2), 1.0);
}

// Every bit of the standardised matrix agrees with one column at a time, one entry at a time, in row
// order: for hard genotypes (whose results come from four divisions), soft dosages, a -0.0 entry,
// gaps, columns past the imputed ones, and column counts around the groups of eight.
TEST(Dosages, StandardisationHasTheBitsOfThePlainColumnLoop) {
  auto plain = [](Eigen::MatrixXd& X, Eigen::Index n_impute, double divisor) {
    for (Eigen::Index c = 0; c < X.cols(); ++c) {
      double sum = 0.0, first = 0.0;
      uint64_t count = 0;
      for (Eigen::Index r = 0; r < X.rows(); ++r)
        if (!std::isnan(X(r, c))) {
          if (count == 0) first = X(r, c);
          sum += X(r, c) - first;
          ++count;
        }
      const double n = static_cast<double>(count);
      const bool whole = first == std::rint(first) && sum == std::rint(sum);
      const double centre = whole ? 0.0 : first;
      const double delta = whole ? (sum + n * first) / n : sum / n;
      double squares = 0.0;
      for (Eigen::Index r = 0; r < X.rows(); ++r) {
        if (std::isnan(X(r, c))) {
          if (c >= n_impute) squares += X(r, c);
          continue;
        }
        volatile double deviation = (X(r, c) - centre) - delta;
        volatile double term = deviation * deviation;
        squares += term;
      }
      const double sd = std::sqrt(squares / divisor);
      for (Eigen::Index r = 0; r < X.rows(); ++r)
        X(r, c) = (std::isnan(X(r, c)) ? 0.0 : (X(r, c) - centre) - delta) / sd;
    }
  };
  std::mt19937 rng(3);
  for (Eigen::Index cols : {1, 7, 8, 9, 19}) {
    Eigen::MatrixXd X(53, cols);
    for (Eigen::Index c = 0; c < cols; ++c)
      for (Eigen::Index r = 0; r < 53; ++r) {
        const unsigned u = rng() % 20;
        X(r, c) = u == 0 ? NaN : (c % 3 == 2 ? (u % 7) * 0.3125 : double(u % 3));
      }
    if (cols > 3) {
      X(5, 3) = -0.0;
      X.col(1).setConstant(2.0);
      X(0, 1) = NaN;
      X.col(2).setConstant(0.1);  // equal fractions: their sum does not divide back to 0.1
      X(3, 2) = NaN;
    }
    for (Eigen::Index n_impute : {cols, cols / 2}) {
      Eigen::MatrixXd A = X, B = X;
      correlation::imputeAndStandardise(A, n_impute, 52.0);
      plain(B, n_impute, 52.0);
      for (Eigen::Index c = 0; c < cols; ++c)
        for (Eigen::Index r = 0; r < 53; ++r) {
          if (std::isnan(B(r, c))) {
            EXPECT_TRUE(std::isnan(A(r, c))) << cols << " " << r << "," << c;
          } else {
            EXPECT_EQ(std::signbit(A(r, c)), std::signbit(B(r, c))) << cols << " " << r << "," << c;
            EXPECT_EQ(A(r, c), B(r, c)) << cols << " " << r << "," << c;
          }
        }
    }
  }
}

// The passes count and standardise a matrix in groups of columns as they are read: the same bits as
// one pass over the whole matrix.
TEST(Dosages, ColumnRangesGiveTheWholeMatrixResult) {
  std::mt19937 rng(9);
  Eigen::MatrixXd X(41, 23);
  for (Eigen::Index i = 0; i < X.size(); ++i) X.data()[i] = rng() % 9 == 0 ? NaN : double(rng() % 3);
  Eigen::MatrixXd whole = X, parts = X;
  Eigen::VectorXi whole_counts, part_counts(23);
  correlation::countNonMissing(whole, whole_counts);
  correlation::imputeAndStandardise(whole, 17, 40.0);
  for (Eigen::Index c0 : {0, 8, 11, 19}) {
    const Eigen::Index c1 = c0 == 0 ? 8 : c0 == 8 ? 11 : c0 == 11 ? 19 : 23;
    correlation::countNonMissing(parts, c0, c1, part_counts);
    correlation::imputeAndStandardise(parts, c0, c1, 17, 40.0);
  }
  EXPECT_EQ(part_counts, whole_counts);
  for (Eigen::Index i = 0; i < X.size(); ++i) {
    if (std::isnan(whole.data()[i])) {
      EXPECT_TRUE(std::isnan(parts.data()[i])) << i;
    } else {
      EXPECT_EQ(parts.data()[i], whole.data()[i]) << i;
    }
  }
}

TEST(Dosages, ConstantOrEmptyColumnsBecomeNaN) {
  Eigen::MatrixXd X(3, 2);
  X << 1, NaN,  //
      NaN, NaN,  //
      1, NaN;
  correlation::imputeAndStandardise(X, 2, 2.0);
  for (int r = 0; r < 3; ++r) {
    EXPECT_TRUE(std::isnan(X(r, 0)));
    EXPECT_TRUE(std::isnan(X(r, 1)));
  }
}

// A BGEN variant whose samples all share one uncertain genotype: its dosage is the same fraction
// for everyone, and the sum of equal fractions need not divide back to that fraction.
TEST(Dosages, EqualFractionsAreConstantToo) {
  SettingsGuard guard;
  Shared_buffers shared(1);
  Corvane e(par, shared);
  for (int n : {7, 50, 100, 1000}) {
    e.bin_n_samples = n;
    for (int k = 1; k < 255; ++k) {
      Eigen::MatrixXd X = randomDosages(n, 2, k, 0.1);
      for (int s = 0; s < n; ++s) X(s, 0) = s % 10 == 3 ? NaN : k / 255.0;
      e.getNumberOfSamplesWithDosages(X, e.chunk_n_nonmissing);
      e.meanImputeAndScaleDosages(X, 2);
      ASSERT_TRUE(X.col(0).array().isNaN().all()) << k << "/255 over " << n << " samples";
      // So no pair with it is stored, whatever the thresholds.
      e.ld_thold = 0;
      e.ld_n_samples_avail_prop = 0;
      e.variant_window_size = 1000;
      e.bcor_end_variant = 1;
      e.variant_headers[0].position = 10;
      e.variant_headers[1].position = 20;
      const Eigen::MatrixXd R = (X.transpose() * X) / double(n - 1);
      e.checkChunk(0, 2, R);
      ASSERT_TRUE(e.correlations.empty()) << k << "/255 over " << n << " samples";
    }
  }
}

// BGEN samples reach one dosage by different stored probabilities: (0, 255, 0) and (4, 247, 4) of
// 255 both give 1, as do phased haplotypes (x, 255 - x). Such a variant has no spread in any layout,
// depth, compression or phasing, with missing samples: no pair is stored with it, and the pairs of
// the others are as before.
TEST(Dosages, EqualBgenDosagesFromDifferentProbabilitiesAreConstant) {
  SettingsGuard guard;
  const std::string dir = testutil::scratchDir("equal_bgen_dosages");
  const uint32_t n = 60;
  testdata::Rng rng(3);
  // Layouts 0 and 1, then layout 2 at 2 to 32 bits, unphased and phased.
  for (uint32_t c = 0; c < 64; ++c) {
    testdata::BgenHeader header;
    header.layout = c < 2 ? c : 2;
    header.compression = c % 3 == 0 ? testdata::kBgenStored : testdata::kBgenZlib;
    testdata::BgenBlockOptions block;
    block.bits = c < 2 ? 16 : 2 + (c - 2) / 2;
    block.phased = c >= 2 && c % 2 == 1;
    const uint64_t D = c == 0 ? 10000 : c == 1 ? 32768 : (uint64_t(1) << block.bits) - 1;
    const std::string what = "case " + std::to_string(c);
    // Variants 1 and 3 are constant: dosage 1, and 2/3 (layouts 0, 1) or 1 - 1/D (layout 2).
    std::vector<std::vector<double>> dosages(5, std::vector<double>(n, NaN));
    testdata::BgenWriter writer(dir + "/f.bgen", n, header, block);
    for (uint32_t v = 0; v < 5; ++v) {
      std::vector<double> probs(3 * n, NaN);
      std::vector<testdata::BgenSampleProbs> samples(n);
      for (uint32_t i = 0; i < n; ++i) {
        const uint64_t g = rng.below(3), x = rng.below(D / 2 + 1), k = 1 + rng.below(1000);
        const bool missing = i % 7 == v;
        if (!missing && v % 2 == 0) dosages[v][i] = double(g);
        // Layouts 0 and 1 store the whole triple; layout 2 its first two values, or each
        // haplotype's first.
        const uint64_t triple[3] = {v == 1 ? k : v == 3 ? 3 * k : g == 0 ? D : 0,
                                    v == 1 ? D - 3 * k : v == 3 ? 2 * k : g == 1 ? D : 0,
                                    v == 1 ? k : v == 3 ? k : g == 2 ? D : 0};
        uint64_t s0 = triple[0], s1 = triple[1];
        if (v == 1) s0 = x, s1 = block.phased ? D - x : D - 2 * x;
        if (v == 3) s0 = x + 1, s1 = block.phased ? D - x : D - 1 - 2 * x;
        if (v % 2 == 0 && block.phased) s0 = g == 2 ? 0 : D, s1 = g == 0 ? D : 0;
        for (int e = 0; e < 3 && !missing; ++e) probs[3 * i + e] = double(triple[e]) / double(D);
        samples[i].missing = missing;
        samples[i].raw_values = {uint32_t(s0), uint32_t(s1)};
      }
      testdata::BgenVariantId id;
      id.position = 1000 * (v + 1);
      if (c < 2) {
        writer.addVariant(id, probs);
      } else {
        writer.addVariantSamples(id, samples);
      }
    }
    writer.close();
    const testutil::RunResult run = testutil::runCorvane(
        "--bgen " + dir + "/f.bgen --bcor " + dir +
        "/f.bcor --ld-thold 0 --ld-n-samples-avail-prop 0 --n-threads 1 --accuracy high");
    ASSERT_EQ(run.status, 0) << what << "\n" << run.output;
    size_t stored = 0;
    for (const auto& record : bcortest::readWholeFile(dir + "/f.bcor_1").correlations) {
      for (const auto& pair : record.second) {
        const uint32_t i = record.first, j = pair.first;
        ASSERT_TRUE(i % 2 == 0 && j % 2 == 0) << what << ": pair " << i << " " << j << " stored";
        EXPECT_NEAR(pair.second, referencePearson(dosages[i], dosages[j]), 1e-12) << what;
        ++stored;
      }
    }
    EXPECT_EQ(stored, 3u) << what;
  }
}

// A BGEN dosage t/M (M = 2^32 - 1 here) shared by nearly every sample, a step up at one: its sum
// rounds by far more than the column's spread unless the column is centred on its own values. Its
// mirror 2 - x (exact for x in [1, 2]) must standardise to exactly its negative, an imputed entry to
// exactly 0, and a second such spike must correlate with it as the closed form says.
TEST(Dosages, NearlyConstantFractionsKeepTheirSpread) {
  const int n = 20011, present = n - 2;
  const double M = 4294967295.0, x = 5726623060.0 / M, up = 5726623061.0 / M;
  Eigen::MatrixXd X = randomDosages(n, 10, 4, 0.0);
  for (Eigen::Index c : {0, 1, 2, 8, 9}) {
    for (int s = 0; s < n; ++s) {
      const bool spike = (c == 2 ? s == 12000 : s == 5000);
      const double v = s == 0 || s == 7 ? NaN : spike ? up : x;
      X(s, c) = c == 1 || c == 9 ? 2.0 - v : v;
    }
  }
  correlation::imputeAndStandardise(X, 10, double(n - 1));
  for (Eigen::Index c : {0, 8}) {
    for (int s = 0; s < n; ++s) {
      ASSERT_EQ(X(s, c + 1), -X(s, c)) << "column " << c << ", sample " << s;
      if (s == 0 || s == 7) {
        ASSERT_EQ(X(s, c), 0.0) << "column " << c << ", sample " << s;
      }
    }
    EXPECT_GT(X(5000, c), 0.0);
  }
  // Two spikes at different samples: r = -1 / (present - 1), the imputed samples adding nothing.
  const double r = X.col(0).dot(X.col(2)) / double(n - 1), exact = -1.0 / double(present - 1);
  EXPECT_NEAR(r, exact, 1e-9 * std::fabs(exact));
}

// The same from BGEN files at deep bit depths over many samples: a mirror pair is exactly -1 at every
// accuracy (so --ld-thold 1 keeps it), and two spikes at different samples, one of them the first,
// land on r = -1 / (N - 1) of the N samples with a genotype (the last sample is missing everywhere).
TEST(Dosages, NearlyConstantBgenVariantsFromDeepBitDepths) {
  SettingsGuard guard;
  const std::string dir = testutil::scratchDir("nearly_constant_bgen");
  struct Case {
    uint32_t bits, n;
  };
  for (const Case& c : {Case{32, 100000}, Case{24, 100000}, Case{16, 2000003}, Case{8, 2000003}}) {
    const uint64_t M = (uint64_t(1) << c.bits) - 1, t = M / 3;
    const std::string what = std::to_string(c.bits) + " bits, " + std::to_string(c.n) + " samples";
    testdata::BgenHeader header;
    header.zlib_level = 1;
    testdata::BgenBlockOptions block;
    block.bits = c.bits;
    testdata::BgenWriter writer(dir + "/f.bgen", c.n, header, block);
    std::vector<testdata::BgenSampleProbs> samples(c.n);
    // Variant 0 steps up at sample n/3, variant 1 is its mirror, variant 2 steps up at sample 0.
    for (uint32_t v = 0; v < 3; ++v) {
      for (uint32_t i = 0; i < c.n; ++i) {
        const uint64_t step = (v == 2 ? i == 0 : i == c.n / 3) ? 1 : 0;
        const uint64_t d = v == 1 ? 2 * M - t - step : t + step;  // the dosage d / M
        samples[i].missing = i == c.n - 1;
        samples[i].raw_values = d <= M ? std::vector<uint32_t>{uint32_t(M - d), uint32_t(d)}
                                       : std::vector<uint32_t>{0, uint32_t(2 * M - d)};
      }
      testdata::BgenVariantId id;
      id.position = 1000 * (v + 1);
      writer.addVariantSamples(id, samples);
    }
    writer.close();
    const std::string run_args = "--bgen " + dir + "/f.bgen --bcor " + dir + "/f.bcor --n-threads 1 ";
    testutil::RunResult run = testutil::runCorvane(run_args + "--ld-thold 0 --accuracy high");
    ASSERT_EQ(run.status, 0) << what << "\n" << run.output;
    bcortest::ReadBack back = bcortest::readWholeFile(dir + "/f.bcor_1");
    const double spikes = -1.0 / double(c.n - 2);
    EXPECT_EQ(back.correlations[0][1], -1.0) << what;
    EXPECT_NEAR(back.correlations[0][2], spikes, 1e-8 * std::fabs(spikes)) << what;
    EXPECT_NEAR(back.correlations[1][2], -spikes, 1e-8 * std::fabs(spikes)) << what;
    for (const char* accuracy : {"low", "medium", "high"}) {
      run = testutil::runCorvane(run_args + "--ld-thold 1 --accuracy " + accuracy);
      ASSERT_EQ(run.status, 0) << what << "\n" << run.output;
      back = bcortest::readWholeFile(dir + "/f.bcor_1");
      EXPECT_EQ(back.correlations.size(), 1u) << what << ", " << accuracy;
      EXPECT_EQ(back.correlations[0].size(), 1u) << what << ", " << accuracy;
      EXPECT_EQ(back.correlations[0][1], -1.0) << what << ", " << accuracy;
    }
  }
}

TEST(Dosages, OneSampleGivesNaNEverywhere) {
  SettingsGuard guard;
  Shared_buffers shared(1);
  Corvane engine(par, shared);
  engine.bin_n_samples = 1;
  Eigen::MatrixXd X(1, 2);
  X << 1, 2;
  engine.meanImputeAndScaleDosages(X, 2);
  EXPECT_TRUE(std::isnan(X(0, 0)));
  EXPECT_TRUE(std::isnan(X(0, 1)));
}

TEST(Dosages, ProgressLines) {
  Chunk one{0, 1, 6, 7};
  EXPECT_EQ(correlation::progressLine(2, 3, 5, one),
            "- Process 2 : is processing variant 7-7 (1 variant) in chunk 3/5\n");
  Chunk many{0, 1000, 0, 1000};
  EXPECT_EQ(correlation::progressLine(1, 1, 1, many),
            "- Process 1 : is processing variants 1-1000 (1000 variants) in chunk 1/1\n");
}

// ---- the cross product ----

TEST(CrossProduct, MatchesPlainLoopsForOddShapes) {
  for (int depth : {1, 3, 4, 7, 256, 517}) {
    const Eigen::MatrixXd A = Eigen::MatrixXd::Random(depth, 11), B = Eigen::MatrixXd::Random(depth, 6);
    Eigen::MatrixXd C(11, 5);
    correlation::crossProduct(A, 11, B, 5, C, false);
    for (int a = 0; a < 11; ++a)
      for (int b = 0; b < 5; ++b) {
        double sum = 0;
        for (int k = 0; k < depth; ++k) sum += A(k, a) * B(k, b);
        EXPECT_NEAR(C(a, b), sum, 1e-12 * depth) << depth << " " << a << "," << b;
      }
  }
}

TEST(CrossProduct, AnEntryHasTheSameBitsInAnyShapeAndPlace) {
  const int depth = 700;
  const Eigen::MatrixXd X = Eigen::MatrixXd::Random(depth, 13);
  Eigen::MatrixXd full(13, 13);
  correlation::crossProduct(X, 13, X, 13, full, false);
  Eigen::MatrixXd upper(13, 13);
  correlation::crossProduct(X, 13, X, 13, upper, true);
  for (int a = 0; a < 13; ++a) {
    for (int b = a + 1; b < 13; ++b) {
      EXPECT_EQ(upper(a, b), full(a, b));
      // The same two columns alone, and column b in a batch of its own.
      Eigen::MatrixXd one(1, 1), batch(13, 1);
      correlation::crossProduct(X.col(a), 1, X.col(b), 1, one, false);
      correlation::crossProduct(X, 13, X.col(b), 1, batch, false);
      EXPECT_EQ(one(0, 0), full(a, b));
      EXPECT_EQ(batch(a, 0), full(a, b));
    }
  }
}

TEST(CrossProduct, RowLimitsLeaveTheNeededEntriesUntouched) {
  const Eigen::MatrixXd A = Eigen::MatrixXd::Random(300, 10), B = Eigen::MatrixXd::Random(300, 9);
  Eigen::MatrixXd full(10, 9), limited(10, 9);
  correlation::crossProduct(A, 10, B, 9, full, false);
  const std::vector<Eigen::Index> limits = {0, 9, 3, 1, 0, 5, 0, 0, 2, 9};
  correlation::crossProduct(A, 10, B, 9, limited, false, limits.data());
  for (int a = 0; a < 10; ++a)
    for (int b = 0; b < limits[a]; ++b) EXPECT_EQ(limited(a, b), full(a, b)) << a << "," << b;
}

// ---- the pair filter ----

struct FilterEngine {
  SettingsGuard guard;
  Shared_buffers shared{1};
  Corvane engine{par, shared};
  FilterEngine() {
    engine.bin_n_samples = 100;
    engine.variant_window_size = 1000;
    engine.ld_thold = 0.2;
    engine.ld_n_samples_avail_prop = 0.5;
    engine.bcor_end_variant = 50;
  }
  bool decide(double r, uint32_t n, uint32_t i, uint32_t j, uint32_t pi, uint32_t pj) {
    bool stop = false;
    engine.checkSparseness(r, n, i, j, pi, pj, stop);
    return stop;
  }
  bool stored(uint32_t i, uint32_t j) {
    auto it = engine.correlations.find(i);
    return it != engine.correlations.end() && it->second.count(j);
  }
};

TEST(PairFilter, WindowIsExclusive) {
  FilterEngine f;
  EXPECT_FALSE(f.decide(0.5, 100, 1, 2, 5000, 5999));
  EXPECT_TRUE(f.stored(1, 2));
  EXPECT_TRUE(f.decide(0.5, 100, 1, 3, 5000, 6000));
  EXPECT_FALSE(f.stored(1, 3));
  EXPECT_EQ(f.engine.finished_variants, std::set<uint32_t>{1});
}

TEST(PairFilter, ThresholdsAreInclusiveAndNaNNeverPasses) {
  FilterEngine f;
  f.decide(0.2, 100, 1, 2, 0, 1);
  f.decide(-0.3, 100, 1, 3, 0, 1);
  f.decide(0.19999, 100, 1, 4, 0, 1);
  f.decide(NaN, 100, 1, 5, 0, 1);
  f.decide(0.9, 50, 1, 6, 0, 1);
  f.decide(0.9, 49, 1, 7, 0, 1);
  EXPECT_TRUE(f.stored(1, 2));
  EXPECT_EQ(f.engine.correlations[1].at(3), -0.3);
  EXPECT_FALSE(f.stored(1, 4));
  EXPECT_FALSE(f.stored(1, 5));
  EXPECT_TRUE(f.stored(1, 6));
  EXPECT_FALSE(f.stored(1, 7));
  // Only the pair without every sample gets a sample count.
  EXPECT_EQ(f.engine.sample_counts.size(), 1u);
  EXPECT_EQ(f.engine.sample_counts[1], (SampleCountMap{{6, 50}}));
  EXPECT_EQ(f.engine.number_of_correlations_in_file, 3u);
  EXPECT_EQ(f.shared.total_number_of_correlations, 3u);
}

TEST(PairFilter, BothThresholdsZeroStoreEveryNumber) {
  FilterEngine f;
  f.engine.ld_thold = 0;
  f.engine.ld_n_samples_avail_prop = 0;
  f.decide(0.0, 0, 1, 2, 0, 1);
  f.decide(NaN, 100, 1, 3, 0, 1);
  EXPECT_TRUE(f.stored(1, 2));
  EXPECT_FALSE(f.stored(1, 3));
}

// The threshold holds on |r| as the file stores it: at low and medium accuracy a pair that rounds
// to the threshold's stored magnitude is kept, so an exact tie computed a rounding below is too.
TEST(PairFilter, ThresholdDecidesOnTheStoredMagnitude) {
  struct Case {
    const char* accuracy;
    double thold, r;
    bool stored;
  };
  const double half = std::nextafter(0.5, 0.0);  // an exact 1/2 as it can be computed
  const double low = 9829.5 / 32768, medium = 644245093.5 / 2147483648.0;  // least stored as 0.3
  const Case cases[] = {{"low", 0.5, -half, true},
                        {"medium", 0.5, -half, true},
                        {"high", 0.5, -half, false},
                        {"low", 0.3, low, true},
                        {"low", 0.3, std::nextafter(low, 0.0), false},
                        {"medium", 0.3, -medium, true},
                        {"medium", 0.3, std::nextafter(medium, 0.0), false},
                        {"high", 0.3, 0.3, true},
                        {"high", 0.3, std::nextafter(0.3, 0.0), false},
                        {"low", 1.0, 1.0 - std::ldexp(1.0, -17), true},
                        {"low", 1.0, 1.0 - std::ldexp(1.0, -15), false},
                        {"low", 0.0, -0.0, true},
                        {"low", 0.0, NaN, false}};
  for (const Case& c : cases) {
    FilterEngine f;
    f.engine.accuracy = c.accuracy;
    f.engine.ld_thold = c.thold;
    f.decide(c.r, 100, 1, 2, 0, 1);
    EXPECT_EQ(f.stored(1, 2), c.stored) << c.accuracy << " at " << c.thold << ": " << c.r;
  }
}

TEST(PairFilter, PartnerPastTheRunOrBehindClosesTheScan) {
  FilterEngine f;
  EXPECT_TRUE(f.decide(0.9, 100, 1, 51, 0, 1));
  EXPECT_TRUE(f.decide(0.9, 100, 2, 3, 500, 499));
  EXPECT_FALSE(f.decide(0.9, 100, 4, 5, 500, 500));
  EXPECT_TRUE(f.engine.correlations.count(4));
  EXPECT_EQ(f.engine.correlations.size(), 1u);
}

TEST(PairFilter, RunTotalIsTheSumOverThreads) {
  SettingsGuard guard;
  Shared_buffers shared(4);
  std::vector<uint64_t> own(4);
#pragma omp parallel num_threads(4)
  {
    Corvane engine(par, shared);
    engine.bin_n_samples = 10;
    engine.variant_window_size = 100000;
    engine.bcor_end_variant = 100000;
    const uint32_t t = engine.process_number;
    for (uint32_t j = 1; j <= 500 + 100 * t; ++j) {
      bool stop = false;
      engine.checkSparseness(0.5, 10, t, t + j, 0, j, stop);
    }
    own[t] = engine.number_of_correlations_in_file;
  }
  EXPECT_EQ(shared.total_number_of_correlations, own[0] + own[1] + own[2] + own[3]);
  EXPECT_EQ(shared.total_number_of_correlations, 500u + 600u + 700u + 800u);
}

// Pairs that the filter should keep, by a walk over all pairs: per first variant, partners in
// order until the first one at or beyond the window.
std::map<uint32_t, std::map<uint32_t, double>> referenceFilter(
    const std::vector<uint32_t>& first, const std::vector<uint32_t>& partners,
    const std::map<uint32_t, uint32_t>& pos, const std::map<uint32_t, int>& counts,
    const std::map<std::pair<uint32_t, uint32_t>, double>& r, uint32_t window, uint32_t n_samples,
    double thold, double prop, uint32_t last) {
  std::map<uint32_t, std::map<uint32_t, double>> kept;
  for (uint32_t i : first) {
    for (uint32_t j : partners) {
      if (j <= i) continue;
      if (j > last || pos.at(j) < pos.at(i) || pos.at(j) - pos.at(i) >= window) break;
      const int n = std::min(counts.at(i), counts.at(j));
      const double value = r.at({i, j});
      // The engines here store at medium accuracy.
      const bool large = bcor::encodeMagnitude(value, 4) >= bcor::encodeMagnitude(thold, 4);
      if (double(n) / n_samples >= prop && large) kept[i][j] = value;
    }
  }
  return kept;
}

std::map<uint32_t, std::map<uint32_t, double>> storedPairs(const Corvane& e) {
  std::map<uint32_t, std::map<uint32_t, double>> out;
  for (const auto& [i, m] : e.correlations)
    for (const auto& [j, v] : m) out[i][j] = v;
  return out;
}

TEST(PairFilter, ChunkMatchesThePlainWalk) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    FilterEngine f;
    Corvane& e = f.engine;
    const uint32_t start = 7, n = 1 + rng() % 12;
    e.bcor_end_variant = start + n + 5;
    e.variant_window_size = 50 + rng() % 100;
    std::map<uint32_t, uint32_t> pos;
    std::map<uint32_t, int> counts;
    std::map<std::pair<uint32_t, uint32_t>, double> r;
    Eigen::MatrixXd R(n, n);
    e.chunk_n_nonmissing.resize(n);
    uint32_t p = 1000;
    std::vector<uint32_t> ids;
    for (uint32_t a = 0; a < n; ++a) {
      p += rng() % 40;
      pos[start + a] = p;
      e.variant_headers[start + a].position = p;
      counts[start + a] = e.chunk_n_nonmissing(a) = 30 + rng() % 71;
      ids.push_back(start + a);
    }
    for (uint32_t a = 0; a < n; ++a)
      for (uint32_t b = 0; b < n; ++b) {
        R(a, b) = (rng() % 2000) / 1000.0 - 1.0;
        r[{start + a, start + b}] = R(a, b);
      }
    e.checkChunk(start, start + n, R);
    EXPECT_EQ(storedPairs(e), referenceFilter(ids, ids, pos, counts, r, e.variant_window_size, 100,
                                              0.2, 0.5, e.bcor_end_variant));
    EXPECT_TRUE(e.finished_variants.empty());
  }
}

TEST(PairFilter, SampleCountIsTheSmallerCountNotTheOverlap) {
  SettingsGuard guard;
  Shared_buffers shared(1);
  Corvane e(par, shared);
  e.bin_n_samples = 100;
  e.ld_thold = 0;
  e.ld_n_samples_avail_prop = 0;
  e.bcor_end_variant = 1;
  Eigen::MatrixXd X = randomDosages(100, 2, 9, 0.0);
  X(1, 0) = NaN;
  X(2, 1) = NaN;
  e.variant_headers[0].position = 10;
  e.variant_headers[1].position = 20;
  e.getNumberOfSamplesWithDosages(X, e.chunk_n_nonmissing);
  e.meanImputeAndScaleDosages(X, 2);
  const Eigen::MatrixXd R = (X.transpose() * X) / 99.0;
  e.checkChunk(0, 2, R);
  EXPECT_EQ(e.sample_counts[0].at(1), 99u);
}

TEST(PairFilter, BatchPartnersFollowTheEarlierBatches) {
  std::mt19937 rng(13);
  for (int trial = 0; trial < 20; ++trial) {
    FilterEngine f;
    Corvane& e = f.engine;
    const uint32_t start = 10, end = 13, n_read = 4;
    e.batch_sizes = {3, n_read};  // this batch holds variants 16 to 19
    e.bcor_end_variant = 18 + trial % 3;
    e.variant_window_size = 60 + rng() % 60;
    std::map<uint32_t, uint32_t> pos;
    std::map<uint32_t, int> counts;
    std::map<std::pair<uint32_t, uint32_t>, double> r;
    uint32_t p = 0;
    for (uint32_t i = start; i < 20; ++i) {
      p += rng() % 25;
      pos[i] = p;
      if (i <= e.bcor_end_variant) e.positions[i] = p;
      if (i < end) e.variant_headers[i].position = p;
    }
    e.chunk_n_nonmissing.resize(3);
    e.downstream_n_nonmissing.resize(n_read);
    for (uint32_t a = 0; a < 3; ++a) counts[start + a] = e.chunk_n_nonmissing(a) = 40 + rng() % 61;
    for (uint32_t k = 0; k < n_read; ++k) counts[16 + k] = e.downstream_n_nonmissing(k) = 40 + rng() % 61;
    Eigen::MatrixXd R(3, n_read);
    for (uint32_t a = 0; a < 3; ++a)
      for (uint32_t k = 0; k < n_read; ++k) r[{start + a, 16 + k}] = R(a, k) = (rng() % 2000) / 1000.0 - 1.0;
    // Variant 11 closed in an earlier batch; variant 5 is left over from another chunk.
    e.active_variants = {5, 10, 12};
    e.checkBatch(start, end, n_read, R);
    EXPECT_EQ(storedPairs(e), referenceFilter({10, 12}, {16, 17, 18, 19}, pos, counts, r,
                                              e.variant_window_size, 100, 0.2, 0.5, e.bcor_end_variant));
    // A variant leaves the active set exactly when some partner of this batch closed its window.
    for (uint32_t i : {10u, 12u}) {
      bool closes = false;
      for (uint32_t j = 16; j < 20; ++j)
        closes |= j > e.bcor_end_variant || pos[j] < pos[i] || pos[j] - pos[i] >= e.variant_window_size;
      EXPECT_EQ(e.active_variants.count(i) == 0, closes) << "variant " << i;
    }
    EXPECT_TRUE(e.active_variants.count(5));
    EXPECT_TRUE(e.finished_variants.empty());
  }
}

// Computed |r| near 1: exact linear relations of the imputed dosages become exactly +-1, anything
// above 1 becomes 1, and every other value keeps its bits.
TEST(PairFilter, CorrelationsNearOneSettle) {
  EXPECT_EQ(correlation::settleNearOne(1.0000000000000018, nullptr, nullptr, 0), 1.0);
  EXPECT_EQ(correlation::settleNearOne(-1.0000000000000018, nullptr, nullptr, 0), -1.0);
  EXPECT_EQ(correlation::settleNearOne(0.9999999999999998, nullptr, nullptr, 0), 0.9999999999999998);
  EXPECT_TRUE(std::isnan(correlation::settleNearOne(NaN, nullptr, nullptr, 0)));

  // Mirrored dosages with the same samples missing: -1 exactly after imputation.
  testdata::Rng rng(27);
  const int n = 137;
  Eigen::MatrixXd X(n, 2);
  for (int k = 0; k < n; ++k) {
    X(k, 0) = k % 17 == 3 ? NaN : static_cast<double>(rng.below(3));
    X(k, 1) = 2.0 - X(k, 0);
  }
  correlation::imputeAndStandardise(X, 2, n - 1);
  EXPECT_EQ(correlation::settleNearOne(-0.9999999999999998, X.col(0).data(), X.col(1).data(), n), -1.0);
  EXPECT_EQ(correlation::settleNearOne(-1.0000000000000004, X.col(0).data(), X.col(1).data(), n), -1.0);

  // A column that is another's scaled and shifted copy, as the rounding of two standardisations over
  // many samples can leave them, is still collinear with it; one sample off by 2^-20 is not.
  Eigen::VectorXd scaled = X.col(0) * (1.0 + std::ldexp(1.0, -28));
  scaled.array() += std::ldexp(1.0, -30);
  EXPECT_TRUE(correlation::roundsToPerfect(X.col(0).data(), scaled.data(), n, 0.9999999999999998));
  scaled(7) += std::ldexp(1.0, -20);
  EXPECT_FALSE(correlation::roundsToPerfect(X.col(0).data(), scaled.data(), n, 0.9999999999999998));

  // 0/1/2 dosages that differ at one sample of 100000: |r| within 2^-16 of 1 but not 1, so the
  // product's value stays as it is.
  const int m = 100000;
  Eigen::MatrixXd Y(m, 2);
  for (int k = 0; k < m; ++k) Y(k, 0) = Y(k, 1) = static_cast<double>(rng.below(3));
  Y(m / 2, 1) = Y(m / 2, 0) == 2.0 ? 1.0 : Y(m / 2, 0) + 1.0;
  correlation::imputeAndStandardise(Y, 2, m - 1);
  Eigen::MatrixXd C(1, 1);
  correlation::crossProduct(Y.leftCols(1), 1, Y.rightCols(1), 1, C, false);
  const double r = C(0, 0) / (m - 1);
  ASSERT_GE(r, correlation::nearOne);
  ASSERT_LT(r, 1.0);
  EXPECT_FALSE(correlation::roundsToPerfect(Y.col(0).data(), Y.col(1).data(), m, r));
  EXPECT_EQ(correlation::settleNearOne(r, Y.col(0).data(), Y.col(1).data(), m), r);
}

// Variants in perfect LD (identical or mirrored dosages) are stored at --ld-thold 1 with |r| exactly
// 1 at every accuracy, from PLINK and BGEN input: groups of five variants over 137 samples (80 pairs,
// one group with missing genotypes at the same samples), and three variants over 10 samples.
TEST(PairFilter, PerfectLdIsStoredAtThresholdOneAndNeverAboveOne) {
  SettingsGuard guard;
  const std::string dir = testutil::scratchDir("perfect_ld");
  struct Set {
    std::string name;
    std::vector<std::vector<int>> a_counts;  // per variant, -1 missing
    std::vector<int> group;                  // per variant
    std::vector<int> sign;                   // per variant: +1 as its group's first, -1 mirrored
  };
  std::vector<Set> sets(2);
  testdata::Rng rng(0);
  sets[0].name = "groups";
  for (int g = 0; g < 8; ++g) {
    std::vector<int> base(137);
    for (int k = 0; k < 137; ++k) base[k] = g == 5 && k % 11 == 4 ? -1 : static_cast<int>(rng.below(3));
    for (int v = 0; v < 5; ++v) {
      const bool mirrored = v > 0 && rng.below(2) == 1;
      std::vector<int> counts = base;
      for (int& c : counts) c = c < 0 || !mirrored ? c : 2 - c;
      sets[0].a_counts.push_back(counts);
      sets[0].group.push_back(g);
      sets[0].sign.push_back(mirrored ? -1 : 1);
    }
  }
  const std::vector<int> ten = {2, 1, 2, 2, 0, 1, 0, 0, 2, 0};
  std::vector<int> ten_mirrored;
  for (int c : ten) ten_mirrored.push_back(2 - c);
  sets[1] = Set{"ten", {ten, ten, ten_mirrored}, {0, 0, 0}, {1, 1, -1}};

  for (const Set& set : sets) {
    const size_t n_variants = set.a_counts.size();
    const uint32_t n_samples = static_cast<uint32_t>(set.a_counts[0].size());
    const std::string base = dir + "/" + set.name;
    {
      testdata::PlinkWriter plink(base, testdata::defaultFamSamples(n_samples));
      testdata::BgenWriter bgen(base + ".bgen", n_samples);
      for (size_t v = 0; v < n_variants; ++v) {
        testdata::PlinkVariant pv;
        pv.rsid = "rs" + std::to_string(v + 1);
        pv.position = 1000 * static_cast<uint32_t>(v + 1);
        pv.allele_a = "A";
        pv.allele_b = "G";
        plink.addVariant(pv, set.a_counts[v]);
        testdata::BgenVariantId id;
        id.rsid = pv.rsid;
        id.position = pv.position;
        std::vector<double> b_dosages;
        for (int c : set.a_counts[v]) b_dosages.push_back(c < 0 ? NaN : 2.0 - c);
        bgen.addVariantDosages(id, b_dosages);
      }
      plink.close();
      bgen.close();
    }
    size_t expected = 0;
    for (size_t i = 0; i < n_variants; ++i)
      for (size_t j = i + 1; j < n_variants; ++j) expected += set.group[i] == set.group[j];
    EXPECT_EQ(expected, set.name == "ten" ? 3u : 80u);
    for (const std::string& input : {"--bplink " + base, "--bgen " + base + ".bgen"}) {
      for (const char* accuracy : {"low", "medium", "high"}) {
        const std::string what = set.name + " " + input + " " + accuracy;
        const std::string bcor = base + "_" + accuracy + ".bcor";
        const testutil::RunResult run = testutil::runCorvane(input + " --bcor " + bcor +
                                                             " --ld-thold 1 --n-threads 1 --accuracy " + accuracy);
        ASSERT_EQ(run.status, 0) << what << "\n" << run.output;
        const bcortest::ReadBack back = bcortest::readWholeFile(bcor + "_1");
        size_t stored = 0;
        for (const auto& record : back.correlations) {
          for (const auto& pair : record.second) {
            const uint32_t i = record.first, j = pair.first;
            ++stored;
            EXPECT_EQ(set.group[i], set.group[j]) << what << " " << i << " " << j;
            EXPECT_EQ(pair.second, static_cast<double>(set.sign[i] * set.sign[j])) << what << " " << i << " " << j;
          }
        }
        EXPECT_EQ(stored, expected) << what;
      }
    }
  }
}

} // namespace
