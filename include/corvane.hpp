#pragma once
// The engine: one object per thread of a computation, one on the main thread for the BCOR modes.
// Declared once here; methods are defined in the source file of the concern they belong to.
#include <Eigen/Dense>

#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "corvane_serial_impl.hpp"
#include "data_serial.hpp"
#include "genfile/bgen.hpp"
#include "header_serial.hpp"
#include "io_serial.hpp"
#include "plink.hpp"

struct ProcessRange {
  uint32_t n_chunks = 0;
  uint32_t n_variants = 0;
  uint32_t start = 0;
  uint32_t end = 0;
};

// What the threads of one run share.
struct Shared_buffers {
  uint32_t run_start_position = 0;
  uint32_t run_end_position = 0;
  uint32_t run_first_variant = 0;
  uint32_t run_last_variant = 0;
  uint64_t total_number_of_correlations = 0;
  double total_workload = 0.0;
  std::vector<double> workload;
  std::vector<ProcessRange> process_ranges;

  explicit Shared_buffers(unsigned int n);
  ~Shared_buffers();
};

class Corvane {
public:
  Corvane(const Parameters& par, Shared_buffers& shared);
  ~Corvane();
  Corvane(const Corvane&) = delete;
  Corvane& operator=(const Corvane&) = delete;

  // ==== status blocks and fatal error ====
  // Settings (not when merging) and in/output block; a computation ends it with
  // "- Preprocessing ...    " and no line end, which printRestStatus overwrites.
  void printStatus();
  // Summary block: range, counts, and for the BCOR modes totals and sparsity.
  void printRestStatus();
  // Final block of the mode.
  void printFinalize();
  // Ends the run on an error met by every thread alike: master prints, barrier, status 1.
  [[noreturn]] void displayError(const std::string& message);
  // ==== end status blocks and fatal error ====

  // ==== genotype input: BGEN ====
  // ==== end genotype input: BGEN ====

  // ==== genotype input: PLINK ====
  // Opens the .bed/.bim/.fam set through plink_parser (print_errors: this thread prints the
  // set's fatal messages, thread 0 only) and takes its sample and variant counts.
  void openPLINK(bool print_errors);
  // Reads the .bim lines of this engine's share [chunk_start_variant, chunk_end_variant) into
  // variant_headers.
  void readBim();
  // ==== end genotype input: PLINK ====

  // ==== selections, sample file and text lines ====
  // Header of a variant inclusion list: RSID position chromosome A_allele B_allele.
  void readFirstLine(std::istream& stream, const std::string& file_name);
  // Header of a SNPTEST2 sample file (ID_1 ID_2 missing ...), then its line of column types.
  void readTwoLinesSample(std::istream& stream, const std::string& file_name);
  // --incl-samples: replaces the active reader's included samples and sets bin_n_samples.
  void readSamplesToInclude();
  // --incl-range: the run's first and last variant, bin_n_variants; rewinds the reader.
  void findInclude();
  // ==== end selections, sample file and text lines ====

  // ==== work split and chunks ====
  // Stops the run when fewer variants are selected than threads run.
  void checkNumberOfProcessesAndVariants();
  // Sizes the shared workload vector once, for the first thread that arrives.
  void resizeWorkload();
  // Even share, the run's bounds, the position scan and the workloads of the even share.
  void computeBalancedWorkload();
  // Publishes the run's first and last variant from the even shares and adopts them.
  void shareStartEndVariant(unsigned int start_variant, unsigned int end_variant);
  // Writes the workloads of this thread's even share into the shared vector.
  void getWorkloadPerVariant(std::map<unsigned int, unsigned int>& run_positions);
  // The split at equal fractions of the cumulative workload; this thread's share and record.
  void findStartEndBalanced();
  // Cuts the share into chunks of at most n_variants_chunk variants.
  void computeNumberOfChunks();
  // Plans the chunks and finds each chunk's file offset.
  void findChunks();
  // Thread 0: the plan of every thread.
  void printChunks();
  // Reader side of the split: the position of every variant of the run into `positions`;
  // refuses a genotype input that holds fewer variants than it declares.
  void scanPositions();
  // Reader side of the plan: file offset of the variant `start_variant`. `next_variant` is the
  // index of the variant the reader stands at, carried from one chunk to the next.
  uint64_t findChunkOffset(uint32_t start_variant, uint32_t& next_variant);
  // ==== end work split and chunks ====

  // ==== correlations and pair filter ====
  // Per-thread driver: a barrier of the whole team, then every chunk of the share.
  void doChunks();
  // Loads, standardises and correlates the chunk's variants among themselves.
  void doVariantsInChunk(const Chunk& chunk);
  // Correlates the chunk against batches of the following variants until every window closed.
  void doVariantsDownstreamOfChunk(const Chunk& chunk);
  // Fills the NaNs of the first n_columns columns with the column mean; standardises every column.
  void meanImputeAndScaleDosages(Eigen::MatrixXd& X, uint32_t n_columns);
  // counts(c) = number of non-NaN entries of column c.
  void getNumberOfSamplesWithDosages(Eigen::MatrixXd& X, Eigen::VectorXi& counts);
  // Decides one pair (i < j); sets stop when i's window has closed.
  void checkSparseness(double r, uint32_t n_samples_pair, uint32_t variant_i, uint32_t variant_j,
                       uint32_t position_i, uint32_t position_j, bool& stop);
  // All pairs inside the chunk [start, end); R is the chunk's correlation matrix.
  void checkChunk(uint32_t start, uint32_t end, const Eigen::MatrixXd& R);
  // The active chunk variants against the current downstream batch of n_read variants.
  void checkBatch(uint32_t start, uint32_t end, uint32_t n_read, const Eigen::MatrixXd& R);
  // Reader side of the computation: positions the reader at the chunk's first variant.
  void seekToChunk(const Chunk& chunk);
  // Reader side of the computation: dosages of the variant the reader stands at (index `variant`)
  // into column `column` of X; false when the data has no further variant. With `store` the
  // variant's header and allele frequencies are kept.
  bool readDosages(uint32_t variant, bool store, Eigen::MatrixXd& X, Eigen::Index column);
  // ==== end correlations and pair filter ====

  // ==== BCOR primitives ====
  // ==== end BCOR primitives ====

  // ==== BCOR header ====
  // ==== end BCOR header ====

  // ==== BCOR records ====
  // ==== end BCOR records ====

  // ==== merge ====
  // ==== end merge ====

  // ==== extraction ====
  // ==== end extraction ====

  // Members are public: the computation bodies, the entry point and the tests read them directly.

  // -- run identity --
  Shared_buffers& shared_buffers;
  uint32_t process_number = 0;
  uint32_t n_processes = 0;
  bool is_master = false;

  // -- streams --
  std::ofstream bcor_out;
  std::ofstream text_out;
  std::ifstream bcor_in;
  std::ifstream text_in;

  // -- file names --
  std::string bgen_file;
  std::string sample_file;
  std::string bed_file;
  std::string bim_file;
  std::string fam_file;
  std::string bcor_file;
  std::string meta_file;
  std::string table_file;
  std::string matrix_file;
  std::string incl_variants_file;
  std::string incl_samples_file;

  // -- genotype readers --
  BgenParser bgen_parser;
  PlinkParser plink_parser;

  // -- selection, positions and result maps --
  std::vector<uint32_t> incl_range;
  std::map<uint32_t, uint32_t> positions;
  uint32_t n_samples_in_file = 0;
  uint32_t n_variants_in_file = 0;
  std::vector<std::map<uint32_t, VariantHeader>::iterator> requested_variants;
  std::map<uint32_t, CorrelationMap> correlations;
  std::map<uint32_t, SampleCountMap> sample_counts;
  std::map<uint32_t, VariantHeader> variant_headers;
  std::map<uint32_t, uint32_t> flipped_variants;
  std::vector<uint64_t> correlation_offsets;
  std::vector<uint64_t> sample_count_offsets;

  // -- thresholds, counts and BCOR header values --
  bool downstream_done = false;
  double ld_thold = 0.0;
  double ld_n_samples_avail_prop = 0.0;
  uint32_t bin_n_samples = 0;
  uint32_t bin_n_variants = 0;
  uint32_t n_requested_variants = 0;
  uint32_t header_size = 0;
  uint32_t bcor_start_variant = 0;
  uint32_t bcor_end_variant = 0;
  uint32_t bcor_start_position = 0;
  uint32_t bcor_end_position = 0;
  uint32_t number_of_correlation_records = 0;
  uint32_t number_of_sample_count_records = 0;
  uint32_t variant_window_size = 0;
  uint64_t number_of_correlations_in_file = 0;
  std::string accuracy;
  uint32_t bcor_state = not_open;

  // -- chunk planning and work matrices --
  std::vector<uint32_t> batch_sizes;
  std::set<uint32_t> active_variants;
  std::set<uint32_t> finished_variants;
  std::map<uint32_t, Chunk> chunks;
  uint32_t n_variants_chunk = 0;
  uint32_t chunk_n_variants = 0;
  uint32_t n_chunks = 0;
  uint32_t batch_counter = 0;
  uint32_t chunk_start_variant = 0;
  uint32_t chunk_end_variant = 0;
  Eigen::MatrixXd chunk_dosages;
  Eigen::MatrixXd downstream_dosages;
  Eigen::VectorXi chunk_n_nonmissing;
  Eigen::VectorXi downstream_n_nonmissing;
};
