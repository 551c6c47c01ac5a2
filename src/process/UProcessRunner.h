// The one runner of child programs: the filter's scanner and classifier
// bridge, HCheck's spamc, spamassassin and sa-learn, and systemctl at service
// install. A child starts directly, without a shell, from an argument list or
// from a command line in the filter's form (blanks separate, double quotes
// group). It reads /dev/null, our standard input or given bytes; its standard
// output and error are discarded, inherited or captured up to a bound (the
// rest is read and dropped, so it never blocks on a full pipe); it is waited
// for up to a time limit. A child with a process group of its own (the
// default) that does not end cleanly takes its whole group with it, so
// nothing it started outlives the run; a caller that is itself ended as a
// group keeps its children in that group. A cancellation ends the run at once.
// Any thread: each call has its own child and pipes and always reaps it.
// Never throws: how the run ended is part of the result.
#pragma once

#include "UCancellation.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quibo {

inline constexpr size_t kMaxCommandLine = 512;
inline constexpr int kTimedOutExitCode = 258;

enum class TChildInput {
  Nothing,   // /dev/null
  Inherited, // ours
  Given,     // the bytes of TRunOptions::InputBytes
};

enum class TChildOutput { Discarded, Inherited, Captured };

struct TRunOptions {
  std::vector<std::string> Arguments; // the program (looked up on PATH) and its arguments
  std::filesystem::path Folder;       // where it runs; empty: where we run
  TChildInput Input = TChildInput::Nothing;
  std::string_view InputBytes; // read while the run lasts
  TChildOutput Output = TChildOutput::Captured;
  TChildOutput Errors = TChildOutput::Inherited;
  size_t OutputLimit = 65536; // bytes of a captured output kept
  size_t ErrorsLimit = 4096;
  std::chrono::milliseconds TimeLimit{0}; // zero or less: no limit
  bool OwnGroup = true;
  TCancellation* Cancel = nullptr; // its Cancel kills the child (with its group) at once
};

enum class TRunEnd {
  NotRun,   // could not start, or the wait failed
  Exited,   // ran to an exit code of its own
  TimedOut, // killed at its time limit
  Killed,   // ended by a signal (a cancellation among them)
};

struct TRunResult {
  TRunEnd End = TRunEnd::NotRun;
  // The exit code; minus the signal when killed, kTimedOutExitCode when timed
  // out, -1 when not run. End tells these apart from any real exit code.
  int ExitCode = -1;
  std::string Error; // why it did not run, in the system's words
  std::string Output, Errors;
  bool OutputCut = false, ErrorsCut = false; // more came than was kept

  bool Succeeded() const { return End == TRunEnd::Exited && ExitCode == 0; }
  int Signal() const { return End == TRunEnd::Killed ? -ExitCode : 0; }
  // Why it did not run, or the output of a run that exited; nothing for a run that was ended.
  std::string OutputOrError() const;
};

// Arguments of a command line: blanks separate, double quotes group.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

TRunResult RunProcess(const TRunOptions& options);
// The arguments split from a command line of at most kMaxCommandLine characters.
TRunResult RunCommandLine(const std::string& commandLine, TRunOptions options);

} // namespace quibo
