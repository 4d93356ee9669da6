// Reads the input files and replaces the output files. An output file is
// written to a new file beside it, synced, and renamed over it, so that a
// reader, a second run, a failed write, a kill or a power cut finds the old
// file or the new one, never an empty or a partial one.
#include "files.h"

#include "lines.h"
#include "target.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

// Names tried for the temporary file before writing in place instead,
// should that many be taken already.
constexpr int max_temp_attempts = 100;

// Times the file is sought and decided on again when the name changed under
// the run, as when a form submitted twice runs the command twice at once,
// before writing in place instead.
constexpr int max_replace_attempts = 3;

// The old file's POSIX access ACL, carried over to the new file. Its entries
// take 8 bytes each after a 4-byte header; this holds 64 named entries,
// and a longer one makes the file be written in place.
static const char acl_attribute[] = "system.posix_acl_access";
constexpr size_t acl_buffer_size = 4 + 8 * 64;

// Reads until the buffer is full or the file ends, as one buffered read
// would; a pipe or a slow device may hand over the text in pieces. Returns
// how much was read, or -1.
static ssize_t read_all(int fd, char *buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

int read_value_file(const char *path, char *buffer, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    printf("Error : cannot open file %s for reading.\n", path);
    return -1;
  }
  ssize_t got = read_all(fd, buffer, size);
  close(fd);
  if (got < 0) {
    printf("Error : cannot read file %s.\n", path);
    return -1;
  }
  // Without a zero byte the text would run past the buffer; only what the
  // buffer can end is accepted, the rest of the file is never looked at.
  if (memchr(buffer, '\0', size) == nullptr) {
    printf("Error : file %s is too long.\n", path);
    return -1;
  }
  return 0;
}

// Writes until everything is out or the file refuses more; returns how
// much was written.
static size_t write_all(int fd, const char *data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// Whether an fsync or fdatasync that returned result left nothing unsaved.
// Pipes, terminals, devices and some file systems cannot be synced; that
// loses nothing, so only a real failure of the sync counts.
static bool synced(int result) {
  return result == 0 || errno == EINVAL || errno == EROFS || errno == EOPNOTSUPP; // = ENOTSUP
}

// The new file, made beside the file it replaces under a name nobody else
// has. Its one owner, write_line_file, removes it with discard_temp unless
// it was renamed into place; fd stays open until then, so that a file that
// cannot be removed can still be emptied, and is -1 once closed. acl holds
// the old file's ACL as carried over, acl_size -1 when it had none.
struct Temp {
  int fd = -1;
  bool made = false;
  char name[name_buffer_size];
  char acl[acl_buffer_size];
  ssize_t acl_size = -1;
};

// What became of one attempt to replace a file: replaced also when it held
// the line already; changed when its name came to hold another file, or a
// link, between the decision and the rename.
enum class Outcome { replaced, changed, in_place, open_failed, write_failed };

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

// Creates ".NAME.XXXXXX" beside name in dir, the X's replaced: O_EXCL is
// what makes the name ours, and a name that is taken is passed over. This
// does what mkostemp does, relative to a directory; glibc's mkostemp also
// draws in code that raises the run's peak memory by a sixth. Fails with
// EEXIST when every name tried was taken.
static int create_temp(int dir, const char *name, mode_t mode, Temp *temp) {
  static const char letters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const size_t count = 6;
  int len = snprintf(temp->name, sizeof temp->name, ".%s.XXXXXX", name);
  if (len < 0 || static_cast<size_t>(len) >= sizeof temp->name) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char *x = temp->name + len - count;
  uint64_t bits = name_bits();
  for (int attempt = 0; attempt < max_temp_attempts; ++attempt) {
    uint64_t v = bits;
    for (size_t i = 0; i < count; ++i) {
      x[i] = letters[v % (sizeof letters - 1)];
      v /= sizeof letters - 1;
    }
    int fd = openat(dir, temp->name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST)
      return fd;
    bits = bits * 6364136223846793005U + 1442695040888963407U; // next name
  }
  return -1;
}

// Whether a failed change of the new file's ACL means that the ACL cannot
// be carried over there, so that the file is written in place instead; any
// other failure fails the run with the old file kept.
static Outcome acl_failure(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == EINVAL || error == ERANGE ||
                 error == E2BIG
             ? Outcome::in_place
             : Outcome::write_failed;
}

// Gives the new file the old one's owner, POSIX ACL and mode, so that the
// replacement lets nobody in or out. The owner goes first, since changing it
// clears the set-id bits of the mode; the ACL goes before the mode, since
// until then the file is private, while the mode on its own would open it to
// whoever the ACL's mask lets in but its entries shut out. Where the caller
// cannot give these (an owner it may not give, or one its user namespace
// does not map), the old file is written in place instead.
static Outcome copy_access(const Target *target, Temp *temp) {
  if (fchown(temp->fd, target->old.st_uid, target->old.st_gid) != 0)
    return errno == EPERM || errno == EINVAL ? Outcome::in_place : Outcome::write_failed;
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
    return Outcome::write_failed;
  return Outcome::replaced;
}

// Whether the old file still has the ACL that was carried over, or still
// none; a setfacl need not show in a change time kept in whole seconds.
static bool acl_unchanged(const Target *target, const Temp *temp) {
  char acl[acl_buffer_size];
  ssize_t n = fgetxattr(target->file, acl_attribute, acl, sizeof acl);
  if (n < 0)
    return temp->acl_size < 0 && (errno == ENODATA || errno == EOPNOTSUPP);
  return n == temp->acl_size && memcmp(acl, temp->acl, static_cast<size_t>(n)) == 0;
}

// Whether the target already holds exactly line, as read through the
// descriptor that every decision was made about.
static bool holds_line(const Target *target, const char *line, size_t len) {
  char content[line_buffer_size];
  if (target->file < 0 || target->old.st_size != static_cast<off_t>(len) ||
      len >= sizeof content)
    return false;
  // One byte more than the line shows a file that grew meanwhile.
  ssize_t got = read_all(target->file, content, len + 1);
  return got == static_cast<ssize_t>(len) && memcmp(content, line, len) == 0;
}

// Writes line to a new file beside the target and renames it over the
// target's name. A new file is created with create_mode, so that the umask
// or the directory's default ACL shape it as they would for open; one that
// replaces a file starts private and takes the old file's access before the
// line goes in. *written receives how much of the line was written.
static Outcome replace(Target *target, Temp *temp, const char *line,
                       size_t len, mode_t create_mode, size_t *written) {
  // Flash wears with every write: a file that holds the line already is
  // left as it is, inode and times and all. Syncing it writes nothing when
  // it is clean and makes sure the line is on disk when it is not yet; so
  // does syncing its folder, in case an earlier run renamed the file into
  // place but was killed or failed before it synced the folder.
  // It is left so only where the caller could have written it.
  if (holds_line(target, line, len)) {
    if (!may_keep(target))
      return Outcome::in_place;
    if (!target_unchanged(target))
      return Outcome::changed;
    return synced(fdatasync(target->file)) && synced(fsync(target->dir))
               ? Outcome::replaced
               : Outcome::write_failed;
  }
  bool exists = target->file >= 0;
  // A file with other names keeps its inode, so that they all see the line.
  if ((exists && target->old.st_nlink != 1) || !may_replace(target))
    return Outcome::in_place;
  temp->fd = create_temp(target->dir, target->name, exists ? 0600 : create_mode, temp);
  if (temp->fd < 0) {
    // No right to create there, no name free, or no descriptor left while
    // the old file is held open: open decides instead.
    if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENAMETOOLONG ||
        errno == EEXIST || errno == EMFILE || errno == ENFILE)
      return Outcome::in_place;
    return Outcome::open_failed;
  }
  temp->made = true;
  if (exists) {
    Outcome access = copy_access(target, temp);
    if (access != Outcome::replaced)
      return access;
  }
  *written = write_all(temp->fd, line, len);
  if (*written != len || !synced(fsync(temp->fd)))
    return Outcome::write_failed;
  // What was decided holds only for the file that was there when it was
  // decided.
  if (!target_unchanged(target) || (exists && !acl_unchanged(target, temp)))
    return Outcome::changed;
  // EPERM: the folder became append-only or immutable since its flags were
  // read (or they could not be read), or the old file did, or a sticky
  // folder keeps a caller that is not root from renaming over another
  // user's file; open decides on each.
  if (renameat(target->dir, temp->name, target->dir, target->name) != 0)
    return errno == EBUSY || errno == EXDEV || errno == EPERM ? Outcome::in_place
                                                             : Outcome::write_failed;
  temp->made = false;
  // The new file is closed only once it has its name, and the close is
  // checked like a write: some file systems report a lost write there.
  int closed = close(temp->fd);
  temp->fd = -1;
  if (closed != 0)
    return Outcome::write_failed;
  // The rename is durable only once the directory is synced.
  return synced(fsync(target->dir)) ? Outcome::replaced : Outcome::write_failed;
}

// A new file that cannot be removed (its folder became append-only or
// immutable) is emptied, so that no copy of the secret stays behind; should
// that fail too there is nothing more to do or say.
static void discard_temp(int dir, Temp *temp) {
  if (temp->made && unlinkat(dir, temp->name, 0) != 0 && temp->fd >= 0 &&
      ftruncate(temp->fd, 0) == 0)
    fsync(temp->fd);
  temp->made = false;
  if (temp->fd >= 0)
    close(temp->fd);
  temp->fd = -1;
}

static void report_open_failure(const char *file_word, const char *path) {
  printf("Error : cannot open %s %s for writting.\n", file_word, path);
}

static void report_write_failure(const char *path, size_t len, size_t written) {
  printf("Error : cannot write to file %s.\n", path);
  if (written != len)
    printf("Error : %d bytes to write, but %d bytes written.\n",
           static_cast<int>(len), static_cast<int>(written));
}

// Truncates the file and writes it where it is, for what cannot be
// replaced; the old content is lost if this fails, as it always was.
static int write_in_place(const char *path, const char *line, size_t len,
                          const char *file_word, mode_t create_mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, create_mode);
  if (fd < 0) {
    report_open_failure(file_word, path);
    return -1;
  }
  size_t written = write_all(fd, line, len);
  bool saved = written == len && synced(fsync(fd));
  // The file is closed whatever the write did; a close that fails has lost
  // data as surely as a short write.
  int closed = close(fd);
  if (!saved || closed != 0) {
    report_write_failure(path, len, written);
    return -1;
  }
  return 0;
}

int write_line_file(const char *path, const char *line, const char *file_word,
                    mode_t create_mode) {
  size_t len = strlen(line);
  size_t written = len;
  Outcome outcome = Outcome::changed;
  for (int attempt = 0; attempt < max_replace_attempts && outcome == Outcome::changed; ++attempt) {
    Target target;
    if (!find_target(path, &target)) {
      outcome = Outcome::in_place;
      break;
    }
    Temp temp;
    outcome = replace(&target, &temp, line, len, create_mode, &written);
    discard_temp(target.dir, &temp);
    if (release_target(&target) != 0 && outcome == Outcome::replaced)
      outcome = Outcome::write_failed;
  }
  switch (outcome) {
  case Outcome::replaced:
    return 0;
  case Outcome::changed:
  case Outcome::in_place:
    return write_in_place(path, line, len, file_word, create_mode);
  case Outcome::open_failed:
    report_open_failure(file_word, path);
    return -1;
  case Outcome::write_failed:
    report_write_failure(path, len, written);
    return -1;
  }
  return -1;
}
