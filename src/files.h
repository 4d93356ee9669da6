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
// replaced that way, or may not be by the kernel's rules (a device, a pipe,
// a file with other names, another user's file in /tmp), is truncated and
// written in place. A new file gets create_mode as open would give it; an
// existing one keeps its owner, mode and ACL. Returns 0 when the whole line
// reached the file and was synced, or -1 after a message; a file that
// cannot be opened or created is reported as "cannot open FILE_WORD PATH",
// file_word being "file" or "the file". A failure before the new file took
// the old one's name leaves the old file as it was; one after it says that
// the file was replaced.
int write_line_file(const char *path, const char *line, const char *file_word,
                    mode_t create_mode);

#endif // CRED_STOW_SRC_FILES_H
