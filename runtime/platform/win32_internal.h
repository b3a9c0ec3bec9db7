// What the Windows platform files share: <windows.h> after the platform header, native handles.
//
// The Windows platform calls live in files by job: win32_files.cpp (files: open, read, write,
// seek, close, what a name or handle is) and win32_process.cpp (start-up, standard handles, the
// last error, the command line, the module, reports and exit). The Windows API already has the
// behaviour the runtime was designed against (share modes, the console's CR LF line ends, one
// command-line text, message boxes), so most calls hand their arguments straight through; the few
// additions keep the contracts of platform.h where Windows alone would differ.
//
// The platform header comes first: <windows.h> defines macros named like its constants, so below
// that include only the Windows names are used (same values); a file that needs one of the
// header's own names takes it before including this header.
#pragma once

#include "runtime/platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kg::platform::win32 {

// The Windows handle of a platform handle (both are untyped pointers).
inline ::HANDLE Native(HANDLE handle) {
  return static_cast<::HANDLE>(handle);
}

}  // namespace kg::platform::win32
