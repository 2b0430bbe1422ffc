#include "command_line.hpp"

Flags flags;
Parameters par;
