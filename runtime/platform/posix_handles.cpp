// The bookkeeping every POSIX platform call shares: the last error, errno's codes, open files.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "runtime/platform/posix_internal.h"

namespace kg::platform {

namespace {

thread_local DWORD last_error = 0;

bool standard_closed_at_start[3] = {false, false, false};

constexpr int kMaxOpen = 256;
posix::OpenEntry open_table[kMaxOpen];

// True when the directory part of `name` exists (the current directory for a bare name).
bool DirectoryPartExists(const char* name) {
  const char* slash = std::strrchr(name, '/');
  if (slash == nullptr) return true;
  if (slash == name) return true;  // the root
  char directory[4096];
  std::size_t length = static_cast<std::size_t>(slash - name);
  if (length >= sizeof directory) return false;
  std::memcpy(directory, name, length);
  directory[length] = '\0';
  struct stat status;
  return stat(directory, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

DWORD GetLastError() {
  return last_error;
}

void SetLastError(DWORD code) {
  last_error = code;
}

namespace posix {

DWORD MapErrno(int error, const char* name) {
  switch (error) {
    case ENOENT: {
      const int kept = errno;
      const bool directory = name == nullptr || DirectoryPartExists(name);
      errno = kept;
      return directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EPIPE:
      return ERROR_NO_DATA;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case EIO:
      return ERROR_IO_DEVICE;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL_CODE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENXIO:  // a device or socket that cannot be opened, a FIFO without a reader
    case ENODEV:
      return ERROR_NOT_READY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:  // every other failure of the system keeps a code the reference platform has
      return ERROR_IO_DEVICE;
  }
}

void FailWith(int error, const char* name) {
  last_error = MapErrno(error, name);
}

bool StandardClosedAtStart(int fd) {
  return fd >= 0 && fd <= 2 && standard_closed_at_start[fd];
}

void MarkStandardClosedAtStart(int fd) {
  standard_closed_at_start[fd] = true;
}

std::span<OpenEntry> OpenEntries() {
  return open_table;
}

OpenEntry* EntryOf(HANDLE file) {
  int fd = DescriptorOf(file);
  for (OpenEntry& entry : open_table) {
    if (fd >= 0 && entry.fd == fd) return &entry;
  }
  return nullptr;
}

int OpenRetrying(const char* name, int flags) {
  int fd;
  do {
    fd = open(name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void OwnedDescriptor::Reset(int fd) {
  if (fd_ >= 0) {
    const int kept = errno;
    close(fd_);
    errno = kept;
  }
  fd_ = fd;
}

}  // namespace posix

}  // namespace kg::platform
