// The merge phases of the main sequence, run between the output's open and the completion line.
#include "app/merge.h"

#include "runtime/io_result.h"

namespace kg::app {

namespace {

// Writes the merge from where the inputs and the output stand, warning of a missing marker line
// at most once per input (`warned` records it). Runs the I/O check after every statement. False
// when an input changed while the system copied from it: the output then holds no merge to keep.
bool WriteMerge(LineFile& first, LineFile& second, LineFile& output, void (*warn)(MergeInput input),
                bool (&warned)[2]) {
  // Network section: the first input's lines before its first marker line. The marker line is
  // read but not written, and nothing after it is read.
  bool marker_found = first.CopyLinesUntil(output, kSectionMarker);
  IoCheck();
  if (first.CopySpoiled()) return false;
  if (!marker_found && !warned[0]) {
    warned[0] = true;
    warn(MergeInput::kFirst);
  }

  // The second input's first marker line is written whole; the lines before it are dropped.
  marker_found = second.SkipLinesUntil(kSectionMarker);
  IoCheck();
  if (marker_found) {
    output.WriteText(kSectionMarker);
    second.CopyLineRest(output);
    output.EndLine();
    second.SkipLine();
    IoCheck();
  } else if (!warned[1]) {
    warned[1] = true;
    warn(MergeInput::kSecond);
  }

  // Behaviour section: every line after the marker line, later marker lines included.
  second.CopyLinesUntil(output, {});
  IoCheck();
  return !second.CopySpoiled();
}

}  // namespace

void MergeSections(LineFile& first, LineFile& second, LineFile& output,
                   void (*warn)(MergeInput input)) {
  bool warned[2] = {false, false};
  if (WriteMerge(first, second, output, warn, warned)) return;
  // An input changed while the system copied from it, so the copy may hold text in a form that
  // line by line is never written. The merge is written again that way from the output's first
  // byte, from the inputs as they are now.
  first.ForgetCount();
  second.ForgetCount();
  first.OpenForReading();
  IoCheck();
  second.OpenForReading();
  IoCheck();
  output.Restart();
  IoCheck();
  WriteMerge(first, second, output, warn, warned);
}

}  // namespace kg::app
