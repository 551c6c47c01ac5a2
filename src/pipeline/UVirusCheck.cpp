#include "UVirusCheck.h"

#include "UProcessRunner.h"

namespace quibo {
namespace {

// "could not run: ...", "timed out", "killed by signal 9" for a run that
// gave no answer; "" when the scanner ran to an exit code of its own.
std::string RunFailure(const TRunResult& run) {
  switch (run.End) {
  case TRunEnd::NotRun: return "could not run: " + run.Error;
  case TRunEnd::TimedOut: return "timed out";
  case TRunEnd::Killed: return "killed by signal " + std::to_string(run.Signal());
  case TRunEnd::Exited: break;
  }
  return {};
}

} // namespace

bool FillScanTemplate(const std::string& commandTemplate, const std::string& file, std::string& commandLine,
                      std::string& error) {
  commandLine.clear();
  for (size_t i = 0; i < commandTemplate.size(); ++i) {
    if (commandTemplate[i] != '%') {
      commandLine += commandTemplate[i];
      continue;
    }
    const char next = i + 1 < commandTemplate.size() ? commandTemplate[i + 1] : '\0';
    if (next == 's' || next == 'S') {
      commandLine += file;
    } else if (next == '%') {
      commandLine += '%';
    } else {
      error = "Format '" + commandTemplate + "' invalid or incompatible with argument";
      return false;
    }
    ++i;
  }
  return true;
}

TScanResult ScanFile(const std::string& commandTemplate, const std::filesystem::path& file, int infectedCode,
                     int timeoutMs, const std::filesystem::path& programFolder, TCancellation* cancel) {
  TScanResult result;
  std::string commandLine;
  if (!FillScanTemplate(commandTemplate, file.string(), commandLine, result.Error)) return result;
  TRunOptions options;
  options.Output = TChildOutput::Discarded;
  options.Folder = programFolder;
  options.TimeLimit = std::chrono::milliseconds(timeoutMs);
  options.Cancel = cancel;
  const TRunResult run = RunCommandLine(commandLine, options);
  result.ExitCode = run.ExitCode;
  result.Output = run.OutputOrError();
  result.Found = run.End == TRunEnd::Exited && run.ExitCode == infectedCode; // a hung or killed scan finds nothing
  result.Failure = RunFailure(run);
  return result;
}

std::vector<std::string> VirusCheckTestLines(const TScanResult& result) {
  if (!result.Error.empty()) return {result.Error};
  if (result.ByClamd) {
    if (!result.Failure.empty()) return {"Virus scan failed: " + result.Failure};
    return {(result.Found ? "Virus found! (clamd: " : "Checking done, no viruses found (clamd: ") + result.Output +
            ")"};
  }
  std::vector<std::string> lines{
      result.Found ? "Virus found! (result code: " + std::to_string(result.ExitCode) + ")"
                   : "Checking done, no viruses found (result code: " + std::to_string(result.ExitCode) + ")"};
  if (!result.Output.empty()) lines.push_back(result.Output);
  return lines;
}

} // namespace quibo
