// Runs the command as a caller would, in a fresh folder, and checks what it
// prints, its exit status and the exact bytes of every file it leaves.
#include "command.h"

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace cred_stow_test;
using namespace std::string_literals; // "...\0..."s keeps inner zero bytes

const std::string usage_text =
    "Error: too little command line parameters.\n\n"
    "cred_stow  username-file  passwd-file  output-file  options-file\n"
    "usage  (v1.00) :\n"
    "  The program reads the username and password from given files.\n"
    "  Then save to the output file in a specific format.\n"
    "  And then save user name to options file.\n"
    "  For example :  pap-secrets, chap-secrets, options for PPPoE\n";

// How the quoted values come out of the two files, escaped, in both output
// files; every run here ends with 0.
TEST_F(Command, ValuesTakenFromTheFiles) {
  // Files of 512 bytes whose value is the longest pppd keeps whole.
  const std::string name255(255, 'a'), key253(253, 'k'), hashes(252, '#');
  std::string escaped;
  for (char c : hashes)
    escaped += "\\"s + c;
  const struct {
    const char *what;
    std::string user, pass, secrets, options, out;
  } cases[] = {
      {"well formed", "user=\"alice\"\n", "pass=\"pw\"\n", "alice" + sep + "pw\n", "name alice\n", ""},
      {"no final line end", "u=\"alice\"", "p=\"pw\"", "alic" + sep + "p\n", "name alic\n", ""},
      {"unquoted", "u=alice\n", "p=secret\n", "lic" + sep + "ecre\n", "name lic\n", ""},
      {"CRLF keeps the closing quote", "u=\"al\"\r\n", "p=\"pw\"\r\n", "al\\\"" + sep + "pw\\\"\n", "name al\\\"\n", ""},
      {"= inside the value", "u=\"a=b\"\n", "p=\"=x=\"\n", "a=b" + sep + "=x=\n", "name a=b\n", ""},
      {"several lines", "#c\nu=\"bo\"\n", "p=\"x\"\n#c\n", "bo" + sep + "x\\\"\\012\\#\n", "name bo\n", ""},
      {"text ends at an early zero byte", "u=\"al\"\n\0u=\"zz\"\n"s, "p=\"###\"\n\0XYZ"s, "al" + sep + "\\#\\#\\#\n", "name al\n", ""},
      {"whitespace inside: the options file stays one line", "u=\"isp\nplugin x.so\"\n", "p=\"pass\tword \"\n",
       "isp\\012plugin\\040x.so" + sep + "pass\\011word\\040\n", "name isp\\012plugin\\040x.so\n", ""},
      {"all four escaped", "u=\"a#b\"\n", "p=\"q\"'\\\"\n", "a\\#b" + sep + "q\\\"\\'\\\\\n", "name a\\#b\n", ""},
      {"high bytes pass unescaped", "u=\"\xe9#\xff\"\n", "p=\"\x80\\\"\n", "\xe9\\#\xff" + sep + "\x80\\\\\n", "name \xe9\\#\xff\n", ""},
      {"one-character password is empty, and pppd's empty word", "u=\"al\"\n", "p=\"\n", "al" + sep + "\"\"\n", "name al\n", ""},
      {"an empty password ends its line, however its file ends", "u=\"al\"\n", "p=", "al" + sep + "\"\"\n", "name al\n", ""},
      {"no password", "u=\"al\"\n", "nothing here\n", "al" + sep + "\n", "name al\n", "Error:if_str_patch: NULL pointer found.\n"},
      {"= as the last byte: no user", "u=", "p=\"pw\"\n", sep + "pw\n", "", "Error:if_str_patch: NULL pointer found.\n"},
      {"both files empty", "", "", "", "", "Error:if_str_patch: NULL pointer found.\nError:if_str_patch: NULL pointer found.\n"},
      {"512-byte file is read whole", key253 + "=\"" + name255 + "\"\n", "p=\"pw\"\n", name255 + sep + "pw\n", "name " + name255 + "\n", ""},
      {"512-byte password file is read whole", "u=\"al\"\n", key253 + "=\"" + name255 + "\"\n", "al" + sep + name255 + "\n", "name al\n", ""},
      {"empty quoted password", "u=\"al\"\n", "p=\"\"\n", "al" + sep + "\"\"\n", "name al\n", ""},
      {"@/ inside or escaped is no file name", "u=\"al\"\n", "p=\"\\@/x@/\"\n", "al" + sep + "\\\\@/x@/\n", "name al\n", ""},
      {"513 bytes ending in a zero byte", key253 + "=\"" + name255 + "\"\n\0"s, "p=\"pw\"\n", name255 + sep + "pw\n", "name " + name255 + "\n", ""},
      {"escaped line of exactly 1024", "u=\"" + hashes + "ab\"\n", "p=\"" + hashes + "\"\n",
       escaped + "ab" + sep + escaped + "\n", "name " + escaped + "ab\n", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    put("user", c.user);
    put("pass", c.pass);
    Result r = run_default();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(get("secrets"), c.secrets);
    EXPECT_EQ(get("options"), c.options);
  }
}

// Every way the run can stop early: its message, its status, and what the
// output files hold afterwards. Both start as "old\n"; "@" after a space
// stands for the test's folder in messages.
TEST_F(Command, FailuresStopTheRunAndSpareTheFiles) {
  const std::string good_user = "u=\"al\"\n", good_pass = "p=\"pw\"\n";
  const std::string too_long(513, 'x'), secrets = "al" + sep + "pw\n", old = "old\n";
  const std::vector<std::string> normal = {"user", "pass", "secrets", "options"};
  const struct {
    const char *what;
    std::vector<std::string> args;
    std::string user, pass, out, secrets, options;
  } cases[] = {
      {"no arguments", {}, good_user, good_pass, usage_text, old, old},
      {"three arguments", {"user", "pass", "options"}, good_user, good_pass, usage_text, old, old},
      {"user file missing", {"nouser", "pass", "secrets", "options"}, good_user, good_pass,
       "Error : cannot open file @/nouser for reading.\n", old, old},
      {"passwd file missing", {"user", "nopass", "secrets", "options"}, good_user, good_pass,
       "Error : cannot open file @/nopass for reading.\n", old, old},
      {"directory as input", {"user", "dir", "secrets", "options"}, good_user, good_pass,
       "Error : cannot read file @/dir.\n", old, old},
      {"user file of 513 bytes", normal, too_long, good_pass, "Error : file @/user is too long.\n", old, old},
      {"passwd file over 513 bytes", normal, good_user, too_long + too_long, "Error : file @/pass is too long.\n", old, old},
      {"user name longer than pppd keeps", normal, "u=\"" + std::string(256, 'a') + "\"\n", good_pass,
       "Error : user name in file @/user is longer than 255 bytes.\n", old, old},
      {"password longer than pppd keeps", normal, good_user, "p=\"" + std::string(256, 'a') + "\"\n",
       "Error : password in file @/pass is longer than 255 bytes.\n", old, old},
      {"empty user name", normal, "u=\"\"\n", good_pass, "Error : user name in file @/user is empty.\n", old, old},
      {"password pppd reads as a file name", normal, good_user, "p=\"@/etc/shadow\"\n",
       "Error : password in file @/pass begins with \"@/\", which pppd reads as a file name.\n", old, old},
      {"escaped password does not fit", normal, good_user, "p=\"" + std::string(255, '#') + "\"\n",
       "Error:if_str_patch: escaped value does not fit.\n", old, old},
      {"escaped user name does not fit", normal, "u=\"" + std::string(255, '#') + "\"\n", good_pass,
       "Error:if_str_patch: escaped value does not fit.\n", old, old},
      {"secrets line over 1024", normal, "u=\"" + std::string(252, '#') + "abc\"\n", "p=\"" + std::string(252, '#') + "\"\n",
       "Error : line for file @/secrets is too long.\n", old, old},
      {"output file cannot be opened", {"user", "pass", "no/secrets", "options"}, good_user, good_pass,
       "Error : cannot open file @/no/secrets for writting.\n", old, old},
      {"options file cannot be opened", {"user", "pass", "secrets", "no/options"}, good_user, good_pass,
       "Error : cannot open the file @/no/options for writting.\n", secrets, old},
      {"empty output path", {"user", "pass", "", "options"}, good_user, good_pass,
       "Error : cannot open file  for writting.\n", old, old},
      {"empty options path", {"user", "pass", "secrets", ""}, good_user, good_pass,
       "Error : cannot open the file  for writting.\n", secrets, old},
  };
  ASSERT_EQ(mkdir(at("dir").c_str(), 0700), 0);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    put("user", c.user);
    put("pass", c.pass);
    put("secrets", old);
    put("options", old);
    std::string out = c.out;
    for (auto at_sign = out.find(" @"); at_sign != std::string::npos; at_sign = out.find(" @"))
      out.replace(at_sign + 1, 1, dir);
    Result r = run(c.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(get("secrets"), c.secrets);
    EXPECT_EQ(get("options"), c.options);
  }
}

TEST_F(Command, ArgumentsBeyondTheFourthAndSharedPaths) {
  put("user", "u=\"al\"\n");
  put("pass", "p=\"pw\"\n");
  const struct {
    std::vector<std::string> args;
    std::string file, content;
  } cases[] = {
      {{"user", "pass", "secrets", "options", "extra", "more"}, "secrets", "al" + sep + "pw\n"},
      {{"user", "pass", "both", "both"}, "both", "name al\n"},
      {{"pass", "pass", "secrets", "options"}, "secrets", "pw" + sep + "pw\n"},
  };
  for (const auto &c : cases) {
    Result r = run(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(get(c.file), c.content);
  }
}

TEST_F(Command, SecretsFileIsPrivateWhenCreated) {
  put("user", "u=\"al\"\n");
  put("pass", "p=\"pw\"\n");
  put("shared", "old\n");
  ASSERT_EQ(chmod(at("shared").c_str(), 0644), 0);
  mode_t saved = umask(022);
  Result fresh = run_default();
  Result existing = run({"user", "pass", "shared", "options"});
  umask(saved);
  ASSERT_EQ(fresh.status + existing.status, 0);
  struct stat st {};
  const struct { const char *file; mode_t mode; } cases[] = {
      {"secrets", 0600}, {"shared", 0644}, {"options", 0644}};
  for (const auto &c : cases) {
    ASSERT_EQ(stat(at(c.file).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.file;
  }
  EXPECT_EQ(get("shared"), "al" + sep + "pw\n");
}

} // namespace
