// Fuzzes the merge of two model files: MergeSections over two arbitrary inputs read through real
// files and the POSIX platform, against a reference merge of the reference lines.
//
// Input: bytes 0 to 2 choose the block sizes of the first input, the second input and the output
// (2 to 257 each), bytes 3 and 4 the length of the first input (little-endian, cut to what is
// left), byte 5 the path: bit 0 counts the inputs first, as the tool does, so that canonical
// sections may be copied inside the system; bits 1 to 7 what copy_file_range does then (see
// below), with byte 3 the errno of a refusal. The first input follows, and the rest is the second
// input.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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
#include "runtime/line_scan.h"
#include "runtime/platform/platform.h"

namespace {

using kg::LineFile;
using kg::app::MergeInput;
using kg::fuzz::Require;

std::vector<MergeInput> warnings;

// What copy_file_range does in this run: the system's copy; a refusal with any errno; copies of at
// most `copy_part` bytes, refused once `copy_budget` calls are used up; or the system's copy after
// which the input's letters change case, as a writer let in by the system would change them once
// the system has ended the merge's lease.
enum class CopyMode { kSystem, kRefuse, kParts, kChangeInput };
CopyMode copy_mode = CopyMode::kSystem;
int copy_refusal = EXDEV;
bool output_full = false;    // a refusal said the output has no room: the merge must fail
bool interrupted = false;    // the last call was refused with EINTR
bool input_changed = false;  // a writer was let in: the merge must fail with 32
std::size_t copy_part = 0;
int copy_budget = 0;
kg::fuzz::MemoryFile* inputs[2];

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

// Takes the C library's place for the platform layer of this harness.
extern "C" ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                                   std::size_t length, unsigned flags) {
  bool refuse =
      copy_mode == CopyMode::kRefuse || (copy_mode == CopyMode::kParts && copy_budget-- <= 0);
  // An interrupted call is made again, so EINTR refuses every other call only.
  if (refuse && copy_refusal == EINTR) refuse = interrupted = !interrupted;
  if (refuse) {
    output_full |= copy_refusal == ENOSPC || copy_refusal == EDQUOT || copy_refusal == EFBIG;
    errno = copy_refusal;
    return -1;
  }
  if (copy_mode == CopyMode::kParts && length > copy_part) length = copy_part;
  ssize_t copied = syscall(SYS_copy_file_range, in, in_offset, out, out_offset, length, flags);
  struct stat copied_from, input;
  for (kg::fuzz::MemoryFile* file : inputs) {
    if (copy_mode != CopyMode::kChangeInput || fstat(in, &copied_from) != 0 ||
        fstat(file->fd(), &input) != 0 || input.st_ino != copied_from.st_ino) {
      continue;
    }
    std::string changed = file->Contents();  // lines and markers stay, bytes change
    for (char& c : changed) c ^= (c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? 0x20 : 0;
    fcntl(in, F_SETLEASE, F_UNLCK);  // the system stopped waiting for the merge
    file->Replace(changed);
    input_changed = true;
  }
  return copied;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kg::platform::InitializeProcess(*argc, *argv);
  return 0;
}

namespace {

kg::fuzz::MemoryFile* merged;

// Writes the two inputs to their files and runs one merge of them, as `data` chooses, with the
// scan kernels in use; stops the run when the merge differs from the reference.
void MergeOnce(const std::uint8_t* data, std::string_view first_bytes,
               std::string_view second_bytes) {
  inputs[0]->Replace(first_bytes);
  inputs[1]->Replace(second_bytes);

  kg::SetIoResult(0);
  LineFile first(2u + data[0]);
  LineFile second(2u + data[1]);
  LineFile output(2u + data[2]);
  first.Bind(inputs[0]->name());
  second.Bind(inputs[1]->name());
  output.Bind(merged->name());
  first.OpenForReading();
  second.OpenForReading();
  const bool counted = data[5] & 1;
  const int copy = data[5] >> 1;
  copy_mode = copy < 32    ? CopyMode::kSystem
              : copy < 64  ? CopyMode::kRefuse
              : copy < 112 ? CopyMode::kParts
                           : CopyMode::kChangeInput;
  copy_refusal = 1 + (data[3] + copy) % 133;  // EPERM to EHWPOISON
  output_full = false;
  input_changed = false;
  copy_part = 1 + copy % 7;
  copy_budget = copy % 3;
  const std::vector<std::string> first_lines = kg::fuzz::ReferenceLines(first_bytes);
  const std::vector<std::string> second_lines = kg::fuzz::ReferenceLines(second_bytes);
  if (counted) {
    Require(
        first.CountLines(kg::app::kSectionMarker) == static_cast<std::int64_t>(first_lines.size()),
        "first count");
    Require(second.CountLines(kg::app::kSectionMarker) ==
                static_cast<std::int64_t>(second_lines.size()),
            "second count");
    first.OpenForReading();
    second.OpenForReading();
  }
  output.OpenForWriting();
  Require(kg::IoResult() == 0, "open");

  warnings.clear();
  bool failed = false;
  try {
    kg::app::MergeSections(first, second, output, &RecordWarning);
  } catch (const kg::RaisedFailure& raised) {
    failed = true;
    Require(output_full || (input_changed && raised.failure->MessageText() == "I/O error 32"),
            raised.failure->MessageText().c_str());
    kg::ReleaseFailure(raised.failure);
  }
  Require(failed == (output_full || input_changed), "failed without cause, or not failed with one");
  first.Close();
  second.Close();
  output.Close();
  Require(kg::IoResult() == 0 || failed, "close");
  kg::SetIoResult(0);

  std::vector<MergeInput> expected_warnings;  // of the inputs as they are now
  const std::string expected =
      ReferenceMerge(kg::fuzz::ReferenceLines(inputs[0]->Contents()),
                     kg::fuzz::ReferenceLines(inputs[1]->Contents()), expected_warnings);
  const std::string got = merged->Contents();
  if (failed) {  // what reached the output is a prefix of the merge, unless an input changed
    Require(input_changed || expected.compare(0, got.size(), got) == 0,
            "failed merge is no prefix of the merge");
    return;
  }
  Require(got == expected, "merged text differs from the reference merge");
  Require(warnings == expected_warnings, "warnings differ from the reference merge");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  static kg::fuzz::MemoryFile first_file("merge-first");
  static kg::fuzz::MemoryFile second_file("merge-second");
  static kg::fuzz::MemoryFile output_file("merge-output");
  inputs[0] = &first_file;
  inputs[1] = &second_file;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 6, size - 6);
  std::size_t first_length = data[3] | static_cast<std::size_t>(data[4]) << 8;
  if (first_length > rest.size()) first_length = rest.size();
  const std::string_view first_bytes = rest.substr(0, first_length);
  const std::string_view second_bytes = rest.substr(first_length);
  merged = &output_file;
  for (kg::scan::Kernels kernels : kg::scan::kEveryKernels) {
    if (kg::scan::UseKernels(kernels)) MergeOnce(data, first_bytes, second_bytes);
  }
  return 0;
}
