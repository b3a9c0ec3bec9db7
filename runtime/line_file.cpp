// Line files: opening, block reads and write-outs, the line syntax and the end-of-text rules.
#include "runtime/line_file.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/io_result.h"
#include "runtime/line_scan.h"

namespace kg {

namespace {

namespace pf = platform;

LineFile* pending_outputs = nullptr;

// The first byte in [from, to) equal to `a`, `b` or `c`, or `to` when there is none. One pass,
// thirty-two bytes at a time where SSE2 is there; the last bytes of a span that is not a multiple
// of sixteen are looked at through one overlapping load instead of a byte loop.
inline const char* FindFirstOf(const char* from, const char* to, char a, char b, char c) {
#if defined(__SSE2__)
  if (to - from >= 16) {
    const __m128i want_a = _mm_set1_epi8(a);
    const __m128i want_b = _mm_set1_epi8(b);
    const __m128i want_c = _mm_set1_epi8(c);
    // Bit i is set when at[i] is one of the three bytes.
    auto hits = [&](const char* at) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      __m128i hit = _mm_cmpeq_epi8(bytes, want_a);
      hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, want_b));
      if (c != b) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, want_c));
      return static_cast<unsigned>(_mm_movemask_epi8(hit));
    };
    for (; to - from >= 32; from += 32) {
      unsigned mask = hits(from) | hits(from + 16) << 16;
      if (mask != 0) return from + __builtin_ctz(mask);
    }
    if (to - from >= 16) {
      unsigned mask = hits(from);
      if (mask != 0) return from + __builtin_ctz(mask);
      from += 16;
    }
    if (from == to) return to;
    // The last sixteen bytes, of which the first 16 - (to - from) were looked at already.
    unsigned mask = hits(to - 16) >> (16 - (to - from));
    return mask != 0 ? from + __builtin_ctz(mask) : to;
  }
#endif
  while (from < to && *from != a && *from != b && *from != c) ++from;
  return from;
}

// The first byte in [from, to) that is LF, CR or 26, or `to` when there is none.
inline const char* FindLineStop(const char* from, const char* to) {
  return FindFirstOf(from, to, '\n', '\r', kEndOfText);
}

}  // namespace

LineFile::LineFile(std::size_t block_size)
    : role_(Role::kNamed),
      mode_(Mode::kUnbound),
      size_(block_size < 2 ? 2 : block_size),
      owned_block_(new char[size_]) {
  block_ = owned_block_.get();
}

LineFile::LineFile(Role console_role)
    : role_(console_role), mode_(Mode::kClosed), size_(kConsoleBlockSize), block_(console_block_) {}

LineFile::~LineFile() {
  Unregister();
}

void LineFile::Bind(std::string_view name) {
  Unregister();
  name_.assign(name.data(), name.size());
  mode_ = Mode::kClosed;
  handle_ = nullptr;
  standard_handle_ = false;
  write_through_ = false;
  write_error_ = 0;
  end_of_data_ = false;
  disk_ = false;
  copy_spoiled_ = false;
  counted_.valid = false;
  read_offset_ = 0;
  fill_ = position_ = 0;
}

void LineFile::OpenForReading() {
  if (mode_ == Mode::kReading && role_ == Role::kNamed) {
    Rewind();
    return;
  }
  Open(Mode::kReading, Creation::kReplace);
}

void LineFile::OpenForWriting(Creation creation) {
  Open(Mode::kWriting, creation);
}

void LineFile::Rewind() {
  fill_ = position_ = 0;
  end_of_data_ = false;
  copy_spoiled_ = false;
  read_offset_ = 0;
  if (pf::SetFilePointer(handle_, 0, nullptr, pf::FILE_BEGIN) == pf::INVALID_SET_FILE_POINTER) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    pf::CloseHandle(handle_);
    handle_ = nullptr;
    mode_ = Mode::kClosed;
  }
}

void LineFile::Open(Mode direction, Creation creation) {
  if (mode_ == Mode::kUnbound) {
    SetIoResult(kIoNotBound);
    return;
  }
  if (mode_ == Mode::kReading || mode_ == Mode::kWriting) Close();
  Unregister();
  mode_ = Mode::kClosed;
  fill_ = position_ = 0;
  end_of_data_ = false;
  write_through_ = false;
  write_error_ = 0;
  disk_ = false;
  copy_spoiled_ = false;
  read_offset_ = 0;
  bool writing = direction == Mode::kWriting;
  if (writing) counted_.valid = false;

  pf::HANDLE handle;
  if (name_.empty()) {
    handle = pf::GetStdHandle(writing ? pf::STD_OUTPUT_HANDLE : pf::STD_INPUT_HANDLE);
    standard_handle_ = true;
  } else if (name_.find('\0') != std::string::npos) {
    SetIoResult(static_cast<std::int32_t>(pf::ERROR_PATH_NOT_FOUND));  // no file has this name
    return;
  } else {
    handle = pf::CreateFileA(name_.c_str(), writing ? pf::GENERIC_WRITE : pf::GENERIC_READ,
                             pf::FILE_SHARE_READ, nullptr,
                             !writing                         ? pf::OPEN_EXISTING
                             : creation == Creation::kReplace ? pf::CREATE_ALWAYS
                                                              : pf::CREATE_NEW,
                             pf::FILE_ATTRIBUTE_NORMAL, nullptr);
    standard_handle_ = false;
  }
  if (handle == pf::INVALID_HANDLE_VALUE) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    return;
  }
  if (writing) {
    pf::DWORD type = pf::GetFileType(handle);
    if (type == pf::FILE_TYPE_UNKNOWN) {
      if (!standard_handle_) pf::CloseHandle(handle);
      SetIoResult(kIoNotOpenForOutput);
      return;
    }
    write_through_ = type == pf::FILE_TYPE_CHAR;
    disk_ = type == pf::FILE_TYPE_DISK;
  }
  handle_ = handle;
  mode_ = direction;
  if (writing) Register();
}

bool LineFile::ReadyToRead() {
  if (mode_ != Mode::kReading && role_ == Role::kStandardInput) {
    Open(Mode::kReading, Creation::kReplace);
  }
  if (mode_ == Mode::kReading) return true;
  SetIoResult(kIoNotOpenForInput);
  return false;
}

bool LineFile::ReadyToWrite() {
  if (mode_ != Mode::kWriting && role_ == Role::kStandardOutput) {
    Open(Mode::kWriting, Creation::kReplace);
  }
  if (mode_ != Mode::kWriting) {
    SetIoResult(kIoNotOpenForOutput);
    return false;
  }
  if (write_error_ != 0) {  // text was lost: nothing may follow the gap
    SetIoResult(write_error_);
    return false;
  }
  return true;
}

bool LineFile::FillBlock() {
  if (end_of_data_) return position_ < fill_;
  std::size_t kept = fill_ - position_;
  if (kept == size_) return true;  // nothing can be added behind a full block of unread bytes
  std::memmove(block_, block_ + position_, kept);
  position_ = 0;
  fill_ = kept;
  pf::DWORD got = 0;
  if (!pf::ReadFile(handle_, block_ + kept, static_cast<pf::DWORD>(size_ - kept), &got, nullptr)) {
    pf::DWORD error = pf::GetLastError();
    if (error != pf::ERROR_BROKEN_PIPE) {
      SetIoResult(static_cast<std::int32_t>(error));
      return false;
    }
    got = 0;  // the writer of a pipe has gone: the end of the data
  }
  if (got == 0) {
    end_of_data_ = true;
    return false;
  }
  fill_ += got;
  read_offset_ += got;
  return true;
}

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
    const char* stop = FindFirstOf(from, block_ + fill_, '\n', kEndOfText, kEndOfText);
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
      if (!end_of_data_) CutAtFailedRead(output);
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
      CutAtFailedRead(output);
      return;
    }
    if (position_ + 1 < fill_ && block_[position_ + 1] == '\n') return;
    ++position_;  // a lone CR is dropped
  }
}

std::int64_t LineFile::CountLines(std::string_view marker) {
  if (!ReadyToRead()) return 0;
  counted_.valid = false;
  // What the merge may rely on is noted only for a count of the whole text from the first byte,
  // of a file that no one could write meanwhile.
  const bool noting = Offset() == 0 && marker.size() <= sizeof counted_.marker;
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
  if (noting && whole && Held()) {
    std::memcpy(counted_.marker, marker.data(), marker.size());
    counted_.marker_length = marker.size();
    counted_.marker_start = state.marker == scan::kNowhere ? end : state.marker;
    counted_.text_end = end;
    counted_.first_flaw = state.first_flaw;
    counted_.last_flaw = state.last_flaw;
    counted_.first_lone_cr = state.first_lone_cr;
    counted_.valid = true;
  }
  return static_cast<std::int64_t>(lines);
}

bool LineFile::CopyLinesUntil(LineFile& output, std::string_view prefix) {
  return PassLinesUntil(&output, prefix);
}

bool LineFile::SkipLinesUntil(std::string_view prefix) {
  return PassLinesUntil(nullptr, prefix);
}

bool LineFile::PassLinesUntil(LineFile* output, std::string_view prefix) {
  if (!ReadyToRead()) return false;
  if (output != nullptr) {
    Copied copied = CopyInsideSystem(*output, prefix);
    if (copied != Copied::kGoOn) return false;
  }
  const std::size_t length = prefix.size();
  const int first = length == 0 ? -1 : static_cast<unsigned char>(prefix[0]);
  const bool copying = output != nullptr;
  bool line_start = true;  // nothing of the current line has been read but lone CRs
  bool in_line = false;    // some byte of the current line has been consumed
  if (!copying && !SkipToCountedMarker(prefix)) return false;
  for (;;) {
    if (position_ == fill_ && !FillBlock()) {
      if (end_of_data_) break;
      if (copying && in_line) CutAtFailedRead(*output);
      return false;
    }
    const char* from = block_ + position_;
    const char* to = block_ + fill_;
    if (copying && output->mode_ == Mode::kWriting && !output->write_through_ &&
        output->write_error_ == 0) {
      // Most of a run goes straight into the output's block; its last bytes, and the lines that
      // fill the block up, go the way below, which writes whole blocks out.
      std::size_t put = 0;
      std::size_t taken = scan::CopyRun(from, to, line_start, first, output->block_ + output->fill_,
                                        output->size_ - output->fill_, &put);
      if (taken > 0) {
        position_ += taken;
        output->fill_ += put;
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
          if (copying && (in_line || got > 0)) CutAtFailedRead(*output, {head, got});
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
      if (copying) CutAtFailedRead(*output);
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

bool LineFile::CopySpoiled() const {
  return copy_spoiled_;
}

bool LineFile::SkipToCountedMarker(std::string_view prefix) {
  if (!counted_.valid || prefix != std::string_view(counted_.marker, counted_.marker_length) ||
      counted_.first_lone_cr < counted_.marker_start) {
    return true;
  }
  const std::uint64_t here = Offset();
  const std::uint64_t to = counted_.marker_start;
  if (to <= here || !Held()) return true;
  if (to <= read_offset_) {  // in the block
    position_ += static_cast<std::size_t>(to - here);
    return true;
  }
  pf::LONG high = static_cast<pf::LONG>(to >> 32);
  pf::SetLastError(0);  // a position whose low half is all ones is no failure
  if (pf::SetFilePointer(handle_, static_cast<pf::LONG>(to & 0xFFFFFFFFu), &high, pf::FILE_BEGIN) ==
          pf::INVALID_SET_FILE_POINTER &&
      pf::GetLastError() != 0) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    return false;
  }
  fill_ = position_ = 0;
  read_offset_ = to;
  end_of_data_ = false;
  return true;
}

bool LineFile::Held() {
  return mode_ == Mode::kReading && pf::IsHeldAgainstWriters(handle_) != 0;
}

void LineFile::LetWritersIn() {
  if (mode_ == Mode::kReading && role_ == Role::kNamed) pf::LetWritersIn(handle_);
}

void LineFile::CutAtFailedRead(LineFile& output, std::string_view read_before) {
  const std::int32_t code = IoResult();
  if (output.mode_ == Mode::kWriting && output.write_error_ == 0) {
    if (output.Append(read_before.data(), read_before.size())) output.WriteOutBlock();
  }
  output.StopTakingText(code);
}

LineFile::Copied LineFile::CopyInsideSystem(LineFile& output, std::string_view prefix) {
  if (!counted_.valid || output.mode_ != Mode::kWriting || !output.disk_ || output.write_through_) {
    return Copied::kGoOn;
  }
  std::uint64_t here = Offset();  // a line start
  std::uint64_t end;
  if (!prefix.empty()) {  // up to the first marker line, when nothing before it is a flaw
    if (prefix != std::string_view(counted_.marker, counted_.marker_length)) return Copied::kGoOn;
    end = counted_.marker_start;
    if (counted_.first_flaw < end) return Copied::kGoOn;
  } else {  // to the end of the text, when nothing from here on is a flaw
    end = counted_.text_end;
    if (counted_.last_flaw != scan::kNowhere && counted_.last_flaw >= here) return Copied::kGoOn;
  }
  // What fits into the output's block goes the normal way: so a failed write shows in the same
  // statement as if no copy were made inside the system.
  if (end - std::min(end, here) < output.size_ - output.fill_ || !Held()) {
    return Copied::kGoOn;
  }
  const std::uint64_t start = here;
  // The unread bytes of the block go the normal way; then the handle stands where they end.
  std::size_t in_block = fill_ - position_;
  std::size_t take = end - here < in_block ? static_cast<std::size_t>(end - here) : in_block;
  if (take > 0 && !output.WriteBytes(block_ + position_, take)) return Copied::kFailed;
  position_ += take;
  here += take;
  if (here == end) return Copied::kGoOn;
  if (!output.WriteOutBlock()) return Copied::kFailed;  // the output's text stays in order
  while (here < end) {
    std::uint64_t copied = 0;
    if (!pf::CopyFileRange(handle_, output.handle_, end - here, &copied)) {
      // The output's own limits fail as a write-out does. Any other refusal only means the copy
      // is not to be had here: the normal path goes on from here, and a real fault meets it there.
      pf::DWORD error = pf::GetLastError();
      if (error != pf::ERROR_DISK_FULL_CODE && error != pf::ERROR_FILE_TOO_LARGE) break;
      output.StopTakingText(static_cast<std::int32_t>(error));
      return Copied::kFailed;
    }
    if (copied == 0) break;  // the file is shorter than counted: the normal path sees how
    here += copied;
    read_offset_ += copied;
  }
  // A copy cut short may stop inside a line, even between its CR and LF: the line's rest, canonical
  // too, goes through the block unchanged, so that the normal path goes on at a line start.
  for (bool rest = here != start && here < end; rest;) {
    if (position_ == fill_ && !FillBlock()) {
      if (end_of_data_) break;  // shorter than counted: see below
      CutAtFailedRead(output);
      return Copied::kFailed;
    }
    const char* from = block_ + position_;
    const void* lf = std::memchr(from, '\n', fill_ - position_);
    std::size_t count = lf != nullptr ? static_cast<const char*>(lf) + 1 - from : fill_ - position_;
    position_ += count;
    if (!output.WriteBytes(from, count)) return Copied::kFailed;
    rest = lf == nullptr;
  }
  // A writer that asked for the file meanwhile may have changed it, if the system stopped waiting
  // for this process; so may one that the system let in during a long copy.
  if (!Held()) {
    copy_spoiled_ = true;
    return Copied::kSpoiled;
  }
  return Copied::kGoOn;
}

bool LineFile::WriteBytes(const char* bytes, std::size_t count) {
  return ReadyToWrite() && Append(bytes, count);
}

bool LineFile::WriteRun(const char* bytes, std::size_t count) {
  return WriteBytes(bytes, count) && (!write_through_ || WriteOutBlock());
}

void LineFile::WriteText(std::string_view text, int width) {
  if (!ReadyToWrite()) return;
  for (std::size_t blanks = width > 0 && static_cast<std::size_t>(width) > text.size()
                                ? static_cast<std::size_t>(width) - text.size()
                                : 0;
       blanks > 0; --blanks) {
    if (!Append(" ", 1)) return;
  }
  Append(text.data(), text.size());
}

void LineFile::WriteChar(char c) {
  if (!ReadyToWrite()) return;
  if (fill_ == size_ && !WriteOutBlock()) return;
  block_[fill_++] = c;
}

void LineFile::WriteInteger(std::int64_t value, int width) {
  char digits[24];
  std::size_t count = 0;
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[sizeof digits - 1 - count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[sizeof digits - 1 - count++] = '-';
  WriteText(std::string_view(digits + sizeof digits - count, count), width);
}

void LineFile::EndLine() {
  if (ReadyToWrite()) Append("\r\n", 2);
  Flush();
}

void LineFile::Flush() {
  switch (mode_) {
    case Mode::kWriting:
      if (write_through_) WriteOutBlock();
      return;
    case Mode::kReading:
      return;
    default:
      if (role_ != Role::kStandardOutput) SetIoResult(kIoNotOpen);
      return;
  }
}

void LineFile::WriteOut() {
  if (mode_ != Mode::kWriting) {
    SetIoResult(kIoNotOpenForOutput);
    return;
  }
  WriteOutBlock();
}

void LineFile::Close() {
  if (mode_ != Mode::kReading && mode_ != Mode::kWriting) {
    if (role_ != Role::kStandardInput) SetIoResult(kIoNotOpen);
    return;
  }
  if (mode_ == Mode::kWriting && write_error_ != 0) {
    // Text was lost earlier: say so again, but release the file, as nothing can be written out.
    SetIoResult(write_error_);
  } else if (mode_ == Mode::kWriting && !WriteOutBlock()) {
    return;
  }
  if (role_ != Role::kNamed) return;  // a console stream stays open with its handle
  Unregister();
  pf::HANDLE handle = handle_;
  bool close_handle = !standard_handle_;
  handle_ = nullptr;
  mode_ = Mode::kClosed;
  fill_ = position_ = 0;
  end_of_data_ = false;
  if (close_handle && !pf::CloseHandle(handle)) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
  }
}

void LineFile::Restart() {
  if (mode_ != Mode::kWriting) {
    SetIoResult(kIoNotOpenForOutput);
    return;
  }
  fill_ = 0;
  pf::LONG high = 0;
  pf::SetLastError(0);
  if ((pf::SetFilePointer(handle_, 0, &high, pf::FILE_BEGIN) == pf::INVALID_SET_FILE_POINTER &&
       pf::GetLastError() != 0) ||
      !pf::SetEndOfFile(handle_)) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
  }
}

bool LineFile::Append(const char* bytes, std::size_t count) {
  while (count > 0) {
    std::size_t room = size_ - fill_;
    std::size_t part = count < room ? count : room;
    std::memcpy(block_ + fill_, bytes, part);
    fill_ += part;
    bytes += part;
    count -= part;
    if (fill_ == size_ && !WriteOutBlock()) return false;
  }
  return true;
}

bool LineFile::WriteOutBlock() {
  if (write_error_ != 0) {  // an earlier write-out failed: nothing may follow the gap
    fill_ = 0;
    SetIoResult(write_error_);
    return false;
  }
  if (fill_ == 0) return true;
  pf::DWORD written = 0;
  bool ok = pf::WriteFile(handle_, block_, static_cast<pf::DWORD>(fill_), &written, nullptr) != 0;
  fill_ = 0;
  if (!ok) StopTakingText(static_cast<std::int32_t>(pf::GetLastError()));
  return ok;
}

void LineFile::StopTakingText(std::int32_t code) {
  if (mode_ != Mode::kWriting) return;
  // A failure without a reason still loses text, so it must not read as success.
  write_error_ = code != 0 ? code : static_cast<std::int32_t>(pf::ERROR_IO_DEVICE);
  SetIoResult(write_error_);
}

void LineFile::Register() {
  if (role_ != Role::kNamed || registered_) return;
  next_pending_ = pending_outputs;
  pending_outputs = this;
  registered_ = true;
}

void LineFile::Unregister() {
  if (!registered_) return;
  for (LineFile** link = &pending_outputs; *link != nullptr; link = &(*link)->next_pending_) {
    if (*link == this) {
      *link = next_pending_;
      break;
    }
  }
  next_pending_ = nullptr;
  registered_ = false;
}

void LineFile::WriteOutAllPending() {
  for (LineFile* file = pending_outputs; file != nullptr; file = file->next_pending_) {
    if (file->mode_ == Mode::kWriting) file->WriteOutBlock();
  }
}

}  // namespace kg
