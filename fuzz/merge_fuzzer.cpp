// Fuzzes the merge of two model files: MergeSections over two arbitrary inputs read through real
// files and the POSIX platform, against a reference merge of the reference lines.
//
// Input: bytes 0 to 2 choose the block sizes of the first input, the second input and the output
// (2 to 257 each), bytes 3 and 4 the length of the first input (little-endian, cut to what is
// left); the first input follows, and the rest is the second input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/merge.h"
#include "fuzz/fuzz_support.h"
#include "runtime/failures.h"
#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/platform/platform.h"

namespace {

using kg::LineFile;
using kg::app::MergeInput;
using kg::fuzz::Require;

std::vector<MergeInput> warnings;

void RecordWarning(MergeInput input) {
  warnings.push_back(input);
}

bool IsMarkerLine(const std::string& line) {
  return line.compare(0, kg::app::kSectionMarker.size(), kg::app::kSectionMarker) == 0;
}

// The merge of the two inputs' lines, and the warnings it gives, in order.
std::string ReferenceMerge(const std::vector<std::string>& first,
                           const std::vector<std::string>& second,
                           std::vector<MergeInput>& expected_warnings) {
  std::string merged;
  std::size_t i = 0;
  for (; i < first.size() && !IsMarkerLine(first[i]); ++i) merged += first[i] + "\r\n";
  if (i == first.size()) expected_warnings.push_back(MergeInput::kFirst);
  std::size_t j = 0;
  while (j < second.size() && !IsMarkerLine(second[j])) ++j;
  if (j == second.size()) expected_warnings.push_back(MergeInput::kSecond);
  for (; j < second.size(); ++j) merged += second[j] + "\r\n";
  return merged;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kg::platform::InitializeProcess(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  static kg::fuzz::MemoryFile first_file("merge-first");
  static kg::fuzz::MemoryFile second_file("merge-second");
  static kg::fuzz::MemoryFile output_file("merge-output");
  const std::string_view rest(reinterpret_cast<const char*>(data) + 5, size - 5);
  std::size_t first_length = data[3] | static_cast<std::size_t>(data[4]) << 8;
  if (first_length > rest.size()) first_length = rest.size();
  const std::string_view first_bytes = rest.substr(0, first_length);
  const std::string_view second_bytes = rest.substr(first_length);
  first_file.Replace(first_bytes);
  second_file.Replace(second_bytes);

  kg::SetIoResult(0);
  LineFile first(2u + data[0]);
  LineFile second(2u + data[1]);
  LineFile output(2u + data[2]);
  first.Bind(first_file.name());
  second.Bind(second_file.name());
  output.Bind(output_file.name());
  first.OpenForReading();
  second.OpenForReading();
  output.OpenForWriting();
  Require(kg::IoResult() == 0, "open");

  warnings.clear();
  try {
    kg::app::MergeSections(first, second, output, &RecordWarning);
  } catch (const kg::RaisedFailure& raised) {
    Require(false, raised.failure->MessageText.c_str());
  }
  first.Close();
  second.Close();
  output.Close();
  Require(kg::IoResult() == 0, "close");

  std::vector<MergeInput> expected_warnings;
  const std::string expected =
      ReferenceMerge(kg::fuzz::ReferenceLines(first_bytes), kg::fuzz::ReferenceLines(second_bytes),
                     expected_warnings);
  Require(output_file.Contents() == expected, "merged text differs from the reference merge");
  Require(warnings == expected_warnings, "warnings differ from the reference merge");
  return 0;
}
