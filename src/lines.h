// Output lines: the secrets line and the options line.
#ifndef CRED_STOW_SRC_LINES_H
#define CRED_STOW_SRC_LINES_H

#include <stddef.h>

// One formatted line and its terminator.
constexpr size_t line_buffer_size = 1025;

// Zero-fill line and format into it the secrets line for whichever of user
// and password are present (a present password ends with its own newline,
// and an empty one is written as "" and a newline).
// Returns 0, or -1 after printing a message naming path when the line does
// not fit; line is then left empty.
int format_secrets_line(const char *path, const char *user,
                        const char *password, char *line, size_t size);

// The same for the options line "name USER"; an absent user gives an empty
// line, so the options file is emptied rather than given a made-up name.
int format_options_line(const char *path, const char *user, char *line,
                        size_t size);

#endif // CRED_STOW_SRC_LINES_H
