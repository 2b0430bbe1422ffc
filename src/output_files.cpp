#include "output_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <mutex>
#include <random>
#include <system_error>

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

// The name at the end of the path's links, followed one by one, whether anything is there or not;
// false for links that never end.
bool endOfLinks(const std::string& path, fs::path& end) {
  fs::path current = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(current, ec))) {
      end = current;
      return true;
    }
    const fs::path next = fs::read_symlink(current, ec);
    if (ec) return false;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return false;
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
  if (::stat(path.c_str(), &file) == 0) {
    if (isDescriptor(STDOUT_FILENO, file)) {
      place.way = OutputPlace::standard_output;
    } else if (isDescriptor(STDERR_FILENO, file)) {
      place.way = OutputPlace::standard_error;
    } else if (S_ISDIR(file.st_mode)) {
      place.way = OutputPlace::unusable;
    } else if (!S_ISREG(file.st_mode)) {
      place.way = OutputPlace::direct;
    } else {
      // A name that the kernel resolves otherwise than by its links (/dev/fd/N of a deleted file) is
      // written as it is.
      fs::path end;
      struct stat at_end;
      const bool found = endOfLinks(path, end) && ::stat(end.c_str(), &at_end) == 0 && sameFile(at_end, file);
      place.way = found ? OutputPlace::replaced : OutputPlace::direct;
      if (found) place.target = end.string();
    }
    return place;
  }
  // Nothing there, or a link to nowhere: the file at the end of the links is created.
  fs::path end;
  if (errno != ENOENT || !endOfLinks(path, end)) return place;
  place.way = OutputPlace::replaced;
  place.target = end.string();
  return place;
}

namespace {
struct timespec run_start {};
} // namespace

// When the process began, on the wall clock that stamps files: the kernel counts it in clock ticks
// since boot. A tick early, so that a file written after the start never counts as before it.
void noteRunStart() {
  struct timespec now, since_boot;
  ::clock_gettime(CLOCK_REALTIME, &now);
  ::clock_gettime(CLOCK_BOOTTIME, &since_boot);
  run_start = now;
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t name_end = text.rfind(')');
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (name_end == std::string::npos || ticks_per_second <= 0) return;
  std::istringstream fields(text.substr(name_end + 1));
  std::string field;
  // The start time is the 22nd field; the text after the name begins with the 3rd.
  for (int k = 3; k < 22 && fields >> field; ++k) {
  }
  unsigned long long start_ticks = 0;
  if (!(fields >> start_ticks)) return;
  const double age = static_cast<double>(since_boot.tv_sec) + since_boot.tv_nsec * 1e-9 -
                     static_cast<double>(start_ticks + 1) / static_cast<double>(ticks_per_second);
  if (!(age > 0.0)) return;
  const double started = static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9 - age;
  run_start.tv_sec = static_cast<time_t>(started);
  run_start.tv_nsec = static_cast<long>((started - static_cast<double>(run_start.tv_sec)) * 1e9);
}

bool isEarlierOutput(const std::string& target) {
  struct stat file;
  if (::lstat(target.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return false;
  if (run_start.tv_sec == 0) return true;
  const struct timespec& written = file.st_mtim;
  return written.tv_sec < run_start.tv_sec ||
         (written.tv_sec == run_start.tv_sec && written.tv_nsec < run_start.tv_nsec);
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
      // A file that the user made read-only stays, although a rename could replace it.
      std::error_code ec;
      const bool exists = fs::exists(fs::symlink_status(place.target, ec));
      return directoryTakesNewFiles(directoryOf(place.target)) &&
             (!exists || ::access(place.target.c_str(), W_OK) == 0);
    }
    case OutputPlace::unusable:
      break;
  }
  return false;
}

bool outputCanBeCreated(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_directory(status)) return false;
  if (!fs::exists(status)) {
    fs::path end;
    return endOfLinks(path, end) && directoryTakesNewFiles(directoryOf(end.string()));
  }
  return ::access(path.c_str(), W_OK) == 0;
}

bool createUniqueFile(const std::string& stem, mode_t mode, std::string& name) {
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
  if (place.way == OutputPlace::replaced) return place.target + ".corvane-sort";
  return (fs::path(temporaryDirectory()) / "corvane-sort").string();
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
