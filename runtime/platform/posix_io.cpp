// Reads, writes, seeks and copies on POSIX descriptors, with the terminal's CR LF line ends.
//
// A typed LF is delivered as CR LF, as the Windows console does, and descriptors left non-blocking
// are waited on.
#include <fcntl.h>
#include <poll.h>

#include <cerrno>

#include "runtime/platform/posix_internal.h"

namespace kg::platform {

using posix::DescriptorOf;
using posix::FailWith;

namespace {

// A terminal line end (LF) already turned into CR, waiting to be delivered as the LF.
int pending_terminal_lf_fd = -1;

// Whether each low descriptor is a terminal, asked once when its handle is opened or taken, so
// that block reads make no extra system call: 0 not asked yet, 1 a terminal, 2 no terminal.
constexpr int kKnownDescriptors = 1024;
signed char terminal_state[kKnownDescriptors] = {};

// After EAGAIN on a descriptor in non-blocking mode: waits until it is ready for `events`
// (POLLIN or POLLOUT), or has hung up or failed, so that the next call goes on as a blocking one
// would. False when the wait itself fails; errno then tells why.
bool WaitUntilReady(int fd, short events) {
  pollfd ready = {fd, events, 0};
  int got;
  do {
    got = poll(&ready, 1, -1);
  } while (got < 0 && errno == EINTR);
  return got > 0;
}

// Whether `fd` is a terminal, from what was asked at its open (asked now when it was not).
bool IsTerminal(int fd) {
  if (fd < 0 || fd >= kKnownDescriptors) return isatty(fd) != 0;
  if (terminal_state[fd] == 0) posix::RememberWhetherTerminal(fd);
  return terminal_state[fd] == 1;
}

}  // namespace

namespace posix {

void RememberWhetherTerminal(int fd) {
  bool terminal = isatty(fd) != 0;
  if (fd >= 0 && fd < kKnownDescriptors) terminal_state[fd] = terminal ? 1 : 2;
}

void ForgetDescriptor(int fd) {
  if (pending_terminal_lf_fd == fd) pending_terminal_lf_fd = -1;
  if (fd >= 0 && fd < kKnownDescriptors) terminal_state[fd] = 0;
}

}  // namespace posix

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  *mode = 0;
  int fd = DescriptorOf(handle);
  if (fd >= 0 && IsTerminal(fd)) return 1;
  SetLastError(ERROR_INVALID_HANDLE);  // as Windows answers for a handle that is no console
  return 0;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read_count, void* /*overlapped*/) {
  *read_count = 0;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (to_read == 0) return 1;
  char* bytes = static_cast<char*>(buffer);
  if (pending_terminal_lf_fd == fd) {
    pending_terminal_lf_fd = -1;
    bytes[0] = '\n';
    *read_count = 1;
    return 1;
  }
  bool terminal = IsTerminal(fd);
  // A terminal's LF becomes CR LF, so leave room for each byte to double.
  DWORD ask = terminal && to_read > 1 ? to_read / 2 : to_read;
  ssize_t got;
  for (;;) {
    got = read(fd, bytes, ask);
    if (got >= 0) break;
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilReady(fd, POLLIN)) continue;
    break;
  }
  if (got < 0) {
    FailWith(errno, nullptr);
    return 0;
  }
  DWORD count = static_cast<DWORD>(got);
  if (terminal && count > 0) {
    DWORD line_feeds = 0;
    for (DWORD i = 0; i < count; ++i) line_feeds += bytes[i] == '\n';
    if (line_feeds > 0 && to_read == 1) {
      bytes[0] = '\r';
      pending_terminal_lf_fd = fd;
    } else if (line_feeds > 0) {
      DWORD to = count + line_feeds;
      for (DWORD from = count; from-- > 0;) {
        bytes[--to] = bytes[from];
        if (bytes[from] == '\n') bytes[--to] = '\r';
      }
      count += line_feeds;
    }
  }
  *read_count = count;
  return 1;
}

BOOL ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD to_read, DWORD* read_count) {
  *read_count = 0;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  ssize_t got;
  do {
    got = pread(fd, buffer, to_read, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    FailWith(errno, nullptr);
    return 0;
  }
  *read_count = static_cast<DWORD>(got);
  return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
               void* /*overlapped*/) {
  *written = 0;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const char* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < to_write) {
    ssize_t put = write(fd, bytes + done, to_write - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilReady(fd, POLLOUT)) continue;
      FailWith(errno, nullptr);
      *written = done;
      return 0;
    }
    if (put == 0) {  // no progress and no reason: treat as a full device
      SetLastError(ERROR_DISK_FULL_CODE);
      *written = done;
      return 0;
    }
    done += static_cast<DWORD>(put);
  }
  *written = done;
  return 1;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method) {
  int fd = DescriptorOf(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  off_t offset =
      distance_high != nullptr
          ? static_cast<off_t>(
                (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distance_high)) << 32) |
                static_cast<std::uint32_t>(distance))
          : static_cast<off_t>(distance);
  if (move_method != FILE_BEGIN) {  // no other move is asked for
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t at = lseek(fd, offset, SEEK_SET);
  if (at < 0) {
    FailWith(errno, nullptr);
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr)
    *distance_high = static_cast<LONG>(static_cast<std::uint64_t>(at) >> 32);
  SetLastError(0);  // as on Windows: a position whose low part looks like a failure is told apart
  return static_cast<DWORD>(static_cast<std::uint64_t>(at));
}

BOOL CopyFileRange(HANDLE source, HANDLE target, std::uint64_t count, std::uint64_t* copied) {
  *copied = 0;
  int from = DescriptorOf(source);
  int to = DescriptorOf(target);
  if (from < 0 || to < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  // One call moves at most 1 GiB (the system takes a little under 2 GiB); the caller asks again
  // for the rest.
  constexpr std::uint64_t kMostPerCall = std::uint64_t{1} << 30;
  std::size_t ask = static_cast<std::size_t>(count < kMostPerCall ? count : kMostPerCall);
  ssize_t done;
  do {
    done = copy_file_range(from, nullptr, to, nullptr, ask, 0);
  } while (done < 0 && errno == EINTR);
  if (done < 0) {
    FailWith(errno, nullptr);
    return 0;
  }
  *copied = static_cast<std::uint64_t>(done);
  return 1;
}

}  // namespace kg::platform
