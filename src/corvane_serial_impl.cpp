#include "corvane_serial_impl.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <new>
#include <string>

#include "corvane.hpp"
#include "fatal.hpp"

namespace worksplit {

void evenShare(uint32_t n_variants, uint32_t n_processes, uint32_t process, uint32_t& start,
               uint32_t& end) {
  CORVANE_CHECK(n_processes > 0 && process < n_processes, "Error: Invalid thread number in the work split!");
  const uint32_t q = n_variants / n_processes;
  const uint32_t r = n_variants % n_processes;
  start = process * q + std::min(process, r);
  end = process + 1 == n_processes ? n_variants : (process + 1) * q + std::min(process + 1, r);
}

void workloadOfVariants(const std::vector<uint32_t>& pos, uint32_t window, uint32_t from,
                        uint32_t count, std::vector<double>& workload) {
  const size_t n = pos.size();
  CORVANE_CHECK(size_t(from) + count <= n && workload.size() >= n,
                "Error: Workload slice outside the run!");
  if (count == 0) return;
  // On sorted positions the first variant beyond the window only moves forward, so one sweep does;
  // unsorted input takes the plain search, which stops at the first smaller position.
  bool sorted = true;
  for (size_t k = from + 1; k < n && sorted; ++k) sorted = pos[k] >= pos[k - 1];
  size_t beyond = from;
  for (size_t k = from; k < size_t(from) + count; ++k) {
    if (!sorted) beyond = k;
    if (beyond < k) beyond = k;
    while (beyond < n && static_cast<uint32_t>(pos[beyond] - pos[k]) <= window) ++beyond;
    workload[k] = static_cast<double>(beyond - k - 1);
  }
}

double totalWorkload(const std::vector<double>& workload) {
  double total = 0.0;
  for (double w : workload) total += w;
  return total;
}

void balancedShare(const std::vector<double>& workload, double total, uint32_t n_processes,
                   uint32_t process, uint32_t& start, uint32_t& end) {
  const uint32_t n = static_cast<uint32_t>(workload.size());
  if (!(total > 0.0)) {
    // No variant has a partner: any split is balanced, and the even one covers the run.
    evenShare(n, n_processes, process, start, end);
    return;
  }
  // Split point j is the first offset whose cumulative fraction exceeds j / P; the first share
  // starts at the run's first variant whatever its workload, the last ends at the run's end.
  const uint32_t low = process;
  const uint32_t high = process + 1;
  const double low_fraction = static_cast<double>(low) / static_cast<double>(n_processes);
  const double high_fraction = static_cast<double>(high) / static_cast<double>(n_processes);
  start = low == 0 ? 0 : n;
  end = n;
  bool need_low = low != 0;
  bool need_high = high != n_processes;
  double prefix = 0.0;
  for (uint32_t k = 0; k < n && (need_low || need_high); ++k) {
    prefix += workload[k];
    const double fraction = prefix / total;
    if (need_low && fraction > low_fraction) {
      start = k;
      need_low = false;
    }
    if (need_high && fraction > high_fraction) {
      end = k;
      need_high = false;
    }
  }
}

std::vector<Chunk> planChunks(uint32_t start, uint32_t end, uint32_t chunk_size) {
  CORVANE_CHECK(chunk_size > 0, "Error: The number of variants per chunk must be positive!");
  std::vector<Chunk> plan;
  if (end <= start) return plan;
  const uint64_t n = end - start;
  plan.reserve(static_cast<size_t>((n + chunk_size - 1) / chunk_size));
  for (uint64_t first = start; first < end; first += chunk_size) {
    Chunk c;
    c.start = static_cast<uint32_t>(first);
    c.end = static_cast<uint32_t>(std::min<uint64_t>(first + chunk_size, end));
    c.n_variants = c.end - c.start;
    plan.push_back(c);
  }
  return plan;
}

std::string planLine(uint32_t process, uint32_t n_variants, uint32_t start, uint32_t end) {
  std::string line = "- Process " + std::to_string(process) + " : is handling ";
  if (n_variants == 0) return line + "no variants\n";
  const bool one = n_variants == 1;
  line += one ? "variant " : "variants ";
  line += std::to_string(start + 1) + "-" + std::to_string(end) + " (" + std::to_string(n_variants);
  line += one ? " variant" : " variants";
  return line + ")\n";
}

} // namespace worksplit

namespace {

uint32_t positionOf(const std::map<uint32_t, uint32_t>& positions, uint32_t index) {
  auto it = positions.find(index);
  return it == positions.end() ? 0 : it->second;
}

} // namespace

void Corvane::checkNumberOfProcessesAndVariants() {
  if (bin_n_variants < n_processes) {
    displayError("\n\nError: Requested " + std::to_string(n_processes) + " parallel processes but " +
                 std::to_string(bin_n_variants) + " variants were selected!");
  }
}

void Corvane::resizeWorkload() {
  bool failed = false;
#pragma omp critical
  {
    if (shared_buffers.workload.empty()) {
      try {
        shared_buffers.workload.assign(bin_n_variants, 0.0);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    }
  }
  if (failed) {
    char message[128];
    std::snprintf(message, sizeof message, "Error: Cannot allocate memory for the workload of %u variants!",
                  bin_n_variants);
    corvane::fatalError(message);
  }
}

void Corvane::computeBalancedWorkload() {
  uint32_t start = 0, end = 0;
  worksplit::evenShare(bin_n_variants, n_processes, process_number, start, end);
  const uint32_t base = chunk_start_variant;
  chunk_n_variants = end - start;
  chunk_start_variant = start + base;
  chunk_end_variant = end + base;

  if (!flags.incl_range) shareStartEndVariant(chunk_start_variant, chunk_end_variant);

  scanPositions();
  if (is_master) shared_buffers.run_start_position = positionOf(positions, bcor_start_variant);
  // A range run has it from the range selection's master already; the last thread writing it again
  // here, with no barrier between, would race with that write.
  if (process_number + 1 == n_processes && !flags.incl_range) {
    shared_buffers.run_end_position = positionOf(positions, bcor_end_variant);
  }
  getWorkloadPerVariant(positions);
}

void Corvane::shareStartEndVariant(unsigned int start_variant, unsigned int end_variant) {
  if (is_master) shared_buffers.run_first_variant = start_variant;
  if (process_number + 1 == n_processes) shared_buffers.run_last_variant = end_variant - 1;
#pragma omp barrier
  bcor_start_variant = shared_buffers.run_first_variant;
  bcor_end_variant = shared_buffers.run_last_variant;
}

void Corvane::getWorkloadPerVariant(std::map<unsigned int, unsigned int>& run_positions) {
  if (chunk_n_variants == 0) return;
  const uint32_t n = bin_n_variants;
  CORVANE_CHECK(run_positions.size() == n && shared_buffers.workload.size() == n &&
                    bcor_end_variant + 1 - bcor_start_variant == n,
                "Error: The positions of the selected variants are incomplete!");
  std::vector<uint32_t> pos;
  pos.reserve(n);
  uint32_t expected = bcor_start_variant;
  for (const auto& entry : run_positions) {
    CORVANE_CHECK(entry.first == expected, "Error: The positions of the selected variants are incomplete!");
    pos.push_back(entry.second);
    ++expected;
  }
  worksplit::workloadOfVariants(pos, variant_window_size, chunk_start_variant - bcor_start_variant,
                                chunk_n_variants, shared_buffers.workload);
}

void Corvane::findStartEndBalanced() {
#pragma omp barrier
  if (is_master) shared_buffers.total_workload = worksplit::totalWorkload(shared_buffers.workload);
#pragma omp barrier
  uint32_t start = 0, end = 0;
  worksplit::balancedShare(shared_buffers.workload, shared_buffers.total_workload, n_processes,
                           process_number, start, end);
  chunk_start_variant = start + bcor_start_variant;
  chunk_end_variant =
      process_number + 1 == n_processes ? bcor_end_variant + 1 : end + bcor_start_variant;
  chunk_n_variants = chunk_end_variant - chunk_start_variant;
  if (chunk_n_variants == 0) chunk_start_variant = chunk_end_variant = 0;

  CORVANE_CHECK(process_number < shared_buffers.process_ranges.size(),
                "Error: No share record for thread " + std::to_string(process_number) + "!");
  ProcessRange& record = shared_buffers.process_ranges[process_number];
  record.n_variants = chunk_n_variants;
  record.start = chunk_start_variant;
  record.end = chunk_end_variant;

  bcor_start_position = positionOf(positions, chunk_start_variant);
  bcor_end_position = positionOf(positions, chunk_n_variants == 0 ? chunk_start_variant
                                                                   : chunk_end_variant - 1);
}

void Corvane::computeNumberOfChunks() {
  chunks.clear();
  n_chunks = 0;
  if (chunk_n_variants == 0) return;
  const std::vector<Chunk> plan =
      worksplit::planChunks(chunk_start_variant, chunk_end_variant, n_variants_chunk);
  uint32_t number = 0;
  for (const Chunk& c : plan) chunks.emplace_hint(chunks.end(), ++number, c);
  n_chunks = static_cast<uint32_t>(chunks.size());
  CORVANE_CHECK(process_number < shared_buffers.process_ranges.size(),
                "Error: No share record for thread " + std::to_string(process_number) + "!");
  shared_buffers.process_ranges[process_number].n_chunks = n_chunks;
}

void Corvane::findChunks() {
  computeNumberOfChunks();
  if (flags.bgen && !chunks.empty()) bgen_parser.seek_to_variant(0);
  uint32_t next_variant = 0;
  for (auto& entry : chunks) entry.second.offset = findChunkOffset(entry.second.start, next_variant);
}

void Corvane::printChunks() {
  std::cout << "\n" << std::flush;
  std::cout << "---------\n" << std::flush;
  std::cout << "COMPUTING\n" << std::flush;
  std::cout << "---------\n" << std::flush;
  for (uint32_t q = 1; q <= n_processes && q <= shared_buffers.process_ranges.size(); ++q) {
    const ProcessRange& r = shared_buffers.process_ranges[q - 1];
    const std::string line = worksplit::planLine(q, r.n_variants, r.start, r.end);
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
  }
}

void Corvane::scanPositions() {
  const uint32_t first = bcor_start_variant;
  const uint32_t last = bcor_end_variant;
  std::map<uint32_t, uint32_t> scanned;
  uint32_t position = 0;
  uint64_t n_scanned = 0;
  std::string file_name;
  // Positions must not go down within the run: windows, the work split and the merge all rest on
  // it, and an unsorted set would otherwise give partial LD without a word.
  std::string rsid, previous_rsid;
  uint32_t previous_position = 0;
  auto checkOrder = [&](const std::string& current) {
    if (n_scanned > first && position < previous_position) {
      displayError("Error: File '" + file_name + "' is not sorted by position: variant " +
                   std::to_string(n_scanned + 1) + " (" + current + ") at position " + std::to_string(position) +
                   " follows variant " + std::to_string(n_scanned) + " (" + previous_rsid + ") at position " +
                   std::to_string(previous_position) + "! Sort the set by position first.");
    }
    previous_position = position;
    previous_rsid = current;
  };
  if (flags.bgen) {
    // Variants past the declared count are not part of any run; reading stops there.
    file_name = bgen_file;
    bgen_parser.seek_to_variant(0);
    std::size_t block_offset = 0;
    std::string chromosome, reference;
    while (n_scanned < n_variants_in_file &&
           bgen_parser.read_position(position, block_offset, chromosome)) {
      bgen_parser.skip_probs();
      if (n_scanned >= first && n_scanned <= last) {
        // 01 and 1 name one chromosome; at least one character stays, so 00 reads as 0.
        const size_t zeros = chromosome.find_first_not_of('0');
        if (!chromosome.empty()) {
          chromosome.erase(0, zeros == std::string::npos ? chromosome.size() - 1 : zeros);
        }
        if (reference.empty()) {
          reference = chromosome;
        } else if (chromosome != reference) {
          bgen_parser.display_error("Error: File '" + bgen_file +
                                    "' contains variants on multiple chromosomes!");
        }
        checkOrder(bgen_parser.rsid_);
        scanned.emplace_hint(scanned.end(), static_cast<uint32_t>(n_scanned), position);
      }
      ++n_scanned;
    }
    bgen_parser.seek_to_variant(0);
  } else {
    // Every line is read, so the one-chromosome rule holds over the whole .bim file.
    file_name = bim_file;
    plink_parser.rewind_bim();
    std::string chromosome;
    while (plink_parser.read_position(chromosome, position, &rsid)) {
      if (n_scanned >= first && n_scanned <= last) {
        checkOrder(rsid);
        scanned.emplace_hint(scanned.end(), static_cast<uint32_t>(n_scanned), position);
      }
      ++n_scanned;
    }
  }
  // Every thread scans the same data, so all of them meet this stop together.
  if (n_scanned < n_variants_in_file) {
    displayError("Error: File '" + file_name + "' holds " + std::to_string(n_scanned) +
                 " variants but declares " + std::to_string(n_variants_in_file) + "!");
  }
  if (n_scanned <= last) {
    displayError("Error: File '" + file_name + "' holds " + std::to_string(n_scanned) +
                 " variants but the run ends at variant " + std::to_string(uint64_t(last) + 1) + "!");
  }
  positions.swap(scanned);
}

uint64_t Corvane::findChunkOffset(uint32_t start_variant, uint32_t& next_variant) {
  if (!flags.bgen) return plink_parser.record_offset(start_variant);
  // BGEN has no index: one forward scan per thread, from where the previous chunk's scan ended.
  uint32_t position = 0;
  std::size_t block_offset = 0;
  std::string chromosome;
  while (bgen_parser.read_position(position, block_offset, chromosome)) {
    bgen_parser.skip_probs();
    if (next_variant++ >= start_variant) return block_offset;
  }
  corvane::fatalError("\n\nError: File '" + bgen_file + "' ended before variant " +
                      std::to_string(start_variant + 1) + "!");
}
