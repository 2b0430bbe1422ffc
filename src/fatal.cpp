#include "fatal.hpp"

#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <iostream>

namespace corvane {

namespace {
// Set once a collective stop has been printed.
std::atomic<bool> collective_printed{false};

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
  if (is_master) {
    printLocked(message + "\n\n");
    collective_printed = true;
  }
  if (omp_in_parallel()) {
#pragma omp barrier
  }
  // A fault that the master did not meet (a file that only some threads could open, with the
  // descriptors running out) is printed by the first thread through here; the lock keeps every
  // other thread from ending the process before it is out.
#pragma omp critical(corvane_stdout)
  {
    if (!collective_printed) std::cout << message << "\n\n";
    terminate();
  }
}

} // namespace corvane
