// The platform calls for Linux and other POSIX systems, built on file descriptors.
//
// A HANDLE is a descriptor plus one, so that the null handle means "no handle". Error codes are
// mapped from errno to the Windows values the failure messages are keyed on. Share modes are kept
// in a table of the handles this process opened, keyed by device and inode, so that the same file
// reached by another name, a hard link or a symbolic link is still recognised; a file that standard
// output or standard error writes into counts as held open for writing. Against other processes
// the share modes become flock(2) locks: shared for a reader, exclusive for a writer; and a reader
// that lets no one write holds a read lease (fcntl F_SETLEASE) where the system alone sees every
// writer, so that a process holding the file open for writing fails the open and one that opens it
// for writing waits until it is let in; the lease is verified when it is let go.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/platform/platform.h"

namespace kg::platform {

// Inputs of more than 2 GiB are read and seeked in whole; the build asks for 64-bit offsets.
static_assert(sizeof(off_t) == 8, "off_t must have 64 bits (_FILE_OFFSET_BITS=64)");

const char kPathDelimiters[] = "/";

namespace {

thread_local DWORD last_error = 0;

int argument_count = 0;
char* const* argument_list = nullptr;
bool standard_closed_at_start[3] = {false, false, false};

// A terminal line end (LF) already turned into CR, waiting to be delivered as the LF.
int pending_terminal_lf_fd = -1;

// Whether each low descriptor is a terminal, asked once when its handle is opened or taken, so
// that block reads make no extra system call: 0 not asked yet, 1 a terminal, 2 no terminal.
constexpr int kKnownDescriptors = 1024;
signed char terminal_state[kKnownDescriptors] = {};

// One handle this process opened with CreateFileA, with what it does and what it lets others do.
struct OpenEntry {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  DWORD access = 0;
  DWORD share = 0;
  bool held = false;  // a read lease taken at the open and not yet let go (see LetWritersIn)
};
constexpr int kMaxOpen = 256;
OpenEntry open_table[kMaxOpen];

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

// The descriptor of a handle, or -1 for the null and the invalid handle.
int DescriptorOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1);
}

// The entry of a handle this process opened with CreateFileA, or null.
OpenEntry* EntryOf(HANDLE file) {
  int fd = DescriptorOf(file);
  for (OpenEntry& entry : open_table) {
    if (fd >= 0 && entry.fd == fd) return &entry;
  }
  return nullptr;
}

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

// The Windows code for an errno value, always one the reference platform gives (an errno without
// a counterpart becomes ERROR_IO_DEVICE); `name` (may be null) tells a missing file apart from a
// missing directory.
DWORD MapErrno(int error, const char* name) {
  switch (error) {
    case ENOENT:
      return (name != nullptr && !DirectoryPartExists(name)) ? ERROR_PATH_NOT_FOUND
                                                             : ERROR_FILE_NOT_FOUND;
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

// Asks the system whether `fd` is a terminal and remembers the answer for IsTerminal.
void RememberWhetherTerminal(int fd) {
  bool terminal = isatty(fd) != 0;
  if (fd >= 0 && fd < kKnownDescriptors) terminal_state[fd] = terminal ? 1 : 2;
}

// Whether `fd` is a terminal, from what was asked at its open (asked now when it was not).
bool IsTerminal(int fd) {
  if (fd < 0 || fd >= kKnownDescriptors) return isatty(fd) != 0;
  if (terminal_state[fd] == 0) RememberWhetherTerminal(fd);
  return terminal_state[fd] == 1;
}

// True when one side's access is allowed by what the other side shares.
bool Permits(DWORD access, DWORD share) {
  return (!(access & GENERIC_READ) || (share & FILE_SHARE_READ)) &&
         (!(access & GENERIC_WRITE) || (share & FILE_SHARE_WRITE));
}

// True when standard output or standard error writes into this file: a regular file or a pipe
// (a terminal or /dev/null is no file that text could be lost from).
bool WrittenByStandardStream(const struct stat& status) {
  for (int fd = 1; fd <= 2; ++fd) {
    struct stat stream;
    if (standard_closed_at_start[fd] || fstat(fd, &stream) != 0) continue;
    if ((S_ISREG(stream.st_mode) || S_ISFIFO(stream.st_mode)) && stream.st_dev == status.st_dev &&
        stream.st_ino == status.st_ino) {
      return true;
    }
  }
  return false;
}

// True when an open of this file for `access`, granting `share`, may coexist with every handle
// this process already holds on it, the standard output and error included (held for writing,
// sharing everything, as a shell's redirection does).
bool SharingAllows(const struct stat& status, DWORD access, DWORD share) {
  if (WrittenByStandardStream(status) &&
      (!Permits(access, FILE_SHARE_READ | FILE_SHARE_WRITE) || !Permits(GENERIC_WRITE, share))) {
    return false;
  }
  for (const OpenEntry& entry : open_table) {
    if (entry.fd < 0 || entry.device != status.st_dev || entry.inode != status.st_ino) continue;
    if (!Permits(access, entry.share) || !Permits(entry.access, share)) return false;
  }
  return true;
}

// Takes the lock that stands for the share mode against other processes, without waiting: shared
// when others may keep reading only, exclusive for a writer. False when another process holds a
// conflicting lock. A file system without such locks is not locked at all.
bool LockAgainstOtherProcesses(int fd, DWORD access) {
  int operation = (access & GENERIC_WRITE) ? LOCK_EX : LOCK_SH;
  int result;
  do {
    result = flock(fd, operation | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno != EWOULDBLOCK;
}

// What a read lease on a regular file open for reading found.
enum class Lease {
  kTaken,        // no process can open the file for writing without waiting for this one
  kWriterHasIt,  // another process, or a writable mapping, holds it open for writing now
  kNotHad,       // no lease here (no CAP_LEASE for another owner's file, no leases on this system)
};

Lease TakeReadLease(int fd) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Lease::kTaken;
  return errno == EAGAIN ? Lease::kWriterHasIt : Lease::kNotHad;
}

// True where every writer of the file must open it through the inode that holds the lease, so
// that none gets in unseen: local disk and memory file systems. Not so where other machines, or
// another mount beneath (FUSE, overlayfs layers), reach the data: network, cluster and FUSE file
// systems, overlayfs and every type not listed here.
bool LeaseSeesEveryWriter(int fd) {
  struct statfs system;
  if (fstatfs(fd, &system) != 0) return false;
  switch (static_cast<std::uint32_t>(system.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// Opens `name` with `flags`, retrying interrupted calls; -1 with errno set on failure.
int OpenRetrying(const char* name, int flags) {
  int fd;
  do {
    fd = open(name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// True when another process holds the existing regular file `name` open for writing now, so far
// as a read lease, taken on an open for reading and let go at once, can tell. False where none
// can be tried (a file that cannot be read or leased, such as another owner's; no regular file,
// which is not even opened).
bool WrittenByAnotherProcess(const char* name) {
  struct stat status;
  if (stat(name, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  int fd = OpenRetrying(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  Lease lease = TakeReadLease(fd);  // no lease on anything but a regular file put there meanwhile
  close(fd);                        // a lease ends with its descriptor
  return lease == Lease::kWriterHasIt;
}

}  // namespace

void InitializeProcess(int argc, char** argv) {
  argument_count = argc;
  argument_list = argv;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    standard_closed_at_start[fd] = true;
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
  for (OpenEntry& entry : open_table) entry.fd = -1;
}

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void* /*security*/,
                   DWORD creation_disposition, DWORD /*flags*/, HANDLE /*template_file*/) {
  bool writing = (desired_access & GENERIC_WRITE) != 0;
  // An open never waits: not for a lease, this process's own included (an input reached by
  // another name as the output), nor for the other end of a FIFO. Reads and writes do wait.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (writing ? O_WRONLY : O_RDONLY);
  if (creation_disposition == CREATE_ALWAYS || creation_disposition == CREATE_NEW) flags |= O_CREAT;
  bool must_be_new = creation_disposition == CREATE_NEW;
  // A file about to be emptied that another process writes: a share mode would refuse the open.
  if (creation_disposition == CREATE_ALWAYS && WrittenByAnotherProcess(name)) {
    last_error = ERROR_SHARING_VIOLATION;
    return INVALID_HANDLE_VALUE;
  }
  int fd = OpenRetrying(name, must_be_new ? flags | O_EXCL : flags);
  bool opened_as_it_is = false;  // CREATE_NEW met something that is no regular file
  if (fd < 0 && must_be_new && errno == EEXIST) {
    // A regular file, or a symbolic link that leads nowhere, is never replaced; anything else of
    // that name (a device, a pipe, a directory) is opened as it is, as CREATE_ALWAYS would.
    struct stat existing;
    if (stat(name, &existing) != 0 || S_ISREG(existing.st_mode)) {
      last_error = ERROR_FILE_EXISTS;
      return INVALID_HANDLE_VALUE;
    }
    fd = OpenRetrying(name, flags & ~O_CREAT);
    opened_as_it_is = true;
  }
  if (fd < 0) {
    // EWOULDBLOCK: a process holds the file with a lease, as a share mode that lets no one write.
    // For reading, a socket or a device without its driver is no file, as below.
    if (errno == EWOULDBLOCK) {
      last_error = ERROR_SHARING_VIOLATION;
    } else if (!writing && (errno == ENXIO || errno == ENODEV)) {
      last_error = ERROR_FILE_NOT_FOUND;
    } else {
      FailWith(errno, name);
    }
    return INVALID_HANDLE_VALUE;
  }
  int status_flags = fcntl(fd, F_GETFL);
  if (status_flags < 0 || fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    FailWith(errno, name);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    FailWith(errno, name);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(status.st_mode)) {
    close(fd);
    last_error = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  if (!writing && !S_ISREG(status.st_mode)) {
    close(fd);  // a device or a FIFO put in the file's place since it was probed: never read
    last_error = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (opened_as_it_is && S_ISREG(status.st_mode)) {
    close(fd);  // a regular file took the name after the exclusive create failed
    last_error = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
  }
  if (!SharingAllows(status, desired_access, share_mode) ||
      (S_ISREG(status.st_mode) && !LockAgainstOtherProcesses(fd, desired_access))) {
    close(fd);
    last_error = ERROR_SHARING_VIOLATION;
    return INVALID_HANDLE_VALUE;
  }
  bool held = false;
  if (!writing && !(share_mode & FILE_SHARE_WRITE)) {
    Lease lease = TakeReadLease(fd);
    if (lease == Lease::kWriterHasIt) {
      close(fd);
      last_error = ERROR_SHARING_VIOLATION;
      return INVALID_HANDLE_VALUE;
    }
    // Where writers may get in unseen, the lease has told what it can: the file is read unheld.
    held = lease == Lease::kTaken && LeaseSeesEveryWriter(fd);
    if (lease == Lease::kTaken && !held) fcntl(fd, F_SETLEASE, F_UNLCK);
  }
  OpenEntry* slot = nullptr;
  for (OpenEntry& entry : open_table) {
    if (entry.fd < 0) {
      slot = &entry;
      break;
    }
  }
  if (slot == nullptr) {
    close(fd);
    last_error = ERROR_TOO_MANY_OPEN_FILES;
    return INVALID_HANDLE_VALUE;
  }
  // Truncate only now that the open is known to be allowed; devices and pipes have no length.
  if (creation_disposition == CREATE_ALWAYS && S_ISREG(status.st_mode) && status.st_size != 0 &&
      ftruncate(fd, 0) != 0) {
    FailWith(errno, name);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  *slot = OpenEntry{fd, status.st_dev, status.st_ino, desired_access, share_mode, held};
  RememberWhetherTerminal(fd);
  return HandleOf(fd);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read_count, void* /*overlapped*/) {
  *read_count = 0;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    last_error = ERROR_INVALID_HANDLE;
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

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
               void* /*overlapped*/) {
  *written = 0;
  int fd = DescriptorOf(file);
  if (fd < 0) {
    last_error = ERROR_INVALID_HANDLE;
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
      last_error = ERROR_DISK_FULL_CODE;
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
    last_error = ERROR_INVALID_HANDLE;
    return INVALID_SET_FILE_POINTER;
  }
  off_t offset =
      distance_high != nullptr
          ? static_cast<off_t>(
                (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distance_high)) << 32) |
                static_cast<std::uint32_t>(distance))
          : static_cast<off_t>(distance);
  if (move_method != FILE_BEGIN) {  // no other move is asked for
    last_error = ERROR_INVALID_PARAMETER;
    return INVALID_SET_FILE_POINTER;
  }
  off_t at = lseek(fd, offset, SEEK_SET);
  if (at < 0) {
    FailWith(errno, nullptr);
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr)
    *distance_high = static_cast<LONG>(static_cast<std::uint64_t>(at) >> 32);
  last_error = 0;  // as on Windows, so a position whose low part looks like a failure is told apart
  return static_cast<DWORD>(static_cast<std::uint64_t>(at));
}

BOOL CopyFileRange(HANDLE source, HANDLE target, std::uint64_t count, std::uint64_t* copied) {
  *copied = 0;
  int from = DescriptorOf(source);
  int to = DescriptorOf(target);
  if (from < 0 || to < 0) {
    last_error = ERROR_INVALID_HANDLE;
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

BOOL IsHeldAgainstWriters(HANDLE file) {
  OpenEntry* entry = EntryOf(file);
  return entry != nullptr && entry->held ? 1 : 0;
}

BOOL LetWritersIn(HANDLE file) {
  OpenEntry* entry = EntryOf(file);
  if (entry == nullptr || !entry->held) return 1;
  entry->held = false;
  // A lease being broken is still there and ends here. None left (EAGAIN): the system ended it
  // after its lease-break-time and let a writer in.
  if (fcntl(entry->fd, F_SETLEASE, F_UNLCK) == 0) return 1;
  last_error = errno == EAGAIN ? ERROR_SHARING_VIOLATION : MapErrno(errno, nullptr);
  return 0;
}

BOOL CloseHandle(HANDLE file) {
  int fd = DescriptorOf(file);
  if (fd < 0) {
    last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (OpenEntry* entry = EntryOf(file)) entry->fd = -1;
  if (pending_terminal_lf_fd == fd) pending_terminal_lf_fd = -1;
  if (fd < kKnownDescriptors) terminal_state[fd] = 0;
  // Linux releases the descriptor even when close reports EINTR; do not close it twice.
  if (close(fd) != 0 && errno != EINTR) {
    FailWith(errno, nullptr);
    return 0;
  }
  return 1;
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
      last_error = ERROR_INVALID_HANDLE;
      return INVALID_HANDLE_VALUE;
  }
  if (standard_closed_at_start[fd]) return nullptr;
  RememberWhetherTerminal(fd);
  return HandleOf(fd);
}

DWORD GetFileType(HANDLE file) {
  int fd = DescriptorOf(file);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    last_error = ERROR_INVALID_HANDLE;
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISCHR(status.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_DISK;
}

DWORD GetLastError() {
  return last_error;
}

void SetLastError(DWORD code) {
  last_error = code;
}

const char* GetCommandLineA() {
  return nullptr;
}

char* const* GetArgumentList(int* count) {
  *count = argument_count;
  return argument_list;
}

DWORD GetFileAttributesA(const char* name) {
  struct stat status;
  if (name[0] == '\0') {
    last_error = ERROR_PATH_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
  }
  if (stat(name, &status) != 0) {
    FailWith(errno, name);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(status.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return S_ISREG(status.st_mode) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DEVICE;
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
      FailWith(errno, nullptr);
      return 0;
    }
    length = static_cast<std::size_t>(got);
  } else {
    Dl_info info;
    if (dladdr(module, &info) == 0 || info.dli_fbase != module || info.dli_fname == nullptr) {
      last_error = ERROR_INVALID_HANDLE;
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
