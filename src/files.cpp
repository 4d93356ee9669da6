// Reads the input files and replaces the output files. An output file is
// written to a new file beside it, synced, and renamed over it, so that a
// reader, a second run, a failed write, a kill or a power cut finds the old
// file or the new one, never an empty or a partial one.
#include "files.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

// /proc's file system type in statfs's f_type (the kernel's PROC_SUPER_MAGIC).
// Named here because <linux/magic.h> is a kernel header that not every C
// library's toolchain has (musl's has none); the number is fixed kernel ABI.
constexpr auto proc_super_magic = 0x9fa0;

// Room for a path that the kernel accepts, with its terminator.
constexpr size_t path_buffer_size = PATH_MAX;

// Links followed before giving up, as many as the kernel follows.
constexpr int max_link_hops = 40;

// Names tried for the temporary file before giving up, should that many be
// taken already.
constexpr int max_temp_attempts = 100;

// The temporary file is ".NAME" and this, its X's replaced.
static const char temp_suffix[] = ".XXXXXX";
static const char temp_letters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Reads until the buffer is full or the file ends, as one buffered read
// would; a pipe or a slow device may hand over the text in pieces.
static int read_all(int fd, char *buffer, size_t size) {
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
  return 0;
}

int read_value_file(const char *path, char *buffer, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    printf("Error : cannot open file %s for reading.\n", path);
    return -1;
  }
  int status = read_all(fd, buffer, size);
  close(fd);
  if (status != 0) {
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

// Pipes, terminals, devices and some file systems cannot be synced; that
// loses nothing, so only a real failure of the sync counts.
static bool sync_or_unsupported(int fd) {
  if (fsync(fd) == 0)
    return true;
  return errno == EINVAL || errno == EROFS || errno == EOPNOTSUPP; // = ENOTSUP
}

static void report_write_failure(const char *path, size_t len,
                                 size_t written) {
  printf("Error : cannot write to file %s.\n", path);
  if (written != len)
    printf("Error : %d bytes to write, but %d bytes written.\n",
           static_cast<int>(len), static_cast<int>(written));
}

// The length of path's directory part with its final slash; 0 for a name
// in the current directory.
static size_t dir_length(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

// Whether the link at path, whose directory part is dir_len long, lives in
// /proc. Such a link (/dev/stdout leads to one) names a file that is open
// already, not a place in a directory: renaming a new file over the name it
// shows would leave the open file as it was. When it cannot be told, the
// answer is yes, which keeps the write in place.
static bool link_in_proc(char *path, size_t dir_len) {
  char saved = path[dir_len];
  path[dir_len] = '\0';
  struct statfs fs {};
  int status = statfs(dir_len > 0 ? path : ".", &fs);
  path[dir_len] = saved;
  return status != 0 || fs.f_type == proc_super_magic;
}

// Follows the links of path into target, the file they finally name, as
// open would: a relative link is relative to its own directory, and a
// dangling one names the file to create. The new file is made beside the
// target so that the rename stays on one file system and the links stay
// links. Returns false where the file is better written in place through
// path itself: a link in /proc, too many links, or a name too long for the
// buffers, which open then accepts or refuses as it always has.
static bool resolve_links(const char *path, char *target, size_t size) {
  size_t path_len = strlen(path);
  if (path_len >= size)
    return false;
  memcpy(target, path, path_len + 1);
  for (int hop = 0; hop < max_link_hops; ++hop) {
    char link[path_buffer_size];
    ssize_t n = readlink(target, link, sizeof link);
    if (n < 0)
      return errno == EINVAL || errno == ENOENT; // not a link, or nothing yet
    auto link_len = static_cast<size_t>(n);
    size_t dir_len = dir_length(target);
    if (link_len >= sizeof link || link_in_proc(target, dir_len))
      return false;
    if (link[0] == '/')
      dir_len = 0;
    if (link_len >= size - dir_len)
      return false;
    memcpy(target + dir_len, link, link_len);
    target[dir_len + link_len] = '\0';
  }
  return false;
}

// Whether the file at path may be replaced by a new one: a regular file
// with no other name, which the caller may write, or nothing yet. A file
// the caller may not write is left to open, which refuses it as before,
// rather than replaced behind its owner's back. old receives the file's
// status, and *exists whether there was one.
static bool replaceable(const char *path, struct stat *old, bool *exists) {
  *exists = stat(path, old) == 0;
  if (!*exists)
    return errno == ENOENT;
  return S_ISREG(old->st_mode) && old->st_nlink == 1 &&
         faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

// The mode a new file gets when open creates it with create_mode.
static mode_t new_file_mode(mode_t create_mode) {
  mode_t mask = umask(0);
  umask(mask);
  return create_mode & ~mask;
}

static bool sync_directory(const char *dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool synced = sync_or_unsupported(fd);
  return close(fd) == 0 && synced;
}

// Creates the file temp, whose last six characters are X's, readable and
// writable by the caller alone, under a name nobody else has: O_EXCL is what
// makes the name ours, and a name that is taken is passed over. The letters
// come from the kernel's random source or, where it has nothing to give yet
// (early in a device's boot), from where the stack happens to lie; either
// way two runs at once seldom try the same name. This does what mkostemp
// does; glibc's mkostemp draws in code that raises the run's peak memory by
// a sixth.
static int create_temp(char *temp) {
  const size_t count = sizeof temp_suffix - 2; // the X's after the dot
  char *letters = temp + strlen(temp) - count;
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits)
    bits = reinterpret_cast<uintptr_t>(&bits);
  for (int attempt = 0; attempt < max_temp_attempts; ++attempt) {
    uint64_t v = bits;
    for (size_t i = 0; i < count; ++i) {
      letters[i] = temp_letters[v % (sizeof temp_letters - 1)];
      v /= sizeof temp_letters - 1;
    }
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST)
      return fd;
    bits = bits * 6364136223846793005U + 1442695040888963407U; // next name
  }
  return -1; // errno is EEXIST
}

enum class Outcome { replaced, failed, write_in_place };

// Cleans up after a failure that is being reported already; should the
// removal fail too there is nothing more to say, and a leftover temporary
// file is harmless.
static void discard(int fd, const char *temp) {
  if (fd >= 0)
    close(fd);
  unlink(temp);
}

// Gives up on replacing: removes the temporary file, so the old file stays
// as it was, and reports the failure.
static Outcome give_up(int fd, const char *temp, const char *path,
                       size_t len, size_t written) {
  discard(fd, temp);
  report_write_failure(path, len, written);
  return Outcome::failed;
}

// Writes line to a new file beside target and renames it over target;
// old is target's status when it exists. A new file that cannot be made
// for lack of permission, or whose rename the kernel refuses because the
// target is a mount point, gives way to writing in place.
static Outcome replace(const char *path, const char *target,
                       const struct stat *old, const char *line,
                       size_t len, const char *open_failure,
                       mode_t create_mode) {
  // ".NAME.XXXXXX" in the target's directory; 0600 from the start, so that
  // nobody can read the secret through it before its mode is set.
  char temp[path_buffer_size];
  size_t dir_len = dir_length(target);
  size_t name_len = strlen(target + dir_len);
  if (dir_len + 1 + name_len + sizeof temp_suffix > sizeof temp)
    return Outcome::write_in_place;
  memcpy(temp, target, dir_len);
  temp[dir_len] = '.';
  memcpy(temp + dir_len + 1, target + dir_len, name_len);
  memcpy(temp + dir_len + 1 + name_len, temp_suffix, sizeof temp_suffix);

  int fd = create_temp(temp);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM || errno == EROFS ||
        errno == ENAMETOOLONG)
      return Outcome::write_in_place;
    printf(open_failure, path);
    return Outcome::failed;
  }
  // The owner first: changing it clears the set-id bits of the mode.
  if (old != nullptr && fchown(fd, old->st_uid, old->st_gid) != 0) {
    if (errno != EPERM)
      return give_up(fd, temp, path, len, len);
    discard(fd, temp);
    return Outcome::write_in_place;
  }
  mode_t mode = old != nullptr ? old->st_mode & 07777 : new_file_mode(create_mode);
  if (fchmod(fd, mode) != 0)
    return give_up(fd, temp, path, len, len);
  size_t written = write_all(fd, line, len);
  if (written != len || !sync_or_unsupported(fd))
    return give_up(fd, temp, path, len, written);
  if (close(fd) != 0)
    return give_up(-1, temp, path, len, len);
  if (rename(temp, target) != 0) {
    if (errno != EBUSY && errno != EXDEV)
      return give_up(-1, temp, path, len, len);
    discard(-1, temp);
    return Outcome::write_in_place;
  }
  // The rename is durable only once the directory is synced; temp, cut at
  // its name, is that directory.
  temp[dir_len] = '\0';
  if (!sync_directory(dir_len > 0 ? temp : ".")) {
    report_write_failure(path, len, len);
    return Outcome::failed;
  }
  return Outcome::replaced;
}

// Truncates the file and writes it where it is, for what cannot be
// replaced; the old content is lost if this fails, as it always was.
static int write_in_place(const char *path, const char *line, size_t len,
                          const char *open_failure, mode_t create_mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, create_mode);
  if (fd < 0) {
    printf(open_failure, path);
    return -1;
  }
  size_t written = write_all(fd, line, len);
  bool synced = written == len && sync_or_unsupported(fd);
  // The file is closed whatever the write did; a close that fails has lost
  // data as surely as a short write.
  int closed = close(fd);
  if (!synced || closed != 0) {
    report_write_failure(path, len, written);
    return -1;
  }
  return 0;
}

int write_line_file(const char *path, const char *line,
                    const char *open_failure, mode_t create_mode) {
  size_t len = strlen(line);
  struct stat old {};
  bool exists = false;
  char target[path_buffer_size];
  if (replaceable(path, &old, &exists) &&
      resolve_links(path, target, sizeof target)) {
    Outcome outcome = replace(path, target, exists ? &old : nullptr, line, len,
                              open_failure, create_mode);
    if (outcome != Outcome::write_in_place)
      return outcome == Outcome::replaced ? 0 : -1;
  }
  return write_in_place(path, line, len, open_failure, create_mode);
}
