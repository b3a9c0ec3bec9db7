// Tests of the Windows platform layer and the reports it shows, run as a Windows program (wine).
//
// The message box is caught by pointing this program's import of USER32!MessageBoxA at a
// recorder, so the test sees the exact owner, text, title and flags the runtime passes on.
#include "runtime/platform/platform.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/failures.h"
#include "runtime/report.h"

namespace pf = kg::platform;

namespace {

int passed = 0;
int failed = 0;

// Counts one check; prints what differed.
void Expect(bool ok, const char* what, const std::string& actual = {},
            const std::string& expected = {}) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("FAILED %s\n  actual:   [%s]\n  expected: [%s]\n", what, actual.c_str(),
              expected.c_str());
}

void ExpectText(const std::string& actual, const std::string& expected, const char* what) {
  Expect(actual == expected, what, actual, expected);
}

// What the last MessageBoxA call received, and what the recorder answers.
struct BoxCall {
  int calls = 0;
  HWND owner = reinterpret_cast<HWND>(1);
  std::string text, caption;
  UINT flags = 0;
  int answer = IDOK;
} box;
bool print_boxes = false;  // the second run prints each box as title|flags|text

int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT flags) {
  if (print_boxes) {
    std::printf("%s|%u|%s", caption, flags, text);
    std::fflush(stdout);
  }
  ++box.calls;
  box.owner = owner;
  box.text = text;
  box.caption = caption;
  box.flags = flags;
  return box.answer;
}

// Points this program's import of USER32!MessageBoxA at the recorder. False when not found.
bool CatchMessageBoxes() {
  auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
  for (; entry->Name != 0; ++entry) {
    if (_stricmp(reinterpret_cast<char*>(base + entry->Name), "user32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(by_name->Name), "MessageBoxA") != 0) continue;
      DWORD old_protection;
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                       &old_protection);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&RecordMessageBox);
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old_protection,
                       &old_protection);
      return true;
    }
  }
  return false;
}

// `value` as 8 (or more) uppercase hexadecimal digits.
std::string Hex8(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(value));
  return text;
}

const std::uintptr_t kModuleBase = reinterpret_cast<std::uintptr_t>(::GetModuleHandleA(nullptr));

void FailureReportBoxes() {
  // A code address in this program: the report names the module after its last backslash and
  // counts the offset from the module's load address.
  const void* location = reinterpret_cast<const void*>(&FailureReportBoxes);
  std::string where = "Exception EInOutError in module kg_win32_tests.exe at " +
                      Hex8(reinterpret_cast<std::uintptr_t>(location) - kModuleBase) + ".\r\n";
  struct {
    const char* message;
    const char* second_line;
  } cases[] = {{"File access denied", "File access denied.\r\n"},
               {"I/O error 32", "I/O error 32.\r\n"},
               {"Ends in a stop.", "Ends in a stop.\r\n"},
               {"", "\r\n"}};
  for (const auto& c : cases) {
    box = BoxCall{};
    kg::ShowFailureReport(kg::EInOutError(c.message, 5), location);
    Expect(box.calls == 1 && box.owner == nullptr, "failure report: one box, no owner window");
    ExpectText(box.caption, "Application Error", "failure report: title");
    ExpectText(box.text, where + c.second_line, "failure report: text");
    Expect(box.flags == (MB_OK | MB_ICONERROR | MB_TASKMODAL) && box.flags == 0x2010,
           "failure report: flags MB_OK | MB_ICONERROR | MB_TASKMODAL", Hex8(box.flags),
           "00002010");
  }

  // Memory that belongs to no module, committed or not: the executable, counted from 0x1000 (an
  // address below that wraps around, to 8 digits in a 32-bit build).
  void* region = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  for (const char* outside :
       {static_cast<const char*>(region) + 16, reinterpret_cast<const char*>(16)}) {
    char report[kg::kFailureReportCapacity];
    kg::ComposeFailureReport(kg::EInOutError("Disk full", 101), outside, report, sizeof report);
    ExpectText(report,
               "Exception EInOutError in module kg_win32_tests.exe at " +
                   Hex8(reinterpret_cast<std::uintptr_t>(outside) - 0x1000) + ".\r\nDisk full.\r\n",
               "failure report: location outside every module");
  }
  ::VirtualFree(region, 0, MEM_RELEASE);
}

// Without a desktop the box cannot be shown (wine answers -1, Windows 0): the title and the text
// then go to the standard error in one piece.
void ReportWithoutDesktop() {
  HANDLE read_end, write_end;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  ::CreatePipe(&read_end, &write_end, &inherit, 0);
  HANDLE saved = ::GetStdHandle(STD_ERROR_HANDLE);
  for (int answer : {0, -1}) {
    ::SetStdHandle(STD_ERROR_HANDLE, write_end);
    box = BoxCall{};
    box.answer = answer;
    int shown = pf::MessageBoxA(nullptr, "X", "Application Error", 0x2010);
    Expect(shown == 0, "no desktop: no box shown");
    kg::ShowFailureReport(kg::EInOutError("X", 5), nullptr);
    ::SetStdHandle(STD_ERROR_HANDLE, saved);
    char got[256] = {};
    DWORD count = 0;
    ::ReadFile(read_end, got, sizeof got - 1, &count, nullptr);
    ExpectText(std::string(got, count),
               "Application Error\r\nException EInOutError in module kg_win32_tests.exe at "
               "00000000.\r\nX.\r\n",
               "no desktop: report on the standard error");
  }
  ::CloseHandle(read_end);
  ::CloseHandle(write_end);
}

// The runtime error report ends the process, so it is checked in a second run of this program,
// which reports this function's address: the last 8 digits of its offset in this program.
void RuntimeErrorBox() {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, sizeof self);
  HANDLE read_end, write_end;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  ::CreatePipe(&read_end, &write_end, &inherit, 0);
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = write_end;
  start.hStdError = write_end;
  std::string command = std::string("\"") + self + "\" runtime-error";
  PROCESS_INFORMATION child{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &start, &child)) {
    Expect(false, "runtime error: second run started");
    return;
  }
  ::CloseHandle(write_end);
  std::string output;
  char chunk[256];
  DWORD count;
  while (::ReadFile(read_end, chunk, sizeof chunk, &count, nullptr) && count > 0)
    output.append(chunk, count);
  ::WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(child.hProcess, &code);
  ::CloseHandle(child.hProcess);
  ::CloseHandle(child.hThread);
  ::CloseHandle(read_end);
  Expect(code == 203, "runtime error: exit code 203", std::to_string(code), "203");
  ExpectText(output.substr(0, 29), "Error|0|Runtime error 203 at ",
             "runtime error: title and flags");
  ExpectText(output.substr(29),
             Hex8(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&RuntimeErrorBox) -
                                             kModuleBase)),
             "runtime error: 29-character text with the 8-digit offset of the location");
}

// Files: share modes, the literal probe, and the errors the messages are keyed on.
void FileCalls() {
  char directory[MAX_PATH];
  ::GetTempPathA(sizeof directory, directory);
  std::string base =
      std::string(directory) + "kg-win32-test-" + std::to_string(::GetCurrentProcessId());
  ::CreateDirectoryA(base.c_str(), nullptr);
  std::string first = base + "\\ab.mo";
  HANDLE out = pf::CreateFileA(first.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  pf::DWORD written = 0;
  Expect(pf::WriteFile(out, "line\r\n", 6, &written, nullptr) == 1 && written == 6,
         "WriteFile: all bytes written");
  pf::CloseHandle(out);

  HANDLE in = pf::CreateFileA(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE again = pf::CreateFileA(first.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  Expect(again == INVALID_HANDLE_VALUE && pf::GetLastError() == ERROR_SHARING_VIOLATION,
         "CreateFileA: an input open for reading cannot be recreated (32)",
         std::to_string(pf::GetLastError()), "32");
  char bytes[16];
  pf::DWORD got = 0;
  pf::ReadFile(in, bytes, 2, &got, nullptr);
  pf::DWORD at = 0;
  Expect(pf::ReadFileAt(in, 4, bytes + 2, sizeof bytes, &at) == 1 && at == 2 &&
             pf::ReadFileAt(in, 6, bytes, sizeof bytes, &at) == 1 && at == 0,
         "ReadFileAt: the bytes from an offset on, none at the end");
  pf::ReadFile(in, bytes + 2, sizeof bytes - 2, &got, nullptr);
  ExpectText(std::string(bytes, 2 + got), "line\r\n",
             "CreateFileA: the refused open truncated nothing; ReadFileAt moved no reader");
  Expect(pf::VerifyAndLetGo(in, pf::VERIFY_SIZE_AND_TIME) == 1 && pf::KeepsWritersOut(in) == 1,
         "VerifyAndLetGo: an unchanged input passes, and its share mode still keeps writers out");
  pf::CloseHandle(in);

  struct {
    std::string name;
    pf::DWORD error;
  } missing[] = {{base + "\\none.mo", ERROR_FILE_NOT_FOUND},
                 {base + "\\nodir\\none.mo", ERROR_PATH_NOT_FOUND},
                 {base, ERROR_FILE_NOT_FOUND}};  // a directory is no file to read
  for (const auto& m : missing) {
    HANDLE h = pf::CreateFileA(m.name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    Expect(h == INVALID_HANDLE_VALUE && pf::GetLastError() == m.error,
           ("CreateFileA: error code for " + m.name).c_str(), std::to_string(pf::GetLastError()),
           std::to_string(m.error));
  }

  struct {
    std::string name;
    bool present;
  } probes[] = {{first, true},
                {base + "\\a*.mo", false},
                {base + "\\a?.mo", false},
                {base + "\\AB.MO", true},
                {"", false}};
  for (const auto& p : probes) {
    pf::DWORD attributes = pf::GetFileAttributesA(p.name.c_str());
    bool present =
        attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    Expect(present == p.present, ("GetFileAttributesA: literal probe of " + p.name).c_str());
  }
  Expect((pf::GetFileAttributesA(base.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0,
         "GetFileAttributesA: a directory");
  ::DeleteFileA(first.c_str());
  ::RemoveDirectoryA(base.c_str());
}

// Command line, standard handles and the module path.
void ProcessCalls() {
  int count = -1;
  Expect(pf::GetArgumentList(&count) == nullptr && count == 0, "GetArgumentList: none");
  Expect(pf::GetCommandLineA() == ::GetCommandLineA(), "GetCommandLineA: the process's text");
  Expect(pf::GetStdHandle(12345) == INVALID_HANDLE_VALUE, "GetStdHandle: unknown selector");
  Expect(pf::GetFileType(nullptr) == FILE_TYPE_UNKNOWN, "GetFileType: null handle");

  char full[MAX_PATH], cut[6];
  pf::DWORD length = pf::GetModuleFileNameA(nullptr, full, sizeof full);
  Expect(length > 0 && std::strcmp(full + length - 19, "\\kg_win32_tests.exe") == 0,
         "GetModuleFileNameA: the executable's full path", full);
  Expect(pf::GetModuleFileNameA(nullptr, cut, sizeof cut) == 5 && std::strlen(cut) == 5 &&
             std::strncmp(cut, full, 5) == 0,
         "GetModuleFileNameA: cut to size - 1 and terminated", cut);
  Expect(std::strcmp(pf::kPathDelimiters, "\\/") == 0, "path delimiters");
}

}  // namespace

int main(int argc, char** argv) {
  if (!CatchMessageBoxes()) {
    std::printf("FAILED: the import of USER32!MessageBoxA was not found\n");
    return 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "runtime-error") == 0) {
    print_boxes = true;
    kg::RuntimeError(203, reinterpret_cast<const void*>(&RuntimeErrorBox));
  }
  FailureReportBoxes();
  ReportWithoutDesktop();
  RuntimeErrorBox();
  FileCalls();
  ProcessCalls();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
