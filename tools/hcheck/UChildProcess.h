// RunChild: runs one program of the classifier (spamc, spamassassin,
// sa-learn) without a shell, with its standard input taken from a given
// descriptor, and collects its standard output and standard error up to fixed
// limits while it runs; one that outlives its time is killed. The child stays
// in HCheck's process group, which the filter ends as a whole when it gives
// up on HCheck. Used by HCheck on its only thread. Never throws: a program
// that cannot start is reported in StartError.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace quibo::hcheck {

struct TChildLimits {
  std::chrono::milliseconds Time{60000};
  size_t Output = 65536; // bytes of standard output kept; the rest is read and dropped
  size_t Errors = 4096;  // the same for standard error
};

struct TChildResult {
  std::string StartError; // not empty: the program did not start
  bool TimedOut = false;
  int ExitCode = -1; // when it exited
  int Signal = 0;    // when a signal ended it
  std::string Output;
  bool OutputCut = false; // more output came than was kept
  std::string Errors;

  bool Succeeded() const { return StartError.empty() && !TimedOut && Signal == 0 && ExitCode == 0; }
  // "exit code 3: <last line of its errors>", "killed by signal 9", ...: why it did not succeed.
  std::string Failure() const;
};

// input < 0: the child reads /dev/null.
TChildResult RunChild(const std::vector<std::string>& arguments, int input, const TChildLimits& limits);

} // namespace quibo::hcheck
