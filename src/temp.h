// The new file that replaces an output file: made beside it under a name
// nobody else has, given the old file's access, and removed again unless it
// was renamed into place.
#ifndef CRED_STOW_SRC_TEMP_H
#define CRED_STOW_SRC_TEMP_H

#include "target.h"

#include <stddef.h>
#include <sys/types.h>

// The old file's POSIX access ACL, as carried over: its entries take 8 bytes
// each after a 4-byte header; this holds 64 entries in all, so 60 named ones
// beside the owner's, the group's, the mask and others', and a longer one
// makes the file be written in place.
constexpr size_t acl_buffer_size = 4 + 8 * 64;

// Its one owner creates it with create_temp and ends it with discard_temp,
// which removes it unless made was cleared once it took the old file's name.
// fd stays open until then, so that a file that cannot be removed can still
// be emptied, and is -1 once closed. acl holds the old file's ACL as carried
// over, acl_size -1 when it had none.
struct Temp {
  int fd = -1;
  bool made = false;
  char name[name_buffer_size];
  char acl[acl_buffer_size];
  ssize_t acl_size = -1;
};

// What became of a step on the new file: done; not possible for this caller
// or file system, so that the old file is to be written in place instead; or
// failed, which fails the run with the old file kept.
enum class Step { done, in_place, failed };

// Creates ".NAME.XXXXXX" beside name in dir with mode. Returns in_place where
// open is to decide instead (no right to create there, no name free, no
// descriptor left), failed otherwise.
Step create_temp(int dir, const char *name, mode_t mode, Temp *temp);

// Gives temp the old file's owner, POSIX ACL and mode.
Step copy_access(const Target *target, Temp *temp);

// Whether the old file still has the ACL that was carried over, or still
// none.
bool acl_unchanged(const Target *target, const Temp *temp);

// Removes temp unless it took the old file's name, and closes it.
void discard_temp(int dir, Temp *temp);

#endif // CRED_STOW_SRC_TEMP_H
