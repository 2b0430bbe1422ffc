// Entry point, the two parallel computation bodies and the mode dispatch.
#include <omp.h>

#include <iostream>

#include "command_line.hpp"
#include "corvane.hpp"
#include "fatal.hpp"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  // ---- welcome, options, help ----
  // ---- computation regions ----
  // ---- serial engine and BCOR modes ----
  return 0;
}
