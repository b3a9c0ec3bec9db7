// The failure report and the runtime error report, composed in fixed-size storage.
#pragma once

#include <cstddef>

#include "runtime/failures.h"

namespace kg {

constexpr int kRuntimeErrorOutOfMemory = 203;
constexpr std::size_t kFailureReportCapacity = 1024;
constexpr char kFailureReportTitle[] = "Application Error";
constexpr char kRuntimeErrorTitle[] = "Error";

// Writes the two-line report of `failure` raised at `location` into `report` (at most capacity - 1
// characters, then a terminating zero; longer text is cut) and returns its length:
//   "Exception <class> in module <module> at <offset>.\r\n<message><ending>\r\n"
// The module is the one holding `location` (else the executable, with the offset counted from
// 0x1000); the offset has at least 8 uppercase hexadecimal digits; the ending is "." when the
// message is non-empty and does not already end in one. Needs no memory from the allocator.
std::size_t ComposeFailureReport(const Exception& failure, const void* location, char* report,
                                 std::size_t capacity);

// Shows the report of `failure` to the user under the title "Application Error" and returns when
// it has been shown.
void ShowFailureReport(const Exception& failure, const void* location);

// Writes the 29-character "Runtime error NNN at XXXXXXXX" line for runtime error `number` at
// `location` into `report` (room for 30) and returns 29. The location is given as the offset in
// the module that holds it, as in the failure report.
std::size_t ComposeRuntimeErrorReport(int number, const void* location, char* report);

// Shows the runtime error report under the title "Error", runs the shutdown steps and ends the
// process with `number` as its exit code: the path for failures that arise while no failure
// object can be made.
[[noreturn]] void RuntimeError(int number, const void* location);

}  // namespace kg
