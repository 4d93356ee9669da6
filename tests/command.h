// The fixture of the end-to-end tests: a fresh folder for each test, files
// put into it and read back, and the command run in it as a caller would,
// with its exit status and what it printed.
#ifndef CRED_STOW_TESTS_COMMAND_H
#define CRED_STOW_TESTS_COMMAND_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace cred_stow_test {

// The secrets line's columns between user name and password.
inline const std::string sep = "     *       ";

struct Result {
  int status; // the exit status, or 128 and the signal that ended the run
  std::string out, err;
};

class Command : public testing::Test {
protected:
  std::string dir;
  // The command file, and the emulator that runs it, if any: CRED_STOW_CMD
  // in the environment replaces the built command, e.g. with a build for
  // another C library, or with a cross-built binary behind the emulator's
  // words ("qemu-arm -L /usr/arm-linux-gnueabihf build-arm/cred_stow").
  std::string binary = CRED_STOW_BINARY;
  std::vector<std::string> emulator;

  void SetUp() override {
    const char *cmd = std::getenv("CRED_STOW_CMD");
    std::istringstream split(cmd != nullptr ? cmd : "");
    for (std::string w; split >> w;)
      emulator.push_back(w);
    if (!emulator.empty()) {
      // Absolute, since some runs start in another folder.
      binary = std::filesystem::absolute(emulator.back()).string();
      emulator.pop_back();
    }
    char tmpl[] = "/tmp/cred_stow_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string at(const std::string &name) const { return dir + "/" + name; }

  void put(const std::string &name, const std::string &bytes) const {
    std::ofstream(at(name), std::ios::binary) << bytes;
  }

  std::optional<std::string> get(const std::string &name) const {
    std::ifstream in(at(name), std::ios::binary);
    if (!in)
      return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Runs a shell command in the test's folder, for setting up.
  void sh(const std::string &script) const {
    std::string cmd = "cd '" + dir + "' && " + script;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << script;
  }

  std::vector<std::string> command() const {
    std::vector<std::string> words = emulator;
    words.push_back(binary);
    return words;
  }

  // Starts prefix, the command and args; paths in args that do not start
  // with "/" are taken inside the test's folder, but "=NAME" is passed as
  // the bare NAME. Output goes to files named after tag, which finish reads
  // and removes.
  pid_t start(const std::vector<std::string> &args,
              std::vector<std::string> words, const std::string &tag) const {
    for (const auto &w : command())
      words.push_back(w);
    for (const auto &a : args)
      words.push_back(a.empty() || a[0] == '/' ? a : a[0] == '=' ? a.substr(1) : at(a));
    std::vector<char *> argv;
    for (auto &w : words)
      argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string out = at(".out" + tag), err = at(".err" + tag);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Result finish(pid_t pid, const std::string &tag) const {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
      return {-1, "", "not started"};
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
             *get(".out" + tag), *get(".err" + tag)};
    unlink(at(".out" + tag).c_str());
    unlink(at(".err" + tag).c_str());
    return r;
  }

  Result run(const std::vector<std::string> &args,
             const std::vector<std::string> &prefix = {}) const {
    return finish(start(args, prefix, ""), "");
  }

  Result run_default() const { return run({"user", "pass", "secrets", "options"}); }

  // Hidden files anywhere in the folder: temporary files left behind.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
      if (e.path().filename().string()[0] == '.')
        found.push_back(e.path().string());
    return found;
  }
};

} // namespace cred_stow_test

#endif // CRED_STOW_TESTS_COMMAND_H
