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

// Undoes the escaping; refuses a special character without its backslash.
static bool unescape(const char *text, std::string &out) {
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (!special(p[1]))
        return false;
      ++p;
    } else if (special(*p)) {
      return false;
    }
    out += *p;
  }
  return true;
}

static void escape_and_check(char *value, char *buffer, std::size_t size) {
  const char *end = buffer + size;
  std::string original = value != nullptr ? value : "";
  std::size_t specials = 0;
  for (char c : original)
    specials += special(c) ? 1 : 0;
  int status = if_str_patch(value, end);
  if (value == nullptr) {
    require(status == -1, "absent value reported");
    return;
  }
  bool fits = original.size() + specials < static_cast<std::size_t>(end - value);
  if (!fits) {
    require(status == -1 && original == value, "refused value left as it was");
    return;
  }
  std::string back;
  require(status == 0, "a value that fits is escaped");
  require(std::strlen(value) == original.size() + specials, "escaped length");
  require(unescape(value, back) && back == original, "unescaping gives the value back");
}

static void check_line(int status, const std::string &expected, const char *line,
                       std::size_t size) {
  if (expected.size() < size)
    require(status == 0 && expected == line, "line formed as expected");
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
  escape_and_check(user, user_buffer, sizeof user_buffer);
  escape_and_check(password, password_buffer, sizeof password_buffer);

  char line[line_buffer_size];
  const std::string sep = "     *       ";
  std::string expected;
  if (user != nullptr && password != nullptr)
    expected = user + sep + password;
  else if (user != nullptr)
    expected = user + sep + "\n";
  else if (password != nullptr)
    expected = sep + password;
  int status = format_secrets_line("secrets", user, password, line, sizeof line);
  check_line(status, expected, line, sizeof line);

  expected = user != nullptr ? "name " + std::string(user) + "\n" : "";
  status = format_options_line("options", user, line, sizeof line);
  check_line(status, expected, line, sizeof line);
  return 0;
}
