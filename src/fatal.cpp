#include "fatal.hpp"

#include <omp.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
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
  // Ends the run with `text` as its last words: pending output first, on a line of its own. With a
  // deadline, gives up on what cannot be written by then.
  void writeLast(const std::string& text, const Clock::time_point* deadline) {
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
    std::string out;
    // Without the lock another thread is stuck writing, most likely within a line.
    bool open_line = true;
    if (lock.owns_lock()) {
      if (failed_) return;
      out.swap(pending_);
      open_line = !at_line_start_;
    }
    if (open_line && !text.empty() && text[0] != '\n') out += '\n';
    out += text;
    if (!deadline) std::fflush(stdout);
    writeToStandardOutput(out.data(), out.size(), deadline);
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
      if (pending_.size() + n > kBufferSize) flush = true;
      if (flush && n >= kBufferSize) {
        error = writePending();
        if (error == 0) error = writeToStandardOutput(s, n, nullptr);
      } else {
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

// Never destroyed: a stop signal may come while the process exits.
std::set<std::string>& unfinishedOutputs() {
  static std::set<std::string>* const outputs = new std::set<std::string>;
  return *outputs;
}
std::vector<std::pair<std::string, std::string>>& outputsToPublish() {
  static auto* const outputs = new std::vector<std::pair<std::string, std::string>>;
  return *outputs;
}

void removeUnfinishedOutputs() {
  for (const std::string& path : unfinishedOutputs()) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular) {
      std::filesystem::remove(path, ec);
    }
  }
  unfinishedOutputs().clear();
  outputsToPublish().clear();
}

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
// the cursor back over the message that quotes it: it is shown as \r.
std::string visibleText(const std::string& message) {
  std::string text;
  text.reserve(message.size());
  for (char c : message) {
    if (c == '\r') {
      text += "\\r";
    } else {
      text += c;
    }
  }
  return text;
}

void writeLastWords(const std::string& raw_text, const Clock::time_point* deadline) {
  const std::string text = visibleText(raw_text);
  if (std::cout.rdbuf() == standardOutput()) {
    standardOutput()->writeLast(text, deadline);
  } else {
    std::cout << text;
    std::cout.flush();
  }
  last_words_out = true;
}

// Another thread has decided that the run fails and ends the process once its message is out; this
// one waits for that, or at most `patience`, and ends it with the same status itself (the deciding
// thread may wait at a barrier for this one).
[[noreturn]] void followFailure(Clock::duration patience = Clock::duration::max()) {
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

// A stop signal, or a reader that closed standard output (SIGPIPE): the clean-up first, then the
// message, written if it can be within the deadline. Once the run has decided to succeed the stop is
// not taken: a closed pipe returns, a signal gives the last lines a second and ends with status 0.
void stopRun(int signal_number) {
  const int status = 128 + signal_number;
  if (decideFailure(status)) {
    if (signal_number != SIGPIPE) {
      const char* name = signal_number == SIGTERM ? "SIGTERM" : signal_number == SIGINT ? "SIGINT" : "SIGHUP";
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(800);
      writeLastWords(std::string("Error: The run was stopped by ") + name + "!\n\n", &deadline);
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
  std::lock_guard<std::mutex> lock(outputs_mutex);
  unfinishedOutputs().insert(path);
}

void keepOnError(const std::string& path) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  unfinishedOutputs().erase(path);
}

std::string createNamedOutput(const std::function<std::string()>& create) {
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    if (ending != Ending::failed) {
      std::string created = create();
      if (!created.empty()) unfinishedOutputs().insert(created);
      return created;
    }
  }
  // The run has failed and its clean-up has run: this thread ends with it.
  followFailure();
}

bool publishOutput(const std::string& unfinished, const std::string& path) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  std::error_code ec;
  if (publish_at_end) {
    if (std::filesystem::symlink_status(unfinished, ec).type() != std::filesystem::file_type::regular) return false;
    outputsToPublish().emplace_back(unfinished, path);
    return true;
  }
  std::filesystem::rename(unfinished, path, ec);
  if (ec) return false;
  unfinishedOutputs().erase(unfinished);
  return true;
}

void commitRun() {
  std::unique_lock<std::mutex> lock(outputs_mutex);
  if (ending == Ending::succeeded) return;
  if (ending == Ending::failed) {
    lock.unlock();
    followFailure();
  }
  auto& outputs = outputsToPublish();
  while (!outputs.empty()) {
    const std::pair<std::string, std::string> output = outputs.front();
    outputs.erase(outputs.begin());
    std::error_code ec;
    std::filesystem::rename(output.first, output.second, ec);
    if (ec) {
      lock.unlock();
      fatalError("Error: File '" + output.second + "' cannot be written!");
    }
    // Kept only with the rest: should a later rename fail, the set goes whole.
    unfinishedOutputs().erase(output.first);
    unfinishedOutputs().insert(output.second);
  }
  ending = Ending::succeeded;
  unfinishedOutputs().clear();
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
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) == 0 && !(action.sa_flags & SA_SIGINFO) &&
        action.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&stop_signals, signal_number);
    any = true;
  }
  if (!any) return;
  // Blocked in every thread (the OpenMP team inherits the mask) and taken by one thread of its own,
  // where the clean-up may lock and allocate as an error's does.
  if (pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return;
  std::thread([stop_signals] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&stop_signals, &signal_number) == 0) stopRun(signal_number);
    }
  }).detach();
}

void fatalError(const std::string& message) {
  if (decideFailure(1) || currentEnding() == Ending::succeeded) {
    writeLastWords(message + "\n\n", nullptr);
    std::_Exit(1);
  }
  followFailure();
}

void fatalErrorCollective(const std::string& message, bool is_master) {
  if (is_master && decideFailure(1)) writeLastWords(message + "\n\n", nullptr);
  if (omp_in_parallel()) {
#pragma omp barrier
  }
  // A fault that the master did not meet (a file that only some threads could open, with the
  // descriptors running out) is printed by the first thread through here.
  fatalError(message);
}

} // namespace corvane
