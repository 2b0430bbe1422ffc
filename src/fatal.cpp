#include "fatal.hpp"

#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <streambuf>

namespace corvane {

namespace {

// Standard output passes through this buffer, which remembers whether the last character ended a
// line: progress lines ("- Preprocessing ...    ", "\r- Merging files : 2/2") stay open, and an
// error message must not continue them, or a script looking for lines that start with "Error: "
// misses it.
class LineTracker : public std::streambuf {
public:
  explicit LineTracker(std::streambuf* target) : target_(target) {}
  bool atLineStart() const { return at_line_start_.load(std::memory_order_relaxed); }

protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    at_line_start_.store(traits_type::to_char_type(c) == '\n', std::memory_order_relaxed);
    return target_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n > 0) at_line_start_.store(s[n - 1] == '\n', std::memory_order_relaxed);
    return target_->sputn(s, n);
  }
  int sync() override { return target_->pubsync(); }

private:
  std::streambuf* target_;
  std::atomic<bool> at_line_start_{true};
};

LineTracker* tracker() {
  static LineTracker* const installed = [] {
    static std::ios_base::Init init;  // std::cout exists before this runs
    // Never destroyed: std::cout is flushed after every static object has gone.
    LineTracker* line_tracker = new LineTracker(std::cout.rdbuf());
    std::cout.rdbuf(line_tracker);
    return line_tracker;
  }();
  return installed;
}

// Installed before main, so every line written to standard output is seen.
LineTracker* const tracker_at_start = tracker();

// The message on a line of its own: a line break first when a progress line is still open.
std::string onItsOwnLine(const std::string& message) {
  const bool open_line = std::cout.rdbuf() == tracker() && !tracker()->atLineStart();
  if (open_line && !message.empty() && message[0] != '\n') return "\n" + message;
  return message;
}

std::mutex outputs_mutex;
std::set<std::string>& unfinishedOutputs() {
  static std::set<std::string> outputs;
  return outputs;
}

void removeUnfinishedOutputs() {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  for (const std::string& path : unfinishedOutputs()) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular) {
      std::filesystem::remove(path, ec);
    }
  }
  unfinishedOutputs().clear();
}

// Set once a collective stop has been printed.
std::atomic<bool> collective_printed{false};

[[noreturn]] void terminate() {
  std::cout.flush();
  // _Exit: other threads may still hold streams or sit at a barrier; no destructors must run.
  std::_Exit(1);
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

void fatalError(const std::string& message) {
  removeUnfinishedOutputs();
  printLocked(onItsOwnLine(message) + "\n\n");
  terminate();
}

void fatalErrorCollective(const std::string& message, bool is_master) {
  if (is_master) {
    removeUnfinishedOutputs();
    printLocked(onItsOwnLine(message) + "\n\n");
    collective_printed = true;
  }
  if (omp_in_parallel()) {
#pragma omp barrier
  }
  // A fault that the master did not meet (a file that only some threads could open, with the
  // descriptors running out) is printed by the first thread through here; the lock keeps every
  // other thread from ending the process before it is out.
#pragma omp critical(corvane_stdout)
  {
    if (!collective_printed) {
      removeUnfinishedOutputs();
      std::cout << onItsOwnLine(message) << "\n\n";
    }
    terminate();
  }
}

} // namespace corvane
