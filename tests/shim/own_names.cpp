// An LD_PRELOAD shim for the end-to-end tests, acting on the files whose names hold
// CORVANE_SHIM_MARK: with CORVANE_SHIM_VICTIM, it puts a symbolic link to that file at the name of
// each one created exclusively, right after the create, as another user of the directory could; with
// CORVANE_SHIM_KILL, the process is killed (SIGKILL) at the first rename of one, as the
// out-of-memory killer might.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

bool marked(const char* name) {
  const char* mark = getenv("CORVANE_SHIM_MARK");
  return name && mark && *mark && strstr(name, mark);
}

int planted(int directory, const char* name, int flags, int descriptor) {
  const char* victim = getenv("CORVANE_SHIM_VICTIM");
  if (descriptor >= 0 && victim && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && marked(name)) {
    unlinkat(directory, name, 0);
    symlinkat(victim, directory, name);
  }
  return descriptor;
}

void killedAtRename(const char* name) {
  if (getenv("CORVANE_SHIM_KILL") && marked(name)) raise(SIGKILL);
}

mode_t modeOf(int flags, va_list arguments) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

template <typename Function>
Function next(const char* symbol) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

typedef int (*Open)(const char*, int, ...);
typedef int (*OpenAt)(int, const char*, int, ...);

} // namespace

extern "C" {

int open(const char* name, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  static const Open real = next<Open>("open");
  return planted(AT_FDCWD, name, flags, real(name, flags, mode));
}

int open64(const char* name, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  static const Open real = next<Open>("open64");
  return planted(AT_FDCWD, name, flags, real(name, flags, mode));
}

int openat(int directory, const char* name, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  static const OpenAt real = next<OpenAt>("openat");
  return planted(directory, name, flags, real(directory, name, flags, mode));
}

int openat64(int directory, const char* name, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  static const OpenAt real = next<OpenAt>("openat64");
  return planted(directory, name, flags, real(directory, name, flags, mode));
}

int rename(const char* from, const char* to) {
  killedAtRename(from);
  static const auto real = next<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}

int renameat(int from_directory, const char* from, int to_directory, const char* to) {
  killedAtRename(from);
  static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
  return real(from_directory, from, to_directory, to);
}

int renameat2(int from_directory, const char* from, int to_directory, const char* to, unsigned int flags) {
  killedAtRename(from);
  static const auto real = next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  return real(from_directory, from, to_directory, to, flags);
}

} // extern "C"
