#include "corvane.hpp"

#include <omp.h>

#include <iomanip>
#include <iostream>
#include <limits>

#include "fatal.hpp"

Shared_buffers::Shared_buffers(unsigned int n) : process_ranges(n) {}

Shared_buffers::~Shared_buffers() = default;

Corvane::Corvane(const Parameters& p, Shared_buffers& shared) : shared_buffers(shared) {
  if (flags.bgen) bgen_file = p.bgen;
  if (flags.samples) sample_file = p.samples;
  if (flags.bplink) {
    bed_file = p.bplink + ".bed";
    bim_file = p.bplink + ".bim";
    fam_file = p.bplink + ".fam";
  }
  if (flags.meta) meta_file = p.meta;
  if (flags.matrix) matrix_file = p.matrix;
  if (flags.table) table_file = p.table;
  if (flags.incl_variants) incl_variants_file = p.incl_variants;
  if (flags.incl_samples) incl_samples_file = p.incl_samples;
  bcor_file = p.bcor;

  process_number = static_cast<uint32_t>(omp_get_thread_num());
  n_processes = flags.merge ? static_cast<uint32_t>(p.n_threads)
                            : static_cast<uint32_t>(omp_get_num_threads());
  is_master = process_number == 0;

  n_variants_chunk = static_cast<uint32_t>(p.n_variants_chunk);
  ld_thold = p.ld_thold;
  variant_window_size = static_cast<uint32_t>(p.variant_window_size);
  ld_n_samples_avail_prop = p.ld_n_samples_avail_prop;
  if (flags.incl_range) incl_range = p.incl_range;
  if (!flags.merge) accuracy = flags.accuracy ? p.accuracy : "medium";
}

Corvane::~Corvane() = default;

void Corvane::displayError(const std::string& message) {
  if (errors_are_local) corvane::fatalError(message);
  corvane::fatalErrorCollective(message, is_master);
}

namespace {

bool computation() { return flags.bgen || flags.bplink; }

void title(const std::string& text) {
  const std::string dashes(text.size(), '-');
  std::cout << dashes << std::endl << text << std::endl << dashes << std::endl;
}

// All pairs of n variants, n(n-1)/2.
uint64_t totalPairs(uint32_t n) {
  const double v = n;
  return static_cast<uint64_t>((v * v + v) * 0.5 - v);
}

// Share of the pairs not stored, in percent, fixed with 3 decimals (the stream keeps that notation).
void printSparsity(uint64_t stored, uint64_t total) {
  // Without pairs the share is undefined: always print it as a plain nan.
  const double sparsity = total == 0 ? std::numeric_limits<double>::quiet_NaN()
                                     : (1.0 - static_cast<double>(stored) / static_cast<double>(total)) * 100.0;
  std::cout << "- Sparsity                      : " << std::fixed << std::setprecision(3) << sparsity << "%"
            << std::endl;
}

} // namespace

void Corvane::printStatus() {
  const auto printRange = [this]() {
    std::cout << "- Including only variants in range : " << incl_range.at(0) << "-" << incl_range.at(1)
              << std::endl;
  };
  if (!flags.merge) {
    title("SETTINGS");
    if (computation()) {
      if (flags.incl_range) printRange();
      std::cout << "- Number of variants per chunk : " << n_variants_chunk << std::endl;
      std::cout << "- Window size in kilobases     : " << variant_window_size / 1000.0 << std::endl;
      std::cout << "- Storing a correlation if" << std::endl;
      std::cout << "  - absolute value                      >= : " << ld_thold << std::endl;
      std::cout << "  - data available for % of all samples >= : " << 100 * ld_n_samples_avail_prop << "%"
                << std::endl;
      std::cout << "- Accuracy of correlations     : " << accuracy << std::endl;
      std::cout << "- Number of parallel processes : " << n_processes << std::endl;
    } else if (flags.meta) {
      if (flags.incl_range) printRange();
      else std::cout << "- Including all variants " << std::endl;
    } else if (flags.table || flags.matrix) {
      if (flags.incl_range) printRange();
      else if (flags.incl_variants) std::cout << "- Including only variants in variant file" << std::endl;
      else std::cout << "- Including all variants " << std::endl;
      if (flags.table) {
        std::cout << "- Extracting correlations " << std::endl;
        std::cout << "  - with absolute value             >= : " << ld_thold << std::endl;
        std::cout << "  - computed using % of all samples >= : " << 100 * ld_n_samples_avail_prop << "%"
                  << std::endl;
      }
    }
    std::cout << std::endl;
  }

  title("IN/OUTPUT");
  if (flags.bgen) {
    std::cout << "- BGEN file          : " << bgen_file << std::endl;
    std::cout << "- BCOR file          : " << par.bcor << "_processNumber" << std::endl;
    if (flags.samples && flags.incl_samples) {
      std::cout << "- SAMPLE file        : " << sample_file << std::endl;
      std::cout << "- SAMPLE incl-file   : " << incl_samples_file << std::endl;
    }
    std::cout << "- Preprocessing ...    ";
  } else if (flags.bplink) {
    std::cout << "- BED file           : " << bed_file << std::endl;
    std::cout << "- BIM file           : " << bim_file << std::endl;
    std::cout << "- FAM file           : " << fam_file << std::endl;
    std::cout << "- BCOR file          : " << par.bcor << "_processNumber" << std::endl;
    if (flags.incl_samples) std::cout << "- SAMPLE incl-file   : " << incl_samples_file << std::endl;
    std::cout << "- Preprocessing ...    ";
  } else if (flags.meta) {
    std::cout << "- BCOR file                     : " << par.bcor << std::endl;
    std::cout << "- META file                     : " << meta_file << std::endl;
  } else if (flags.matrix) {
    std::cout << "- BCOR file                     : " << par.bcor << std::endl;
    std::cout << "- MATRIX file                   : " << matrix_file << std::endl;
  } else if (flags.table) {
    std::cout << "- BCOR file                     : " << par.bcor << std::endl;
    std::cout << "- TABLE file                    : " << table_file << std::endl;
  } else if (flags.merge) {
    std::cout << "- BCOR input file               : " << par.bcor << "_processNumber" << std::endl;
    std::cout << "- BCOR output file              : " << bcor_file << std::endl;
  }
}

void Corvane::printRestStatus() {
  if (computation()) {
    std::cout << "\r- Genomic range      : " << shared_buffers.run_start_position << "-"
              << shared_buffers.run_end_position << std::endl;
    std::cout << "- Number of samples  : " << bin_n_samples << "/" << n_samples_in_file << std::endl;
    std::cout << "- Number of variants : " << bin_n_variants << "/" << n_variants_in_file << std::endl;
  } else if (flags.meta || flags.matrix || flags.table || flags.merge) {
    if ((flags.matrix || flags.table) && flags.incl_variants) {
      std::cout << "- Variants file                 : " << incl_variants_file << std::endl;
      std::cout << std::endl;
    }
    std::cout << "- Genomic range                 : " << bcor_start_position << "-" << bcor_end_position
              << std::endl;
    std::cout << "- Number of variants            : " << bin_n_variants << std::endl;
    std::cout << "- Accuracy of correlations      : " << accuracy << std::endl;
    const uint64_t total = totalPairs(bin_n_variants);
    std::cout << "- Total number of correlations  : " << total << std::endl;
    std::cout << "- Number of stored correlations : " << shared_buffers.total_number_of_correlations
              << std::endl;
    printSparsity(shared_buffers.total_number_of_correlations, total);
  }
}

void Corvane::printFinalize() {
  std::cout << std::endl;
  if (computation()) {
    title("BCOR");
    const uint64_t total = totalPairs(bin_n_variants);
    std::cout << "- Total number of correlations  : " << total << std::endl;
    std::cout << "- Number of stored correlations : " << shared_buffers.total_number_of_correlations
              << std::endl;
    printSparsity(shared_buffers.total_number_of_correlations, total);
  } else if (flags.merge) {
    title("MERGING FILES");
  } else if (flags.meta) {
    title("EXTRACTING META");
    std::cout << "- Number of variants : " << variant_headers.size() << "/" << bin_n_variants << std::endl;
  } else if (flags.matrix || flags.table) {
    std::cout << "-----------------" << std::endl
              << (flags.matrix ? "EXTRACTING MATRIX" : "EXTRACTING TABLE") << std::endl
              << "-----------------" << std::endl;
    if (!flags.incl_variants) {
      std::cout << "- Number of requested variants     : " << variant_headers.size() << "/" << bin_n_variants
                << std::endl;
    }
  }
}
