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
#include <vector>

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

bool regularFileIn(int directory, const std::string& name, struct stat& file) {
  return ::fstatat(directory, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode);
}

std::string nameOf(const std::string& path) { return fs::path(path).filename().string(); }

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

// What each output's note holds: its place then, the directory of its file (-1 where none could be
// held: the checks refuse the output), and its earlier output, held open (O_PATH) from the note to its
// removal: while the run holds it, its inode number cannot be given to another file, so the file at
// the path is the earlier output exactly when it is the held file, whatever its times, links or mode
// became since. -1 where no regular file stood.
struct Note {
  OutputPlace place;
  int directory = -1;
  int earlier = -1;
};
std::mutex notes_mutex;
bool outputs_noted = false;
// Never destroyed: threads open their outputs until the process ends.
std::map<std::string, Note>& notes() {
  static auto* const noted = new std::map<std::string, Note>;
  return *noted;
}

// The output's place and its directory, as noted or, for an output never noted, as they are now.
Note noteOf(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(notes_mutex);
    const auto note = notes().find(name);
    if (note != notes().end()) return note->second;
  }
  Note now;
  now.place = placeOutput(name);
  if (now.place.way == OutputPlace::replaced) now.directory = holdDirectory(directoryOf(now.place.target));
  return now;
}

// Puts a file moved aside back at `target`, unless another file has come there meanwhile: that one
// stands, as a later file does, and the one moved aside goes, as it would have gone under it.
bool putBack(int directory, const std::string& aside, const std::string& target) {
  if (::renameat2(directory, aside.c_str(), directory, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system without that rename: a new link fails just as well on a name that is taken.
    if (::linkat(directory, aside.c_str(), directory, target.c_str(), 0) == 0 || errno == EEXIST) {
      return ::unlinkat(directory, aside.c_str(), 0) == 0;
    }
    if (errno == EPERM || errno == EOPNOTSUPP) {
      return ::renameat(directory, aside.c_str(), directory, target.c_str()) == 0;
    }
    return false;
  }
  return errno == EEXIST && ::unlinkat(directory, aside.c_str(), 0) == 0;
}

// Moves the file `target` in `directory` to a new name of the run's own beside it, `aside`. A rename
// that refuses a taken name needs no descriptor, which a run near its open-file limit may not have; a
// file system without it gets a file of ours made first and renamed over. False with errno.
bool moveAside(int directory, const std::string& stem, const std::string& target, std::string& aside) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    aside = stem + "-" + randomCharacters(8);
    if (::renameat2(directory, target.c_str(), directory, aside.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return false;
    const int made = createOwnFile(directory, stem, 0600, aside);
    if (made < 0) return false;
    ::close(made);
    if (::renameat(directory, target.c_str(), directory, aside.c_str()) == 0) return true;
    const int error = errno;
    ::unlinkat(directory, aside.c_str(), 0);
    errno = error;
    return false;
  }
  errno = EEXIST;
  return false;
}

} // namespace

bool noteEarlierOutput(const std::string& name, const OutputPlace& place) {
  std::lock_guard<std::mutex> lock(notes_mutex);
  outputs_noted = true;
  // The first note stands: what was there before the work.
  if (notes().count(name)) return true;
  Note note;
  note.place = place;
  if (place.way == OutputPlace::replaced) {
    note.directory = holdDirectory(directoryOf(place.target));
    if (note.directory < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) return false;
    note.earlier = note.directory < 0 ? -1 :
        ::openat(note.directory, nameOf(place.target).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (note.earlier < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) return false;
    struct stat file;
    if (note.earlier >= 0 && (::fstat(note.earlier, &file) != 0 || !S_ISREG(file.st_mode))) {
      ::close(note.earlier);
      note.earlier = -1;
    }
  }
  notes().emplace(name, note);
  return true;
}

OutputPlace notedPlace(const std::string& name) { return noteOf(name).place; }

bool removeEarlierOutput(const std::string& name) {
  const Note note = noteOf(name);
  if (note.place.way != OutputPlace::replaced || note.directory < 0) return true;
  const int directory = note.directory;
  const std::string target = nameOf(note.place.target);
  std::lock_guard<std::mutex> lock(notes_mutex);
  struct stat file, earlier;
  if (!regularFileIn(directory, target, file)) return true;
  if (!outputs_noted) return ::unlinkat(directory, target.c_str(), 0) == 0 || errno == ENOENT;
  const auto noted = notes().find(name);
  if (noted == notes().end()) return true;
  int& held = noted->second.earlier;
  if (held < 0 || ::fstat(held, &earlier) != 0 || !sameFile(earlier, file)) return true;
  // The path may take another file between any look at it and a removal by name: the file is moved
  // aside to a name of the run's own, where nothing else comes, and looked at there.
  const std::string stem = nameOf(unfinishedStem(note.place.target));
  if (stem.empty()) return false;
  return changeOutputPath([directory, &target, &stem, &held]() {
    std::string aside;
    if (!moveAside(directory, stem, target, aside)) return errno == ENOENT;
    struct stat moved, earlier;
    if (!regularFileIn(directory, aside, moved) || ::fstat(held, &earlier) != 0) return false;
    if (!sameFile(moved, earlier)) return putBack(directory, aside, target);
    if (::unlinkat(directory, aside.c_str(), 0) != 0) {
      putBack(directory, aside, target);
      return false;
    }
    ::close(held);
    held = -1;
    return true;
  });
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

bool NewOutput::create(const std::string& name) {
  clear();
  const Note note = noteOf(name);
  if (note.place.way != OutputPlace::replaced) return false;
  const std::string stem = unfinishedStem(note.place.target);
  std::string made;
  descriptor_ = createOwnOutput(note.directory, [&note, &stem, &made](std::string& own) {
    const int descriptor = createOwnFile(note.directory, nameOf(stem), 0666, own);
    made = own;
    return descriptor;
  });
  if (descriptor_ < 0) return false;
  directory_ = note.directory;
  name_ = made;
  target_ = nameOf(note.place.target);
  shown_target_ = note.place.target;
  unfinished_ = stem.substr(0, stem.size() - nameOf(stem).size()) + made;
  return true;
}

bool NewOutput::publish() {
  if (name_.empty()) return false;
  const bool published = publishOutput(directory_, name_, target_, shown_target_);
  if (published) clear();
  return published;
}

std::mutex& NewOutput::openingMutex() {
  static std::mutex mutex;
  return mutex;
}

void NewOutput::letDescriptorGo() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

void NewOutput::clear() {
  letDescriptorGo();
  directory_ = -1;
  name_.clear();
  target_.clear();
  shown_target_.clear();
  unfinished_.clear();
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
// What createOwnFile adds to a stem: "-" and eight characters.
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
  const std::size_t kept = std::min({name_size, longest - own, kMaxPath - start - own});
  if (kept == name_size) return target + tag;
  // The middle goes, cut before a character's first byte, not within a UTF-8 sequence: names that
  // differ in their start or their end stay apart.
  const auto within = [&target](std::size_t at) {
    return at < target.size() && (static_cast<unsigned char>(target[at]) & 0xC0) == 0x80;
  };
  std::size_t head = start + (kept + 1) / 2;
  std::size_t tail = target.size() - kept / 2;
  for (int back = 0; back < 3 && within(head); ++back) --head;
  for (int on = 0; on < 3 && within(tail); ++on) ++tail;
  return target.substr(0, head) + target.substr(tail) + tag;
}

std::string unfinishedStem(const std::string& target) { return ownNameStem(target, ".corvane-unfinished"); }

int holdDirectory(const std::string& path) {
  struct Held {
    dev_t device;
    ino_t inode;
    int descriptor;
  };
  static std::mutex mutex;
  // Never destroyed, nor let go: the run's own files are removed through them until the process ends.
  static auto* const held = new std::vector<Held>;
  const int descriptor = ::open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat directory;
  if (descriptor < 0) return -1;
  if (::fstat(descriptor, &directory) != 0) {
    const int error = errno;
    ::close(descriptor);
    errno = error;
    return -1;
  }
  std::lock_guard<std::mutex> lock(mutex);
  for (const Held& h : *held) {
    if (h.device == directory.st_dev && h.inode == directory.st_ino) {
      ::close(descriptor);
      return h.descriptor;
    }
  }
  held->push_back(Held{directory.st_dev, directory.st_ino, descriptor});
  return descriptor;
}

int createOwnFile(int directory, const std::string& stem, mode_t mode, std::string& name) {
  // No name of the run's own fits there: nothing is made in the working directory instead.
  name = stem;
  if (stem.empty()) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = stem + "-" + randomCharacters(8);
    if (directory < 0) return -1;
    const int descriptor =
        ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
  }
  return -1;
}

OwnerAccess::OwnerAccess(int descriptor) : descriptor_(descriptor) {
  struct stat file;
  if (::fstat(descriptor, &file) != 0 || (file.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR)) return;
  mode_ = file.st_mode & 07777;
  changed_ = ::fchmod(descriptor, mode_ | S_IRUSR | S_IWUSR) == 0;
}

OwnerAccess::~OwnerAccess() {
  const int error = errno;
  if (changed_) ::fchmod(descriptor_, mode_);
  errno = error;
}

std::string descriptorPath(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

std::string temporaryDirectory() {
  const char* directory = std::getenv("TMPDIR");
  return directory && *directory ? directory : "/tmp";
}

OwnPlace sortFilePlace(const std::string& table_path) {
  const Note note = noteOf(table_path);
  const bool beside = note.place.way == OutputPlace::replaced;
  std::string stem = beside ? ownNameStem(note.place.target, ".corvane-sort")
                            : (fs::path(temporaryDirectory()) / "corvane-sort").string();
  if (stem.size() + kUniqueTail > kMaxPath) stem.clear();
  OwnPlace place;
  place.directory = beside ? note.directory : -1;
  place.stem = nameOf(stem);
  place.shown = stem.substr(0, stem.size() - place.stem.size());
  return place;
}

std::string sortFileStem(const std::string& table_path) {
  const OwnPlace place = sortFilePlace(table_path);
  return place.stem.empty() ? "" : place.shown + place.stem;
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
