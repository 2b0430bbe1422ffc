#include "plink_writer.hpp"

#include <cmath>
#include <stdexcept>

#include "test_util.hpp"

namespace testdata {

namespace {

void fail(const std::string& what) { throw std::runtime_error("plink writer: " + what); }

// Two-bit code of an A-allele count; anything but 0, 1, 2 is missing.
inline unsigned code(int a) {
  switch (a) {
    case 2: return 0x0;
    case 1: return 0x2;
    case 0: return 0x3;
    default: return 0x1;
  }
}

} // namespace

std::vector<FamSample> defaultFamSamples(uint32_t n) {
  std::vector<FamSample> s(n);
  for (uint32_t i = 0; i < n; ++i) {
    s[i].fid = "FAM" + std::to_string(i);
    s[i].iid = "ID" + std::to_string(i);
  }
  return s;
}

std::string bedRecord(const int8_t* a, std::size_t n) {
  std::string out((n + 3) / 4, '\0');
  for (std::size_t i = 0; i < n; ++i)
    out[i / 4] = static_cast<char>(static_cast<unsigned char>(out[i / 4]) | (code(a[i]) << (2 * (i % 4))));
  return out;
}

std::string bedRecord(const std::vector<double>& a) {
  std::vector<int8_t> c(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i])) {
      c[i] = -1;
    } else if (a[i] == 0.0 || a[i] == 1.0 || a[i] == 2.0) {
      c[i] = static_cast<int8_t>(a[i]);
    } else {
      fail("PLINK genotypes must be 0, 1, 2 or missing");
    }
  }
  return bedRecord(c.data(), c.size());
}

std::string bimLine(const PlinkVariant& v, char sep) {
  return v.chromosome + sep + v.rsid + sep + v.cm + sep + std::to_string(v.position) + sep + v.allele_a + sep +
         v.allele_b + '\n';
}

std::string famLine(const FamSample& s, char sep) {
  return s.fid + sep + s.iid + sep + s.father + sep + s.mother + sep + s.sex + sep + s.phenotype + '\n';
}

std::string famLines(int n) {
  std::string fam;
  for (int i = 0; i < n; ++i) fam += "F" + std::to_string(i) + " I" + std::to_string(i) + " 0 0 1 -9\n";
  return fam;
}

std::string bimLines(int n, int first_position, int step) {
  std::string bim;
  for (int i = 0; i < n; ++i) {
    bim += "1\trs" + std::to_string(i) + "\t0\t" + std::to_string(first_position + i * step) + "\tA\tG\n";
  }
  return bim;
}

void writePlinkSet(const std::string& base, const std::string& fam, const std::string& bim,
                   const std::string& bed) {
  testutil::writeFile(base + ".fam", fam);
  testutil::writeFile(base + ".bim", bim);
  testutil::writeFile(base + ".bed", bed);
}

PlinkWriter::PlinkWriter(const std::string& prefix, const std::vector<FamSample>& samples,
                         const PlinkOptions& options)
    : prefix_(prefix), n_samples_(samples.size()), options_(options) {
  std::ofstream fam(prefix + ".fam", std::ios::binary | std::ios::trunc);
  if (!fam) fail("cannot create " + prefix + ".fam");
  for (const auto& s : samples) fam << famLine(s, options_.fam_separator);
  fam.close();
  if (!fam) fail("cannot write " + prefix + ".fam");
  bed_.open(prefix + ".bed", std::ios::binary | std::ios::trunc);
  bim_.open(prefix + ".bim", std::ios::binary | std::ios::trunc);
  if (!bed_ || !bim_) fail("cannot create " + prefix + ".bed/.bim");
  const char magic[3] = {0x6C, 0x1B, 0x01};
  bed_.write(magic, 3);
  if (!bed_) fail("cannot write " + prefix + ".bed");
}

PlinkWriter::~PlinkWriter() {
  if (!closed_) {
    try {
      close();
    } catch (...) {
    }
  }
}

void PlinkWriter::addRecord(const PlinkVariant& v, const std::string& record) {
  bed_.write(record.data(), static_cast<std::streamsize>(record.size()));
  bim_ << bimLine(v, options_.bim_separator);
  if (!bed_ || !bim_) fail("cannot write " + prefix_ + ".bed/.bim");
  ++n_variants_;
}

void PlinkWriter::addVariant(const PlinkVariant& v, const std::vector<int8_t>& a) {
  if (a.size() != n_samples_) fail("one genotype per sample needed");
  for (int8_t x : a)
    if (x != -1 && (x < 0 || x > 2)) fail("PLINK genotypes must be 0, 1, 2 or -1");
  addRecord(v, bedRecord(a.data(), a.size()));
}

void PlinkWriter::addVariant(const PlinkVariant& v, const std::vector<int>& a) {
  std::vector<int8_t> c(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) c[i] = static_cast<int8_t>(a[i] < -1 || a[i] > 2 ? 99 : a[i]);
  addVariant(v, c);
}

void PlinkWriter::addVariantDosages(const PlinkVariant& v, const std::vector<double>& a) {
  if (a.size() != n_samples_) fail("one genotype per sample needed");
  addRecord(v, bedRecord(a));
}

void PlinkWriter::addRawBed(const std::string& bytes) {
  bed_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!bed_) fail("cannot write " + prefix_ + ".bed");
}

void PlinkWriter::close() {
  if (closed_) return;
  closed_ = true;
  bed_.close();
  bim_.close();
  if (!bed_ || !bim_) fail("cannot write " + prefix_ + ".bed/.bim");
}

} // namespace testdata
