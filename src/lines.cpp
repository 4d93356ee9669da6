// Forms the secrets line and the options line, refusing a line that does not
// fit rather than cutting it short.
#include "lines.h"

#include <stdio.h>
#include <string.h>

// The asterisk fills the server column of a PAP/CHAP secrets line.
static const char separator[] = "     *       ";

// Appends text to the line of length *len; false when it and the
// terminator do not fit, so that a line is never cut short.
static bool append(char *line, size_t size, size_t *len,
                   const char *text) {
  size_t n = strlen(text);
  if (n >= size - *len)
    return false;
  memcpy(line + *len, text, n + 1);
  *len += n;
  return true;
}

static int too_long(const char *path, char *line, size_t size) {
  memset(line, 0, size);
  printf("Error : line for file %s is too long.\n", path);
  return -1;
}

int format_secrets_line(const char *path, const char *user,
                        const char *password, char *line, size_t size) {
  memset(line, 0, size);
  if (user == nullptr && password == nullptr)
    return 0;
  // A present password carries the line's newline; without one the line
  // brings its own. An empty password is written as the empty quoted word,
  // which pppd reads back as the empty secret only where something follows
  // it: at the very end of the file its word reader finds no word at all.
  // So it always ends its line, whatever the password file's end left.
  const char *secret = password == nullptr                                      ? "\n"
                       : *password == '\0' || strcmp(password, "\n") == 0 ? "\"\"\n"
                                                                              : password;
  size_t len = 0;
  if (!append(line, size, &len, user != nullptr ? user : "") ||
      !append(line, size, &len, separator) || !append(line, size, &len, secret))
    return too_long(path, line, size);
  return 0;
}

int format_options_line(const char *path, const char *user, char *line,
                        size_t size) {
  memset(line, 0, size);
  if (user == nullptr)
    return 0;
  size_t len = 0;
  if (!append(line, size, &len, "name ") || !append(line, size, &len, user) ||
      !append(line, size, &len, "\n"))
    return too_long(path, line, size);
  return 0;
}
