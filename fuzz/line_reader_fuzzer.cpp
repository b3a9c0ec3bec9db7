// Fuzzes the line reader of named line files over arbitrary bytes, block sizes and line-read
// capacities, against the reference reading of the same bytes.
//
// Input: byte 0 chooses the block size (255: the default size, else 2 to 256), byte 1 the read
// capacity (1 to 256); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/platform/platform.h"

namespace {

using kg::LineFile;
using kg::fuzz::Require;

// Counts the lines from the current position one at a time, with AtEnd and SkipLine.
std::size_t CountLinesOneByOne(LineFile& file, std::size_t limit) {
  std::size_t count = 0;
  while (!file.AtEnd()) {
    file.SkipLine();
    Require(++count <= limit, "counting goes past the reference's line count");
  }
  return count;
}

// Reads every line as the merge does (a capped read line, the rest copied, the line end skipped)
// into `copy`, checking the capped part against the reference.
void CopyLines(LineFile& file, LineFile& copy, std::size_t capacity,
               const std::vector<std::string>& expected) {
  char buffer[256];
  std::size_t index = 0;
  while (!file.AtEnd()) {
    Require(index < expected.size(), "more lines than the reference");
    std::size_t length = file.ReadLine(buffer, capacity);
    Require(
        std::string_view(buffer, length) == std::string_view(expected[index]).substr(0, capacity),
        "read line differs from the reference");
    copy.WriteText(std::string_view(buffer, length));
    file.CopyLineRest(copy);
    copy.EndLine();
    file.SkipLine();
    ++index;
  }
  Require(index == expected.size(), "fewer lines than the reference");
  Require(file.ReadLine(buffer, capacity) == 0, "read line at the end returns text");
}

// Reads every line in pieces of `capacity` characters, with no copy and no skip in between.
void ReadLinesInPieces(LineFile& file, std::size_t capacity,
                       const std::vector<std::string>& expected) {
  char buffer[256];
  for (const std::string& line : expected) {
    Require(!file.AtEnd(), "end of the text before the reference's last line");
    std::string got;
    for (;;) {
      std::size_t length = file.ReadLine(buffer, capacity);
      got.append(buffer, length);
      Require(got.size() <= line.size(), "a line read in pieces is too long");
      if (length < capacity) break;
    }
    Require(got == line, "a line read in pieces differs from the reference");
    file.SkipLine();
  }
  Require(file.AtEnd(), "text after the reference's last line");
}

// Reads character by character: every byte before the first 26, CRs and line ends included.
std::string ReadCharacters(LineFile& file, std::size_t limit) {
  std::string chars;
  for (;;) {
    bool at_end = file.AtEnd();
    char c = file.ReadChar();
    if (at_end) {
      Require(c == kg::kEndOfText, "read character at the end is not 26");
      return chars;
    }
    chars += c;
    Require(chars.size() <= limit, "more characters than the readable text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kg::platform::InitializeProcess(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static kg::fuzz::MemoryFile input("line-reader-input");
  static kg::fuzz::MemoryFile copy_file("line-reader-copy");
  const std::size_t block = data[0] == 255 ? LineFile::kFileBlockSize : 2u + data[0];
  const std::size_t capacity = 1u + data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  input.Replace(bytes);
  const std::vector<std::string> expected = kg::fuzz::ReferenceLines(bytes);
  const std::string_view text = kg::fuzz::ReadableText(bytes);

  kg::SetIoResult(0);
  LineFile file(block);
  file.Bind(input.name());
  file.OpenForReading();
  Require(kg::IoResult() == 0, "open for reading");
  Require(CountLinesOneByOne(file, expected.size()) == expected.size(), "line count");

  file.OpenForReading();  // a second open rewinds
  LineFile copy(block);
  copy.Bind(copy_file.name());
  copy.OpenForWriting();
  CopyLines(file, copy, capacity, expected);
  copy.Close();
  std::string want;
  for (const std::string& line : expected) want += line + "\r\n";
  Require(copy_file.Contents() == want, "copied lines differ from the reference");

  file.OpenForReading();
  ReadLinesInPieces(file, capacity, expected);

  file.OpenForReading();
  Require(ReadCharacters(file, text.size()) == text, "characters differ from the readable text");
  Require(file.AtEnd() && file.ReadChar() == kg::kEndOfText, "the end of the text moved");
  file.Close();
  Require(kg::IoResult() == 0, "an operation failed");
  return 0;
}
