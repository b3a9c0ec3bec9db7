// The two console streams: the process's standard input and standard output as line files.
#pragma once

#include "runtime/line_file.h"

namespace kg {

// The standard input stream: opens itself for reading on its first read, never closes its handle.
LineFile& StandardInput();

// The standard output stream: opens itself for writing on its first write, written through on a
// terminal and in whole 128-byte blocks elsewhere; never closes its handle.
LineFile& StandardOutput();

// Call right before waiting for a person's answer on the standard input (a question, the pause),
// then run the I/O check. When the standard input is a terminal, the text the standard output
// stream holds in its block is written out now, whatever standard output is (a pipe, a file), so
// that the question can be seen before the wait; the bytes and their order stay the same. Where
// standard output holds nothing (a terminal is written through), or standard input is no
// terminal (a script), nothing is written and the blocks stay whole. Failures go to the I/O
// result: the write-out's code, or 104 when the standard input stream cannot be opened.
void ShowOutputBeforeWaiting();

}  // namespace kg
