#include "extraction.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <new>
#include <numeric>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "corvane.hpp"
#include "fatal.hpp"
#include "open_failure.hpp"
#include "output_files.hpp"
#include "pair_spool.hpp"
#include "selection.hpp"

namespace {

const char* const kProcessing = "\r- Processing variant               : ";
const char* const kRequested = "\r- Number of requested variants     : ";
const char* const kExtracted = "- Number of extracted correlations : ";
const char* const kWriting = "- Writing matrix                   : ";

typedef std::vector<const VariantHeader*> VariantSet;

// An empty set writes no file: a file left at the output path by an earlier run would be read as this
// run's answer. Only the earlier output is removed (at the end of the path's links, which stay), never
// a device, the run's own standard output or a file that another run at the same path finished since.
void removeEarlierOutput(Corvane& engine, const std::string& name) {
  if (!corvane::removeEarlierOutput(name)) {
    engine.displayError("Error: File '" + corvane::notedPlace(name).target +
                        "' from an earlier run cannot be removed!");
  }
}

// Opens an output text file afresh; the BCOR file being read is never overwritten. A regular file is
// written under a name of this run's own beside the file at the end of the path's links, and renamed
// onto that file when complete: a run that is stopped or killed part way never leaves something there
// that reads as a whole table, and another run writing the same path never meets its files. The run's
// own standard output (or error) is written through the stream the messages take, never reopened:
// reopened, it would be truncated, and messages written after would overwrite the output.
void openTextOutput(Corvane& engine, const std::string& name) {
  std::error_code ec;
  if (!engine.bcor_file.empty() && std::filesystem::equivalent(name, engine.bcor_file, ec)) {
    engine.displayError("Error: File '" + name + "' cannot be written: it is the BCOR file being read!");
  }
  if (engine.text_out.is_open()) engine.text_out.close();
  engine.text_out.clear();
  engine.text_out_file.clear();
  engine.text_standard.reset();

  // As placed when the run began: the earlier output is removed below, and a link to it would then
  // lead nowhere; a directory link in the path may be re-pointed meanwhile.
  const corvane::OutputPlace place = corvane::notedPlace(name);
  switch (place.way) {
    case corvane::OutputPlace::standard_output:
    case corvane::OutputPlace::standard_error: {
      std::ostream& standard = place.way == corvane::OutputPlace::standard_output ? std::cout : std::cerr;
      standard.flush();
      engine.text_standard.reset(new corvane::BlockForwarder(standard.rdbuf()));
      engine.text_stream.rdbuf(engine.text_standard.get());
      break;
    }
    case corvane::OutputPlace::direct:
      // Nothing is created, so nothing is left to remove; and the open, which waits for a FIFO's
      // reader, must not hold the lock that a stop signal's clean-up takes.
      engine.text_out.open(name, std::ios::out | std::ios::trunc);
      if (!engine.text_out.is_open()) engine.displayError(corvane::openFailure(name, "cannot be written!"));
      engine.text_stream.rdbuf(engine.text_out.rdbuf());
      break;
    case corvane::OutputPlace::replaced: {
      // A directory that takes no new file is the output's fault; a file of ours that cannot be
      // opened once created is named itself.
      if (!engine.text_out_file.create(name, engine.text_out, std::ios::in | std::ios::out)) {
        const std::string& unfinished = engine.text_out_file.unfinished();
        engine.displayError(corvane::openFailure(unfinished.empty() ? name : unfinished, "cannot be written!"));
      }
      engine.text_stream.rdbuf(engine.text_out.rdbuf());
      // An earlier run's output goes now, as it went when outputs were written in place: a run that
      // fails must not leave it behind to be read as its own answer.
      removeEarlierOutput(engine, name);
      break;
    }
    case corvane::OutputPlace::unusable:
      engine.displayError("Error: File '" + name + "' cannot be written!");
  }
  engine.text_stream.clear();
  engine.text_stream.flags(std::ios::dec | std::ios::skipws);
  engine.text_stream.precision(6);
}

// Through standard output the in-place progress counters would fall between the output's lines:
// they wait until it is written.
bool countsInPlace(const Corvane& engine) { return !engine.text_standard; }

// The counter's last line: in place, or on a line of its own after an output that the counter waited for.
const char* processingLine(const Corvane& engine) {
  return countsInPlace(engine) ? kProcessing : kProcessing + 1;  // without its "\r"
}

// "- Writing matrix : " waits on its line for "done!", unless the matrix comes between them.
// Returns whether it waits.
bool beginWritingMatrix(const Corvane& engine) {
  const bool in_place = countsInPlace(engine);
  std::cout << kWriting << (in_place ? "" : "\n") << std::flush;
  return in_place;
}

void endWritingMatrix(bool in_place) {
  std::cout << (in_place ? "\r" : "") << kWriting << "done!" << std::flush << std::endl;
}

void checkTextOutput(Corvane& engine, const std::string& name) {
  if (!engine.text_stream) engine.displayError("Error: File '" + name + "' cannot be written!");
}

// Every line out, before the messages that follow it.
void flushTextOutput(Corvane& engine, const std::string& name) {
  engine.text_stream.flush();
  checkTextOutput(engine, name);
}

void closeTextOutput(Corvane& engine, const std::string& name) {
  flushTextOutput(engine, name);
  engine.text_stream.rdbuf(nullptr);
  if (engine.text_standard) {
    engine.text_standard.reset();
    return;
  }
  engine.text_out.close();
  if (!engine.text_out) engine.displayError("Error: File '" + name + "' cannot be written!");
  // Kept, or renamed into place, when the run ends with success.
  if (!engine.text_out_file.unfinished().empty() && !engine.text_out_file.publish()) {
    engine.displayError("Error: File '" + name + "' cannot be written!");
  }
  engine.text_out_file.clear();
}

// Every extraction reads its records through the offset tables.
void requireOffsetTables(const Corvane& engine) {
  CORVANE_CHECK(engine.bcor_state == ready_for_correlations,
                "Error: The offset tables of file '" + engine.bcor_file + "' were not read!");
}

VariantSet wholeFileSet(const Corvane& engine) {
  VariantSet set;
  set.reserve(engine.variant_headers.size());
  for (const auto& entry : engine.variant_headers) set.push_back(&entry.second);
  return set;
}

VariantSet requestedSet(const Corvane& engine) {
  CORVANE_CHECK(engine.requested_variants.size() == engine.n_requested_variants,
                "Error: The list of requested variants is inconsistent!");
  VariantSet set;
  set.reserve(engine.requested_variants.size());
  for (const auto& it : engine.requested_variants) set.push_back(&it->second);
  return set;
}

// Reads the size-prefixed record at `offset` and checks that it belongs to `variant`.
std::vector<byte_t> readRecordAt(Corvane& engine, uint64_t offset, uint32_t variant) {
  engine.bcor_in.seekg(static_cast<std::streamoff>(offset));
  if (!engine.bcor_in) engine.failBCORRead("cannot be read!");
  std::vector<byte_t> record = engine.readStreamToBuffer(engine.bcor_in);
  uint32_t owner = 0;
  if (record.size() >= 4) {
    engine.readLittleEndianInteger(record.data(), record.data() + record.size(), &owner);
  }
  if (record.size() < 4 || owner != variant) {
    engine.failBCORRead("is corrupt: the record at offset " + std::to_string(offset) +
                        " does not belong to variant " + std::to_string(variant) + "!");
  }
  return record;
}

// Reads a variant's correlation record and, when asked, its sample-count record. False when the
// variant has no correlation record (the run's last variant has no entry in the tables).
bool readVariantRecords(Corvane& engine, uint32_t variant, bool with_samples, CorrelationMap& correlation,
                        SampleCountMap& samples) {
  const uint64_t entries = engine.correlation_offsets.size();
  const uint64_t k = static_cast<uint64_t>(variant) - engine.bcor_start_variant;
  if (variant < engine.bcor_start_variant || k > entries || engine.sample_count_offsets.size() != entries) {
    engine.failBCORRead("is corrupt: variant " + std::to_string(variant) + " lies outside its offset tables!");
  }
  if (k == entries || engine.correlation_offsets[k] == 0) return false;
  correlation = engine.readVariantCorrFromBuffer(readRecordAt(engine, engine.correlation_offsets[k], variant));
  samples.clear();
  if (with_samples && engine.sample_count_offsets[k] != 0) {
    samples = engine.readVariantNumberOfSamplesFromBuffer(
        readRecordAt(engine, engine.sample_count_offsets[k], variant));
  }
  return true;
}

// Finds the stored pairs among the variants of a set, whatever the set's order. A record holds only
// partners with a higher index, so every pair is read from the record of its variant with the lower
// index: the variants are visited in ascending index, each record read once. For every pair of places
// p < q whose variants have a stored pair, on_pair(p, q, r, n_samples) is called; group_done() follows
// the pairs of each visited variant. progress(i) is called once per place, i counting from 0.
template <typename Progress, typename OnPair, typename GroupDone>
void walkStoredPairs(Corvane& engine, const VariantSet& set, bool with_samples, Progress progress,
                     OnPair on_pair, GroupDone group_done) {
  const uint32_t n = static_cast<uint32_t>(set.size());
  if (n == 0) return;
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&set](uint32_t a, uint32_t b) { return set[a]->index < set[b]->index; });
  // Groups: the places of one variant (a variant may be listed more than once).
  std::vector<uint32_t> group_begin;
  std::vector<uint32_t> group_index;
  for (uint32_t k = 0; k < n; ++k) {
    if (k == 0 || set[order[k]]->index != group_index.back()) {
      group_begin.push_back(k);
      group_index.push_back(set[order[k]]->index);
    }
  }
  const uint32_t n_groups = static_cast<uint32_t>(group_index.size());
  group_begin.push_back(n);

  CorrelationMap correlation;
  SampleCountMap samples;
  uint32_t counter = 0;
  for (uint32_t g = 0; g < n_groups; ++g) {
    for (uint32_t k = group_begin[g]; k < group_begin[g + 1]; ++k) progress(counter++);
    if (g + 1 == n_groups) break;  // no partner with a higher index
    const uint32_t variant = group_index[g];
    if (!readVariantRecords(engine, variant, with_samples, correlation, samples)) {
      group_done();
      continue;
    }
    auto emit = [&](uint32_t h, double r) {
      uint32_t n_samples = engine.bin_n_samples;
      if (with_samples) {
        const auto s = samples.find(group_index[h]);
        if (s != samples.end()) n_samples = s->second;
      }
      for (uint32_t a = group_begin[g]; a < group_begin[g + 1]; ++a) {
        for (uint32_t b = group_begin[h]; b < group_begin[h + 1]; ++b) {
          const uint32_t p = order[a], q = order[b];
          on_pair(std::min(p, q), std::max(p, q), r, n_samples);
        }
      }
    };
    // Look up whichever is smaller: the record's partners in the set, or the set's later variants
    // in the record.
    if (correlation.size() < n_groups - g - 1) {
      const auto later = group_index.begin() + g + 1;
      for (const auto& partner : correlation) {
        const auto found = std::lower_bound(later, group_index.end(), partner.first);
        if (found != group_index.end() && *found == partner.first) {
          emit(static_cast<uint32_t>(found - group_index.begin()), partner.second);
        }
      }
    } else {
      for (uint32_t h = g + 1; h < n_groups; ++h) {
        const auto found = correlation.find(group_index[h]);
        if (found != correlation.end()) emit(h, found->second);
      }
    }
    group_done();
  }
}

Eigen::MatrixXd identityMatrix(size_t n) {
  try {
    return Eigen::MatrixXd::Identity(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
  } catch (const std::bad_alloc&) {
    // One thread, and formatted in place: building a string could fail as the matrix did.
    char message[128];
    std::snprintf(message, sizeof message, "Error: The correlation matrix of %zu variants cannot be allocated!", n);
    corvane::fatalError(message);
  }
}

// Lower triangle to upper triangle.
void mirrorMatrix(Eigen::MatrixXd& matrix) {
  const Eigen::Index n = matrix.rows();
  for (Eigen::Index j = 1; j < n; ++j) {
    for (Eigen::Index i = 0; i < j; ++i) matrix(i, j) = matrix(j, i);
  }
}

std::vector<bool> flippedPlaces(const Corvane& engine, const VariantSet& set) {
  // Each listing has the sign of its own line.
  if (engine.flipped_listings.size() == set.size()) return engine.flipped_listings;
  std::vector<bool> flipped(set.size(), false);
  if (engine.flipped_variants.empty()) return flipped;
  for (size_t p = 0; p < set.size(); ++p) flipped[p] = engine.flipped_variants.count(set[p]->index) > 0;
  return flipped;
}

bool isNonDecreasing(const VariantSet& set) {
  for (size_t p = 1; p < set.size(); ++p) {
    if (set[p]->index < set[p - 1]->index) return false;
  }
  return true;
}

// The table's thresholds: a pair computed on enough of the samples and with a large enough |r|
// goes to `keep` for its line. |r| is held to the threshold as the file stores it, as the
// computation held it: a table at the computation's threshold lists every stored pair.
template <typename Keep>
auto passingPairs(const Corvane& engine, Keep keep) {
  const double n_samples_used = engine.bin_n_samples;
  const double least = bcor::thresholdAsStored(engine.ld_thold, bcor::magnitudeWidth(engine.accuracy));
  return [&engine, keep, n_samples_used, least](uint32_t p, uint32_t q, double r, uint32_t s) {
    if (s / n_samples_used >= engine.ld_n_samples_avail_prop && std::fabs(r) >= least) {
      keep(ExtractedPair{p, q, r, s});
    }
  };
}

// A zero prints as 0: a stored magnitude 0 can carry either sign, and an allele swap negates it.
double unsignedZero(double r) { return r == 0.0 ? 0.0 : r; }

void unsignedZeros(Eigen::MatrixXd& matrix) {
  for (Eigen::Index k = 0; k < matrix.size(); ++k) matrix.data()[k] = unsignedZero(matrix.data()[k]);
}

void writeTableLine(Corvane& engine, const VariantSet& set, const std::vector<bool>& flipped,
                    const ExtractedPair& pair) {
  const VariantHeader& a = *set[pair.first];
  const VariantHeader& b = *set[pair.second];
  const double r =
      unsignedZero(flipped[pair.first] != flipped[pair.second] ? -pair.correlation : pair.correlation);
  engine.text_stream << a.chromosome << ' ' << pair.first + 1 << ' ' << a.RSID << ' ' << a.position << ' '
                  << pair.second + 1 << ' ' << b.RSID << ' ' << b.position << ' ' << r << ' '
                  << pair.n_samples << '\n';
  ++engine.shared_buffers.total_number_of_correlations;
}

// Writes the pending table lines in the order of the walk (first place, then second place).
void writeTableLines(Corvane& engine, const VariantSet& set, const std::vector<bool>& flipped,
                     std::vector<ExtractedPair>& pending) {
  std::sort(pending.begin(), pending.end(), [](const ExtractedPair& x, const ExtractedPair& y) {
    return x.first != y.first ? x.first < y.first : x.second < y.second;
  });
  for (const ExtractedPair& pair : pending) writeTableLine(engine, set, flipped, pair);
  pending.clear();
  checkTextOutput(engine, engine.table_file);
}

const Eigen::IOFormat& spaceFormat() {
  static const Eigen::IOFormat SpaceFormat(Eigen::StreamPrecision, Eigen::DontAlignCols, " ", "\n", "", "",
                                           "", "");
  return SpaceFormat;
}

} // namespace

void Corvane::writeVariantHeaderToStream() {
  openTextOutput(*this, meta_file);
  text_stream << "index RSID position chromosome A_allele B_allele A_allele_freq B_allele_freq\n";
  text_stream << std::fixed << std::setprecision(10);
  for (const auto& entry : variant_headers) {
    const VariantHeader& v = entry.second;
    text_stream << static_cast<uint32_t>(v.index + 1u) << ' ' << v.RSID << ' ' << v.position << ' '
             << v.chromosome << ' ' << v.A_allele << ' ' << v.B_allele << ' ' << v.A_allele_freq << ' '
             << v.B_allele_freq << '\n';
  }
  bcor_state = finished;
  if (bcor_out.is_open()) bcor_out.close();
  closeTextOutput(*this, meta_file);
}

void Corvane::readVariantsToInclude() {
  if (text_in.is_open()) text_in.close();
  text_in.clear();
  text_in.open(incl_variants_file);
  if (!text_in.is_open()) displayError("\n\n" + corvane::openFailure(incl_variants_file));
  checkLine(text_in, incl_variants_file, 0, 5);
  readFirstLine(text_in, incl_variants_file);
  std::cout << kRequested << 0 << "/" << bin_n_variants << std::flush;

  // Candidates by position, in ascending index within a position: the first that matches is the
  // one a scan of variant_headers in index order would find.
  typedef std::map<uint32_t, VariantHeader>::iterator Entry;
  std::vector<std::pair<uint32_t, Entry>> by_position;
  bool indexed = false;

  std::string line;
  int32_t line_number = 0;
  while (readTextLine(text_in, line)) {
    ++line_number;
    std::istringstream fields(line);
    std::string rsid = readString(fields, incl_variants_file, line_number);
    const std::string position_field = readString(fields, incl_variants_file, line_number);
    const uint32_t position = convertInteger(position_field, incl_variants_file, line_number);
    std::string chromosome = readString(fields, incl_variants_file, line_number);
    std::string a_allele = readString(fields, incl_variants_file, line_number);
    std::string b_allele = readString(fields, incl_variants_file, line_number);
    const find_by_meta match(std::move(rsid), position, std::move(chromosome),
                             std::move(a_allele), std::move(b_allele));

    if (!indexed) {
      by_position.reserve(variant_headers.size());
      for (Entry it = variant_headers.begin(); it != variant_headers.end(); ++it) {
        by_position.emplace_back(it->second.position, it);
      }
      std::stable_sort(by_position.begin(), by_position.end(),
                       [](const auto& x, const auto& y) { return x.first < y.first; });
      indexed = true;
    }
    auto candidate = std::lower_bound(by_position.begin(), by_position.end(), match.position,
                                      [](const auto& x, uint32_t pos) { return x.first < pos; });
    Entry found = variant_headers.end();
    for (; candidate != by_position.end() && candidate->first == match.position; ++candidate) {
      if (match(*candidate->second)) {
        found = candidate->second;
        break;
      }
    }
    if (found == variant_headers.end()) continue;

    ++n_requested_variants;
    if (n_requested_variants % 50 == 0) {
      std::cout << kRequested << n_requested_variants << "/" << bin_n_variants << std::flush;
    }
    const bool swapped =
        found->second.A_allele != match.A_allele && found->second.B_allele != match.B_allele;
    if (swapped) flipped_variants.emplace(found->first, 0);
    flipped_listings.push_back(swapped);
    requested_variants.push_back(found);
  }
  std::cout << kRequested << n_requested_variants << "/" << bin_n_variants << std::flush << std::endl;
}

void Corvane::extractCorrelationsMatrix() {
  requireOffsetTables(*this);
  const size_t n = variant_headers.size();
  if (n == 0) {
    removeEarlierOutput(*this, matrix_file);
    return;
  }
  const VariantSet set = wholeFileSet(*this);
  // Allocated before the output is opened: a matrix too large for memory leaves no empty file.
  Eigen::MatrixXd matrix = identityMatrix(n);
  openTextOutput(*this, matrix_file);
  uint64_t& count = shared_buffers.total_number_of_correlations;

  walkStoredPairs(
      *this, set, false,
      [n](uint32_t i) {
        if (i + 1 < n && i % 100 != 0) std::cout << kProcessing << i + 1 << "/" << n << std::flush;
      },
      [&](uint32_t p, uint32_t q, double r, uint32_t) {
        matrix(q, p) = r;
        ++count;
      },
      [] {});
  std::cout << kProcessing << n << "/" << n << std::flush << std::endl;
  std::cout << kExtracted << count << std::endl;
  const bool in_place = beginWritingMatrix(*this);
  mirrorMatrix(matrix);
  unsignedZeros(matrix);
  text_stream << matrix.format(spaceFormat()) << '\n';
  closeTextOutput(*this, matrix_file);
  endWritingMatrix(in_place);
}

void Corvane::extractCorrelationsRegionMatrix() {
  requireOffsetTables(*this);
  const uint32_t n = n_requested_variants;
  if (n == 0) {
    removeEarlierOutput(*this, matrix_file);
    return;
  }
  const VariantSet set = requestedSet(*this);
  Eigen::MatrixXd matrix = identityMatrix(n);
  openTextOutput(*this, matrix_file);
  uint64_t& count = shared_buffers.total_number_of_correlations;

  walkStoredPairs(
      *this, set, false,
      [n](uint32_t i) {
        if (i + 1 < n && i % 100 == 0) std::cout << kProcessing << i + 1 << "/" << n << std::flush;
      },
      [&](uint32_t p, uint32_t q, double r, uint32_t) {
        matrix(q, p) = r;
        ++count;
      },
      [] {});
  std::cout << kProcessing << n - 1 << "/" << n - 1 << std::flush << std::endl;
  std::cout << kExtracted << count << std::endl;

  // Negating the row and the column of every place of an allele-swapped variant negates exactly the
  // pairs with one swapped variant.
  const std::vector<bool> flipped = flippedPlaces(*this, set);
  for (uint32_t p = 0; p < n; ++p) {
    if (!flipped[p]) continue;
    matrix.row(p) *= -1.0;
    matrix.col(p) *= -1.0;
  }
  // Two places of one variant have no stored pair: their element is 0, whatever the signs.
  std::vector<std::pair<uint32_t, uint32_t>> by_index(n);
  for (uint32_t p = 0; p < n; ++p) by_index[p] = {set[p]->index, p};
  std::sort(by_index.begin(), by_index.end());
  for (uint32_t a = 0; a + 1 < n; ++a) {
    for (uint32_t b = a + 1; b < n && by_index[b].first == by_index[a].first; ++b) {
      const uint32_t p = std::max(by_index[a].second, by_index[b].second);
      const uint32_t q = std::min(by_index[a].second, by_index[b].second);
      matrix(p, q) = 0.0;
    }
  }
  mirrorMatrix(matrix);
  unsignedZeros(matrix);
  const bool in_place = beginWritingMatrix(*this);
  for (uint32_t row = 0; row < n; ++row) text_stream << matrix.row(row).format(spaceFormat()) << '\n';
  closeTextOutput(*this, matrix_file);
  endWritingMatrix(in_place);
}

void Corvane::extractCorrelationsTable() {
  requireOffsetTables(*this);
  const size_t n = variant_headers.size();
  if (n == 0) {
    removeEarlierOutput(*this, table_file);
    return;
  }
  const VariantSet set = wholeFileSet(*this);
  const std::vector<bool> flipped(n, false);
  openTextOutput(*this, table_file);
  text_stream << "chromosome index1 RSID1 position1 index2 RSID2 position2 correlation n_samples\n";

  std::vector<ExtractedPair> pending;
  walkStoredPairs(
      *this, set, true,
      [n, in_place = countsInPlace(*this)](uint32_t i) {
        if (in_place && i + 1 < n && i % 100 != 0) std::cout << kProcessing << i + 1 << "/" << n << std::flush;
      },
      passingPairs(*this, [&pending](const ExtractedPair& pair) { pending.push_back(pair); }),
      [&] { writeTableLines(*this, set, flipped, pending); });
  flushTextOutput(*this, table_file);
  std::cout << processingLine(*this) << n << "/" << n << std::flush << std::endl;
  std::cout << kExtracted << shared_buffers.total_number_of_correlations << std::endl;
  closeTextOutput(*this, table_file);
}

void Corvane::extractCorrelationsRegionTable() {
  requireOffsetTables(*this);
  const uint32_t n = n_requested_variants;
  if (n == 0) {
    removeEarlierOutput(*this, table_file);
    return;
  }
  const VariantSet set = requestedSet(*this);
  const std::vector<bool> flipped = flippedPlaces(*this, set);
  openTextOutput(*this, table_file);
  text_stream << "chromosome index1 RSID1 position1 index2 RSID2 position2 correlation n_samples\n";

  // In a list in index order the pairs of each visited variant come next in the table; otherwise
  // the pairs found wait in the spool, which holds them on disk beyond its memory, until the walk
  // has found them all.
  const bool in_index_order = isNonDecreasing(set);
  std::vector<ExtractedPair> pending;
  PairSpool spool(corvane::sortFilePlace(table_file));
  const auto keep = [&](const ExtractedPair& pair) {
    if (in_index_order) {
      pending.push_back(pair);
    } else {
      spool.add(pair);
    }
  };
  // Unlike the requested matrix, the requested table shows its progress against n - 1.
  walkStoredPairs(
      *this, set, true,
      [n, in_place = countsInPlace(*this)](uint32_t i) {
        if (in_place && i + 1 < n && i % 100 == 0) std::cout << kProcessing << i + 1 << "/" << n - 1 << std::flush;
      },
      passingPairs(*this, keep), [&] { writeTableLines(*this, set, flipped, pending); });
  spool.drain([&](const ExtractedPair& pair) { writeTableLine(*this, set, flipped, pair); });
  flushTextOutput(*this, table_file);
  std::cout << processingLine(*this) << n - 1 << "/" << n - 1 << std::flush << std::endl;
  std::cout << kExtracted << shared_buffers.total_number_of_correlations << std::endl;
  closeTextOutput(*this, table_file);
}
