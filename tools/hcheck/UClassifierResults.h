// What the HCheck command lines give back, whichever classifier answers:
// a score with the names of the rules it hit, the counts of a learning run,
// and the one error every backend throws with a printable one-line reason.
// Shared by the SpamAssassin and rspamd backends; plain values, any thread.
#pragma once

#include "URspamdCheck.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace quibo::hcheck {

// Larger stored messages are neither scored nor learned.
inline constexpr size_t kMaxMessageBytes = 32u << 20;

class TClassifierError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

using TScore = TClassifierScore;

struct TLearned {
  int Learned = 0;
  int Total = 0;
};

} // namespace quibo::hcheck
