// cred_stow: writes the PPP client's PAP/CHAP secrets line and its "name"
// option from a user name file and a password file, each holding one
// key="value" line. Ends with 0, or -1 at the first failure after printing
// why on standard output.
#include "files.h"
#include "lines.h"
#include "values.h"

#include <signal.h>
#include <stdio.h>

// The two files' open failures differ by a word ("cannot open file" and
// "cannot open the file"); callers may match either text.
static const char secrets_file_word[] = "file";
static const char options_file_word[] = "the file";

static void usage() {
  printf("cred_stow  username-file  passwd-file  output-file  options-file\n");
  printf("usage  (v1.00) :\n");
  printf("  The program reads the username and password from given files.\n");
  printf("  Then save to the output file in a specific format.\n");
  printf("  And then save user name to options file.\n");
  printf("  For example :  pap-secrets, chap-secrets, options for PPPoE\n");
}

int main(int argc, char *argv[]) {
  // Failed calls are reported, not died of. Messages are only words: a
  // reader that went away must not turn them into a death by SIGPIPE, which
  // glibc would bring about when it flushes them at exit, after both files
  // were written; so the exit status always tells what became of the files.
  // Likewise a write past the file size limit fails with EFBIG, rather than
  // killing the run with a new file still holding part of the secret.
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);

  // The zero fill is what ends the text read into each buffer.
  char user_buffer[value_buffer_size] = {};
  char password_buffer[value_buffer_size] = {};
  char line[line_buffer_size];

  if (argc < 5) {
    printf("Error: too little command line parameters.\n\n");
    usage();
    return -1;
  }
  const char *user_path = argv[1];
  const char *password_path = argv[2];
  const char *secrets_path = argv[3];
  const char *options_path = argv[4];

  // Both inputs are read in full before any output file is touched.
  if (read_value_file(user_path, user_buffer, sizeof user_buffer) != 0)
    return -1;
  if (read_value_file(password_path, password_buffer, sizeof password_buffer) != 0)
    return -1;

  char *user = extract_username(user_buffer);
  char *password = extract_password(password_buffer);
  if (check_value(user, false, user_path) != 0 ||
      check_value(password, true, password_path) != 0)
    return -1;

  // An absent value is reported but is no failure of the run: the secrets
  // line then takes its one-sided form. A value too long to escape is.
  if (if_str_patch(user, user_buffer + sizeof user_buffer) != 0 && user != nullptr)
    return -1;
  if (escape_password(password, password_buffer + sizeof password_buffer) != 0 &&
      password != nullptr)
    return -1;

  // The secrets file holds the password, so it is never created readable by
  // others; an existing file keeps the mode its owner gave it.
  if (format_secrets_line(secrets_path, user, password, line, sizeof line) != 0)
    return -1;
  if (write_line_file(secrets_path, line, secrets_file_word, 0600) != 0)
    return -1;

  // pppd, run as root, takes every option from the options file, plugin and
  // connect included: whoever may write it runs code as root, so a new one
  // is never writable by group or others.
  if (format_options_line(options_path, user, line, sizeof line) != 0)
    return -1;
  if (write_line_file(options_path, line, options_file_word, 0644) != 0)
    return -1;
  return 0;
}
