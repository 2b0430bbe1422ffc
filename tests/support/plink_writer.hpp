#pragma once
// A PLINK binary file set writer for tests (.bed SNP-major, .bim, .fam), independent of the reader.
//
// Input genotypes are counts of the A allele, the first allele of the variant (.bim column 5), which is
// what a reader reports as the PLINK dosage: 2 -> code 00, 1 -> code 10, 0 -> code 11, missing -> code 01.
// Sample 4k + j sits in bits 2j and 2j+1 of byte k of the variant's record; unused bits of the last byte
// are 0.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace testdata {

struct FamSample {
  std::string fid, iid;
  std::string father = "0", mother = "0", sex = "0", phenotype = "-9";
};

// Samples FAM<i> / ID<i>, i from 0 (IIDs are what sample lists name).
std::vector<FamSample> defaultFamSamples(uint32_t n);

struct PlinkVariant {
  std::string chromosome = "1";
  std::string rsid;
  std::string cm = "0";
  uint32_t position = 0;
  std::string allele_a, allele_b;  // columns 5 and 6
};

struct PlinkOptions {
  char bim_separator = '\t';
  char fam_separator = ' ';
};

// One .bed record (ceil(n / 4) bytes) from A-allele counts: 0, 1, 2; any other value (e.g. -1) is missing.
std::string bedRecord(const int8_t* a_counts, std::size_t n);
// The same from doubles: NaN is missing; values must be 0, 1 or 2.
std::string bedRecord(const std::vector<double>& a_counts);
std::string bimLine(const PlinkVariant& v, char separator);
std::string famLine(const FamSample& s, char separator);

// File sets written as text, for tests of the reader's checks: n .fam lines "F<i> I<i> 0 0 1 -9";
// n .bim lines on chromosome 1, rs<i> at first_position + i * step, alleles A and G.
std::string famLines(int n);
std::string bimLines(int n, int first_position = 100, int step = 100);
// Writes base.fam, base.bim and base.bed with the given contents.
void writePlinkSet(const std::string& base, const std::string& fam, const std::string& bim,
                   const std::string& bed);

// Writes PREFIX.bed/.bim/.fam. Errors (bad genotype values, failed writes) throw std::runtime_error.
class PlinkWriter {
 public:
  PlinkWriter(const std::string& prefix, const std::vector<FamSample>& samples,
              const PlinkOptions& options = PlinkOptions());
  ~PlinkWriter();  // closes quietly when close() was not called
  PlinkWriter(const PlinkWriter&) = delete;
  PlinkWriter& operator=(const PlinkWriter&) = delete;

  void addVariant(const PlinkVariant& v, const std::vector<int8_t>& a_counts);  // -1 missing
  void addVariant(const PlinkVariant& v, const std::vector<int>& a_counts);     // -1 missing
  void addVariantDosages(const PlinkVariant& v, const std::vector<double>& a_counts);  // NaN missing
  // Appends bytes to the .bed file as they are (truncated records, trailing bytes).
  void addRawBed(const std::string& bytes);
  void close();
  uint32_t variantsWritten() const { return n_variants_; }

 private:
  void addRecord(const PlinkVariant& v, const std::string& record);
  std::string prefix_;
  std::size_t n_samples_;
  PlinkOptions options_;
  std::ofstream bed_, bim_;
  uint32_t n_variants_ = 0;
  bool closed_ = false;
};

} // namespace testdata
