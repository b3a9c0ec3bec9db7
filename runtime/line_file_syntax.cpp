// Line files read one line at a time: the end test, a character, a line read up to a capacity, the
// rest of a line copied, a line skipped. The line syntax: LF or CR LF ends a line, a lone CR is
// dropped, a byte 26 or the end of the data ends the text.
#include <cstring>

#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/line_scan.h"

namespace kg {

namespace {

// The first byte in [from, to) that is LF, CR or 26, or `to` when there is none.
inline const char* FindLineStop(const char* from, const char* to) {
  return scan::FindFirstOf(from, to, '\n', '\r', kEndOfText);
}

}  // namespace

char LineFile::ReadChar() {
  if (!ReadyToRead()) return kEndOfText;
  if (position_ == fill_ && !FillBlock()) return kEndOfText;
  char c = block_[position_];
  if (c == kEndOfText) return kEndOfText;
  ++position_;
  return c;
}

bool LineFile::AtEnd() {
  if (mode_ == Mode::kReading && position_ < fill_) return block_[position_] == kEndOfText;
  if (!ReadyToRead()) return true;
  if (position_ == fill_ && !FillBlock()) return true;
  return block_[position_] == kEndOfText;
}

void LineFile::SkipLine() {
  if (!ReadyToRead()) return;
  for (;;) {
    if (position_ == fill_ && !FillBlock()) return;
    const char* from = block_ + position_;
    const char* stop = scan::FindFirstOf(from, block_ + fill_, '\n', kEndOfText, kEndOfText);
    position_ += static_cast<std::size_t>(stop - from);
    if (position_ == fill_) continue;
    if (*stop == '\n') ++position_;  // a byte 26 stays unread
    return;
  }
}

std::size_t LineFile::ReadLine(char* line, std::size_t capacity) {
  if (!ReadyToRead()) return 0;
  std::size_t stored = 0;
  while (stored < capacity) {
    if (position_ == fill_ && !FillBlock()) break;
    const char* from = block_ + position_;
    std::size_t room = capacity - stored;
    const char* to = fill_ - position_ > room ? from + room : block_ + fill_;
    const char* stop = FindLineStop(from, to);
    std::size_t count = static_cast<std::size_t>(stop - from);
    std::memcpy(line + stored, from, count);
    stored += count;
    position_ += count;
    if (stop == to) continue;  // the capacity or the block's end
    if (*stop != '\r') break;  // LF or 26: the line ends here
    // Keeps the CR and looks at what follows; a failed read ends the line here, the CR unread.
    if (position_ + 1 == fill_ && !FillBlock() && !end_of_data_) break;
    if (position_ + 1 < fill_ && block_[position_ + 1] == '\n') break;
    ++position_;  // a lone CR is dropped
  }
  return stored;
}

void LineFile::CopyLineRest(LineFile& output) {
  if (!ReadyToRead()) return;
  for (;;) {
    if (position_ == fill_ && !FillBlock()) {
      if (!end_of_data_) output.StopAtFailedRead();
      return;
    }
    const char* from = block_ + position_;
    const char* stop = FindLineStop(from, block_ + fill_);
    if (stop != from) {
      std::size_t count = static_cast<std::size_t>(stop - from);
      position_ += count;
      if (!output.WriteBytes(from, count)) return;
      if (position_ == fill_) continue;
    }
    char c = block_[position_];
    if (c != '\r') return;  // LF or 26: the line ends here
    if (position_ + 1 == fill_ && !FillBlock() && !end_of_data_) {
      output.StopAtFailedRead();
      return;
    }
    if (position_ + 1 < fill_ && block_[position_ + 1] == '\n') return;
    ++position_;  // a lone CR is dropped
  }
}

}  // namespace kg
