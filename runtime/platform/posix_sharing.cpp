// How a POSIX file stands in for a Windows share mode: identity, locks, leases, the text's stamp.
//
// The sharing policy, in one place. An open grants others read access only (FILE_SHARE_READ), so:
//   - Within this process, an open that an earlier open's share mode forbids is refused: the table
//     of open files (posix_handles.cpp) keeps what each open allows, and this file compares. Files
//     are matched by device and inode, so that another name, a hard link or a symbolic link is
//     still the same file; across two devices, only where one of them is a view of another file
//     system (an overlay, a FUSE mirror), which shows the file beneath under a device of its own,
//     by inode number, size and modification time. Two devices that are no such view (two tmpfs
//     mounts, two disks, two btrfs subvolumes) number their inodes each for itself: their files
//     are always two. A file that standard output or standard error writes into counts as held
//     open for writing (a shell's redirection, sharing everything).
//   - Against other processes, before any open of an existing regular file: the system's table of
//     locks and leases (/proc/locks), so that an open that would break another process's lease (a
//     write lease, for a read; any lease, for a write) or meet a conflicting flock(2) lock is
//     refused without being made. Then, on the open file, a flock(2) lock taken without waiting:
//     shared for a reader, exclusive for a writer. Another run of the tool, or a script holding
//     flock(1), conflicts.
//   - A reader that lets no one write also takes a read lease (fcntl F_SETLEASE) where the system
//     sees every writer (local disk and memory file systems): a process holding the file open for
//     writing, or mapping it writable, fails the open; one that opens it for writing later waits
//     for this process, or for the system's lease-break-time, after which the system may end the
//     lease unasked. Elsewhere the lease is dropped at once and the file is read unheld.
//   - Every such reader's text is stamped at the open (size, modification time) and verified where
//     it is let go (VerifyAndLetGo), held or not: a change that no lease sees (an open for reading
//     with O_TRUNC) or a lease the system ended fails the let-go. A file read unheld is verified
//     by its bytes as well, by the line file that read them (VERIFY_SIZE).
//   - An existing file about to be replaced is checked before it is opened for writing
//     (posix_open.cpp), so that a refusal never opens it so (such an open would start the break of
//     another process's lease on it): the table of locks and leases, then, on a read-only
//     descriptor, own handles, the exclusive flock and whether anyone has it open for writing; a
//     file that may be written but not read, on a descriptor that reads nothing, own handles only.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "runtime/platform/posix_held_file_systems.h"
#include "runtime/platform/posix_internal.h"

namespace kg::platform {

using posix::OpenEntry;
using posix::Stamp;

namespace {

// True when one side's access is allowed by what the other side shares.
bool Permits(DWORD access, DWORD share) {
  return (!(access & GENERIC_READ) || (share & FILE_SHARE_READ)) &&
         (!(access & GENERIC_WRITE) || (share & FILE_SHARE_WRITE));
}

// True when the file open as `fd` lies on a file system that shows files of another file system
// under a device of its own: an overlay, or a FUSE mount (bindfs, sshfs) mirroring other files.
bool OnAView(int fd) {
  struct statfs system;
  if (fstatfs(fd, &system) != 0) return false;
  const auto type = static_cast<std::uint32_t>(system.f_type);
  return type == OVERLAYFS_SUPER_MAGIC || type == FUSE_SUPER_MAGIC;
}

// True when `a` (open as `fd_a`) and `b` (open as `fd_b`) are one file: the same inode of the same
// device; or, where one of them is seen through a view of another file system (see OnAView), two
// regular files with the same inode number, size and modification time (to the nanosecond). Two
// files on two devices that are no such view (two tmpfs mounts, two disks, two btrfs subvolumes)
// are always two, however alike: their inode numbers are each device's own.
bool SameFile(int fd_a, const struct stat& a, int fd_b, const struct stat& b) {
  if (a.st_ino != b.st_ino) return false;
  if (a.st_dev == b.st_dev) return true;
  return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         (OnAView(fd_a) || OnAView(fd_b));
}

// True when standard output or standard error writes into this file: a regular file or a pipe
// (a terminal or /dev/null is no file that text could be lost from).
bool WrittenByStandardStream(int file, const struct stat& status) {
  for (int fd = 1; fd <= 2; ++fd) {
    struct stat stream;
    if (posix::StandardClosedAtStart(fd) || fstat(fd, &stream) != 0) continue;
    if ((S_ISREG(stream.st_mode) || S_ISFIFO(stream.st_mode)) &&
        SameFile(fd, stream, file, status)) {
      return true;
    }
  }
  return false;
}

// True when an open for `access`, granting `share`, of the file open as `fd` (its status `status`)
// may coexist with every handle this process already holds on it, the standard output and error
// included.
bool SharingAllows(int fd, const struct stat& status, DWORD access, DWORD share) {
  if (WrittenByStandardStream(fd, status) &&
      (!Permits(access, FILE_SHARE_READ | FILE_SHARE_WRITE) || !Permits(GENERIC_WRITE, share))) {
    return false;
  }
  for (const OpenEntry& entry : posix::OpenEntries()) {
    if (entry.fd < 0 || entry.inode != status.st_ino) continue;
    struct stat open;  // asked afresh: the entry's size and time as they are now
    if (fstat(entry.fd, &open) != 0 || !SameFile(entry.fd, open, fd, status)) continue;
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
  kWriterHasIt,  // a descriptor, or a writable mapping, holds it open for writing now
  kNotHad,       // no lease here (no CAP_LEASE for another owner's file, no leases on this system)
};

// Tries a read lease on `fd`, keeping it only when `keep`: else it is let go at once, having told
// what it could.
Lease TryReadLease(int fd, bool keep) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
    return errno == EAGAIN ? Lease::kWriterHasIt : Lease::kNotHad;
  }
  if (!keep) fcntl(fd, F_SETLEASE, F_UNLCK);
  return Lease::kTaken;
}

// True when any descriptor holds the regular file open for writing now, another process's or one
// this process inherited, as far as a read lease tried on `fd` (open for reading) can tell. False
// where none can be tried (no CAP_LEASE for another owner's file).
bool HasWriterNow(int fd) {
  return TryReadLease(fd, false) == Lease::kWriterHasIt;
}

// True where every writer of the file must open it through the inode that holds the lease, so
// that none gets in unseen (see kHeldFileSystems).
bool LeaseSeesEveryWriter(int fd) {
  struct statfs system;
  if (fstatfs(fd, &system) != 0) return false;
  for (const posix::HeldFileSystem& held : posix::kHeldFileSystems) {
    if (static_cast<std::uint32_t>(system.f_type) == held.magic) return true;
  }
  return false;
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

// Calls `line` with each line of the system's table `path` (in /proc), its LF replaced by a NUL,
// until `line` answers true. A line longer than the buffer is passed in pieces. False when the
// table cannot be opened or read.
template <typename Line>
bool ForEachLine(const char* path, Line line) {
  posix::OwnedDescriptor table;
  table.Reset(posix::OpenRetrying(path, O_RDONLY | O_CLOEXEC));
  if (table.get() < 0) return false;
  char buffer[8192];
  std::size_t held = 0;
  for (;;) {
    ssize_t got = read(table.get(), buffer + held, sizeof buffer - 1 - held);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    held += static_cast<std::size_t>(got);
    char* start = buffer;
    for (char* end; (end = static_cast<char*>(std::memchr(start, '\n', held))) != nullptr;) {
      *end = '\0';
      if (line(start)) return true;
      held -= static_cast<std::size_t>(end + 1 - start);
      start = end + 1;
    }
    if (got == 0 || held == sizeof buffer - 1) {  // the last line, or a piece of a long one
      start[held] = '\0';
      if (held > 0 && line(start)) return true;
      if (got == 0) return true;
      held = 0;
      continue;
    }
    std::memmove(buffer, start, held);
  }
}

// The device that the system's table of locks names for files of the mount `mount_id`: the one
// /proc/self/mountinfo gives it. On btrfs it is the file system's, while stat gives each
// subvolume a device of its own. False when it cannot be found.
bool MountDevice(std::uint64_t mount_id, unsigned* major, unsigned* minor) {
  bool found = false;
  ForEachLine("/proc/self/mountinfo", [&](char* line) {
    unsigned long long id = 0;
    found = std::sscanf(line, "%llu %*u %u:%u", &id, major, minor) == 3 && id == mount_id;
    return found;
  });
  return found;
}

// Undoes the octal escapes (\040 for a blank) of a path as /proc/self/mountinfo shows it, in place.
void Unescape(char* path) {
  char* to = path;
  for (const char* from = path; *from != '\0'; ++to) {
    if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' && from[2] <= '7' &&
        from[3] >= '0' && from[3] <= '7') {
      *to = static_cast<char>((from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0'));
      from += 4;
    } else {
      *to = *from++;
    }
  }
  *to = '\0';
}

// The device that every layer of the overlay mounted as device `major`:`minor` lies on, where
// there is one: such an overlay shows each file of its layers under that file's own inode number,
// so a file of it and the file of that device with its inode number are one. False for a device
// that is no overlay, one whose layers lie on two devices (inode numbers of its own), and one whose
// layers cannot be found.
bool OverlayOver(unsigned major, unsigned minor, dev_t* beneath) {
  bool found = false;
  ForEachLine("/proc/self/mountinfo", [&](char* line) {
    // "50 26 0:42 / /m rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u,workdir=/w"
    unsigned line_major = 0, line_minor = 0;
    char* fields = std::strstr(line, " - ");
    if (std::sscanf(line, "%*u %*u %u:%u", &line_major, &line_minor) != 2 || line_major != major ||
        line_minor != minor || fields == nullptr || std::strncmp(fields, " - overlay ", 11) != 0) {
      return false;
    }
    char* options = std::strchr(fields + 11, ' ');  // after the source
    if (options == nullptr) return true;
    bool one_device = true, any = false;
    char* options_left = nullptr;
    for (char* option = strtok_r(options + 1, ",", &options_left); option != nullptr && one_device;
         option = strtok_r(nullptr, ",", &options_left)) {
      const bool lower = std::strncmp(option, "lowerdir=", 9) == 0;
      if (!lower && std::strncmp(option, "upperdir=", 9) != 0) continue;
      char* rest = nullptr;
      for (char* dir = strtok_r(option + 9, lower ? ":" : "", &rest); dir != nullptr;
           dir = strtok_r(nullptr, lower ? ":" : "", &rest)) {
        Unescape(dir);
        struct stat layer;
        if (stat(dir, &layer) != 0 || (any && layer.st_dev != *beneath)) one_device = false;
        *beneath = layer.st_dev;
        any = true;
      }
    }
    found = one_device && any;
    return true;
  });
  return found;
}

// True when a held entry of the table of locks, of `kind` ("FLOCK", "LEASE"...) in `state`
// ("ADVISORY", "ACTIVE", "BREAKING", "BREAKER"...) of `type` ("READ", "WRITE", "UNLCK"), conflicts
// with an open for writing (`writing`) or for reading: a lease or a delegation that the open would
// break (any for a write; for a read, a write lease, or one the system is breaking already), or a
// flock(2) lock that the open's own lock would conflict with. Other locks (POSIX, OFD) do not
// stand for a share mode and conflict with nothing here.
bool Conflicts(const char* kind, const char* state, const char* type, bool writing) {
  const bool write_type = std::strcmp(type, "WRITE") == 0;
  if (std::strcmp(kind, "LEASE") == 0 || std::strcmp(kind, "DELEG") == 0) {
    if (std::strcmp(state, "BREAKER") == 0) return false;  // one who waits for a lease, no holder
    return writing || write_type || std::strcmp(state, "BREAKING") == 0;
  }
  if (std::strcmp(kind, "FLOCK") == 0) return writing || write_type;
  return false;
}

}  // namespace

namespace posix {

DWORD CheckSharing(int fd, const struct stat& status, DWORD access, DWORD share,
                   SharingChecks checks) {
  if (!SharingAllows(fd, status, access, share)) return ERROR_SHARING_VIOLATION;
  if (checks == kOwnOnly || !S_ISREG(status.st_mode)) return 0;
  if (!LockAgainstOtherProcesses(fd, access)) return ERROR_SHARING_VIOLATION;
  return checks == kWithLockAndProbe && HasWriterNow(fd) ? ERROR_SHARING_VIOLATION : 0;
}

bool LockTableRefuses(const char* name, DWORD access) {
  struct statx file;
  if (statx(AT_FDCWD, name, AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_INO | STATX_MNT_ID, &file) !=
          0 ||
      !S_ISREG(file.stx_mode)) {
    return false;
  }
  const long self = static_cast<long>(getpid());
  const bool writing = (access & GENERIC_WRITE) != 0;
  const dev_t device = makedev(file.stx_dev_major, file.stx_dev_minor);
  // Whether the table's device `major`:`minor` names the file system of `name` too: the one its
  // mount shows (a btrfs subvolume's differs from what stat gives), or an overlay over the file's
  // device, or the device beneath the file's own overlay. Each is looked up once, when needed.
  std::optional<dev_t> mount_device, beneath_file;
  auto same_file_system = [&](unsigned major, unsigned minor) {
    if (!mount_device) {
      unsigned mount_major = 0, mount_minor = 0;
      mount_device = (file.stx_mask & STATX_MNT_ID) != 0 &&
                             MountDevice(file.stx_mnt_id, &mount_major, &mount_minor)
                         ? makedev(mount_major, mount_minor)
                         : device;
      dev_t beneath = 0;
      beneath_file = OverlayOver(file.stx_dev_major, file.stx_dev_minor, &beneath)
                         ? beneath
                         : static_cast<dev_t>(-1);
    }
    dev_t beneath = 0;
    return makedev(major, minor) == *mount_device || makedev(major, minor) == *beneath_file ||
           (OverlayOver(major, minor, &beneath) && beneath == device);
  };
  bool refused = false;
  ForEachLine("/proc/locks", [&](char* line) {
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter reads "1: -> FLOCK ...".
    char kind[16], state[16], type[16];
    long pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%llu", kind, state, type, &pid, &major,
                    &minor, &inode) != 7 ||
        pid == self || inode != file.stx_ino) {
      return false;
    }
    if ((major != file.stx_dev_major || minor != file.stx_dev_minor) &&
        !same_file_system(major, minor)) {
      return false;
    }
    refused = Conflicts(kind, state, type, writing);
    return refused;
  });
  return refused;
}

DWORD HoldAgainstWriters(int fd, bool* held, Stamp* stamp) {
  // Where writers may get in unseen, the lease tells what it can and is let go: read unheld.
  const bool sees_every_writer = LeaseSeesEveryWriter(fd);
  Lease lease = TryReadLease(fd, sees_every_writer);
  if (lease == Lease::kWriterHasIt) return ERROR_SHARING_VIOLATION;
  *held = lease == Lease::kTaken && sees_every_writer;
  return StampOf(fd, stamp) ? 0 : MapErrno(errno, nullptr);
}

}  // namespace posix

BOOL KeepsWritersOut(HANDLE file) {
  OpenEntry* entry = posix::EntryOf(file);
  return entry != nullptr && entry->held ? 1 : 0;
}

BOOL VerifyAndLetGo(HANDLE file, DWORD verify) {
  OpenEntry* entry = posix::EntryOf(file);
  if (entry == nullptr || !entry->verifying) return 1;
  const bool held = entry->held;
  entry->verifying = entry->held = false;
  // The text first, while a lease still keeps writers waiting: a change after the let-go is no
  // change of the text that was read.
  Stamp now;
  DWORD error = 0;
  if (!StampOf(entry->fd, &now)) {
    error = posix::MapErrno(errno, nullptr);
  } else if (now.size != entry->stamp.size ||
             (verify == VERIFY_SIZE_AND_TIME && !(now == entry->stamp))) {
    error = ERROR_SHARING_VIOLATION;
  }
  // A lease being broken is still there and ends here. None left (EAGAIN): the system ended it
  // after its lease-break-time and let a writer in.
  if (held && fcntl(entry->fd, F_SETLEASE, F_UNLCK) != 0 && error == 0) {
    error = errno == EAGAIN ? ERROR_SHARING_VIOLATION : posix::MapErrno(errno, nullptr);
  }
  if (error == 0) return 1;
  SetLastError(error);
  return 0;
}

}  // namespace kg::platform
