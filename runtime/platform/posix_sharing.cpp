// How a POSIX file stands in for a Windows share mode: identity, locks, leases, the text's stamp.
//
// The sharing policy, in one place. An open grants others read access only (FILE_SHARE_READ), so:
//   - Within this process, the table of open files (posix_handles.cpp) refuses a second open that
//     the first one's share mode forbids. Files are matched by device and inode, so that another
//     name, a hard link or a symbolic link is still the same file; and, across two devices, by
//     inode number, size and modification time, as an overlay or a FUSE mirror shows the file
//     beneath it under a device of its own. A file that standard output or standard error writes
//     into counts as held open for writing (a shell's redirection, sharing everything).
//   - Against other processes, a flock(2) lock taken without waiting: shared for a reader,
//     exclusive for a writer. Another run of the tool, or a script holding flock(1), conflicts.
//   - A reader that lets no one write also takes a read lease (fcntl F_SETLEASE) where the system
//     sees every writer (local disk and memory file systems): a process holding the file open for
//     writing, or mapping it writable, fails the open; one that opens it for writing later waits
//     for this process, or for the system's lease-break-time, after which the system may end the
//     lease unasked. Elsewhere the lease is dropped at once and the file is read unheld.
//   - Every such reader's text is stamped at the open (size, modification time) and verified where
//     it is let go (VerifyAndLetGo), held or not: a change that no lease sees (an open for reading
//     with O_TRUNC, a writer beneath a mirror) or a lease the system ended fails the let-go.
//   - An existing file about to be replaced is checked (own handles, exclusive flock, whether
//     anyone has it open for writing) on a read-only descriptor before it is opened for writing
//     (posix_open.cpp), so that a refusal never opens it for writing: such an open would start the
//     break of another process's lease on it.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/vfs.h>

#include <cerrno>

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

// True when `a` and `b` are one file: the same inode of the same device, or two regular files with
// the same inode number, size and modification time (to the nanosecond) on two devices.
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
    if (posix::StandardClosedAtStart(fd) || fstat(fd, &stream) != 0) continue;
    if ((S_ISREG(stream.st_mode) || S_ISFIFO(stream.st_mode)) && SameFile(stream, status)) {
      return true;
    }
  }
  return false;
}

// True when an open of this file for `access`, granting `share`, may coexist with every handle
// this process already holds on it, the standard output and error included.
bool SharingAllows(const struct stat& status, DWORD access, DWORD share) {
  if (WrittenByStandardStream(status) &&
      (!Permits(access, FILE_SHARE_READ | FILE_SHARE_WRITE) || !Permits(GENERIC_WRITE, share))) {
    return false;
  }
  for (const OpenEntry& entry : posix::OpenEntries()) {
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
  kWriterHasIt,  // a descriptor, or a writable mapping, holds it open for writing now
  kNotHad,       // no lease here (no CAP_LEASE for another owner's file, no leases on this system)
};

Lease TakeReadLease(int fd) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Lease::kTaken;
  return errno == EAGAIN ? Lease::kWriterHasIt : Lease::kNotHad;
}

// True when any descriptor holds the regular file open for writing now, another process's or one
// this process inherited, as far as a read lease taken on `fd` (open for reading) and let go at
// once can tell. False where none can be tried (no CAP_LEASE for another owner's file).
bool HasWriterNow(int fd) {
  Lease lease = TakeReadLease(fd);
  if (lease == Lease::kTaken) fcntl(fd, F_SETLEASE, F_UNLCK);
  return lease == Lease::kWriterHasIt;
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
    case RAMFS_MAGIC:
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

}  // namespace

namespace posix {

DWORD CheckSharing(int fd, const struct stat& status, DWORD access, DWORD share,
                   bool probe_writers) {
  if (!SharingAllows(status, access, share)) return ERROR_SHARING_VIOLATION;
  if (!S_ISREG(status.st_mode)) return 0;
  if (!LockAgainstOtherProcesses(fd, access)) return ERROR_SHARING_VIOLATION;
  return probe_writers && HasWriterNow(fd) ? ERROR_SHARING_VIOLATION : 0;
}

DWORD HoldAgainstWriters(int fd, bool* held, Stamp* stamp) {
  Lease lease = TakeReadLease(fd);
  if (lease == Lease::kWriterHasIt) return ERROR_SHARING_VIOLATION;
  // Where writers may get in unseen, the lease has told what it can: the file is read unheld.
  *held = lease == Lease::kTaken && LeaseSeesEveryWriter(fd);
  if (lease == Lease::kTaken && !*held) fcntl(fd, F_SETLEASE, F_UNLCK);
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
