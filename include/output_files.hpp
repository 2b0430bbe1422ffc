#pragma once
// Where a run's output files go, and whether they can be created at all: checked before any work,
// so that a typing error in a path costs a second, not a computation.
#include <string>

namespace corvane {

// The file a text output (meta, matrix, table) is written to until it is complete and renamed into
// place: beside the file the path names, links followed. Empty when the output is written directly:
// an existing output that is not a regular file (/dev/stdout, a FIFO) or a link to nowhere.
std::string unfinishedOutputPath(const std::string& path);

// The file that `path` names once links are followed; `path` itself when it names nothing yet.
std::string outputTarget(const std::string& path);

// Whether `path` can be opened for writing without changing any existing file: not a directory,
// in an existing directory, writable. `in_directory`: a regular file there is written beside its
// target under another name and renamed, so the directory must take new files even when it exists.
bool outputCanBeCreated(const std::string& path, bool in_directory);

} // namespace corvane
