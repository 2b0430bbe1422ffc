#include "fatal.hpp"

#include <omp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <new>
#include <list>
#include <streambuf>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {

namespace {

typedef std::chrono::steady_clock Clock;

// Writes to descriptor 1 and returns 0 or the errno of the failed write (ETIMEDOUT when the
// deadline passed). Without a deadline it blocks as any write does. With one, it waits for room with
// poll() and writes no more than a pipe takes at once, so that a reader that has stopped reading
// cannot hold the run past the deadline; the descriptor's flags, shared with other processes, stay
// as they are.
int writeToStandardOutput(const char* data, size_t size, const Clock::time_point* deadline) {
  while (size > 0) {
    size_t chunk = size;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return ETIMEDOUT;
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      const int ready = ::poll(&out, 1, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) return errno;
      if (ready <= 0) continue;
      chunk = std::min<size_t>(size, PIPE_BUF);
    }
    const ssize_t written = ::write(STDOUT_FILENO, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return errno;
      // Someone made the shared description non-blocking: wait for room instead.
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      ::poll(&out, 1, deadline ? 10 : -1);
      continue;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

void brokenStandardOutput();

// Standard output, written to descriptor 1 through a buffer of its own rather than through stdio,
// so that a failed write is seen with its cause (a closed pipe ends the run, a full disk fails the
// stream) and the run's last words can be written with a bounded wait past a writer that is stuck.
// It remembers whether the last character ended a line: progress lines ("- Preprocessing ...    ",
// "\r- Merging files : 2/2") stay open, and an error message must not continue them, or a script
// looking for lines that start with "Error: " misses it. Once the last words are out, whatever other
// threads still print (progress lines of their chunks) is dropped.
class StandardOutput : public std::streambuf {
public:
  StandardOutput() {
    try {
      pending_.reserve(kBufferSize);
    } catch (const std::bad_alloc&) {
      // Before main: the run fails later, when it can say so.
    }
  }

  // Ends the run with `text` (a carriage return in it shown as \r) and then `suffix` as its last
  // words: pending output first, on a line of its own. With a deadline, gives up on what cannot be
  // written by then. Allocates nothing: memory may be what ran out.
  void writeLast(const char* text, size_t size, const char* suffix, const Clock::time_point* deadline) noexcept {
    closed_ = true;
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    if (deadline) {
      // Polled rather than a timed lock, which the thread sanitizer does not see.
      while (!lock.try_lock() && Clock::now() < *deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } else {
      lock.lock();
    }
    // Without the lock another thread is stuck writing, most likely within a line.
    bool open_line = true;
    if (!deadline) std::fflush(stdout);
    if (lock.owns_lock()) {
      if (failed_) return;
      open_line = !at_line_start_;
      if (writeToStandardOutput(pending_.data(), pending_.size(), deadline) != 0) return;
      pending_.clear();
    }
    char buffer[1024];
    size_t used = 0;
    if (open_line && size > 0 && text[0] != '\n') buffer[used++] = '\n';
    for (size_t i = 0; i < size; ++i) {
      if (used + 2 > sizeof buffer) {
        if (writeToStandardOutput(buffer, used, deadline) != 0) return;
        used = 0;
      }
      if (text[i] == '\r') {
        buffer[used++] = '\\';
        buffer[used++] = 'r';
      } else {
        buffer[used++] = text[i];
      }
    }
    if (writeToStandardOutput(buffer, used, deadline) != 0) return;
    writeToStandardOutput(suffix, std::strlen(suffix), deadline);
  }

protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char character = traits_type::to_char_type(c);
    return put(&character, 1) ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override { return put(s, static_cast<size_t>(n)) ? n : 0; }
  int sync() override { return put(nullptr, 0, true) ? 0 : -1; }

private:
  static constexpr size_t kBufferSize = 1 << 16;

  bool put(const char* s, size_t n, bool flush = false) {
    int error = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return true;
      if (failed_) return false;
      if (n > 0) at_line_start_ = s[n - 1] == '\n';
      // The buffer never grows past its reserved size: an allocation that fails would silently
      // lose the line (a stream swallows the exception).
      if (pending_.size() + n > kBufferSize) error = writePending();
      if (error == 0 && n >= kBufferSize) {
        error = writeToStandardOutput(s, n, nullptr);
      } else if (error == 0) {
        if (n > 0) pending_.append(s, n);
        if (flush) error = writePending();
      }
      if (error != 0) failed_ = true;
    }
    if (error == EPIPE) brokenStandardOutput();
    return error == 0;
  }

  int writePending() {
    // Whatever went through stdio (a library's printf) comes first, as written.
    std::fflush(stdout);
    const int error = writeToStandardOutput(pending_.data(), pending_.size(), nullptr);
    pending_.clear();
    return error;
  }

  std::mutex mutex_;
  std::string pending_;
  std::atomic<bool> closed_{false};
  bool failed_ = false;
  bool at_line_start_ = true;
};

StandardOutput* standardOutput() {
  static StandardOutput* const installed = [] {
    static std::ios_base::Init init;  // std::cout exists before this runs
    // Never destroyed: std::cout is flushed after every static object has gone.
    StandardOutput* output = new StandardOutput;
    std::cout.rdbuf(output);
    return output;
  }();
  return installed;
}

// Installed before main, so every line written to standard output goes through it.
StandardOutput* const output_at_start = standardOutput();

// How the run ends. Decided once, under the lock that every creation of an output, the clean-up and
// the publishing take: a run that has decided to succeed publishes its outputs and takes no stop any
// more; one that fails or is stopped removes them, and creates no new ones.
enum class Ending { running, succeeded, failed };

std::mutex outputs_mutex;
Ending ending = Ending::running;
int ending_status = 0;
// Set once the thread that decided a failure has written its last words.
std::atomic<bool> last_words_out{false};
// Whether the end is the process's own (main took the stop signals): finished outputs then wait
// for it to be published.
bool publish_at_end = false;
// Whether a reader that closes standard output stops the run (SIGPIPE not ignored at the start).
std::atomic<bool> stop_on_broken_pipe{false};

// A file of the run's own, known by its identity: the clean-up removes what stands at its name only
// while it is that file.
struct OwnFile {
  int directory;
  std::string name;          // in `directory`: its unfinished name, its output's once published
  std::string target;        // the output's name in `directory`, once finished
  std::string shown_target;  // the output's path, for a failure's message
  dev_t device;
  ino_t inode;
  bool finished;
};

// Never destroyed: a stop signal may come while the process exits.
std::list<OwnFile>& ownFiles() {
  static auto* const files = new std::list<OwnFile>;
  return *files;
}

// Allocates nothing (the run may be failing for want of memory): the names are held already.
bool isOwn(const OwnFile& file, const char* name) {
  struct stat at_name;
  return ::fstatat(file.directory, name, &at_name, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(at_name.st_mode) &&
         at_name.st_dev == file.device && at_name.st_ino == file.inode;
}

void removeOwn(const OwnFile& file) {
  if (isOwn(file, file.name.c_str())) ::unlinkat(file.directory, file.name.c_str(), 0);
}

std::list<OwnFile>::iterator findOwn(int directory, const std::string& name) {
  auto file = ownFiles().begin();
  while (file != ownFiles().end() && (file->directory != directory || file->name != name)) ++file;
  return file;
}

// Renames the file to its target while it is the run's own; its name is then the target's. A link or
// other non-regular file found at the target after the rename was put at the file's name in between:
// it goes back there, and the file is not published. A regular file or nothing there is another run's
// doing at the path (its file published, its earlier output moved aside for a moment) after ours.
bool renameOwn(OwnFile& file) {
  if (!isOwn(file, file.name.c_str()) ||
      ::renameat(file.directory, file.name.c_str(), file.directory, file.target.c_str()) != 0) {
    return false;
  }
  struct stat at_target;
  if (::fstatat(file.directory, file.target.c_str(), &at_target, AT_SYMLINK_NOFOLLOW) == 0 &&
      !S_ISREG(at_target.st_mode)) {
    ::renameat2(file.directory, file.target.c_str(), file.directory, file.name.c_str(), RENAME_NOREPLACE);
    return false;
  }
  file.name.swap(file.target);
  return true;
}

void removeUnfinishedOutputs() {
  for (const OwnFile& file : ownFiles()) removeOwn(file);
  ownFiles().clear();
}

// Address space set aside at the start and given back first when the run fails: a failure for want
// of memory can still remove its outputs and end with its message, whatever the other threads took.
// Mapped, not allocated, so that giving it back returns it to the process, not to one thread's heap.
constexpr size_t kReserveSize = 1 << 20;
std::atomic<void*> reserve{nullptr};

void* mapReserve() {
  void* block = ::mmap(nullptr, kReserveSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void releaseReserve() noexcept {
  void* block = reserve.exchange(nullptr);
  if (block) ::munmap(block, kReserveSize);
}

// Everything the failure path uses exists before the work: the reserve, and the lists of outputs
// (whose first use allocates).
const bool failure_path_ready = [] {
  reserve = mapReserve();
  ownFiles();
  return true;
}();

// The decision that the run fails with `status`; its outputs are removed before the lock is let
// go. False when the run's end was decided already.
bool decideFailure(int status) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  if (ending != Ending::running) return false;
  ending = Ending::failed;
  ending_status = status;
  removeUnfinishedOutputs();
  return true;
}

Ending currentEnding() {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  return ending;
}

// A carriage return left inside a line of a text input (a file with CR-only line ends) would send
// the cursor back over the message that quotes it: it is shown as \r. Allocates nothing through
// the run's own standard output.
void writeLastWords(const char* text, size_t size, const char* suffix, const Clock::time_point* deadline) noexcept {
  if (std::cout.rdbuf() == standardOutput()) {
    standardOutput()->writeLast(text, size, suffix, deadline);
  } else {
    // A test's capture of std::cout.
    try {
      for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\r') {
          std::cout << "\\r";
        } else {
          std::cout.put(text[i]);
        }
      }
      std::cout << suffix;
      std::cout.flush();
    } catch (...) {
    }
  }
  last_words_out = true;
}

// Another thread has decided that the run fails and ends the process once its message is out (that
// path neither allocates nor waits for anyone, so the message comes); this one waits for that, or at
// most `patience`, and ends it with the same status itself.
[[noreturn]] void followFailure(Clock::duration patience = Clock::duration::max()) noexcept {
  const Clock::time_point start = Clock::now();
  while (!last_words_out && Clock::now() - start < patience) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int status = 0;
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    status = ending_status;
  }
  // _Exit: other threads may still hold streams or sit at a barrier; no destructors must run.
  std::_Exit(status);
}

// The one failure path of an error: the reserve goes first, then the clean-up and the message.
[[noreturn]] void fail(const char* message, size_t size) noexcept {
  releaseReserve();
  if (decideFailure(1) || currentEnding() == Ending::succeeded) {
    writeLastWords(message, size, "\n\n", nullptr);
    std::_Exit(1);
  }
  followFailure();
}

// The signals taken as a stop and their last words, whole: like an error's, a stop's path builds
// nothing, as it may come when memory has run out. SIGXCPU, SIGUSR1 and SIGUSR2 are what schedulers
// send before they kill (a CPU-time limit, a notice of the end).
struct StopSignal {
  int number;
  const char* message;
};
constexpr StopSignal kStopSignals[] = {
    {SIGTERM, "Error: The run was stopped by SIGTERM!"}, {SIGINT, "Error: The run was stopped by SIGINT!"},
    {SIGHUP, "Error: The run was stopped by SIGHUP!"},   {SIGXCPU, "Error: The run was stopped by SIGXCPU!"},
    {SIGUSR1, "Error: The run was stopped by SIGUSR1!"}, {SIGUSR2, "Error: The run was stopped by SIGUSR2!"}};

// A stop signal, or a reader that closed standard output (SIGPIPE): the clean-up first, then the
// message, written if it can be within the deadline. Once the run has decided to succeed the stop is
// not taken: a closed pipe returns, a signal gives the last lines a second and ends with status 0.
// Allocates nothing.
void stopRun(int signal_number) noexcept {
  const int status = 128 + signal_number;
  if (decideFailure(status)) {
    for (const StopSignal& stop : kStopSignals) {
      if (stop.number != signal_number) continue;
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(800);
      writeLastWords(stop.message, std::strlen(stop.message), "\n\n", &deadline);
    }
    std::_Exit(status);
  }
  if (currentEnding() == Ending::succeeded) {
    // A closed standard output is met by the thread writing the last lines: it goes on to the end.
    if (signal_number == SIGPIPE) return;
    // The outputs are in place: the stop is not taken, but neither may it wait without end for a
    // last line that standard output does not take. Status 0 stands, with or without "- Done!".
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::_Exit(0);
  }
  // An error is being reported; a stop ends the run within a second even when its message cannot
  // be written.
  followFailure(std::chrono::seconds(1));
}

void brokenStandardOutput() {
  if (stop_on_broken_pipe) stopRun(SIGPIPE);
}

} // namespace

void printLocked(const std::string& text) {
#pragma omp critical(corvane_stdout)
  {
    std::cout << text;
    std::cout.flush();
  }
}

void removeOnError(const std::string& path) {
  struct stat file;
  if (::lstat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return;
  std::lock_guard<std::mutex> lock(outputs_mutex);
  ownFiles().push_back(OwnFile{AT_FDCWD, path, "", "", file.st_dev, file.st_ino, false});
}

void keepOnError(const std::string& path) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  ownFiles().remove_if([&path](const OwnFile& file) { return file.name == path; });
}

int createOwnOutput(int directory, const std::function<int(std::string& name)>& create) {
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    if (ending != Ending::failed) {
      std::string name;
      const int descriptor = create(name);
      struct stat file;
      if (descriptor < 0) return -1;
      if (::fstat(descriptor, &file) == 0) {
        try {
          ownFiles().push_back(OwnFile{directory, name, "", "", file.st_dev, file.st_ino, false});
          return descriptor;
        } catch (...) {
          // Out of memory: the file goes now, as the failure's clean-up would not know it.
          ::unlinkat(directory, name.c_str(), 0);
          ::close(descriptor);
          throw;
        }
      }
      ::unlinkat(directory, name.c_str(), 0);
      ::close(descriptor);
      return -1;
    }
  }
  // The run has failed and its clean-up has run: this thread ends with it.
  followFailure();
}

void removeOwnOutput(int directory, const std::string& name) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  const auto file = findOwn(directory, name);
  if (file == ownFiles().end()) return;
  removeOwn(*file);
  ownFiles().erase(file);
}

bool changeOutputPath(const std::function<bool()>& change) {
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    if (ending != Ending::failed) return change();
  }
  followFailure();
}

bool publishOutput(int directory, const std::string& unfinished, const std::string& target,
                   const std::string& shown) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  const auto file = findOwn(directory, unfinished);
  if (file == ownFiles().end() || !isOwn(*file, unfinished.c_str())) return false;
  file->target = target;
  file->shown_target = shown;
  if (publish_at_end) {
    file->finished = true;
    return true;
  }
  if (!renameOwn(*file)) return false;
  ownFiles().erase(file);
  return true;
}

void commitRun() {
  std::unique_lock<std::mutex> lock(outputs_mutex);
  if (ending == Ending::succeeded) return;
  if (ending == Ending::failed) {
    lock.unlock();
    followFailure();
  }
  // Published in the order they were made. A published file stays the clean-up's with the rest:
  // should a later rename fail, the set goes whole.
  for (OwnFile& file : ownFiles()) {
    if (!file.finished) continue;
    file.finished = false;
    if (!renameOwn(file)) {
      const std::string message = "Error: File '" + file.shown_target + "' cannot be written!";
      lock.unlock();
      fatalError(message);
    }
  }
  ending = Ending::succeeded;
  ownFiles().clear();
}

void handleStopSignals() {
  // Never taken as signals: a write past the file-size limit fails with EFBIG and is reported as
  // any failed write; a closed standard output shows as EPIPE on the write.
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction pipe_action {};
  if (sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler != SIG_IGN) {
    stop_on_broken_pipe = true;
  }
  std::signal(SIGPIPE, SIG_IGN);
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    publish_at_end = true;
  }

  // A signal that the run was started with ignored (nohup's SIGHUP, a background job's SIGINT,
  // trap '' TERM) stays ignored: it is neither blocked nor waited for, since Linux queues a blocked
  // signal even when its action is to ignore it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  bool any = false;
  for (const StopSignal& stop : kStopSignals) {
    struct sigaction action {};
    if (sigaction(stop.number, nullptr, &action) == 0 && !(action.sa_flags & SA_SIGINFO) &&
        action.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&stop_signals, stop.number);
    any = true;
  }
  if (!any) return;
  // Blocked in every thread (the OpenMP team inherits the mask) and taken by one thread of its own,
  // where the clean-up may lock and allocate as an error's does.
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &stop_signals, &previous) != 0) return;
  static sigset_t taken;
  taken = stop_signals;
  // A small stack of its own: the default one (8 MB) is address space that a run under a limit
  // (ulimit -v) would miss, and creating it fails there before anything else can.
  pthread_attr_t attributes;
  pthread_t thread;
  const bool started = pthread_attr_init(&attributes) == 0 &&
                       pthread_attr_setstacksize(&attributes, 256 << 10) == 0 &&
                       pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                       pthread_create(&thread, &attributes, [](void*) -> void* {
                         for (;;) {
                           int signal_number = 0;
                           if (sigwait(&taken, &signal_number) == 0) stopRun(signal_number);
                         }
                       }, nullptr) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    fatalError("Error: Not enough memory to start the run!");
  }
}

void fatalError(const std::string& message) { fail(message.data(), message.size()); }

void fatalError(const char* message) { fail(message, std::strlen(message)); }

void fatalErrorCollective(const std::string& message, bool is_master) {
  // The master prints and ends the run at once: the others meet the same fault, and a thread that
  // waited at a barrier here would wait for every other thread to finish its work first.
  if (is_master || !omp_in_parallel()) fatalError(message);
  // A fault that the master did not meet (a file that only some threads could open, with the
  // descriptors running out) is printed by the first thread through here, once the master is past
  // the point where it would have met it. The master never waits here, so the barrier is one of the
  // body's, which every thread that does not end the run reaches.
#pragma omp barrier
  fatalError(message);
}

} // namespace corvane
