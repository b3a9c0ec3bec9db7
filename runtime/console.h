// The two console streams: the process's standard input and standard output as line files.
#pragma once

#include "runtime/line_file.h"

namespace kg {

// The standard input stream: opens itself for reading on its first read, never closes its handle.
LineFile& StandardInput();

// The standard output stream: opens itself for writing on its first write, written through on a
// terminal and in whole 128-byte blocks elsewhere; never closes its handle.
LineFile& StandardOutput();

}  // namespace kg
