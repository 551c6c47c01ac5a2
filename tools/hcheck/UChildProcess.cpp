#include "UChildProcess.h"

#include "UDescriptor.h"
#include "UFunctions.h"

#include <algorithm>
#include <sstream>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quibo::hcheck {
namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kDrainAfterExit = std::chrono::seconds(1); // a grandchild may still hold a pipe

// One output pipe of the child and what was kept of it.
struct TStream {
  TDescriptor ReadEnd;
  std::string* Kept;
  size_t Limit;
  bool* Cut;

  bool Open() const { return ReadEnd.Valid(); }
  void ReadSome() {
    char chunk[8192];
    const ssize_t got = ::read(ReadEnd.Get(), chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got <= 0) {
      ReadEnd.Reset();
      return;
    }
    const size_t room = Limit - std::min(Limit, Kept->size());
    Kept->append(chunk, std::min(room, static_cast<size_t>(got)));
    if (static_cast<size_t>(got) > room && Cut) *Cut = true;
  }
};

// The last line with something on it, trimmed.
std::string LastLine(const std::string& text) {
  std::istringstream lines(text);
  std::string last;
  for (std::string line; std::getline(lines, line);)
    if (!Trimmed(line).empty()) last = Trimmed(line);
  return last;
}

int MillisecondsUntil(TClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

bool MakePipe(TDescriptor& readEnd, TDescriptor& writeEnd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd.Reset(ends[0]);
  writeEnd.Reset(ends[1]);
  return true;
}

} // namespace

std::string TChildResult::Failure() const {
  if (!StartError.empty()) return "cannot start: " + StartError;
  if (TimedOut) return "did not finish in time";
  if (Signal != 0) return "killed by signal " + std::to_string(Signal);
  std::string reason = "exit code " + std::to_string(ExitCode);
  const std::string said = LastLine(Errors);
  return said.empty() ? reason : reason + ": " + said;
}

TChildResult RunChild(const std::vector<std::string>& arguments, int input, const TChildLimits& limits) {
  TChildResult result;
  if (arguments.empty()) {
    result.StartError = "no program given";
    return result;
  }
  std::vector<char*> argv;
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  TDescriptor outRead, outWrite, errRead, errWrite;
  if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
    result.StartError = std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0)
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigfillset(&defaults);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int failure = ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failure != 0) {
    result.StartError = std::strerror(failure);
    return result;
  }
  outWrite.Reset();
  errWrite.Reset();

  TDescriptor exitHandle(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  TStream streams[2] = {{std::move(outRead), &result.Output, limits.Output, &result.OutputCut},
                        {std::move(errRead), &result.Errors, limits.Errors, nullptr}};
  auto deadline = TClock::now() + limits.Time;
  bool exited = false;
  int status = 0;
  while (true) {
    if (!exited && ::waitpid(child, &status, WNOHANG) == child) {
      exited = true;
      deadline = std::min(deadline, TClock::now() + kDrainAfterExit);
    }
    if (exited && !streams[0].Open() && !streams[1].Open()) break;
    if (TClock::now() >= deadline) {
      if (exited) break; // the output was whole enough; helpers that keep the pipes get no more time
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      result.TimedOut = true;
      return result;
    }
    // Without a process handle the exit is noticed at the next wake-up, at most 1 s later.
    pollfd waits[3] = {{exited ? -1 : exitHandle.Get(), POLLIN, 0},
                       {streams[0].ReadEnd.Get(), POLLIN, 0},
                       {streams[1].ReadEnd.Get(), POLLIN, 0}};
    if (::poll(waits, 3, MillisecondsUntil(deadline)) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i)
      if (streams[i].Open() && (waits[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) streams[i].ReadSome();
  }
  if (!exited) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
  return result;
}

} // namespace quibo::hcheck
