#pragma once
// Where a run's output files go, and whether they can be created at all: checked before any work,
// so that a typing error in a path costs a second, not a computation.
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <ios>
#include <mutex>
#include <streambuf>
#include <string>

namespace corvane {

// How an output reaches its path. Decided once, before anything at the path is removed: what the
// path names may change under the run (it removes the earlier output). A BCOR file takes only a
// replaced place: it is sought back into.
struct OutputPlace {
  enum Way {
    standard_output,  // the run's own standard output by any name: written through it, with the messages
    standard_error,   // the same for standard error
    direct,           // a device, FIFO or socket at the end of the links, or a descriptor's link in
                      // /proc (/dev/fd/N) to any file: written as it is
    replaced,         // a regular file or nothing at `target`: written beside it, renamed onto it whole
    unusable          // a directory, links that never end
  };
  Way way = unusable;
  // The file at the end of the path's links (the path itself when it is no link); the links stay.
  std::string target;
};

OutputPlace placeOutput(const std::string& path);

// Whether an output can be made at `path` without changing any existing file.
bool textOutputCanBeWritten(const std::string& path);

// Where an output's name leads: the file at the end of its links, named by its directory's identity
// and its name there, and the file's identity when it exists. Two outputs of one run that lead to one
// file, there or not, would be written over each other.
struct OutputFile {
  std::string resolved;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
};
OutputFile outputFile(const std::string& path);
// Hard links of one file are one file too.
bool isOneFile(const OutputFile& a, const OutputFile& b);

// Why the file at an output's place cannot be replaced by a new one, before the work: "" when it
// can. A run never writes through the file that stands at a name (other names of that file, hard
// links, keep their content), so the directory must take a new file and let the run replace the old;
// and whether a file stands there or not, it must let the run rename and remove its own files.
std::string whyNotReplaceable(const std::string& target);

// An output's earlier file, which a run removes once it writes (no file at the path then means no
// result), is the file that stood at the output's place before the work: held open from the note on,
// it is known as that file whatever its time stamps (which a copy from another host or a skewed clock
// can put anywhere), links or mode became since. A file that appeared there since (another run's,
// finished while this one ran) stays. Before any note is taken (a test of one step) every regular
// file counts as earlier. The note also holds the output's place as it was then, and the directory
// of its file (O_PATH): the run's own files of the output are made, renamed and removed in that
// directory, whatever its path leads to later (a directory link re-pointed while the run works).
// False when the directory or the file cannot be held (no descriptor left).
bool noteEarlierOutput(const std::string& name, const OutputPlace& place);
// The output `name`'s place as noted, or as it is now when it was never noted.
OutputPlace notedPlace(const std::string& name);
// Removes the earlier output of the output `name`, if it is still there; false when it cannot be removed.
bool removeEarlierOutput(const std::string& name);

// "/proc/self/fd/N": opened, the file of descriptor N itself, whatever stands at its name.
std::string descriptorPath(int descriptor);

// The kernel checks an open through /proc/self/fd/N against the file's mode, as any open: a file made
// under a umask that takes its owner's write (0222, 0277) would be opened so by root alone. While it
// stands, the file of `descriptor` has its owner's read and write; then its mode is back, and a stream
// opened meanwhile keeps its access.
class OwnerAccess {
public:
  explicit OwnerAccess(int descriptor);
  OwnerAccess(const OwnerAccess&) = delete;
  OwnerAccess& operator=(const OwnerAccess&) = delete;
  ~OwnerAccess();
private:
  int descriptor_;
  mode_t mode_ = 0;
  bool changed_ = false;
};

// Opens `stream` on the file of `descriptor` through the descriptor, never by a name, then closes the
// descriptor. errno stays that of the open.
template <typename Stream>
bool openThroughDescriptor(int descriptor, Stream& stream, std::ios::openmode mode) {
  int error = 0;
  {
    const OwnerAccess access(descriptor);
    stream.open(descriptorPath(descriptor), mode);
    error = errno;
  }
  ::close(descriptor);
  errno = error;
  return stream.is_open();
}

// One output file written as a new file under a name of the run's own, beside the file at the end of
// its links, and renamed onto that file when the run ends with success: a run stopped part way leaves
// nothing at the path that reads as a result, two runs at one path never meet, and other names of the
// earlier file keep their content. The file is written only through the descriptor that created it:
// whatever comes to its name meanwhile (a link to another file) is never written, nor published.
class NewOutput {
public:
  NewOutput() = default;
  NewOutput(const NewOutput&) = delete;
  NewOutput& operator=(const NewOutput&) = delete;
  // Creates the run's own file beside the file of the output `name`, exclusively, in the directory
  // held since the note, and marked for removal should the run fail; its path is unfinished(). Then
  // opens `stream` on it through the descriptor that made it, never by its name, and lets that
  // descriptor go. One output at a time: threads that open their outputs together hold one descriptor
  // more between them, not one each. False with nothing opened; unfinished() is "" when nothing was
  // created. Removing the earlier output once it is open is the caller's.
  template <typename Stream>
  bool create(const std::string& name, Stream& stream, std::ios::openmode mode) {
    std::lock_guard<std::mutex> lock(openingMutex());
    if (!create(name)) return false;
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return openThroughDescriptor(descriptor, stream, mode);
  }
  // Renames it onto the target when the run ends with success (at once outside a run), while it is
  // still the file at its name.
  bool publish();
  // Forgets it: nothing was created, or it was published.
  void clear();
  const std::string& unfinished() const { return unfinished_; }
  ~NewOutput() { letDescriptorGo(); }

private:
  bool create(const std::string& name);
  void letDescriptorGo();
  static std::mutex& openingMutex();

  int directory_ = -1;
  int descriptor_ = -1;
  std::string name_;    // in directory_
  std::string target_;  // in directory_
  std::string shown_target_;
  std::string unfinished_;
};

// Where files of the run's own are made: a directory held open (O_PATH), the directory's path for
// messages ("" or ending in '/'), and the start of the names. Without a descriptor the directory is
// held when the first file is made there.
struct OwnPlace {
  int directory = -1;
  std::string shown;
  std::string stem;
};
// A descriptor held until the process ends for the directory at `path` ("" is the working directory),
// one per directory however often asked; -1 with errno.
int holdDirectory(const std::string& path);
// Creates a new, empty file in `directory` named `stem` and some random characters, exclusively:
// never through anything that already stands at a name (a link, another run's file, a directory), so
// no other run can have it. Its descriptor (read and write) with its name in `name`; -1 with the last
// name tried there.
int createOwnFile(int directory, const std::string& stem, mode_t mode, std::string& name);

// Whether new files can be created in `directory` ("" is the working directory).
bool directoryTakesNewFiles(const std::string& directory);
// Whether `directory` is append-only or immutable: the run could not remove the files it makes there.
bool directoryKeepsItsFiles(const std::string& directory);

// The path of a name of the run's own beside `target`, but for its random tail: the target's name and
// `tag`, the name's middle cut out where the whole would be longer than the file system takes as a
// name (NAME_MAX) or as a path (PATH_MAX), so that its end (a per-thread file's "_k", the extension)
// stays. "" when not even the tag fits, or the target is no path the kernel takes.
std::string ownNameStem(const std::string& target, const std::string& tag);
// The stem of an output's unfinished file beside `target`; "" when no such name can be made.
std::string unfinishedStem(const std::string& target);

// Where a table run's sort file is created (the path of its names' start): beside the file that a
// replaced output ends at, otherwise in the temporary directory; "" when no name can be made there.
std::string sortFileStem(const std::string& table_path);
// The same place, in the table's directory as noted.
OwnPlace sortFilePlace(const std::string& table_path);
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
