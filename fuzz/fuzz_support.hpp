#pragma once
// Shared by the libFuzzer harnesses. In this build corvane::fatalError and its siblings throw a
// Refusal instead of ending the process (fatal_throw.cpp), so one input's refusal ends only that
// input; what must hold of every refusal is checked here, in one place.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

struct Refusal {
  std::string message;
};

// A refusal reads like every other: optional line breaks, then "Error: ", and one line of text
// at least. Anything else is reported as a finding.
void checkRefusal(const Refusal& refusal);

// Reports a finding (a property that does not hold) and aborts, which libFuzzer records as a crash.
[[noreturn]] void fail(const std::string& what);

// A scratch file private to this process (on /dev/shm when it exists), for readers that take a
// file name; created on first use and overwritten by writeScratch.
std::string scratchPath(const std::string& name);
void writeScratch(const std::string& path, const uint8_t* data, size_t size);
void writeScratch(const std::string& path, const std::string& bytes);

} // namespace fuzzsupport
