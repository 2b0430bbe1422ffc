// The BGEN library: container, genotype blocks, decoders and the dosage rules.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "bgen_test_bytes.hpp"
#include "genfile/bgen.hpp"

using namespace genfile::bgen;
using namespace bgenbytes;

namespace {

std::vector<byte_t> bytes(const std::string& s) { return std::vector<byte_t>(s.begin(), s.end()); }

Context contextFor(uint32_t n_samples, uint32_t flags) {
  Context c;
  c.number_of_samples = n_samples;
  c.number_of_variants = 1;
  c.flags = flags;
  return c;
}

ProbabilityTable decodeV12(const std::string& data, uint32_t n_samples) {
  ProbabilityTable table;
  ProbSetter setter(&table);
  const std::vector<byte_t> b = bytes(data);
  v12::parse_probability_data(b.data(), b.data() + b.size(), contextFor(n_samples, 0x8), setter);
  return table;
}

std::vector<double> entries(const ProbabilityTable& t, std::size_t sample) {
  std::vector<double> out;
  for (std::size_t k = 0; k < t.size(sample); ++k) out.push_back(t(sample, k));
  return out;
}

// Dosages of all samples through the dosage setter.
std::vector<double> dosagesOf(const ProbabilityTable& t, uint32_t* nonmissing = nullptr) {
  const std::size_t n = t.n_samples();
  std::vector<int32_t> slot(n);
  for (std::size_t i = 0; i < n; ++i) slot[i] = static_cast<int32_t>(i);
  std::vector<double> d(n, -7.0);
  DosageSetter setter(slot.data(), d.data());
  setter.initialise(n, 0, t.scale);
  for (std::size_t i = 0; i < n; ++i) {
    setter.set_sample(i);
    setter.set_number_of_entries(t.counts[i], t.ploidy[i], t.phased);
    for (std::size_t k = 0; k < t.counts[i]; ++k) setter.set_value(t(i, k));
  }
  if (nonmissing) *nonmissing = setter.n_nonmissing;
  return d;
}

template <typename F>
std::string formatError(F f) {
  try {
    f();
  } catch (const BGenFormatError& e) {
    return e.description();
  } catch (const BGenError&) {
    return "BGenError";
  }
  return "";
}

// ---------------------------------------------------------------------------------------------

TEST(BgenIntegers, StreamAndBufferFormsAreLittleEndian) {
  std::istringstream in(u16(0x1234) + u32(0xA1B2C3D4u) + "\x01");
  uint16_t a = 0;
  uint32_t b = 0;
  read_little_endian_integer(in, &a);
  read_little_endian_integer(in, &b);
  EXPECT_EQ(a, 0x1234);
  EXPECT_EQ(b, 0xA1B2C3D4u);
  uint32_t c = 0;
  EXPECT_THROW(read_little_endian_integer(in, &c), BGenError);

  const std::vector<byte_t> buf = bytes(u32(7) + u16(300) + u8(9));
  const byte_t* p = buf.data();
  const byte_t* end = buf.data() + buf.size();
  uint32_t x = 0;
  uint16_t y = 0;
  uint8_t z = 0;
  p = read_little_endian_integer(p, end, &x);
  p = read_little_endian_integer(p, end, &y);
  p = read_little_endian_integer(p, end, &z);
  EXPECT_EQ(x, 7u);
  EXPECT_EQ(y, 300);
  EXPECT_EQ(z, 9);
  EXPECT_EQ(p, end);
  EXPECT_THROW(read_little_endian_integer(p, end, &z), BGenFormatError);
}

TEST(BgenIntegers, LengthFollowedByDataAndErrorText) {
  std::istringstream in(s16("") + s32("abc") + u16(5) + "ab");
  uint16_t l16 = 0;
  uint32_t l32 = 0;
  std::string s = "x";
  read_length_followed_by_data(in, &l16, &s);
  EXPECT_EQ(s, "");
  read_length_followed_by_data(in, &l32, &s);
  EXPECT_EQ(s, "abc");
  EXPECT_THROW(read_length_followed_by_data(in, &l16, &s), BGenError);
  EXPECT_STREQ(BGenError().what(), "BGenError");
}

TEST(BgenHeader, ReadsCountsMagicFreeDataAndFlags) {
  std::istringstream in(u32(24) + u32(3) + u32(5) + "bgen" + "FREE" + u32(0x80000009u) + "junk");
  Context c;
  EXPECT_EQ(read_header_block(in, &c, "f.bgen"), 24u);
  EXPECT_EQ(c.number_of_variants, 3u);
  EXPECT_EQ(c.number_of_samples, 5u);
  EXPECT_EQ(c.magic, "bgen");
  EXPECT_EQ(c.free_data, "FREE");
  EXPECT_EQ(c.flags, 0x80000009u);

  std::istringstream zero(u32(20) + u32(1) + u32(2) + std::string(4, '\0') + u32(1));
  Context z;
  EXPECT_EQ(read_header_block(zero, &z, "f.bgen"), 20u);
  EXPECT_EQ(z.magic, std::string(4, '\0'));
  EXPECT_EQ(z.free_data, "");
  EXPECT_EQ(z.flags, 1u);

  Context d;
  EXPECT_EQ(d.magic, "bgen");
  EXPECT_EQ(d.number_of_samples + d.number_of_variants + d.flags, 0u);
}

TEST(BgenHeader, ShortHeaderSizeAndTruncationThrow) {
  std::istringstream small(u32(19) + u32(1) + u32(1) + "bgen" + u32(0));
  Context c;
  EXPECT_NE(formatError([&] { read_header_block(small, &c, "f"); }).find("below the minimum of 20"),
            std::string::npos);
  std::istringstream cut(u32(30) + u32(1) + u32(1) + "bgen" + "abc");
  EXPECT_EQ(formatError([&] { read_header_block(cut, &c, "f"); }), "BGenError");
}

TEST(BgenSampleBlock, IdentifiersCountsAndLengths) {
  Context c = contextFor(3, 0x80000000u);
  std::vector<std::pair<std::string, uint32_t>> seen;
  auto setter = [&](const std::string& id, uint32_t i) { seen.emplace_back(id, i); };
  std::istringstream in(u32(8 + 2 + 1 + 2 + 2 + 2 + 1) + u32(3) + s16("a") + s16("bb") + s16("a"));
  EXPECT_EQ(read_sample_identifier_block(in, c, setter), 18u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], std::make_pair(std::string("bb"), 1u));
  EXPECT_EQ(seen[2], std::make_pair(std::string("a"), 2u));

  std::istringstream count(u32(11) + u32(2) + s16("a"));
  EXPECT_NE(formatError([&] { read_sample_identifier_block(count, c, setter); }).find("lists 2"),
            std::string::npos);
  std::istringstream length(u32(19) + u32(3) + s16("a") + s16("bb") + s16("a"));
  EXPECT_NE(formatError([&] { read_sample_identifier_block(length, c, setter); })
                .find("length field is 19"),
            std::string::npos);
  Context none = contextFor(0, 0x80000000u);
  std::istringstream empty(u32(8) + u32(0));
  EXPECT_EQ(read_sample_identifier_block(empty, none, setter), 8u);
}

struct Identifying {
  std::string snpid = "-", rsid = "-", chromosome = "-";
  uint32_t position = 99;
  std::vector<std::string> alleles;
  uint16_t k = 0;
  bool read(std::istream& in, const Context& c) {
    return read_snp_identifying_data(
        in, c, &snpid, &rsid, &chromosome, &position,
        [this](uint16_t n) {
          k = n;
          alleles.resize(n);
        },
        [this](uint16_t i) { return &alleles.at(i); });
  }
};

TEST(BgenIdentifyingData, LayoutsOneAndTwo) {
  std::istringstream in1(idData(1, 4, "rs1", "01", 1234, {"A", "GT"}, "s1"));
  Identifying v;
  ASSERT_TRUE(v.read(in1, contextFor(4, 0x4)));
  EXPECT_EQ(v.snpid, "s1");
  EXPECT_EQ(v.rsid, "rs1");
  EXPECT_EQ(v.chromosome, "01");
  EXPECT_EQ(v.position, 1234u);
  EXPECT_EQ(v.k, 2);
  EXPECT_EQ(v.alleles, (std::vector<std::string>{"A", "GT"}));

  std::istringstream in2(idData(2, 0, "", "", 7, {"A", "C", "G"}, ""));
  Identifying w;
  ASSERT_TRUE(w.read(in2, contextFor(4, 0x8)));
  EXPECT_EQ(w.rsid, "");
  EXPECT_EQ(w.k, 3);
  EXPECT_EQ(w.alleles[2], "G");

  std::istringstream zero_alleles(idData(2, 0, "r", "1", 7, {}));
  Identifying z;
  ASSERT_TRUE(z.read(zero_alleles, contextFor(4, 0x8)));
  EXPECT_EQ(z.k, 0);
  EXPECT_TRUE(z.alleles.empty());
}

TEST(BgenIdentifyingData, EndOfDataTruncationAndSampleCount) {
  Identifying v;
  std::istringstream empty("");
  EXPECT_FALSE(v.read(empty, contextFor(4, 0x8)));
  EXPECT_EQ(v.position, 99u);
  EXPECT_EQ(v.rsid, "-");
  EXPECT_FALSE(v.read(empty, contextFor(4, 0x8)));  // stays at the end

  // A variant cut anywhere after its first byte is a truncated file, not the end of the data.
  const std::string whole = idData(2, 0, "rs1", "1", 5, {"A", "C"}, "snp");
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    std::istringstream in(whole.substr(0, cut));
    Identifying t;
    EXPECT_EQ(formatError([&] { t.read(in, contextFor(4, 0x8)); }), "BGenError") << cut;
  }
  std::istringstream wrong_n(idData(1, 5, "rs1", "1", 5, {"A", "C"}));
  EXPECT_NE(formatError([&] { v.read(wrong_n, contextFor(4, 0x4)); }).find("declares 5 samples"),
            std::string::npos);
  std::istringstream layout3(idData(1, 4, "rs1", "1", 5, {"A", "C"}));
  EXPECT_NE(formatError([&] { v.read(layout3, contextFor(4, 0xC)); }).find("unsupported layout"),
            std::string::npos);
}

TEST(BgenGenotypeBlock, ReadAndSkipConsumeTheSameBytes) {
  struct Case {
    uint32_t flags;
    std::string block;
  } cases[] = {
      {0x4, std::string(12, 'x')},                      // layout 1 stored: 6 x N, no length
      {0x5, u32(3) + "abc"},                            // layout 1 compressed: length L
      {0x8, u32(5) + "abcde"},                          // layout 2 stored: still length L
      {0x9, u32(0)},                                    // empty block
  };
  for (const Case& k : cases) {
    const Context c = contextFor(2, k.flags);
    std::istringstream a(k.block + "NEXT"), b(k.block + "NEXT");
    std::vector<byte_t> buffer;
    read_genotype_data_block(a, c, &buffer);
    ignore_genotype_data_block(b, c);
    EXPECT_EQ(static_cast<std::size_t>(a.tellg()), k.block.size());
    EXPECT_EQ(static_cast<std::size_t>(b.tellg()), k.block.size());
    EXPECT_EQ(buffer.size(), k.flags == 0x4 ? 12u : k.block.size() - 4);
  }
  std::istringstream cut(u32(10) + "abc");
  std::vector<byte_t> buffer;
  EXPECT_THROW(read_genotype_data_block(cut, contextFor(2, 0x8), &buffer), BGenError);
}

TEST(BgenUncompress, PrefixesSizesAndFailures) {
  const std::string data = v11Data({1, 2, 3, 4, 5, 6});
  std::vector<byte_t> out;
  // Layout 1: the whole block is the zlib stream.
  uncompress_probability_data(contextFor(2, 0x5), bytes(zlibCompress(data)), &out);
  EXPECT_EQ(out, bytes(data));
  // Layouts 0 and 2: a u32 decompressed size first.
  const std::string z = zlibCompress(data);
  uncompress_probability_data(contextFor(1, 0x1), bytes(u32(12) + z), &out);
  EXPECT_EQ(out, bytes(data));
  uncompress_probability_data(contextFor(1, 0x9), bytes(u32(12) + z), &out);
  EXPECT_EQ(out, bytes(data));
  // Stored: a copy.
  uncompress_probability_data(contextFor(1, 0x8), bytes("xyz"), &out);
  EXPECT_EQ(out, bytes("xyz"));

  auto fails = [&](uint32_t flags, const std::string& block) {
    return formatError([&] { uncompress_probability_data(contextFor(2, flags), bytes(block), &out); });
  };
  EXPECT_NE(fails(0x9, u32(13) + z).find("instead of the expected 13"), std::string::npos);
  EXPECT_NE(fails(0x9, u32(11) + z).find("do not decompress"), std::string::npos);
  EXPECT_NE(fails(0x9, u32(12) + "not zlib data").find("corrupt"), std::string::npos);
  EXPECT_NE(fails(0x9, "ab").find("fewer than 4 bytes"), std::string::npos);
  EXPECT_NE(fails(0x9, u32(4000000000u) + z).find("more than its"), std::string::npos);
  const std::string cut = fails(0x5, z.substr(0, z.size() - 3));
  EXPECT_TRUE(cut.find("do not decompress") != std::string::npos ||
              cut.find("corrupt") != std::string::npos)
      << cut;
}

TEST(BgenV11, ScalesAndExactSize) {
  const std::vector<byte_t> b = bytes(v11Data({10000, 0, 0, 5000, 2500, 2500, 0, 0, 12000}));
  ProbabilityTable t;
  ProbSetter s(&t);
  v11::parse_probability_data(b.data(), b.data() + b.size(), contextFor(3, 0x0), s);
  EXPECT_EQ(entries(t, 0), (std::vector<double>{1.0, 0.0, 0.0}));
  EXPECT_EQ(entries(t, 1), (std::vector<double>{0.5, 0.25, 0.25}));
  EXPECT_DOUBLE_EQ(t(2, 2), 1.2);  // above the scale: not clipped

  const std::vector<byte_t> b1 = bytes(v11Data({32768, 0, 0, 0, 16384, 16384}));
  v11::parse_probability_data(b1.data(), b1.data() + b1.size(), contextFor(2, 0x4), s);
  EXPECT_EQ(entries(t, 0), (std::vector<double>{1.0, 0.0, 0.0}));
  EXPECT_EQ(entries(t, 1), (std::vector<double>{0.0, 0.5, 0.5}));
  EXPECT_THROW(
      v11::parse_probability_data(b1.data(), b1.data() + b1.size() - 1, contextFor(2, 0x4), s),
      BGenFormatError);
  EXPECT_DOUBLE_EQ(v11::impl::get_probability_conversion_factor(0x80000001u), 10000.0);
  EXPECT_DOUBLE_EQ(v11::impl::get_probability_conversion_factor(0x5), 32768.0);
  EXPECT_THROW(v11::impl::get_probability_conversion_factor(0x8), BGenFormatError);
}

TEST(BgenV12, EightBitsImpliedEntryAndMissingSampleAlignment) {
  // Sample 0: 255, 0 -> 1, 0, 0. Sample 1 missing (still holds two values). Sample 2: 0, 0 -> 0, 0, 1.
  const std::string data = v12Data(3, 2, 2, 2, {2, 0x82, 2}, false, 8, {255, 0, 7, 9, 0, 0});
  const ProbabilityTable t = decodeV12(data, 3);
  EXPECT_EQ(entries(t, 0), (std::vector<double>{1.0, 0.0, 0.0}));
  EXPECT_EQ(entries(t, 1), (std::vector<double>{-1.0, -1.0, -1.0}));
  EXPECT_EQ(entries(t, 2), (std::vector<double>{0.0, 0.0, 1.0}));
}

TEST(BgenV12, EveryBitWidthRoundTrips) {
  for (uint32_t bits = 1; bits <= 32; ++bits) {
    const uint64_t max = (uint64_t(1) << bits) - 1;
    const uint64_t a = max / 3, b = max / 5;
    const std::string data = v12Data(2, 2, 2, 2, {2, 2}, false, bits, {a, b, max, 0});
    const ProbabilityTable t = decodeV12(data, 2);
    EXPECT_DOUBLE_EQ(t(0, 0), double(a) / double(max)) << bits;
    EXPECT_DOUBLE_EQ(t(0, 1), double(b) / double(max)) << bits;
    EXPECT_DOUBLE_EQ(t(0, 2), 1.0 - (double(a) / double(max) + double(b) / double(max))) << bits;
    EXPECT_EQ(entries(t, 1), (std::vector<double>{1.0, 0.0, 0.0})) << bits;
  }
}

TEST(BgenV12, PhasedPloidiesAndMultipleAlleles) {
  // Phased K=2: diploid (4 entries), haploid (2), ploidy 0 (none), then bit 6 ignored.
  const std::string phased = v12Data(4, 2, 0, 2, {2, 1, 0, 0x42}, true, 8, {255, 0, 51, 0, 255});
  const ProbabilityTable t = decodeV12(phased, 4);
  EXPECT_EQ(entries(t, 0), (std::vector<double>{1.0, 0.0, 0.0, 1.0}));
  EXPECT_EQ(entries(t, 1), (std::vector<double>{0.2, 0.8}));
  EXPECT_TRUE(entries(t, 2).empty());
  EXPECT_EQ(entries(t, 3), (std::vector<double>{0.0, 1.0, 1.0, 0.0}));

  // Unphased K=3 diploid: 6 entries, 5 stored; K=3 haploid: 3 entries.
  const std::string multi =
      v12Data(2, 3, 1, 2, {2, 1}, false, 8, {0, 255, 0, 0, 0, 0, 0});
  const ProbabilityTable m = decodeV12(multi, 2);
  EXPECT_EQ(entries(m, 0), (std::vector<double>{0.0, 1.0, 0.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(entries(m, 1), (std::vector<double>{0.0, 0.0, 1.0}));

  // Unphased ploidy 0: one implied entry.
  const ProbabilityTable u = decodeV12(v12Data(1, 2, 0, 0, {0}, false, 8, {}), 1);
  EXPECT_EQ(entries(u, 0), (std::vector<double>{1.0}));
}

TEST(BgenV12, SumsAndRefusedParameters) {
  // 128/255 + 128/255 > 1: refused; a sum within 1.00000001 is kept, implied entry slightly < 0.
  EXPECT_NE(formatError([] { decodeV12(v12Data(1, 2, 2, 2, {2}, false, 8, {128, 128}), 1); })
                .find("above 1"),
            std::string::npos);
  const uint64_t max32 = 0xFFFFFFFFull;
  // Just above the tolerance: the message shows the excess, not "1.000000".
  EXPECT_NE(formatError([&] { decodeV12(v12Data(1, 2, 2, 2, {2}, false, 32, {max32, 50}), 1); })
                .find("sum to 1.0000000116415322, above 1"),
            std::string::npos);
  const ProbabilityTable t =
      decodeV12(v12Data(1, 2, 2, 2, {2}, false, 32, {max32, 1}), 1);
  EXPECT_LT(t(0, 2), 0.0);
  EXPECT_GT(t(0, 2), -1e-8);

  EXPECT_NE(formatError([] { decodeV12(v12Data(1, 2, 2, 2, {2}, false, 0, {}), 1); }).find("0 bits"),
            std::string::npos);
  EXPECT_NE(formatError([] { decodeV12(v12Data(1, 2, 2, 2, {2}, false, 33, {1, 1}), 1); })
                .find("33 bits"),
            std::string::npos);
  EXPECT_NE(formatError([] { decodeV12(v12Data(1, 1, 2, 2, {2}, false, 8, {}), 1); })
                .find("1 alleles"),
            std::string::npos);
  EXPECT_NE(formatError([] { decodeV12(v12Data(1, 0, 2, 2, {2}, false, 8, {}), 1); })
                .find("0 alleles"),
            std::string::npos);
  EXPECT_NE(formatError([] { decodeV12(v12Data(2, 2, 2, 2, {2, 2}, false, 8, {}), 1); })
                .find("count 2 samples"),
            std::string::npos);
  // Values that run past the data: the second sample has only one of its two bytes.
  EXPECT_NE(formatError([] { decodeV12(v12Data(2, 2, 2, 2, {2, 2}, false, 8, {1, 1, 1}), 2); })
                .find("sample 2"),
            std::string::npos);
  EXPECT_NE(formatError([] { decodeV12(u32(1) + u16(2), 1); }).find("fewer than 8"),
            std::string::npos);
  EXPECT_NE(formatError([] { decodeV12(u32(3) + u16(2) + u8(2) + u8(2) + u8(2), 3); })
                .find("ploidy bytes"),
            std::string::npos);
}

TEST(BgenNChooseK, ValuesAndOverflow) {
  EXPECT_EQ(impl::n_choose_k(4, 2), 6u);
  EXPECT_EQ(impl::n_choose_k(5, 2), 10u);
  EXPECT_EQ(impl::n_choose_k(10, 3), 120u);
  EXPECT_EQ(impl::n_choose_k(7, 1), 7u);
  EXPECT_EQ(impl::n_choose_k(65536, 65534), 2147450880u);
  EXPECT_THROW(impl::n_choose_k(65600, 63), BGenFormatError);
}

TEST(BgenDosages, RulesForMissingAndEdgeSamples) {
  // Table of diploid unphased samples from layout 1 data.
  const std::vector<byte_t> b = bytes(v11Data({0, 0, 32768,   // 2
                                               32768, 0, 0,   // 0
                                               8192, 16384, 8192,  // 1
                                               0, 0, 0}));    // all zero: missing
  ProbabilityTable t;
  ProbSetter s(&t);
  v11::parse_probability_data(b.data(), b.data() + b.size(), contextFor(4, 0x4), s);
  uint32_t nonmissing = 0;
  const std::vector<double> d = dosagesOf(t, &nonmissing);
  EXPECT_EQ(d[0], 2.0);
  EXPECT_EQ(d[1], 0.0);
  EXPECT_EQ(d[2], 1.0);
  EXPECT_TRUE(std::isnan(d[3]));
  EXPECT_EQ(nonmissing, 3u);

  // Layout 2: missing, haploid (2 entries), ploidy 0, triploid, phased diploid.
  const ProbabilityTable u =
      decodeV12(v12Data(4, 2, 0, 3, {0x82, 1, 0, 3}, false, 8, {1, 2, 255, 0, 0, 0}), 4);
  const std::vector<double> du = dosagesOf(u, &nonmissing);
  for (double x : du) EXPECT_TRUE(std::isnan(x));
  EXPECT_EQ(nonmissing, 0u);

  // Phased diploid: haplotype 1 carries the second allele with 0.2, haplotype 2 with 0.6.
  const ProbabilityTable p = decodeV12(v12Data(1, 2, 2, 2, {2}, true, 8, {204, 102}), 1);
  const std::vector<double> dp = dosagesOf(p, &nonmissing);
  EXPECT_NEAR(dp[0], 0.2 + 0.6, 1e-12);
  EXPECT_EQ(nonmissing, 1u);
}

TEST(BgenDosages, ExcludedSamplesAreNotWritten) {
  const ProbabilityTable t =
      decodeV12(v12Data(3, 2, 2, 2, {2, 2, 2}, false, 8, {0, 0, 255, 0, 0, 255}), 3);
  const int32_t slot[3] = {1, -1, 0};
  double d[2] = {-5, -5};
  DosageSetter setter(slot, d);
  setter.initialise(3, 0, t.scale);
  for (std::size_t i = 0; i < 3; ++i) {
    setter.set_sample(i);
    setter.set_number_of_entries(t.counts[i], t.ploidy[i], t.phased);
    for (std::size_t k = 0; k < t.counts[i]; ++k) setter.set_value(t(i, k));
  }
  EXPECT_EQ(d[1], 2.0);  // file sample 0
  EXPECT_EQ(d[0], 1.0);  // file sample 2
  EXPECT_EQ(setter.n_nonmissing, 2u);
}

} // namespace
