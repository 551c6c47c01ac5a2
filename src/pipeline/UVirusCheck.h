// The virus scan bridge: fills the operator's scanner command template with
// the message file and runs it; one configured exit code means "infected".
// (With ClamdSocket set, UClamdScanner asks clamd instead, with the same result.)
// Called on connection threads (every message when scanning is on) and on the
// operator's test). Never throws; a template that cannot be filled is
// reported through Error, a scanner that gave no answer through Failure; the
// caller decides what such a message is worth.
#pragma once

#include "UCancellation.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quibo {

struct TScanResult {
  bool Found = false;
  int ExitCode = -1;
  std::string Output;
  std::string Error;    // the template could not be filled; nothing was run
  std::string Failure;  // the scanner ran to no answer: could not start, timed out, killed
  bool ByClamd = false; // asked clamd itself: Output is its answer, ExitCode means nothing
  bool Answered() const { return Found || (Error.empty() && Failure.empty()); }
};

// Every "%s" becomes the file path and "%%" a "%"; any other "%" is an error.
bool FillScanTemplate(const std::string& commandTemplate, const std::string& file, std::string& commandLine,
                      std::string& error);

TScanResult ScanFile(const std::string& commandTemplate, const std::filesystem::path& file, int infectedCode,
                     int timeoutMs, const std::filesystem::path& programFolder, TCancellation* cancel = nullptr);

// The operator's test: the result lines for the page and the mail log.
std::vector<std::string> VirusCheckTestLines(const TScanResult& result);

} // namespace quibo
