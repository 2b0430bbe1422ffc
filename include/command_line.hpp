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
// ---- end option parsing ----

// ---- option checking ----
// ---- end option checking ----

// ---- welcome box and help ----
// ---- end welcome box and help ----
