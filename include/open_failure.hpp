#pragma once
// An open that fails for want of a descriptor (the open-file limit, `ulimit -n`, or the system's
// table) is no fault of the file: its message says so rather than blaming the file.
#include <cerrno>
#include <string>

namespace corvane {

// The message of a failed open of `name`: "Error: File '<name>' " and `failure` ("cannot be opened!"),
// or the want of a descriptor. Call it right after the open, before anything else can set errno.
inline std::string openFailure(const std::string& name, const char* failure = "cannot be opened!") {
  const bool no_descriptor = errno == EMFILE || errno == ENFILE;
  return "Error: File '" + name + "' " +
         (no_descriptor ? "cannot be opened: no file descriptor is left (ulimit -n)!" : failure);
}

} // namespace corvane
