#include "UChildProcess.h"

#include "UFunctions.h"

#include <sstream>

namespace quibo::hcheck {
namespace {

// The last line with something on it, trimmed.
std::string LastLine(const std::string& text) {
  std::istringstream lines(text);
  std::string last;
  for (std::string line; std::getline(lines, line);)
    if (!Trimmed(line).empty()) last = Trimmed(line);
  return last;
}

} // namespace

TRunResult RunChild(const std::vector<std::string>& arguments, std::optional<std::string_view> input,
                    const TChildLimits& limits) {
  TRunOptions options;
  options.Arguments = arguments;
  if (input) {
    options.Input = TChildInput::Given;
    options.InputBytes = *input;
  }
  options.Errors = TChildOutput::Captured;
  options.OutputLimit = limits.Output;
  options.ErrorsLimit = limits.Errors;
  options.TimeLimit = limits.Time;
  options.OwnGroup = false;
  return RunProcess(options);
}

std::string ChildFailure(const TRunResult& run) {
  switch (run.End) {
  case TRunEnd::NotRun: return "cannot start: " + run.Error;
  case TRunEnd::TimedOut: return "did not finish in time";
  case TRunEnd::Killed: return "killed by signal " + std::to_string(run.Signal());
  case TRunEnd::Exited: break;
  }
  std::string reason = "exit code " + std::to_string(run.ExitCode);
  const std::string said = LastLine(run.Errors);
  return said.empty() ? reason : reason + ": " + said;
}

} // namespace quibo::hcheck
