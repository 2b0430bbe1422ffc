#include "output_files.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <system_error>

#include "fatal.hpp"

namespace corvane {

namespace fs = std::filesystem;

namespace {

// The kernel follows at most 40 links in one path.
constexpr int kMaxLinks = 40;

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool isDescriptor(int descriptor, const struct stat& file) {
  struct stat open_file;
  return ::fstat(descriptor, &open_file) == 0 && sameFile(open_file, file);
}

// Whether the link at `link` lies on procfs, where the kernel resolves a link itself (a descriptor's
// /proc/<pid>/fd/N, /proc/self): its text may name a file removed (" (deleted)"), one mounted over, or
// nothing a path can reach.
bool isKernelLink(const fs::path& link) {
  const fs::path directory = link.parent_path();
  struct statfs system;
  return ::statfs(directory.empty() ? "." : directory.c_str(), &system) == 0 &&
         system.f_type == PROC_SUPER_MAGIC;
}

enum class LinksEnd { name, descriptor, endless };

// Where the path's links end, followed one by one, whether anything is there or not: at a name
// (`end`); at a link the kernel resolves itself, whose text is never taken as a path; or nowhere.
LinksEnd endOfLinks(const std::string& path, fs::path& end) {
  fs::path current = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(current, ec))) {
      end = current;
      return LinksEnd::name;
    }
    if (isKernelLink(current)) return LinksEnd::descriptor;
    const fs::path next = fs::read_symlink(current, ec);
    if (ec) return LinksEnd::endless;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return LinksEnd::endless;
}

std::string directoryOf(const std::string& file) {
  const fs::path directory = fs::path(file).parent_path();
  return directory.empty() ? "." : directory.string();
}

std::string randomCharacters(std::size_t n) {
  static std::mutex mutex;
  static std::mt19937_64 generator = [] {
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<uint64_t>(::getpid()) << 40);
    try {
      std::random_device device;
      seed ^= (static_cast<uint64_t>(device()) << 32) | device();
    } catch (...) {
      // The clock and the process number alone still differ between runs.
    }
    return std::mt19937_64(seed);
  }();
  static const char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::lock_guard<std::mutex> lock(mutex);
  std::string text(n, ' ');
  for (char& c : text) c = kCharacters[generator() % (sizeof(kCharacters) - 1)];
  return text;
}

} // namespace

OutputPlace placeOutput(const std::string& path) {
  OutputPlace place;
  place.target = path;
  struct stat file;
  // Another run at the path may replace its file, or move it aside for a moment, between two looks:
  // only a descriptor's link, or a file without a name left, is taken as resolved otherwise than by
  // its links.
  for (int look = 0; look < 100; ++look) {
    if (::stat(path.c_str(), &file) != 0) {
      if (errno != ENOENT) return place;
      break;
    }
    if (isDescriptor(STDOUT_FILENO, file)) {
      place.way = OutputPlace::standard_output;
    } else if (isDescriptor(STDERR_FILENO, file)) {
      place.way = OutputPlace::standard_error;
    } else if (S_ISDIR(file.st_mode)) {
      place.way = OutputPlace::unusable;
    } else if (!S_ISREG(file.st_mode)) {
      place.way = OutputPlace::direct;
    } else {
      // A descriptor's link in /proc is written through, whatever the file's links and wherever the
      // link's text leads. A file that still has a name and was not at the end of the links has been
      // moved between the looks, perhaps and back: look again.
      fs::path end;
      const LinksEnd ends = endOfLinks(path, end);
      if (ends == LinksEnd::descriptor) {
        place.way = OutputPlace::direct;
        return place;
      }
      struct stat at_end;
      const bool found = ends == LinksEnd::name && ::stat(end.c_str(), &at_end) == 0 && sameFile(at_end, file);
      if (!found && file.st_nlink > 0) continue;
      place.way = found ? OutputPlace::replaced : OutputPlace::direct;
      if (found) place.target = end.string();
    }
    return place;
  }
  // Nothing there, or a link to nowhere: the file at the end of the links is created. A path that
  // kept changing under every look is a regular file's too: written beside, never through.
  fs::path end;
  switch (endOfLinks(path, end)) {
    case LinksEnd::name:
      place.way = OutputPlace::replaced;
      place.target = end.string();
      break;
    case LinksEnd::descriptor:
      place.way = OutputPlace::direct;
      break;
    case LinksEnd::endless:
      break;
  }
  return place;
}

OutputFile outputFile(const std::string& path) {
  const OutputPlace place = placeOutput(path);
  OutputFile file;
  const fs::path target(place.target);
  // The directory by its identity, as the kernel resolves it, never by a link's text: a descriptor's
  // link in /proc may name a directory removed or mounted over.
  struct stat directory;
  if (::stat(directoryOf(place.target).c_str(), &directory) == 0) {
    file.resolved = std::to_string(directory.st_dev) + ":" + std::to_string(directory.st_ino) + "/" +
                    target.filename().string();
  } else {
    // No such directory: the output is refused by the checks of its own.
    std::error_code ec;
    file.resolved = fs::absolute(target, ec).lexically_normal().string();
  }
  struct stat at_end;
  if (::stat(place.target.c_str(), &at_end) == 0) {
    file.exists = true;
    file.device = at_end.st_dev;
    file.inode = at_end.st_ino;
  }
  return file;
}

bool isOneFile(const OutputFile& a, const OutputFile& b) {
  if (a.exists && b.exists && a.device == b.device && a.inode == b.inode) return true;
  return a.resolved == b.resolved;
}

namespace {

bool regularFileAt(const std::string& target, struct stat& file) {
  return ::lstat(target.c_str(), &file) == 0 && S_ISREG(file.st_mode);
}

// A new, empty file of the run's own beside `target`, exclusively: its unfinished output, or the
// name an earlier file is moved aside to.
bool createUnfinishedFile(const std::string& target, mode_t mode, std::string& name) {
  return createUniqueFile(unfinishedStem(target), mode, name);
}

// Whether a file or directory carries one of `flag_mask` (FS_APPEND_FL, FS_IMMUTABLE_FL: chattr +a,
// +i), under which none of its names, or of a directory's entries, can be removed or replaced. False
// when the file system does not tell.
bool isMarked(const std::string& name, bool directory, int flag_mask) {
  struct statx attributes;
  const uint64_t wanted = (flag_mask & FS_APPEND_FL ? STATX_ATTR_APPEND : 0) |
                          (flag_mask & FS_IMMUTABLE_FL ? STATX_ATTR_IMMUTABLE : 0);
  if (::statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW, 0, &attributes) == 0 &&
      (attributes.stx_attributes_mask & wanted) == wanted) {
    return (attributes.stx_attributes & wanted) != 0;
  }
  // File systems that report these flags only to an open file.
  const int descriptor =
      ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
  if (descriptor < 0) return false;
  int flags = 0;
  const bool read = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
  ::close(descriptor);
  return read && (flags & flag_mask) != 0;
}

// The earlier output of each output's place, held open (O_PATH) from its note to its removal: while
// the run holds it, its inode number cannot be given to another file, so the file at the path is the
// earlier output exactly when it is the held file, whatever its times, links or mode became since.
// -1 where no regular file stood.
std::mutex notes_mutex;
bool outputs_noted = false;
// Never destroyed: threads open their outputs until the process ends.
std::map<std::string, int>& earlierOutputs() {
  static auto* const notes = new std::map<std::string, int>;
  return *notes;
}

// Whether `file` is the earlier output noted at `target`; under notes_mutex.
bool isHeld(const std::string& target, const struct stat& file) {
  const auto note = earlierOutputs().find(target);
  struct stat held;
  return note != earlierOutputs().end() && note->second >= 0 && ::fstat(note->second, &held) == 0 &&
         sameFile(held, file);
}

// Puts a file moved aside back at `target`, unless another file has come there meanwhile: that one
// stands, as a later file does, and the one moved aside goes, as it would have gone under it.
bool putBack(const std::string& aside, const std::string& target) {
  if (::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system without that rename: a new link fails just as well on a name that is taken.
    if (::link(aside.c_str(), target.c_str()) == 0 || errno == EEXIST) return ::unlink(aside.c_str()) == 0;
    if (errno == EPERM || errno == EOPNOTSUPP) return ::rename(aside.c_str(), target.c_str()) == 0;
    return false;
  }
  return errno == EEXIST && ::unlink(aside.c_str()) == 0;
}

// Moves the file at `target` to a new name of the run's own beside it, `aside`. A rename that
// refuses a taken name needs no descriptor, which a run near its open-file limit may not have; a
// file system without it gets a file of ours made first and renamed over. False with errno.
bool moveAside(const std::string& target, std::string& aside) {
  const std::string stem = unfinishedStem(target);
  if (stem.empty()) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    aside = stem + "-" + randomCharacters(8);
    if (::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (!createUnfinishedFile(target, 0600, aside)) return false;
    if (::rename(target.c_str(), aside.c_str()) == 0) return true;
    const int error = errno;
    ::unlink(aside.c_str());
    errno = error;
    return false;
  }
  errno = EEXIST;
  return false;
}

} // namespace

bool noteEarlierOutput(const OutputPlace& place) {
  std::lock_guard<std::mutex> lock(notes_mutex);
  outputs_noted = true;
  // The first note stands: what was there before the work.
  if (place.way != OutputPlace::replaced || earlierOutputs().count(place.target)) return true;
  int held = ::open(place.target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (held < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) return false;
  struct stat file;
  if (held >= 0 && (::fstat(held, &file) != 0 || !S_ISREG(file.st_mode))) {
    ::close(held);
    held = -1;
  }
  earlierOutputs().emplace(place.target, held);
  return true;
}

bool removeEarlierOutput(const std::string& target) {
  std::lock_guard<std::mutex> lock(notes_mutex);
  struct stat file;
  if (!regularFileAt(target, file)) return true;
  if (!outputs_noted) return ::unlink(target.c_str()) == 0 || errno == ENOENT;
  if (!isHeld(target, file)) return true;
  // The path may take another file between any look at it and a removal by name: the file is moved
  // aside to a name of the run's own, where nothing else comes, and looked at there.
  int& held = earlierOutputs()[target];
  const bool done = changeOutputPath([&target, &held]() {
    std::string aside;
    if (!moveAside(target, aside)) return errno == ENOENT;
    struct stat moved, earlier;
    if (::lstat(aside.c_str(), &moved) != 0 || ::fstat(held, &earlier) != 0) return false;
    if (!sameFile(moved, earlier)) return putBack(aside, target);
    if (::unlink(aside.c_str()) != 0) {
      putBack(aside, target);
      return false;
    }
    ::close(held);
    held = -1;
    return true;
  });
  return done;
}

std::string whyNotReplaceable(const std::string& target) {
  const std::string directory = directoryOf(target);
  struct stat file, folder;
  if (::stat(directory.c_str(), &folder) != 0) return "";
  const bool present = regularFileAt(target, file);
  const bool takes_new_files = directoryTakesNewFiles(directory);
  if (present && !takes_new_files) return "its directory '" + directory + "' takes no new file";
  // The run could neither rename its own file into place nor remove it after a failure.
  if (takes_new_files && directoryKeepsItsFiles(directory)) {
    return "its directory '" + directory + "' keeps its files";
  }
  if (!present) return "";
  if (isMarked(target, false, FS_APPEND_FL)) return "it is append-only";
  // In a sticky directory (/tmp, a shared scratch) only the file's owner, the directory's or root
  // may remove or replace a file.
  const uid_t user = ::geteuid();
  if ((folder.st_mode & S_ISVTX) && user != 0 && file.st_uid != user && folder.st_uid != user) {
    return "it is another user's file in the sticky directory '" + directory + "'";
  }
  return "";
}

bool directoryKeepsItsFiles(const std::string& directory) {
  return isMarked(directory.empty() ? "." : directory, true, FS_APPEND_FL | FS_IMMUTABLE_FL);
}

bool NewOutput::create(const OutputPlace& place) {
  clear();
  std::string tried;
  unfinished_ = createNamedOutput([&place, &tried]() -> std::string {
    return createUnfinishedFile(place.target, 0666, tried) ? tried : std::string();
  });
  if (unfinished_.empty()) return false;
  target_ = place.target;
  return true;
}

bool NewOutput::publish() {
  if (unfinished_.empty()) return false;
  const bool published = publishOutput(unfinished_, target_);
  if (published) clear();
  return published;
}

void NewOutput::clear() {
  unfinished_.clear();
  target_.clear();
}

bool directoryTakesNewFiles(const std::string& directory) {
  const std::string name = directory.empty() ? "." : directory;
  std::error_code ec;
  return fs::is_directory(name, ec) && ::access(name.c_str(), W_OK | X_OK) == 0;
}

bool textOutputCanBeWritten(const std::string& path) {
  const OutputPlace place = placeOutput(path);
  switch (place.way) {
    case OutputPlace::standard_output:
    case OutputPlace::standard_error:
      return true;
    case OutputPlace::direct:
      return ::access(path.c_str(), W_OK) == 0;
    case OutputPlace::replaced: {
      // A file that the user made read-only stays, although a rename could replace it. One that
      // another run at the path has moved aside for a moment is no file of the user's.
      return directoryTakesNewFiles(directoryOf(place.target)) &&
             (::access(place.target.c_str(), W_OK) == 0 || errno == ENOENT);
    }
    case OutputPlace::unusable:
      break;
  }
  return false;
}

namespace {

// The longest path the kernel takes (PATH_MAX counts the terminating zero).
constexpr std::size_t kMaxPath = PATH_MAX - 1;
// What createUniqueFile adds to a stem: "-" and eight characters.
constexpr std::size_t kUniqueTail = 9;

std::size_t longestName(const std::string& directory) {
  const long longest = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  return longest > 0 ? static_cast<std::size_t>(longest) : NAME_MAX;
}

} // namespace

std::string ownNameStem(const std::string& target, const std::string& tag) {
  const std::size_t slash = target.find_last_of('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t own = tag.size() + kUniqueTail;
  const std::size_t longest = longestName(start == 0 ? "." : target.substr(0, start));
  // The target itself must be named too, to be renamed onto: its links can spell it longer than
  // the name it was given.
  if (own > longest || start + own > kMaxPath || target.size() > kMaxPath) return "";
  const std::size_t name_size = target.size() - start;
  std::size_t kept = std::min({name_size, longest - own, kMaxPath - start - own});
  // Cut before a character's first byte, not within a UTF-8 sequence.
  for (int back = 0; back < 3 && kept > 0 && kept < name_size &&
                     (static_cast<unsigned char>(target[start + kept]) & 0xC0) == 0x80;
       ++back) {
    --kept;
  }
  return target.substr(0, start + kept) + tag;
}

std::string unfinishedStem(const std::string& target) { return ownNameStem(target, ".corvane-unfinished"); }

bool createUniqueFile(const std::string& stem, mode_t mode, std::string& name) {
  // No name of the run's own fits there: nothing is made in the working directory instead.
  name = stem;
  if (stem.empty()) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = stem + "-" + randomCharacters(8);
    const int descriptor = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor >= 0) {
      ::close(descriptor);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

std::string temporaryDirectory() {
  const char* directory = std::getenv("TMPDIR");
  return directory && *directory ? directory : "/tmp";
}

std::string sortFileStem(const std::string& table_path) {
  const OutputPlace place = placeOutput(table_path);
  if (place.way == OutputPlace::replaced) return ownNameStem(place.target, ".corvane-sort");
  const std::string stem = (fs::path(temporaryDirectory()) / "corvane-sort").string();
  return stem.size() + kUniqueTail <= kMaxPath ? stem : "";
}

BlockForwarder::BlockForwarder(std::streambuf* target) : target_(target) {
  setp(block_, block_ + sizeof(block_));
}

bool BlockForwarder::passOn() {
  const std::streamsize n = pptr() - pbase();
  if (n > 0 && target_->sputn(pbase(), n) != n) return false;
  setp(block_, block_ + sizeof(block_));
  return true;
}

BlockForwarder::int_type BlockForwarder::overflow(int_type c) {
  if (!passOn()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int BlockForwarder::sync() { return passOn() && target_->pubsync() == 0 ? 0 : -1; }

} // namespace corvane
