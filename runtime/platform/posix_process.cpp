// The process on POSIX: start-up, standard handles, arguments, module, report box and exit.
//
// The module's path and code addresses serve the failure report; there is no message box here.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "runtime/platform/posix_internal.h"

namespace kg::platform {

const char kPathDelimiters[] = "/";

namespace {

int argument_count = 0;
char* const* argument_list = nullptr;

}  // namespace

void InitializeProcess(int argc, char** argv) {
  argument_count = argc;
  argument_list = argv;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    posix::MarkStandardClosedAtStart(fd);
    // Descriptors are handed out lowest first, so this lands on `fd`.
    int filler = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (filler >= 0 && filler != fd) close(filler);
  }
  // A write to a pipe whose reader has gone, or past the file-size limit, fails with a code
  // (EPIPE, EFBIG) instead of ending the process by a signal with no report. A writer that asks
  // for a file this process holds with a lease is told by SIGIO, which would end the process too.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGIO, SIG_IGN);
}

HANDLE GetStdHandle(DWORD which) {
  int fd;
  switch (which) {
    case STD_INPUT_HANDLE:
      fd = 0;
      break;
    case STD_OUTPUT_HANDLE:
      fd = 1;
      break;
    case STD_ERROR_HANDLE:
      fd = 2;
      break;
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
  if (posix::StandardClosedAtStart(fd)) return nullptr;
  posix::RememberWhetherTerminal(fd);
  return posix::HandleOf(fd);
}

const char* GetCommandLineA() {
  return nullptr;
}

char* const* GetArgumentList(int* count) {
  *count = argument_count;
  return argument_list;
}

DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size) {
  if (size == 0) return 0;
  Dl_info own;
  bool is_executable =
      module == nullptr ||
      (dladdr(reinterpret_cast<void*>(&GetModuleFileNameA), &own) != 0 && own.dli_fbase == module);
  char path[4096];
  std::size_t length = 0;
  if (is_executable) {
    ssize_t got = readlink("/proc/self/exe", path, sizeof path - 1);
    if (got <= 0) {
      posix::FailWith(errno, nullptr);
      return 0;
    }
    length = static_cast<std::size_t>(got);
  } else {
    Dl_info info;
    if (dladdr(module, &info) == 0 || info.dli_fbase != module || info.dli_fname == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    length = std::strlen(info.dli_fname);
    if (length >= sizeof path) length = sizeof path - 1;
    std::memcpy(path, info.dli_fname, length);
  }
  if (length > size - 1) length = size - 1;
  std::memcpy(buffer, path, length);
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}

std::size_t VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, std::size_t size) {
  if (size < sizeof *info) return 0;
  Dl_info found;
  if (address == nullptr || dladdr(address, &found) == 0 || found.dli_fbase == nullptr) {
    *info = MEMORY_BASIC_INFORMATION{nullptr, nullptr, 0};
    return 0;
  }
  *info = MEMORY_BASIC_INFORMATION{found.dli_fbase, found.dli_fbase, MEM_COMMIT};
  return sizeof *info;
}

int MessageBoxA(HANDLE /*owner*/, const char* /*text*/, const char* /*caption*/, DWORD /*type*/) {
  return 0;  // no boxes here: the caller shows the report another way
}

void ExitProcess(DWORD exit_code) {
  _exit(static_cast<int>(exit_code));
}

}  // namespace kg::platform
