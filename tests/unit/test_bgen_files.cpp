// BGEN files from the project's test writer read back exactly; the sample file and the BGEN paths
// of the sample list and the range selection.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <numeric>

#include "bgen_writer.hpp"
#include "corvane.hpp"
#include "death_test.hpp"
#include "settings_guard.hpp"
#include "simulate.hpp"
#include "test_util.hpp"

namespace {

bool sameDosage(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Reads every variant twice (table path and one-pass path) and checks both against `expected`.
void expectDosages(const std::string& path, const std::vector<std::vector<double>>& expected,
                   const std::string& what) {
  BgenParser parser;
  parser.print_errors = true;
  parser.open(path);
  std::map<uint32_t, VariantHeader> headers;
  const uint32_t n = parser.context.number_of_samples;
  Eigen::VectorXd fused(n);
  for (uint32_t j = 0; j < expected.size(); ++j) {
    ASSERT_TRUE(parser.read_variant(j, true, headers)) << what;
    parser.read_probs();
    const Eigen::VectorXd table = parser.compute_dosages(j, true, headers);
    for (uint32_t i = 0; i < n; ++i) {
      EXPECT_TRUE(sameDosage(table[i], expected[j][i]))
          << what << " variant " << j << " sample " << i << ": " << table[i] << " vs "
          << expected[j][i];
    }
  }
  parser.seek_to_variant(0);
  for (uint32_t j = 0; j < expected.size(); ++j) {
    ASSERT_TRUE(parser.read_variant(j, false, headers));
    uint32_t nonmissing = 0;
    for (double d : expected[j]) nonmissing += !std::isnan(d);
    EXPECT_EQ(parser.read_dosages(fused, j, false, headers), nonmissing) << what;
    for (uint32_t i = 0; i < n; ++i) EXPECT_TRUE(sameDosage(fused[i], expected[j][i])) << what;
  }
  EXPECT_FALSE(parser.read_variant(99, false, headers)) << what;
}

// Writes `n_variants` variants of simulated genotypes turned into fractional dosages.
std::vector<std::vector<double>> writeSimulated(const std::string& path, testdata::BgenHeader header,
                                                testdata::BgenBlockOptions block, uint32_t n_samples,
                                                uint32_t n_variants, uint64_t seed) {
  testdata::BgenWriter writer(path, n_samples, header, block);
  testdata::Rng rng(seed);
  std::vector<std::vector<double>> expected;
  for (uint32_t j = 0; j < n_variants; ++j) {
    std::vector<double> b(n_samples);
    for (double& x : b) {
      const uint64_t r = rng.below(10);
      x = r == 0 ? std::nan("") : (r < 4 ? rng.uniform() * 2.0 : double(r % 3));
    }
    testdata::BgenVariantId id;
    id.rsid = "rs" + std::to_string(j);
    id.position = 1000 + 10 * j;
    std::vector<double> dosages;
    writer.addVariantDosages(id, b, &dosages);
    expected.push_back(dosages);
  }
  writer.close();
  return expected;
}

TEST(BgenFiles, EveryLayoutCompressionAndSampleBlockReadsBack) {
  const std::string dir = testutil::scratchDir("bgen_files_layouts");
  uint64_t seed = 11;
  for (uint32_t layout : {0u, 1u, 2u}) {
    for (uint32_t compression : {0u, 1u}) {
      for (bool ids : {false, true}) {
        testdata::BgenHeader header;
        header.layout = layout;
        header.compression = compression;
        header.sample_identifiers = ids;
        header.magic = ids ? "bgen" : std::string(4, '\0');
        header.free_data = ids ? "" : "free";
        const std::string path = dir + "/f.bgen";
        const auto expected = writeSimulated(path, header, {}, 23, 5, ++seed);
        expectDosages(path, expected,
                      "layout " + std::to_string(layout) + " compression " +
                          std::to_string(compression) + " ids " + std::to_string(ids));
        BgenParser parser;
        parser.open(path);
        EXPECT_EQ(parser.sample_ids.size(), ids ? 23u : 0u);
        if (ids) {
          EXPECT_EQ(parser.sample_ids.at("sample_22"), 22u);
        }
      }
    }
  }
}

TEST(BgenFiles, EveryBitWidthReadsBack) {
  const std::string dir = testutil::scratchDir("bgen_files_bits");
  for (uint32_t bits = 1; bits <= 32; ++bits) {
    testdata::BgenBlockOptions block;
    block.bits = bits;
    const std::string path = dir + "/b.bgen";
    const auto expected = writeSimulated(path, {}, block, 13, 3, 100 + bits);
    expectDosages(path, expected, "bits " + std::to_string(bits));
  }
}

// Dosage by the reader's rules from a sample's decoded entries, each a stored integer over `scale`:
// the exact ratio of those integers in lowest terms (bits up to 31 fit), then one division.
double ruleDosage(const std::vector<double>& e, uint32_t ploidy, bool phased, uint32_t K,
                  double scale) {
  const double nan = std::nan("");
  if (ploidy != 2 || e.size() < 3) return nan;
  for (double x : e)
    if (x == -1.0) return nan;
  auto n = [&](std::size_t k) { return static_cast<uint64_t>(std::llround(e[k] * scale)); };
  uint64_t numerator = n(1) + 2 * n(2), denominator = n(0) + n(1) + n(2);
  if (phased) {  // a1 / (a0 + a1) + c1 / (c0 + c1)
    const uint64_t t1 = n(0) + n(1), t2 = n(K) + n(K + 1);
    numerator = n(1) * t2 + n(K + 1) * t1;
    denominator = t1 * t2;
  }
  if (denominator == 0) return nan;
  const uint64_t g = std::gcd(numerator, denominator);
  return static_cast<double>(numerator / g) / static_cast<double>(denominator / g);
}

TEST(BgenFiles, PloidiesPhasingAllelesAndMissingSamplesGiveTheWrittenProbabilities) {
  const std::string dir = testutil::scratchDir("bgen_files_ploidy");
  testdata::Rng rng(7);
  for (bool phased : {false, true}) {
    for (uint32_t K : {2u, 3u}) {
      for (uint32_t bits : {3u, 8u, 16u, 27u}) {
        testdata::BgenHeader header;
        header.compression = bits == 8 ? testdata::kBgenStored : testdata::kBgenZlib;
        testdata::BgenBlockOptions block;
        block.bits = bits;
        block.phased = phased;
        block.ploidy_extra_bits = bits == 16 ? 0x40 : 0;  // bit 6 is not part of the ploidy
        const uint32_t n = 12;
        std::vector<testdata::BgenSampleProbs> samples(n);
        for (uint32_t i = 0; i < n; ++i) {
          testdata::BgenSampleProbs& s = samples[i];
          s.ploidy = i % 4;
          s.missing = i % 5 == 4;
          const uint32_t entries = testdata::bgenEntryCount(s.ploidy, K, phased);
          for (uint32_t k = 0; k < entries; ++k) s.probs.push_back(rng.uniform());
        }
        const std::string path = dir + "/p.bgen";
        testdata::BgenWriter writer(path, n, header, block);
        testdata::BgenVariantId id;
        id.alleles = K == 2 ? std::vector<std::string>{"A", "C"}
                            : std::vector<std::string>{"A", "C", "T"};
        std::vector<std::vector<double>> decoded;
        writer.addVariantSamples(id, samples, &decoded);
        writer.close();

        const std::string what = "phased " + std::to_string(phased) + " K " +
                                 std::to_string(K) + " bits " + std::to_string(bits);
        BgenParser parser;
        parser.open(path);
        std::map<uint32_t, VariantHeader> headers;
        ASSERT_TRUE(parser.read_variant(0, true, headers)) << what;
        parser.read_probs();
        for (uint32_t i = 0; i < n; ++i) {
          ASSERT_EQ(parser.probabilities.size(i), decoded[i].size()) << what << " sample " << i;
          for (std::size_t k = 0; k < decoded[i].size(); ++k) {
            EXPECT_EQ(parser.probabilities(i, k), decoded[i][k]) << what << " sample " << i;
          }
        }
        const Eigen::VectorXd d = parser.compute_dosages(0, true, headers);
        for (uint32_t i = 0; i < n; ++i) {
          EXPECT_TRUE(sameDosage(d[i], ruleDosage(decoded[i], samples[i].ploidy, phased, K,
                                                  static_cast<double>((1u << bits) - 1))))
              << what << " sample " << i << ": " << d[i];
        }
      }
    }
  }
}

TEST(BgenFiles, CompressionValuesTwoAndThreeAreRefused) {
  for (uint32_t compression : {2u, 3u}) {
    testdata::BgenHeader header;
    header.compression = compression;
    const std::string path = testutil::scratchDir("bgen_files_zstd") + "/z.bgen";
    writeSimulated(path, header, {}, 4, 1, 3);
    BgenParser parser;
    parser.print_errors = true;
    EXPECT_FATAL(parser.open(path),
                 "Error: File '.*z.bgen' uses a compression method that is not supported!");
  }
}

// ---------------------------------------------------------------------------------------------
// Sample file, sample list and range with BGEN input

struct BgenEngine {
  testutil::SettingsGuard guard;
  std::string dir;
  Shared_buffers shared{0};
  std::unique_ptr<Corvane> engine;

  // A BGEN file of n samples and variants at the given positions; with ids, its own identifier block.
  BgenEngine(const std::string& name, uint32_t n, const std::vector<uint32_t>& positions,
             bool ids = false) {
    dir = testutil::scratchDir("bgen_engine_" + name);
    testdata::BgenHeader header;
    header.sample_identifiers = ids;
    testdata::BgenWriter writer(dir + "/in.bgen", n, header);
    for (uint32_t j = 0; j < positions.size(); ++j) {
      testdata::BgenVariantId id;
      id.rsid = "rs" + std::to_string(j);
      id.position = positions[j];
      std::vector<double> b(n);
      for (uint32_t i = 0; i < n; ++i) b[i] = double((i + j) % 3);
      writer.addVariantDosages(id, b);
    }
    writer.close();
    flags.bgen = flags.samples = true;
    par.bgen = dir + "/in.bgen";
    par.samples = dir + "/in.sample";
  }
  Corvane& open() {
    engine.reset(new Corvane(par, shared));
    engine->openBGEN(true);
    return *engine;
  }
  void sampleFile(const std::string& content) { testutil::writeFile(par.samples, content); }
};

TEST(BgenSampleFile, IdentifiersReplaceTheBgenOnesAndFollowDataLines) {
  BgenEngine t("sample_ok", 3, {10}, true);
  t.sampleFile("ID_1 ID_2 missing sex\n0 0 0 D\nA x 0 1\n y 0 2\nC\n");
  Corvane& e = t.open();
  EXPECT_EQ(e.bgen_parser.sample_ids.count("sample_0"), 1u);
  e.readSampleFile();
  EXPECT_EQ(e.bgen_parser.sample_ids,
            (std::unordered_map<std::string, uint32_t>{{"A", 0}, {"", 1}, {"C", 2}}));
  EXPECT_FALSE(e.text_in.is_open());
  EXPECT_EQ(e.bin_n_samples, 3u);
  EXPECT_EQ(e.bgen_parser.included_samples.size(), 3u);
}

TEST(BgenSampleFile, RefusalsWithTheirMessages) {
  BgenEngine t("sample_bad", 3, {10});
  {
    Corvane& e = t.open();
    EXPECT_FATAL(e.readSampleFile(), "Error: File '.*in.sample' cannot be opened!");
  }
  t.sampleFile("ID_1 ID_2\n0 0\na\nb\nc\n");
  EXPECT_FATAL(t.open().readSampleFile(),
               "Error: Encountered 2 column\\(s\\) in .*in.sample but at least 3 columns are required!");
  t.sampleFile("ID_1 ID_X missing\n0 0 0\na\nb\nc\n");
  EXPECT_FATAL(t.open().readSampleFile(),
               "Error: Encountered 'ID_X' in place of 'ID_2' in header in .*in.sample!");
  t.sampleFile("ID_1 ID_2 missing\r\n0 0 0\r\na 1\r\nb 1\r\na\r\n");
  EXPECT_FATAL(t.open().readSampleFile(), "Error: File '.*in.sample' includes a duplicated sample a!");
  t.sampleFile("ID_1 ID_2 missing\n0 0 0\na\nb\nc\n\n");
  EXPECT_FATAL(t.open().readSampleFile(),
               "Error: Encountered emtpy input in line 3 in .*in.sample!");
  t.sampleFile("ID_1 ID_2 missing\n0 0 0\na\nb\na\n");
  EXPECT_FATAL(t.open().readSampleFile(),
               "Error: File '.*in.sample' includes a duplicated sample a!");
  t.sampleFile("ID_1 ID_2 missing\n0 0 0\n x\n y\nc\n");
  EXPECT_FATAL(t.open().readSampleFile(), "includes a duplicated sample !");
  t.sampleFile("ID_1 ID_2 missing\n0 0 0\na\nb\nc\nd\n");
  EXPECT_FATAL(t.open().readSampleFile(),
               "Error: File '.*in.sample' includes 4 but BGEN file contains data on 3 samples!");
  t.sampleFile("ID_1 ID_2 missing\n0 0 0\na\nb\n");
  EXPECT_FATAL(t.open().readSampleFile(), "includes 2 but BGEN file contains data on 3 samples!");
}

TEST(BgenSampleList, SelectsSamplesInFileOrder) {
  BgenEngine t("list", 10, {10, 20});
  std::string content = "ID_1 ID_2 missing\n0 0 0\n";
  for (int i = 0; i < 10; ++i) content += "id" + std::to_string(i) + " x 0\n";
  t.sampleFile(content);
  flags.incl_samples = true;
  par.incl_samples = t.dir + "/keep.txt";
  testutil::writeFile(par.incl_samples, "id5 more words\nid2\nid9");
  Corvane& e = t.open();
  e.readSampleFile();
  e.readSamplesToInclude();
  EXPECT_EQ(e.bgen_parser.included_samples, (std::set<uint32_t>{2, 5, 9}));
  EXPECT_EQ(e.bin_n_samples, 3u);
  std::map<uint32_t, VariantHeader> headers;
  ASSERT_TRUE(e.bgen_parser.read_variant(0, true, headers));
  Eigen::VectorXd d(3);
  e.bgen_parser.read_dosages(d, 0, true, headers);
  EXPECT_EQ(d, Eigen::Vector3d(2.0, 2.0, 0.0));  // (i + 0) % 3 for samples 2, 5, 9

  // Written on Windows: the same samples.
  testutil::writeFile(par.incl_samples, "id5 more words\r\nid2\r\nid9\r\n");
  t.open().readSampleFile();
  t.engine->readSamplesToInclude();
  EXPECT_EQ(t.engine->bgen_parser.included_samples, (std::set<uint32_t>{2, 5, 9}));

  testutil::writeFile(par.incl_samples, "id5\nid2\nid5\n");
  EXPECT_FATAL((t.open().readSampleFile(), t.engine->readSamplesToInclude()),
               "includes a duplicated sample 'id5!");
  testutil::writeFile(par.incl_samples, "id5\nnobody\n");
  EXPECT_FATAL((t.open().readSampleFile(), t.engine->readSamplesToInclude()),
               "includes a sample 'nobody that cannot be found in file '.*in.sample'!");
}

TEST(BgenRange, FirstAndLastVariantOfTheRange) {
  BgenEngine t("range", 4, {100, 200, 300, 400});
  flags.incl_range = true;
  struct Case {
    uint32_t start, end, first, last, n;
  } cases[] = {{150, 300, 1, 2, 2}, {150, 250, 1, 2, 2}, {150, 1000, 1, 3, 3}, {50, 60, 0, 0, 1}};
  for (const Case& c : cases) {
    par.incl_range = {c.start, c.end};
    Corvane& e = t.open();
    e.findInclude();
    EXPECT_EQ(e.bcor_start_variant, c.first) << c.start;
    EXPECT_EQ(e.chunk_start_variant, c.first) << c.start;
    EXPECT_EQ(e.bcor_end_variant, c.last) << c.start;
    EXPECT_EQ(e.bin_n_variants, c.n) << c.start;
    EXPECT_EQ(t.shared.run_start_position, 100 * (c.first + 1));
    EXPECT_EQ(t.shared.run_end_position, 100 * (c.last + 1));
    // The reader is back at the first variant.
    EXPECT_EQ(e.bgen_parser.m_state, BgenParser::e_ReadyForVariant);
    std::map<uint32_t, VariantHeader> headers;
    ASSERT_TRUE(e.bgen_parser.read_variant(0, true, headers));
    EXPECT_EQ(headers.at(0).position, 100u);
  }
  par.incl_range = {500, 600};
  EXPECT_FATAL(t.open().findInclude(),
               "Error: Position 400 of last variant in file '.*in.bgen' is smaller than start "
               "coordinate 500!");
}

// The one-pass reader decodes the common 8-bit diploid block on a path of its own: every stored pair
// of values, missing samples, a sample subset and the allele frequencies give the bits of the general
// parser; a haploid sample, flagged ploidy bytes and an impossible pair leave the block to it.
TEST(BgenFiles, EightBitDiploidBlocksGiveTheGeneralParsersBits) {
  const std::string dir = testutil::scratchDir("bgen_files_8bit");
  std::vector<testdata::BgenSampleProbs> every_pair, haploid;
  for (uint32_t x0 = 0; x0 < 256; ++x0) {
    for (uint32_t x1 = 0; x0 + x1 < 256; ++x1) {
      testdata::BgenSampleProbs s;
      s.raw_values = {x0, x1};
      every_pair.push_back(s);
    }
  }
  every_pair[7].missing = true;
  every_pair[8].missing = true;
  every_pair[8].raw_values = {200, 200};  // a missing sample's values are not looked at
  haploid = std::vector<testdata::BgenSampleProbs>(every_pair.begin(), every_pair.begin() + every_pair.size());
  haploid[3].ploidy = 1;
  haploid[3].raw_values = {17};
  const uint32_t n = static_cast<uint32_t>(every_pair.size());

  for (uint32_t extra : {0u, 0x40u}) {
    testdata::BgenBlockOptions block;
    block.bits = 8;
    block.ploidy_extra_bits = extra;
    const std::string path = dir + "/pairs.bgen";
    {
      testdata::BgenWriter writer(path, n, testdata::BgenHeader(), block);
      testdata::BgenVariantId id;
      id.rsid = "rs1";
      writer.addVariantSamples(id, every_pair);
      id.rsid = "rs2";
      writer.addVariantSamples(id, haploid);
      writer.close();
    }
    for (bool subset : {false, true}) {
      BgenParser parser;
      parser.print_errors = true;
      parser.open(path);
      if (subset) {
        parser.included_samples = {0, 3, 7, 8, 100, n - 1};
        parser.refresh_included_samples();
      }
      const Eigen::Index m = static_cast<Eigen::Index>(parser.included_samples.size());
      std::map<uint32_t, VariantHeader> general, fused;
      Eigen::MatrixXd table(m, 2), one_pass(m, 2);
      for (uint32_t j = 0; j < 2; ++j) {
        ASSERT_TRUE(parser.read_variant(j, true, general));
        parser.read_probs();
        table.col(j) = parser.compute_dosages(j, true, general);
      }
      parser.seek_to_variant(0);
      for (uint32_t j = 0; j < 2; ++j) {
        ASSERT_TRUE(parser.read_variant(j, true, fused));
        const uint32_t count = parser.read_dosages(one_pass.col(j), j, true, fused);
        EXPECT_EQ(count, static_cast<uint32_t>((table.col(j).array() == table.col(j).array()).count()));
      }
      for (uint32_t j = 0; j < 2; ++j) {
        for (Eigen::Index i = 0; i < m; ++i) {
          if (std::isnan(table(i, j))) {
            EXPECT_TRUE(std::isnan(one_pass(i, j))) << j << " " << i;
          } else {
            EXPECT_EQ(one_pass(i, j), table(i, j)) << j << " " << i;
          }
        }
        EXPECT_EQ(fused.at(j).A_allele_freq, general.at(j).A_allele_freq) << j;
        EXPECT_EQ(fused.at(j).B_allele_freq, general.at(j).B_allele_freq) << j;
      }
      if (!subset) {
        EXPECT_TRUE(std::isnan(one_pass(7, 0)));
        EXPECT_TRUE(std::isnan(one_pass(3, 1)));  // the haploid sample
        EXPECT_EQ(one_pass(0, 0), 2.0);            // values 0, 0: the second homozygote
      }
    }
  }
}

} // namespace
