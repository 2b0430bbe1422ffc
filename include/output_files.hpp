#pragma once
// Where a run's output files go, and whether they can be created at all: checked before any work,
// so that a typing error in a path costs a second, not a computation.
#include <sys/types.h>

#include <streambuf>
#include <string>

namespace corvane {

// How a text output (meta, matrix, table) reaches its path. Decided once, before anything at the
// path is removed: what the path names may change under the run (it removes the earlier output).
struct OutputPlace {
  enum Way {
    standard_output,  // the run's own standard output by any name: written through it, with the messages
    standard_error,   // the same for standard error
    direct,           // a device, FIFO or socket at the end of the links: written as it is
    replaced,         // a regular file or nothing at `target`: written beside it, renamed onto it whole
    unusable          // a directory, links that never end
  };
  Way way = unusable;
  // The file at the end of the path's links (the path itself when it is no link); the links stay.
  std::string target;
};

OutputPlace placeOutput(const std::string& path);

// Whether a text output can be written at `path` without changing any existing file.
bool textOutputCanBeWritten(const std::string& path);

// Whether `path` can be opened for writing in place without changing any existing file: not a
// directory, in an existing directory, writable.
bool outputCanBeCreated(const std::string& path);

// An output's earlier file, which a run removes once it writes (no file at the path then means no
// result), is one written before the run began. One written since is another run's at the same path,
// finished while this one ran: it stays. noteRunStart marks the beginning; before it (a test of one
// step) every file counts as earlier.
void noteRunStart();
bool isEarlierOutput(const std::string& target);

// Whether new files can be created in `directory` ("" is the working directory).
bool directoryTakesNewFiles(const std::string& directory);

// Creates a new, empty file named `stem` and some random characters, exclusively: never through
// anything that already stands at a name (a link, another run's file, a directory), so no other run
// can have it. True with its name in `name`; false with the last name tried there.
bool createUniqueFile(const std::string& stem, mode_t mode, std::string& name);

// Where a table run's sort file is created (a stem for createUniqueFile): beside the file that a
// replaced output ends at, otherwise in the temporary directory.
std::string sortFileStem(const std::string& table_path);
// TMPDIR, or /tmp when it is not set.
std::string temporaryDirectory();

// A text output written through the run's standard output or standard error: collected in blocks
// and passed on whole, so that the shared stream takes a few large writes rather than one per field.
class BlockForwarder : public std::streambuf {
public:
  explicit BlockForwarder(std::streambuf* target);

protected:
  int_type overflow(int_type c) override;
  int sync() override;

private:
  bool passOn();

  std::streambuf* target_;
  char block_[1 << 16];
};

} // namespace corvane
