// RunAndWait: runs an external program (scanner, classifier) directly, without
// a shell, in the program folder, with an optional capture of its standard
// output, and waits for it up to a time limit. The child leads a process
// group of its own, and a child that does not end cleanly takes its whole
// group with it: nothing it started outlives the run. Called on connection
// threads (scans, scoring) and on worker or window threads (learning,
// tests); each call has its own child and pipe, and is always reaped. Never
// throws: a child that cannot start, or a wait that fails, gives exit code
// -1 and the error text; one that outlives its time is killed and gives 258;
// one ended by a signal (a cancelled run among them) gives minus the signal.
// How the run ended is told apart from every exit code (End): a scanner
// whose "infected" code is 258 or -1 never finds a virus in a hung run.
#pragma once

#include "UCancellation.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quibo {

inline constexpr size_t kMaxCommandLine = 512;
inline constexpr int kTimedOutExitCode = 258;

enum class TRunEnd {
  NotRun,   // could not start, or the wait failed
  Exited,   // ran to an exit code of its own
  TimedOut, // killed at its time limit
  Killed,   // ended by a signal (a cancellation among them)
};

struct TRunResult {
  int ExitCode = -1;
  std::string Output;
  TRunEnd End = TRunEnd::NotRun;
};

// Arguments of a command line: blanks separate, double quotes group.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// timeoutMs <= 0 waits without limit. A cancellation kills the child's group at once.
TRunResult RunAndWait(const std::string& commandLine, bool captureOutput, int timeoutMs,
                      const std::filesystem::path& workingFolder, TCancellation* cancel = nullptr);

// "could not start: ...", "timed out", "killed by signal 9" for a run that
// gave no answer; "" when the program ran to an exit code of its own.
std::string RunFailure(const TRunResult& run);

} // namespace quibo
