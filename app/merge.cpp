// The merge phases of the main sequence, run between the output's open and the completion line.
#include "app/merge.h"

#include "runtime/io_result.h"

namespace kg::app {

void MergeSections(LineFile& first, LineFile& second, LineFile& output,
                   void (*warn)(MergeInput input)) {
  // Network section: the first input's lines before its first marker line. The marker line is
  // read but not written, and nothing after it is read: writers of the first input go on now.
  // A text that changed since its open fails here, before a warning may tell of a text never
  // counted.
  bool marker_found = first.CopyLinesUntil(output, kSectionMarker);
  IoCheck();
  first.VerifyAndLetGo();
  IoCheck();
  if (!marker_found) warn(MergeInput::kFirst);

  // The second input's first marker line is written whole; the lines before it are dropped.
  // Without one, the second input has been read to its end and nothing of it is written.
  marker_found = second.SkipLinesUntil(kSectionMarker);
  IoCheck();
  if (marker_found) {
    output.WriteText(kSectionMarker);
    second.CopyLineRest(output);
    output.EndLine();
    second.SkipLine();
    IoCheck();
    // Behaviour section: every line after the marker line, later marker lines included.
    second.CopyLinesUntil(output, {});
    IoCheck();
  }
  second.VerifyAndLetGo();
  IoCheck();
  if (!marker_found) warn(MergeInput::kSecond);
}

}  // namespace kg::app
