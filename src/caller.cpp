// Whose ids are whose, as the kernel sees them for this caller: the ids its
// user namespace maps, with the overflow id shown for all others, and the
// capabilities its access check counts.
#include "caller.h"

#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// Where the kernel tells which id it shows for one that the caller's user
// namespace does not map, and which ids that namespace maps; room for the
// one line that maps every id, with its terminator, and for an overflow id.
static const char overflow_files[][sizeof "/proc/sys/kernel/overflowuid"] = {
    "/proc/sys/kernel/overflowuid", "/proc/sys/kernel/overflowgid"};
static const char map_files[][sizeof "/proc/self/uid_map"] = {"/proc/self/uid_map",
                                                             "/proc/self/gid_map"};
constexpr size_t proc_buffer_size = 64;
constexpr uint64_t default_overflow_id = 65534;

// Reads the small /proc file at path whole into text, as a string; false
// when it cannot be read or does not fit.
static bool read_proc(const char *path, char *text, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  ssize_t n = read(fd, text, size);
  close(fd);
  if (n < 0 || static_cast<size_t>(n) >= size)
    return false;
  text[n] = '\0';
  return true;
}

// Reads the decimal number after any blanks at *at, and moves *at past it;
// false when there is none, or it has more digits than an id has (10).
// strtoul would draw musl's whole scanning code into a static command.
static bool next_number(const char **at, uint64_t *value) {
  const char *p = *at;
  while (*p == ' ' || *p == '\t')
    ++p;
  const char *digits = p;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (p - digits == 10)
      return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  *at = p;
  *value = v;
  return p != digits;
}

// The kernel shows every id that the caller's user namespace does not map
// as its overflow id (65534 unless set otherwise, which is taken where /proc
// cannot be read), so that a new file given it would truly belong to that
// id, such as a container's own nobody, and an owner compared with it may
// be someone else. Only the initial namespace maps every id, so that its
// overflow id is the real one. Root's id, as the common run has it, is the
// namespace's own root (no system makes 0 the overflow id), so nothing is
// read for it.
bool may_be_unmapped(uint64_t id, bool group) {
  if (id == 0)
    return false;
  char text[proc_buffer_size];
  const char *at = text;
  uint64_t overflow = default_overflow_id;
  if (read_proc(overflow_files[group], text, sizeof text) && !next_number(&at, &overflow))
    return true;
  if (id != overflow)
    return false;
  if (!read_proc(map_files[group], text, sizeof text))
    return true;
  // One line, "0 0 4294967295": every id from 0 on, onto itself.
  const uint64_t whole_map[] = {0, 0, 4294967295U};
  at = text;
  for (uint64_t field : whole_map) {
    uint64_t value = 0;
    if (!next_number(&at, &value) || value != field)
      return true;
  }
  return strcmp(at, "\n") != 0;
}

// The access check goes by the real ids, with a real root's permitted
// capabilities and nobody else's, where open goes by the effective ids and
// capabilities. (Where the kernel lacks faccessat2, the C libraries' own
// check by the effective ids is looser than open's: glibc lets an effective
// root write an immutable file.) Capabilities it cannot read are taken to
// differ.
bool access_check_as_open() {
  uid_t uid = getuid();
  if (uid != geteuid() || getgid() != getegid())
    return false;
  // capget as <linux/capability.h> has it: version 3 for this process (0),
  // then the effective, permitted and inheritable sets of capabilities 0-31
  // and of 32-63.
  uint32_t header[2] = {0x20080522, 0};
  uint32_t sets[2][3] = {};
  if (syscall(SYS_capget, header, sets) != 0)
    return false;
  return sets[0][0] == (uid == 0 ? sets[0][1] : 0) && sets[1][0] == (uid == 0 ? sets[1][1] : 0);
}
