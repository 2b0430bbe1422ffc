#include "fuzz_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>

namespace fuzzsupport {

namespace {

// Progress lines and status blocks are of no use here and slow every input down.
struct Discard : std::streambuf {
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

const bool quiet = [] {
  std::cout.rdbuf(new Discard);  // never destroyed: std::cout is flushed at the very end
  return true;
}();

} // namespace

void fail(const std::string& what) {
  std::fprintf(stderr, "\nFINDING: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void checkRefusal(const Refusal& refusal) {
  const std::string& m = refusal.message;
  const size_t start = m.find_first_not_of('\n');
  if (start == std::string::npos || m.compare(start, 7, "Error: ") != 0 || m.size() < start + 8) {
    fail("refusal without an \"Error: \" message: [" + m + "]");
  }
}

std::string scratchPath(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path dir = base / ("corvane-fuzz-" + std::to_string(::getpid()));
  fs::create_directories(dir, ec);
  static bool registered = false;
  if (!registered) {
    registered = true;
    static std::string to_remove;
    to_remove = dir.string();
    std::atexit([] {
      std::error_code e;
      std::filesystem::remove_all(to_remove, e);
    });
  }
  return (dir / name).string();
}

void writeScratch(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) fail("cannot write the scratch file " + path);
}

void writeScratch(const std::string& path, const std::string& bytes) {
  writeScratch(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

} // namespace fuzzsupport
