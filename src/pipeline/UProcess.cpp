#include "UProcess.h"

#include "UDescriptor.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quibo {
namespace {

constexpr size_t kReadChunk = 2000;
constexpr size_t kMaxOutput = 65536; // more is read and dropped, so the child never blocks
constexpr auto kDrainTime = std::chrono::seconds(1);

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long>(0, left.count()));
}

// True once the child has ended; it stays unreaped (its id stays reserved).
bool HasExited(pid_t child) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

} // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::string current;
  bool inQuotes = false, hasArgument = false;
  for (const char c : commandLine) {
    if (c == '"') {
      inQuotes = !inQuotes;
      hasArgument = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (hasArgument) arguments.push_back(current);
      current.clear();
      hasArgument = false;
    } else {
      current += c;
      hasArgument = true;
    }
  }
  if (hasArgument) arguments.push_back(current);
  return arguments;
}

TRunResult RunAndWait(const std::string& commandLine, bool captureOutput, int timeoutMs,
                      const std::filesystem::path& workingFolder, TCancellation* cancel) {
  if (commandLine.size() > kMaxCommandLine) return {-1, "The command line is too long"};
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty()) return {-1, "No program given"};
  std::vector<char*> argv;
  for (auto& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  int pipeEnds[2] = {-1, -1};
  if (captureOutput && ::pipe2(pipeEnds, O_CLOEXEC) != 0) captureOutput = false; // run without capture
  TDescriptor readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (captureOutput)
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigfillset(&defaults);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults); // the child gets ordinary signal handling
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0); // a group of its own, so it can be ended with all it started
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  pid_t child = 0;
  const int failure = ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failure != 0) return {-1, std::strerror(failure)};
  writeEnd.Reset();

  // Until the child is reaped its process id cannot be reused, so killing its
  // group is safe up to the waitpid at the end.
  auto killGroup = [child] { ::kill(-child, SIGKILL); };
  if (cancel && !cancel->Enter(killGroup)) killGroup();

  // Read while waiting: a child with much to say would block on a full pipe otherwise.
  TDescriptor childHandle(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  const auto deadline = timeoutMs > 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)
                                      : std::chrono::steady_clock::time_point::max();
  std::string output, waitFailure;
  bool exited = false, pipeOpen = captureOutput, timedOut = false;
  auto drainDeadline = std::chrono::steady_clock::time_point::max();
  while (true) {
    if (!exited && HasExited(child)) {
      exited = true;
      drainDeadline = std::chrono::steady_clock::now() + kDrainTime; // a grandchild may hold the pipe
    }
    if (exited && !pipeOpen) break;
    int wait = -1;
    if (!exited) {
      if (timeoutMs > 0) wait = RemainingMs(deadline);
      if (timeoutMs > 0 && wait == 0) {
        timedOut = true;
        break;
      }
      if (!childHandle.Valid()) wait = wait < 0 ? 10 : std::min(wait, 10); // no process handle: poll the exit
    } else {
      wait = RemainingMs(drainDeadline);
      if (wait == 0) break;
    }
    pollfd waits[2] = {{exited ? -1 : childHandle.Get(), POLLIN, 0}, {pipeOpen ? readEnd.Get() : -1, POLLIN, 0}};
    if (::poll(waits, 2, wait) < 0 && errno != EINTR) {
      waitFailure = std::string("Waiting for the program failed: ") + std::strerror(errno);
      break;
    }
    if (pipeOpen && (waits[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char chunk[kReadChunk];
      const ssize_t got = ::read(readEnd.Get(), chunk, sizeof chunk);
      if (got > 0 && output.size() < kMaxOutput)
        output.append(chunk, std::min(static_cast<size_t>(got), kMaxOutput - output.size()));
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) pipeOpen = false;
    }
  }
  if (cancel) cancel->Leave();
  if (!exited || pipeOpen) killGroup(); // it did not end cleanly, or something it started still runs
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) return {kTimedOutExitCode, {}, TRunEnd::TimedOut};
  if (!waitFailure.empty()) return {-1, waitFailure};
  TRunResult result;
  result.ExitCode = ExitCodeOf(status);
  result.End = WIFEXITED(status) ? TRunEnd::Exited : TRunEnd::Killed;
  if (result.End == TRunEnd::Exited) result.Output = output;
  return result;
}

std::string RunFailure(const TRunResult& run) {
  switch (run.End) {
  case TRunEnd::NotRun: return "could not run: " + run.Output;
  case TRunEnd::TimedOut: return "timed out";
  case TRunEnd::Killed: return "killed by signal " + std::to_string(-run.ExitCode);
  case TRunEnd::Exited: break;
  }
  return {};
}

} // namespace quibo
