// Credential values: taking the quoted value out of the text of the user and
// password files, and escaping it for the PPP daemon's secrets syntax.
#ifndef CRED_STOW_SRC_VALUES_H
#define CRED_STOW_SRC_VALUES_H

#include <stddef.h>
#include <stdint.h>

// One input file is read into a buffer of this size; its content ends at
// the first zero byte, so at most one byte less is usable text.
constexpr size_t value_buffer_size = 513;

// Where a value is escaped before it is copied back over itself. The
// value's own, smaller buffer is what bounds an escaped value.
constexpr size_t escape_scratch_size = 1025;

// The longest value the PPP daemon uses whole: it keeps a name in 256 bytes
// with the terminator, and PAP carries a password's length in one byte.
// Counted before escaping, since the daemon reads the escapes back.
constexpr size_t max_value_length = 255;

// The characters that get a backslash before them, ending with 0.
extern const int32_t special_char[5];

// Trim the value out of a zero-terminated buffer in place and return where
// it starts, or nullptr when the buffer has no "=" (the value is absent).
// The user name loses the line end; the password keeps exactly one newline.
char *extract_username(char *buffer);
char *extract_password(char *buffer);

// Returns 0 when the PPP daemon can use value as it stands, or -1 after
// printing a message naming path: a value longer than the daemon keeps (a
// password's final newline ends its line and is not counted), an empty user
// name, or a password that the daemon would take for a file name. An absent
// value passes.
int check_value(const char *value, bool password, const char *path);

// Escapes str in place so that the PPP daemon reads every byte of it back:
// a backslash before each special character, and each of the six bytes at
// which the daemon splits words (tab, newline, vertical tab, form feed,
// carriage return, space) as a backslash and three octal digits, e.g.
// "\040". end is one past the last byte of the buffer that holds str.
// Returns 0, or -1 after printing a message when str is absent or its
// escaped form does not fit before end; str is then left as it was.
int if_str_patch(char *str, const char *end);

// The same for the password, whose final newline ends the secrets line and
// so stays a plain line end; a newline before it is escaped.
int escape_password(char *password, const char *end);

#endif // CRED_STOW_SRC_VALUES_H
