// The merge phases of the main sequence, run between the output's open and the completion line.
#include "app/merge.h"

#include <cstddef>

#include "runtime/io_result.h"

namespace kg::app {

namespace {

// Reads one line of `input`. Returns whether it starts with the section marker; when it does
// not and `keep_plain` is set, or when it does and `keep_marker` is set, the whole line is
// written to `output` with a CR LF line end.
bool ReadModelLine(LineFile& input, LineFile& output, bool keep_plain, bool keep_marker) {
  char prefix[2];
  std::size_t length = input.ReadLine(prefix, sizeof prefix);
  bool is_marker = std::string_view(prefix, length) == kSectionMarker;
  if (is_marker ? keep_marker : keep_plain) {
    output.WriteText(std::string_view(prefix, length));
    input.CopyLineRest(output);
    output.EndLine();
  }
  input.SkipLine();
  IoCheck();
  return is_marker;
}

}  // namespace

void MergeSections(LineFile& first, LineFile& second, LineFile& output,
                   void (*warn)(MergeInput input)) {
  // Network section: the first input's lines before its first marker line.
  bool marker_found = false;
  for (;;) {
    bool at_end = first.AtEnd();
    IoCheck();
    if (at_end) break;
    marker_found = ReadModelLine(first, output, /*keep_plain=*/true,
                                 /*keep_marker=*/false);
    if (marker_found) break;
  }
  if (!marker_found) warn(MergeInput::kFirst);

  // The second input's first marker line; the lines before it are dropped. The body runs at
  // least once, also on an input that is already at its end.
  for (;;) {
    marker_found = ReadModelLine(second, output, /*keep_plain=*/false,
                                 /*keep_marker=*/true);
    if (marker_found) break;
    bool at_end = second.AtEnd();
    IoCheck();
    if (at_end) break;
  }
  if (!marker_found) warn(MergeInput::kSecond);

  // Behaviour section: every line after the marker line, later marker lines included.
  for (;;) {
    bool at_end = second.AtEnd();
    IoCheck();
    if (at_end) break;
    ReadModelLine(second, output, /*keep_plain=*/true, /*keep_marker=*/true);
  }
}

}  // namespace kg::app
