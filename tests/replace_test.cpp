// How an output file is replaced: through links, in place where it cannot
// be replaced, by two runs at once, and when a system call fails or the
// process is killed at any point (strace injects the failure or the kill).
#include "command.h"

#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using namespace cred_stow_test;

const std::string secrets_line = "al" + sep + "pw\n", options_line = "name al\n";
// Longer than either new line, so that a file written in place without
// being truncated shows its old tail.
const std::string old_text = "an-old-line-longer-than-the-options-line", old = old_text + "\n";
const std::vector<std::string> normal = {"user", "pass", "secrets", "options"};

// One run: the folder is prepared by a shell script, the command is run with
// the two output paths behind prefix, and then the files named must hold
// exactly the text given and the shell test check must pass. "@/" stands
// for the test's folder in every text, and "@old" for old_text.
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
    for (auto at = text.find("@old"); at != std::string::npos; at = text.find("@old"))
      text.replace(at, 4, old_text);
    for (auto at = text.find("@/"); at != std::string::npos; at = text.find("@/", at + dir.size()))
      text.replace(at, 1, dir);
    return text;
  }

  // Whether a fs.protected_* setting is on; the command must not depend on
  // it, but where it is on, open refuses what the command leaves to it.
  static bool protected_fs(const std::string &name) {
    std::ifstream in("/proc/sys/fs/protected_" + name);
    int level = 0;
    return (in >> level) && level > 0;
  }

  // Why the machine cannot run script in the test's folder: the last line
  // it printed, or its exit status; empty when it can.
  std::string refusal(const std::string &script) const {
    int status = std::system(("cd '" + dir + "' && (" + script + ") >.why 2>&1").c_str());
    std::string why = "exit status " + std::to_string(WEXITSTATUS(status));
    std::istringstream lines(get(".why").value_or(""));
    for (std::string line; std::getline(lines, line);)
      why = line;
    unlink(at(".why").c_str());
    return status == 0 ? "" : why;
  }

  // The tools that rows use and a machine may lack; a row that needs a
  // missing one is passed over, and its test then says so (skipped()).
  std::set<std::string> lacking;
  int rows_run = 0;
  bool lacks_tool(const Case &c) {
    std::string words = c.setup + " " + c.check;
    for (const auto &w : c.prefix)
      words += " " + w;
    bool lacks = false;
    for (const char *tool : {"strace", "setfacl", "chattr"})
      if (words.find(tool) != std::string::npos && !refusal(std::string("command -v ") + tool).empty()) {
        lacking.insert(tool);
        lacks = true;
      }
    return lacks;
  }
  void skipped() {
    std::string tools;
    for (const auto &tool : lacking)
      tools += (tools.empty() ? "" : " or ") + tool;
    if (tools.empty())
      return;
    if (rows_run == 0)
      GTEST_SKIP() << "every row needs " << tools << ", not installed here";
    std::cout << "rows that need " << tools << " were passed over: not installed here\n";
  }

  void check(const Case &c) {
    SCOPED_TRACE(c.what);
    if (lacks_tool(c))
      return;
    ++rows_run;
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
  const std::string long_name(255, 'n'); // NAME_MAX
  std::string d15;
  for (int i = 0; i < 15; ++i)
    d15 += "d/";
  const Case cases[] = {
      {"relative links, each relative to its own folder: the links stay",
       "mkdir real links && echo @old >real/f && ln -s ../real/f links/l1 && ln -s links/l1 l2",
       {}, "l2", "options", 0, "", {{"real/f", secrets_line}}, "test -L l2 && test -L links/l1"},
      {"a dangling link names the file to create, private",
       "mkdir away && ln -s @/away/new dangling", {}, "dangling", "options", 0, "",
       {{"away/new", secrets_line}}, "test -L dangling && test $(stat -c %a away/new) = 600"},
      {"a file with a second name: both names see the line",
       "echo @old >secrets && ln secrets chap", {}, "secrets", "options", 0, "",
       {{"chap", secrets_line}}, "test secrets -ef chap"},
      {"bare names in the current folder: replaced, not written in place",
       "rm -f secrets && echo @old >secrets && stat -c %i secrets >ino", {"env", "-C", "@/"}, "=secrets", "=options",
       0, "", {{"secrets", secrets_line}, {"options", options_line}}, "test $(stat -c %i secrets) != $(cat ino)"},
      {"unchanged files, one through a link, are left as they are",
       "mkdir -p same && printf 'al" + sep + "pw\\n' >same/s && ln -s same/s same-link && "
       "printf 'name al\\n' >same-o && stat -c %i:%y:%z same/s same-o >times",
       {}, "same-link", "same-o", 0, "", {}, "test \"$(stat -c %i:%y:%z same/s same-o)\" = \"$(cat times)\""},
      {"an unchanged file with a second name is left as it is",
       "printf 'al" + sep + "pw\\n' >h1 && ln h1 h2 && stat -c %i:%y:%z h1 >times", {}, "h1", "options",
       0, "", {}, "test \"$(stat -c %i:%y:%z h2)\" = \"$(cat times)\""},
      {"an unchanged options file is left as it is while the secrets file changes",
       "echo @old >s2 && printf 'name al\\n' >o2 && stat -c %i s2 >ino && stat -c %i:%y:%z o2 >times",
       {}, "s2", "o2", 0, "", {{"s2", secrets_line}},
       "test $(stat -c %i s2) != $(cat ino) && test \"$(stat -c %i:%y:%z o2)\" = \"$(cat times)\""},
      {"a link loop is refused as by open",
       "ln -s loop2 loop1 && ln -s loop1 loop2", {}, "loop1", "options", 255,
       "Error : cannot open file @/loop1 for writting.\n", {}, ""},
      {"more links than open follows, 15 in the folders and 30 at the end: refused as by open",
       "mkdir far && echo @old >far/f && ln -s . d && ln -s far/f e30 && "
       "for i in $(seq 29); do ln -s e$((i + 1)) e$i; done", {}, d15 + "e1", "options", 255,
       "Error : cannot open file @/" + d15 + "e1 for writting.\n", {{"far/f", old}}, ""},
      {"a new file whose name is too long for the temporary name: created in place, its folder synced",
       "mkdir sub", {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-y", "-o", "@/trace", "-e",
       "trace=fsync"}, long_name, "sub/o", 0, "", {{long_name, secrets_line}},
       "grep -q \" fsync([0-9]*<$(pwd)>) *= 0\" trace"},
      {"times past 2038: a file that holds its line is kept, one with an old line replaced",
       "printf 'al" + sep + "pw\\n' >f38 && echo @old >o38 && touch -d 2040-01-01 f38 o38 && "
       "stat -c %i:%y:%z f38 >times && stat -c %i o38 >ino", {}, "f38", "o38", 0, "", {{"o38", options_line}},
       "test \"$(stat -c %i:%y:%z f38)\" = \"$(cat times)\" && test $(stat -c %i o38) != $(cat ino)"},
      {"a name too long to make the temporary name from: written in place",
       "echo @old >" + long_name + " && stat -c %i " + long_name + " >ino", {}, long_name, "options", 0, "",
       {{long_name, secrets_line}}, "test $(stat -c %i " + long_name + ") = $(cat ino)"},
      {"a running program behind a link is refused as by open, and stays as it was",
       "mkdir att && cp /bin/sleep prog && ln -s ../prog att/s && { ./prog infinity </dev/null >/dev/null 2>&1 & "
       "echo $! >pid; } && timeout 10 sh -c 'until [ \"$(readlink /proc/'$(cat pid)'/exe)\" = @/prog ]; "
       "do sleep 0.01; done'", {}, "att/s", "options", 255, "Error : cannot open file @/att/s for writting.\n",
       {}, "kill $(cat pid); cmp prog /bin/sleep && test $(stat -c %a prog) = 755"},
      {"no descriptor left for the new file (ulimit -n 6): written in place, as open would",
       "echo @old >secrets && stat -c %i secrets >ino", {"sh", "-c", "ulimit -n 6 && exec \"$@\"", "sh"}, "secrets",
       "options", 0, "", {{"secrets", secrets_line}, {"options", options_line}},
       "test $(stat -c %i secrets) = $(cat ino)"},
      {"a file size limit: the write fails, the old file stays, nothing is left",
       "rm -f options && echo @old >secrets",
       {"bash", "-c", "set -o pipefail; prlimit --fsize=10 \"$@\" | cat", "bash"}, "secrets", "options", 255,
       "Error : cannot write to file @/secrets.\nError : 18 bytes to write, but 10 bytes written.\n",
       {{"secrets", old}}, "test ! -e options"},
      {"standard output a pipe nobody reads: the message is lost, not the status",
       "printf 'p\\n' >pass && mkfifo p", {"env", "--default-signal=PIPE", "sh", "-c",
       "exec 4<>@/p 5>@/p 4<&- && exec \"$@\" >&5", "sh"}, "secrets", "options", 0, "",
       {{"secrets", "al" + sep + "\n"}, {"options", options_line}}, "printf 'p=\"pw\"\\n' >pass"},
      {"a folder's default ACL does not reach a file that had no ACL",
       "mkdir dacl && setfacl -d -m u:1:rwx dacl && echo @old >dacl/s && setfacl -b dacl/s && "
       "stat -c %i dacl/s >ino", {}, "dacl/s", "options", 0, "", {{"dacl/s", secrets_line}},
       "test -z \"$(getfacl -cs dacl/s)\" && test $(stat -c %i dacl/s) != $(cat ino)"},
      {"a new options file is never writable by group or others, whatever the umask", "rm -f options",
       {"sh", "-c", "umask 0 && exec \"$@\"", "sh"}, "secrets", "options", 0, "", {{"options", options_line}},
       "test $(stat -c %a options) = 644"},
      {"an ACL too long to carry over: written in place",
       "echo @old >bigacl && setfacl -m $(seq -s, -f u:%g:r 65) bigacl && stat -c %i bigacl >ino", {}, "bigacl",
       "options", 0, "", {{"bigacl", secrets_line}}, "test $(stat -c %i bigacl) = $(cat ino)"},
  };
  for (const auto &c : cases)
    check(c);
  skipped();
}

// Paths the machine needs are handed to the command only inside a private
// mount namespace with a /dev of its own, so that a regression cannot
// replace the machine's devices.
class PrivateDev : public Replace {
protected:
  void SetUp() override {
    Replace::SetUp();
    if (geteuid() != 0)
      GTEST_SKIP() << "needs root for a private /dev";
    std::string why = refusal("unshare -m true");
    if (!why.empty())
      GTEST_SKIP() << "needs a private mount namespace (unshare -m): " << why;
  }
};

TEST_F(PrivateDev, DevicesAndOpenFilesAreWrittenInPlace) {
  const std::string dev =
      "mount -t tmpfs -o mode=755 dev /dev && mknod -m 666 /dev/null c 1 3 && "
      "mknod -m 666 /dev/full c 1 7 && ln -s /proc/self/fd/1 /dev/stdout && ";
  auto in_private_dev = [&](const std::string &then) {
    return std::vector<std::string>{"unshare", "-m", "sh", "-c", dev + then, "sh"};
  };
  const std::string full = "Error : cannot write to file /dev/full.\nError : ";
  const Case cases[] = {
      {"/dev/stdout into a pipe", "true", in_private_dev("\"$@\" | cat"), "/dev/stdout", "options",
       0, secrets_line, {}, ""},
      {"/dev/stdout into a file, written where it is open", "echo @old >out && stat -c %i out >ino",
       in_private_dev("exec \"$@\" >@/out"), "/dev/stdout", "options", 0, "", {{"out", secrets_line}},
       "test $(stat -c %i out) = $(cat ino)"},
      {"a device", "true", in_private_dev("exec \"$@\""), "/dev/null", "options", 0, "",
       {{"options", options_line}}, ""},
      {"full disk under the output file", "rm -f options", in_private_dev("exec \"$@\""), "/dev/full", "options",
       255, full + "18 bytes to write, but 0 bytes written.\n", {}, "test ! -e options"},
      {"full disk under the options file", "true", in_private_dev("exec \"$@\""), "secrets", "/dev/full",
       255, full + "8 bytes to write, but 0 bytes written.\n", {{"secrets", secrets_line}}, ""},
      {"a file in /proc, which has no sync", "true", in_private_dev("unshare -u \"$@\""), "secrets",
       "/proc/sys/kernel/hostname", 0, "", {{"secrets", secrets_line}}, ""},
  };
  for (const auto &c : cases)
    check(c);
}

// Runs the words that follow it, from the current folder, in a Landlock
// sandbox (Linux 5.13) where they may read anything, make and remove files
// in that folder, and write only its files secrets and options.
const std::string landlock =
    "sub rule { open(my $f, \"<\", $_[0]) or die \"$_[0]: $!\"; push @open, $f; "
    "my $b = pack(\"Ql\", $_[1], fileno $f); syscall(445, $r, 1, $b, 0) == 0 or die \"landlock_add_rule: $!\" } "
    "my $a = pack(\"Q\", 0x1fff); $r = syscall(444, $a, 8, 0); $r >= 0 or die \"landlock_create_ruleset: $!\"; "
    "rule(\"/\", 13); rule(\".\", 300); rule($_, 6) for \"secrets\", \"options\"; "
    "syscall(446, $r, 0) == 0 or die \"landlock_restrict_self: $!\"; exec @ARGV or die";

// Another user, and a private mount namespace, need root to set up. The rows
// run in a private mount namespace are a set of their own, and so are those
// that mount an ext4 image or a nosymfollow file system there, and those run
// in a user namespace or a Landlock sandbox, each skipped where the machine
// lacks what it needs: its trials are tried in turn, and the skip names the
// first that fails and what it printed.
struct Set {
  std::string name;
  std::vector<std::pair<std::string, std::string>> needs; // what, and its trial
};
void PrintTo(const Set &set, std::ostream *out) { *out << set.name; }
const std::pair<std::string, std::string> mount_ns = {"a private mount namespace (unshare -m)", "unshare -m true"};
const std::vector<Set> privileged_sets = {
    {"NoMount", {}},
    {"InAMountNamespace", {mount_ns}},
    {"OnALoopDevice", {mount_ns, {"mkfs.ext4", "command -v mkfs.ext4"},
     {"a loop device to mount an ext4 image on (mount -o loop)", "truncate -s 2M probe && mkfs.ext4 -q -F probe && "
      "mkdir p && unshare -m mount -o loop probe p; s=$?; rm -rf probe p; exit $s"}}},
    {"OnANosymfollowMount", {mount_ns, {"a nosymfollow mount (Linux 5.10)",
     "mkdir p && unshare -m mount -t tmpfs -o nosymfollow p p; s=$?; rmdir p; exit $s"}}},
    {"InAUserNamespace", {{"a user namespace (unshare -U)", "unshare -U true"}}},
    {"InALandlockSandbox", {{"a Landlock sandbox (Linux 5.13)",
     "touch secrets options && setpriv --no-new-privs perl -e '" + landlock + "' true"}}}};

class Privileged : public Replace, public testing::WithParamInterface<Set> {
protected:
  void SetUp() override {
    Replace::SetUp();
    if (geteuid() != 0)
      GTEST_SKIP() << "needs root to run as another user and to bind-mount";
    for (const auto &[needs, trial] : GetParam().needs) {
      std::string why = refusal(trial);
      if (!why.empty())
        GTEST_SKIP() << "needs " << needs << ": " << why;
    }
    // The other user needs a command and a folder it may reach.
    sh("chmod 755 . && chmod 644 user pass && cp '" + binary + "' cred_stow");
    binary = at("cred_stow");
  }
};

// Runs as user nobody (or who), in the background, while strace holds the
// command stopped at a call, by default its first fsync: after every
// decision about the file and before the rename, the moment a swap of the
// path would hurt. The command goes on once the swap is done, however long
// anything takes; should it end without being held, or the test's folder be
// gone, the swap runs then. What the swap prints goes to attack.out.
std::string race(const std::string &swap,
                 const std::string &who = "setpriv --reuid=65534 --regid=65534 --clear-groups ") {
  return "rm -f trace swapped attack.out && { (until grep -qs -e 'stopped by SIGSTOP' -e '+++ exited' trace "
         "|| [ ! -e user ]; do sleep 0.02; done; " + who + "sh -c '" + swap + "' >attack.out 2>/dev/null; "
         "touch swapped; kill -CONT $(sed -n '/stopped by SIGSTOP/s/ .*//p' trace) 2>/dev/null) & }";
}

TEST_P(Privileged, InPlaceForAnotherUserAndAMountPoint) {
  const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  // The command behind words, in a private mount namespace where mount (run
  // in the test's folder) mounted something; then after copies out what only
  // that namespace can see.
  auto mounted = [](const std::string &mount, const std::string &after,
                    const std::vector<std::string> &words = {}) {
    std::vector<std::string> all = {"unshare", "-m", "sh", "-c",
                                    "cd @/ && " + mount + " && \"$@\"; s=$?; " + after + "; exit $s", "sh"};
    all.insert(all.end(), words.begin(), words.end());
    return all;
  };
  // An ext4 file system with 128-byte inodes, whose times are whole seconds;
  // its file is made early in a second, so that what follows changes it in
  // the same second.
  const std::string coarse_fs = "truncate -s 2M img && mkfs.ext4 -q -F -I 128 img >/dev/null 2>&1 && mkdir -p m";
  const std::string coarse = "mount -o loop img m && until [ $(date +%N) -lt 200000000 ]; do sleep 0.01; done && ";
  // LeakSanitizer, in a sanitized build, cannot work under ptrace. The
  // trace shows the command stopped and ended, for race().
  auto traced_at = [](const std::string &call) {
    return std::vector<std::string>{"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-q", "-o", "@/trace",
                                    "-e", "trace=" + call};
  };
  auto held_at = [&](const std::string &call) {
    auto words = traced_at(call);
    words.insert(words.end(), {"-e", "inject=" + call + ":signal=STOP:when=1"});
    return words;
  };
  const auto held = held_at("fsync");
  // Held at the first such call on a name in folder (32-bit C libraries
  // and emulators stat with statx).
  auto held_in = [&](const std::string &call, const std::string &folder) {
    auto words = held_at(call);
    words.insert(words.end(), {"-P", folder});
    return words;
  };
  // The access check refused, as by a sandbox; and a Landlock sandbox.
  auto unasked = traced_at("faccessat");
  unasked.insert(unasked.end(), {"-e", "inject=faccessat:error=EPERM"});
  const std::vector<std::string> sandboxed = {"env", "-C", "@/", "setpriv", "--no-new-privs", "perl", "-e",
                                              landlock, "--"};
  // Traced at openat, to count the new files made, with statx as before
  // Linux 4.11 (none) and 5.8 (no mount-root attribute: it answers with
  // nothing filled in).
  auto statx_as = [&](const std::string &fault) {
    auto words = traced_at("openat,statx");
    words.insert(words.end(), {"-e", "inject=statx:" + fault});
    return words;
  };
  // The run behind words, with the secrets file bind-mounted: the new files
  // made beside it are counted.
  auto bind_mounted = [&](const char *what, const std::vector<std::string> &words) {
    return Case{what, "echo @old >secrets && echo @old >mounted", mounted("mount --bind mounted secrets",
                "grep -c '\"\\.secrets\\.' trace >temps", words), "secrets", "options", 0, "",
                {{"mounted", secrets_line}, {"secrets", old}, {"temps", "0\n"}}, ""};
  };
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const std::string victim = "rm -f victim && echo victim >victim && stat -c %i:%u:%a victim >ino && ";
  const std::string victim_kept = "test $(stat -c %i:%u:%a victim) = $(cat ino)";
  const std::string swapped = "timeout 20 sh -c 'until [ -e swapped ]; do sleep 0.02; done' && ";
  // Where the kernel's protection is on, open refuses what the command left
  // to it; either way the victim keeps its inode, owner and mode.
  const bool links_protected = protected_fs("symlinks"), files_protected = protected_fs("regular");
  auto refused = [](const std::string &file) { return "Error : cannot open file @/" + file + " for writting.\n"; };
  const Case cases[] = {
      {"root replaces a file of another user's: owner and mode stay",
       "echo @old >secrets && chown 65534:65534 secrets && chmod 640 secrets", {}, "secrets", "options",
       0, "", {{"secrets", secrets_line}}, "test $(stat -c %u:%g:%a secrets) = 65534:65534:640"},
      {"a file the caller may write in a folder it may not",
       "mkdir ro && for f in s o; do echo @old >ro/$f; chown 65534 ro/$f; done && stat -c %i ro/s >ino",
       nobody, "ro/s", "ro/o", 0, "", {{"ro/s", secrets_line}, {"ro/o", options_line}},
       "test $(stat -c %i ro/s) = $(cat ino)"},
      {"a file whose owner the caller cannot give: written in place, owner stays",
       "mkdir -m 777 pub && for f in s o; do echo @old >pub/$f; chmod 666 pub/$f; done", nobody,
       "pub/s", "pub/o", 0, "", {{"pub/s", secrets_line}, {"pub/o", options_line}},
       "test $(stat -c %u pub/s) = 0"},
      {"a file the caller may not write is refused, not replaced",
       "mkdir -m 777 pub2 && echo @old >pub2/s && chown 65534:65534 pub2/s && chmod 444 pub2/s", nobody, "pub2/s", "options", 255,
       "Error : cannot open file @/pub2/s for writting.\n", {{"pub2/s", old}}, ""},
      bind_mounted("a bind-mounted file cannot be renamed over: written in place, and no new file made for it",
                   traced_at("openat")),
      bind_mounted("a bind-mounted file, where the kernel has no statx: no new file made for it either",
                   statx_as("error=ENOSYS")),
      bind_mounted("a bind-mounted file, where statx has no mount-root attribute: no new file made for it either",
                   statx_as("retval=0")),
      {"the old file's ACL is kept",
       "echo @old >acl && chown 0:65534 acl && chmod 640 acl && setfacl -m u:1:r,g::-,m::r acl && "
       "getfacl -c acl >acl.before && stat -c %i acl >ino", {}, "acl", "options", 0, "",
       {{"acl", secrets_line}}, "getfacl -c acl | cmp - acl.before && test $(stat -c %i acl) != $(cat ino)"},
      {"a file that only its ACL keeps from its group is never open to the group, even while new",
       "echo @old >acl2 && chown 0:65534 acl2 && chmod 640 acl2 && setfacl -m u:1:r,g::-,m::r acl2 && " +
           race("exec 3<\"$(echo @/.acl2.*)\" && echo opened"),
       held_at("fchmod"), "acl2", "options", 0, "", {{"acl2", secrets_line}},
       swapped + "test ! -s attack.out"},
      {"a mode its owner narrows during the run is kept",
       "echo @old >own && chown 65534 own && chmod 644 own && " + race("chmod 600 @/own"), held, "own",
       "options", 0, "", {{"own", secrets_line}}, swapped + "test $(stat -c %u:%a own) = 65534:600"},
      {"another user's folder: its file swapped for a link after the decision is decided on anew",
       victim + "mkdir ppp && echo @old >ppp/s && chmod 666 ppp/s && chown -R 65534:65534 ppp && " +
           race("ln -s @/victim ppp/x && mv -T ppp/x ppp/s"),
       held, "ppp/s", "options", 0, "", {{"victim", secrets_line}},
       swapped + "test $(stat -c %u:%a victim) = 0:644 && test -L ppp/s"},
      {"a sticky folder: another user's link there is not followed by hand",
       victim + "mkdir -m 1777 tmp1 && " + as_nobody + "ln -s @/victim tmp1/s", {}, "tmp1/s", "options",
       links_protected ? 255 : 0, links_protected ? refused("tmp1/s") : "", {}, victim_kept},
      {"a sticky folder: a link planted there during the run is not followed by hand",
       victim + "mkdir -m 1777 tmp2 && " + race("ln -s @/victim tmp2/s"), held, "tmp2/s", "options",
       links_protected ? 255 : 0, links_protected ? refused("tmp2/s") : "", {}, swapped + victim_kept},
      {"a sticky folder: the link whose owner was checked is the link followed",
       victim + "echo @old >good && mkdir -m 1777 tmp4 && chown 1 tmp4 && ln -s @/good tmp4/s && " + as_nobody +
           "ln -s @/victim tmp4/evil && " + race("mv -T tmp4/evil tmp4/s", ""),
       held_in("newfstatat,statx", "@/tmp4"), "tmp4/s", "options", links_protected ? 255 : 0,
       links_protected ? refused("tmp4/s") : "", {{"good", old}}, swapped + victim_kept},
      {"an append-only folder: written in place, nothing left there",
       "mkdir ao && echo @old >ao/s && stat -c %i ao/s >ino && chattr +a ao", {}, "ao/s", "options", 0, "",
       {{"ao/s", secrets_line}}, "chattr -a ao; test $(stat -c %i ao/s) = $(cat ino)"},
      {"an append-only file that holds its line is refused as by open",
       "printf 'al" + sep + "pw\\n' >ap && chattr +a ap", {}, "ap", "options", 255, refused("ap"),
       {{"ap", secrets_line}}, "chattr -a ap"},
      {"an immutable file that holds its line, where a sandbox refuses the access check: refused as by open",
       "printf 'al" + sep + "pw\\n' >im && chattr +i im", unasked, "im", "options", 255, refused("im"),
       {{"im", secrets_line}}, "chattr -i im"},
      {"files that hold their lines, for a caller that is not root but may override their modes: left as they are",
       "printf 'al" + sep + "pw\\n' >dk && printf 'name al\\n' >dko && chmod 600 dk dko && stat -c %i:%y dk dko >times",
       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=+dac_override",
        "--ambient-caps=+dac_override"}, "dk", "dko", 0, "", {}, "test \"$(stat -c %i:%y dk dko)\" = \"$(cat times)\""},
#ifndef __SANITIZE_ADDRESS__ // LeakSanitizer fails a process whose ids differ, which cannot be traced
      {"a file that holds its line, for a caller whose effective id may not write it: refused as by open",
       "printf 'al" + sep + "pw\\n' >eu", {"setpriv", "--euid=65534"}, "eu", "options", 255, refused("eu"),
       {{"eu", secrets_line}}, ""},
#endif
      {"a folder made append-only during the run: written in place, and the new file left empty",
       "mkdir ao2 && echo @old >ao2/s && stat -c %i ao2/s >ino && " + race("chattr +a @/ao2", ""), held, "ao2/s",
       "options", 0, "", {{"ao2/s", secrets_line}},
       swapped + "chattr -a ao2 && test $(stat -c %i ao2/s) = $(cat ino) && test ! -s ao2/.s.* && rm ao2/.s.*"},
      {"whole-second times: a chmod in the same second as the file's last change is seen",
       coarse_fs, mounted(coarse + "echo @old >m/f && chown 65534 m/f && chmod 644 m/f && " +
       race("chmod 600 @/m/f", ""), swapped + "stat -c %u:%a m/f >mode; cp m/f f", held), "m/f", "options", 0, "",
       {{"f", secrets_line}, {"mode", "65534:600\n"}}, ""},
      {"whole-second times: an ACL changed in the same second, its mode not, is seen",
       coarse_fs, mounted(coarse + "echo @old >m/f && setfacl -m u:1:r m/f && " +
       race("setfacl -x u:1 -m u:2:r @/m/f", ""), swapped + "getfacl -cn m/f | grep user: >acl; cp m/f f", held),
       "m/f", "options", 0, "", {{"f", secrets_line}, {"acl", "user::rw-\nuser:2:r--\n"}}, ""},
      {"whole-second times: a file that grew after it was looked at is not kept as holding its line",
       coarse_fs, mounted(coarse + "printf 'al" + sep + "pw\\n' >m/f && " + race("printf x >>@/m/f", ""),
       swapped + "cp m/f f", held_in("fstat,newfstatat,statx", "@/m/f")), "m/f", "options", 0, "",
       {{"f", secrets_line}}, ""},
      {"an overlay's lower file is replaced through one new file, its copy-up no change",
       "mkdir l t o && echo @old >l/f", mounted("mount -t tmpfs t t && mkdir t/u t/w && "
       "mount -t overlay o -o lowerdir=l,upperdir=t/u,workdir=t/w o", "grep -c '\"\\.f\\.' trace >temps; cp o/f f",
       traced_at("openat")), "o/f", "options", 0, "", {{"f", secrets_line}, {"temps", "1\n"}}, ""},
      {"a folder others may write but that is not sticky is not the kernel's protected case: replaced",
       "mkdir -m 777 pub3 && echo @old >pub3/s && chown 65534 pub3/s && stat -c %i pub3/s >ino", {}, "pub3/s",
       "options", 0, "", {{"pub3/s", secrets_line}}, "test $(stat -c %i:%u pub3/s) != $(cat ino):65534"},
      {"a sticky folder: another user's file there is not replaced",
       "mkdir -m 1777 tmp3 && " + as_nobody + "sh -c 'echo @old >tmp3/s && chmod 666 tmp3/s' && "
       "stat -c %i:%u:%a tmp3/s >ino", {}, "tmp3/s", "options", files_protected ? 255 : 0,
       files_protected ? refused("tmp3/s") : "", {{"tmp3/s", files_protected ? old : secrets_line}},
       "test $(stat -c %i:%u:%a tmp3/s) = $(cat ino)"},
      {"a container's root, and an owner its namespace does not map but shows as nobody: written in place",
       "echo @old >un && chown 1000:1000 un && chmod 600 un && setfacl -m u:0:rw un && stat -c %i:%u:%g un >ino",
       {"sh", "-c", "mkfifo @/in @/go && { unshare -U sh -c 'echo >@/in; read x <@/go; exec \"$@\"' sh \"$@\" & } && "
       "read x <@/in && for m in uid gid; do printf '0 0 1\\n65534 165534 1\\n' >/proc/$!/${m}_map; done && "
       "echo >@/go && wait $!", "sh"}, "un", "options", 0, "", {{"un", secrets_line}},
       "test $(stat -c %i:%u:%g un) = $(cat ino)"},
      {"a container's nobody, and an owner its namespace does not map but shows as nobody: written in place",
       "mkdir -m 777 cn && echo @old >cn/s && chown 1000:1000 cn/s && chmod 666 cn/s && stat -c %i:%u:%g cn/s >ino",
       {"sh", "-c", "mkfifo -m 666 @/in2 @/go2 && { setpriv --reuid=100000 --regid=100000 --clear-groups unshare -U "
       "sh -c 'echo >@/in2; read x <@/go2; exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"' sh \"$@\" & } && "
       "read x <@/in2 && for m in uid gid; do printf '0 100000 65536\\n' >/proc/$!/${m}_map; done && "
       "echo >@/go2 && wait $!", "sh"}, "cn/s", "cn/o", 0, "", {{"cn/s", secrets_line}},
       "test $(stat -c %i:%u:%g cn/s) = $(cat ino)"},
      {"a container's root, a sticky folder and a file of two users it does not map: not kept, left to open",
       "mkdir -m 1777 st && chown 1001 st && printf 'name al\\n' >st/o && chown 1002 st/o && chmod 666 st/o && "
       "stat -c %y st/o >times", {"sh", "-c", "mkfifo @/in3 @/go3 && { unshare -U sh -c 'echo >@/in3; read x <@/go3; "
       "exec \"$@\"' sh \"$@\" & } && read x <@/in3 && for m in uid gid; do printf '0 0 1\\n' >/proc/$!/${m}_map; "
       "done && echo >@/go3 && wait $!", "sh"}, "st/s", "st/o", files_protected ? 255 : 0,
       files_protected ? refused("st/o") : "", {}, files_protected ? "" : "test \"$(stat -c %y st/o)\" != \"$(cat times)\""},
#ifndef __SANITIZE_ADDRESS__ // the sanitizers read their options from /proc
      {"without /proc, another user's file is still replaced", "echo @old >np && chown 1000 np && stat -c %i np >ino",
       mounted("mount -t tmpfs none /proc", "true"), "np", "options", 0, "", {{"np", secrets_line}},
       "test $(stat -c %u np) = 1000 && test $(stat -c %i np) != $(cat ino)"},
#endif
      {"a link put on a nosymfollow mount after the path was looked at: refused as by open",
       victim + "mkdir nsf", mounted("mount -t tmpfs -o nosymfollow nsf nsf && echo @old >nsf/s && ln -s nsf/s nsl && " +
       race("ln -s @/victim nsf/evil && mv -T nsf/evil nsf/s", ""), swapped + "true", held_in("fstatfs", "@/nsf")),
       "nsl", "options", 255, refused("nsl"), {}, victim_kept},
      {"a link on a nosymfollow mount whose folder is renamed while the whole path is asked about: refused",
       victim + "mkdir nsf2", mounted("mount -t tmpfs -o nosymfollow nsf2 nsf2 && mkdir nsf2/d && "
       "ln -s @/victim nsf2/d/s && " + race("mv @/nsf2/d @/nsf2/e", ""), swapped + "true",
       held_in("fstatfs", "@/nsf2/d")), "nsf2/d/s", "options", 255, refused("nsf2/d/s"), {}, victim_kept},
      {"a sandbox that lets the caller make files but write only the two it names: written in place, nothing left",
       "echo @old >secrets && echo @old >options && stat -c %i secrets options >ino", sandboxed, "secrets",
       "options", 0, "", {{"secrets", secrets_line}, {"options", options_line}},
       "test \"$(stat -c %i secrets options)\" = \"$(cat ino)\""},
  };
  auto set_of = [&](const Case &c) { // see privileged_sets
    bool mounts = !c.prefix.empty() && c.prefix[0] == "unshare";
    bool user_ns = c.prefix.size() > 2 && c.prefix[2].find("unshare -U") != std::string::npos;
    return c.setup == coarse_fs                                               ? "OnALoopDevice"
           : mounts && c.prefix[4].find("nosymfollow") != std::string::npos ? "OnANosymfollowMount"
           : mounts                                                          ? "InAMountNamespace"
           : user_ns                                                         ? "InAUserNamespace"
           : c.prefix == sandboxed                                           ? "InALandlockSandbox"
                                                                             : "NoMount";
  };
  for (const auto &c : cases)
    if (GetParam().name == set_of(c))
      check(c);
  skipped();
}

INSTANTIATE_TEST_SUITE_P(, Privileged, testing::ValuesIn(privileged_sets),
                         [](const auto &info) { return info.param.name; });

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
    if (!refusal("command -v strace").empty())
      GTEST_SKIP() << "needs strace, not installed here";
  }

  // LeakSanitizer, in a sanitized build, cannot work under ptrace.
  // more may trace other calls (a later trace= replaces the first) or inject
  // more faults.
  static std::vector<std::string> traced(const std::string &call, const std::string &what,
                                         const std::string &when,
                                         const std::vector<std::string> &more = {}) {
    std::vector<std::string> words = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-y",
                                      "-e", "trace=" + call, "-e", "inject=" + call + ":" + what + ":when=" + when};
    words.insert(words.end(), more.begin(), more.end());
    return words;
  }

  // Which of the calls of one undisturbed run, counted from 1, is the
  // occurrence-th whose line in strace's output (descriptors shown with
  // their paths) holds text; found rather than counted by hand, since the C
  // library's own start-up makes calls too.
  int nth(const std::string &call, const std::string &text, int occurrence = 1) {
    std::istringstream lines(inject(call, "delay_exit=1", "1000").err);
    int n = 1;
    for (std::string line; std::getline(lines, line); ++n)
      if (line.find(text) != std::string::npos && --occurrence == 0)
        return n;
    ADD_FAILURE() << "no " << call << " shows " << text;
    return 0;
  }

  Result inject(const std::string &call, const std::string &what, const std::string &when) {
    prepare();
    return run(normal, traced(call, what, when));
  }

  // Both output files as "old", with no leftovers: the secrets file is
  // reached through a link, the options file directly and has an ACL to
  // carry over.
  void prepare() {
    for (const auto &e : leftovers())
      unlink(e.c_str());
    sh("mkdir -p linked && ln -sf linked/secrets secrets");
    put("linked/secrets", old);
    put("options", old);
    // u:1:r, set as setfacl would but without it: the kernel's layout, a
    // version, then each entry's tag, permissions and id, little-endian.
    static const char acl[] = "\2\0\0\0\1\0\6\0\377\377\377\377\2\0\4\0\1\0\0\0\4\0\4\0\377\377\377\377"
                              "\20\0\4\0\377\377\377\377\40\0\4\0\377\377\377\377";
    ASSERT_EQ(setxattr(at("options").c_str(), "system.posix_acl_access", acl, sizeof acl - 1, 0), 0);
    inodes = {inode("secrets"), inode("options")};
  }

  std::string inode(const std::string &file) const {
    struct stat st {};
    return stat(at(file).c_str(), &st) == 0 ? std::to_string(st.st_ino) : "none";
  }

  // The files' inodes when the last run started.
  std::pair<std::string, std::string> inodes;
};

TEST_F(Faults, EachFailureReportedWithTheOldFileKept) {
  // The openat that makes the secrets file's new file, and the 99 after it.
  const int temp = nth("openat", "/.secrets.");
  const std::string first_name = std::to_string(temp);
  const std::string every_name = first_name + ".." + std::to_string(temp + 99);
  const std::string secrets_failed = "Error : cannot write to file @/secrets.\n";
  const std::string options_failed = "Error : cannot write to file @/options.\n";
  const std::string secrets_replaced = "Error : file @/secrets was replaced, but may not be on disk yet.\n";
  // The new file's close, once it has the old file's name (after the two
  // closes of the probes that follow the link).
  const std::string renamed_close = std::to_string(nth("close", "/linked/secrets>", 3));
  const std::string user_read = std::to_string(nth("read", "/user>"));
  const struct {
    const char *call, *error;
    std::string when;
    int status;
    std::string out, secrets, options;
    std::string in_place = ""; // the file that keeps its inode, written in place
  } cases[] = {
      {"read", "EIO", user_read, 255, "Error : cannot read file @/user.\n", old, old},
      {"write", "EIO", "1", 255, secrets_failed + "Error : 18 bytes to write, but 0 bytes written.\n", old, old},
      {"write", "ENOSPC", "2", 255, options_failed + "Error : 8 bytes to write, but 0 bytes written.\n",
       secrets_line, old},
      {"fsync", "EIO", "1", 255, secrets_failed, old, old},
      {"fsync", "EIO", "2", 255, secrets_replaced, secrets_line, old}, // the folder's, after the rename
      {"close", "EIO", renamed_close, 255, secrets_replaced, secrets_line, old},
      {"fsync", "EINVAL", "2", 255, secrets_replaced, secrets_line, old}, // only a pipe or a device is excused
      {"fsync", "EROFS", "1", 255, secrets_failed, old, old}, // a file system that took an error
      {"fsync", "EIO", "3", 255, options_failed, secrets_line, old},
      {"fchown", "EPERM", "1", 0, "", secrets_line, options_line, "secrets"}, // written in place
      {"fchown", "EIO", "2", 255, options_failed, secrets_line, old},
      {"fchown", "EINVAL", "1", 0, "", secrets_line, options_line, "secrets"}, // an unmapped owner
      {"fchown", "EACCES", "1", 0, "", secrets_line, options_line, "secrets"}, // a security module's refusal
      {"fchmod", "EIO", "1", 255, secrets_failed, old, old},
      {"fchmod", "EPERM", "1", 0, "", secrets_line, options_line, "secrets"}, // root without CAP_FOWNER
      // Each file's first renameat is the kernel's check, onto its own name.
      {"renameat", "EXDEV", "2", 0, "", secrets_line, options_line, "secrets"},
      {"renameat", "EBUSY", "4", 0, "", secrets_line, options_line, "options"},
      {"renameat", "EIO", "2", 255, secrets_failed, old, old},
      {"renameat", "EPERM", "2", 0, "", secrets_line, options_line, "secrets"}, // as open would
      {"renameat", "EACCES", "2", 0, "", secrets_line, options_line, "secrets"},
      // A sandbox that lets the caller create files but not remove them: no
      // new file is made that could not be removed.
      {"renameat,unlinkat", "EACCES", "1+", 0, "", secrets_line, options_line, "secrets"},
      // No ACL on the old file: any the folder gave the new one goes.
      {"fremovexattr", "EIO", "1", 255, secrets_failed, old, old},
      {"fremovexattr", "EPERM", "1", 0, "", secrets_line, options_line, "secrets"},
      // An ACL that cannot be given there.
      {"fsetxattr", "EOPNOTSUPP", "1", 0, "", secrets_line, options_line, "options"},
      {"fsetxattr", "EINVAL", "1", 0, "", secrets_line, options_line, "options"},
      {"openat", "ENOSPC", first_name, 255, "Error : cannot open file @/secrets for writting.\n", old, old},
      {"openat", "EROFS", first_name, 0, "", secrets_line, options_line, "secrets"},
      {"openat", "EACCES", first_name, 0, "", secrets_line, options_line, "secrets"},
      {"openat", "EOVERFLOW", first_name, 0, "", secrets_line, options_line, "secrets"}, // ids not mapped
      {"openat", "EEXIST", first_name, 0, "", secrets_line, options_line}, // the next name is tried
      {"openat", "EEXIST", every_name, 0, "", secrets_line, options_line, "secrets"}, // none free
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + c.error + " #" + c.when);
    Result r = inject(c.call, "error=" + std::string(c.error), c.when);
    EXPECT_NE(r.err.find("(INJECTED)"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, here(c.out));
    EXPECT_EQ(get("secrets"), c.secrets);
    EXPECT_EQ(get("options"), c.options);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    if (!c.in_place.empty()) {
      EXPECT_EQ(inode(c.in_place), c.in_place == "secrets" ? inodes.first : inodes.second);
    }
  }
  // A file that did not exist before a failed run does not exist after it.
  put("linked/secrets", old);
  ASSERT_EQ(unlink(at("options").c_str()), 0);
  Result r = run(normal, traced("write", "error=EIO", "2"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(get("options"), std::nullopt);
  // A run that changes nothing makes no new file, renames and writes nothing,
  // but syncs the folder, which a failed run may have left unsynced.
  // So does one where a sandbox refuses the access check.
  ASSERT_EQ(run(normal).status, 0);
  const auto watched = traced("openat,renameat,write,fsync,faccessat", "delay_exit=1", "1000");
  auto sandboxed = watched;
  sandboxed.insert(sandboxed.end(), {"-e", "inject=faccessat:error=EPERM"});
  // Only the sandboxed one opens the files for writing, for the kernel's
  // write check.
  for (const auto &prefix : {watched, sandboxed}) {
    r = run(normal, prefix);
    EXPECT_EQ(r.status, 0);
    for (const char *call : {".secrets.", ".options.", "rename", "write("})
      EXPECT_EQ(r.err.find(call), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/linked>)"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("O_WRONLY") == std::string::npos, prefix == watched) << r.err;
  }
  // Where its sync fails as on a file system that turned read-only, open
  // decides, as it would have.
  r = run(normal, traced("fdatasync", "error=EROFS", "1", {"-e", "trace=fdatasync,open,openat"}));
  EXPECT_NE(r.err.find("O_TRUNC"), std::string::npos) << r.err;
  // A file written in place is synced too, and EROFS is a failure there
  // too, and so is EINVAL for a regular file.
  ASSERT_EQ(link(at("linked/secrets").c_str(), at("chap").c_str()), 0);
  for (const char *error : {"error=EROFS", "error=EINVAL"}) {
    put("linked/secrets", old);
    r = run(normal, traced("fsync", error, "1"));
    EXPECT_EQ(r.status, 255) << error;
    EXPECT_EQ(r.out, here("Error : cannot write to file @/secrets.\n"));
  }
  // And its close is checked: the fourth close on it, after the link's two
  // probes and the old file's read descriptor.
  r = inject("close", "error=EIO", std::to_string(nth("close", "/linked/secrets>", 4)));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, here("Error : cannot write to file @/secrets.\n"));
  // A new file that cannot be removed is emptied, and that is synced.
  prepare();
  r = run(normal, traced("renameat", "error=EIO", "2", {"-e", "inject=unlinkat:error=EPERM", "-e",
                                                        "trace=renameat,unlinkat,ftruncate,fsync"}));
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("ftruncate\\([0-9]+<[^>]*/\\.options\\.[^>]*>, 0\\) += 0\n"
                                                  "fsync\\([0-9]+<[^>]*/\\.options\\."))) << r.err;
}

// Every call of these, in turn, fails or is where the process is killed:
// each file is old or new, the options file is never new before the
// secrets file, a failed close of an output file or its folder fails the
// run, and a run that ends by itself leaves no temporary file. glibc opens
// with openat, musl with open.
TEST_F(Faults, AnyCallFailingOrKilledLeavesOldOrNew) {
  // The closes of a written file, an old file or their folder: from the
  // secrets file's new file on, closed once renamed into place (the first
  // two closes on that path are those of the probes that follow the link).
  const int first_output_close = nth("close", "/linked/secrets>", 3);
  for (const std::string call : {"open,openat", "write", "fsync", "close", "fchown", "fchmod", "renameat"}) {
    for (const std::string what : {"error=EIO", "signal=KILL"}) {
      int failed_runs = 0;
      for (int when = 1;; ++when) {
        SCOPED_TRACE(call + " " + what + " #" + std::to_string(when));
        ASSERT_LT(when, 100);
        Result r = inject(call, what, std::to_string(when));
        bool killed = r.status == 128 + 9;
        if (!killed && r.err.find("(INJECTED)") == std::string::npos)
          break;
        auto s = get("secrets"), o = get("options");
        EXPECT_TRUE(s == old || s == secrets_line) << *s;
        EXPECT_TRUE(o == old || o == options_line) << *o;
        EXPECT_TRUE(o == old || s == secrets_line);
        EXPECT_TRUE(r.status != 0 || (s == secrets_line && o == options_line && r.out.empty()));
        EXPECT_TRUE(r.status != 255 || r.out.rfind("Error", 0) == 0) << r.out;
        // (Not so a /proc file read to learn the ids, as another user's files
        // are when the tests run as a user that is not root.)
        EXPECT_TRUE(call != "close" || what != "error=EIO" || when < first_output_close ||
                    r.status == 255 || std::regex_search(r.err, std::regex("close\\([0-9]+</proc/.*INJECTED")));
        EXPECT_TRUE(killed || leftovers().empty());
        // A failed run leaves the file it names as it was, or says it was replaced.
        if (r.status == 255) {
          EXPECT_EQ((r.out.find("/secrets") != std::string::npos ? s : o) != old,
                    r.out.find(" was replaced,") != std::string::npos) << r.out;
        }
        for (const auto &e : leftovers()) // a kill leaves .NAME.XXXXXX
          EXPECT_TRUE(std::regex_match(e, std::regex(".*/(linked/\\.secrets|\\.options)\\.[A-Za-z0-9]{6}"))) << e;
        failed_runs += r.status == 255;
      }
      EXPECT_TRUE(what == "signal=KILL" || failed_runs > 0)
          << call << ": the command's own calls were never reached";
    }
  }
}

// Routers run kernels from Linux 3.10 on. Every system call that the
// command and its C library make is in 3.10, or is listed here with the
// kernel that brought it; without each listed call in turn (ENOSYS), files
// are replaced with new inodes, unchanged files are left as they are, and a
// failed write keeps the old file, as with it.
TEST_F(Faults, TheSameOnKernelsFromLinux310) {
  const std::set<std::string> in_310 = {
      "access", "arch_prctl", "brk", "capget", "close", "execve", "exit_group", "faccessat", "fchmod", "fchown",
      "fcntl", "fdatasync", "fgetxattr", "fremovexattr", "fsetxattr", "fstat", "fstatfs", "fsync",
      "getegid", "geteuid", "getgid", "getpid", "getuid", "ioctl", "mmap", "mprotect", "munmap", "name_to_handle_at",
      "newfstatat", "open", "openat", "pread64", "prlimit64", "read", "readlinkat", "renameat",
      "rt_sigaction", "set_robust_list", "set_tid_address", "unlinkat", "write", "writev"};
  // The first run has every call there.
  const std::map<std::string, std::string> newer = {
      {"", ""}, {"getrandom", "3.17"}, {"statx", "4.11"}, {"rseq", "4.18"}};
  const struct {
    const char *what;
    bool unchanged;
    std::string fault, outcome;
  } runs[] = {
      {"replaced", false, "", "0 new new"},
      {"left as they are", true, "", "0 kept kept"},
      {"a failed write keeps the old file", false, "inject=write:error=EIO:when=1", "255 kept kept"},
  };
  // A file's inode, then its times and content; and what became of it.
  auto state = [&](const std::string &file) {
    struct stat st {};
    stat(at(file).c_str(), &st);
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_nsec) + ":" + *get(file);
  };
  auto fate = [&](const std::string &file, const std::string &before) {
    std::string after = state(file), inode = before.substr(0, before.find(':') + 1);
    return after == before ? " kept" : after.rfind(inode, 0) == 0 ? " in place" : " new";
  };
  std::set<std::string> made;
  for (const auto &[without, version] : newer) {
    for (const auto &c : runs) {
      SCOPED_TRACE(c.what + (" without " + without));
      prepare();
      std::vector<std::string> prefix = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq"};
      if (c.unchanged) {
        ASSERT_EQ(run(normal).status, 0);
      }
      for (const auto &fault : {without.empty() ? "" : "inject=" + without + ":error=ENOSYS", c.fault})
        if (!fault.empty())
          prefix.insert(prefix.end(), {"-e", fault});
      std::string secrets = state("secrets"), options = state("options");
      Result r = run(normal, prefix);
      EXPECT_EQ(std::to_string(r.status) + fate("secrets", secrets) + fate("options", options), c.outcome);
      EXPECT_EQ(leftovers(), std::vector<std::string>{});
      std::istringstream lines(r.err);
      for (std::string line; std::getline(lines, line);)
        if (line.find('(') != std::string::npos && line.rfind("+++", 0) != 0)
          made.insert(line.substr(0, line.find('(')));
    }
  }
#ifndef __SANITIZE_ADDRESS__ // the sanitizers' runtime makes calls of its own
  for (const auto &call : made)
    EXPECT_TRUE(in_310.count(call) != 0 || newer.count(call) != 0)
        << call << " is not in Linux 3.10: list it here with its kernel, and give it a fallback";
#endif
}

} // namespace
