// Opening and closing files on POSIX: CreateFileA as its steps, CloseHandle, and file kinds.
//
// What a name or a handle is: GetFileAttributesA, GetFileType.
#include <fcntl.h>

#include <cerrno>

#include "runtime/platform/posix_internal.h"

namespace kg::platform {

using posix::OwnedDescriptor;

namespace {

// A file on its way through CreateFileA: what was opened, what it is, and what the checks found.
struct Opening {
  OwnedDescriptor fd;
  // An existing file to replace: the read-only descriptor it was checked on, which holds its
  // exclusive flock(2) lock from then on.
  OwnedDescriptor lock_fd;
  struct stat status = {};  // of the file opened
  // An existing file to replace, checked before the open for writing (see CheckBeforeReplacing),
  // and what it was then: the open for writing must reach that file.
  bool checked = false;
  struct stat checked_status = {};
  bool held = false;       // held against writers (see posix::HoldAgainstWriters)
  bool verifying = false;  // its text is verified where it is let go
  posix::Stamp stamp;
};

// Opens `name` with `flags` without waiting: not for a lease, this process's own included (an
// input reached by another name as the output), nor for the other end of a FIFO; reads and writes
// on the descriptor do wait. Fills the descriptor and status of `file`. 0, or the code of the
// failure (errno then still tells what the open met).
DWORD OpenWithoutWaiting(const char* name, int flags, Opening* file) {
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  int fd = posix::OpenRetrying(name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    // EWOULDBLOCK: a process holds the file with a lease, as a share mode that lets no one in.
    // For reading, a socket or a device without its driver is no file, as below.
    if (errno == EWOULDBLOCK) return ERROR_SHARING_VIOLATION;
    if (reading && (errno == ENXIO || errno == ENODEV)) return ERROR_FILE_NOT_FOUND;
    return posix::MapErrno(errno, name);
  }
  file->fd.Reset(fd);
  int status_flags = fcntl(fd, F_GETFL);
  if (status_flags < 0 || fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0 ||
      fstat(fd, &file->status) != 0) {
    return posix::MapErrno(errno, name);
  }
  return 0;
}

// A read: what the name leads to must be a regular file (a directory, a device or a FIFO put in
// its place since it was probed is never read), shared as asked, and, when no one may write, held
// against writers where the system can, its text stamped for the check at its let-go.
DWORD OpenToRead(const char* name, DWORD access, DWORD share, Opening* file) {
  // Without the table, the open below, which waits for no lease, still fails on a write lease,
  // but starts its break.
  if (posix::LockTableRefuses(name, access) == posix::TableLook::kRefused) {
    return ERROR_SHARING_VIOLATION;
  }
  if (DWORD error = OpenWithoutWaiting(name, O_RDONLY, file)) return error;
  if (!S_ISREG(file->status.st_mode)) return ERROR_FILE_NOT_FOUND;
  if (DWORD error =
          posix::CheckSharing(file->fd.get(), file->status, access, share, posix::kWithLock)) {
    return error;
  }
  if (share & FILE_SHARE_WRITE) return 0;
  file->verifying = true;
  return posix::HoldAgainstWriters(file->fd.get(), &file->held, &file->stamp);
}

// Before a replace, an existing regular file is checked without being opened for writing, so that
// a refused file is never opened so (such an open starts the break of another process's lease on
// it): first against the system's table of locks and leases, then on a read-only descriptor (this
// process's own handles and standard streams, the exclusive lock, whether anyone holds it open for
// writing), which then stays in `file->lock_fd`, holding the lock. A file the user may write but
// not read is checked as far as a descriptor that reads nothing (O_PATH) lets: the table, and this
// process's own handles and standard streams. 0 both when the file passed and when there was
// nothing to check (no regular file of that name): `file->checked` tells which.
DWORD CheckBeforeReplacing(const char* name, DWORD access, DWORD share, Opening* file) {
  struct stat named;
  if (stat(name, &named) != 0 || !S_ISREG(named.st_mode)) return 0;
  // Without the table, the checks below go on, and the open for writing breaks any lease.
  if (posix::LockTableRefuses(name, access) == posix::TableLook::kRefused) {
    return ERROR_SHARING_VIOLATION;
  }
  Opening reading;
  const bool readable = OpenWithoutWaiting(name, O_RDONLY, &reading) == 0;
  if (!readable) {
    reading.fd.Reset(posix::OpenRetrying(name, O_PATH | O_CLOEXEC));
    if (reading.fd.get() < 0 || fstat(reading.fd.get(), &reading.status) != 0) return 0;
  }
  if (!S_ISREG(reading.status.st_mode)) return 0;
  if (DWORD error = posix::CheckSharing(reading.fd.get(), reading.status, access, share,
                                        readable ? posix::kWithLockAndProbe : posix::kOwnOnly)) {
    return error;
  }
  if (readable) file->lock_fd.Reset(reading.fd.Release());
  file->checked = true;
  file->checked_status = reading.status;
  return 0;
}

// What an open for writing met, once it succeeded: a directory is refused; a regular file that
// took the name after an exclusive create failed (`as_it_is`) is left alone; a file checked
// before (`checked`) must still be the one the name leads to.
DWORD WhatWasMet(const Opening& file, bool as_it_is, const struct stat* checked) {
  if (S_ISDIR(file.status.st_mode)) return ERROR_ACCESS_DENIED;
  if (as_it_is && S_ISREG(file.status.st_mode)) return ERROR_FILE_EXISTS;
  if (checked != nullptr &&
      (file.status.st_dev != checked->st_dev || file.status.st_ino != checked->st_ino)) {
    return ERROR_SHARING_VIOLATION;  // another file took the name: it was never checked
  }
  return 0;
}

// A write: CREATE_ALWAYS checks an existing file before it opens it; CREATE_NEW leaves every
// existing regular file (or symbolic link that leads nowhere) alone with ERROR_FILE_EXISTS and
// opens anything else of that name as it is. A file not checked before is checked on the
// descriptor just opened.
DWORD OpenToWrite(const char* name, DWORD access, DWORD share, DWORD creation, Opening* file) {
  const bool must_be_new = creation == CREATE_NEW;
  if (!must_be_new) {
    if (DWORD error = CheckBeforeReplacing(name, access, share, file)) return error;
  }
  // A file checked before is opened only as it is: one gone meanwhile is not made anew.
  const bool checked_before = file->checked;
  const bool locked_before = file->lock_fd.get() >= 0;
  int flags = O_WRONLY | (checked_before ? 0 : O_CREAT) | (must_be_new ? O_EXCL : 0);
  DWORD error = OpenWithoutWaiting(name, flags, file);
  const bool as_it_is = error != 0 && must_be_new && errno == EEXIST;
  if (as_it_is) {
    struct stat existing;
    if (stat(name, &existing) != 0 || S_ISREG(existing.st_mode)) return ERROR_FILE_EXISTS;
    error = OpenWithoutWaiting(name, O_WRONLY, file);
  }
  if (error == 0) {
    error = WhatWasMet(*file, as_it_is, checked_before ? &file->checked_status : nullptr);
  }
  if (error != 0 || locked_before) return error;
  return posix::CheckSharing(file->fd.get(), file->status, access, share, posix::kWithLock);
}

// Empties a regular file opened to be replaced, now that the open is known to be allowed; devices
// and pipes have no length.
DWORD Empty(const Opening& file, const char* name) {
  if (!S_ISREG(file.status.st_mode) || file.status.st_size == 0) return 0;
  return ftruncate(file.fd.get(), 0) == 0 ? 0 : posix::MapErrno(errno, name);
}

// A free entry of the table of open files, or null.
posix::OpenEntry* FreeEntry() {
  for (posix::OpenEntry& entry : posix::OpenEntries()) {
    if (entry.fd < 0) return &entry;
  }
  return nullptr;
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void* /*security*/,
                   DWORD creation_disposition, DWORD /*flags*/, HANDLE /*template_file*/) {
  Opening file;
  posix::OpenEntry* entry = FreeEntry();
  DWORD error = entry == nullptr ? ERROR_TOO_MANY_OPEN_FILES
                : (desired_access & GENERIC_WRITE)
                    ? OpenToWrite(name, desired_access, share_mode, creation_disposition, &file)
                    : OpenToRead(name, desired_access, share_mode, &file);
  if (error == 0 && creation_disposition == CREATE_ALWAYS) error = Empty(file, name);
  if (error != 0) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  *entry = posix::OpenEntry{
      file.fd.Release(), file.lock_fd.Release(), file.status.st_ino, desired_access, share_mode,
      file.held,         file.verifying,         file.stamp};
  posix::RememberWhetherTerminal(entry->fd);
  return posix::HandleOf(entry->fd);
}

BOOL CloseHandle(HANDLE file) {
  int fd = posix::DescriptorOf(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (posix::OpenEntry* entry = posix::EntryOf(file)) {
    if (entry->lock_fd >= 0) close(entry->lock_fd);
    *entry = posix::OpenEntry{};
  }
  posix::ForgetDescriptor(fd);
  // Linux releases the descriptor even when close reports EINTR; do not close it twice.
  if (close(fd) != 0 && errno != EINTR) {
    posix::FailWith(errno, nullptr);
    return 0;
  }
  return 1;
}

DWORD GetFileType(HANDLE file) {
  int fd = posix::DescriptorOf(file);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISCHR(status.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_DISK;
}

DWORD GetFileAttributesA(const char* name) {
  struct stat status;
  if (name[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (stat(name, &status) != 0) {
    posix::FailWith(errno, name);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(status.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return S_ISREG(status.st_mode) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DEVICE;
}

}  // namespace kg::platform
