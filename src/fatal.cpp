#include "fatal.hpp"

#include <omp.h>
#include <pthread.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <streambuf>
#include <thread>

namespace corvane {

namespace {

// Standard output passes through this buffer, which remembers whether the last character ended a
// line: progress lines ("- Preprocessing ...    ", "\r- Merging files : 2/2") stay open, and an
// error message must not continue them, or a script looking for lines that start with "Error: "
// misses it. It also keeps the error last: once the message is out, whatever other threads still
// print (progress lines of their chunks) is dropped.
class LineTracker : public std::streambuf {
public:
  explicit LineTracker(std::streambuf* target) : target_(target) {}

  // The run's last words, on a line of their own; every later write is dropped.
  void writeLast(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    const std::string text =
        !at_line_start_ && !message.empty() && message[0] != '\n' ? "\n" + message : message;
    target_->sputn(text.data(), static_cast<std::streamsize>(text.size()));
    target_->pubsync();
  }

protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return c;
    at_line_start_ = traits_type::to_char_type(c) == '\n';
    return target_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return n;
    if (n > 0) at_line_start_ = s[n - 1] == '\n';
    return target_->sputn(s, n);
  }
  int sync() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_->pubsync();
  }

private:
  std::streambuf* target_;
  std::mutex mutex_;
  bool closed_ = false;
  bool at_line_start_ = true;
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

std::mutex outputs_mutex;
// Set once a failed run has removed its outputs: none may be created after that.
bool outputs_removed = false;
std::set<std::string>& unfinishedOutputs() {
  static std::set<std::string> outputs;
  return outputs;
}

void removeUnfinishedOutputs() {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  outputs_removed = true;
  for (const std::string& path : unfinishedOutputs()) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular) {
      std::filesystem::remove(path, ec);
    }
  }
  unfinishedOutputs().clear();
}

// The first fault reported is the run's error; a thread that meets another one after it (two
// threads decoding one bad block) waits until it is out, then ends the process without a word.
std::mutex report_mutex;
bool reported = false;

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

void reportOnce(const std::string& raw_message) {
  std::lock_guard<std::mutex> lock(report_mutex);
  if (reported) return;
  reported = true;
  const std::string message = visibleText(raw_message);
  removeUnfinishedOutputs();
  if (std::cout.rdbuf() == tracker()) {
    tracker()->writeLast(message + "\n\n");
  } else {
    std::cout << message << "\n\n";
  }
  std::cout.flush();
}

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

bool createOutput(const std::string& path, const std::function<bool()>& create) {
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    if (!outputs_removed) {
      const bool created = create();
      if (created) unfinishedOutputs().insert(path);
      return created;
    }
  }
  // The run has failed and its clean-up has run: this thread ends with it.
  reportOnce("");
  terminate();
}

std::string createNamedOutput(const std::function<std::string()>& create) {
  {
    std::lock_guard<std::mutex> lock(outputs_mutex);
    if (!outputs_removed) {
      std::string created = create();
      if (!created.empty()) unfinishedOutputs().insert(created);
      return created;
    }
  }
  reportOnce("");
  terminate();
}

bool publishOutput(const std::string& unfinished, const std::string& path) {
  std::lock_guard<std::mutex> lock(outputs_mutex);
  std::error_code ec;
  std::filesystem::rename(unfinished, path, ec);
  if (ec) return false;
  unfinishedOutputs().erase(unfinished);
  return true;
}

void handleStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  // Blocked in every thread (the OpenMP team inherits the mask) and taken by one thread of its own,
  // where the clean-up may lock and allocate as an error's does. A signal that the run was started
  // with ignored (nohup, a background job's SIGINT) stays ignored.
  if (pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return;
  std::thread([stop_signals] {
    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    const char* name = signal_number == SIGTERM ? "SIGTERM" : signal_number == SIGINT ? "SIGINT" : "SIGHUP";
    reportOnce(std::string("Error: The run was stopped by ") + name + "!");
    std::cout.flush();
    std::_Exit(128 + signal_number);
  }).detach();
}

void fatalError(const std::string& message) {
  reportOnce(message);
  terminate();
}

void fatalErrorCollective(const std::string& message, bool is_master) {
  if (is_master) reportOnce(message);
  if (omp_in_parallel()) {
#pragma omp barrier
  }
  // A fault that the master did not meet (a file that only some threads could open, with the
  // descriptors running out) is printed by the first thread through here.
  reportOnce(message);
  terminate();
}

} // namespace corvane
