#pragma once
// A BGEN writer for tests. It is deliberately independent of the reader in include/genfile, so that files
// written here check the reader rather than mirror it. Besides well-formed files it can write the odd ones
// the reader must refuse: every computed header field can be overridden, and raw bytes can be appended.
//
// Byte layout written (all integers little-endian):
//   u32 offset (= header_size + sample block length; the first variant starts at offset + 4)
//   u32 header_size (20 + free data), u32 number_of_variants, u32 number_of_samples, 4 bytes magic,
//   free data, u32 flags (bits 0-1 compression, bits 2-5 layout, bit 31 sample identifier block)
//   [sample identifier block: u32 length, u32 count, per sample u16 length + identifier]
//   per variant: identifying data, then the genotype data block.
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace testdata {

// Little-endian byte assembly for whole files or for pieces of malformed ones.
class Bytes {
 public:
  Bytes& u8(uint32_t v);
  Bytes& u16(uint32_t v);
  Bytes& u32(uint32_t v);
  Bytes& str16(const std::string& s);  // u16 length, then the bytes
  Bytes& str32(const std::string& s);  // u32 length, then the bytes
  Bytes& raw(const std::string& s);
  Bytes& zeros(std::size_t n);
  const std::string& str() const { return data_; }
  std::size_t size() const { return data_.size(); }

 private:
  std::string data_;
};

// Compression values of flag bits 0-1. Values 2 and 3 are written as-is for refusal tests: their blocks
// carry what a reader that looks at bit 0 only would decode without complaint (value 2: stored data;
// value 3: zlib data), so only an explicit refusal of bit 1 catches such a file.
enum BgenCompression : uint32_t { kBgenStored = 0, kBgenZlib = 1, kBgenCompression2 = 2, kBgenCompression3 = 3 };

struct BgenHeader {
  uint32_t layout = 2;                   // 0, 1 or 2 (flag value layout << 2); other values written as-is
  uint32_t compression = kBgenZlib;      // flag bits 0-1
  bool sample_identifiers = false;       // write the sample identifier block (flag bit 31)
  std::vector<std::string> sample_ids;   // the block's identifiers; default "sample_<i>" when empty
  std::string magic = std::string("bgen");  // 4 bytes: "bgen" or four zero bytes (anything for refusals)
  std::string free_data;
  uint32_t extra_flags = 0;              // OR'ed into the computed flags
  int zlib_level = 6;
  // Raw overrides for malformed files: when set, written instead of the computed value.
  std::optional<uint32_t> offset, header_size, number_of_variants, number_of_samples, flags;
  std::optional<uint32_t> sample_block_length, sample_block_count;
};

struct BgenVariantId {
  std::string varid;                     // the SNPID field
  std::string rsid;
  std::string chromosome = "1";
  uint32_t position = 0;
  std::vector<std::string> alleles{"A", "G"};  // layouts 0 and 1 write exactly the first two
};

// One sample of a layout 2 block. probs holds every entry of the sample's groups, implied last entries
// included: unphased, one group of C(P+K-1, K-1) entries (diploid, two alleles: hom first, het, hom second);
// phased, P groups of K entries. Each group is quantised to B bits so that its values sum to 2^B - 1.
struct BgenSampleProbs {
  uint32_t ploidy = 2;
  bool missing = false;
  std::vector<double> probs;
  std::vector<uint32_t> raw_values;      // when not empty: the S stored values, written as-is
};

struct BgenBlockOptions {
  uint32_t bits = 8;                     // B, 1 to 32
  bool phased = false;
  uint32_t ploidy_extra_bits = 0;        // OR'ed into every ploidy byte (e.g. 0x40)
  // Raw overrides inside the probability data.
  std::optional<uint32_t> n_samples, n_alleles, min_ploidy, max_ploidy, phased_byte, bits_byte;
};

// Entries of one sample: unphased C(P+K-1, K-1), phased K*P.
uint32_t bgenEntryCount(uint32_t ploidy, uint32_t n_alleles, bool phased);
// Stored values of one sample: unphased entries - 1 (0 when K = 1), phased P*(K-1).
uint32_t bgenStoredCount(uint32_t ploidy, uint32_t n_alleles, bool phased);

// The dosage a reader computes from a sample's decoded entries, each a stored integer n_k over `scale`
// (2^B - 1, 10000 or 32768): the expected count of the second allele (n1 + 2 n2) / (n0 + n1 + n2),
// one division of the exact integers; NaN when the sample is missing (an entry -1), has fewer than
// three entries, or all three are 0.
double bgenReaderDosage(const std::vector<double>& entries, double scale);

// Probabilities (hom first allele, het, hom second allele) of a diploid sample with the given expected count
// of the second allele (0..2); NaN gives three NaNs (missing).
void dosageToProbs(double dosage, double out[3]);

// Pieces of a file, for assembling malformed ones by hand.
std::string bgenHeaderBytes(const BgenHeader& header, uint32_t n_samples, uint32_t n_variants);
std::string bgenIdentifyingData(uint32_t layout, uint32_t n_samples, const BgenVariantId& id);
// Layout 2 probability data before compression. decoded (optional) receives, per sample, the entries a
// reader decodes from the quantised values (-1.0 for every entry of a missing sample).
std::string bgenLayout2Data(const std::vector<BgenSampleProbs>& samples, uint32_t n_alleles,
                            const BgenBlockOptions& options,
                            std::vector<std::vector<double>>* decoded = nullptr);
// Layout 0/1 probability data: 6 bytes per sample, values scaled by 10000 (layout 0) or 32768 (layout 1).
// probs3 holds 3 values per sample; a sample with a NaN is written as three zeros (these layouts have no
// missing code); one whose values sum below 1 keeps them, each rounded on its own, others are made to sum
// to the scale. decoded as above.
std::string bgenLayout1Data(uint32_t layout, const std::vector<double>& probs3,
                            std::vector<std::vector<double>>* decoded = nullptr);
// The stored genotype block: length prefix and compression as the layout and compression value require.
std::string bgenGenotypeBlock(uint32_t layout, uint32_t compression, const std::string& data, int zlib_level = 6);

// SNPTEST2 sample file: "ID_1 ID_2 missing", the type line "0 0 0", then "<id> <id> 0" per sample.
void writeSnptestSampleFile(const std::string& path, const std::vector<std::string>& ids);

// Streams a BGEN file. Errors (bad arguments, failed writes) throw std::runtime_error.
class BgenWriter {
 public:
  BgenWriter(const std::string& path, uint32_t n_samples, const BgenHeader& header = BgenHeader(),
             const BgenBlockOptions& block = BgenBlockOptions());
  ~BgenWriter();  // closes quietly when close() was not called
  BgenWriter(const BgenWriter&) = delete;
  BgenWriter& operator=(const BgenWriter&) = delete;

  // Diploid, unphased, the variant's alleles (K = alleles.size(), 3 entries per sample when K = 2):
  // probs3 holds 3 values per sample; a NaN marks a missing sample. For K > 2 use addVariantSamples.
  // dosages (optional) receives the dosage a reader should compute for each sample.
  void addVariant(const BgenVariantId& id, const std::vector<double>& probs3,
                  std::vector<double>* dosages = nullptr);
  // Expected counts of the second allele (0..2, NaN missing), turned into probabilities by dosageToProbs.
  void addVariantDosages(const BgenVariantId& id, const std::vector<double>& b_dosages,
                         std::vector<double>* dosages = nullptr);
  // Layout 2 only: any ploidy, phasing (from the block options), K = id.alleles.size().
  void addVariantSamples(const BgenVariantId& id, const std::vector<BgenSampleProbs>& samples,
                         std::vector<std::vector<double>>* decoded = nullptr);
  // Appends bytes as they are (a hand-made variant, trailing garbage, a truncated block).
  void addRaw(const std::string& bytes);

  // Writes the variant count into the header (unless overridden) and closes; throws on failure.
  void close();
  uint32_t variantsWritten() const { return n_variants_; }

 private:
  void write(const std::string& bytes);
  std::string path_;
  uint32_t n_samples_;
  BgenHeader header_;
  BgenBlockOptions block_;
  std::ofstream out_;
  uint32_t n_variants_ = 0;
  bool closed_ = false;
  std::vector<BgenSampleProbs> scratch_;  // reused per variant
  std::vector<std::vector<double>> decoded_;
};

} // namespace testdata
