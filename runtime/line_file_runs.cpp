// Line files read in runs of lines: the count, which notes what the tier below may rely on, and
// the copy or skip of whole lines up to a marker line, run by run, falling back to one line at a
// time where a line may start with the marker.
#include <cstring>

#include "runtime/count_notes.h"
#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/line_scan.h"

namespace kg {

std::int64_t LineFile::CountLines(std::string_view marker) {
  if (!ReadyToRead()) return 0;
  notes_.Forget();
  print_.ForgetCount();
  // What the merge may rely on is noted only for a count of the whole text from the first byte,
  // of a file held against writers; a change the hold did not keep out fails the file's let-go.
  // A file read unheld keeps the print of its bytes instead, which its let-go compares.
  const bool from_first_byte = Offset() == 0;
  scan::CountState state;
  bool whole = true;  // the text ended at a byte 26 or at the end of the data, not at a failure
  for (;;) {
    if (position_ == fill_ && !FillBlock()) {
      whole = end_of_data_;
      break;
    }
    const char* from = block_ + position_;
    const char* to = block_ + fill_;
    const char* stop = scan::CountScan(from, to, Offset(), marker, state);
    position_ += static_cast<std::size_t>(stop - from);
    if (stop != to) break;  // the 26 stays unread
  }
  const std::uint64_t end = Offset();
  const std::uint64_t lines = scan::FinishCount(end, state);
  if (from_first_byte && whole) {
    // A file printed takes no shortcut past its bytes, which its print must follow, even where
    // the system says later that it holds the file.
    if (marker.size() <= CountNotes::kMarkerCapacity && !print_.on() && KeepsWritersOut()) {
      notes_.Note(marker, state, end);
    }
    // A failed read there leaves its code for the count's caller; a file not printed keeps none.
    print_.KeepCounted(handle_, end_of_data_);
  }
  return static_cast<std::int64_t>(lines);
}

bool LineFile::CopyLinesUntil(LineFile& output, std::string_view prefix) {
  if (!ReadyToRead()) return false;
  // The tier below first, for what it may take; the runs go on from where it stopped.
  if (!CopyInsideSystem(output, prefix)) return false;
  return PassLinesUntil(&output, prefix);
}

bool LineFile::SkipLinesUntil(std::string_view prefix) {
  if (!ReadyToRead()) return false;
  if (!SkipToCountedMarker(prefix)) return false;
  return PassLinesUntil(nullptr, prefix);
}

bool LineFile::PassLinesUntil(LineFile* output, std::string_view prefix) {
  const std::size_t length = prefix.size();
  const int first = length == 0 ? -1 : static_cast<unsigned char>(prefix[0]);
  const bool copying = output != nullptr;
  bool line_start = true;  // nothing of the current line has been read but lone CRs
  bool in_line = false;    // some byte of the current line has been consumed
  for (;;) {
    if (position_ == fill_ && !FillBlock()) {
      if (end_of_data_) break;
      if (copying && in_line) output->StopAtFailedRead();
      return false;
    }
    const char* from = block_ + position_;
    const char* to = block_ + fill_;
    std::size_t room = 0;
    if (char* into = copying ? output->RunRoom(&room) : nullptr; into != nullptr) {
      // Most of a run goes straight into the output's block; its last bytes, and the lines that
      // fill the block up, go the way below, which writes whole blocks out.
      std::size_t put = 0;
      std::size_t taken = scan::CopyRun(from, to, line_start, first, into, room, &put);
      if (taken > 0) {
        position_ += taken;
        output->TookRun(put);
        in_line = from[taken - 1] != '\n';
        line_start = !in_line;
        continue;
      }
    }
    const char* stop = scan::FindRunStop(from, to, line_start, first, copying);
    if (stop != from) {
      std::size_t count = static_cast<std::size_t>(stop - from);
      position_ += count;
      in_line = stop[-1] != '\n';
      line_start = !in_line;
      if (copying && !output->WriteRun(from, count)) return false;
      if (stop == to) continue;
    }
    const char c = *stop;
    if (c == kEndOfText) break;
    if (line_start && first >= 0 && (c == '\r' || c == prefix[0])) {
      // A line that may start with the prefix. Most hold no CR there and lie in the block:
      // compare in place. Otherwise read its first characters as ReadLine does.
      if (fill_ - position_ >= length && std::memchr(stop, '\r', length) == nullptr) {
        if (std::memcmp(stop, prefix.data(), length) == 0) {
          position_ += length;
          return true;
        }
        ++position_;  // the run goes on behind the first byte
        if (copying && !output->WriteRun(stop, 1)) return false;
      } else {
        char head[16];
        std::size_t got = ReadLine(head, length < sizeof head ? length : sizeof head);
        if (IoResult() != 0) {  // a failed read, as above
          if (copying && (in_line || got > 0)) output->StopAtFailedRead({head, got});
          return false;
        }
        if (got == length && std::memcmp(head, prefix.data(), length) == 0) return true;
        if (copying && !output->WriteRun(head, got)) return false;
      }
      line_start = false;
      in_line = true;
      continue;
    }
    if (c == '\n') {  // an LF alone: the line end is written CR LF
      ++position_;
      line_start = true;
      in_line = false;
      if (copying && !output->WriteRun("\r\n", 2)) return false;
      continue;
    }
    // A CR with no LF behind it in the block: look at the next block's first byte.
    if (position_ + 1 == fill_ && !FillBlock() && !end_of_data_) {
      if (copying) output->StopAtFailedRead();
      return false;
    }
    if (position_ + 1 < fill_ && block_[position_ + 1] == '\n') {
      position_ += 2;
      line_start = true;
      in_line = false;
      if (copying && !output->WriteRun("\r\n", 2)) return false;
      continue;
    }
    ++position_;  // a lone CR is dropped
    in_line = true;
  }
  if (copying && in_line) output->EndLine();  // the last line had no line end
  return false;
}

}  // namespace kg
