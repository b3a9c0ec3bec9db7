// The system's table of locks and leases as the sharing checks read it: entries, names, holders.
#include "runtime/platform/posix_lock_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/platform/posix_overlays.h"

namespace kg::platform::posix {

namespace {

// The kinds of entries by the names the table gives them.
LockEntry::Kind KindNamed(const char* name) {
  static constexpr struct {
    const char* name;
    LockEntry::Kind kind;
  } kKinds[] = {{"FLOCK", LockEntry::Kind::kFlock},
                {"POSIX", LockEntry::Kind::kPosix},
                {"OFDLCK", LockEntry::Kind::kOfd},
                {"LEASE", LockEntry::Kind::kLease},
                {"DELEG", LockEntry::Kind::kDeleg}};
  for (const auto& known : kKinds) {
    if (std::strcmp(name, known.name) == 0) return known.kind;
  }
  return LockEntry::Kind::kOther;
}

// True when `field` is a whole last field of an entry: "EOF" or a number.
bool IsEnd(const char* field) {
  if (std::strcmp(field, "EOF") == 0) return true;
  if (*field == '\0') return false;
  for (; *field != '\0'; ++field) {
    if (*field < '0' || *field > '9') return false;
  }
  return true;
}

// The device that every layer of the overlay `overlay` lies on, where there is one: such an
// overlay shows each file of its layers under that file's own inode number. False for an overlay
// whose layers lie on two devices (inode numbers of its own) or cannot be found.
bool LayersDevice(const OverlayMount& overlay, dev_t* beneath) {
  for (std::size_t layer = 0; layer < overlay.layers.size(); ++layer) {
    struct stat status;
    if (stat(overlay.layers[layer].c_str(), &status) != 0 ||
        (layer > 0 && status.st_dev != *beneath)) {
      return false;
    }
    *beneath = status.st_dev;
  }
  return !overlay.layers.empty();
}

// ForEachLine on the open table `table`.
bool ReadLines(int table, const std::function<bool(char*)>& line) {
  std::vector<char> buffer(8192);
  std::size_t held = 0;  // the bytes of lines not passed yet, at the buffer's start
  for (;;) {
    if (held == buffer.size() - 1) buffer.resize(buffer.size() * 2);  // a line that fills it
    const ssize_t got = read(table, buffer.data() + held, buffer.size() - 1 - held);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    held += static_cast<std::size_t>(got);
    char* start = buffer.data();
    for (char* end; (end = static_cast<char*>(std::memchr(start, '\n', held))) != nullptr;) {
      *end = '\0';
      if (line(start)) return true;
      held -= static_cast<std::size_t>(end + 1 - start);
      start = end + 1;
    }
    if (got == 0) {  // the last line, without an LF
      start[held] = '\0';
      if (held > 0) line(start);
      return true;
    }
    std::memmove(buffer.data(), start, held);
  }
}

}  // namespace

bool ParseLockLine(const char* line, LockEntry* entry) {
  int at = 0;
  if (std::sscanf(line, " %*d:%n", &at) != 0 || at == 0) return false;
  line += at;
  while (*line == ' ') ++line;
  const bool waiter = std::strncmp(line, "->", 2) == 0;
  if (waiter) line += 2;
  char kind[16], state[16], type[16], end[16];
  long pid = 0;
  unsigned major = 0, minor = 0;
  unsigned long long inode = 0;
  int used = 0;
  if (std::sscanf(line, "%15s %15s %15s %ld %x:%x:%llu %*s %15s%n", kind, state, type, &pid, &major,
                  &minor, &inode, end, &used) != 8 ||
      line[used] != '\0' || !IsEnd(end)) {
    return false;
  }
  *entry = LockEntry{};
  entry->kind = KindNamed(kind);
  entry->state = std::strcmp(state, "BREAKING") == 0  ? LockEntry::State::kBreaking
                 : std::strcmp(state, "BREAKER") == 0 ? LockEntry::State::kBreaker
                                                      : LockEntry::State::kHeld;
  entry->write = std::strcmp(type, "WRITE") == 0;
  entry->waiter = waiter;
  entry->pid = pid;
  entry->major = major;
  entry->minor = minor;
  entry->inode = inode;
  return true;
}

bool ForEachLine(const char* path, const std::function<bool(char*)>& line) {
  // As posix::OpenRetrying does; this file stands alone, so that the unit tests build it.
  int table;
  do {
    table = open(path, O_RDONLY | O_CLOEXEC);  // a table in /proc opens without waiting
  } while (table < 0 && errno == EINTR);
  if (table < 0) return false;
  const bool whole = ReadLines(table, line);
  close(table);
  return whole;
}

bool SteadyReading(const std::function<bool(std::vector<LockEntry>*)>& read_once,
                   std::vector<LockEntry>* reading) {
  constexpr int kMostReadings = 4;
  std::vector<LockEntry> before;
  bool whole = read_once(&before);
  for (int made = 1; made < kMostReadings; ++made) {
    reading->clear();
    const bool now = read_once(reading);
    if (whole && now && *reading == before) return true;
    whole = now;
    before.swap(*reading);
  }
  *reading = std::move(before);
  return whole;
}

bool ForEachLockEntry(const std::function<bool(const LockEntry&)>& entry) {
  std::vector<LockEntry> reading;
  const bool whole = SteadyReading(
      [](std::vector<LockEntry>* into) {
        return ForEachLine("/proc/locks", [into](char* line) {
          LockEntry parsed;
          if (ParseLockLine(line, &parsed)) into->push_back(parsed);
          return false;
        });
      },
      &reading);
  for (const LockEntry& each : reading) {
    if (entry(each)) break;
  }
  return whole;
}

TableNaming::TableNaming(const struct statx& file)
    : own_(makedev(file.stx_dev_major, file.stx_dev_minor)), mount_(own_) {
  // No mount has id 0: a layer that gives it (a user-mode emulator's statx) tells none.
  const bool mount_known = (file.stx_mask & STATX_MNT_ID) != 0 && file.stx_mnt_id != 0;
  bool mount_found = false;
  const bool whole = ForEachLine("/proc/self/mountinfo", [&](char* line) {
    // "50 26 0:42 / /m rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u,workdir=/w"
    unsigned long long id = 0;
    unsigned major = 0, minor = 0;
    if (std::sscanf(line, "%llu %*u %u:%u", &id, &major, &minor) != 3) return false;
    const dev_t device = makedev(major, minor);
    if (mount_known && id == file.stx_mnt_id) {
      mount_ = device;
      mount_found = true;
    }
    OverlayMount overlay;
    dev_t beneath = 0;
    if (!ParseOverlayMount(line, &overlay) || !LayersDevice(overlay, &beneath)) return false;
    if (device == own_) overlays_.push_back(beneath);  // the file's own overlay: the file beneath
    if (beneath == own_) overlays_.push_back(device);  // an overlay over the file's device
    return false;
  });
  mount_known_ = whole && mount_found;
}

Naming TableNaming::Of(unsigned major, unsigned minor) const {
  const dev_t device = makedev(major, minor);
  if (device == own_ || std::find(overlays_.begin(), overlays_.end(), device) != overlays_.end()) {
    return Naming::kTheFile;
  }
  return device == mount_ || !mount_known_ ? Naming::kSharedNumber : Naming::kOtherFile;
}

bool LeaseIsOfAnotherFile(const LockEntry& lease, int entries, const TableNaming& naming,
                          ino_t inode) {
  if (lease.pid <= 0 || entries <= 0) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/fdinfo", lease.pid);
  DIR* open_files = opendir(path);
  if (open_files == nullptr) return false;
  struct Owner {
    int fd;
    dev_t device;
  };
  std::vector<Owner> owners;  // one descriptor of each open file found to own such a lease
  bool proof = true;
  while (const dirent* found = readdir(open_files)) {
    if (found->d_name[0] < '0' || found->d_name[0] > '9') continue;
    std::snprintf(path, sizeof path, "/proc/%ld/fdinfo/%.16s", lease.pid, found->d_name);
    bool owns = false;
    ForEachLine(path, [&](char* line) {
      LockEntry held;
      owns = std::strncmp(line, "lock:", 5) == 0 && ParseLockLine(line + 5, &held) &&
             held.kind == lease.kind && held.pid == lease.pid && held.major == lease.major &&
             held.minor == lease.minor && held.inode == lease.inode;
      return owns;
    });
    if (!owns) continue;
    std::snprintf(path, sizeof path, "/proc/%ld/fd/%.16s", lease.pid, found->d_name);
    struct stat status;
    if (stat(path, &status) != 0 || status.st_ino != inode ||
        naming.Of(major(status.st_dev), minor(status.st_dev)) != Naming::kOtherFile) {
      proof = false;  // of this file, or no telling
      break;
    }
    const int fd = std::atoi(found->d_name);
    // Another open file unless a descriptor of one already found may be the same: on the same
    // file, and kcmp(2) cannot tell them apart (0: the same; -1: not allowed, not built in).
    const bool same = std::any_of(owners.begin(), owners.end(), [&](const Owner& owner) {
      return owner.device == status.st_dev &&
             syscall(SYS_kcmp, lease.pid, lease.pid, KCMP_FILE, owner.fd, fd) <= 0;
    });
    if (!same) owners.push_back(Owner{fd, status.st_dev});
  }
  closedir(open_files);
  return proof && owners.size() == static_cast<std::size_t>(entries);
}

}  // namespace kg::platform::posix
