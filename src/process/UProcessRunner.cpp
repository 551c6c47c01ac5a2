#include "UProcessRunner.h"

#include "UDescriptor.h"
#include "UWriteAll.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quibo {
namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kDrainAfterExit = std::chrono::seconds(1); // a grandchild may still hold a pipe
constexpr auto kLongestPoll = std::chrono::milliseconds(1000);
constexpr auto kPollWithoutHandle = std::chrono::milliseconds(10); // without a process handle the exit is polled
constexpr size_t kReadChunk = 8192;

TRunResult NotRun(std::string why) {
  TRunResult result;
  result.Error = std::move(why);
  return result;
}

bool MakePipe(TDescriptor& readEnd, TDescriptor& writeEnd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd.Reset(ends[0]);
  writeEnd.Reset(ends[1]);
  return true;
}

// An anonymous in-memory file holding the bytes, read position at the start.
bool MakeInputFile(std::string_view bytes, TDescriptor& file) {
  file.Reset(::memfd_create("input", MFD_CLOEXEC));
  if (!file.Valid()) return false;
  if (const int error = WriteAll(file.Get(), bytes); error != 0) {
    errno = error;
    return false;
  }
  return ::lseek(file.Get(), 0, SEEK_SET) == 0;
}

// One captured output of the child and what is kept of it.
struct TCapture {
  TDescriptor ReadEnd;
  std::string* Kept = nullptr;
  bool* Cut = nullptr;
  size_t Limit = 0;

  bool Open() const { return ReadEnd.Valid(); }
  void ReadSome() {
    char chunk[kReadChunk];
    const ssize_t got = ::read(ReadEnd.Get(), chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got <= 0) {
      ReadEnd.Reset();
      return;
    }
    const size_t room = Limit - std::min(Limit, Kept->size());
    Kept->append(chunk, std::min(room, static_cast<size_t>(got)));
    if (static_cast<size_t>(got) > room) *Cut = true;
  }
};

// The descriptors the child is given, and the read ends of its captured outputs.
struct TChildEnds {
  TDescriptor Input, OutputWrite, ErrorsWrite;
  TCapture Output, Errors;
};

// Empty, or why the ends could not be made.
std::string MakeEnds(const TRunOptions& options, TRunResult& result, TChildEnds& ends) {
  if (options.Input == TChildInput::Given && !MakeInputFile(options.InputBytes, ends.Input))
    return std::string("Cannot hold the input: ") + std::strerror(errno);
  ends.Output = {{}, &result.Output, &result.OutputCut, options.OutputLimit};
  ends.Errors = {{}, &result.Errors, &result.ErrorsCut, options.ErrorsLimit};
  if (options.Output == TChildOutput::Captured && !MakePipe(ends.Output.ReadEnd, ends.OutputWrite))
    return std::strerror(errno);
  if (options.Errors == TChildOutput::Captured && !MakePipe(ends.Errors.ReadEnd, ends.ErrorsWrite))
    return std::strerror(errno);
  return {};
}

void AddOutput(posix_spawn_file_actions_t& actions, int target, TChildOutput use, const TDescriptor& writeEnd) {
  if (use == TChildOutput::Discarded) posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
  if (use == TChildOutput::Captured) posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), target);
}

// Starts the child; 0 or the error number.
int Spawn(const TRunOptions& options, const TChildEnds& ends, pid_t& child) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.Input == TChildInput::Nothing) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.Input == TChildInput::Given) posix_spawn_file_actions_adddup2(&actions, ends.Input.Get(), 0);
  AddOutput(actions, 1, options.Output, ends.OutputWrite);
  AddOutput(actions, 2, options.Errors, ends.ErrorsWrite);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!options.Folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.Folder.c_str());

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigfillset(&defaults);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults); // the child gets ordinary signal handling
  posix_spawnattr_setsigmask(&attributes, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (options.OwnGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> argv;
  for (const auto& argument : options.Arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int failure = ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return failure;
}

// True once the child has ended; it stays unreaped, so its id (and its group's) stays reserved.
bool HasExited(pid_t child) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
}

int MillisecondsUntil(TClock::time_point deadline, std::chrono::milliseconds longest) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, longest.count()));
}

struct TWaitEnd {
  bool Exited = false, TimedOut = false;
  std::string Failure;
};

// Reads the captured outputs until the child has exited and they are closed,
// its time is up, or the wait fails. After the exit, a grandchild that keeps a
// pipe open gets at most kDrainAfterExit, and never more than the time limit.
TWaitEnd WaitReading(pid_t child, std::chrono::milliseconds timeLimit, TCapture& output, TCapture& errors) {
  const TDescriptor exitHandle(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  const auto longestPoll = exitHandle.Valid() ? kLongestPoll : kPollWithoutHandle;
  auto deadline = timeLimit.count() > 0 ? TClock::now() + timeLimit : TClock::time_point::max();
  TWaitEnd end;
  while (true) {
    if (!end.Exited && HasExited(child)) {
      end.Exited = true;
      deadline = std::min(deadline, TClock::now() + kDrainAfterExit);
    }
    if (end.Exited && !output.Open() && !errors.Open()) return end;
    if (TClock::now() >= deadline) {
      end.TimedOut = !end.Exited;
      return end;
    }
    pollfd waits[3] = {{end.Exited ? -1 : exitHandle.Get(), POLLIN, 0},
                       {output.ReadEnd.Get(), POLLIN, 0},
                       {errors.ReadEnd.Get(), POLLIN, 0}};
    if (::poll(waits, 3, MillisecondsUntil(deadline, longestPoll)) < 0 && errno != EINTR) {
      end.Failure = std::string("Waiting for the program failed: ") + std::strerror(errno);
      return end;
    }
    if (output.Open() && (waits[1].revents & (POLLIN | POLLHUP | POLLERR))) output.ReadSome();
    if (errors.Open() && (waits[2].revents & (POLLIN | POLLHUP | POLLERR))) errors.ReadSome();
  }
}

} // namespace

std::string TRunResult::OutputOrError() const {
  if (End == TRunEnd::NotRun) return Error;
  return End == TRunEnd::Exited ? Output : std::string();
}

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

TRunResult RunProcess(const TRunOptions& options) {
  if (options.Arguments.empty()) return NotRun("No program given");
  TRunResult result;
  TChildEnds ends;
  if (std::string failure = MakeEnds(options, result, ends); !failure.empty()) return NotRun(std::move(failure));
  pid_t child = 0;
  if (const int failure = Spawn(options, ends, child); failure != 0) return NotRun(std::strerror(failure));
  ends.OutputWrite.Reset();
  ends.ErrorsWrite.Reset();
  ends.Input.Reset();

  // Until the child is reaped its id cannot be reused, so killing it (or its group) is safe up to the waitpid below.
  const pid_t target = options.OwnGroup ? -child : child;
  const auto kill = [target] { ::kill(target, SIGKILL); };
  if (options.Cancel && !options.Cancel->Enter(kill)) kill();
  const TWaitEnd end = WaitReading(child, options.TimeLimit, ends.Output, ends.Errors);
  if (options.Cancel) options.Cancel->Leave();
  if (!end.Exited || ends.Output.Open() || ends.Errors.Open()) kill(); // not ended cleanly, or a helper still runs
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (end.TimedOut) {
    result.End = TRunEnd::TimedOut;
    result.ExitCode = kTimedOutExitCode;
  } else if (!end.Failure.empty()) {
    result.Error = end.Failure;
  } else if (WIFEXITED(status)) {
    result.End = TRunEnd::Exited;
    result.ExitCode = WEXITSTATUS(status);
  } else {
    result.End = TRunEnd::Killed;
    result.ExitCode = WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
  }
  return result;
}

TRunResult RunCommandLine(const std::string& commandLine, TRunOptions options) {
  if (commandLine.size() > kMaxCommandLine) return NotRun("The command line is too long");
  options.Arguments = SplitCommandLine(commandLine);
  return RunProcess(options);
}

} // namespace quibo
