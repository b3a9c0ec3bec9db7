// How a POSIX file stands in for a Windows share mode: identity, locks, leases, the text's stamp.
//
// The sharing policy, in one place. An open grants others read access only (FILE_SHARE_READ), so:
//   - Within this process, an open that an earlier open's share mode forbids is refused: the table
//     of open files (posix_handles.cpp) keeps what each open allows, and this file compares. Files
//     are matched by device and inode, so that another name, a hard link or a symbolic link is
//     still the same file; across two devices, unless both are local file systems (the local
//     table), by inode number, size and modification time: an overlay or a FUSE mirror shows the
//     file beneath under a device of its own, and a network mount of a local folder keeps its
//     numbers. A file seen through an overlay is also the file of its layers that holds its data
//     (posix_overlays.cpp), whatever inode number the view shows. Two local file systems (two tmpfs
//     mounts, two disks, two btrfs subvolumes) number their inodes each for itself: their files are
//     always two. A file that standard output or standard error writes into counts as held open for
//     writing (a shell's redirection, sharing everything).
//   - Against other processes, before any open of an existing regular file: the system's table of
//     locks and leases (/proc/locks, read by posix_lock_table.cpp), so that an open that would
//     break another process's lease (a write lease, for a read; any lease, for a write) or meet a
//     conflicting flock(2) lock is refused without being made. An entry counts only for its own
//     file: where the table's device is that of a file system whose parts number their inodes each
//     for itself (btrfs), a flock is left to the lock below and a lease to its holder's open files,
//     which must account for every entry the table names by that holder and name; a delegation
//     refuses. Where the table cannot be read, the open is made all the same (see posix_open.cpp).
//     Then, on the open file, a flock(2) lock taken without waiting: shared for a reader,
//     exclusive for a writer. Another run of the tool, or a script holding flock(1), conflicts.
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
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "runtime/platform/posix_internal.h"
#include "runtime/platform/posix_local_file_systems.h"
#include "runtime/platform/posix_lock_table.h"
#include "runtime/platform/posix_overlays.h"

namespace kg::platform {

using posix::LockEntry;
using posix::Naming;
using posix::OpenEntry;
using posix::Stamp;
using posix::TableNaming;

namespace {

// True when one side's access is allowed by what the other side shares.
bool Permits(DWORD access, DWORD share) {
  return (!(access & GENERIC_READ) || (share & FILE_SHARE_READ)) &&
         (!(access & GENERIC_WRITE) || (share & FILE_SHARE_WRITE));
}

// True when the file system holding the file open as `fd` is listed in kLocalFileSystems with
// `property`; false where it is not, or where fstatfs fails. Not so on a view of other files (an
// overlay, a FUSE mount), a network or cluster file system, or any type not listed.
bool LocalFileSystemHas(int fd, posix::LocalProperty property) {
  struct statfs system;
  if (fstatfs(fd, &system) != 0) return false;
  for (const posix::LocalFileSystem& local : posix::kLocalFileSystems) {
    if (static_cast<std::uint32_t>(system.f_type) == local.magic) {
      return (local.properties & property) != 0;
    }
  }
  return false;
}

// True when a read lease on the file open as `fd` sees every writer of it (kHeld).
bool LeaseSeesEveryWriter(int fd) {
  return LocalFileSystemHas(fd, posix::kHeld);
}

// True when the inode numbers of the file system holding the file open as `fd` are its own
// (kOwnNumbers): no file of another device is shown there again under its number.
bool InodeNumbersAreItsOwn(int fd) {
  return LocalFileSystemHas(fd, posix::kOwnNumbers);
}

// True when `a` (open as `fd_a`) and `b` (open as `fd_b`) are one file: the same inode of the same
// device; across two devices, two regular files of which one, seen through an overlay, shows the
// data the other holds beneath it (see posix::HoldsDataOf), or, where one at least has no inode
// numbers of its own (see InodeNumbersAreItsOwn: an overlay or a FUSE mirror showing the file
// beneath under a device of its own, a network mount of a local folder, a type not known), that
// have the same inode number, size and modification time (to the nanosecond). Two files on two
// local file systems (two tmpfs mounts, two disks, two btrfs subvolumes) are otherwise always two,
// however alike: their inode numbers are each file system's own.
bool SameFile(int fd_a, const struct stat& a, int fd_b, const struct stat& b) {
  if (a.st_dev == b.st_dev) return a.st_ino == b.st_ino;
  if (!S_ISREG(a.st_mode) || !S_ISREG(b.st_mode)) return false;
  if ((posix::IsOverlayView(fd_a) && posix::HoldsDataOf(fd_a, a, b)) ||
      (posix::IsOverlayView(fd_b) && posix::HoldsDataOf(fd_b, b, a))) {
    return true;
  }
  return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         !(InodeNumbersAreItsOwn(fd_a) && InodeNumbersAreItsOwn(fd_b));
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
  const bool view = posix::IsOverlayView(fd);  // whose inode number need not be its data's
  struct stat image;
  const bool on_image = posix::ImageBeneath(fd, &image);
  for (const OpenEntry& entry : posix::OpenEntries()) {
    struct stat open;  // asked afresh: the entry's size and time as they are now
    if (entry.fd < 0 || fstat(entry.fd, &open) != 0) continue;
    // One file, or one the file system of the other is mounted from: a write of either changes
    // the other's data.
    struct stat entry_image;
    const bool one = (on_image && open.st_dev == image.st_dev && open.st_ino == image.st_ino) ||
                     (posix::ImageBeneath(entry.fd, &entry_image) &&
                      entry_image.st_dev == status.st_dev && entry_image.st_ino == status.st_ino) ||
                     ((entry.inode == status.st_ino || view || posix::IsOverlayView(entry.fd)) &&
                      SameFile(entry.fd, open, fd, status));
    if (one && (!Permits(access, entry.share) || !Permits(entry.access, share))) return false;
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

// True when an entry of the table of locks and leases conflicts with an open for writing
// (`writing`) or for reading: a lease or a delegation that the open would break (any for a write;
// for a read, a write lease, or one the system is breaking already), or a flock(2) lock that the
// open's own lock would conflict with. A waiter holds nothing, and other locks (POSIX, OFD) do not
// stand for a share mode: they conflict with nothing here.
bool Conflicts(const LockEntry& entry, bool writing) {
  if (entry.waiter) return false;
  switch (entry.kind) {
    case LockEntry::Kind::kLease:
    case LockEntry::Kind::kDeleg:
      if (entry.state == LockEntry::State::kBreaker) return false;  // one who waits for a lease
      return writing || entry.write || entry.state == LockEntry::State::kBreaking;
    case LockEntry::Kind::kFlock:
      return writing || entry.write;
    default:
      return false;
  }
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

TableLook LockTableRefuses(const char* name, DWORD access) {
  struct statx file;
  if (statx(AT_FDCWD, name, AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_INO | STATX_MNT_ID, &file) !=
          0 ||
      !S_ISREG(file.stx_mode)) {
    return TableLook::kClear;  // no regular file of that name: nothing to look up
  }
  const long self = static_cast<long>(getpid());
  const bool writing = (access & GENERIC_WRITE) != 0;
  // Seen through an overlay, the file is also the file beneath that holds its data, which an open
  // through the view opens (and a lock or lease on it is on that file).
  struct stat beneath;
  const bool has_beneath = DataFileNamed(name, &beneath);
  const auto of_beneath = [&](const LockEntry& entry) {
    return has_beneath && entry.inode == beneath.st_ino &&
           makedev(entry.major, entry.minor) == beneath.st_dev;
  };
  // The entries of the file's inode number first (a waiter holds nothing), so that a lease can be
  // weighed against every entry of its kind, holder and name.
  std::vector<LockEntry> numbered;
  const bool whole = ForEachLockEntry([&](const LockEntry& entry) {
    if ((entry.inode == file.stx_ino || of_beneath(entry)) && entry.pid != self && !entry.waiter) {
      numbered.push_back(entry);
    }
    return false;
  });
  std::optional<TableNaming> naming;  // read at the first entry that needs it
  for (const LockEntry& entry : numbered) {
    if (!Conflicts(entry, writing)) continue;
    if (of_beneath(entry)) return TableLook::kRefused;
    if (entry.inode != file.stx_ino) continue;
    if (!naming) naming.emplace(file);
    switch (naming->Of(entry.major, entry.minor)) {
      case Naming::kOtherFile:
        continue;
      case Naming::kTheFile:
        return TableLook::kRefused;
      case Naming::kSharedNumber:
        break;
    }
    // Maybe another subvolume's file. A flock is left to the flock(2) lock the open takes, which
    // meets only the very file. A lease refuses unless its holder's open files account for every
    // entry of its kind, pid and name as another file's; a delegation (the NFS server's, held by
    // no descriptor) always.
    if (entry.kind == LockEntry::Kind::kFlock) continue;
    const auto alike = [&entry](const LockEntry& other) {
      return other.kind == entry.kind && other.state != LockEntry::State::kBreaker &&
             other.pid == entry.pid && other.major == entry.major && other.minor == entry.minor;
    };
    if (entry.kind != LockEntry::Kind::kLease ||
        !LeaseIsOfAnotherFile(
            entry, static_cast<int>(std::count_if(numbered.begin(), numbered.end(), alike)),
            *naming, static_cast<ino_t>(file.stx_ino))) {
      return TableLook::kRefused;
    }
  }
  // A table read in part refuses what that part shows, and tells nothing of the rest.
  return whole ? TableLook::kClear : TableLook::kNoTable;
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
