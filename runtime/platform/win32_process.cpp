// The process on Windows: start-up, standard handles, last error, command line, module, exit.
//
// The module's path and code addresses serve the failure report, which a message box shows.
#include "runtime/platform/win32_internal.h"

namespace kg::platform {

const char kPathDelimiters[] = "\\/";

void InitializeProcess(int /*argc*/, char** /*argv*/) {
  // Windows hands over one command-line text, keeps the standard handles apart from the handles
  // that CreateFileA returns, and has no signal for a pipe whose reader has gone.
}

HANDLE GetStdHandle(DWORD which) {
  return ::GetStdHandle(which);
}

DWORD GetLastError() {
  return static_cast<DWORD>(::GetLastError());
}

void SetLastError(DWORD code) {
  ::SetLastError(code);
}

const char* GetCommandLineA() {
  return ::GetCommandLineA();
}

char* const* GetArgumentList(int* count) {
  *count = 0;
  return nullptr;
}

DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size) {
  if (size == 0) return 0;
  ::DWORD length = ::GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
  if (length >= size) {  // cut: older systems leave the text unterminated
    length = size - 1;
    buffer[length] = '\0';
  }
  return static_cast<DWORD>(length);
}

std::size_t VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, std::size_t size) {
  if (size < sizeof *info) return 0;
  ::MEMORY_BASIC_INFORMATION region;
  if (address == nullptr || ::VirtualQuery(address, &region, sizeof region) != sizeof region) {
    *info = MEMORY_BASIC_INFORMATION{nullptr, nullptr, 0};
    return 0;
  }
  *info = MEMORY_BASIC_INFORMATION{region.BaseAddress, region.AllocationBase,
                                   static_cast<DWORD>(region.State)};
  return sizeof *info;
}

int MessageBoxA(HANDLE owner, const char* text, const char* caption, DWORD type) {
  // 0 when no box could be shown (wine without a desktop answers -1; that is no box either).
  int answer = ::MessageBoxA(static_cast<HWND>(owner), text, caption, type);
  return answer > 0 ? answer : 0;
}

void ExitProcess(DWORD exit_code) {
  ::ExitProcess(exit_code);
}

}  // namespace kg::platform
