// libFuzzer target: arbitrary bytes through the command's own reading,
// extraction, escaping and line forming, with the properties that a fault
// in any of them would break; each line is read back as pppd reads its
// files, word by word, and must give back the values as they were typed.
// The first two bytes say how many of the rest form the user file; the
// others form the password file.
#include "files.h"
#include "lines.h"
#include "values.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

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

// Reads the next word of text from pos as pppd's getword does: blanks part
// words and comments run from "#" to the line end, both outside quotes; a
// backslash makes the next byte literal, or starts an escape (\a \b \f \n
// \r \s \t, up to three octal digits, \x and up to two hex digits), and
// before a newline joins two lines; quotes group and are dropped. At the
// end of the file a word with nothing in it is no word.
static bool pppd_word(const std::string &text, std::size_t &pos, std::string &word) {
  auto next = [&]() -> int { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : EOF; };
  auto octal = [](int c) { return c >= '0' && c <= '7'; };
  int c = EOF, quoted = 0;
  bool escape = false, comment = false;
  word.clear();
  // Blanks and comments before the word.
  while ((c = next()) != EOF) {
    if (c == '\n') {
      comment = comment && escape; // only a backslash-newline goes on
      escape = false;
    } else if (comment) {
      continue;
    } else if (escape) {
      break;
    } else if (c == '\\') {
      escape = true;
    } else if (c == '#') {
      comment = true;
    } else if (!std::isspace(c)) {
      break;
    }
  }
  while (c != EOF) {
    if (escape) {
      escape = false;
      if (c == '\n') {
        c = next();
        continue;
      }
      static const std::string named = "a\ab\bf\fn\nr\rs t\t"; // each letter, then its byte
      std::size_t letter = named.find(static_cast<char>(c));
      int value = letter != std::string::npos && letter % 2 == 0 ? named[letter + 1] : c;
      bool hex = c == 'x';
      if (hex || octal(c)) {
        if (hex)
          c = next();
        value = 0;
        for (int n = 0; n < (hex ? 2 : 3) && (hex ? std::isxdigit(c) : octal(c)); ++n, c = next())
          value = value * (hex ? 16 : 8) + (std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10);
      } else {
        c = next();
      }
      word += static_cast<char>(value);
      continue;
    }
    if (c == '\\') {
      escape = true;
    } else if (quoted != 0 && c == quoted) {
      quoted = 0;
    } else if (quoted == 0 && (c == '"' || c == '\'')) {
      quoted = c;
    } else if (quoted == 0 && (std::isspace(c) || c == '#')) {
      --pos; // left for the next word
      return true;
    } else {
      word += static_cast<char>(c);
    }
    c = next();
  }
  return !word.empty();
}

static std::vector<std::string> pppd_words(const std::string &text) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  for (std::string word; pppd_word(text, pos, word);)
    words.push_back(word);
  return words;
}

// Returns false when the value was refused, which stops the command's run.
// typed receives the value as the user typed it, without the password's
// final newline.
static bool escape_and_check(char *value, bool password, char *buffer, std::size_t size,
                             std::string &typed) {
  const char *end = buffer + size;
  std::string original = value != nullptr ? value : "";
  typed = password && !original.empty() ? original.substr(0, original.size() - 1) : original;
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

// A line of length characters is refused, and left empty, only when it and
// its terminator do not fit; otherwise it is one whole line (or nothing,
// when it has no words) whose words pppd reads back as words.
static void check_line(int status, std::size_t length, const std::vector<std::string> &words,
                       const char *line, std::size_t size) {
  if (length >= size) {
    require(status == -1 && line[0] == '\0', "over-long line refused");
    return;
  }
  const char *newline = std::strchr(line, '\n');
  require(status == 0 && std::strlen(line) == length &&
              (length == 0 || (newline != nullptr && newline[1] == '\0')),
          "one whole line, with no line end but its last");
  require(pppd_words(line) == words, "pppd reads back the values typed");
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
  // As the command does, values pppd could not use as typed stop here.
  if (check_value(user, false, "user") != 0 || check_value(password, true, "password") != 0)
    return 0;
  std::string typed_user, typed_password;
  bool user_escaped = escape_and_check(user, false, user_buffer, sizeof user_buffer, typed_user);
  if (!escape_and_check(password, true, password_buffer, sizeof password_buffer, typed_password) ||
      !user_escaped)
    return 0;

  char line[line_buffer_size];
  std::vector<std::string> words;
  std::size_t length = 0;
  if (user != nullptr || password != nullptr) {
    // The user name, the server "*" and the password, each present one a
    // word; an empty password is the empty word "" on its own line end.
    if (user != nullptr)
      words.push_back(typed_user);
    words.push_back("*");
    if (password != nullptr)
      words.push_back(typed_password);
    length = (user != nullptr ? std::strlen(user) : 0) + std::strlen("     *       ") +
             (password == nullptr ? 1 : typed_password.empty() ? 3 : std::strlen(password));
  }
  int status = format_secrets_line("secrets", user, password, line, sizeof line);
  check_line(status, length, words, line, sizeof line);

  words.clear();
  length = 0;
  if (user != nullptr) {
    words = {"name", typed_user};
    length = std::strlen("name \n") + std::strlen(user);
  }
  status = format_options_line("options", user, line, sizeof line);
  check_line(status, length, words, line, sizeof line);
  return 0;
}
