// The test writers' bytes against hand-assembled files: they check the reader, so they must be right on
// their own, without the reader's help.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "bgen_writer.hpp"
#include "plink_writer.hpp"
#include "simulate.hpp"
#include "test_util.hpp"

using namespace testdata;

namespace {

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
    out += ' ';
  }
  return out;
}

std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s.push_back(static_cast<char>(x));
  return s;
}

std::string inflate(const std::string& z, std::size_t size) {
  std::string out(size, '\0');
  uLongf len = static_cast<uLongf>(size);
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(&out[0]), &len, reinterpret_cast<const Bytef*>(z.data()),
                       static_cast<uLong>(z.size())),
            Z_OK);
  EXPECT_EQ(len, size);
  return out;
}

BgenVariantId variant() {
  BgenVariantId id;
  id.varid = "v1";
  id.rsid = "rs1";
  id.chromosome = "1";
  id.position = 1000;
  return id;
}

} // namespace

// Scratch files belong to this build: a directory shared between builds lets concurrent test
// runs delete each other's files.
TEST(TestSupport, ScratchDirectoriesLieInThisBuild) {
  const std::string dir = testutil::scratchDir("scratch_location");
  EXPECT_EQ(dir.rfind(std::string(CORVANE_TEST_TMP) + "/", 0), 0u) << dir;
}

TEST(BgenWriter, Layout2StoredFileByteForByte) {
  std::string dir = testutil::scratchDir("writers_l2");
  BgenHeader h;
  h.compression = kBgenStored;
  std::vector<double> dosages;
  {
    BgenWriter w(dir + "/a.bgen", 2, h);
    w.addVariant(variant(), {1.0, 0.0, 0.0, NAN, NAN, NAN}, &dosages);
    w.close();
  }
  std::string expected = bytes({0x14, 0, 0, 0, 0x14, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}) + "bgen" +
                         bytes({0x08, 0, 0, 0}) +
                         // identifying data: SNPID, RSID, chromosome, position, K, alleles
                         bytes({2, 0}) + "v1" + bytes({3, 0}) + "rs1" + bytes({1, 0}) + "1" +
                         bytes({0xE8, 0x03, 0, 0, 2, 0, 1, 0, 0, 0}) + "A" + bytes({1, 0, 0, 0}) + "G" +
                         // block length, then N, K, ploidy range, ploidy bytes (second missing), phased, B
                         bytes({16, 0, 0, 0, 2, 0, 0, 0, 2, 0, 2, 2, 0x02, 0x82, 0, 8}) +
                         // values: 255, 0 for the first sample; the missing one still takes its 16 bits
                         bytes({0xFF, 0x00, 0x00, 0x00});
  EXPECT_EQ(hex(testutil::readFile(dir + "/a.bgen")), hex(expected));
  ASSERT_EQ(dosages.size(), 2u);
  EXPECT_EQ(dosages[0], 0.0);
  EXPECT_TRUE(std::isnan(dosages[1]));
}

TEST(BgenWriter, SampleIdentifierBlockAndZeroMagic) {
  BgenHeader h;
  h.sample_identifiers = true;
  h.sample_ids = {"a", "bc"};
  h.magic = std::string(4, '\0');
  h.free_data = "xy";
  h.compression = kBgenZlib;
  std::string b = bgenHeaderBytes(h, 2, 7);
  std::string expected = bytes({22 + 15, 0, 0, 0, 22, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}) + "xy" +
                         bytes({0x09, 0, 0, 0x80}) + bytes({15, 0, 0, 0, 2, 0, 0, 0, 1, 0}) + "a" +
                         bytes({2, 0}) + "bc";
  EXPECT_EQ(hex(b), hex(expected));
}

TEST(BgenWriter, HeaderOverridesAndOddCompressionValues) {
  BgenHeader h;
  h.layout = 1;
  h.compression = kBgenCompression2;
  h.header_size = 19;
  h.number_of_variants = 5;
  std::string b = bgenHeaderBytes(h, 3, 0);
  EXPECT_EQ(hex(b.substr(0, 16)), hex(bytes({20, 0, 0, 0, 19, 0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 0})));
  EXPECT_EQ(hex(b.substr(20)), hex(bytes({0x06, 0, 0, 0})));
  // Value 2 keeps bit 0 clear: the block is stored as a bit-0-only reader would read it.
  std::string data = bgenLayout1Data(1, {1, 0, 0});
  EXPECT_EQ(bgenGenotypeBlock(1, kBgenCompression2, data), data);
}

TEST(BgenWriter, Layout1And0Blocks) {
  std::vector<std::vector<double>> dec;
  std::string d1 = bgenLayout1Data(1, {0.25, 0.5, 0.25, 0, 0, 1}, &dec);
  EXPECT_EQ(hex(d1), hex(bytes({0x00, 0x20, 0x00, 0x40, 0x00, 0x20, 0, 0, 0, 0, 0x00, 0x80})));
  EXPECT_EQ(bgenReaderDosage(dec[0], 32768), 1.0);
  EXPECT_EQ(bgenReaderDosage(dec[1], 32768), 2.0);
  // Layout 1 compressed: length, then a zlib stream of 6 x N bytes.
  std::string z1 = bgenGenotypeBlock(1, kBgenZlib, d1);
  uint32_t len = static_cast<unsigned char>(z1[0]) | static_cast<unsigned char>(z1[1]) << 8;
  ASSERT_EQ(len + 4, z1.size());
  EXPECT_EQ(inflate(z1.substr(4), 12), d1);
  // Layout 0: scale 10000, missing written as three zeros; compressed with a decompressed-size prefix.
  std::string d0 = bgenLayout1Data(0, {1, 0, 0, NAN, NAN, NAN}, &dec);
  EXPECT_EQ(hex(d0), hex(bytes({0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_TRUE(std::isnan(bgenReaderDosage(dec[1], 10000)));
  std::string z0 = bgenGenotypeBlock(0, kBgenZlib, d0);
  EXPECT_EQ(hex(z0.substr(4, 4)), hex(bytes({12, 0, 0, 0})));
  EXPECT_EQ(inflate(z0.substr(8), 12), d0);
  // Stored layout 0/1 blocks have no length field; layout 1 identifying data starts with N.
  EXPECT_EQ(bgenGenotypeBlock(0, kBgenStored, d0), d0);
  EXPECT_EQ(hex(bgenIdentifyingData(1, 3, variant()).substr(0, 6)), hex(bytes({3, 0, 0, 0, 2, 0})));
}

TEST(BgenWriter, Layout2CompressedBlockHasSizePrefix) {
  std::string data = bgenLayout2Data({{2, false, {0, 1, 0}, {}}}, 2, BgenBlockOptions());
  std::string z = bgenGenotypeBlock(2, kBgenZlib, data);
  EXPECT_EQ(static_cast<unsigned char>(z[4]), data.size());
  EXPECT_EQ(inflate(z.substr(8), data.size()), data);
  std::string s = bgenGenotypeBlock(2, kBgenStored, data);
  EXPECT_EQ(s.substr(4), data);
  EXPECT_EQ(static_cast<unsigned char>(s[0]), data.size());
}

TEST(BgenWriter, BitPackingLeastSignificantFirst) {
  BgenBlockOptions o;
  o.bits = 3;
  std::string d = bgenLayout2Data({{2, false, {2.0 / 7, 5.0 / 7, 0}, {}}}, 2, o);
  EXPECT_EQ(hex(d.substr(11)), hex(bytes({0x2A})));  // 2 | 5 << 3
  o.bits = 12;
  d = bgenLayout2Data({{2, false, {1, 0, 0}, {}}, {2, false, {0, 1, 0}, {}}}, 2, o);
  EXPECT_EQ(hex(d.substr(12)), hex(bytes({0xFF, 0x0F, 0x00, 0x00, 0xF0, 0xFF})));
  o.bits = 32;
  std::vector<std::vector<double>> dec;
  d = bgenLayout2Data({{2, false, {1, 0, 0}, {}}}, 2, o, &dec);
  EXPECT_EQ(hex(d.substr(11)), hex(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})));
  EXPECT_EQ(dec[0], (std::vector<double>{1.0, 0.0, 0.0}));
  o.bits = 1;
  d = bgenLayout2Data({{2, false, {0, 1, 0}, {}}, {2, false, {0, 0, 1}, {}}, {2, false, {1, 0, 0}, {}}}, 2, o);
  EXPECT_EQ(hex(d.substr(13)), hex(bytes({0x12})));  // 0,1 | 0,0 | 1,0
}

TEST(BgenWriter, GroupsQuantiseToFullScale) {
  BgenBlockOptions o;
  std::vector<std::vector<double>> dec;
  std::string d = bgenLayout2Data({{2, false, {1.0 / 3, 1.0 / 3, 1.0 / 3}, {}}}, 2, o, &dec);
  EXPECT_EQ(hex(d.substr(11)), hex(bytes({85, 85})));
  EXPECT_EQ(dec[0][2], 1.0 - (85.0 / 255 + 85.0 / 255));
  // 26.52 / 76.5 / 151.98 of 255: the two leftover units go to the largest remainders.
  d = bgenLayout2Data({{2, false, {0.104, 0.3, 0.596}, {}}}, 2, o, &dec);
  EXPECT_EQ(hex(d.substr(11)), hex(bytes({27, 76})));
}

TEST(BgenWriter, PloidyPhasingAndAlleleCounts) {
  EXPECT_EQ(bgenEntryCount(2, 2, false), 3u);
  EXPECT_EQ(bgenEntryCount(2, 3, false), 6u);
  EXPECT_EQ(bgenEntryCount(3, 2, false), 4u);
  EXPECT_EQ(bgenEntryCount(1, 2, false), 2u);
  EXPECT_EQ(bgenEntryCount(0, 2, false), 1u);
  EXPECT_EQ(bgenStoredCount(0, 2, false), 0u);
  EXPECT_EQ(bgenEntryCount(2, 2, true), 4u);
  EXPECT_EQ(bgenStoredCount(2, 2, true), 2u);
  EXPECT_EQ(bgenStoredCount(0, 2, true), 0u);
  EXPECT_EQ(bgenStoredCount(2, 3, false), 5u);

  // Phased diploid: two groups of (value, 1 - value); ploidy 0 and 3 in one block.
  BgenBlockOptions o;
  o.phased = true;
  std::vector<std::vector<double>> dec;
  std::string d = bgenLayout2Data({{2, false, {1, 0, 0, 1}, {}}, {0, false, {}, {}}, {3, false, {0, 1, 1, 0, 1, 0}, {}}},
                                  2, o, &dec);
  EXPECT_EQ(hex(d.substr(0, 16)),
            hex(bytes({3, 0, 0, 0, 2, 0, 0, 3, 2, 0, 3, 1, 8, 0xFF, 0x00, 0x00})));
  EXPECT_EQ(hex(d.substr(16)), hex(bytes({0xFF, 0xFF})));
  EXPECT_EQ(dec[0], (std::vector<double>{1, 0, 0, 1}));
  EXPECT_TRUE(dec[1].empty());
  EXPECT_EQ(dec[2].size(), 6u);

  // K = 3 unphased diploid: 5 stored values; raw values and extra ploidy bits are written as given.
  o = BgenBlockOptions();
  o.ploidy_extra_bits = 0x40;
  d = bgenLayout2Data({{2, false, {}, {1, 2, 3, 4, 5}}}, 3, o, &dec);
  EXPECT_EQ(hex(d.substr(8)), hex(bytes({0x42, 0, 8, 1, 2, 3, 4, 5})));
  EXPECT_DOUBLE_EQ(dec[0][5], 1.0 - 15.0 / 255);
}

TEST(BgenWriter, DosageHelpers) {
  double p[3];
  dosageToProbs(1.5, p);
  EXPECT_EQ(p[0], 0.0);
  EXPECT_EQ(p[1], 0.5);
  EXPECT_EQ(p[2], 0.5);
  EXPECT_EQ(bgenReaderDosage({0.25, 0.5, 0.25}, 4), 1.0);
  EXPECT_EQ(bgenReaderDosage({4.0 / 255, 247.0 / 255, 1.0 - (4.0 / 255 + 247.0 / 255)}, 255), 1.0);
  EXPECT_TRUE(std::isnan(bgenReaderDosage({0.5, 0.5}, 2)));
  EXPECT_TRUE(std::isnan(bgenReaderDosage({-1, -1, -1}, 255)));
  EXPECT_TRUE(std::isnan(bgenReaderDosage({0, 0, 0}, 255)));
}

TEST(PlinkWriter, FileSetByteForByte) {
  std::string dir = testutil::scratchDir("writers_plink");
  {
    PlinkWriter w(dir + "/p", defaultFamSamples(5));
    PlinkVariant v;
    v.rsid = "rs1";
    v.position = 100;
    v.allele_a = "A";
    v.allele_b = "C";
    w.addVariant(v, std::vector<int>{0, 1, -1, 2, 1});
    v.rsid = "rs2";
    v.position = 200;
    w.addVariantDosages(v, {2, 2, 2, 2, NAN});
    w.close();
  }
  // Sample 0 in the lowest bit pair; codes 11, 10, 01, 00 for A counts 0, 1, missing, 2.
  EXPECT_EQ(hex(testutil::readFile(dir + "/p.bed")), hex(bytes({0x6C, 0x1B, 0x01, 0x1B, 0x02, 0x00, 0x01})));
  EXPECT_EQ(testutil::readFile(dir + "/p.bim"), "1\trs1\t0\t100\tA\tC\n1\trs2\t0\t200\tA\tC\n");
  EXPECT_EQ(testutil::readFile(dir + "/p.fam").substr(0, 20), "FAM0 ID0 0 0 0 -9\nFA");
  EXPECT_THROW(bedRecord(std::vector<double>{0.5}), std::runtime_error);
}

namespace {

double pearson(const std::vector<int8_t>& x, const std::vector<int8_t>& y) {
  double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] < 0 || y[i] < 0) continue;
    n += 1;
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    syy += y[i] * y[i];
    sxy += x[i] * y[i];
  }
  return (sxy - sx * sy / n) / std::sqrt((sxx - sx * sx / n) * (syy - sy * sy / n));
}

std::vector<SimulatedVariant> simulateAll(const SimulationOptions& o) {
  GenotypeSimulator sim(o);
  std::vector<SimulatedVariant> all;
  SimulatedVariant v;
  while (sim.next(v)) all.push_back(v);
  return all;
}

} // namespace

TEST(Simulator, SameSeedSameDataWhateverTheMissingRate) {
  SimulationOptions o;
  o.n_samples = 50;
  o.n_variants = 40;
  o.seed = 7;
  auto a = simulateAll(o);
  auto b = simulateAll(o);
  ASSERT_EQ(a.size(), 40u);
  for (std::size_t v = 0; v < a.size(); ++v) EXPECT_EQ(a[v].b_counts, b[v].b_counts);
  o.missing_rate = 0.2;
  auto m = simulateAll(o);
  std::size_t missing = 0, total = 0;
  for (std::size_t v = 0; v < a.size(); ++v) {
    EXPECT_EQ(m[v].position, a[v].position);
    for (std::size_t i = 0; i < 50; ++i) {
      ++total;
      if (m[v].b_counts[i] < 0) ++missing;
      else EXPECT_EQ(m[v].b_counts[i], a[v].b_counts[i]);  // only the missing ones change
    }
  }
  EXPECT_GT(missing, total / 10);
  EXPECT_LT(missing, total * 3 / 10);
  o.seed = 8;
  o.missing_rate = 0;
  auto c = simulateAll(o);
  bool differs = false;
  for (std::size_t v = 0; v < a.size(); ++v) differs |= c[v].b_counts != a[v].b_counts;
  EXPECT_TRUE(differs);
}

TEST(Simulator, PositionsMonomorphicAndLdDecay) {
  SimulationOptions o;
  o.n_samples = 400;
  o.n_variants = 300;
  o.seed = 3;
  o.spacing = 500;
  o.monomorphic = {5};
  o.monomorphic_every = 100;
  auto all = simulateAll(o);
  EXPECT_EQ(all[0].position, 10000u);
  for (std::size_t v = 1; v < all.size(); ++v) {
    EXPECT_GT(all[v].position, all[v - 1].position);
    EXPECT_LE(all[v].position - all[v - 1].position, 999u);
    EXPECT_NE(all[v].allele_a, all[v].allele_b);
  }
  for (uint32_t v : {5u, 99u, 199u, 299u})
    for (int8_t g : all[v].b_counts) EXPECT_EQ(g, 0);
  // Neighbours correlate far more than variants a hundred apart.
  double near = 0, far = 0;
  int counted = 0;
  for (std::size_t v = 10; v + 100 < all.size(); v += 7) {
    double rn = pearson(all[v].b_counts, all[v + 1].b_counts);
    double rf = pearson(all[v].b_counts, all[v + 100].b_counts);
    if (std::isnan(rn) || std::isnan(rf)) continue;
    near += rn * rn;
    far += rf * rf;
    ++counted;
  }
  ASSERT_GT(counted, 10);
  EXPECT_GT(near / counted, 0.2);
  EXPECT_LT(far / counted, 0.05);
  std::set<int> seen;
  for (const auto& v : all)
    for (int8_t g : v.b_counts) seen.insert(g);
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
}

TEST(Simulator, FixedSpacingAndRng) {
  SimulationOptions o;
  o.n_samples = 3;
  o.n_variants = 4;
  o.jitter = false;
  o.spacing = 7;
  o.first_position = 1;
  auto all = simulateAll(o);
  EXPECT_EQ(all[3].position, 22u);
  EXPECT_EQ(all[2].rsid, "rs3");
  Rng r(1);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_LT(r.below(3), 3u);
    double u = r.uniform();
    EXPECT_GE(u, 0.0);
    EXPECT_LT(u, 1.0);
  }
  o.spacing = 0;
  EXPECT_THROW(GenotypeSimulator s(o), std::invalid_argument);
}

TEST(BgenWriter, OddAlleleCountsForRefusals) {
  std::string dir = testutil::scratchDir("writers_odd");
  BgenHeader h;
  h.compression = kBgenStored;
  {
    BgenWriter w(dir + "/k.bgen", 1, h);
    BgenVariantId one = variant();
    one.alleles = {"A"};
    w.addVariantSamples(one, {{2, false, {1.0}, {}}});  // K = 1: one entry, nothing stored
    BgenVariantId none = variant();
    none.alleles = {};
    w.addVariantSamples(none, {{2, false, {}, {}}});  // K = 0: no entries
    w.close();
    EXPECT_EQ(w.variantsWritten(), 2u);
  }
  std::string f = testutil::readFile(dir + "/k.bgen");
  // Header (24 bytes), identifying data with K = 1 (23), then a block of 4 + 11 bytes without values.
  EXPECT_EQ(hex(f.substr(8, 4)), hex(bytes({2, 0, 0, 0})));
  EXPECT_EQ(hex(f.substr(40, 5)), hex(bytes({1, 0, 1, 0, 0})));
  EXPECT_EQ(hex(f.substr(47, 15)), hex(bytes({11, 0, 0, 0, 1, 0, 0, 0, 1, 0, 2, 2, 2, 0, 8})));
  EXPECT_THROW(bgenLayout2Data({{2, false, {1, 0}, {}}}, 2, BgenBlockOptions()), std::runtime_error);
  BgenBlockOptions o;
  o.bits = 33;
  EXPECT_THROW(bgenLayout2Data({}, 2, o), std::runtime_error);
  o.bits = 8;
  o.bits_byte = 0;
  o.n_alleles = 0;
  EXPECT_EQ(hex(bgenLayout2Data({{2, false, {1, 0, 0}, {}}}, 2, o)),
            hex(bytes({1, 0, 0, 0, 0, 0, 2, 2, 2, 0, 0, 0xFF, 0})));
}

TEST(PlinkWriter, SpaceSeparatedBim) {
  std::string dir = testutil::scratchDir("writers_plink_space");
  PlinkOptions o;
  o.bim_separator = ' ';
  PlinkWriter w(dir + "/p", defaultFamSamples(1), o);
  PlinkVariant v;
  v.chromosome = "22";
  v.rsid = "rsX";
  v.position = 7;
  v.allele_a = "AT";
  v.allele_b = "A";
  w.addVariant(v, std::vector<int8_t>{2});
  w.close();
  EXPECT_EQ(testutil::readFile(dir + "/p.bim"), "22 rsX 0 7 AT A\n");
  EXPECT_EQ(hex(testutil::readFile(dir + "/p.bed")), hex(bytes({0x6C, 0x1B, 0x01, 0x00})));
}
