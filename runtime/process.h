// Start-up, the top-level failure handler and the two ways a run ends.
#pragma once

#include <cstdint>

#include "runtime/failures.h"

namespace kg {

// Runs the start-up steps, then `main_sequence` inside the top-level failure handler. A failure
// raised inside it is reported and ends the process with exit code 1; a return ends it normally
// with exit code 0. Does not return.
[[noreturn]] void RunProgram(int argc, char** argv, void (*main_sequence)());

// The start-up steps: the platform's process set-up, the console streams marked not yet open, and
// the runtime support (the reserved out-of-memory failure).
void RunStartUpSteps(int argc, char** argv);

// The shutdown steps: the runtime support's (releases the reserved failure) and then the core
// runtime's: pending text of named files still open for writing is written out, then the standard
// input and the standard output are closed, writing out the text the standard output still holds.
// Failures here go to the I/O result and are never reported.
void RunShutdownSteps();

// Ends the process with exit code 0 after the shutdown steps.
[[noreturn]] void NormalExit();

// Ends the process with `exit_code` after the shutdown steps.
[[noreturn]] void FailureExit(std::int32_t exit_code);

// Reports a failure that nothing handled and ends the process with exit code 1.
[[noreturn]] void HandleTopLevelFailure(const RaisedFailure& raised);

// The exit code the process will end with: 0 until FailureExit sets another.
std::int32_t ExitCode();

}  // namespace kg
