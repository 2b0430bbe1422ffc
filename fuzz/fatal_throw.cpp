// The fuzzing build's error mechanism: the same entry points as src/fatal.cpp, but a refusal
// throws (and prints nothing), so the harness checks it and goes on with the next input.
#include "fatal.hpp"
#include "fuzz_support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace corvane {

void printLocked(const std::string&) {}

void removeOnError(const std::string&) {}

void keepOnError(const std::string&) {}

int createOwnOutput(int, const std::function<int(std::string&)>& create) {
  std::string name;
  return create(name);
}

void removeOwnOutput(int directory, const std::string& name) { ::unlinkat(directory, name.c_str(), 0); }

bool changeOutputPath(const std::function<bool()>& change) { return change(); }

bool publishOutput(int directory, const std::string& unfinished, const std::string& target, const std::string&) {
  return ::renameat(directory, unfinished.c_str(), directory, target.c_str()) == 0;
}

void fatalError(const std::string& message) { throw fuzzsupport::Refusal{message}; }

void fatalError(const char* message) { throw fuzzsupport::Refusal{message}; }

void fatalErrorCollective(const std::string& message, bool) { throw fuzzsupport::Refusal{message}; }

} // namespace corvane
