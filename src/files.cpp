// Reads the input files and replaces the output files. An output file is
// written to a new file beside it, synced, and renamed over it, so that a
// reader, a second run, a failed write, a kill or a power cut finds the old
// file or the new one, never an empty or a partial one.
#include "files.h"

#include "lines.h"
#include "target.h"
#include "temp.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Times the file is sought and decided on again when the name changed under
// the run, as when a form submitted twice runs the command twice at once,
// before writing in place instead.
constexpr int max_replace_attempts = 3;

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

// Whether fd, written in place, whose fsync just failed, is what cannot be
// synced by its nature (a pipe, a terminal, a device, a file in /proc:
// EINVAL), which loses nothing. A file on a disk that fails its sync, with
// EROFS too (an ext4 that took an error and turned read-only), may have lost
// what was written.
static bool cannot_be_synced(int fd) {
  struct stat st {};
  return errno == EINVAL && fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || may_be_proc(fd));
}

// What became of one attempt to replace a file: replaced by the new file,
// or kept as it was since it held the line already; changed when its name
// came to hold another file, or a link, between the decision and the rename;
// unsynced when the new file took its name but closing it or syncing the
// folder failed afterwards, so that it may not be on disk yet.
enum class Outcome { replaced, kept, changed, in_place, open_failed, write_failed, unsynced };

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
    if (fdatasync(target->file) == 0 && fsync(target->dir) == 0)
      return Outcome::kept;
    // A file system that took an error and turned read-only: open would
    // refuse the file now, so open says so.
    return errno == EROFS ? Outcome::in_place : Outcome::write_failed;
  }
  bool exists = target->file >= 0;
  // A file with other names keeps its inode, so that they all see the line.
  if ((exists && target->old.st_nlink != 1) || !may_replace(target))
    return Outcome::in_place;
  Step step = create_temp(target->dir, target->name, exists ? 0600 : create_mode, temp);
  if (step == Step::done && exists)
    step = copy_access(target, temp);
  if (step != Step::done)
    return step == Step::in_place ? Outcome::in_place
           : temp->made           ? Outcome::write_failed
                                  : Outcome::open_failed;
  *written = write_all(temp->fd, line, len);
  if (*written != len || fsync(temp->fd) != 0)
    return Outcome::write_failed;
  // What was decided holds only for the file that was there when it was
  // decided.
  if (!target_unchanged(target) || (exists && !acl_unchanged(target, temp)))
    return Outcome::changed;
  // Where open would still write the file: EPERM, the folder became
  // append-only or immutable since its flags were read (or they could not
  // be read), or the old file did, or a sticky folder keeps a caller that is
  // not root from renaming over another user's file; EACCES, a caller that
  // is not root lost the right to write the folder, or a security module
  // lets it create files there but not remove them; ENOSYS, a sandbox that
  // does not allow the call.
  if (renameat(target->dir, temp->name, target->dir, target->name) != 0)
    return errno == EBUSY || errno == EXDEV || errno == EPERM || errno == EACCES ||
                   errno == ENOSYS
               ? Outcome::in_place
               : Outcome::write_failed;
  temp->made = false;
  // The new file is closed only once it has its name, and the close is
  // checked like a write: some file systems report a lost write there.
  int closed = close(temp->fd);
  temp->fd = -1;
  // The rename is durable only once the directory is synced.
  return closed == 0 && fsync(target->dir) == 0 ? Outcome::replaced : Outcome::unsynced;
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

// The name of a file that open created is on disk only once its folder is
// synced. Where the folder cannot be opened (a caller that may not list it)
// no call syncs it that reports a failure on every kernel, so the file's own
// sync is all there is.
static bool folder_synced(const char *path) {
  int dir = open_folder_of(AT_FDCWD, path);
  if (dir < 0)
    return true;
  bool synced = fsync(dir) == 0;
  return close(dir) == 0 && synced;
}

// Truncates the file and writes it where it is, for what cannot be
// replaced; the old content is lost if this fails, as it always was.
static int write_in_place(const char *path, const char *line, size_t len,
                          const char *file_word, mode_t create_mode) {
  // O_EXCL tells whether open creates the file: it opens nothing that is
  // there already, a link included, which the second open then follows
  // under the kernel's own rules. A file that open creates at the end of a
  // dangling link lies in a folder the path does not name, and that folder
  // is left unsynced.
  const int flags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;
  int fd = open(path, flags | O_EXCL, create_mode);
  bool created = fd >= 0;
  if (!created && errno == EEXIST)
    fd = open(path, flags | O_TRUNC, create_mode);
  if (fd < 0) {
    report_open_failure(file_word, path);
    return -1;
  }
  size_t written = write_all(fd, line, len);
  bool saved = written == len && (fsync(fd) == 0 || cannot_be_synced(fd));
  // The file is closed whatever the write did; a close that fails has lost
  // data as surely as a short write.
  int closed = close(fd);
  if (!saved || closed != 0 || (created && !folder_synced(path))) {
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
    // A close that fails may have lost what it was to flush.
    if (release_target(&target) != 0)
      outcome = outcome == Outcome::replaced ? Outcome::unsynced
                : outcome == Outcome::kept   ? Outcome::write_failed
                                             : outcome;
  }
  switch (outcome) {
  case Outcome::replaced:
  case Outcome::kept:
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
  case Outcome::unsynced:
    // The old file is gone already: saying that it was kept would be wrong.
    printf("Error : file %s was replaced, but may not be on disk yet.\n", path);
    return -1;
  }
  return -1;
}
