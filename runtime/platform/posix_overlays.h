// Files beneath file systems: which file of an overlay's layers holds the data that a file seen
// through it shows, and which image file a file system is mounted from.
//
// An overlay (overlayfs) shows the files of its layers as one tree: a file of its upper layer, or
// else of the first lower layer that has it. Written through the view, a lower file is first
// copied up into the upper layer; from then on the upper file holds the data, while the view may
// go on showing the lower file's inode number (where the layers lie on one file system). So a
// file seen through an overlay and the file beneath that holds its data are one file to every
// reader and writer, though their devices and inode numbers differ: the sharing checks ask here.
// The layers are named in /proc/self/mountinfo, by the paths the overlay was mounted with.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kg::platform::posix {

// One overlay mount as a line of /proc/self/mountinfo shows it, its escapes undone.
struct OverlayMount {
  unsigned long long id = 0;  // the mount's id (statx's STATX_MNT_ID)
  std::string root;           // the directory of the overlay that is mounted ("/" for all of it)
  std::string mount_point;    // where it is mounted, as this process sees paths
  // The layers, in the order the overlay looks in them: the upper layer (when `has_upper`), the
  // lower layers, then the data-only layers (from `data_from` on), which hold the data of lower
  // files that the overlay finds by a redirect, not by their paths.
  std::vector<std::string> layers;
  bool has_upper = false;
  std::size_t data_from = 0;
  bool metacopy = false;  // a copy-up may take a file's attributes only, its data left beneath
};

// Parses one line of /proc/self/mountinfo. True for an overlay: "50 26 0:42 / /m rw - overlay
// overlay rw,lowerdir=/l1:/l2::/d,upperdir=/u,workdir=/w" (the mount interface of old), or with
// "lowerdir+=/l1,lowerdir+=/l2,datadir+=/d" (the newer one). In the old form a ':' in a path is
// written "\:", two ':' start the data-only layers. False for every other line.
bool ParseOverlayMount(const char* line, OverlayMount* mount);

// True when the file open as `fd` is seen through an overlay, or when the system cannot tell.
bool IsOverlayView(int fd);

// True when `other`, a regular file on another device than the overlay's, holds the data of
// `view`, a regular file seen through an overlay and open as `view_fd`: it is the file beneath
// that the overlay's layers give for the view's path (the upper layer's, else the first lower
// layer's that has it). Where the layers cannot tell (one out of reach, named by a relative path
// or by one of another mount namespace; the view's path in none of them; a file found there whose
// status is not the view's), when `other` has the view's size, times (the change time included,
// which no one can set), mode and owner: an overlay shows its data file's status but for the
// device and inode number. On a metacopy overlay, or one with data-only layers, where a file's
// data may lie in a lower file that neither its path nor its status tells: when `other` lies on a
// layer's device, or a layer is out of reach.
bool HoldsDataOf(int view_fd, const struct stat& view, const struct stat& other);

// For `view`, a regular file seen through an overlay and open as `view_fd`: the status of the file
// beneath that holds its data, where the layers give it (see HoldsDataOf). False where they
// cannot tell, and on a metacopy overlay.
bool DataFileOf(int view_fd, const struct stat& view, struct stat* file);
// DataFileOf for the file `name`, where it is a regular file seen through an overlay.
bool DataFileNamed(const char* name, struct stat* file);

// The regular file that the file system holding the file open as `fd` is mounted from (in
// `image`): the file behind its loop device, or the file it was mounted from directly. False for
// a file system of a disk, of memory, of the network, or where the system does not tell. Written,
// such a file changes every file of that file system.
bool ImageBeneath(int fd, struct stat* image);

}  // namespace kg::platform::posix
