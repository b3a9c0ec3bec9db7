// What the POSIX platform files share: handles and descriptors, the table of open files, errors.
//
// The POSIX platform calls live in files by job: posix_handles.cpp (this bookkeeping),
// posix_sharing.cpp (how a POSIX file stands in for a Windows share mode), posix_lock_table.cpp
// (the system's table of locks and leases, as the sharing checks read it), posix_overlays.cpp
// (which file beneath an overlay holds the data of a file seen through it), posix_open.cpp
// (opening and closing files), posix_io.cpp (reads, writes, seeks and copies) and
// posix_process.cpp (start-up, standard handles, arguments, reports and exit).
//
// A HANDLE is a descriptor plus one, so that the null handle means "no handle". Error codes are
// mapped from errno to the Windows values the failure messages are keyed on. Every handle that
// CreateFileA gives has an entry in the table of open files, which the sharing rules consult.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <span>

#include "runtime/platform/platform.h"

namespace kg::platform::posix {

// Inputs of more than 2 GiB are read and seeked in whole; the build asks for 64-bit offsets.
static_assert(sizeof(off_t) == 8, "off_t must have 64 bits (_FILE_OFFSET_BITS=64)");

inline HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

// The descriptor of a handle, or -1 for the null and the invalid handle.
inline int DescriptorOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1);
}

// ---- Errors and open files (posix_handles.cpp) ----

// The Windows code for an errno value, always one the reference platform gives (an errno without
// a counterpart becomes ERROR_IO_DEVICE); `name` (may be null) tells a missing file apart from a
// missing directory. Keeps errno.
DWORD MapErrno(int error, const char* name);
// Records the Windows code of `error` as the last error (see MapErrno).
void FailWith(int error, const char* name);
// True when standard descriptor `fd` (0 to 2) was closed when the process started; it then holds
// a stand-in that no file of the tool's takes (set by InitializeProcess).
bool StandardClosedAtStart(int fd);
void MarkStandardClosedAtStart(int fd);

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
  ino_t inode = 0;   // to pass over most other files at once; the device is asked afresh
  DWORD access = 0;
  DWORD share = 0;
  bool held = false;       // a read lease taken at the open and not let go yet
  bool verifying = false;  // a reader that lets no one write, whose text is verified at its let-go
  Stamp stamp;             // its text at the open
};

// Every entry of the table; an entry whose fd is -1 is free.
std::span<OpenEntry> OpenEntries();
// The entry of a handle this process opened with CreateFileA, or null.
OpenEntry* EntryOf(HANDLE file);

// Opens `name` with `flags` (and mode 0666 for a new file), retrying interrupted calls; -1 with
// errno set on failure.
int OpenRetrying(const char* name, int flags);

// A descriptor that is closed when its owner ends, unless it has been handed over.
class OwnedDescriptor {
 public:
  OwnedDescriptor() = default;
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
  ~OwnedDescriptor() { Reset(-1); }
  int get() const { return fd_; }
  // Closes the descriptor held (errno is kept), then holds `fd`.
  void Reset(int fd);
  // Hands the descriptor over: the owner no longer closes it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// ---- Terminals (posix_io.cpp) ----

// Asks the system whether `fd` is a terminal and remembers the answer, so that its block reads,
// which deliver a terminal's line end as CR LF, make no extra system call.
void RememberWhetherTerminal(int fd);
// Forgets what is known of a descriptor about to be closed (whether a terminal, a pending LF).
void ForgetDescriptor(int fd);

// ---- The sharing rules (posix_sharing.cpp) ----

// How far CheckSharing goes beyond this process's own handles and standard streams.
enum SharingChecks {
  kOwnOnly,           // a descriptor that reads nothing (O_PATH) can take no lock
  kWithLock,          // also the lock against other processes (regular files only)
  kWithLockAndProbe,  // also, on a descriptor open for reading, whether any descriptor holds the
                      // file open for writing now
};
// The checks that stand for a share mode, on a descriptor of the file whose status is `status`:
// this process's own handles and its standard output and error, then as far as `checks` go.
// 0, or ERROR_SHARING_VIOLATION.
DWORD CheckSharing(int fd, const struct stat& status, DWORD access, DWORD share,
                   SharingChecks checks);
// What the system's table of locks and leases says of an open.
enum class TableLook {
  kRefused,  // another process holds the file so that the open would break or conflict with it
  kClear,    // the table was read whole and shows nothing that the open would break or meet
  kNoTable,  // the table could not be read whole, and what was read refuses nothing
};
// Looks up the regular file `name` in the system's table of locks and leases (/proc/locks): a
// lease (any, for a write; a write lease, for a read) or delegation that an open for `access`
// would break, or a flock(2) lock that the open's own lock would conflict with, refuses it.
// Asked before an existing file is opened, so that a refused open breaks no lease. An entry
// counts only for its own file: one that the table names by its file system's device and an
// inode number that other files of it share (btrfs subvolumes; any device but the file's own
// where its mount is not known) refuses as a delegation always, as a lease unless its holder's
// open files account for every entry of its kind, pid and name as another file's (see
// LeaseIsOfAnotherFile), as a flock not at all (the open's own lock meets only the very file).
// kClear too for a name that is no regular file, and for what the table does not show: a lease
// taken after the look, an entry the read missed while the table changed, and holders that the
// pid namespace of /proc hides.
TableLook LockTableRefuses(const char* name, DWORD access);
// For a regular file open for reading that lets no one write: holds it against writers where the
// system can (*held), and stamps its text for VerifyAndLetGo. 0, ERROR_SHARING_VIOLATION when a
// writer has it open now, or the system's code when the text cannot be stamped.
DWORD HoldAgainstWriters(int fd, bool* held, Stamp* stamp);

}  // namespace kg::platform::posix
