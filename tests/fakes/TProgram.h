// Other programs started from a test: in the background with their output
// in files, or run to their end with their output returned. Test thread;
// a program that cannot start gives -1.
#pragma once

#include "TTempFolder.h"

#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quibo::test {

// Starts a program with its output in two files and extra environment
// entries before the inherited ones; returns its process id, -1 when it cannot start.
inline pid_t StartProgram(const std::vector<std::string>& arguments, const std::filesystem::path& out,
                          const std::filesystem::path& err, const std::vector<std::string>& extraEnvironment = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment(extraEnvironment);
  for (char** entry = environ; *entry; ++entry)
    environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t child = -1;
  const int failure = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failure == 0 ? child : -1;
}

// Runs a program to its end; returns its exit status, output in out and err.
inline int RunProgram(const std::vector<std::string>& arguments, std::string* out = nullptr, std::string* err = nullptr,
                      const std::vector<std::string>& extraEnvironment = {}) {
  TTempFolder capture;
  const auto outFile = capture.path() / "out", errFile = capture.path() / "err";
  const pid_t child = StartProgram(arguments, outFile, errFile, extraEnvironment);
  if (child < 0) return -1;
  int status = 0;
  ::waitpid(child, &status, 0);
  if (out) *out = ReadFile(outFile);
  if (err) *err = ReadFile(errFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace quibo::test
