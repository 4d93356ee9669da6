// Forms the secrets line and the options line and writes each to its file,
// checking that every byte reached it.
#include "lines.h"

#include <cstdio>
#include <cstring>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

const char secrets_open_failure[] = "Error : cannot open file %s for writting.\n";
const char options_open_failure[] =
    "Error : cannot open the file %s for writting.\n";

// The asterisk fills the server column of a PAP/CHAP secrets line.
static const char separator[] = "     *       ";

// Appends text to the line of length *len; false when it and the
// terminator do not fit, so that a line is never cut short.
static bool append(char *line, std::size_t size, std::size_t *len,
                   const char *text) {
  std::size_t n = std::strlen(text);
  if (n >= size - *len)
    return false;
  std::memcpy(line + *len, text, n + 1);
  *len += n;
  return true;
}

static int too_long(const char *path, char *line, std::size_t size) {
  std::memset(line, 0, size);
  std::printf("Error : line for file %s is too long.\n", path);
  return -1;
}

int format_secrets_line(const char *path, const char *user,
                        const char *password, char *line, std::size_t size) {
  std::memset(line, 0, size);
  if (user == nullptr && password == nullptr)
    return 0;
  // A present password carries the line's newline; without one the line
  // brings its own.
  std::size_t len = 0;
  if (!append(line, size, &len, user != nullptr ? user : "") ||
      !append(line, size, &len, separator) ||
      !append(line, size, &len, password != nullptr ? password : "\n"))
    return too_long(path, line, size);
  return 0;
}

int format_options_line(const char *path, const char *user, char *line,
                        std::size_t size) {
  std::memset(line, 0, size);
  if (user == nullptr)
    return 0;
  std::size_t len = 0;
  if (!append(line, size, &len, "name ") || !append(line, size, &len, user) ||
      !append(line, size, &len, "\n"))
    return too_long(path, line, size);
  return 0;
}

// Writes until everything is out or the file refuses more; returns how
// much was written.
static std::size_t write_all(int fd, const char *data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

int write_line_file(const char *path, const char *line,
                    const char *open_failure, mode_t create_mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, create_mode);
  if (fd < 0) {
    std::printf(open_failure, path);
    return -1;
  }
  std::size_t len = std::strlen(line);
  std::size_t written = write_all(fd, line, len);
  // The file is closed whatever the write did; a close that fails has lost
  // data as surely as a short write.
  int closed = close(fd);
  if (written != len || closed != 0) {
    std::printf("Error : cannot write to file %s.\n", path);
    if (written != len)
      std::printf("Error : %d bytes to write, but %d bytes written.\n",
                  static_cast<int>(len), static_cast<int>(written));
    return -1;
  }
  return 0;
}
