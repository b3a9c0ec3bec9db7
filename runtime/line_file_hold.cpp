// Line files held against writers and let go: the hold, the print of an input read unheld, and the
// let-go, where every input's text is verified before anything is said of it.
#include <algorithm>

#include "runtime/io_result.h"
#include "runtime/line_file.h"

namespace kg {

namespace {

namespace pf = platform;

// The most bytes one positional read of the print asks for.
constexpr std::size_t kPrintReadSize = 64 * 1024;

}  // namespace

bool LineFile::KeepsWritersOut() {
  return mode_ == Mode::kReading && pf::KeepsWritersOut(handle_) != 0;
}

void LineFile::StartPrint() {
  print_.Reset();
  printing_ = role_ == Role::kNamed && mode_ == Mode::kReading && !KeepsWritersOut();
}

void LineFile::PrintRead(const char* bytes, std::size_t count, std::uint64_t at) {
  const std::uint64_t printed = print_.length();
  if (at > printed) {  // bytes were passed by unread: no print can tell of them any more
    printing_ = false;
    return;
  }
  const std::uint64_t known = printed - at;
  if (known < count) print_.Add(bytes + known, count - static_cast<std::size_t>(known));
}

bool LineFile::PrintRest(std::uint64_t limit) {
  char buffer[kPrintReadSize];
  while (print_.length() < limit) {
    const std::uint64_t left = limit - print_.length();
    const pf::DWORD ask = static_cast<pf::DWORD>(std::min<std::uint64_t>(left, sizeof buffer));
    pf::DWORD got = 0;
    if (!pf::ReadFileAt(handle_, print_.length(), buffer, ask, &got)) {
      SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
      return false;
    }
    if (got == 0) break;
    print_.Add(buffer, got);
  }
  return true;
}

bool LineFile::KeepCountedPrint() {
  if (!printing_) return true;
  if (!end_of_data_ && !PrintRest(scan::kNowhere)) return false;
  counted_value_ = print_.Value();
  counted_length_ = print_.length();
  counted_print_ = true;
  return true;
}

void LineFile::VerifyAndLetGo() {
  if (mode_ != Mode::kReading || role_ != Role::kNamed) return;
  // Read again since its count, an input read unheld is verified by its bytes: the print of what
  // was read, with the rest of the file printed up to one byte past the counted length, must be
  // the count's. The size is compared first, so that a file grown or cut fails at once.
  const bool by_print = printing_ && counted_print_ && rewound_;
  printing_ = false;
  if (!pf::VerifyAndLetGo(handle_, by_print ? pf::VERIFY_SIZE : pf::VERIFY_SIZE_AND_TIME)) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    return;
  }
  if (!by_print || !PrintRest(counted_length_ + 1)) return;
  if (print_.length() != counted_length_ || print_.Value() != counted_value_) {
    SetIoResult(static_cast<std::int32_t>(pf::ERROR_SHARING_VIOLATION));
  }
}

}  // namespace kg
