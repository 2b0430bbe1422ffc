#pragma once
// The engine: one object per thread of a computation, one on the main thread for the BCOR modes.
// Declared once here; methods are defined in the source file of the concern they belong to.
#include <Eigen/Dense>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "correlation_kernel.hpp"
#include "corvane_serial_impl.hpp"
#include "data_serial.hpp"
#include "genfile/bgen.hpp"
#include "header_serial.hpp"
#include "io_serial.hpp"
#include "output_files.hpp"
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
  // The samples of the run (file indices, ascending), as thread 0 selects them for the others.
  std::vector<uint32_t> included_samples;

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
  // Ends the run on an error met by every thread alike: master prints, barrier, status 1. While
  // errors_are_local is set (a step that one thread makes for all), the calling thread prints and
  // ends the run at once.
  [[noreturn]] void displayError(const std::string& message);
  bool errors_are_local = false;
  // ==== end status blocks and fatal error ====

  // ==== genotype input: BGEN ====
  // Opens bgen_parser on bgen_file (errors printed by the parser only when print is set) and sets
  // n_samples_in_file, bin_n_samples, n_variants_in_file and bin_n_variants from its header.
  void openBGEN(bool print);
  // --samples: the SNPTEST2 sample file's ID_1 column becomes bgen_parser.sample_ids (data line k
  // names BGEN sample k), replacing identifiers from the BGEN file itself.
  void readSampleFile();
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
  // The samples of a computation, selected once: thread 0, which alone holds the input's sample
  // identifiers, reads the sample file and the sample list (its errors end the run from there) and
  // publishes its included samples; after a barrier of the team every other thread takes them.
  void selectSamples();
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
  // Buffer forms work on [buffer, end) and return the pointer just past what they wrote or read.
  // A buffer writer that would pass end is a sizing fault of its caller; a buffer reader that
  // would pass end means a malformed BCOR file. Stream writers check the stream: a failed write
  // ends the run ("cannot be written!", status 1) and removes a regular output file. Stream
  // readers never return at end of file: a short read is a truncated file (status 1), so
  // callers loop by the counts of the header, never by end of file.
  template <typename IntegerType>
  byte_t* writeLittleEndianInteger(byte_t* buffer, const byte_t* end, IntegerType value);
  template <typename IntegerType>
  void writeLittleEndianInteger(std::ostream& stream, IntegerType value);
  template <typename IntegerType>
  byte_t* readLittleEndianInteger(byte_t* buffer, const byte_t* end, IntegerType* value);
  template <typename IntegerType>
  const byte_t* readLittleEndianInteger(const byte_t* buffer, const byte_t* end,
                                        IntegerType* value);
  template <typename IntegerType>
  void readLittleEndianInteger(std::istream& stream, IntegerType* value);
  template <typename IntegerType>
  byte_t* writeLengthFollowedByString(byte_t* buffer, const byte_t* end, IntegerType length,
                                      const std::string& data_string);
  template <typename IntegerType>
  void writeLengthFollowedByString(std::ostream& stream, IntegerType length,
                                   const std::string& data_string);
  template <typename IntegerType>
  byte_t* readLengthFollowedByString(byte_t* buffer, const byte_t* end, IntegerType* length,
                                     std::string* string_ptr);
  template <typename IntegerType>
  const byte_t* readLengthFollowedByString(const byte_t* buffer, const byte_t* end,
                                           IntegerType* length, std::string* string_ptr);
  template <typename IntegerType>
  void readLengthFollowedByString(std::istream& stream, IntegerType* length,
                                  std::string* string_ptr);
  // One size-prefixed record. A size larger than what is left of the file is refused before
  // anything is allocated; missing bytes are a truncated file.
  std::vector<byte_t> readStreamToBuffer(std::istream& stream);
  // Instances for std::ifstream (read, remembers name and size) and std::ofstream (write,
  // truncates). Requires bcor_state not_open; leaves ready_for_header.
  template <typename aStream>
  void openBCOR(aStream& stream, const std::string& file_name);
  // Checked raw write and seek on a BCOR output stream.
  void writeBCORBytes(std::ostream& stream, const byte_t* data, size_t n_bytes);
  void seekBCOROut(uint64_t position);
  // Marks bcor_out complete: writes header_size at offset 0 (it stays 0 until then, so an
  // interrupted file is refused by every reader), flushes, closes, checks; leaves finished.
  // Per-thread files get it from writeVariantDataNumberOfSamples; the merge calls it after
  // writing its offset tables.
  void finishBCOR();
  [[noreturn]] void failBCORWrite(std::ostream& stream);
  // "Error: File '<file read>' " + problem, status 1.
  [[noreturn]] void failBCORRead(const std::string& problem);
  // A stored pair cannot count more samples than the file holds (bin_n_samples): corrupt.
  void checkPairSamples(uint32_t variant, uint32_t partner, uint32_t count);
  // Variant header records come in strictly increasing index (as every writer puts them): a record
  // whose index is not above its predecessor's, `least_next` - 1, is corrupt. Advances least_next.
  void checkVariantRecordIndex(uint64_t& least_next, uint32_t index);
  void requireBCORState(uint32_t expected, const char* operation);
  uint64_t bytesLeftInStream(std::istream& stream);
  std::string bcor_in_name;   // file open on bcor_in, named in read errors
  std::string bcor_out_name;  // file open on bcor_out, named in write errors
  corvane::NewOutput bcor_out_file;  // what bcor_out writes until it is renamed onto bcor_out_name
  uint64_t bcor_in_size = 0;  // size of that file, for bounding record sizes
  // ==== end BCOR primitives ====

  // ==== BCOR header ====
  // Opens the output (the --bcor name, with "_" + thread number + 1 unless merging) and writes
  // the fixed header and the records of variant_headers; sets header_size, leaves the stream
  // at header_size and ready_for_offsets.
  void writeVariantHeader();
  // Instance for VariantHeader: the record, exactly sized, without its size prefix.
  template <typename HeaderType>
  std::vector<byte_t> writeVariantHeaderToBuffer(const HeaderType& variant_header);
  VariantHeader readVariantHeaderToBuffer(std::vector<byte_t>& buffer);
  // Fields 1 to 15 of the fixed header from bcor_in's current position. Refuses a file whose
  // writing did not finish (field 1 is 0) and a header_size outside the file.
  void readMinimalHeader(uint32_t& file_header_size, uint32_t& file_number_of_samples,
                         uint32_t& file_number_of_variants, uint32_t& file_variants_in_file,
                         uint32_t& file_run_start_position, uint32_t& file_run_end_position,
                         uint32_t& file_first_variant, uint32_t& file_last_variant,
                         uint32_t& file_start_position, uint32_t& file_end_position,
                         uint32_t& file_correlation_records, uint32_t& file_sample_count_records,
                         uint64_t& file_total_correlations, uint64_t& file_correlations_in_file,
                         uint16_t accuracy_length, std::string& file_accuracy);
  // Opens the --bcor file, loads its header and (within --incl-range) its variant records;
  // leaves bcor_in at header_size and ready_for_header.
  void readVariantHeaderFromStream();
  // ==== end BCOR header ====

  // ==== BCOR records ====
  void writeVariantOffset();
  void writeVariantDataCorr();
  void writeVariantDataNumberOfSamples();
  std::vector<byte_t> writeVariantDataToBuffer(uint32_t index,
                                               const CorrelationMap& correlation_map);
  std::vector<byte_t> writeVariantDataToBuffer(uint32_t index,
                                               const SampleCountMap& sample_count_map);
  // Both tables of a merged (or one-thread) file, n - 1 entries each, from header_size.
  // Entries are 0 (no record) or offsets of a record's size prefix within the file.
  void readVariantOffset();
  // Refuses a file on bcor_in whose length is not the end of its last record, as its header and
  // its two tables of `table_entries` entries from `file_header_size` place that record: shorter
  // "is truncated!", longer "is corrupt", status 1. A file without records ends after its tables,
  // or `spare_bytes` zero bytes later. A few reads, not a pass over the records; leaves bcor_in at
  // file_header_size.
  void checkBCORLength(uint32_t file_header_size, uint64_t table_entries, uint32_t correlation_records,
                       uint32_t sample_count_records, uint64_t spare_bytes);
  CorrelationMap readVariantCorrFromBuffer(std::vector<byte_t>&& buffer);
  SampleCountMap readVariantNumberOfSamplesFromBuffer(std::vector<byte_t>&& buffer);
  // Records built behind a 4-byte gap for their size prefix, into a buffer reused across calls.
  void buildCorrelationRecord(uint32_t index, const CorrelationMap& correlation_map,
                              unsigned width, std::vector<byte_t>& prefixed_record);
  void buildSampleCountRecord(uint32_t index, const SampleCountMap& sample_count_map,
                              std::vector<byte_t>& prefixed_record);
  template <typename MapType>
  void writeDataRecords(const std::map<uint32_t, MapType>& records, std::vector<uint64_t>& table,
                        unsigned width);
  // The first n_entries entries of a table (all by default), at bcor_out's position, checked.
  void writeOffsetTable(const std::vector<uint64_t>& table, size_t n_entries = SIZE_MAX);
  // ==== end BCOR records ====

  // ==== merge ====
  // Reads the headers of the per-thread files bcor_file + "_1" .. "_N", checks their common values,
  // collects their variant records and sets the merged file's range and counts.
  void readVariantHeaderFromMaster();
  // The common-value rule for header fields 5, 6, 7, 8, 2, 3, 13 and 15 of one per-thread file.
  void assertCommonValues(uint32_t file_run_start_position, uint32_t file_run_end_position,
                          uint32_t file_first_variant, uint32_t file_last_variant,
                          uint32_t file_number_of_samples, uint32_t file_number_of_variants,
                          uint64_t file_total_number_of_correlations,
                          const std::string& file_accuracy);
  // A member still 0 takes the file's value; a different non-zero value ends the run.
  template <typename IntegerType>
  void doAssertCommonInts(std::string&& name, IntegerType& member, const IntegerType& file_value);
  void doAssertCommonStrings(std::string&& name, std::string& member, const std::string& file_value);
  // Copies the data records of the per-thread files into the merged file and writes its tables.
  void readWriteVariantDataFromMaster();
  // ==== end merge ====

  // ==== extraction ====
  // Writes the meta variant list of variant_headers to meta_file.
  void writeVariantHeaderToStream();
  // Reads incl_variants_file into requested_variants, n_requested_variants and flipped_variants.
  void readVariantsToInclude();
  // Matrix of every variant of variant_headers, rows and columns by place in the set.
  void extractCorrelationsMatrix();
  // Matrix of requested_variants in list order, correlations of allele-swapped variants negated.
  void extractCorrelationsRegionMatrix();
  // Table of the stored pairs of variant_headers passing ld_thold and ld_n_samples_avail_prop.
  void extractCorrelationsTable();
  // Table of the stored pairs of requested_variants, in list order, with the sign rule.
  void extractCorrelationsRegionTable();
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
  // What a meta, matrix or table is written through: text_out's file, or text_standard when the
  // output is the run's own standard output or standard error.
  std::ostream text_stream{nullptr};
  std::unique_ptr<std::streambuf> text_standard;
  corvane::NewOutput text_out_file;  // the file text_out writes until it is renamed into place
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
  // One entry per requested_variants entry: whether that line gives the alleles swapped. A variant
  // listed both ways is swapped in one place only.
  std::vector<bool> flipped_listings;
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
  // Working memory of the products and the pair filter, kept from batch to batch for reuse; the
  // engine's rather than thread-local objects, whose first use may end the process (see
  // correlation::ProductScratch).
  Eigen::MatrixXd product_matrix;
  std::vector<uint32_t> pair_positions;
  std::vector<Eigen::Index> row_limits;
  correlation::ProductScratch product_scratch;
};
