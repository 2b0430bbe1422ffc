// The fuzzing build's error mechanism: the same entry points as src/fatal.cpp, but a refusal
// throws (and prints nothing), so the harness checks it and goes on with the next input.
#include "fatal.hpp"
#include "fuzz_support.hpp"

#include <filesystem>
#include <system_error>

namespace corvane {

void printLocked(const std::string&) {}

void removeOnError(const std::string&) {}

void keepOnError(const std::string&) {}

std::string createNamedOutput(const std::function<std::string()>& create) { return create(); }

bool changeOutputPath(const std::function<bool()>& change) { return change(); }

bool publishOutput(const std::string& unfinished, const std::string& path) {
  std::error_code ec;
  std::filesystem::rename(unfinished, path, ec);
  return !ec;
}

void fatalError(const std::string& message) { throw fuzzsupport::Refusal{message}; }

void fatalError(const char* message) { throw fuzzsupport::Refusal{message}; }

void fatalErrorCollective(const std::string& message, bool) { throw fuzzsupport::Refusal{message}; }

} // namespace corvane
