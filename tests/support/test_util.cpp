#include "test_util.hpp"

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef CORVANE_BINARY
#define CORVANE_BINARY "corvane"
#endif
#ifndef CORVANE_TEST_TMP
#define CORVANE_TEST_TMP "/tmp/corvane_tests"
#endif

namespace testutil {

std::string scratchDir(const std::string& name) {
  std::filesystem::path dir = std::filesystem::path(CORVANE_TEST_TMP) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

RunResult runCorvane(const std::string& arguments) {
  RunResult result;
  std::string command = std::string("timeout 120 ") + CORVANE_BINARY + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

void limitFileSize(unsigned long bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

} // namespace testutil
