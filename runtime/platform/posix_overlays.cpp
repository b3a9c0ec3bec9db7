// Overlays and their layers: which file beneath holds the data that a file seen through one shows.
#include "runtime/platform/posix_overlays.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "runtime/platform/posix_lock_table.h"

namespace kg::platform::posix {

namespace {

constexpr unsigned long kOverlayMagic = 0x794C7630;  // statfs's f_type of overlayfs

// `text` with the octal escapes (\040 for a blank, \054 for a comma) of /proc/self/mountinfo
// undone.
std::string Unescaped(std::string_view text) {
  std::string plain;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\\' && at + 3 < text.size() && text[at + 1] >= '0' && text[at + 1] <= '3' &&
        text[at + 2] >= '0' && text[at + 2] <= '7' && text[at + 3] >= '0' && text[at + 3] <= '7') {
      plain += static_cast<char>((text[at + 1] - '0') * 64 + (text[at + 2] - '0') * 8 +
                                 (text[at + 3] - '0'));
      at += 3;
    } else {
      plain += text[at];
    }
  }
  return plain;
}

// Splits the old mount interface's lowerdir value ("/l1:/l2::/d", a ':' of a path written "\:")
// into `mount`'s layers, the data-only ones after the "::".
void AddLowerLayers(std::string_view value, OverlayMount* mount) {
  std::string layer;
  bool data = false;
  for (std::size_t at = 0; at <= value.size(); ++at) {
    if (at < value.size() && value[at] == '\\' && at + 1 < value.size()) {
      layer += value[++at];
    } else if (at < value.size() && value[at] != ':') {
      layer += value[at];
    } else if (!layer.empty()) {
      mount->layers.push_back(std::move(layer));
      layer.clear();
      if (!data) mount->data_from = mount->layers.size();
    } else if (at < value.size()) {
      data = true;  // an empty layer: "::"
    }
  }
}

// The path of the file open as `fd`, as this process sees paths; empty where the system does not
// tell.
std::string PathOf(int fd) {
  char link[32], path[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

// True when `path` is the directory `at` or lies beneath it.
bool Under(const std::string& path, const std::string& at) {
  return at == "/" || (path.compare(0, at.size(), at) == 0 &&
                       (path.size() == at.size() || path[at.size()] == '/'));
}

// The line of /proc/self/mountinfo of the mount that the file open as `fd` (its status `status`,
// its path `path`) lies on, or empty: the line of its mount id, or, where the system gives none (a
// user-mode emulator's statx gives 0), of the mount of its device whose mount point is the
// longest over its path.
std::string MountLineOf(int fd, const struct stat& status, const std::string& path) {
  struct statx mount_of;
  const bool by_id = statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &mount_of) == 0 &&
                     (mount_of.stx_mask & STATX_MNT_ID) != 0 && mount_of.stx_mnt_id != 0;
  std::string found;
  std::size_t longest = 0;
  ForEachLine("/proc/self/mountinfo", [&](char* line) {
    unsigned long long id = 0;
    unsigned major_number = 0, minor_number = 0;
    char at[PATH_MAX];
    if (std::sscanf(line, "%llu %*u %u:%u %*s %4095s", &id, &major_number, &minor_number, at) !=
        4) {
      return false;
    }
    if (by_id) {
      if (id == mount_of.stx_mnt_id) found = line;
      return id == mount_of.stx_mnt_id;
    }
    const std::string mount_point = Unescaped(at);
    if (makedev(major_number, minor_number) == status.st_dev && Under(path, mount_point) &&
        mount_point.size() >= longest) {
      found = line;
      longest = mount_point.size();
    }
    return false;
  });
  return found;
}

// True when `file` has the status that `view` shows, but for the device and inode number.
bool ShowsStatusOf(const struct stat& view, const struct stat& file) {
  return view.st_size == file.st_size && view.st_mode == file.st_mode &&
         view.st_uid == file.st_uid && view.st_gid == file.st_gid &&
         view.st_mtim.tv_sec == file.st_mtim.tv_sec &&
         view.st_mtim.tv_nsec == file.st_mtim.tv_nsec &&
         view.st_ctim.tv_sec == file.st_ctim.tv_sec && view.st_ctim.tv_nsec == file.st_ctim.tv_nsec;
}

// What the layers of an overlay give for a view.
struct Beneath {
  enum class Found {
    kFile,        // `file`, which holds the view's data
    kCannotTell,  // the overlay's mount, the view's path or a layer not found
    kOnLayers,    // a metacopy overlay: any file on one of `devices` (none: on any device)
  } found = Found::kCannotTell;
  bool at_path = false;  // `file` is the first layer's file of the view's path, whatever its status
  struct stat file = {};
  std::vector<dev_t> devices;
};

// The file beneath that holds the data of `view`, open as `view_fd` (see HoldsDataOf).
Beneath LookBeneath(int view_fd, const struct stat& view) {
  Beneath beneath;
  // The view's path within the overlay: its path as this process sees it, less the mount point.
  std::string within = PathOf(view_fd);
  OverlayMount mount;
  if (within.empty() || !ParseOverlayMount(MountLineOf(view_fd, view, within).c_str(), &mount) ||
      mount.layers.empty() || !Under(within, mount.mount_point)) {
    return beneath;
  }
  if (mount.mount_point != "/") within.erase(0, mount.mount_point.size());
  if (mount.root != "/") within.insert(0, mount.root);
  // Every layer must be there to be looked in: a layer named by a relative path, or by one of
  // another mount namespace, tells nothing.
  for (const std::string& layer : mount.layers) {
    struct stat status;
    if (layer.empty() || layer[0] != '/' || stat(layer.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode)) {
      beneath.devices.clear();
      break;
    }
    beneath.devices.push_back(status.st_dev);
  }
  // Where a file's data may lie elsewhere than its path tells and its status does not show (a
  // metacopy, a data-only layer), every file on a layer's device may be it, and every file where a
  // layer is out of reach.
  if (mount.metacopy || mount.data_from < mount.layers.size()) {
    beneath.found = Beneath::Found::kOnLayers;
    return beneath;
  }
  if (beneath.devices.empty()) return beneath;
  // The upper layer's file, else the first lower layer's that has the view's path. It shows the
  // view's status, or the layers named are not those the overlay looks in.
  for (const std::string& layer : mount.layers) {
    if (stat((layer + within).c_str(), &beneath.file) == 0) {
      beneath.at_path = true;
      if (ShowsStatusOf(view, beneath.file)) beneath.found = Beneath::Found::kFile;
      return beneath;
    }
    if (errno != ENOENT && errno != ENOTDIR) return beneath;
  }
  return beneath;  // in no layer by its path: found by a redirect
}

}  // namespace

bool ParseOverlayMount(const char* line, OverlayMount* mount) {
  // "50 26 0:42 / /m rw,relatime shared:1 - overlay overlay rw,lowerdir=/l,upperdir=/u,workdir=/w"
  char root[PATH_MAX], mount_point[PATH_MAX];
  unsigned long long id = 0;
  if (std::sscanf(line, "%llu %*u %*u:%*u %4095s %4095s", &id, root, mount_point) != 3) {
    return false;
  }
  const char* fields = std::strstr(line, " - overlay ");
  const char* options = fields != nullptr ? std::strchr(fields + 11, ' ') : nullptr;
  if (options == nullptr) return false;
  *mount = OverlayMount{id, Unescaped(root), Unescaped(mount_point), {}, false, 0, false};
  std::vector<std::string> upper, lower, data;
  for (std::string_view rest(options + 1); !rest.empty();) {
    const std::size_t comma = rest.find(',');
    const std::string_view option = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const std::size_t equals = option.find('=');
    const std::string_view name = option.substr(0, equals);
    const std::string value =
        equals == std::string_view::npos ? std::string() : Unescaped(option.substr(equals + 1));
    if (name == "upperdir") {
      upper.push_back(value);
    } else if (name == "lowerdir") {
      OverlayMount split;
      AddLowerLayers(value, &split);
      lower.insert(lower.end(), split.layers.begin(), split.layers.begin() + split.data_from);
      data.insert(data.end(), split.layers.begin() + split.data_from, split.layers.end());
    } else if (name == "lowerdir+") {
      lower.push_back(value);
    } else if (name == "datadir+") {
      data.push_back(value);
    } else if (name == "metacopy") {
      mount->metacopy = value == "on";
    }
  }
  mount->has_upper = !upper.empty();
  mount->layers = std::move(upper);
  mount->layers.insert(mount->layers.end(), lower.begin(), lower.end());
  mount->data_from = mount->layers.size();
  mount->layers.insert(mount->layers.end(), data.begin(), data.end());
  return true;
}

bool IsOverlayView(int fd) {
  struct statfs system;
  return fstatfs(fd, &system) != 0 || static_cast<unsigned long>(system.f_type) == kOverlayMagic;
}

bool HoldsDataOf(int view_fd, const struct stat& view, const struct stat& other) {
  const Beneath beneath = LookBeneath(view_fd, view);
  if (beneath.at_path && beneath.file.st_dev == other.st_dev &&
      beneath.file.st_ino == other.st_ino) {
    return true;  // also when one of them changed between the two looks at their status
  }
  switch (beneath.found) {
    case Beneath::Found::kFile:
      return beneath.file.st_dev == other.st_dev && beneath.file.st_ino == other.st_ino;
    case Beneath::Found::kOnLayers:
      return beneath.devices.empty() || std::find(beneath.devices.begin(), beneath.devices.end(),
                                                  other.st_dev) != beneath.devices.end();
    case Beneath::Found::kCannotTell:
      break;
  }
  return ShowsStatusOf(view, other);
}

bool DataFileOf(int view_fd, const struct stat& view, struct stat* file) {
  const Beneath beneath = LookBeneath(view_fd, view);
  if (beneath.found != Beneath::Found::kFile) return false;
  *file = beneath.file;
  return true;
}

bool DataFileNamed(const char* name, struct stat* file) {
  const int fd = open(name, O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat view;
  const bool found = IsOverlayView(fd) && fstat(fd, &view) == 0 && S_ISREG(view.st_mode) &&
                     DataFileOf(fd, view, file);
  close(fd);
  return found;
}

bool ImageBeneath(int fd, struct stat* image) {
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  // "27 1 7:0 / /m ro,relatime - squashfs /dev/loop0 ro": the source after the type.
  const std::string line = MountLineOf(fd, status, PathOf(fd));
  const char* fields = std::strstr(line.c_str(), " - ");
  char named[PATH_MAX];
  std::string source;
  if (fields != nullptr && std::sscanf(fields + 3, "%*s %4095s", named) == 1) {
    source = Unescaped(named);
  }
  struct stat device;
  if (source.empty() || source[0] != '/' || stat(source.c_str(), &device) != 0) return false;
  if (S_ISBLK(device.st_mode)) {  // a loop device's file, as the system names it
    char backing[64];
    std::snprintf(backing, sizeof backing, "/sys/dev/block/%u:%u/loop/backing_file",
                  major(device.st_rdev), minor(device.st_rdev));
    source.clear();
    ForEachLine(backing, [&](char* line) { return source = line, true; });
    if (source.empty() || stat(source.c_str(), &device) != 0) return false;
  }
  if (!S_ISREG(device.st_mode)) return false;
  *image = device;
  return true;
}

}  // namespace kg::platform::posix
