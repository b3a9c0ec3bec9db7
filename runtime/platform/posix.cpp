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

// What a file's text looked like at one moment, as far as the system tells without reading it: its
// size and last modification time. A write changes the time; a rename over it does not.
struct Stamp {
  std::int64_t size = 0;
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  bool operator==(const Stamp&) const = default;
};

// One handle this process opened with CreateFileA, with what it does and what it lets others do.
struct OpenEntry {
  int fd = -1;
  int lock_fd = -1;  // a replaced file's read-only descriptor, which holds its exclusive flock
  dev_t device = 0;
  ino_t inode = 0;
  DWORD access = 0;
  DWORD share = 0;
  bool held = false;       // a read lease taken at the open and not let go yet
  bool verifying = false;  // a reader that lets no one write, whose text is verified at its let-go
  Stamp stamp;             // its text at the open
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

// True when `a` and `b` are one file: the same inode of the same device, or two regular files with
// the same inode number, size and modification time (to the nanosecond) on two devices, as an
// overlay or a FUSE mirror shows the file beneath it under a device of its own.
bool SameFile(const struct stat& a, const struct stat& b) {
  if (a.st_ino != b.st_ino) return false;
  if (a.st_dev == b.st_dev) return true;
  return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// True when standard output or standard error writes into this file: a regular file or a pipe
// (a terminal or /dev/null is no file that text could be lost from).
bool WrittenByStandardStream(const struct stat& status) {
  for (int fd = 1; fd <= 2; ++fd) {
    struct stat stream;
    if (standard_closed_at_start[fd] || fstat(fd, &stream) != 0) continue;
    if ((S_ISREG(stream.st_mode) || S_ISFIFO(stream.st_mode)) && SameFile(stream, status)) {
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
    if (entry.fd < 0 || entry.inode != status.st_ino) continue;
    struct stat open;  // asked afresh: the entry's size and time as they are now
    if (fstat(entry.fd, &open) != 0 || !SameFile(open, status)) continue;
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

// Asks the system afresh (past the attribute caches of FUSE and network file systems) for the
// size and modification time of the open file `fd`. False with errno set when it cannot tell.
bool StampOf(int fd, Stamp* stamp) {
  struct statx now;
  int result;
  do {
    result = statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_SIZE | STATX_MTIME, &now);
  } while (result != 0 && errno == EINTR);
  if (result == 0 && (now.stx_mask & (STATX_SIZE | STATX_MTIME)) == (STATX_SIZE | STATX_MTIME)) {
    *stamp =
        Stamp{static_cast<std::int64_t>(now.stx_size), now.stx_mtime.tv_sec, now.stx_mtime.tv_nsec};
    return true;
  }
  if (result != 0 && errno != ENOSYS) return false;
  struct stat status;  // a system without statx, or one that could not say: what fstat knows
  if (fstat(fd, &status) != 0) return false;
  *stamp = Stamp{status.st_size, status.st_mtim.tv_sec,
                 static_cast<std::uint32_t>(status.st_mtim.tv_nsec)};
  return true;
}

// Opens `name` with `flags`, retrying interrupted calls; -1 with errno set on failure.
int OpenRetrying(const char* name, int flags) {
  int fd;
  do {
    fd = open(name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A descriptor that is closed when its owner ends, unless it has been handed over.
class OwnedDescriptor {
 public:
  OwnedDescriptor() = default;
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
  ~OwnedDescriptor() { Reset(-1); }
  int get() const { return fd_; }
  // Closes the descriptor held (keeping errno), then holds `fd`.
  void Reset(int fd) {
    if (fd_ >= 0) {
      int error = errno;
      close(fd_);
      errno = error;
    }
    fd_ = fd;
  }
  // Hands the descriptor over: the owner no longer closes it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// A file on its way through CreateFileA: what was opened, what it is, and what the checks found.
struct Opening {
  OwnedDescriptor fd;
  OwnedDescriptor lock;  // an existing file to replace: the read-only descriptor it was checked on
  struct stat status = {};
  bool held = false;
  bool verifying = false;
  Stamp stamp;
};

// Opens `name` with `flags` without waiting: not for a lease, this process's own included (an
// input reached by another name as the output), nor for the other end of a FIFO; reads and writes
// on the descriptor do wait. Fills `file` (descriptor and status). 0, or the code of the failure.
DWORD OpenWithoutWaiting(const char* name, int flags, Opening* file) {
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  int fd = OpenRetrying(name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    // EWOULDBLOCK: a process holds the file with a lease, as a share mode that lets no one in.
    // For reading, a socket or a device without its driver is no file, as below.
    if (errno == EWOULDBLOCK) return ERROR_SHARING_VIOLATION;
    if (reading && (errno == ENXIO || errno == ENODEV)) return ERROR_FILE_NOT_FOUND;
    return MapErrno(errno, name);
  }
  file->fd.Reset(fd);
  int status_flags = fcntl(fd, F_GETFL);
  if (status_flags < 0 || fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0 ||
      fstat(fd, &file->status) != 0) {
    return MapErrno(errno, name);
  }
  return 0;
}

// The checks that stand for a share mode, on a descriptor of a regular file or device open for
// reading or writing: this process's own handles and standard streams, then the lock against
// other processes (regular files only). 0, or ERROR_SHARING_VIOLATION.
DWORD CheckSharing(int fd, const struct stat& status, DWORD access, DWORD share) {
  if (!SharingAllows(status, access, share)) return ERROR_SHARING_VIOLATION;
  if (S_ISREG(status.st_mode) && !LockAgainstOtherProcesses(fd, access)) {
    return ERROR_SHARING_VIOLATION;
  }
  return 0;
}

// Step of a read: what was met by the name must be a regular file (a directory, a device or a FIFO
// put in its place since it was probed is never read), shared as asked, and, when no one may
// write, held against writers where the system can, its text stamped for the check at its let-go.
DWORD OpenToRead(const char* name, DWORD access, DWORD share, Opening* file) {
  if (DWORD error = OpenWithoutWaiting(name, O_RDONLY, file)) return error;
  if (!S_ISREG(file->status.st_mode)) return ERROR_FILE_NOT_FOUND;
  if (DWORD error = CheckSharing(file->fd.get(), file->status, access, share)) return error;
  if (share & FILE_SHARE_WRITE) return 0;
  Lease lease = TakeReadLease(file->fd.get());
  if (lease == Lease::kWriterHasIt) return ERROR_SHARING_VIOLATION;
  // Where writers may get in unseen, the lease has told what it can: the file is read unheld.
  file->held = lease == Lease::kTaken && LeaseSeesEveryWriter(file->fd.get());
  if (lease == Lease::kTaken && !file->held) fcntl(file->fd.get(), F_SETLEASE, F_UNLCK);
  file->verifying = true;
  return StampOf(file->fd.get(), &file->stamp) ? 0 : MapErrno(errno, name);
}

// True when any descriptor holds the regular file open for writing now, another process's or one
// this process inherited, as far as a read lease taken on `fd` (open for reading) and let go at
// once can tell. False where none can be tried (no CAP_LEASE for another owner's file).
bool HasWriterNow(int fd) {
  Lease lease = TakeReadLease(fd);
  if (lease == Lease::kTaken) fcntl(fd, F_SETLEASE, F_UNLCK);
  return lease == Lease::kWriterHasIt;
}

// Step of a replace: every check that can refuse an existing regular file, made on a read-only
// descriptor of it, so that a refused file is never opened for writing (an open for writing
// would start the break of another process's lease on it). The descriptor stays in `file->lock`
// with the exclusive flock. 0 also when there is nothing to check this way (no regular file of
// that name, or one that cannot be read): the open for writing then checks on its own descriptor.
DWORD CheckBeforeReplacing(const char* name, DWORD access, DWORD share, Opening* file) {
  struct stat named;
  if (stat(name, &named) != 0 || !S_ISREG(named.st_mode)) return 0;
  Opening reading;
  if (OpenWithoutWaiting(name, O_RDONLY, &reading) != 0) return 0;
  if (!S_ISREG(reading.status.st_mode)) return 0;
  if (DWORD error = CheckSharing(reading.fd.get(), reading.status, access, share)) return error;
  if (HasWriterNow(reading.fd.get())) return ERROR_SHARING_VIOLATION;
  file->lock.Reset(reading.fd.Release());
  file->status = reading.status;
  return 0;
}

// Step of a write: opens for writing, CREATE_NEW leaving every existing regular file (or symbolic
// link that leads nowhere) alone with ERROR_FILE_EXISTS and opening anything else of that name as
// it is. A file checked before (`file->lock`) must still be the one the name leads to.
DWORD OpenToWrite(const char* name, DWORD access, DWORD share, DWORD creation, Opening* file) {
  const bool must_be_new = creation == CREATE_NEW;
  if (!must_be_new) {
    if (DWORD error = CheckBeforeReplacing(name, access, share, file)) return error;
  }
  // A file checked before is opened again only as it is: one gone meanwhile is not made anew.
  const bool checked_before = file->lock.get() >= 0;
  const struct stat checked = file->status;
  int flags = O_WRONLY | (checked_before ? 0 : O_CREAT) | (must_be_new ? O_EXCL : 0);
  DWORD error = OpenWithoutWaiting(name, flags, file);
  bool as_it_is = false;  // CREATE_NEW met something that is no regular file
  if (error != 0 && must_be_new && errno == EEXIST) {
    struct stat existing;
    if (stat(name, &existing) != 0 || S_ISREG(existing.st_mode)) return ERROR_FILE_EXISTS;
    error = OpenWithoutWaiting(name, O_WRONLY, file);
    as_it_is = true;
  }
  if (error != 0) return error;
  if (S_ISDIR(file->status.st_mode)) return ERROR_ACCESS_DENIED;
  // A regular file that took the name after the exclusive create failed is left alone.
  if (as_it_is && S_ISREG(file->status.st_mode)) return ERROR_FILE_EXISTS;
  if (!checked_before) return CheckSharing(file->fd.get(), file->status, access, share);
  // Another file took the name between the checks and the open: it was never checked.
  return file->status.st_dev == checked.st_dev && file->status.st_ino == checked.st_ino
             ? 0
             : ERROR_SHARING_VIOLATION;
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
  Opening file;
  DWORD error = (desired_access & GENERIC_WRITE)
                    ? OpenToWrite(name, desired_access, share_mode, creation_disposition, &file)
                    : OpenToRead(name, desired_access, share_mode, &file);
  OpenEntry* slot = nullptr;
  for (OpenEntry& entry : open_table) {
    if (error == 0 && entry.fd < 0) {
      slot = &entry;
      break;
    }
  }
  if (error == 0 && slot == nullptr) error = ERROR_TOO_MANY_OPEN_FILES;
  // Emptied only now that the open is known to be allowed; devices and pipes have no length.
  if (error == 0 && creation_disposition == CREATE_ALWAYS && S_ISREG(file.status.st_mode) &&
      file.status.st_size != 0 && ftruncate(file.fd.get(), 0) != 0) {
    error = MapErrno(errno, name);
  }
  if (error != 0) {
    last_error = error;
    return INVALID_HANDLE_VALUE;
  }
  const int fd = file.fd.Release();
  *slot = OpenEntry{
      fd,         file.lock.Release(), file.status.st_dev, file.status.st_ino, desired_access,
      share_mode, file.held,           file.verifying,     file.stamp};
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

BOOL KeepsWritersOut(HANDLE file) {
  OpenEntry* entry = EntryOf(file);
  return entry != nullptr && entry->held ? 1 : 0;
}

BOOL VerifyAndLetGo(HANDLE file) {
  OpenEntry* entry = EntryOf(file);
  if (entry == nullptr || !entry->verifying) return 1;
  const bool held = entry->held;
  entry->verifying = entry->held = false;
  // The text first, while a lease still keeps writers waiting: a change after the let-go is no
  // change of the text that was read.
  Stamp now;
  DWORD error = 0;
  if (!StampOf(entry->fd, &now)) {
    error = MapErrno(errno, nullptr);
  } else if (!(now == entry->stamp)) {
    error = ERROR_SHARING_VIOLATION;
  }
  // A lease being broken is still there and ends here. None left (EAGAIN): the system ended it
  // after its lease-break-time and let a writer in.
  if (held && fcntl(entry->fd, F_SETLEASE, F_UNLCK) != 0 && error == 0) {
    error = errno == EAGAIN ? ERROR_SHARING_VIOLATION : MapErrno(errno, nullptr);
  }
  if (error == 0) return 1;
  last_error = error;
  return 0;
}

BOOL CloseHandle(HANDLE file) {
  int fd = DescriptorOf(file);
  if (fd < 0) {
    last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (OpenEntry* entry = EntryOf(file)) {
    if (entry->lock_fd >= 0) close(entry->lock_fd);
    *entry = OpenEntry{};
  }
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
