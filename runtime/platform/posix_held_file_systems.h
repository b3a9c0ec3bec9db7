// The local file systems: an input is held against writers there (a read lease sees every writer).
#pragma once

#include <cstdint>

namespace kg::platform::posix {

// A file system by its statfs magic number, with the name a person knows it by.
struct HeldFileSystem {
  std::uint32_t magic;
  const char* name;
};

// Local disk and memory file systems, where every writer of a file opens it through the inode
// that holds the lease, so that none gets in unseen, and whose inode numbers are their own (two
// files on two of them are two, however alike). Not so where other machines, or another mount
// beneath (FUSE, overlayfs layers), reach the data: network, cluster and FUSE file systems,
// overlayfs and every type not listed here. The end-to-end tests and the benchmark read this
// table too: each entry as {magic, "name"}.
inline constexpr HeldFileSystem kHeldFileSystems[] = {
    {0xEF53, "ext2/ext3/ext4"}, {0x58465342, "xfs"},   {0x9123683E, "btrfs"},
    {0x01021994, "tmpfs"},      {0x858458F6, "ramfs"}, {0xF2F52010, "f2fs"},
};

}  // namespace kg::platform::posix
