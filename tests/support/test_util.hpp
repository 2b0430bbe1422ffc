#pragma once
// Helpers shared by the unit tests: scratch files and running the real binary.
#include <string>

namespace testutil {

// A fresh, empty directory under the build tree for one test.
std::string scratchDir(const std::string& name);

struct RunResult {
  int status = -1;     // exit status, or -1 when the process did not exit normally
  std::string output;  // standard output and standard error, interleaved
};

// Runs the corvane binary with a shell-quoted argument string.
RunResult runCorvane(const std::string& arguments);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// In a death test's child: every write past `bytes` in a file fails, as on a full disk.
void limitFileSize(unsigned long bytes);

} // namespace testutil
