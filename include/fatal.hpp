#pragma once
// The one way a run ends on an error: an "Error: " message on standard output and status 1.
// Checks that malformed input can reach use these, never assert(): they stay on in release builds.
// The first fault reported is the only one printed, and nothing printed after it reaches standard
// output, whichever threads still run.
#include <functional>
#include <string>

namespace corvane {

// Prints the message (whole, under a lock, flushed) from the calling thread and exits with status 1
// at once. For faults that only one thread meets (its own chunks, its own .bim lines) and for
// everything outside a parallel region.
[[noreturn]] void fatalError(const std::string& message);
// The same for a message that is not a std::string: a literal, or one formatted into a buffer of
// the caller's where memory has run out (building a std::string may fail there, and an exception
// thrown from a handler inside a parallel region ends the process without a message). The path
// from here to the end of the process allocates nothing.
[[noreturn]] void fatalError(const char* message);

// For faults that every thread of the team meets on the same data: only the master prints, and the
// process exits with status 1; the other threads wait at a barrier, after which, should the master
// not have met it, one thread that did prints it. Outside a parallel region it behaves like
// fatalError.
[[noreturn]] void fatalErrorCollective(const std::string& message, bool is_master);

// Writes text to standard output in one piece, serialised between threads, flushed.
void printLocked(const std::string& text);

// A file named `path` that a failed or stopped run must not leave behind: the fatal routines and the
// stop signals remove it (while it is the regular file that stood there when it was marked) before
// the process ends. keepOnError when the caller takes it over.
void removeOnError(const std::string& path);
void keepOnError(const std::string& path);

// Creates a file of the run's own in the held `directory` through `create`, which creates it
// exclusively and returns its descriptor, its name in `directory` in `name` (-1 when it created
// none). The file is marked for removal, by its identity, under the lock that the removal takes: no
// output is created once a failed run has removed its outputs, and the clean-up removes only that
// file, never what another has put at its name since. A thread that comes after the error creates
// nothing, waits until the message is out and ends there. `create` must not wait (open a FIFO, say):
// a stop's clean-up waits for the lock. Returns the descriptor, or -1.
int createOwnOutput(int directory, const std::function<int(std::string& name)>& create);

// Removes the run's own file `name` in `directory` now, if it is still the file it created; it is no
// longer the clean-up's.
void removeOwnOutput(int directory, const std::string& name);

// Runs `change`, a change in steps at an output's path (a file moved aside, looked at, then removed or
// put back), under the same lock: a failure's or a stop's clean-up comes before it or after it, never
// between its steps. A thread that comes after the failure changes nothing and ends with the run.
// `change` must not wait.
bool changeOutputPath(const std::function<bool()>& change);

// A finished output of the run's own, `unfinished` in `directory`, goes to its name `target` there:
// renamed when the run ends with success (commitRun), so that a run stopped before its end leaves
// nothing at the path; at once when no run end is kept (handleStopSignals not called). Only the file
// that the run created is renamed, and it must be the file at `target` after the rename: false, and
// nothing published, when another has come to its name. `shown` is the path a failure names.
bool publishOutput(int directory, const std::string& unfinished, const std::string& target,
                   const std::string& shown);

// The run has succeeded: under the clean-up's lock, publishes the finished outputs and keeps every
// output, and from here on a stop signal or a closed standard output is no longer taken. Call before
// the run's last message ("- Done!"). When a stop or an error has already decided the run's end, it
// does not return: that ending is the run's. A rename that fails, or a file that is no longer the
// run's own, ends the run as an error.
void commitRun();

// From here on SIGTERM, SIGINT, SIGHUP, SIGXCPU, SIGUSR1 and SIGUSR2 end the run as an error does,
// with status 128 + the signal's number: its unfinished outputs are removed, and the message is
// written if standard output takes it within a second. A signal ignored at the start stays ignored.
// A write past the file-size limit fails as a full disk does, and a reader that closes standard
// output ends the run as a stop does, with status 141 and no message (unless SIGPIPE was ignored at
// the start: then it is a failed write). Call before any other thread starts.
void handleStopSignals();

} // namespace corvane

// A check of the program's own state that input can reach.
#define CORVANE_CHECK(condition, message)                      \
  do {                                                         \
    if (!(condition)) ::corvane::fatalError(message);          \
  } while (0)
