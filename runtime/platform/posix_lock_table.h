// The system's table of locks and leases as the sharing checks read it: entries, names, holders.
//
// The table (/proc/locks) names each entry's file by the device of its file system and its inode
// number. Which entries are of a given file is the reading's part (TableNaming); which of them
// refuse an open is the sharing policy's (posix_sharing.cpp). The line parser reads no file, so
// that the unit tests run it on every build.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kg::platform::posix {

// One entry of the table, or one `lock:` line of a process's /proc/PID/fdinfo/N, which tells the
// locks that open file owns.
struct LockEntry {
  enum class Kind { kFlock, kPosix, kOfd, kLease, kDeleg, kOther };
  enum class State { kHeld, kBreaking, kBreaker };  // kBreaking, kBreaker: leases only
  Kind kind = Kind::kOther;
  State state = State::kHeld;
  bool write = false;   // of type WRITE (else READ, or UNLCK for a lease being broken to none)
  bool waiter = false;  // "->": a lock waited for, which no one holds yet
  long pid = 0;         // -1 for an OFD lock; 0 for a holder the table's pid namespace hides
  unsigned major = 0;   // the device of the file's file system, as the table gives it (hex)
  unsigned minor = 0;
  std::uint64_t inode = 0;
  bool operator==(const LockEntry&) const = default;
};

// Parses one line of the table, such as "12: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF" or
// "3: -> LEASE  BREAKER   READ 99 00:2a:257 0 EOF", or such a line after "lock:" in fdinfo. False
// for a line of any other shape, one without an inode ("<none>"), and one cut short before its
// last field.
bool ParseLockLine(const char* line, LockEntry* entry);

// Calls `line` with each line of the system's table `path` (in /proc), its LF replaced by a NUL,
// until `line` answers true. Each line is passed whole, however long (the mount table's line of
// an overlay of many layers runs to many pages). False when the table cannot be opened or read to
// its end (an open or read that a signal interrupts is made again). The system hands a table out
// a page or so per read, resumed by position: a line may be missed, or seen twice, when the table
// changes between two reads.
bool ForEachLine(const char* path, const std::function<bool(char*)>& line);

// Reads a table with `read_once`, which fills a reading and tells whether it read the table
// whole, until two readings in a row are whole and alike, or four were made; `reading` is the
// last. Where another process took or let go a lock between two of the system's pages, a reading
// misses an entry or shows one twice, and the next seldom does so again. True when the last
// reading was whole.
bool SteadyReading(const std::function<bool(std::vector<LockEntry>*)>& read_once,
                   std::vector<LockEntry>* reading);

// Calls `entry` with each entry of the table of locks and leases, from a steady reading, until it
// answers true. False when the table cannot be read whole.
bool ForEachLockEntry(const std::function<bool(const LockEntry&)>& entry);

// What the table's device of an entry with a file's inode number says of that entry.
enum class Naming {
  kOtherFile,     // a device the file is not seen under: another file
  kTheFile,       // the file itself: its own device, or one of an overlay that shows it (see below)
  kSharedNumber,  // the device of the file's file system, whose parts number their inodes each
                  // for itself (btrfs subvolumes and snapshots): the inode number alone does not
                  // tell whether the entry is of this file; so too every device but the file's own
                  // and its overlays' where the file's mount is not known (below)
};

// The devices under which the table names the file whose status is `file`, and why each, read
// once (from /proc/self/mountinfo and the overlays' layers):
//   - its own device (stat's): with its inode number, the very file;
//   - its mount's device, where that is another (btrfs gives each subvolume a device of its own,
//     the table the file system's): an inode number that files of other subvolumes share;
//   - an overlay whose layers lie on one file system shows each of their files under that file's
//     own inode number: the file's own overlay's layers' device (the file beneath it), and the
//     device of every overlay over the file's own device (the file seen through it). An overlay
//     shows a file copied up from its lower layer under the lower file's number: through such an
//     overlay the stale lower file counts for it (and the upper file that holds its data is
//     looked up by the sharing checks, posix_overlays.h).
// Where /proc/self/mountinfo cannot be read whole, or the file's mount is not found in it (a
// system whose statx gives no mount id), the mount's device is not known, nor are all overlays:
// every device but the file's own and the overlays found is then a shared number, so that no
// entry of the file's number counts as another file's on the strength of what was not read.
class TableNaming {
 public:
  explicit TableNaming(const struct statx& file);
  // What an entry of the file's inode number under device `major`:`minor` is.
  Naming Of(unsigned major, unsigned minor) const;

 private:
  dev_t own_;
  dev_t mount_;                  // own_ where the mount shows no other device
  bool mount_known_ = false;     // mountinfo read whole, and the file's mount found in it
  std::vector<dev_t> overlays_;  // devices that show the file itself, besides its own
};

// True when each of the `entries` entries of the table that share the kind, pid, device and inode
// number of the lease `lease` (that of the regular file `inode`, whose names `naming` tells) is
// shown to be of another file: the process the table names owns a lease so named on exactly
// `entries` open files (open file descriptions: descriptors dup'ed, inherited or passed share
// one), each of another file (stat'ed through /proc/PID/fd/N: the inode number `inode` under a
// device that `naming` calls another file's). Descriptors on two files are two open files; two on
// one file, only where kcmp(2) says so (else they count as one). False without that proof: a
// holder whose open files cannot be read (another user's, a hidden pid, a process that cannot be
// inspected, one gone), one open on the file itself or on a file that cannot be told apart from
// it, and one whose open files account for fewer or more such leases than the table shows (a
// lease handed on to another process by fork(2) or over a unix socket, whose entry still names
// the pid that set it; a pid reused).
bool LeaseIsOfAnotherFile(const LockEntry& lease, int entries, const TableNaming& naming,
                          ino_t inode);

}  // namespace kg::platform::posix
