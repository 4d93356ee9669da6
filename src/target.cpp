// Follows an output path to the file it finally names, through directory
// descriptors, and decides about that very file whether it may be replaced.
// The command usually runs as root beside other users' files, so nothing is
// done by hand that the kernel would refuse the same caller: a link is
// followed, and a file replaced, only where the rules of
// fs.protected_symlinks and fs.protected_regular allow it, whether or not
// they are switched on, and a file is replaced, or left as it is, only where
// the kernel's own write check lets the caller write it. Whatever is not
// allowed, or cannot be told for sure, is left to open, which writes in place
// under the kernel's own rules.
#include "target.h"

#include "caller.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

// Room for a path or a link's text that the kernel accepts, with its
// terminator.
constexpr size_t path_buffer_size = PATH_MAX;

// Links followed by hand at the end of the path before giving up, as many
// as the kernel follows in a whole path. The links within the folders of a
// path are the kernel's to follow and count, so the hand count alone cannot
// tell what open would refuse; find_target asks the kernel for that.
constexpr int max_link_hops = 40;

// Inode flags, as <linux/fs.h> has them; the C libraries' own headers do not
// all carry that one. In an append-only or immutable folder no name can be
// renamed over or removed, so a new file made there could neither take the
// old one's place nor be cleaned up.
constexpr unsigned long fs_ioc_getflags = _IOR('f', 1, long);
constexpr int fs_immutable_fl = 0x10;
constexpr int fs_append_fl = 0x20;

// The magic number of /proc, as <linux/magic.h> has it; not every C
// library's include path has that header. A link there (/dev/stdout leads
// to one) names a file that is open already, not a place in a directory:
// renaming a new file over the name it shows would leave the open file as
// it was. So nothing in /proc is replaced.
constexpr uint32_t proc_super_magic = 0x9fa0;

// File systems that may show other owners or modes than they keep, as
// <linux/magic.h> numbers them: FUSE (bindfs shows what it is told to,
// exfat-fuse what its mount options say), NFS (the server maps ids: root
// squashed, an NFSv4 name it cannot map shown as nobody), SMB (the mount
// options' owner and modes) and 9p (QEMU's mapped security model). What
// fstat shows there, given to a new file, may make the file that is kept
// readable by others or someone else's; open writes it as it is kept.
static const uint32_t mapping_fs_magic[] = {0x65735546, 0x6969, 0xff534d42, 0xfe534d42,
                                            0x517b, 0x01021997};

// fd's file system, taken to be /proc where it cannot be told.
static uint32_t fs_magic(int fd) {
  struct statfs fs {};
  return fstatfs(fd, &fs) != 0 ? proc_super_magic : static_cast<uint32_t>(fs.f_type);
}

bool may_be_proc(int fd) { return fs_magic(fd) == proc_super_magic; }

static bool same_file(const struct stat *a, const struct stat *b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// A sticky directory that others may write, such as /tmp: anyone may have
// put a file or a link there, so the kernel's protections hold there. Their
// stricter level, which counts a directory its group may write, is taken.
static bool shared_sticky(const struct stat *dir) {
  return (dir->st_mode & S_ISVTX) != 0 &&
         (dir->st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether something owned by uid, in dir, may be trusted in the kernel's
// sense: anywhere but in a shared sticky directory, or when the caller or
// the directory's owner owns it. The kernel compares the filesystem ids,
// which after exec are the effective ids; an id that may stand for any
// unmapped one tells nothing.
static bool trusted_owner(int dir, uid_t uid) {
  struct stat st {};
  if (fstat(dir, &st) != 0)
    return false;
  return !shared_sticky(&st) || ((uid == geteuid() || uid == st.st_uid) &&
                                 !may_be_unmapped(uid, false));
}

int open_folder_of(int base, const char *path) {
  const char *slash = strrchr(path, '/');
  char dir[path_buffer_size] = ".";
  if (slash != nullptr) {
    // "/name" lies in "/" itself.
    size_t dir_len = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (dir_len >= sizeof dir)
      return -1;
    memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
  }
  return openat(base, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Opens the directory part of path, relative to base, as target's directory
// and takes its last component as target's name. A path that ends in a
// slash or names nothing, or a directory in /proc, is left to open.
static bool enter(int base, const char *path, Target *target) {
  const char *slash = strrchr(path, '/');
  const char *name = slash != nullptr ? slash + 1 : path;
  size_t name_len = strlen(name);
  if (name_len == 0 || name_len >= sizeof target->name)
    return false;
  int fd = open_folder_of(base, path);
  if (fd < 0)
    return false;
  if (target->dir >= 0)
    close(target->dir);
  target->dir = fd;
  memcpy(target->name, name, name_len + 1);
  uint32_t type = fs_magic(fd);
  target->shows_other_access = false;
  for (uint32_t magic : mapping_fs_magic)
    target->shows_other_access |= type == magic;
  return type != proc_super_magic;
}

// Reads the link at target's name into link, provided it is still the link
// seen, whose owner was checked.
static bool read_link(const Target *target, const struct stat *seen,
                      char *link, size_t size) {
  int fd = openat(target->dir, target->name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st {};
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISLNK(st.st_mode) && same_file(&st, seen))
    n = readlinkat(fd, "", link, size);
  close(fd);
  if (n < 0 || static_cast<size_t>(n) >= size)
    return false;
  link[n] = '\0';
  return true;
}

// Opens the regular file at target's name, checks that it is still the one
// seen and not a link or a FIFO put there since, and decides on it: another
// user's file in a shared sticky directory is one that open would refuse to
// create over. Whether the caller may write it is the kernel's to say, later,
// once it is known whether the file is to change at all.
static bool open_existing(Target *target, const struct stat *seen) {
  // Reading it changes nothing on disk where the caller may keep its access
  // time (as its owner or root), since the file is often left as it is.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  target->file = openat(target->dir, target->name, flags | O_NOATIME);
  if (target->file < 0 && errno == EPERM)
    target->file = openat(target->dir, target->name, flags);
  if (target->file < 0 || fstat(target->file, &target->old) != 0)
    return false;
  const struct stat *old = &target->old;
  return S_ISREG(old->st_mode) && same_file(old, seen) &&
         trusted_owner(target->dir, old->st_uid);
}

// Whether the kernel refuses to follow the links at path, relative to base:
// more than it follows (ELOOP), one on a nosymfollow mount (ELOOP), or one
// that fs.protected_symlinks or a security module will not let the caller
// follow (EACCES). A link to nothing is no refusal: it names the file to
// create. O_PATH opens nothing that has effects, not even a FIFO or a
// device.
static bool links_refused(int base, const char *path) {
  int fd = openat(base, path, O_PATH | O_CLOEXEC);
  if (fd >= 0)
    close(fd);
  return fd < 0 && errno != ENOENT;
}

// Whether the kernel follows the links of the whole path, which counts
// those inside its folders too, and the path still leads to the link seen
// afterwards: an answer about a path that leads elsewhere by now, as when a
// folder on it was renamed meanwhile, says nothing about that link.
static bool path_follows_to(const char *path, const struct stat *link) {
  if (links_refused(AT_FDCWD, path))
    return false;
  int fd = openat(AT_FDCWD, path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st {};
  bool same = fstat(fd, &st) == 0 && same_file(&st, link);
  close(fd);
  return same;
}

// Lets go of a target that is to be written in place instead.
static bool write_in_place_instead(Target *target) {
  release_target(target);
  return false;
}

bool find_target(const char *path, Target *target) {
  if (!enter(AT_FDCWD, path, target))
    return write_in_place_instead(target);
  for (int hop = 0;; ++hop) {
    struct stat st {};
    if (fstatat(target->dir, target->name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT)
        return true; // the file to create
      return write_in_place_instead(target);
    }
    // A device or a FIFO is not even opened here: opening some has effects.
    if (S_ISREG(st.st_mode) && open_existing(target, &st))
      return true;
    if (!S_ISLNK(st.st_mode))
      return write_in_place_instead(target);
    // A link is relative to its own directory, and a dangling one names the
    // file to create; the new file is made beside the file the links lead
    // to, so that the links stay links. The kernel is asked about each link
    // through the folder it is then followed through, since one may have
    // been put there since the last question; the first time also about the
    // whole path, so that the links inside its folders count too.
    char link[path_buffer_size];
    if (links_refused(target->dir, target->name) ||
        (hop == 0 && !path_follows_to(path, &st)) || hop == max_link_hops ||
        !trusted_owner(target->dir, st.st_uid) ||
        !read_link(target, &st, link, sizeof link) ||
        !enter(target->dir, link, target))
      return write_in_place_instead(target);
  }
}

// Whether b has the owner, mode and links that were decided on for a; they
// are compared in their own right, since a change time kept in whole seconds
// (JFFS2, FAT, ext4 with small inodes) may not show a change made in the same
// second as the one before it.
static bool same_access(const struct stat *a, const struct stat *b) {
  return same_file(a, b) && a->st_uid == b->st_uid && a->st_gid == b->st_gid &&
         a->st_mode == b->st_mode && a->st_nlink == b->st_nlink;
}

bool target_unchanged(const Target *target) {
  struct stat now {};
  if (fstatat(target->dir, target->name, &now, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT && target->file < 0;
  // Its owner, mode and names are carried over as they were when it was
  // decided on (its ACL is compared by the caller); any other change, such
  // as a write, shows in its change time.
  return target->file >= 0 && same_access(&now, &target->old) &&
         now.st_ctim.tv_sec == target->old.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == target->old.st_ctim.tv_nsec;
}

// ioctl takes its request as an unsigned long in glibc and as an int in
// musl; the kernel reads 32 bits of it either way.
template <typename Request>
static int get_inode_flags(int (*call)(int, Request, ...), int fd, int *flags) {
  return call(fd, static_cast<Request>(fs_ioc_getflags), flags);
}

// Whether fd's inode has any of these flags; one whose flags cannot be read
// (a file system without them) has none.
static bool has_inode_flag(int fd, int mask) {
  int flags = 0;
  return get_inode_flags(ioctl, fd, &flags) == 0 && (flags & mask) != 0;
}

// Opening the file for writing is the kernel's full write check, by the
// effective ids as for any open: on top of what faccessat checks, a program
// being run, an append-only file, and the security modules that check only
// at open (AppArmor, Landlock, TOMOYO). Nothing is written through it; it
// is held until the target is released. A lease held elsewhere makes such an
// open wait until the lease is broken; O_NONBLOCK makes it fail at once
// instead, and the file is then left to open, which waits as it would for
// any writer.
static bool open_for_writing(Target *target) {
  target->writable = openat(target->dir, target->name,
                            O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat now {};
  if (target->writable < 0 || fstat(target->writable, &now) != 0 ||
      !same_file(&now, &target->old))
    return false;
  // On an overlay this open copies a file up from the lower layer, which
  // changes its change time and nothing else; the times are taken anew, so
  // that the copy-up does not count as a change before the rename. Anything
  // decided on that changed is left as it was, for that check to find.
  if (same_access(&now, &target->old))
    target->old = now;
  return true;
}

bool may_keep(Target *target) {
  // A caller whose ids or capabilities differ from what the access check
  // sees gets the write check instead, which open makes as for any write: a
  // set-id wrapper, a daemon that switched its effective user, a user given
  // CAP_DAC_OVERRIDE, a root whose capabilities are not all effective. So
  // does a file whose file system checks an open itself: a FUSE server
  // without an access call of its own has every access check pass.
  if (target->shows_other_access || !access_check_as_open())
    return open_for_writing(target);
  // Any other caller gets the kernel's access check, which opens nothing:
  // the checks of inode_permission (mode, ACL, a read-only file system, an
  // immutable file, SELinux and Smack), but not the security modules that
  // check only at open. An append-only file passes it, though open refuses
  // to write one other than by appending. It is the three-argument system
  // call, in every kernel since 2.6.16: the C libraries try faccessat2
  // first, and glibc does not fall back where a sandbox refuses that with
  // EPERM. The name may lead elsewhere by now; the caller checks afterwards
  // that it still holds the file.
  // A sandbox that refuses the call itself gets the write check instead.
  if (syscall(SYS_faccessat, target->dir, target->name, W_OK) != 0)
    return (errno == ENOSYS || errno == EPERM) && open_for_writing(target);
  return !has_inode_flag(target->file, fs_append_fl);
}

// Whether the file at target's name is a mount point, as a file bind-mounted
// onto another is: its name can neither be renamed over nor removed, so no
// new file is made for it. statx says so from Linux 5.8; before, a mount id
// differing from the folder's does, which the kernel gives with a file
// handle where the file system can make one (most can, UBIFS cannot), and
// otherwise the rename fails with EBUSY and the new file is removed.
static bool mount_point(const Target *target) {
  constexpr uint64_t statx_attr_mount_root = 0x2000;
  uint64_t stx[32] = {}; // struct statx: attributes at [1], their mask at [7]
  if (syscall(SYS_statx, target->dir, target->name, AT_SYMLINK_NOFOLLOW, 0, stx) == 0 &&
      (stx[7] & statx_attr_mount_root) != 0)
    return (stx[1] & statx_attr_mount_root) != 0;
  // With no room for the handle the kernel answers EOVERFLOW, but gives the
  // mount id.
  uint32_t handle[2] = {0, 0}; // its size, then its type
  int file_mount = -1;
  int dir_mount = -1;
  syscall(SYS_name_to_handle_at, target->dir, target->name, handle, &file_mount, 0);
  handle[0] = 0;
  syscall(SYS_name_to_handle_at, target->dir, "", handle, &dir_mount, AT_EMPTY_PATH);
  return file_mount != dir_mount;
}

// Whether the kernel lets the caller rename over the file's name: renaming a
// name onto itself changes nothing, yet passes the security modules' rename
// checks (a Landlock sandbox that lets the caller create files but not
// remove them refuses it), so that a new file is not made where it could
// neither take that name nor be removed.
static bool may_rename_over(const Target *target) {
  return renameat(target->dir, target->name, target->dir, target->name) == 0;
}

bool may_replace(Target *target) {
  if (has_inode_flag(target->dir, fs_append_fl | fs_immutable_fl))
    return false;
  if (target->file < 0)
    return true;
  return !target->shows_other_access && !may_be_unmapped(target->old.st_uid, false) &&
         !may_be_unmapped(target->old.st_gid, true) &&
         !mount_point(target) && open_for_writing(target) && may_rename_over(target);
}

int release_target(Target *target) {
  int status = 0;
  if (target->file >= 0 && close(target->file) != 0)
    status = -1;
  if (target->writable >= 0 && close(target->writable) != 0)
    status = -1;
  if (target->dir >= 0 && close(target->dir) != 0)
    status = -1;
  target->file = -1;
  target->writable = -1;
  target->dir = -1;
  return status;
}
