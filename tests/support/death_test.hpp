#pragma once
// Death tests of Corvane's refusals: error messages go to standard output, while a death test
// matches what the dying statement writes to standard error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

// The statement must end the process with status 1 and a message matching `regex`; the child's
// std::cout writes into std::cerr.
#define EXPECT_FATAL(statement, regex)                      \
  do {                                                      \
    ::testing::FLAGS_gtest_death_test_style = "threadsafe"; \
    EXPECT_EXIT(                                            \
        {                                                   \
          std::cout.rdbuf(std::cerr.rdbuf());               \
          statement;                                        \
        },                                                  \
        ::testing::ExitedWithCode(1), regex);               \
  } while (0)

namespace testutil {

// For use inside a death test's statement: standard output itself joins standard error.
inline void stdoutToStderr() {
  std::cout.flush();
  std::fflush(stdout);
  dup2(2, 1);
}

// The whole output of a dying statement must be exactly `text`.
inline std::string exactly(const std::string& text) {
  std::string pattern = "^";
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
    pattern += c;
  }
  return pattern + "$";
}

} // namespace testutil
