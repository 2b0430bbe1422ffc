// corvane_testgen: writes simulated genotype data with LD as a PLINK file set and/or a BGEN file, and
// optionally the exact dosages a reader of each file should produce. Run without arguments for usage.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bgen_writer.hpp"
#include "plink_writer.hpp"
#include "simulate.hpp"

using namespace testdata;

namespace {

const char* kUsage =
    "usage: corvane_testgen --samples N --variants M --out PREFIX [--plink] [--bgen] [options]\n"
    "\n"
    "Data:\n"
    "  --seed S               generator seed (default 1)\n"
    "  --spacing BP           mean distance between neighbouring variants (default 1000)\n"
    "  --no-jitter            exactly BP between neighbours (default: uniform in [1, 2 BP - 1])\n"
    "  --start POS            position of the first variant (default 10000)\n"
    "  --chrom NAME           chromosome (default 1)\n"
    "  --missing RATE         share of genotypes missing, independently (default 0)\n"
    "  --founders F           founder haplotypes, 2 to 64 (default 12)\n"
    "  --ld-length BP         LD scale in base pairs (default 20 x spacing)\n"
    "  --mutation RATE        per haplotype and variant (default 0.005)\n"
    "  --monomorphic LIST     comma-separated 0-based indices of variants made monomorphic\n"
    "  --monomorphic-every K  also make every K-th variant monomorphic (indices K-1, 2K-1, ...)\n"
    "Output:\n"
    "  --plink                PREFIX.bed/.bim/.fam (A allele = .bim column 5)\n"
    "  --bim-sep tab|space    .bim field separator (default tab)\n"
    "  --bgen                 PREFIX.bgen and the SNPTEST2 sample file PREFIX.sample\n"
    "  --layout L             BGEN layout 0, 1 or 2 (default 2)\n"
    "  --bits B               layout 2 bits per probability, 1 to 32 (default 8)\n"
    "  --compression C        zlib or none (default zlib)\n"
    "  --zlib-level N         zlib level 1 to 9 (default 6)\n"
    "  --sample-ids           also store the sample identifiers in the BGEN file\n"
    "  --soft FRACTION        BGEN only: this share of genotypes get uncertain probabilities\n"
    "  --below-one            BGEN layouts 0 and 1 only: each sample's three probabilities sum to a\n"
    "                         value between 0.5 and 1, as those layouts allow\n"
    "  --dosages              PREFIX.dosages.tsv (one format) or PREFIX.plink.dosages.tsv and\n"
    "                         PREFIX.bgen.dosages.tsv (both): per variant its index, chromosome, RSID,\n"
    "                         position, alleles and the dosage of every sample as the reader should\n"
    "                         produce it (PLINK: copies of the A allele; BGEN: expected copies of the\n"
    "                         B allele from the quantised probabilities); NaN when missing\n"
    "\n"
    "Samples are FAM<i>/ID<i> in the .fam file and ID<i> in the sample file, i from 0. Variants are\n"
    "rs<index + 1>; the BGEN SNPID is <chrom>:<position>. The PLINK and BGEN copies hold the same\n"
    "genotypes with the same allele order (without --soft), so their correlations agree.\n";

[[noreturn]] void usageError(const std::string& what) {
  std::cerr << "corvane_testgen: " << what << "\n\n" << kUsage;
  std::exit(1);
}

uint64_t toUnsigned(const std::string& opt, const std::string& text, uint64_t max) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || v > max)
    usageError(opt + " needs a whole number up to " + std::to_string(max) + ", not '" + text + "'");
  return v;
}

double toRate(const std::string& opt, const std::string& text) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0.0 && v <= 1.0)) usageError(opt + " needs a number in [0, 1]");
  return v;
}

// Tab-separated dosage table, written with its own buffer: it can hold 10^8 values.
class DosageTable {
 public:
  DosageTable(const std::string& path, uint32_t n_samples) : path_(path) {
    f_ = std::fopen(path.c_str(), "wb");
    if (!f_) throw std::runtime_error("cannot create " + path);
    line_ = "index\tchromosome\trsid\tposition\tallele_a\tallele_b";
    for (uint32_t i = 0; i < n_samples; ++i) line_ += "\tID" + std::to_string(i);
    line_ += '\n';
    put();
  }
  ~DosageTable() {
    if (f_) std::fclose(f_);
  }
  void add(const SimulatedVariant& v, const std::vector<double>& d) {
    line_ = std::to_string(v.index) + '\t' + v.chromosome + '\t' + v.rsid + '\t' + std::to_string(v.position) +
            '\t' + v.allele_a + '\t' + v.allele_b;
    char buf[40];
    for (double x : d) {
      if (std::isnan(x)) {
        line_ += "\tNaN";
      } else if (x == 0.0 || x == 1.0 || x == 2.0) {
        line_ += '\t';
        line_ += static_cast<char>('0' + static_cast<int>(x));
      } else {
        std::snprintf(buf, sizeof buf, "\t%.17g", x);
        line_ += buf;
      }
    }
    line_ += '\n';
    put();
  }
  void close() {
    std::FILE* f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + path_);
  }

 private:
  void put() {
    if (std::fwrite(line_.data(), 1, line_.size(), f_) != line_.size()) throw std::runtime_error("cannot write " + path_);
  }
  std::string path_;
  std::FILE* f_ = nullptr;
  std::string line_;
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cout << kUsage;
    return 1;
  }
  SimulationOptions sim;
  bool have_samples = false, have_variants = false, plink = false, bgen = false, dosages = false;
  bool sample_ids = false;
  std::string out, compression = "zlib";
  uint32_t layout = 2, bits = 8;
  int zlib_level = 6;
  char bim_sep = '\t';
  double soft = 0.0;
  bool below_one = false;
  for (int k = 1; k < argc; ++k) {
    const std::string a = argv[k];
    auto value = [&]() -> std::string {
      if (k + 1 >= argc) usageError(a + " needs a value");
      return argv[++k];
    };
    if (a == "--samples") {
      sim.n_samples = static_cast<uint32_t>(toUnsigned(a, value(), UINT32_MAX));
      have_samples = true;
    } else if (a == "--variants") {
      sim.n_variants = static_cast<uint32_t>(toUnsigned(a, value(), UINT32_MAX));
      have_variants = true;
    } else if (a == "--seed") {
      sim.seed = toUnsigned(a, value(), UINT64_MAX);
    } else if (a == "--spacing") {
      sim.spacing = static_cast<uint32_t>(toUnsigned(a, value(), UINT32_MAX));
    } else if (a == "--no-jitter") {
      sim.jitter = false;
    } else if (a == "--start") {
      sim.first_position = static_cast<uint32_t>(toUnsigned(a, value(), UINT32_MAX));
    } else if (a == "--chrom") {
      sim.chromosome = value();
    } else if (a == "--missing") {
      sim.missing_rate = toRate(a, value());
    } else if (a == "--founders") {
      sim.n_founders = static_cast<uint32_t>(toUnsigned(a, value(), 64));
    } else if (a == "--ld-length") {
      sim.ld_length = static_cast<double>(toUnsigned(a, value(), UINT32_MAX));
    } else if (a == "--mutation") {
      sim.mutation_rate = toRate(a, value());
    } else if (a == "--monomorphic") {
      std::stringstream list(value());
      std::string item;
      while (std::getline(list, item, ','))
        sim.monomorphic.push_back(static_cast<uint32_t>(toUnsigned(a, item, UINT32_MAX)));
    } else if (a == "--monomorphic-every") {
      sim.monomorphic_every = static_cast<uint32_t>(toUnsigned(a, value(), UINT32_MAX));
    } else if (a == "--out") {
      out = value();
    } else if (a == "--plink") {
      plink = true;
    } else if (a == "--bim-sep") {
      std::string s = value();
      if (s != "tab" && s != "space") usageError("--bim-sep takes tab or space");
      bim_sep = s == "tab" ? '\t' : ' ';
    } else if (a == "--bgen") {
      bgen = true;
    } else if (a == "--layout") {
      layout = static_cast<uint32_t>(toUnsigned(a, value(), 2));
    } else if (a == "--bits") {
      bits = static_cast<uint32_t>(toUnsigned(a, value(), 32));
      if (bits < 1) usageError("--bits takes 1 to 32");
    } else if (a == "--compression") {
      compression = value();
      if (compression != "zlib" && compression != "none") usageError("--compression takes zlib or none");
    } else if (a == "--zlib-level") {
      zlib_level = static_cast<int>(toUnsigned(a, value(), 9));
      if (zlib_level < 1) usageError("--zlib-level takes 1 to 9");
    } else if (a == "--sample-ids") {
      sample_ids = true;
    } else if (a == "--soft") {
      soft = toRate(a, value());
    } else if (a == "--below-one") {
      below_one = true;
    } else if (a == "--dosages") {
      dosages = true;
    } else if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      usageError("unknown option " + a);
    }
  }
  if (!have_samples || !have_variants || out.empty()) usageError("--samples, --variants and --out are required");
  if (!plink && !bgen) usageError("choose --plink, --bgen or both");
  if (soft > 0.0 && !bgen) usageError("--soft applies to BGEN output only");
  if (below_one && (!bgen || layout == 2)) usageError("--below-one applies to BGEN layouts 0 and 1 only");

  try {
    GenotypeSimulator generator(sim);
    const uint32_t n = sim.n_samples;
    std::vector<std::string> ids(n);
    for (uint32_t i = 0; i < n; ++i) ids[i] = "ID" + std::to_string(i);

    std::unique_ptr<PlinkWriter> plink_writer;
    std::unique_ptr<BgenWriter> bgen_writer;
    std::unique_ptr<DosageTable> plink_table, bgen_table;
    if (plink) {
      PlinkOptions po;
      po.bim_separator = bim_sep;
      plink_writer.reset(new PlinkWriter(out, defaultFamSamples(n), po));
    }
    if (bgen) {
      BgenHeader h;
      h.layout = layout;
      h.compression = compression == "zlib" ? kBgenZlib : kBgenStored;
      h.zlib_level = zlib_level;
      h.sample_identifiers = sample_ids;
      h.sample_ids = ids;
      h.number_of_variants = sim.n_variants;  // known up front: no patching needed
      BgenBlockOptions bo;
      bo.bits = bits;
      bgen_writer.reset(new BgenWriter(out + ".bgen", n, h, bo));
      writeSnptestSampleFile(out + ".sample", ids);
    }
    if (dosages) {
      if (plink) plink_table.reset(new DosageTable(out + (bgen ? ".plink" : "") + ".dosages.tsv", n));
      if (bgen) bgen_table.reset(new DosageTable(out + (plink ? ".bgen" : "") + ".dosages.tsv", n));
    }

    Rng soft_rng(sim.seed * 7 + 0x50F7ull);
    Rng sum_rng(sim.seed * 11 + 0x5A11ull);
    SimulatedVariant v;
    std::vector<int8_t> a_counts;
    std::vector<double> a_dosages, probs, b_dosages;
    while (generator.next(v)) {
      if (plink_writer) {
        aCountsFromB(v.b_counts, a_counts);
        PlinkVariant pv;
        pv.chromosome = v.chromosome;
        pv.rsid = v.rsid;
        pv.position = v.position;
        pv.allele_a = v.allele_a;
        pv.allele_b = v.allele_b;
        plink_writer->addVariant(pv, a_counts);
        if (plink_table) {
          a_dosages.resize(n);
          for (uint32_t i = 0; i < n; ++i) a_dosages[i] = a_counts[i] < 0 ? NAN : a_counts[i];
          plink_table->add(v, a_dosages);
        }
      }
      if (bgen_writer) {
        BgenVariantId id;
        id.varid = v.chromosome + ":" + std::to_string(v.position);
        id.rsid = v.rsid;
        id.chromosome = v.chromosome;
        id.position = v.position;
        id.alleles = {v.allele_a, v.allele_b};
        probs.assign(3 * static_cast<std::size_t>(n), 0.0);
        // A monomorphic variant stays monomorphic: no uncertainty added to it.
        int first_call = -1;
        bool constant = true;
        for (int8_t g : v.b_counts) {
          if (g < 0) continue;
          if (first_call < 0) first_call = g;
          constant = constant && g == first_call;
        }
        const double soft_here = constant ? 0.0 : soft;
        for (uint32_t i = 0; i < n; ++i) {
          double* p = &probs[3 * i];
          const int g = v.b_counts[i];
          if (g < 0) {
            p[0] = p[1] = p[2] = NAN;
          } else if (soft_here > 0.0 && soft_rng.uniform() < soft_here) {
            // Most of the mass on the called genotype, the rest spread over the other two.
            const double keep = 0.5 + 0.5 * soft_rng.uniform();
            const double split = soft_rng.uniform();
            p[g] = keep;
            p[(g + 1) % 3] = (1.0 - keep) * split;
            p[(g + 2) % 3] = (1.0 - keep) * (1.0 - split);
          } else {
            p[g] = 1.0;
          }
          if (below_one && g >= 0) {
            const double sum = 0.5 + 0.5 * sum_rng.uniform();
            for (int k = 0; k < 3; ++k) p[k] *= sum;
          }
        }
        bgen_writer->addVariant(id, probs, bgen_table ? &b_dosages : nullptr);
        if (bgen_table) bgen_table->add(v, b_dosages);
      }
    }
    if (plink_writer) plink_writer->close();
    if (bgen_writer) bgen_writer->close();
    if (plink_table) plink_table->close();
    if (bgen_table) bgen_table->close();
  } catch (const std::exception& e) {
    std::cerr << "corvane_testgen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
