// RunChild: runs one program of the classifier (spamc, spamassassin,
// sa-learn) through the process runner, with an optional standard input,
// and keeps its standard output and standard error up to fixed limits; one
// that outlives its time is killed. The child stays in HCheck's process
// group, which the filter ends as a whole when it gives up on HCheck.
// ChildFailure says in HCheck's words why a run did not succeed. Used by
// HCheck on its only thread. Never throws.
#pragma once

#include "UProcessRunner.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quibo::hcheck {

struct TChildLimits {
  std::chrono::milliseconds Time{60000};
  size_t Output = 65536; // bytes of standard output kept; the rest is read and dropped
  size_t Errors = 4096;  // the same for standard error
};

// Without input the child reads /dev/null.
TRunResult RunChild(const std::vector<std::string>& arguments, std::optional<std::string_view> input,
                    const TChildLimits& limits);

// "exit code 3: <last line of its errors>", "killed by signal 9", ...
std::string ChildFailure(const TRunResult& run);

} // namespace quibo::hcheck
