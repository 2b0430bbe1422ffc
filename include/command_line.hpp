#pragma once
// Process-wide settings, option parsing and checking, welcome box and help text.
#include <cstdint>
#include <string>
#include <vector>

struct Flags {
  bool bgen = false;
  bool samples = false;
  bool bplink = false;
  bool bcor = false;
  bool merge = false;
  bool meta = false;
  bool matrix = false;
  bool table = false;
  bool help = false;
  bool n_threads = false;
  bool incl_range = false;
  bool incl_variants = false;
  bool incl_samples = false;
  bool ld_n_samples_avail_prop = false;
  bool ld_thold = false;
  bool n_variants_chunk = false;
  bool variant_window_size = false;
  bool accuracy = false;
};

struct Parameters {
  int32_t n_threads = 0;
  int32_t n_variants_chunk = 1000;
  int32_t variant_window_size = 5000000;
  double ld_thold = 0.001;
  double ld_n_samples_avail_prop = 0.1;
  std::vector<uint32_t> incl_range;
  std::string bgen;
  std::string samples;
  std::string bplink;
  std::string bcor;
  std::string meta;
  std::string matrix;
  std::string table;
  std::string incl_variants;
  std::string incl_samples;
  std::string accuracy;
};

extern Flags flags;
extern Parameters par;

// ---- option parsing ----
// An option error is thrown as its complete message text (a std::string); the entry point prints it.

// Walks the arguments once; an option is taken only when the options it depends on stood to its
// left. Unrecognised arguments are ignored.
void parseOptions(char** argv, int argc, Flags& flags, Parameters& par);

// Value readers: `index` is the position of the option itself, its value is the next argument.
// `end` only serves as the end position of the number reading (callers pass nullptr).
void checkInteger(char** argv, char* end, int index, int argc, int32_t& value);
void checkThreshold(char** argv, char* end, int index, int argc, double lower, double upper,
                    double& value);
void checkSelect(char** argv, char* end, int index, int argc, std::vector<uint32_t>& range);
// ---- end option parsing ----

// ---- option checking ----
// Throws the message of the first failing test: combination rules, file tests (an input must be a
// regular file), thread count, accuracy word, the open-file limit, then any output of the run that is
// one of its inputs.
void checkOptions(const Flags& flags, const Parameters& par);

// True when the name can be opened for reading as a regular file; throws the message when no
// descriptor is left to open it.
bool checkFileExists(const std::string& name);

// The most descriptors the run opens and holds at once, beside those it was started with (standard
// input, output and error).
uint64_t openFilesNeeded(const Flags& flags, const Parameters& par);
// ---- end option checking ----

// ---- welcome box and help ----
void printWelcome();
void printHelp();
// ---- end welcome box and help ----
