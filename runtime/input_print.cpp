// The print of a named input read unheld: the bytes as they are read, the count's print, the check.
#include "runtime/input_print.h"

#include <algorithm>

#include "runtime/io_result.h"

namespace kg {

namespace {

namespace pf = platform;

// The most bytes one positional read of the print asks for.
constexpr std::size_t kPrintReadSize = 64 * 1024;

}  // namespace

void InputPrint::Stop() {
  *this = InputPrint();
}

void InputPrint::Start() {
  Stop();
  on_ = true;
}

void InputPrint::Rewind() {
  print_.Reset();  // the bytes are read and printed again from the first
  gap_ = false;
  ended_at_ = scan::kNowhere;
  rewound_ = counted_;
}

void InputPrint::Take(const char* bytes, std::size_t count, std::uint64_t at) {
  const std::uint64_t printed = print_.length();
  if (at > printed) {  // bytes were passed by unread: no print can tell of them any more
    gap_ = true;
    return;
  }
  const std::uint64_t known = printed - at;
  if (!gap_ && known < count) print_.Add(bytes + known, count - static_cast<std::size_t>(known));
}

void InputPrint::EndOfData(std::uint64_t at) {
  ended_at_ = std::min(ended_at_, at);
}

InputPrint::Kept InputPrint::KeepCounted(pf::HANDLE file, bool at_end_of_data) {
  if (!on_ || gap_) return Kept::kNotPrinted;
  if (!at_end_of_data && !ReadRest(file, scan::kNowhere)) return Kept::kReadFailed;
  counted_value_ = print_.Value();
  counted_length_ = print_.length();
  counted_ = true;
  return Kept::kKept;
}

InputPrint::Check InputPrint::CheckAtLetGo() const {
  if (!on_) return Check::kStamp;
  if (gap_) return Check::kNotCounted;
  if (!counted_ || !rewound_) return Check::kStamp;
  return ended_at_ < counted_length_ ? Check::kNotCounted : Check::kPrint;
}

bool InputPrint::ReadAgainAgrees(pf::HANDLE file) {
  if (!ReadRest(file, counted_length_ + 1)) return false;
  if (print_.length() == counted_length_ && print_.Value() == counted_value_) return true;
  SetIoResult(static_cast<std::int32_t>(pf::ERROR_SHARING_VIOLATION));
  return false;
}

bool InputPrint::ReadRest(pf::HANDLE file, std::uint64_t limit) {
  alignas(64) char buffer[kPrintReadSize];  // the system copies into an aligned address faster
  while (print_.length() < limit) {
    const std::uint64_t left = limit - print_.length();
    const pf::DWORD ask = static_cast<pf::DWORD>(std::min<std::uint64_t>(left, sizeof buffer));
    pf::DWORD got = 0;
    if (!pf::ReadFileAt(file, print_.length(), buffer, ask, &got)) {
      SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
      return false;
    }
    if (got == 0) break;
    print_.Add(buffer, got);
  }
  return true;
}

}  // namespace kg
