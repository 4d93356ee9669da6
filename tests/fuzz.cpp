// libFuzzer target: arbitrary bytes through the command's own reading,
// extraction, escaping and line forming, with the properties that a fault
// in any of them would break. The first two bytes say how many of the rest
// form the user file; the others form the password file.
#include "files.h"
#include "lines.h"
#include "values.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

static void require(bool ok, const char *what) {
  if (ok)
    return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

// Hands bytes to read_value_file through a file, so the very read and its
// checks run as they do for the command.
static int read_bytes(const std::uint8_t *data, std::size_t len, char *buffer,
                      std::size_t size) {
  int fd = memfd_create("cred_stow_fuzz", 0);
  require(fd >= 0, "memfd_create");
  require(write(fd, data, len) == static_cast<ssize_t>(len), "memfd write");
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  int status = read_value_file(path, buffer, size);
  close(fd);
  return status;
}

static bool special(char c) { return std::strchr("\"#'\\", c) != nullptr && c != '\0'; }
static bool word_break(char c) { return std::strchr(" \t\n\v\f\r", c) != nullptr && c != '\0'; }

// Undoes the escaping the way pppd reads it; refuses a special character
// without its backslash, a word break left as it is, and any other escape.
// A password's final newline ends its line and stays plain.
static bool unescape(const char *text, bool password, std::string &out) {
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '\\' && special(p[1])) {
      out += *++p;
    } else if (*p == '\\') {
      if (p[1] != '0' || p[2] < '0' || p[2] > '7' || p[3] < '0' || p[3] > '7')
        return false;
      char c = static_cast<char>((p[2] - '0') * 8 + (p[3] - '0'));
      if (!word_break(c))
        return false;
      out += c;
      p += 3;
    } else if (special(*p) || (word_break(*p) && !(password && *p == '\n' && p[1] == '\0'))) {
      return false;
    } else {
      out += *p;
    }
  }
  return true;
}

// Returns false when the value was refused, which stops the command's run.
static bool escape_and_check(char *value, bool password, char *buffer, std::size_t size) {
  const char *end = buffer + size;
  std::string original = value != nullptr ? value : "";
  std::size_t escaped_size = 0;
  for (char c : original)
    escaped_size += special(c) ? 2 : word_break(c) ? 4 : 1;
  if (password && !original.empty() && original.back() == '\n')
    escaped_size -= 3;
  int status = password ? escape_password(value, end) : if_str_patch(value, end);
  if (value == nullptr) {
    require(status == -1, "absent value reported");
    return true;
  }
  bool fits = escaped_size < static_cast<std::size_t>(end - value);
  if (!fits) {
    require(status == -1 && original == value, "refused value left as it was");
    return false;
  }
  std::string back;
  require(status == 0, "a value that fits is escaped");
  require(std::strlen(value) == escaped_size, "escaped length");
  require(unescape(value, password, back) && back == original, "unescaping gives the value back");
  return true;
}

static void check_line(int status, const std::string &expected, const char *line,
                       std::size_t size) {
  const char *newline = std::strchr(line, '\n');
  if (expected.size() < size)
    require(status == 0 && expected == line && (newline == nullptr || newline[1] == '\0'),
            "line formed as expected, with no line end but its last");
  else
    require(status == -1 && line[0] == '\0', "over-long line refused");
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The command's messages would drown the fuzzer's own output.
  require(std::freopen("/dev/null", "w", stdout) != nullptr, "quiet stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2)
    return 0;
  std::size_t user_len = (data[0] | data[1] << 8) % (size - 1);
  const std::uint8_t *user_data = data + 2, *password_data = user_data + user_len;
  std::size_t password_len = size - 2 - user_len;

  char user_buffer[value_buffer_size] = {};
  char password_buffer[value_buffer_size] = {};
  if (read_bytes(user_data, user_len, user_buffer, sizeof user_buffer) != 0 ||
      read_bytes(password_data, password_len, password_buffer, sizeof password_buffer) != 0) {
    bool user_ends = std::memchr(user_buffer, '\0', sizeof user_buffer) != nullptr;
    bool password_ends = std::memchr(password_buffer, '\0', sizeof password_buffer) != nullptr;
    require(!user_ends || !password_ends, "a refused file has no zero byte to end it");
    return 0;
  }

  char *user = extract_username(user_buffer);
  char *password = extract_password(password_buffer);
  require(password == nullptr || *password == '\0' ||
              password[std::strlen(password) - 1] == '\n',
          "a non-empty password ends with a newline");
  bool user_escaped = escape_and_check(user, false, user_buffer, sizeof user_buffer);
  if (!escape_and_check(password, true, password_buffer, sizeof password_buffer) || !user_escaped)
    return 0;

  char line[line_buffer_size];
  const std::string sep = "     *       ";
  std::string expected, secret = password != nullptr ? password : "";
  if (secret.empty() || secret == "\n")
    secret = "\"\"" + secret; // pppd's empty word
  if (user != nullptr && password != nullptr)
    expected = user + sep + secret;
  else if (user != nullptr)
    expected = user + sep + "\n";
  else if (password != nullptr)
    expected = sep + secret;
  int status = format_secrets_line("secrets", user, password, line, sizeof line);
  check_line(status, expected, line, sizeof line);

  expected = user != nullptr ? "name " + std::string(user) + "\n" : "";
  status = format_options_line("options", user, line, sizeof line);
  check_line(status, expected, line, sizeof line);
  return 0;
}
