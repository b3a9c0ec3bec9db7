// The merge of two model files: the first's network section, then the second's behaviour section.
#pragma once

#include <string_view>

#include "runtime/line_file.h"

namespace kg::app {

// The first two characters of the line that starts a model file's behaviour section.
constexpr std::string_view kSectionMarker = "@3";

// Which input a missing-marker warning is about.
enum class MergeInput { kFirst, kSecond };

// Writes to `output` (open for writing) the lines of `first` before its first marker line, then
// the first marker line of `second` and every line after it; both inputs are open for reading at
// their first line. Lines are copied whole, each ended by CR LF. When an input has no marker line,
// `warn` is called for it at once, before the merge goes on. Runs the I/O check after every
// statement, so a failure is raised from here. Inputs counted with the marker (CountLines) whose
// sections are canonical may be copied inside the system. Each input is let go (VerifyAndLetGo)
// as soon as the merge has read what it takes of it, before a warning about it; an input whose
// text changed since its open (or whose hold against writers the system ended) fails the merge
// with 32 there, as what was merged may not be the text counted.
void MergeSections(LineFile& first, LineFile& second, LineFile& output,
                   void (*warn)(MergeInput input));

}  // namespace kg::app
