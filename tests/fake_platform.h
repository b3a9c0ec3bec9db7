// A platform layer held in memory, linked into the unit tests instead of the POSIX one.
//
// It keeps files, the standard streams' bytes and every write, shows reports by recording them,
// ends the process by throwing FakeExit, and fails any call on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runtime/platform/platform.h"

namespace kg::fake {

using platform::DWORD;
using platform::HANDLE;

// Thrown by ExitProcess, so that a test can run a whole exit in-process.
struct FakeExit {
  DWORD code;
};

// The calls a test can make fail.
enum class Call {
  kCreateFile,
  kReadFile,
  kWriteFile,
  kCloseHandle,
  kGetStdHandle,
  kSetFilePointer,
  kCopyFileRange,
  kKeepsWritersOut,
  kVerifyAndLetGo,
  kReadFileAt,
  kCount
};

// The target names WriteFile records for the standard output and error handles.
constexpr char kStdout[] = "<stdout>";
constexpr char kStderr[] = "<stderr>";

// One WriteFile call: the file name (or kStdout, kStderr) and the bytes it was asked to write.
struct WriteCall {
  std::string target;
  std::string bytes;
};

// One open for reading that lets no one write: its handle and file, and how many WriteFile calls
// had been made when VerifyAndLetGo checked it (`kNotLetGo` while it has not).
struct VerifiedOpen {
  static constexpr std::size_t kNotLetGo = ~std::size_t{0};
  HANDLE handle;
  std::string name;
  std::size_t let_go_after_writes = kNotLetGo;
};

// One MessageBoxA call; `output_size` is how many bytes standard output held when it was shown.
struct Box {
  std::string text;
  std::string caption;
  DWORD flags;
  std::size_t output_size;
};

// Where the executable's image lies and what it is called.
constexpr std::uintptr_t kModuleBase = 0x10000000;
constexpr std::uintptr_t kModuleSize = 0x40000000;
constexpr char kModulePath[] = "C:\\tools\\k_graft.exe";

// The handles GetStdHandle gives.
inline HANDLE const kInputHandle = reinterpret_cast<HANDLE>(std::uintptr_t{0x10});
inline HANDLE const kOutputHandle = reinterpret_cast<HANDLE>(std::uintptr_t{0x11});
inline HANDLE const kErrorHandle = reinterpret_cast<HANDLE>(std::uintptr_t{0x12});

struct State {
  // The file system: file contents by name, and the names of directories.
  std::map<std::string, std::string> files;
  std::set<std::string> directories;
  // Standard input bytes still to be read, and what reached standard output and error.
  std::string input;
  std::string output;
  std::string error;
  bool no_input = false;  // the process started without the handle
  bool no_output = false;
  DWORD input_type = platform::FILE_TYPE_PIPE;
  DWORD output_type = platform::FILE_TYPE_DISK;
  // Whether standard input or output is a console a person types into and reads (a terminal),
  // which GetConsoleMode tells; only a character device can be one: a FILE_TYPE_CHAR stream that
  // is none is another device, such as /dev/null.
  bool input_console = false;
  bool output_console = false;
  DWORD file_type = platform::FILE_TYPE_DISK;  // the type of every named file's handle
  std::size_t read_limit = 0;                  // most bytes one ReadFile delivers; 0: no limit
  // CopyFileRange copies (else it refuses, as on Windows), at most `copy_limit` bytes a call (0:
  // no limit).
  bool copies = false;
  std::size_t copy_limit = 0;
  // Run at the start of every call that can be made to fail, for a test that changes the files
  // while the tool works, as another process would.
  std::function<void(Call call)> before_call;
  // Files the system does not hold against writers from the open; a file put here after its open
  // lost its hold meanwhile (the system let a writer in), which VerifyAndLetGo then tells, as it
  // tells a file whose bytes differ from those at its open (for VERIFY_SIZE, whose size differs).
  std::set<std::string> unheld;
  std::optional<std::string> command_line;  // what GetCommandLineA gives; null when unset
  int box_answer = 1;                       // what MessageBoxA answers; 0: no box shown
  int argc = 0;
  char** argv = nullptr;

  // The injected failure: the `fail_at`th call of `fail_call` (and with `fail_onwards` every later
  // one too) fails with `fail_code`; a failing WriteFile first writes `fail_partial` bytes.
  Call fail_call = Call::kCount;
  int fail_at = 0;
  bool fail_onwards = false;
  DWORD fail_code = 0;
  std::size_t fail_partial = 0;

  // Observations.
  int calls[static_cast<int>(Call::kCount)] = {};
  bool failed = false;  // the injected failure happened (the observations below are of its first)
  DWORD failed_selector = 0;                            // the GetStdHandle argument that failed
  std::map<std::string, std::string> files_at_failure;  // the files just before it
  std::size_t output_at_failure = 0;                    // standard output's size just before it
  std::vector<WriteCall> writes;
  std::set<const void*> read_addresses;  // where each ReadFile of a named file put its bytes
  std::vector<VerifiedOpen> verified_opens;
  std::vector<Box> boxes;
  int open_handles = 0;  // handles from CreateFileA not yet closed
};

// The fake's state, for tests to arrange and inspect.
State& Fake();

// Restores the initial state: no files, empty streams, no failure, nothing recorded.
void Reset();

// Makes the `n`th call (counted from the last Reset) of `call` fail with `code`.
void FailAt(Call call, int n, DWORD code, std::size_t partial = 0);

// The number of `call` calls since the last Reset.
int Calls(Call call);

// The bytes of each WriteFile call on `target` (a file name, kStdout or kStderr), in order.
std::vector<std::string> WritesTo(const std::string& target);

}  // namespace kg::fake
