#pragma once
// PLINK .bed/.bim/.fam reader.
//
// .bed (SNP-major): 0x6C 0x1B 0x01, then one record of ceil(samples / 4) bytes per variant, in
// .bim line order. Sample 4k + j sits in bits 2j, 2j+1 of byte k; codes 00, 10, 11 give 2, 1, 0
// copies of the A allele (.bim column 5) and 01 is missing (NaN).
// .bim/.fam lines are split on tabs when they hold one, else on single spaces.
#include <Eigen/Dense>

#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "header_serial.hpp"
#include "io_serial.hpp"

namespace plinkfile {
namespace bed {

struct Context {
  uint32_t number_of_samples = 0;   // lines of the .fam file
  uint32_t number_of_variants = 0;  // whole variant records of the .bed file
  uint64_t bytes_per_variant = 0;   // ceil(number_of_samples / 4)
};

// Masks of the four 2-bit genotype codes of one .bed byte, first sample in the lowest bits.
extern const byte_t bitmask[4];

// Fills size (bytes of the .bed file), bytes_per_variant and number_of_variants from the .bed
// stream and leaves it at the first record. Bytes after the last whole record are ignored.
// Returns false when the file holds more records than a 32-bit variant index can address.
bool number_of_variants(std::istream& stream, Context& context, uint64_t& size);

// Tallies of one decoded record over the samples asked for.
struct GenotypeCounts {
  uint32_t zero = 0;     // dosage 0 (code 11)
  uint32_t one = 0;      // dosage 1 (code 10)
  uint32_t two = 0;      // dosage 2 (code 00)
  uint32_t missing = 0;  // code 01
};

// The hot path: dosages of `count` samples (ascending indices below number_of_samples) of one
// record into out[0 .. count). No allocation, no checks.
GenotypeCounts decode_into(const byte_t* record, const uint32_t* samples, size_t count, double* out);

// The same for every sample of a record of `count` samples (samples 0 .. count - 1): whole bytes at a
// time, with the same values and tallies.
GenotypeCounts decode_all(const byte_t* record, size_t count, double* out);

// One dosage per sample of `samples`, in ascending sample order; `counter` grows by the number of
// samples with a genotype. The record must hold bytes_per_variant bytes.
Eigen::VectorXd decode(const std::vector<byte_t>& record, const std::set<uint32_t>& samples, uint32_t& counter,
                       const Context& context);

// Reads three bytes and tells whether they open a SNP-major .bed file.
bool check_magic_number(std::istream& stream);

} // namespace bed
} // namespace plinkfile

class PlinkParser {
public:
  std::string bed_filename;
  std::string bim_filename;
  std::string fam_filename;
  std::ifstream bed_stream;
  std::ifstream bim_stream;
  std::ifstream fam_stream;
  plinkfile::bed::Context context;
  bool print_errors = false;
  uint64_t bed_size = 0;
  uint32_t state = 0;
  std::unordered_map<std::string, uint32_t> sample_ids;
  std::set<uint32_t> included_samples;
  // What open builds, at a cost per sample of the file. A computation's threads other than the first
  // take their samples from it (Corvane::selectSamples) and keep neither, nor check the .fam file for
  // repeated IIDs; the first includes no sample when a sample list will replace them.
  bool keep_sample_ids = true;
  bool include_all_samples = true;

  // Opens and checks the whole file set: magic number, .bim columns, every .fam line (unique IIDs),
  // every .bim line (six fields, a position, one chromosome), .bim lines = .bed records, at least
  // one sample and one record. Includes every sample. Faults end the run through display_error.
  void open(const std::string& bed_name, const std::string& bim_name, const std::string& fam_name);
  // The .fam part of open: false when the .bim column check fails.
  bool read_fam();
  // Reads the stream's next line; false (stream after that line) when start + its fields, split by
  // the .bim/.fam rule, exceed maximum; else rewinds the stream to its first byte and returns true.
  bool checkLine(std::istream& stream, uint32_t start, uint32_t maximum);
  // Next field of a .fam/.bim line up to `delimiter`; none left ends the run naming the file that
  // is being read.
  std::string read_string(std::istream& line_stream, char delimiter);
  // The position field (column 4) of .bim line `line_number` (from 1), read whole: a whole number
  // from 0 to 4294967295, written as a variant list may write it ("10000", "1e+04", "10000.0").
  // A fraction, trailing text or no number, a negative number, or a larger one ends the run.
  uint32_t convert_integer(const std::string& text, uint64_t line_number);
  // Chromosome and position of the next .bim line; false at the end of the file. An empty
  // chromosome takes the line's; a different one ends the run. Lines are counted from the last
  // rewind_bim (open ends with one). With rsid, the line's RSID goes there too.
  bool read_position(std::string& chromosome, uint32_t& position, std::string* rsid = nullptr);
  // Returns the .bim stream to its first line, for read_position.
  void rewind_bim();
  // One VariantHeader for every .bim line in [start, end); runs on one thread's share, so a fault
  // is reported from the calling thread.
  void read_bim(uint32_t start, uint32_t end, std::map<uint32_t, VariantHeader>& variant_headers);

  // Offset of record `variant` in the .bed file.
  uint64_t record_offset(uint32_t variant) const { return 3 + static_cast<uint64_t>(variant) * context.bytes_per_variant; }
  // Positions the .bed stream at record `variant` (< number_of_variants).
  void seek_variant(uint32_t variant);
  // True while a whole record lies between the .bed stream's position and the end of the file.
  bool has_record();
  // Decodes the record at the .bed stream's position (variant `variant_index`) into `dosages`, one
  // entry per included sample in ascending sample order, and moves to the next record. With `store`
  // the allele frequencies go into variant_headers[variant_index], which must exist. Returns the
  // number of included samples with a genotype.
  uint32_t compute_genotypes(uint32_t variant_index, bool store, std::map<uint32_t, VariantHeader>& variant_headers,
                             Eigen::Ref<Eigen::VectorXd> dosages);
  // Allocating form of the above.
  Eigen::VectorXd compute_genotypes(uint32_t variant_index, bool store,
                                    std::map<uint32_t, VariantHeader>& variant_headers);
  // Call after changing included_samples: refreshes the flat copy that decoding walks.
  void sync_included_samples();

  // Ends the run: errors every thread meets alike print on the thread with print_errors, after
  // a barrier of the team; inside read_bim the calling thread prints and exits at once. Status 1.
  [[noreturn]] void display_error(std::string&& message);

private:
  std::vector<uint32_t> included_list;  // included_samples, flat, for the decoding loop
  std::vector<byte_t> record_buffer;    // one .bed record, reused
  bool errors_are_local = false;        // set while one thread reads its own share
  bool reading_fam = false;             // read_string names the .fam file, else the .bim file
  std::string line_buffer;
  std::string position_text;  // column 4 of the line being read, reused
  uint64_t bim_line = 0;      // .bim lines read by read_position since the last rewind_bim

  [[noreturn]] void fail_empty(const std::string& file_name);
  void validate_bim();
};
