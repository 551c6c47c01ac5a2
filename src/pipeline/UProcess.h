// RunAndWait: runs an external program (scanner, classifier) directly, without
// a shell, in the program folder, with an optional capture of its standard
// output, and waits for it up to a time limit. Called on connection threads
// (scans, scoring) and on the window thread (learning, tests); each call has
// its own child and pipe. Never throws: a child that cannot start gives exit
// code -1 and the system's error text; one that outlives its time is killed
// and gives 258; one ended by a signal gives minus the signal number.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quibo {

inline constexpr size_t kMaxCommandLine = 512;
inline constexpr int kTimedOutExitCode = 258;

struct TRunResult {
  int ExitCode = -1;
  std::string Output;
};

// Arguments of a command line: blanks separate, double quotes group.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// timeoutMs <= 0 waits without limit.
TRunResult RunAndWait(const std::string& commandLine, bool captureOutput, int timeoutMs,
                      const std::filesystem::path& workingFolder);

} // namespace quibo
