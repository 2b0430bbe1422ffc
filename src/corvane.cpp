#include "corvane.hpp"

#include <omp.h>

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
  corvane::fatalErrorCollective(message, is_master);
}
