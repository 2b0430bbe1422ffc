#include "fatal.hpp"

#include <omp.h>

#include <cstdlib>
#include <iostream>

namespace corvane {

namespace {
[[noreturn]] void terminate() {
  std::cout.flush();
  // _Exit: other threads may still hold streams or sit at a barrier; no destructors must run.
  std::_Exit(1);
}
} // namespace

void printLocked(const std::string& text) {
#pragma omp critical(corvane_stdout)
  {
    std::cout << text;
    std::cout.flush();
  }
}

void fatalError(const std::string& message) {
  printLocked(message + "\n\n");
  terminate();
}

void fatalErrorCollective(const std::string& message, bool is_master) {
  if (is_master) printLocked(message + "\n\n");
  if (omp_in_parallel()) {
#pragma omp barrier
  }
  terminate();
}

} // namespace corvane
