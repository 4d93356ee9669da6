// Where an output path leads, and whether the file there may be replaced by
// a new one rather than written in place.
#ifndef CRED_STOW_SRC_TARGET_H
#define CRED_STOW_SRC_TARGET_H

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>

// One file name within its directory, with its terminator.
constexpr size_t name_buffer_size = NAME_MAX + 1;

// The file an output path finally names, held through the directory that
// holds it: every later step acts on that directory and that name, never on
// a path that may lead elsewhere meanwhile. release_target closes it.
struct Target {
  int dir = -1;                // the directory, open for reading and syncing
  char name[name_buffer_size]; // the file's name in it
  int file = -1;               // the file found there, open for reading;
                               // -1 when there is none yet
  int writable = -1;           // the same file open for writing, once the
                               // kernel's write check was made
  struct stat old;             // that file's status
  bool shows_other_access = false; // whether the directory's file system may
                                   // show other owners or modes than it keeps
};

// Follows path to the file it finally names and decides, about that very
// file, whether it may be replaced. Returns true with target filled in, or
// false when path is to be written in place, by open and so by the kernel's
// own rules; target then holds nothing open.
bool find_target(const char *path, Target *target);

// Whether target's name still holds the file found there, with its owner,
// mode, links and change time as they were decided on, or still nothing.
// Its ACL is the caller's to compare with what it carried over.
bool target_unchanged(const Target *target);

// Whether the kernel would let the caller write the file found, for one that
// already holds its line and is left as it is. Nothing is opened for writing
// where the kernel's access check sees the caller's ids and capabilities as
// open does and the file system leaves the check to the kernel, since on an
// overlay that alone copies the file up into the upper layer; otherwise the
// file is, as for may_replace.
bool may_keep(Target *target);

// Whether the file found may be replaced by a new one in its folder: the
// folder is neither append-only nor immutable; and for a file there, its
// file system shows the owner and mode it keeps, its owner and group are ids
// that the caller's user namespace maps, it is no mount point, and the
// kernel lets the caller open it for writing and rename over its name.
// target then holds it open for writing, with the times that open left it
// (an overlay's copy-up changes them).
bool may_replace(Target *target);

// Opens the directory that holds the last component of path, relative to
// base, for reading and syncing. Returns its descriptor, or -1.
int open_folder_of(int base, const char *path);

// Whether fd lies in /proc, or its file system cannot be told.
bool may_be_proc(int fd);

// Closes what target holds. Returns 0, or -1 when a close failed.
int release_target(Target *target);

#endif // CRED_STOW_SRC_TARGET_H
