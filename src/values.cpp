// Finds the quoted value in the text of a credential file by position, and
// escapes it so that the PPP daemon reads the original text back.
#include "values.h"

#include <stdio.h>
#include <string.h>

const int32_t special_char[5] = {34, 35, 39, 92, 0};

// The value starts after the first "=" and the character after it, which
// normally is the opening quote but is skipped whatever it is.
static char *value_after_equals(char *text) {
  char *value = strchr(text, '=');
  if (value == nullptr)
    return nullptr;
  ++value;
  if (*value != '\0')
    ++value;
  return value;
}

char *extract_username(char *buffer) {
  size_t n = strlen(buffer);
  if (n > 0)
    buffer[n - 1] = '\0'; // the line end
  char *value = value_after_equals(buffer);
  if (value == nullptr)
    return nullptr;
  size_t m = strlen(value);
  if (m > 0)
    value[m - 1] = '\0'; // the closing quote
  return value;
}

char *extract_password(char *buffer) {
  char *value = value_after_equals(buffer);
  if (value == nullptr)
    return nullptr;
  // The closing quote and the line end become one newline, which later
  // ends the secrets line.
  size_t m = strlen(value);
  if (m >= 2) {
    value[m - 2] = '\n';
    value[m - 1] = '\0';
  } else if (m == 1) {
    value[0] = '\0';
  }
  return value;
}

int check_value(const char *value, bool password, const char *path) {
  if (value == nullptr)
    return 0;
  size_t len = strlen(value);
  if (password && len > 0 && value[len - 1] == '\n')
    --len;
  // Each of these would be written out and reported as done, yet pppd
  // would not use it as typed, long after this run.
  if (len > max_value_length) {
    printf("Error : %s in file %s is longer than %d bytes.\n",
           password ? "password" : "user name", path, static_cast<int>(max_value_length));
    return -1;
  }
  if (!password && len == 0) {
    // "name" needs a word after it; written as an empty word, the daemon
    // takes it for no name and uses the host name instead.
    printf("Error : user name in file %s is empty.\n", path);
    return -1;
  }
  if (password && strncmp(value, "@/", 2) == 0) {
    // The daemon reads the secret from the file so named, whatever the
    // escaping, and would send that file's first line as the password.
    printf("Error : password in file %s begins with \"@/\", which pppd reads as a file name.\n",
           path);
    return -1;
  }
  return 0;
}

// Compared as a signed byte, so bytes from 128 up never match, whatever
// the signedness of char on the target.
static bool is_special(char c) {
  // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c): on purpose
  auto code = static_cast<int32_t>(static_cast<signed char>(c));
  for (const int32_t *entry = special_char; *entry != 0; ++entry)
    if (*entry == code)
      return true;
  return false;
}

// pppd ends a word at these bytes. A backslash before one would keep a
// space or a tab but not a newline, which pppd then drops as a line
// continuation; three octal digits read back as the byte itself for all six.
static bool is_word_break(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The longest escaped form of one byte: a backslash and three digits.
static constexpr size_t escaped_char_size = 4;

// Writes the escaped form of c to piece and returns its length.
static size_t escape_char(char c, char (&piece)[escaped_char_size]) {
  size_t n = 0;
  if (is_word_break(c)) {
    auto byte = static_cast<unsigned char>(c);
    piece[n++] = '\\';
    piece[n++] = static_cast<char>('0' + (byte >> 6));
    piece[n++] = static_cast<char>('0' + ((byte >> 3) & 7));
    piece[n++] = static_cast<char>('0' + (byte & 7));
    return n;
  }
  if (is_special(c))
    piece[n++] = '\\';
  piece[n++] = c;
  return n;
}

int if_str_patch(char *str, const char *end) {
  if (str == nullptr) {
    printf("Error:%s: NULL pointer found.\n", __func__);
    return -1;
  }
  char scratch[escape_scratch_size] = {};
  // The escaped text and its terminator must fit both the scratch area and
  // what is left of the value's own buffer; a value that would be cut short
  // is refused whole, since a truncated secret is a different secret.
  auto room = static_cast<size_t>(end - str);
  size_t limit = room < sizeof scratch ? room : sizeof scratch;
  size_t out = 0;
  for (const char *p = str; *p != '\0'; ++p) {
    char piece[escaped_char_size];
    size_t need = escape_char(*p, piece);
    if (out + need >= limit) {
      printf("Error:%s: escaped value does not fit.\n", __func__);
      return -1;
    }
    memcpy(scratch + out, piece, need);
    out += need;
  }
  // The terminator is copied too: the buffer may hold more of the file
  // after the value's first zero byte.
  memcpy(str, scratch, out + 1);
  return 0;
}

int escape_password(char *password, const char *end) {
  size_t n = password != nullptr ? strlen(password) : 0;
  if (n == 0 || password[n - 1] != '\n')
    return if_str_patch(password, end);
  // The text before the final newline is escaped with one byte kept back
  // for that newline, which then follows it again.
  password[n - 1] = '\0';
  if (if_str_patch(password, end - 1) != 0) {
    password[n - 1] = '\n';
    return -1;
  }
  size_t len = strlen(password);
  password[len] = '\n';
  password[len + 1] = '\0';
  return 0;
}
