// The in-memory platform layer of the unit tests: every platform call, over the state in Fake().
#include "tests/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kg::platform {

const char kPathDelimiters[] = "\\";

}  // namespace kg::platform

namespace kg::fake {

namespace pf = platform;

namespace {

State state;
DWORD last_error = 0;

// A handle from CreateFileA: the file, what it does, what it lets others do, where it reads.
struct OpenFile {
  std::string name;
  DWORD access;
  DWORD share;
  std::size_t position = 0;
  bool held = false;       // held against writers since the open (see KeepsWritersOut)
  bool verifying = false;  // no one may write: its text is verified at its let-go
  std::string at_open;     // the file's bytes at the open
};
std::map<std::uintptr_t, OpenFile> open_files;
std::uintptr_t next_handle = 0x100;
std::size_t input_position = 0;

// Counts a call; true when it is the one that must fail (its code is then the last error).
bool Injected(Call call) {
  if (state.before_call) state.before_call(call);
  int count = ++state.calls[static_cast<int>(call)];
  if (call != state.fail_call || count < state.fail_at ||
      (count > state.fail_at && !state.fail_onwards)) {
    return false;
  }
  if (!state.failed) {
    state.failed = true;
    state.files_at_failure = state.files;
    state.output_at_failure = state.output.size();
  }
  last_error = state.fail_code;
  return true;
}

OpenFile* Find(HANDLE handle) {
  auto found = open_files.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == open_files.end() ? nullptr : &found->second;
}

// True when one side's access is allowed by what the other side shares.
bool Permits(DWORD access, DWORD share) {
  return (!(access & pf::GENERIC_READ) || (share & pf::FILE_SHARE_READ)) &&
         (!(access & pf::GENERIC_WRITE) || (share & pf::FILE_SHARE_WRITE));
}

}  // namespace

State& Fake() {
  return state;
}

void Reset() {
  state = State{};
  last_error = 0;
  open_files.clear();
  next_handle = 0x100;
  input_position = 0;
}

void FailAt(Call call, int n, DWORD code, std::size_t partial) {
  state.fail_call = call;
  state.fail_at = n;
  state.fail_code = code;
  state.fail_partial = partial;
}

int Calls(Call call) {
  return state.calls[static_cast<int>(call)];
}

std::vector<std::string> WritesTo(const std::string& target) {
  std::vector<std::string> found;
  for (const WriteCall& call : state.writes) {
    if (call.target == target) found.push_back(call.bytes);
  }
  return found;
}

}  // namespace kg::fake

namespace kg::platform {

using fake::Call;
using fake::Injected;
using fake::state;

void InitializeProcess(int argc, char** argv) {
  state.argc = argc;
  state.argv = argv;
}

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void* /*security*/,
                   DWORD creation_disposition, DWORD /*flags*/, HANDLE /*template_file*/) {
  if (Injected(Call::kCreateFile)) return INVALID_HANDLE_VALUE;
  std::string file(name);
  if (state.directories.count(file) != 0) {
    fake::last_error = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  bool exists = state.files.count(file) != 0;
  if (!exists && creation_disposition == OPEN_EXISTING) {
    fake::last_error = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (exists && creation_disposition == CREATE_NEW) {
    fake::last_error = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
  }
  for (const auto& [handle, open] : fake::open_files) {
    if (open.name == file &&
        (!fake::Permits(desired_access, open.share) || !fake::Permits(open.access, share_mode))) {
      fake::last_error = ERROR_SHARING_VIOLATION;
      return INVALID_HANDLE_VALUE;
    }
  }
  if (creation_disposition != OPEN_EXISTING) state.files[file].clear();
  std::uintptr_t handle = fake::next_handle++;
  bool verifying = !(desired_access & GENERIC_WRITE) && !(share_mode & FILE_SHARE_WRITE);
  bool held = verifying && state.unheld.count(file) == 0;
  fake::open_files[handle] =
      fake::OpenFile{file, desired_access, share_mode, 0, held, verifying, state.files[file]};
  if (verifying) {
    state.verified_opens.push_back(fake::VerifiedOpen{reinterpret_cast<HANDLE>(handle), file});
  }
  ++state.open_handles;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* /*overlapped*/) {
  *read = 0;
  if (Injected(Call::kReadFile)) return 0;
  const std::string* source;
  std::size_t* position;
  fake::OpenFile* open = fake::Find(file);
  if (file == fake::kInputHandle && !state.no_input) {
    source = &state.input;
    position = &fake::input_position;
  } else if (open != nullptr && (open->access & GENERIC_READ) && state.files.count(open->name)) {
    source = &state.files[open->name];
    position = &open->position;
    state.read_addresses.insert(buffer);
  } else {
    fake::last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  *position = std::min(*position, source->size());  // a file cut meanwhile ends there
  std::size_t count = std::min<std::size_t>(to_read, source->size() - *position);
  if (state.read_limit != 0) count = std::min(count, state.read_limit);
  std::memcpy(buffer, source->data() + *position, count);
  *position += count;
  *read = static_cast<DWORD>(count);
  return 1;
}

BOOL ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD to_read, DWORD* read) {
  *read = 0;
  if (Injected(Call::kReadFileAt)) return 0;
  fake::OpenFile* open = fake::Find(file);
  if (open == nullptr || !(open->access & GENERIC_READ) || state.files.count(open->name) == 0) {
    fake::last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  const std::string& bytes = state.files[open->name];
  std::size_t from = static_cast<std::size_t>(std::min<std::uint64_t>(offset, bytes.size()));
  std::size_t count = std::min<std::size_t>(to_read, bytes.size() - from);
  std::memcpy(buffer, bytes.data() + from, count);
  *read = static_cast<DWORD>(count);
  return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
               void* /*overlapped*/) {
  *written = 0;
  std::string* target = nullptr;
  std::string name = "<invalid>";
  if (file == fake::kOutputHandle && !state.no_output) {
    target = &state.output;
    name = fake::kStdout;
  } else if (file == fake::kErrorHandle) {
    target = &state.error;
    name = fake::kStderr;
  } else if (fake::OpenFile* open = fake::Find(file);
             open != nullptr && (open->access & GENERIC_WRITE)) {
    target = &state.files[open->name];
    name = open->name;
  }
  const char* bytes = static_cast<const char*>(buffer);
  state.writes.push_back(fake::WriteCall{name, std::string(bytes, to_write)});
  if (Injected(Call::kWriteFile)) {
    std::size_t partial = std::min<std::size_t>(state.fail_partial, to_write);
    if (target != nullptr) target->append(bytes, partial);
    *written = static_cast<DWORD>(partial);
    return 0;
  }
  if (target == nullptr) {
    fake::last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  target->append(bytes, to_write);
  *written = to_write;
  return 1;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method) {
  if (Injected(Call::kSetFilePointer)) return INVALID_SET_FILE_POINTER;
  fake::OpenFile* open = fake::Find(file);
  if (open == nullptr || move_method != FILE_BEGIN || distance < 0 ||
      (distance_high != nullptr && *distance_high != 0)) {
    fake::last_error = ERROR_INVALID_HANDLE;
    return INVALID_SET_FILE_POINTER;
  }
  open->position = static_cast<std::size_t>(distance);
  return static_cast<DWORD>(distance);
}

BOOL KeepsWritersOut(HANDLE file) {
  fake::OpenFile* open = fake::Find(file);
  if (Injected(Call::kKeepsWritersOut) || open == nullptr) return 0;
  return open->held ? 1 : 0;
}

BOOL VerifyAndLetGo(HANDLE file, DWORD verify) {
  const bool injected = Injected(Call::kVerifyAndLetGo);  // a change at its start is seen
  fake::OpenFile* open = fake::Find(file);
  const std::string* now = open != nullptr ? &state.files[open->name] : nullptr;
  bool changed =
      open != nullptr && open->verifying &&
      ((open->held && state.unheld.count(open->name) != 0) ||
       (verify == VERIFY_SIZE ? now->size() != open->at_open.size() : *now != open->at_open));
  if (open != nullptr && open->verifying) {
    for (fake::VerifiedOpen& verified : state.verified_opens) {
      if (verified.handle == file) verified.let_go_after_writes = state.writes.size();
    }
  }
  if (open != nullptr) open->held = open->verifying = false;
  if (injected) return 0;
  if (changed) {
    fake::last_error = ERROR_SHARING_VIOLATION;
    return 0;
  }
  return 1;
}

// Appends the bytes at the source's position to the target (writes in this fake always append).
BOOL CopyFileRange(HANDLE source, HANDLE target, std::uint64_t count, std::uint64_t* copied) {
  *copied = 0;
  if (Injected(Call::kCopyFileRange)) return 0;
  fake::OpenFile* from = fake::Find(source);
  fake::OpenFile* to = fake::Find(target);
  if (!state.copies) {
    fake::last_error = ERROR_NOT_SUPPORTED;
    return 0;
  }
  if (from == nullptr || to == nullptr || !(from->access & GENERIC_READ) ||
      !(to->access & GENERIC_WRITE)) {
    fake::last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  const std::string& bytes = state.files[from->name];
  std::size_t left = bytes.size() - std::min(from->position, bytes.size());
  std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
  if (state.copy_limit != 0) part = std::min(part, state.copy_limit);
  state.files[to->name].append(bytes, from->position, part);
  from->position += part;
  *copied = part;
  return 1;
}

BOOL CloseHandle(HANDLE file) {
  auto found = fake::open_files.find(reinterpret_cast<std::uintptr_t>(file));
  bool known = found != fake::open_files.end();
  if (known) {  // the handle is released even when the call reports a failure
    fake::open_files.erase(found);
    --state.open_handles;
  }
  if (Injected(Call::kCloseHandle)) return 0;
  if (!known) {
    fake::last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  return 1;
}

HANDLE GetStdHandle(DWORD which) {
  if (Injected(Call::kGetStdHandle)) {
    if (state.failed_selector == 0) state.failed_selector = which;
    return INVALID_HANDLE_VALUE;
  }
  switch (which) {
    case STD_INPUT_HANDLE:
      return state.no_input ? nullptr : fake::kInputHandle;
    case STD_OUTPUT_HANDLE:
      return state.no_output ? nullptr : fake::kOutputHandle;
    case STD_ERROR_HANDLE:
      return fake::kErrorHandle;
    default:
      fake::last_error = ERROR_INVALID_HANDLE;
      return INVALID_HANDLE_VALUE;
  }
}

DWORD GetFileType(HANDLE file) {
  if (file == fake::kInputHandle && !state.no_input) return state.input_type;
  if (file == fake::kOutputHandle && !state.no_output) return state.output_type;
  if (file == fake::kErrorHandle) return FILE_TYPE_CHAR;
  if (fake::Find(file) != nullptr) return state.file_type;
  fake::last_error = ERROR_INVALID_HANDLE;
  return FILE_TYPE_UNKNOWN;
}

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  *mode = 0;
  bool console = (handle == fake::kInputHandle && state.input_console) ||
                 (handle == fake::kOutputHandle && state.output_console);
  if (console && GetFileType(handle) == FILE_TYPE_CHAR) return 1;
  fake::last_error = ERROR_INVALID_HANDLE;  // as Windows answers for a handle that is no console
  return 0;
}

DWORD GetLastError() {
  return fake::last_error;
}

void SetLastError(DWORD code) {
  fake::last_error = code;
}

const char* GetCommandLineA() {
  return state.command_line ? state.command_line->c_str() : nullptr;
}

char* const* GetArgumentList(int* count) {
  *count = state.argc;
  return state.argv;
}

DWORD GetFileAttributesA(const char* name) {
  if (state.directories.count(name) != 0) return FILE_ATTRIBUTE_DIRECTORY;
  if (state.files.count(name) != 0) return FILE_ATTRIBUTE_NORMAL;
  fake::last_error = name[0] == '\0' ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
  return INVALID_FILE_ATTRIBUTES;
}

DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size) {
  if (size == 0 ||
      (module != nullptr && reinterpret_cast<std::uintptr_t>(module) != fake::kModuleBase)) {
    fake::last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  std::size_t length = std::min<std::size_t>(std::strlen(fake::kModulePath), size - 1);
  std::memcpy(buffer, fake::kModulePath, length);
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}

std::size_t VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, std::size_t size) {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  if (size < sizeof *info || at < fake::kModuleBase ||
      at - fake::kModuleBase >= fake::kModuleSize) {
    return 0;
  }
  void* base = reinterpret_cast<void*>(fake::kModuleBase);
  *info = MEMORY_BASIC_INFORMATION{base, base, MEM_COMMIT};
  return sizeof *info;
}

int MessageBoxA(HANDLE /*owner*/, const char* text, const char* caption, DWORD type) {
  state.boxes.push_back(fake::Box{text, caption, type, state.output.size()});
  return state.box_answer;
}

void ExitProcess(DWORD exit_code) {
  throw fake::FakeExit{exit_code};
}

}  // namespace kg::platform
