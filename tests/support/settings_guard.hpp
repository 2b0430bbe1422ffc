#pragma once
// The process-wide settings for one test: cleared when it starts, restored when it ends.
#include "corvane.hpp"

namespace testutil {

struct SettingsGuard {
  Flags saved_flags = flags;
  Parameters saved_par = par;
  SettingsGuard() {
    flags = Flags();
    par = Parameters();
  }
  ~SettingsGuard() {
    flags = saved_flags;
    par = saved_par;
  }
};

} // namespace testutil
