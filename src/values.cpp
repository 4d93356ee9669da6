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
    size_t need = is_special(*p) ? 2 : 1;
    if (out + need >= limit) {
      printf("Error:%s: escaped value does not fit.\n", __func__);
      return -1;
    }
    if (need == 2)
      scratch[out++] = '\\';
    scratch[out++] = *p;
  }
  // The terminator is copied too: the buffer may hold more of the file
  // after the value's first zero byte.
  memcpy(str, scratch, out + 1);
  return 0;
}
