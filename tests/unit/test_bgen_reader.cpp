// BgenParser and Corvane::openBGEN on small hand-assembled files, including every refusal.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <iostream>

#include "bgen_test_bytes.hpp"
#include "corvane.hpp"
#include "death_test.hpp"
#include "settings_guard.hpp"
#include "test_util.hpp"

using namespace bgenbytes;

namespace {

struct Genotype {
  uint32_t a, b, c;  // stored integers of the three probabilities (layouts 0/1), or two (layout 2)
  bool missing = false;
};

// One biallelic variant per entry; genotypes per sample.
struct Variant {
  std::string rsid;
  uint32_t position;
  std::vector<Genotype> genotypes;
};

// A file of diploid biallelic variants in any layout: layout 2 stores a and b in `bits` bits.
std::string makeFile(uint32_t layout, bool compressed, const std::vector<Variant>& variants,
                     const std::vector<std::string>& ids = {}, uint32_t bits = 16) {
  const uint32_t n = static_cast<uint32_t>(variants.at(0).genotypes.size());
  uint32_t flags = (layout << 2) | (compressed ? 1u : 0u);
  if (!ids.empty()) flags |= 0x80000000u;
  std::string body;
  for (const Variant& v : variants) {
    body += idData(layout, n, v.rsid, "7", v.position, {"A", "G"});
    if (layout == 2) {
      std::vector<uint32_t> ploidy;
      std::vector<uint64_t> values;
      for (const Genotype& g : v.genotypes) {
        ploidy.push_back(g.missing ? 0x82 : 2);
        values.push_back(g.a);
        values.push_back(g.b);
      }
      body += v12Block(compressed, v12Data(n, 2, 2, 2, ploidy, false, bits, values));
    } else {
      std::vector<uint32_t> values;
      for (const Genotype& g : v.genotypes) {
        values.push_back(g.a);
        values.push_back(g.b);
        values.push_back(g.c);
      }
      body += v11Block(layout, compressed, v11Data(values));
    }
  }
  return file(flags, n, static_cast<uint32_t>(variants.size()), ids, body);
}

std::string writeScratch(const std::string& test, const std::string& content) {
  const std::string path = testutil::scratchDir("bgen_reader_" + test) + "/data.bgen";
  testutil::writeFile(path, content);
  return path;
}

void openParser(BgenParser& parser, const std::string& path) {
  parser.print_errors = true;
  parser.open(path);
}

// Expected dosage from stored integers, by the reader's own formula.
double expected(double p0, double p1, double p2) { return (p1 + (p2 + p2)) / ((p0 + p1) + p2); }

std::vector<Variant> tenSamples() {
  std::vector<Variant> v(2);
  v[0] = {"rs1", 100, {}};
  v[1] = {"rs2", 200, {}};
  for (uint32_t i = 0; i < 10; ++i) {
    v[0].genotypes.push_back({32768u - 1000 * i, 1000 * i, 0});
    v[1].genotypes.push_back({0, 2000 * i, 32768u - 2000 * i});
  }
  return v;
}

// ---------------------------------------------------------------------------------------------

TEST(BgenReader, OpenReadsHeaderSampleIdentifiersAndIncludesAllSamples) {
  std::vector<Variant> v = {{"rs1", 5, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}}};
  const std::string path =
      writeScratch("open", makeFile(2, true, v, {"s0", "s1", "s0"}));
  BgenParser parser;
  EXPECT_EQ(parser.m_state, BgenParser::e_NotOpen);
  openParser(parser, path);
  EXPECT_EQ(parser.m_state, BgenParser::e_ReadyForVariant);
  EXPECT_EQ(parser.context.number_of_samples, 3u);
  EXPECT_EQ(parser.context.number_of_variants, 1u);
  EXPECT_EQ(parser.context.flags, 0x80000009u);
  // Repeated identifiers: the first occurrence keeps its index.
  ASSERT_EQ(parser.sample_ids.size(), 2u);
  EXPECT_EQ(parser.sample_ids.at("s0"), 0u);
  EXPECT_EQ(parser.sample_ids.at("s1"), 1u);
  EXPECT_EQ(parser.included_samples, (std::set<uint32_t>{0, 1, 2}));
  EXPECT_EQ(static_cast<uint64_t>(parser.stream->tellg()), uint64_t(parser.offset) + 4);
}

TEST(BgenReader, OpenWithoutItsSamplesKeepsNoIdentifiers) {
  // As every thread of a computation but the first opens the file: it takes its samples from the
  // first thread.
  std::vector<Variant> v = {{"rs1", 5, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}}};
  const std::string path = writeScratch("open_without_samples", makeFile(2, true, v, {"s0", "s1", "s2"}));
  BgenParser parser;
  parser.keep_sample_ids = false;
  parser.include_all_samples = false;
  openParser(parser, path);
  EXPECT_EQ(parser.m_state, BgenParser::e_ReadyForVariant);
  EXPECT_EQ(parser.context.number_of_samples, 3u);
  EXPECT_TRUE(parser.sample_ids.empty());
  EXPECT_TRUE(parser.included_samples.empty());
}

TEST(BgenReader, DosagesOfIncludedSamplesFrequenciesAndEndOfData) {
  const std::vector<Variant> v = tenSamples();
  const std::string path = writeScratch("dosages", makeFile(1, true, v));
  BgenParser parser;
  openParser(parser, path);
  parser.included_samples = {5, 2, 9};
  parser.refresh_included_samples();

  std::map<uint32_t, VariantHeader> headers;
  ASSERT_TRUE(parser.read_variant(0, true, headers));
  EXPECT_EQ(parser.m_state, BgenParser::e_ReadyForProbs);
  EXPECT_EQ(headers.at(0).RSID, "rs1");
  EXPECT_EQ(headers.at(0).position, 100u);
  EXPECT_EQ(headers.at(0).chromosome, "7");
  EXPECT_EQ(headers.at(0).A_allele, "A");
  EXPECT_EQ(headers.at(0).B_allele, "G");
  EXPECT_EQ(headers.at(0).A_allele_freq, 0.0);
  parser.read_probs();
  EXPECT_EQ(parser.m_state, BgenParser::e_ReadyForVariant);
  const Eigen::VectorXd d = parser.compute_dosages(0, true, headers);
  ASSERT_EQ(d.size(), 3);
  const uint32_t order[3] = {2, 5, 9};
  double s0 = 0, s1 = 0, s2 = 0;
  for (int k = 0; k < 3; ++k) {
    const Genotype& g = v[0].genotypes[order[k]];
    const double p0 = g.a / 32768.0, p1 = g.b / 32768.0, p2 = g.c / 32768.0;
    EXPECT_DOUBLE_EQ(d[k], expected(p0, p1, p2)) << k;
    s0 += p0;
    s1 += p1;
    s2 += p2;
  }
  EXPECT_DOUBLE_EQ(headers.at(0).A_allele_freq, (2 * s0 + s1) / 6);
  EXPECT_DOUBLE_EQ(headers.at(0).B_allele_freq, (2 * s2 + s1) / 6);

  // Without store: nothing written; the one-pass path gives the same dosages as the table.
  ASSERT_TRUE(parser.read_variant(1, false, headers));
  EXPECT_EQ(headers.count(1), 0u);
  Eigen::MatrixXd m(3, 2);
  EXPECT_EQ(parser.read_dosages(m.col(1), 1, false, headers), 3u);
  EXPECT_EQ(headers.count(1), 0u);
  for (int k = 0; k < 3; ++k) {
    const Genotype& g = v[1].genotypes[order[k]];
    EXPECT_DOUBLE_EQ(m(k, 1), expected(g.a / 32768.0, g.b / 32768.0, g.c / 32768.0));
  }

  EXPECT_FALSE(parser.read_variant(2, true, headers));
  EXPECT_FALSE(parser.read_variant(2, true, headers));
  EXPECT_EQ(parser.m_state, BgenParser::e_ReadyForVariant);
  EXPECT_EQ(headers.count(2), 0u);
}

TEST(BgenReader, EveryLayoutAndCompressionGivesTheWrittenDosages) {
  struct Case {
    uint32_t layout;
    bool compressed;
    double scale;
  } cases[] = {{0, false, 10000}, {0, true, 10000}, {1, false, 32768},
               {1, true, 32768},  {2, false, 65535}, {2, true, 65535}};
  for (const Case& c : cases) {
    std::vector<Variant> v(3);
    for (uint32_t j = 0; j < 3; ++j) {
      v[j] = {"rs" + std::to_string(j), 10 * (j + 1), {}};
      for (uint32_t i = 0; i < 7; ++i) {
        const uint32_t a = static_cast<uint32_t>(c.scale * (i % 4) / 4);
        const uint32_t b = static_cast<uint32_t>(c.scale * ((i + j) % 3) / 10);
        v[j].genotypes.push_back({a, b, static_cast<uint32_t>(c.scale) - a - b});
      }
    }
    v[1].genotypes[3].missing = true;
    const std::string path = writeScratch("layouts", makeFile(c.layout, c.compressed, v));
    BgenParser parser;
    openParser(parser, path);
    std::map<uint32_t, VariantHeader> headers;
    Eigen::MatrixXd fused(7, 3), table(7, 3);
    for (uint32_t j = 0; j < 3; ++j) {
      ASSERT_TRUE(parser.read_variant(j, true, headers));
      parser.read_probs();
      table.col(j) = parser.compute_dosages(j, true, headers);
    }
    parser.seek_to_variant(0);
    for (uint32_t j = 0; j < 3; ++j) {
      ASSERT_TRUE(parser.read_variant(j, false, headers));
      const uint32_t nonmissing = parser.read_dosages(fused.col(j), j, false, headers);
      EXPECT_EQ(nonmissing, (c.layout == 2 && j == 1) ? 6u : 7u);
    }
    for (uint32_t j = 0; j < 3; ++j) {
      for (uint32_t i = 0; i < 7; ++i) {
        const Genotype& g = v[j].genotypes[i];
        const std::string what = "layout " + std::to_string(c.layout) + " variant " +
                                 std::to_string(j) + " sample " + std::to_string(i);
        if (c.layout == 2 && g.missing) {
          EXPECT_TRUE(std::isnan(table(i, j))) << what;
          EXPECT_TRUE(std::isnan(fused(i, j))) << what;
          continue;
        }
        const double p0 = g.a / c.scale, p1 = g.b / c.scale;
        const double p2 = c.layout == 2 ? 1.0 - (p0 + p1) : g.c / c.scale;
        EXPECT_DOUBLE_EQ(table(i, j), expected(p0, p1, p2)) << what;
        EXPECT_EQ(fused(i, j), table(i, j)) << what;
      }
    }
    EXPECT_EQ(parser.probabilities.size(0), 3u);
  }
}

TEST(BgenReader, LayoutZeroAndOneFrequenciesComeFromProbabilitiesScaledToOne) {
  // Probabilities that sum below 1, and samples whose three are all 0 (no dosage, so no frequency).
  for (const uint32_t layout : {0u, 1u}) {
    const uint32_t s = layout == 0 ? 10000 : 32768;
    std::vector<Variant> v = {{"rs1", 5,
                               {{s / 2, s / 4, 0}, {0, s / 8, s / 2}, {0, 0, 0}, {s / 3, s / 3, s / 3},
                                {s / 10, 0, s / 5}, {0, 0, 0}, {s, 0, 0}, {0, s / 2, s / 4}, {7, 3, 1}}}};
    double dosage_sum = 0.0;
    uint32_t n = 0;
    for (const Genotype& g : v[0].genotypes) {
      if (g.a + g.b + g.c == 0) continue;
      dosage_sum += static_cast<double>(g.b + 2 * g.c) / (g.a + g.b + g.c);
      ++n;
    }
    const double b_expected = dosage_sum / n / 2;
    const std::string path = writeScratch("below_one", makeFile(layout, layout == 1, v));
    BgenParser parser;
    openParser(parser, path);
    std::map<uint32_t, VariantHeader> by_table, fused;
    ASSERT_TRUE(parser.read_variant(0, true, by_table));
    parser.read_probs();
    const Eigen::VectorXd d = parser.compute_dosages(0, true, by_table);
    EXPECT_TRUE(std::isnan(d[2]) && std::isnan(d[5]));
    parser.seek_to_variant(0);
    ASSERT_TRUE(parser.read_variant(0, true, fused));
    Eigen::VectorXd e(9);
    EXPECT_EQ(parser.read_dosages(e, 0, true, fused), n);
    for (const auto* headers : {&by_table, &fused}) {
      const VariantHeader& h = headers->at(0);
      const std::string what = "layout " + std::to_string(layout);
      EXPECT_NEAR(h.A_allele_freq + h.B_allele_freq, 1.0, 1e-15) << what;
      EXPECT_NEAR(h.B_allele_freq, b_expected, 1e-15) << what;
    }
  }
}

TEST(BgenReader, AllMissingGivesNaNFrequenciesAndRereadReplacesTheHeader) {
  std::vector<Variant> v = {{"rs1", 5, {{0, 0, 0, true}, {0, 0, 0, true}}}};
  const std::string path = writeScratch("missing", makeFile(2, false, v, {}, 8));
  BgenParser parser;
  openParser(parser, path);
  std::map<uint32_t, VariantHeader> headers;
  ASSERT_TRUE(parser.read_variant(0, true, headers));
  parser.read_probs();
  const Eigen::VectorXd d = parser.compute_dosages(0, true, headers);
  EXPECT_TRUE(std::isnan(d[0]) && std::isnan(d[1]));
  EXPECT_TRUE(std::isnan(headers.at(0).A_allele_freq));
  EXPECT_TRUE(std::isnan(headers.at(0).B_allele_freq));
  parser.seek_to_variant(0);
  headers.at(0).RSID = "changed";
  ASSERT_TRUE(parser.read_variant(0, true, headers));
  EXPECT_EQ(headers.at(0).RSID, "rs1");
  EXPECT_EQ(headers.at(0).A_allele_freq, 0.0);
}

TEST(BgenReader, PositionScanOffsetsAndSeeking) {
  const std::vector<Variant> v = tenSamples();
  const std::string path = writeScratch("scan", makeFile(0, false, v));
  BgenParser parser;
  openParser(parser, path);
  uint32_t position = 0;
  std::size_t offsets[2] = {0, 0};
  std::string chromosome;
  ASSERT_TRUE(parser.read_position(position, offsets[0], chromosome));
  EXPECT_EQ(position, 100u);
  EXPECT_EQ(chromosome, "7");
  EXPECT_EQ(offsets[0], parser.offset + 4u);
  parser.skip_probs();
  ASSERT_TRUE(parser.read_position(position, offsets[1], chromosome));
  EXPECT_EQ(position, 200u);
  parser.skip_probs();
  std::size_t end_offset = 0;
  EXPECT_FALSE(parser.read_position(position, end_offset, chromosome));
  EXPECT_EQ(position, 200u);
  EXPECT_EQ(end_offset, testutil::readFile(path).size());

  std::map<uint32_t, VariantHeader> headers;
  parser.seek_to_variant(offsets[1]);
  ASSERT_TRUE(parser.read_variant(1, true, headers));
  EXPECT_EQ(headers.at(1).RSID, "rs2");
  parser.skip_probs();
  parser.seek_to_variant(0);
  ASSERT_TRUE(parser.read_variant(0, true, headers));
  EXPECT_EQ(headers.at(0).RSID, "rs1");
}

TEST(BgenReader, ThreeAllelesKeepTheFirstTwoAndZeroMagicIsAccepted) {
  std::string body = idData(2, 2, "rs3", "1", 9, {"A", "C", "T"});
  // Diploid K=3: six entries, five stored; sample 0 is AC, sample 1 is CT.
  body += v12Block(false, v12Data(2, 3, 2, 2, {2, 2}, false, 8,
                                   {0, 255, 0, 0, 0, 0, 0, 0, 0, 255}));
  const std::string path =
      writeScratch("k3", file(0x8, 2, 1, {}, body, "", std::string(4, '\0')));
  BgenParser parser;
  openParser(parser, path);
  EXPECT_EQ(parser.context.magic, std::string(4, '\0'));
  std::map<uint32_t, VariantHeader> headers;
  ASSERT_TRUE(parser.read_variant(0, true, headers));
  EXPECT_EQ(headers.at(0).A_allele, "A");
  EXPECT_EQ(headers.at(0).B_allele, "C");
  parser.read_probs();
  EXPECT_EQ(parser.probabilities.size(0), 6u);
  const Eigen::VectorXd d = parser.compute_dosages(0, true, headers);
  EXPECT_EQ(d[0], 1.0);
  EXPECT_TRUE(std::isnan(d[1]));  // all of its mass lies outside the first two alleles
}

TEST(BgenReader, OpenBgenCopiesTheCounts) {
  testutil::SettingsGuard guard;
  const std::string path = writeScratch("engine", makeFile(1, false, tenSamples()));
  flags.bgen = true;
  par.bgen = path;
  {
    Shared_buffers shared(0);
    Corvane engine(par, shared);
    engine.openBGEN(true);
    EXPECT_EQ(engine.n_samples_in_file, 10u);
    EXPECT_EQ(engine.bin_n_samples, 10u);
    EXPECT_EQ(engine.n_variants_in_file, 2u);
    EXPECT_EQ(engine.bin_n_variants, 2u);
    EXPECT_EQ(engine.bgen_parser.filename, path);
  }
}

// ---------------------------------------------------------------------------------------------
// Refusals: each ends the run with status 1 and a message naming the file.

std::string oneVariant(uint32_t layout, bool compressed) {
  std::vector<Variant> v = {{"rs1", 5, {{32768, 0, 0}, {0, 32768, 0}}}};
  if (layout == 2) v[0].genotypes = {{65535, 0, 0}, {0, 65535, 0}};
  return makeFile(layout, compressed, v);
}

TEST(BgenReaderDeath, OpeningRefusals) {
  const std::string dir = testutil::scratchDir("bgen_reader_refusals");
  auto at = [&](const std::string& name, const std::string& content) {
    testutil::writeFile(dir + "/" + name, content);
    return dir + "/" + name;
  };
  BgenParser parser;
  EXPECT_FATAL(openParser(parser, dir + "/absent.bgen"),
               "Error: File '.*absent.bgen' cannot be opened!");
  EXPECT_FATAL(openParser(parser, dir), "Error: File '.*bgen_reader_refusals' cannot be opened!");
  EXPECT_FATAL(openParser(parser, at("magic.bgen", file(0x9, 1, 1, {}, "", "", "BGEN"))),
               "Error: File '.*magic.bgen' is not a BGEN file!");
  for (uint32_t flags : {0x2u, 0xAu, 0x3u, 0xBu}) {
    EXPECT_FATAL(openParser(parser, at("zstd.bgen", file(flags, 1, 1, {}, ""))),
                 "Error: File '.*zstd.bgen' uses a compression method that is not supported!");
  }
  EXPECT_FATAL(openParser(parser, at("layout3.bgen", file(0xC, 1, 1, {}, ""))),
               "Error: File '.*layout3.bgen' uses BGEN layout 3, which is not supported!");
  EXPECT_FATAL(openParser(parser, at("short.bgen", u32(16) + u32(16) + u32(1) + u32(1) + "bgen")),
               "Error: File '.*short.bgen' is corrupt: its header block size 16 is below");
  EXPECT_FATAL(openParser(parser, at("cut.bgen", u32(20) + u32(20) + u32(1))),
               "Error: File '.*cut.bgen' is truncated: it ends inside its header block!");
  std::string ids = file(0x80000009u, 2, 1, {"a", "b"}, "");
  ids[4 + 20 + 4] = 3;  // sample count in the identifier block
  EXPECT_FATAL(openParser(parser, at("ids.bgen", ids)),
               "is corrupt: its sample identifier block lists 3 samples");
  std::string inside = oneVariant(1, false);
  inside[0] = 10;  // first variant offset inside the header
  EXPECT_FATAL(openParser(parser, at("inside.bgen", inside)), "points inside its header");
  EXPECT_FATAL(openParser(parser, at("huge.bgen", file(0x9, 2000000000u, 1, {}, ""))),
               "declares 2000000000 samples, more than a file of");
}

TEST(BgenReaderDeath, EngineRefusesFilesWithoutSamplesOrVariants) {
  testutil::SettingsGuard guard;
  flags.bgen = true;
  par.bgen = writeScratch("nosamples", file(0x9, 0, 1, {}, ""));
  Shared_buffers shared(0);
  {
    Corvane engine(par, shared);
    EXPECT_FATAL(engine.openBGEN(true), "Error: File '.*data.bgen' contains no samples!");
  }
  par.bgen = writeScratch("novariants", file(0x9, 3, 0, {}, ""));
  {
    Corvane engine(par, shared);
    EXPECT_FATAL(engine.openBGEN(true), "Error: File '.*data.bgen' contains no variants!");
  }
}

TEST(BgenReaderDeath, TruncatedVariantsAreDetected) {
  const std::string whole = oneVariant(2, true);
  std::map<uint32_t, VariantHeader> headers;
  // Cut inside the identifying data.
  {
    BgenParser parser;
    openParser(parser, writeScratch("cut_id", whole.substr(0, 4 + 20 + 10)));
    EXPECT_FATAL(parser.read_variant(0, true, headers),
                 "is truncated: it ends inside the identifying data of the variant at byte");
  }
  // Cut inside the genotype block: reading it and skipping it both notice.
  const std::string cut = whole.substr(0, whole.size() - 3);
  {
    BgenParser parser;
    openParser(parser, writeScratch("cut_block", cut));
    ASSERT_TRUE(parser.read_variant(0, true, headers));
    EXPECT_FATAL(parser.read_probs(), "is truncated: it ends inside the genotype data");
  }
  {
    BgenParser parser;
    openParser(parser, writeScratch("cut_skip", cut));
    uint32_t position;
    std::size_t block;
    std::string chromosome;
    ASSERT_TRUE(parser.read_position(position, block, chromosome));
    EXPECT_FATAL(parser.skip_probs(), "is truncated: it ends inside the genotype data");
  }
  // Uncompressed layout 1: the block has no length field but is still checked.
  const std::string stored = oneVariant(1, false);
  {
    BgenParser parser;
    openParser(parser, writeScratch("cut_stored", stored.substr(0, stored.size() - 1)));
    ASSERT_TRUE(parser.read_variant(0, true, headers));
    Eigen::VectorXd d(2);
    EXPECT_FATAL(parser.read_dosages(d, 0, false, headers),
                 "is truncated: it ends inside the genotype data");
  }
}

TEST(BgenReaderDeath, CorruptBlocksAreRefused) {
  std::map<uint32_t, VariantHeader> headers;
  auto refuse = [&](const std::string& name, const std::string& content, const char* regex) {
    BgenParser parser;
    openParser(parser, writeScratch(name, content));
    ASSERT_TRUE(parser.read_variant(0, true, headers));
    EXPECT_FATAL(parser.read_probs(), regex);
  };
  const std::string id2 = idData(2, 2, "rs1", "1", 5, {"A", "C"});
  const std::string data = v12Data(2, 2, 2, 2, {2, 2}, false, 8, {0, 0, 0, 0});
  std::string garbled = v12Block(true, data);
  garbled[8] ^= 0x5A;
  garbled[9] ^= 0x5A;
  refuse("zlib", file(0x9, 2, 1, {}, id2 + garbled), "is corrupt: .*compressed data");
  std::string wrong_size = v12Block(true, data);
  wrong_size[4] = static_cast<char>(data.size() + 1);
  refuse("size", file(0x9, 2, 1, {}, id2 + wrong_size), "decompresses to 16 bytes instead of the expected 17");
  refuse("sum", file(0x8, 2, 1, {}, id2 + v12Block(false, v12Data(2, 2, 2, 2, {2, 2}, false, 8,
                                                                      {200, 200, 0, 0}))),
         "is corrupt: the probabilities of sample 1 sum to .*above 1 in the variant at byte");
  {
    // The one-pass reader's 8-bit path leaves an impossible pair to the general parser's message.
    BgenParser parser;
    openParser(parser, writeScratch("sum_fused", file(0x8, 2, 1, {}, id2 + v12Block(false, v12Data(2, 2, 2, 2, {2, 2},
                                                                                          false, 8, {0, 0, 200, 200})))));
    ASSERT_TRUE(parser.read_variant(0, true, headers));
    Eigen::VectorXd d(2);
    EXPECT_FATAL(parser.read_dosages(d, 0, false, headers),
                 "is corrupt: the probabilities of sample 2 sum to .*above 1 in the variant at byte");
  }
  refuse("bits0", file(0x8, 2, 1, {}, id2 + v12Block(false, v12Data(2, 2, 2, 2, {2, 2}, false, 0, {}))),
         "stores its probabilities in 0 bits");
  refuse("k1", file(0x8, 2, 1, {}, id2 + v12Block(false, v12Data(2, 1, 2, 2, {2, 2}, false, 8, {}))),
         "a genotype block has 1 alleles");
  // Identifying data with a single allele, and a layout 1 variant with the wrong sample count.
  {
    BgenParser parser;
    openParser(parser, writeScratch("k1id", file(0x8, 2, 1, {}, idData(2, 2, "r", "1", 5, {"A"}) +
                                                                  v12Block(false, data))));
    EXPECT_FATAL(parser.read_variant(0, true, headers), "a variant has 1 alleles");
  }
  {
    BgenParser parser;
    openParser(parser, writeScratch("nid", file(0x4, 2, 1, {}, idData(1, 3, "r", "1", 5, {"A", "C"}) +
                                                                 std::string(12, '\0'))));
    EXPECT_FATAL(parser.read_variant(0, true, headers), "a variant declares 3 samples");
  }
}

void scanInParallel(const std::string& path) {
#pragma omp parallel num_threads(3)
  {
    BgenParser parser;
    parser.print_errors = omp_get_thread_num() == 0;
    parser.open(path);
    uint32_t position;
    std::size_t block;
    std::string chromosome;
    while (parser.read_position(position, block, chromosome)) parser.skip_probs();
  }
}

TEST(BgenReaderDeath, ScanFaultInsideAParallelRegionEndsTheRun) {
  const std::string whole = oneVariant(2, true);
  const std::string path = writeScratch("parallel", whole.substr(0, whole.size() - 2));
  EXPECT_FATAL(scanInParallel(path), "is truncated: it ends inside the genotype data");
}

} // namespace
