#include "command_line.hpp"

#include <dirent.h>
#include <omp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "header_serial.hpp"
#include "open_failure.hpp"
#include "output_files.hpp"

Flags flags;
Parameters par;

namespace {

constexpr double max_int32 = 2147483647.0;
constexpr uint64_t max_uint32 = 4294967295u;

std::string boundText(double bound) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", bound);
  return text;
}

// The name of the mode option already accepted, or empty.
std::string modeGiven(const Flags& flags) {
  if (flags.merge) return "--merge";
  if (flags.meta) return "--meta";
  if (flags.matrix) return "--matrix";
  if (flags.table) return "--table";
  return "";
}

// A run either computes or works on a BCOR file: a mode option standing before an input option
// would otherwise run both, the mode on whatever the computation left behind.
void refuseInputAfterMode(const Flags& flags, const std::string& option) {
  const std::string mode = modeGiven(flags);
  if (!mode.empty()) {
    throw "Error: Option '" + mode + "' and '" + option + "' cannot be supplied together!";
  }
}

} // namespace

void checkInteger(char** argv, char* end, int index, int argc, int32_t& value) {
  const std::string option = argv[index];
  const std::string message = "Error: A positive integer value must be supplied after '" + option + "'!";
  if (index + 1 >= argc) throw message;
  const char* text = argv[index + 1];
  const double number = std::strtod(text, &end);
  if (*end != '\0') throw message;
  if (!(number > 0.0)) throw message;
  if (number != std::ceil(number)) throw message;
  if (number > max_int32) {
    throw "Error: The value after '" + option + "' must not be greater than 2147483647!";
  }
  value = static_cast<int32_t>(number);
}

void checkThreshold(char** argv, char* end, int index, int argc, double lower, double upper,
                    double& value) {
  const std::string option = argv[index];
  const std::string low = boundText(lower);
  const std::string high = boundText(upper);
  if (index + 1 >= argc) {
    throw "Error: A decimal value between " + low + " and " + high + " must be supplied after '" +
        option + "'!";
  }
  const char* text = argv[index + 1];
  const double number = std::strtod(text, &end);
  if (*end != '\0') {
    throw "Error: A decimal value between " + low + " and " + high + " must be supplied after '" +
        option + "'!";
  }
  // nan compares false with both bounds; it is no threshold either.
  if (std::isnan(number) || number < lower || number > upper) {
    const std::string low_cut = low.substr(0, low.find_last_not_of('0') + 1);
    const std::string high_cut = high.substr(0, high.find_last_not_of('0') + 2);
    throw "Error: '" + option + "' must be a decimal value between " + low_cut + " and " + high_cut +
        "!";
  }
  value = number == 0.0 ? 0.0 : number;  // -0 is 0, also where the settings print it
}

void checkSelect(char** argv, char* /*end*/, int index, int argc, std::vector<uint32_t>& range) {
  const std::string option = argv[index];
  const std::string missing = "Error: Delimiter-separated positive integer values (e.g. ',' or '/') "
                              "must be supplied after '" + option + "'!";
  const std::string not_positive = "Error: '" + option +
                                   "' must be delimiter-separated positive integer values (e.g. ',' or '/')!";
  if (index + 1 >= argc) throw missing;
  std::string value = argv[index + 1];
  if (value.empty()) throw missing;
  for (char& c : value) {
    if (c < '0' || c > '9') c = ' ';
  }
  std::istringstream pieces(value);
  std::string piece;
  while (std::getline(pieces, piece, ' ')) {
    // Two delimiters together, or one in front, leave an empty piece: no coordinate to read.
    if (piece.empty()) throw not_positive;
    uint64_t number = 0;
    bool too_large = false;
    for (char digit : piece) {
      number = number * 10 + static_cast<uint64_t>(digit - '0');
      if (number > max_uint32) {
        too_large = true;
        break;
      }
    }
    if (!too_large && number == 0) throw not_positive;
    if (range.size() >= 2) throw "Error: Encountered more than 2 integer values in '" + option + "'!";
    if (range.size() == 1 && number <= range[0]) {
      throw "Error: End coordinate " + std::to_string(number) + " in '" + option +
          "' is smaller than or equal to start coordinate " + std::to_string(range[0]) + "!";
    }
    // Only a coordinate that would be stored can fail to fit.
    if (too_large) {
      throw "Error: Coordinate " + piece + " in '" + option + "' is greater than 4294967295!";
    }
    range.push_back(static_cast<uint32_t>(number));
  }
  if (range.size() == 1) throw "Error: Encountered only 1 integer value in '" + option + "'!";
}

void parseOptions(char** argv, int argc, Flags& flags, Parameters& par) {
  if (argc < 2) return;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // A string option keeps its earlier value when it stands last.
    auto takeString = [&](bool& flag, std::string& field) {
      flag = true;
      if (i + 1 < argc) field = argv[i + 1];
    };
    const bool input = flags.bgen || flags.bplink;

    if (arg == "-h" || arg == "-help" || arg == "--help") {
      flags.help = true;
    } else if (arg == "--bcor" && !flags.help) {
      takeString(flags.bcor, par.bcor);
    } else if (arg == "--bgen" && !flags.help) {
      refuseInputAfterMode(flags, arg);
      takeString(flags.bgen, par.bgen);
    } else if (arg == "--bplink" && !flags.help) {
      refuseInputAfterMode(flags, arg);
      takeString(flags.bplink, par.bplink);
    } else if (arg == "--samples" && flags.bgen && !flags.bplink && !flags.table && !flags.merge &&
               !flags.meta) {
      takeString(flags.samples, par.samples);
    } else if (arg == "--matrix" && flags.bcor && !input && !flags.table && !flags.merge &&
               !flags.meta) {
      takeString(flags.matrix, par.matrix);
    } else if (arg == "--table" && flags.bcor && !input && !flags.matrix && !flags.merge &&
               !flags.meta) {
      takeString(flags.table, par.table);
    } else if (arg == "--merge" && flags.bcor && !input && !flags.matrix && !flags.table &&
               !flags.meta) {
      flags.merge = true;
      checkInteger(argv, nullptr, i, argc, par.n_threads);
    } else if (arg == "--meta" && flags.bcor && !input && !flags.matrix && !flags.table &&
               !flags.merge) {
      takeString(flags.meta, par.meta);
    } else if (arg == "--n-threads" && input) {
      flags.n_threads = true;
      checkInteger(argv, nullptr, i, argc, par.n_threads);
    } else if (arg == "--incl-range" && !flags.help) {
      flags.incl_range = true;
      checkSelect(argv, nullptr, i, argc, par.incl_range);
    } else if (arg == "--incl-variants" && (flags.matrix || flags.table) && flags.bcor) {
      takeString(flags.incl_variants, par.incl_variants);
    } else if (arg == "--incl-samples" && input) {
      takeString(flags.incl_samples, par.incl_samples);
    } else if (arg == "--ld-n-samples-avail-prop" && flags.bcor) {
      flags.ld_n_samples_avail_prop = true;
      checkThreshold(argv, nullptr, i, argc, 0.0, 1.0, par.ld_n_samples_avail_prop);
    } else if (arg == "--variant-window-size" && input) {
      flags.variant_window_size = true;
      checkInteger(argv, nullptr, i, argc, par.variant_window_size);
    } else if (arg == "--n-variants-chunk" && input) {
      flags.n_variants_chunk = true;
      checkInteger(argv, nullptr, i, argc, par.n_variants_chunk);
    } else if (arg == "--ld-thold" && (input || flags.bcor)) {
      flags.ld_thold = true;
      checkThreshold(argv, nullptr, i, argc, 0.0, 1.0, par.ld_thold);
    } else if (arg == "--accuracy" && input) {
      takeString(flags.accuracy, par.accuracy);
    }
  }
}

bool checkFileExists(const std::string& name) {
  // A directory opens as a stream on Linux but yields no data, and opening a FIFO waits for a
  // writer: only a regular file is tried.
  std::error_code error;
  if (std::filesystem::status(name, error).type() != std::filesystem::file_type::regular) return false;
  std::ifstream file(name);
  // A file that is there but finds no descriptor is no missing file.
  if (!file.is_open() && (errno == EMFILE || errno == ENFILE)) throw corvane::openFailure(name);
  return file.good();
}

namespace {

namespace fs = std::filesystem;

// Something other than a regular file or a directory: a pipe, a FIFO, a device, a socket.
bool isSpecialFile(const std::string& name) {
  std::error_code error;
  const fs::file_type type = fs::status(name, error).type();
  return type != fs::file_type::none && type != fs::file_type::not_found && type != fs::file_type::regular &&
         type != fs::file_type::directory;
}

// Every thread reads the inputs, and some are read twice (header checks rewind them): a pipe would
// be read in pieces or found empty.
void refuseSpecialFile(const std::string& name) {
  if (isSpecialFile(name)) {
    throw "Error: File '" + name +
        "' is not a regular file: inputs are read more than once, so a pipe or device must be written to a "
        "file first!";
  }
}

struct RunInput {
  std::string name;
  bool bcor_being_read;  // the BCOR file of a meta, matrix or table run
};

// The input files named by the options, in the order in which they are tested.
std::vector<RunInput> namedInputs(const Flags& flags, const Parameters& par) {
  std::vector<RunInput> inputs;
  auto add = [&inputs](bool given, const std::string& name) {
    if (given) inputs.push_back({name, false});
  };
  add(flags.bgen, par.bgen);
  add(flags.samples, par.samples);
  add(flags.bplink, par.bplink + ".bed");
  add(flags.bplink, par.bplink + ".bim");
  add(flags.bplink, par.bplink + ".fam");
  add(flags.incl_variants, par.incl_variants);
  add(flags.incl_samples, par.incl_samples);
  if (flags.meta || flags.matrix || flags.table) inputs.push_back({par.bcor, true});
  return inputs;
}

std::vector<RunInput> runInputs(const Flags& flags, const Parameters& par) {
  std::vector<RunInput> inputs = namedInputs(flags, par);
  if (flags.merge) {
    // The merge stops at the first per-thread file missing, with a message of its own.
    for (int32_t i = 1; i <= par.n_threads; ++i) {
      const std::string name = bcor::perThreadName(par.bcor, static_cast<uint64_t>(i));
      std::error_code error;
      if (!fs::exists(name, error)) break;
      refuseSpecialFile(name);
      inputs.push_back({name, false});
    }
  }
  return inputs;
}

// The per-thread BCOR files of a computation: the team is as large as this, one file per thread.
std::vector<std::string> perThreadOutputs(const Flags& flags, const Parameters& par) {
  std::vector<std::string> outputs;
  if (!flags.bgen && !flags.bplink) return outputs;
  const int threads = flags.n_threads ? par.n_threads : omp_get_max_threads();
  for (int i = 1; i <= threads; ++i) outputs.push_back(bcor::perThreadName(par.bcor, static_cast<uint64_t>(i)));
  return outputs;
}

std::vector<std::string> runOutputs(const Flags& flags, const Parameters& par) {
  std::vector<std::string> outputs = perThreadOutputs(flags, par);
  if (flags.merge) outputs.push_back(par.bcor);
  // A text output's unfinished file and the table's sort file need no check: each is created
  // exclusively under a name of its own, so it can never be a file that exists, an input included.
  if (flags.meta) outputs.push_back(par.meta);
  if (flags.matrix) outputs.push_back(par.matrix);
  if (flags.table) outputs.push_back(par.table);
  return outputs;
}

// The descriptors the run was started with that take a number below `limit`, where its own files
// go: standard input, output and error, and any other the caller passed on (a script's `exec 3>log`).
// The standard three where /proc does not tell.
uint64_t descriptorsOpenBelow(uint64_t limit) {
  DIR* directory = ::opendir("/proc/self/fd");
  if (!directory) return 3;
  uint64_t open = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    const unsigned long long descriptor = std::strtoull(entry->d_name, nullptr, 10);
    if (descriptor != static_cast<unsigned long long>(::dirfd(directory)) && descriptor < limit) ++open;
  }
  ::closedir(directory);
  return open;
}

// The soft limit on open files (ulimit -n) must hold what the run opens at once, or it fails part way
// (a computation after its work, naming one of its files).
void refuseOpenFileLimit(const Flags& flags, const Parameters& par) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  const uint64_t needed = descriptorsOpenBelow(limit.rlim_cur) + openFilesNeeded(flags, par);
  if (limit.rlim_cur >= needed) return;
  throw "Error: The open-file limit (ulimit -n) of " + std::to_string(limit.rlim_cur) + " is below the " +
      std::to_string(needed) + " files this run holds at once!";
}

// Before any genotype or record is read: a missing directory, a directory at the path or a path
// without write permission would otherwise show only when the work is done. Nothing is created; what
// stands at each output's place is noted.
void refuseOutputsThatCannotBeCreated(const Flags& flags, const Parameters& par) {
  // Every output is a new file at its name: the file that stands there now is its earlier output,
  // and must be one the run may replace.
  for (const std::string& name : runOutputs(flags, par)) {
    const corvane::OutputPlace place = corvane::placeOutput(name);
    if (!corvane::noteEarlierOutput(name, place)) throw corvane::openFailure(place.target);
    if (place.way != corvane::OutputPlace::replaced) continue;
    const std::string reason = corvane::whyNotReplaceable(place.target);
    if (!reason.empty()) throw "Error: File '" + place.target + "' cannot be replaced: " + reason + "!";
    // The run's own file beside it takes a shortened name where the whole would be too long; only
    // a path that leaves no room for any name stops it.
    if (corvane::unfinishedStem(place.target).empty()) {
      throw "Error: File '" + place.target + "' cannot be written: its path leaves no room for a file of the "
          "run's own beside it!";
    }
  }
  // A BCOR file is sought back into: through the run's own standard output it would be truncated
  // under the messages, and they would fall inside it; a FIFO or device would take the whole file
  // (or hold the run for a reader) before the first seek failed. A regular file behind a descriptor
  // (/dev/fd/N) cannot be replaced whole, as every BCOR output is: refused as any other.
  auto refuseBCOROutput = [](const std::string& name, const char* cannot) {
    const corvane::OutputPlace place = corvane::placeOutput(name);
    if (place.way == corvane::OutputPlace::standard_output || place.way == corvane::OutputPlace::standard_error) {
      throw "Error: File '" + name + "' cannot be written: it is the standard " +
          (place.way == corvane::OutputPlace::standard_output ? "output" : "error") + " of this run!";
    }
    std::error_code error;
    if (place.way == corvane::OutputPlace::direct && !fs::is_regular_file(name, error)) {
      throw "Error: File '" + name + "' cannot be written: a BCOR file must be a regular file, not a FIFO, "
          "device or socket!";
    }
    if (place.way != corvane::OutputPlace::replaced || !corvane::textOutputCanBeWritten(name)) {
      throw "Error: File '" + name + "' " + cannot;
    }
  };
  for (const std::string& name : perThreadOutputs(flags, par)) refuseBCOROutput(name, "cannot be opened!");
  if (flags.merge) refuseBCOROutput(par.bcor, "cannot be written!");
  // Text outputs are written beside the file at the end of their links and renamed onto it.
  auto check = [](bool given, const std::string& name) {
    if (given && !corvane::textOutputCanBeWritten(name)) throw "Error: File '" + name + "' cannot be written!";
  };
  check(flags.meta, par.meta);
  check(flags.matrix, par.matrix);
  check(flags.table, par.table);
  // A table of a list in any order may need a sort file: beside the table, which the check above
  // covers, or in the temporary directory when the table is no regular file.
  if (flags.table && flags.incl_variants && corvane::placeOutput(par.table).way != corvane::OutputPlace::replaced) {
    const std::string directory = corvane::temporaryDirectory();
    if (!corvane::directoryTakesNewFiles(directory) || corvane::sortFileStem(par.table).empty()) {
      throw "Error: Directory '" + directory + "' for the table's sort file cannot be written!";
    }
    // The sort file could not be removed there.
    if (corvane::directoryKeepsItsFiles(directory)) {
      throw "Error: Directory '" + directory + "' for the table's sort file keeps its files!";
    }
  }
}

// By file identity, so that links, hard links and other spellings of one file are caught.
void refuseOutputsOverInputs(const Flags& flags, const Parameters& par) {
  const std::vector<RunInput> inputs = runInputs(flags, par);
  for (const std::string& output : runOutputs(flags, par)) {
    for (const RunInput& input : inputs) {
      std::error_code error;
      if (!fs::equivalent(output, input.name, error)) continue;
      if (input.bcor_being_read) throw "Error: File '" + output + "' cannot be written: it is the BCOR file being read!";
      throw "Error: File '" + output + "' cannot be written: it is the input file '" + input.name + "' of this run!";
    }
  }
}

// Two outputs that lead to one file (a link between per-thread names, a directory by two spellings)
// would be written over each other, and the run end with success and one of them lost.
void refuseOutputsOfOneFile(const Flags& flags, const Parameters& par) {
  const std::vector<std::string> outputs = runOutputs(flags, par);
  std::vector<corvane::OutputFile> files;
  files.reserve(outputs.size());
  for (const std::string& output : outputs) files.push_back(corvane::outputFile(output));
  for (std::size_t i = 1; i < files.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (corvane::isOneFile(files[i], files[j])) {
        throw "Error: File '" + outputs[i] + "' cannot be written: it is the output file '" + outputs[j] +
            "' of this run!";
      }
    }
  }
}

} // namespace

uint64_t openFilesNeeded(const Flags& flags, const Parameters& par) {
  const bool computation = flags.bgen || flags.bplink;
  const std::vector<std::string> outputs = runOutputs(flags, par);
  // A computation's threads each hold their inputs and their BCOR file to the end; other runs are
  // one thread.
  const uint64_t threads = computation ? perThreadOutputs(flags, par).size() : 1;
  // Per thread: the .bed, .bim and .fam files, or the BGEN file; a sample file or list is read by one
  // thread and closed before any output is opened. Otherwise the BCOR file (a merge reads its
  // per-thread files one at a time) and the variant list.
  const bool reads_bcor = flags.merge || flags.meta || flags.matrix || flags.table;
  const uint64_t inputs = computation ? (flags.bplink ? 3 : 1) : (reads_bcor ? 1 : 0) + (flags.incl_variants ? 1 : 0);
  // Each output's stream, and the sort file that a table of a list out of order may need; and for a
  // moment the descriptor that made one of them (outputs are opened one at a time).
  const uint64_t written = outputs.size() + (flags.table && flags.incl_variants ? 1 : 0) + 1;
  // The earlier output at each output's place, held from the check until the run replaces it, and
  // each directory the run's own files are made in, held to the end: the outputs' (one per directory)
  // and the temporary directory for a sort file that cannot go beside its table.
  uint64_t holds = 0;
  std::vector<std::pair<dev_t, ino_t>> directories;
  for (const std::string& name : outputs) {
    const corvane::OutputPlace place = corvane::placeOutput(name);
    if (place.way != corvane::OutputPlace::replaced) continue;
    std::error_code error;
    if (fs::symlink_status(place.target, error).type() == fs::file_type::regular) ++holds;
    const fs::path directory = fs::path(place.target).parent_path();
    struct stat folder;
    if (::stat(directory.empty() ? "." : directory.c_str(), &folder) != 0) continue;
    const std::pair<dev_t, ino_t> id(folder.st_dev, folder.st_ino);
    if (std::find(directories.begin(), directories.end(), id) == directories.end()) directories.push_back(id);
  }
  const bool sort_file_elsewhere = flags.table && flags.incl_variants &&
                                   corvane::placeOutput(par.table).way != corvane::OutputPlace::replaced;
  return threads * inputs + written + holds + directories.size() + (sort_file_elsewhere ? 1 : 0);
}

void checkOptions(const Flags& flags, const Parameters& par) {
  auto fail = [](const std::string& message) { throw message; };
  const bool mode = flags.merge || flags.meta || flags.matrix || flags.table;

  if (!flags.bcor && !flags.bgen && !flags.bplink && !flags.help)
    fail("Error: Option '--bgen', '--bplink' or '--bcor' must be supplied!");
  if (flags.help && flags.bgen) fail("Error: Option '--bgen' and '--help' cannot be supplied together!");
  if (flags.help && flags.bplink) fail("Error: Option '--bplink' and '--help' cannot be supplied together!");
  if (flags.bgen && flags.bplink) fail("Error: Option '--bgen' and '--bplink' cannot be supplied together!");
  if (flags.help && flags.bcor) fail("Error: Option '--bcor' and '--help' cannot be supplied together!");
  if (flags.bgen && !flags.bcor) fail("Error: Option '--bgen' and '--bcor' must be supplied together!");
  if (flags.bplink && !flags.bcor) fail("Error: Option '--bplink' and '--bcor' must be supplied together!");
  if (flags.bgen && flags.samples != flags.incl_samples)
    fail("Error: Option '--samples' and '--incl-samples' must be supplied together!");
  if (flags.bcor && !flags.bgen && !flags.bplink && !mode)
    fail("Error: Option '--bcor' must be supplied with either '--bgen', '--bplink', '--merge', "
         "'--meta', '--matrix' or '--table'!");
  if (flags.bgen && par.bgen.empty()) fail("Error: Name of the BGEN file must be supplied after '--bgen'!");
  if (flags.bplink && par.bplink.empty())
    fail("Error: Basename of the PLINK files must be supplied after '--bplink'!");
  if (!flags.help && par.bcor.empty())
    fail("Error: Basename of the BCOR file(s) must be supplied after '--bcor'!");
  if (flags.bgen && flags.samples && par.samples.empty())
    fail("Error: Name of the SAMPLE file must be supplied after '--sample'!");
  if ((flags.bgen || flags.bplink) && flags.incl_samples && par.incl_samples.empty())
    fail("Error: Name of the SAMPLE incl-file must be supplied after '--incl-samples'!");
  if (flags.bcor && flags.matrix && par.matrix.empty())
    fail("Error: Name of the MATRIX file must be supplied after '--matrix'!");
  if (flags.bcor && flags.table && par.table.empty())
    fail("Error: Name of the TABLE file must be supplied after '--table'!");
  if (flags.bcor && flags.meta && par.meta.empty())
    fail("Error: Name of the META file must be supplied after '--meta'!");
  if (flags.incl_range && flags.incl_variants)
    fail("Error: Option '--incl-range' and '--incl-variants' cannot be supplied together!");

  for (const RunInput& input : namedInputs(flags, par)) {
    refuseSpecialFile(input.name);
    if (!checkFileExists(input.name)) fail("Error: File '" + input.name + "' cannot be found!");
  }

  const int max_threads = omp_get_max_threads();
  if (flags.n_threads && par.n_threads > max_threads) {
    fail("Error: Requested " + std::to_string(par.n_threads) + " parallel threads but only up to " +
         std::to_string(max_threads) + " parallel threads are available!");
  }

  if (flags.accuracy && par.accuracy != "low" && par.accuracy != "medium" && par.accuracy != "high")
    fail("Error: '--accuracy' must be low, medium or high!");

  refuseOpenFileLimit(flags, par);
  refuseOutputsOverInputs(flags, par);
  refuseOutputsThatCannotBeCreated(flags, par);
  refuseOutputsOfOneFile(flags, par);
}

void printWelcome() {
  std::cout << "\n"
               "|---------------------------------|\n"
               "| Welcome to Corvane v1.1         |\n"
               "|                                 |\n"
               "| (C) The Corvane developers      |\n"
               "|                                 |\n"
               "| Help / Documentation:           |\n"
               "| - ./corvane --help              |\n"
               "| - README.md in the source tree  |\n"
               "|                                 |\n"
               "| Contact:                        |\n"
               "| - the Corvane issue tracker     |\n"
               "|---------------------------------|\n"
               "\n";
}

namespace {

void helpLine(const std::string& option, const std::string& description, const std::string& note = "") {
  std::cout << std::left << std::setw(27) << option << std::setw(56) << description;
  if (!note.empty()) std::cout << "  " << note;
  std::cout << std::right << std::endl;
}

} // namespace

void printHelp() {
  std::cout << "-----------------------" << std::endl;
  std::cout << "COMMAND-LINE PARAMETERS" << std::endl;
  std::cout << "-----------------------" << std::endl;
  helpLine("--bcor", "Name of the BCOR input/output file(s)", "Always required");
  helpLine("--bgen", "Name of the BGEN input file", "Requires --bcor");
  helpLine("--bplink", "Basename of the PLINK BED, BIM and FAM input files", "Requires --bcor");
  helpLine("--merge", "Merge xx BCOR files (having file extensions", "Requires --bcor");
  helpLine("", ".bcor_processNumber) into a common BCOR file where xx");
  helpLine("", "is the total number of parallel processes used during");
  helpLine("", "estimation of LD information");
  helpLine("--samples", "Name of the SNPTEST2 sample file when using BGEN input",
           "Requires --bgen and --incl-samples");
  helpLine("--meta", "Extract variant information and store them in the", "Requires --bcor");
  helpLine("", "specified text file");
  helpLine("--matrix", "Extract LD information in matrix format and store them", "Requires --bcor");
  helpLine("", "in the specified text file");
  helpLine("--table", "Extract LD information in table format and store them", "Requires --bcor");
  helpLine("", "in the specified text file");
  helpLine("--incl-range", "Specify a genomic range xx-yy to operate on where xx",
           "Default is genomic range of the");
  helpLine("", "and yy are the start and end coordinate in base pairs", "input file ");
  helpLine("--incl-samples", "Include only samples in the estimation of LD informa-",
           "Requires --samples with BGEN input");
  helpLine("", "tion whose sample ID (ID_1 with BGEN input and IID");
  helpLine("", "with PLINK input) lies in the specified text file");
  helpLine("--incl-variants", "Extract LD information for variants given in the",
           "Requires --matrix or --table");
  helpLine("", "specified text file. The specified file has 5 columns");
  helpLine("", "with a header: RSID, position, chromosome, A_allele");
  helpLine("", "and B_allele");
  helpLine("--ld-thold", "LD information for two variants is only stored or",
           "Requires --bgen, --bplink or --table");
  helpLine("", "extracted if their absolute Pearson correlation is", "Default is 0.001");
  helpLine("", "above this threshold");
  helpLine("--ld-n-samples-avail-prop", "LD information for two variants is only stored or",
           "Requires --bgen, --bplink or --table");
  helpLine("", "extracted if the proportion of all samples with", "Default is 0.1");
  helpLine("", "genotype data for the two variants is above this");
  helpLine("", "threshold");
  helpLine("--n-variants-chunk", "Number of variants processed together", "Requires --bgen or --bplink");
  helpLine("", "", "Default is 1000");
  helpLine("--variant-window-size", "LD information for two variants A and B is computed if",
           "Default is 5 megabase pairs");
  helpLine("", "B is xx base pairs downstream of A");
  helpLine("--accuracy", "LD information is stored using either low, medium or", "Default is medium  ");
  helpLine("", "high accuracy");
  helpLine("--n-threads", "Specify the number of parallel processes during",
           "Default is maximum number of CPU cores");
  helpLine("", "estimation of LD information");
  std::cout << std::endl;
  std::cout << "--------" << std::endl;
  std::cout << "EXAMPLES" << std::endl;
  std::cout << "--------" << std::endl;
  std::cout << "See README.md for an example of every mode" << std::endl;
  std::cout << std::endl;
}
