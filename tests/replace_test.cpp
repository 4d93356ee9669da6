// How an output file is replaced: through links, in place where it cannot
// be replaced, by two runs at once, and when a system call fails or the
// process is killed at any point (strace injects the failure or the kill).
#include "command.h"

#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using namespace cred_stow_test;

const std::string secrets_line = "al" + sep + "pw\n", options_line = "name al\n";
const std::string old = "old\n";
const std::vector<std::string> normal = {"user", "pass", "secrets", "options"};

// One run: the folder is prepared by a shell script, the command is run with
// the two output paths behind prefix, and then the files named must hold
// exactly the text given and the shell test check must pass. "@/" stands
// for the test's folder in every text.
struct Case {
  const char *what;
  std::string setup;
  std::vector<std::string> prefix;
  std::string secrets, options;
  int status;
  std::string out;
  std::vector<std::pair<std::string, std::string>> files;
  std::string check;
};

class Replace : public Command {
protected:
  void SetUp() override {
    Command::SetUp();
    put("user", "u=\"al\"\n");
    put("pass", "p=\"pw\"\n");
  }

  std::string here(std::string text) const {
    for (auto at = text.find("@/"); at != std::string::npos; at = text.find("@/", at + dir.size()))
      text.replace(at, 1, dir);
    return text;
  }

  void check(const Case &c) {
    SCOPED_TRACE(c.what);
    sh(here(c.setup));
    std::vector<std::string> prefix;
    for (const auto &w : c.prefix)
      prefix.push_back(here(w));
    Result r = run({"user", "pass", c.secrets, c.options}, prefix);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, here(c.out));
    EXPECT_EQ(r.err, "");
    for (const auto &[file, content] : c.files)
      EXPECT_EQ(get(file), content) << file;
    if (!c.check.empty())
      sh(c.check);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
};

TEST_F(Replace, ThroughLinksOrInPlaceWhereItCannotBe) {
  const std::vector<std::string> into_pipe = {"sh", "-c", "\"$@\" | cat", "sh"};
  const Case cases[] = {
      {"relative links, each relative to its own folder: the links stay",
       "mkdir real links && echo old >real/f && ln -s ../real/f links/l1 && ln -s links/l1 l2",
       {}, "l2", "options", 0, "", {{"real/f", secrets_line}}, "test -L l2 && test -L links/l1"},
      {"a dangling link names the file to create, private",
       "mkdir away && ln -s @/away/new dangling", {}, "dangling", "options", 0, "",
       {{"away/new", secrets_line}}, "test -L dangling && test $(stat -c %a away/new) = 600"},
      {"a file with a second name: both names see the line",
       "echo old >secrets && ln secrets chap", {}, "secrets", "options", 0, "",
       {{"chap", secrets_line}}, "test secrets -ef chap"},
      {"/dev/stdout into a pipe", "true", into_pipe, "/dev/stdout", "options", 0, secrets_line, {}, ""},
      {"/dev/stdout into a file, written where it is open", "echo old >out && stat -c %i out >ino",
       {"sh", "-c", "\"$@\" >@/out", "sh"}, "/dev/stdout", "options", 0, "", {{"out", secrets_line}},
       "test $(stat -c %i out) = $(cat ino)"},
      {"a device", "true", {}, "/dev/null", "options", 0, "", {{"options", options_line}}, ""},
      {"a link loop is refused as by open",
       "ln -s loop2 loop1 && ln -s loop1 loop2", {}, "loop1", "options", 255,
       "Error : cannot open file @/loop1 for writting.\n", {}, ""},
  };
  for (const auto &c : cases)
    check(c);
}

// Another user, and a private mount namespace, need root to set up.
class Privileged : public Replace {
protected:
  void SetUp() override {
    Replace::SetUp();
    if (geteuid() != 0)
      GTEST_SKIP() << "needs root to run as another user and to bind-mount";
    // The other user needs a command and a folder it may reach.
    sh("chmod 755 . && chmod 644 user pass && cp '" + std::filesystem::absolute(binary).string() +
       "' cred_stow");
    binary = at("cred_stow");
  }
};

TEST_F(Privileged, InPlaceForAnotherUserAndAMountPoint) {
  const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  const std::vector<std::string> bind = {"unshare", "-m", "sh", "-c",
                                         "mount --bind @/mounted @/secrets && exec \"$@\"", "sh"};
  const Case cases[] = {
      {"root replaces a file of another user's: owner and mode stay",
       "echo old >secrets && chown 65534:65534 secrets && chmod 640 secrets", {}, "secrets", "options",
       0, "", {{"secrets", secrets_line}}, "test $(stat -c %u:%g:%a secrets) = 65534:65534:640"},
      {"a file the caller may write in a folder it may not",
       "mkdir ro && for f in s o; do echo old >ro/$f; chown 65534 ro/$f; done && stat -c %i ro/s >ino",
       nobody, "ro/s", "ro/o", 0, "", {{"ro/s", secrets_line}, {"ro/o", options_line}},
       "test $(stat -c %i ro/s) = $(cat ino)"},
      {"a file whose owner the caller cannot give: written in place, owner stays",
       "mkdir -m 777 pub && for f in s o; do echo old >pub/$f; chmod 666 pub/$f; done", nobody,
       "pub/s", "pub/o", 0, "", {{"pub/s", secrets_line}, {"pub/o", options_line}},
       "test $(stat -c %u pub/s) = 0"},
      {"a file the caller may not write is refused, not replaced",
       "mkdir -m 777 pub2 && echo old >pub2/s && chown 65534:65534 pub2/s && chmod 444 pub2/s", nobody, "pub2/s", "options", 255,
       "Error : cannot open file @/pub2/s for writting.\n", {{"pub2/s", old}}, ""},
      {"a bind-mounted file cannot be renamed over: written in place",
       "echo old >secrets && echo old >mounted", bind, "secrets", "options", 0, "",
       {{"mounted", secrets_line}, {"secrets", old}}, ""},
  };
  for (const auto &c : cases)
    check(c);
}

// A form submitted twice: whatever a reader or the other run sees is one
// whole line, never an empty, partial or mixed one.
TEST_F(Replace, TwoRunsAtOnceLeaveWholeLines) {
  put("user2", "u=\"bob@isp.example\"\n");
  put("pass2", "p=\"a-considerably-longer-password\"\n");
  const std::string secrets[] = {secrets_line, "bob@isp.example" + sep + "a-considerably-longer-password\n"};
  const std::string options[] = {options_line, "name bob@isp.example\n"};
  put("secrets", secrets[0]);
  put("options", options[0]);
  int broken = 0;
  auto look = [&] {
    auto s = get("secrets"), o = get("options");
    broken += (s != secrets[0] && s != secrets[1]) + (o != options[0] && o != options[1]);
  };
  for (int i = 0; i < 100; ++i) {
    pid_t a = start(normal, {}, "a");
    pid_t b = start({"user2", "pass2", "secrets", "options"}, {}, "b");
    for (int k = 0; k < 5; ++k)
      look();
    EXPECT_EQ(finish(a, "a").status, 0);
    EXPECT_EQ(finish(b, "b").status, 0);
    look();
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Both output files start as "old\n"; the command runs under strace, which
// fails or kills one chosen system call.
class Faults : public Replace {
protected:
  void SetUp() override {
    Replace::SetUp();
    if (!emulator.empty())
      GTEST_SKIP() << "strace would trace the emulator, not the command";
    if (std::system("strace -V >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "strace is not installed";
  }

  // LeakSanitizer, in a sanitized build, cannot work under ptrace.
  static std::vector<std::string> traced(const std::string &call, const std::string &what,
                                         const std::string &when) {
    return {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-e", "trace=" + call,
            "-e", "inject=" + call + ":" + what + ":when=" + when};
  }

  Result inject(const std::string &call, const std::string &what, int when) {
    for (const auto &e : leftovers())
      unlink(e.c_str());
    put("secrets", old);
    put("options", old);
    return run(normal, traced(call, what, std::to_string(when)));
  }
};

TEST_F(Faults, EachFailureReportedWithTheOldFileKept) {
  const std::string secrets_failed = "Error : cannot write to file @/secrets.\n";
  const std::string options_failed = "Error : cannot write to file @/options.\n";
  const struct {
    const char *call, *error;
    int when, status;
    std::string out, secrets, options;
  } cases[] = {
      {"write", "EIO", 1, 255, secrets_failed + "Error : 18 bytes to write, but 0 bytes written.\n", old, old},
      {"write", "ENOSPC", 2, 255, options_failed + "Error : 8 bytes to write, but 0 bytes written.\n",
       secrets_line, old},
      {"fsync", "EIO", 1, 255, secrets_failed, old, old},
      {"fsync", "EIO", 2, 255, secrets_failed, secrets_line, old}, // the folder's, after the rename
      {"fsync", "EINVAL", 2, 0, "", secrets_line, options_line},   // a folder that cannot be synced
      {"fsync", "EOPNOTSUPP", 4, 0, "", secrets_line, options_line},
      {"fsync", "EIO", 3, 255, options_failed, secrets_line, old},
      {"fchown", "EPERM", 1, 0, "", secrets_line, options_line}, // written in place
      {"fchown", "EIO", 2, 255, options_failed, secrets_line, old},
      {"fchmod", "EIO", 1, 255, secrets_failed, old, old},
      {"rename", "EXDEV", 1, 0, "", secrets_line, options_line}, // written in place
      {"rename", "EBUSY", 2, 0, "", secrets_line, options_line},
      {"rename", "EIO", 1, 255, secrets_failed, old, old},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + c.error + " #" + std::to_string(c.when));
    Result r = inject(c.call, "error=" + std::string(c.error), c.when);
    EXPECT_NE(r.err.find("(INJECTED)"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, here(c.out));
    EXPECT_EQ(get("secrets"), c.secrets);
    EXPECT_EQ(get("options"), c.options);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
  // A file that did not exist before a failed run does not exist after it.
  ASSERT_EQ(unlink(at("options").c_str()), 0);
  Result r = run(normal, traced("write", "error=EIO", "2"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(get("options"), std::nullopt);
  // A temporary name that is taken is passed over; with no random bits the
  // first name tried is ".secrets.aaaaaa".
  put(".secrets.aaaaaa", old);
  r = run(normal, traced("getrandom", "retval=8", "1+"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(get("secrets"), secrets_line);
  EXPECT_EQ(leftovers(), std::vector<std::string>{at(".secrets.aaaaaa")});
  ASSERT_EQ(unlink(at(".secrets.aaaaaa").c_str()), 0);
  // A file written in place is synced too.
  ASSERT_EQ(link(at("secrets").c_str(), at("chap").c_str()), 0);
  r = run(normal, traced("fsync", "error=EIO", "1"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, here("Error : cannot write to file @/secrets.\n"));
}

// Every call of these, in turn, fails or is where the process is killed:
// each file is old or new, the options file is never new before the
// secrets file, and a run that ends by itself leaves no temporary file.
// glibc opens with openat, musl with open.
TEST_F(Faults, AnyCallFailingOrKilledLeavesOldOrNew) {
  for (const char *call : {"open,openat", "write", "fsync", "close", "fchown", "fchmod", "rename"}) {
    for (const std::string what : {"error=EIO", "signal=KILL"}) {
      int failed_runs = 0;
      for (int when = 1;; ++when) {
        SCOPED_TRACE(call + (" " + what) + " #" + std::to_string(when));
        ASSERT_LT(when, 100);
        Result r = inject(call, what, when);
        bool killed = r.status == 128 + 9;
        if (!killed && r.err.find("(INJECTED)") == std::string::npos)
          break;
        auto s = get("secrets"), o = get("options");
        EXPECT_TRUE(s == old || s == secrets_line) << *s;
        EXPECT_TRUE(o == old || o == options_line) << *o;
        EXPECT_TRUE(o == old || s == secrets_line);
        EXPECT_TRUE(r.status != 0 || (s == secrets_line && o == options_line && r.out.empty()));
        EXPECT_TRUE(r.status != 255 || r.out.rfind("Error", 0) == 0) << r.out;
        EXPECT_TRUE(killed || leftovers().empty());
        failed_runs += r.status == 255;
      }
      EXPECT_TRUE(what == "signal=KILL" || failed_runs > 0)
          << call << ": the command's own calls were never reached";
    }
  }
}

} // namespace
