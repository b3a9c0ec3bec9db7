// Line files below the runs: the copy inside the system of a section and the seek past one, where
// the count's notes allow them (count_notes.h) and only while the input is held against writers.
#include <algorithm>
#include <cstring>

#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/line_scan.h"

namespace kg {

namespace {

namespace pf = platform;

}  // namespace

bool LineFile::SkipToCountedMarker(std::string_view prefix) {
  const std::uint64_t here = Offset();
  const std::uint64_t to = notes_.SeekTarget(here, prefix);
  if (to == scan::kNowhere || !KeepsWritersOut()) return true;
  if (to <= read_offset_) {  // in the block
    position_ += static_cast<std::size_t>(to - here);
    return true;
  }
  if (!pf::SetFilePointerTo(handle_, to)) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    return false;
  }
  fill_ = position_ = 0;
  read_offset_ = to;
  end_of_data_ = false;
  return true;
}

bool LineFile::CopyInsideSystem(LineFile& output, std::string_view prefix) {
  const pf::HANDLE target = output.SystemCopyTarget();
  if (target == nullptr) return true;
  std::uint64_t here = Offset();  // a line start
  const std::uint64_t end = notes_.CopyEnd(here, prefix);
  if (end == scan::kNowhere) return true;
  // What fits into the output's block goes the normal way: so a failed write shows in the same
  // statement as if no copy were made inside the system.
  std::size_t room = 0;
  output.RunRoom(&room);
  if (end - std::min(end, here) < room || !KeepsWritersOut()) {
    return true;
  }
  const std::uint64_t start = here;
  // The unread bytes of the block go the normal way; then the handle stands where they end.
  std::size_t in_block = fill_ - position_;
  std::size_t take = end - here < in_block ? static_cast<std::size_t>(end - here) : in_block;
  if (take > 0 && !output.WriteBytes(block_ + position_, take)) return false;
  position_ += take;
  here += take;
  if (here == end) return true;
  if (!output.WriteOutBlock()) return false;  // the output's text stays in order
  while (here < end) {
    std::uint64_t copied = 0;
    if (!pf::CopyFileRange(handle_, target, end - here, &copied)) {
      // The output's own limits fail as a write-out does. Any other refusal only means the copy
      // is not to be had here: the normal path goes on from here, and a real fault meets it there.
      pf::DWORD error = pf::GetLastError();
      if (error != pf::ERROR_DISK_FULL_CODE && error != pf::ERROR_FILE_TOO_LARGE) break;
      output.StopTakingText(static_cast<std::int32_t>(error));
      return false;
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
      output.StopAtFailedRead();
      return false;
    }
    const char* from = block_ + position_;
    const void* lf = std::memchr(from, '\n', fill_ - position_);
    std::size_t count = lf != nullptr ? static_cast<const char*>(lf) + 1 - from : fill_ - position_;
    position_ += count;
    if (!output.WriteBytes(from, count)) return false;
    rest = lf == nullptr;
  }
  return true;
}

}  // namespace kg
