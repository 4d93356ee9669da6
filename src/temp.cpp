// The new file beside an output file: its name, creating it, carrying the
// old file's access over to it, and discarding it when it does not take the
// old file's place.
#include "temp.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

// Names tried for the new file before writing in place instead, should that
// many be taken already.
constexpr int max_temp_attempts = 100;

static const char acl_attribute[] = "system.posix_acl_access";

// Whether error is a refusal that open may not share: a security module's
// (EACCES), a missing capability (EPERM), or a sandbox's that answers for a
// call it does not allow (ENOSYS).
static bool refused(int error) {
  return error == EACCES || error == EPERM || error == ENOSYS;
}

// A security module may refuse to open a new file for writing once the
// kernel has created it (Landlock, where the caller may write only the old
// file): the empty file that this run made is removed again. Only a file the
// caller owns can be that one, since the name was free an instant before.
static void remove_refused(int dir, const char *name) {
  int error = errno;
  struct stat st {};
  if ((error == EACCES || error == EPERM) &&
      fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
      st.st_size == 0 && st.st_nlink == 1 && st.st_uid == geteuid())
    unlinkat(dir, name, 0);
  errno = error;
}

// Where the kernel has no random bits yet (early in a device's boot), the
// time, the pid and where the stack lies still differ from run to run.
static uint64_t name_bits() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == sizeof bits)
    return bits;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(now.tv_nsec) << 20) ^ static_cast<uint64_t>(now.tv_sec) ^
         (static_cast<uint64_t>(getpid()) << 44) ^ reinterpret_cast<uintptr_t>(&bits);
}

// The X's of the name are replaced: O_EXCL is what makes the name ours, and a
// name that is taken is passed over. This does what mkostemp does, relative
// to a directory; glibc's mkostemp also draws in code that raises the run's
// peak memory by a sixth.
Step create_temp(int dir, const char *name, mode_t mode, Temp *temp) {
  static const char letters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const size_t count = 6;
  int len = snprintf(temp->name, sizeof temp->name, ".%s.XXXXXX", name);
  if (len < 0 || static_cast<size_t>(len) >= sizeof temp->name)
    return Step::in_place;
  char *x = temp->name + len - count;
  uint64_t bits = name_bits();
  for (int attempt = 0; attempt < max_temp_attempts; ++attempt) {
    uint64_t v = bits;
    for (size_t i = 0; i < count; ++i) {
      x[i] = letters[v % (sizeof letters - 1)];
      v /= sizeof letters - 1;
    }
    temp->fd = openat(dir, temp->name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (temp->fd >= 0) {
      temp->made = true;
      return Step::done;
    }
    if (errno != EEXIST) {
      remove_refused(dir, temp->name);
      break;
    }
    bits = bits * 6364136223846793005U + 1442695040888963407U; // next name
  }
  // No right to create there, a name longer than the file system takes,
  // every name taken, no descriptor left while the old file is held open,
  // or ids of the caller's own that its user namespace does not map
  // (EOVERFLOW): open decides instead, which needs to create nothing.
  return errno == EACCES || errno == EPERM || errno == EROFS || errno == EEXIST ||
                 errno == ENAMETOOLONG || errno == EMFILE || errno == ENFILE ||
                 errno == EOVERFLOW
             ? Step::in_place
             : Step::failed;
}

// Whether a failed change of the new file's ACL means that the ACL cannot
// be carried over there, so that the file is written in place instead; any
// other failure fails the run with the old file kept.
static Step acl_failure(int error) {
  return refused(error) || error == EOPNOTSUPP || error == EINVAL || error == ERANGE ||
                 error == E2BIG
             ? Step::in_place
             : Step::failed;
}

// The owner goes first, since changing it clears the set-id bits of the
// mode; the ACL goes before the mode, since until then the file is private,
// while the mode on its own would open it to whoever the ACL's mask lets in
// but its entries shut out. Where the caller cannot give these (an owner it
// may not give, or one its user namespace does not map; a mode it may not
// set on a file it no longer owns, as root without CAP_FOWNER on a file
// system without ACLs; a security module's or a sandbox's refusal), the old
// file is written in place instead.
Step copy_access(const Target *target, Temp *temp) {
  if (fchown(temp->fd, target->old.st_uid, target->old.st_gid) != 0)
    return refused(errno) || errno == EINVAL ? Step::in_place : Step::failed;
  temp->acl_size = fgetxattr(target->file, acl_attribute, temp->acl, sizeof temp->acl);
  bool copied = false;
  if (temp->acl_size >= 0)
    copied = fsetxattr(temp->fd, acl_attribute, temp->acl, static_cast<size_t>(temp->acl_size),
                       0) == 0;
  else if (errno == ENODATA || errno == EOPNOTSUPP)
    // The old file has none, so the new one keeps none that the directory's
    // default ACL may have given it.
    copied = fremovexattr(temp->fd, acl_attribute) == 0 || errno == ENODATA ||
             errno == EOPNOTSUPP;
  if (!copied)
    return acl_failure(errno);
  if (fchmod(temp->fd, target->old.st_mode & 07777) != 0)
    return refused(errno) ? Step::in_place : Step::failed;
  return Step::done;
}

// A setfacl need not show in a change time kept in whole seconds.
bool acl_unchanged(const Target *target, const Temp *temp) {
  char acl[acl_buffer_size];
  ssize_t n = fgetxattr(target->file, acl_attribute, acl, sizeof acl);
  if (n < 0)
    return temp->acl_size < 0 && (errno == ENODATA || errno == EOPNOTSUPP);
  return n == temp->acl_size && memcmp(acl, temp->acl, static_cast<size_t>(n)) == 0;
}

// A new file that cannot be removed (its folder became append-only or
// immutable, or a sandbox lets the caller create files but not remove them)
// is emptied, so that no copy of the secret stays behind; should that fail
// too there is nothing more to do or say.
void discard_temp(int dir, Temp *temp) {
  if (temp->made && unlinkat(dir, temp->name, 0) != 0 && temp->fd >= 0 &&
      ftruncate(temp->fd, 0) == 0)
    fsync(temp->fd);
  temp->made = false;
  if (temp->fd >= 0)
    close(temp->fd);
  temp->fd = -1;
}
