// The file system side of the command: reading an input file, and replacing
// an output file so that it is always found whole, old or new.
#ifndef CRED_STOW_SRC_FILES_H
#define CRED_STOW_SRC_FILES_H

#include <stddef.h>
#include <sys/types.h>

// Reads the file at path into buffer, which the caller has zero-filled.
// Returns 0, or -1 after printing a message when the file cannot be opened
// or read, or when its first size bytes hold no zero byte to end the text.
int read_value_file(const char *path, char *buffer, size_t size);

// Replaces the file at path with line, durably: a regular file (or nothing
// yet) is replaced through a synced temporary file renamed over it, so that
// no failure, kill or power cut leaves it empty or partial. What cannot be
// replaced that way (a device, a pipe, a file with other names, a file the
// caller may write but whose directory it may not) is truncated and written
// in place. A new file gets create_mode narrowed by the umask; an existing
// one keeps its owner and mode. Returns 0 when the whole line reached the
// file and was synced, or -1 after a message; open_failure, printed with
// path, is the message for a file that cannot be opened or created.
int write_line_file(const char *path, const char *line,
                    const char *open_failure, mode_t create_mode);

#endif // CRED_STOW_SRC_FILES_H
