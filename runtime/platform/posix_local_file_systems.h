// The local file systems, and what the sharing policy may trust on each: its leases, its numbers.
#pragma once

#include <cstdint>

namespace kg::platform::posix {

// What a local file system may be trusted for: the table's two columns, as bits.
enum LocalProperty : unsigned {
  // A lease sees every writer: each writer of a file opens it through the one inode that holds
  // the lease (or none can write at all: a read-only type), so an input is held there.
  kHeld = 1,
  // Its inode numbers are its own: a file of it is no file of another device shown again, so two
  // files on two mounts of it (or on it and another such type) are two, however alike their
  // numbers, sizes and times.
  kOwnNumbers = 2,
};

// A file system by its statfs magic number, with the name a person knows it by (its kernel type
// names) and its LocalProperty bits.
struct LocalFileSystem {
  std::uint32_t magic;
  const char* name;
  unsigned properties;
};

// Local disk and memory file systems. A type not listed has neither property: network and cluster
// file systems (other machines write unseen; NFS and SMB show a server's numbers), FUSE (ntfs-3g,
// exfat-fuse and bindfs alike report FUSE's magic, and a mirror shows the numbers beneath),
// overlayfs and other views of files beneath, and every type not known. Notes:
//   - btrfs and zfs make each subvolume, dataset and snapshot a device of its own, so a snapshot's
//     file and the live one, with one number, size and time, are two.
//   - vfat, msdos and exfat make their numbers up per mount: `cp -p` onto another disk gives alike
//     files. The "ntfs" type is ntfs3 (its magic) from Linux 6.9 on, the old driver before.
//   - squashfs, erofs and iso9660 are read-only: no writer at all, and no file of theirs is an
//     output (one image mounted twice shows one file twice, neither of which can be emptied).
//   - Data changed beneath a file system (its device or image written, a zfs rollback) is seen by
//     no lease, on any of them: the stamp checked at the let-go is what may see it.
// The end-to-end tests and the benchmark read this table too: each entry within one line, as
// {magic, "name", properties}.
// clang-format off
inline constexpr LocalFileSystem kLocalFileSystems[] = {
    {0xEF53,     "ext2/ext3/ext4",  kHeld | kOwnNumbers},
    {0x58465342, "xfs",             kHeld | kOwnNumbers},
    {0x9123683E, "btrfs",           kHeld | kOwnNumbers},
    {0x01021994, "tmpfs",           kHeld | kOwnNumbers},
    {0x858458F6, "ramfs",           kHeld | kOwnNumbers},
    {0xF2F52010, "f2fs",            kHeld | kOwnNumbers},
    {0x4D44,     "vfat/msdos",      kHeld | kOwnNumbers},
    {0x2011BAB0, "exfat",           kHeld | kOwnNumbers},
    {0x7366746E, "ntfs3",           kHeld | kOwnNumbers},
    {0x5346544E, "ntfs",            kHeld | kOwnNumbers},
    {0x482B,     "hfsplus",         kHeld | kOwnNumbers},
    {0x3153464A, "jfs",             kHeld | kOwnNumbers},
    {0x3434,     "nilfs2",          kHeld | kOwnNumbers},
    {0x52654973, "reiserfs",        kHeld | kOwnNumbers},
    {0xCA451A4E, "bcachefs",        kHeld | kOwnNumbers},
    {0x2FC12FC1, "zfs",             kHeld | kOwnNumbers},
    {0x15013346, "udf",             kHeld | kOwnNumbers},
    {0x73717368, "squashfs",        kHeld | kOwnNumbers},
    {0xE0F5E1E2, "erofs",           kHeld | kOwnNumbers},
    {0x9660,     "iso9660",         kHeld | kOwnNumbers},
};
// clang-format on

}  // namespace kg::platform::posix
