// Composing and showing the failure report and the runtime error report.
#include "runtime/report.h"

#include <cstdint>
#include <cstring>

#include "runtime/platform/platform.h"
#include "runtime/process.h"

namespace kg {

namespace {

// Appends to a fixed buffer, cutting whatever does not fit; the buffer keeps room for a zero.
class FixedText {
 public:
  FixedText(char* storage, std::size_t capacity) : storage_(storage), capacity_(capacity) {}

  void Append(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length && length_ + 1 < capacity_; ++i)
      storage_[length_++] = text[i];
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }
  // Appends `value` in uppercase hexadecimal, at least `digits` digits with leading zeros.
  void AppendHex(std::uintptr_t value, int digits) {
    char hex[2 * sizeof value];
    int count = 0;
    do {
      hex[count++] = "0123456789ABCDEF"[value % 16];
      value /= 16;
    } while (value != 0);
    for (int i = count; i < digits; ++i) Append("0", 1);
    while (count > 0) Append(&hex[--count], 1);
  }
  std::size_t Finish() {
    if (capacity_ > 0) storage_[length_] = '\0';
    return length_;
  }

 private:
  char* storage_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

constexpr std::uintptr_t kDefaultImageBase = 0x1000;

// Finds the module holding `location`: its full path and the offset of `location` in it.
std::uintptr_t LocateModule(const void* location, char* module_path, platform::DWORD size) {
  platform::MEMORY_BASIC_INFORMATION info{};
  if (location != nullptr && platform::VirtualQuery(location, &info, sizeof info) == sizeof info &&
      info.State == platform::MEM_COMMIT &&
      platform::GetModuleFileNameA(info.AllocationBase, module_path, size) != 0) {
    return reinterpret_cast<std::uintptr_t>(location) -
           reinterpret_cast<std::uintptr_t>(info.AllocationBase);
  }
  if (platform::GetModuleFileNameA(nullptr, module_path, size) == 0) module_path[0] = '\0';
  if (location == nullptr) return 0;
  return reinterpret_cast<std::uintptr_t>(location) - kDefaultImageBase;
}

// The part of `path` after its last directory delimiter.
const char* BaseName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (std::strchr(platform::kPathDelimiters, *p) != nullptr) name = p + 1;
  }
  return name;
}

// Shows a titled report in a box; where no box can be shown (no desktop, or a platform without
// boxes) the title and the text go to the standard error in one write, each ended by a line end.
void ShowReport(const char* text, const char* title, platform::DWORD flags) {
  if (platform::MessageBoxA(nullptr, text, title, flags) > 0) return;
  char report[kFailureReportCapacity + 64];
  FixedText shown(report, sizeof report);
  shown.Append(title);
  shown.Append("\r\n");
  shown.Append(text);
  std::size_t length = shown.Finish();
  if (length < 2 || report[length - 2] != '\r' || report[length - 1] != '\n') {
    shown.Append("\r\n");
    length = shown.Finish();
  }
  platform::DWORD written = 0;
  platform::WriteFile(platform::GetStdHandle(platform::STD_ERROR_HANDLE), report,
                      static_cast<platform::DWORD>(length), &written, nullptr);
}

}  // namespace

std::size_t ComposeFailureReport(const Exception& failure, const void* location, char* report,
                                 std::size_t capacity) {
  char module_path[261];
  std::uintptr_t offset = LocateModule(location, module_path, sizeof module_path);
  const std::string& message = failure.MessageText();
  bool needs_stop = !message.empty() && message.back() != '.';

  FixedText text(report, capacity);
  text.Append("Exception ");
  text.Append(failure.ClassName());
  text.Append(" in module ");
  text.Append(BaseName(module_path));
  text.Append(" at ");
  text.AppendHex(offset, 8);
  text.Append(".\r\n");
  text.Append(message.data(), message.size());
  if (needs_stop) text.Append(".");
  text.Append("\r\n");
  return text.Finish();
}

void ShowFailureReport(const Exception& failure, const void* location) {
  char report[kFailureReportCapacity];
  ComposeFailureReport(failure, location, report, sizeof report);
  ShowReport(report, kFailureReportTitle,
             platform::MB_OK | platform::MB_ICONERROR | platform::MB_TASKMODAL);
}

std::size_t ComposeRuntimeErrorReport(int number, const void* location, char* report) {
  std::memcpy(report, "Runtime error     at 00000000", 30);
  char module_path[261];
  std::uintptr_t where = LocateModule(location, module_path, sizeof module_path);
  // The number ends at the 17th character, the location at the 29th.
  unsigned value = number < 0 ? 0u : static_cast<unsigned>(number);
  for (int at = 16; at >= 14; --at) {
    report[at] = static_cast<char>('0' + value % 10);
    value /= 10;
    if (value == 0) break;
  }
  for (int at = 28; at >= 21; --at) {
    report[at] = "0123456789ABCDEF"[where % 16];
    where /= 16;
  }
  return 29;
}

void RuntimeError(int number, const void* location) {
  char report[30];
  ComposeRuntimeErrorReport(number, location, report);
  ShowReport(report, kRuntimeErrorTitle, platform::MB_OK);
  RunShutdownSteps();
  platform::ExitProcess(static_cast<platform::DWORD>(number));
}

}  // namespace kg
