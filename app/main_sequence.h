// K_Graft's own logic: checks, dialogue, line count and merge of two model files.
#pragma once

namespace kg::app {

// Runs the tool once: checks the arguments and files, asks before replacing an output, counts
// and compares the inputs' lines, writes the merged model file, and ends every path in the
// finish routine (pause line, then the normal exit). A failure is raised, never handled here.
[[noreturn]] void RunMainSequence();

}  // namespace kg::app
