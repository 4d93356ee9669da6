// Output lines: the secrets line and the options line, and the checked
// writing of each to its file.
#ifndef CRED_STOW_SRC_LINES_H
#define CRED_STOW_SRC_LINES_H

#include <cstddef>
#include <sys/types.h>

// One formatted line and its terminator.
constexpr std::size_t line_buffer_size = 1025;

// Messages for a file that cannot be opened; each takes the path.
extern const char secrets_open_failure[];
extern const char options_open_failure[];

// Zero-fill line and format into it the secrets line for whichever of user
// and password are present (a present password ends with its own newline).
// Returns 0, or -1 after printing a message naming path when the line does
// not fit; line is then left empty.
int format_secrets_line(const char *path, const char *user,
                        const char *password, char *line, std::size_t size);

// The same for the options line "name USER"; an absent user gives an empty
// line, so the options file is emptied rather than given a made-up name.
int format_options_line(const char *path, const char *user, char *line,
                        std::size_t size);

// Replaces the file at path with line. A file that does not exist yet is
// created with create_mode, narrowed by the umask. Returns 0 when the whole
// line reached the file and it closed cleanly, or -1 after a message; the
// open failure message is printed with path.
int write_line_file(const char *path, const char *line,
                    const char *open_failure, mode_t create_mode);

#endif // CRED_STOW_SRC_LINES_H
