// UMailParameters: the ESMTP parameters of a MAIL command that the filter
// takes (SIZE=n, BODY=7BIT or BODY=8BITMIME, SMTPUTF8), read from the text
// after the reverse path, and the test for addresses that need SMTPUTF8.
// The session reads them, the relay passes BODY and SMTPUTF8 on. Plain
// values and pure functions, any thread; a parameter that cannot be taken is
// a result, never an exception.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quibo {

struct TMailParameters {
  std::optional<uint64_t> Size; // what the client declared
  std::string Body;             // "7BIT", "8BITMIME", or "" when not given
  bool SmtpUtf8 = false;
};

enum class TParameterCheck {
  Taken,
  BadValue, // a SIZE that is no number: 501
  Unknown,  // a parameter (or BODY value) the filter does not take: 555
};

// Reads the blank-separated parameters; keywords and BODY values in any case.
TParameterCheck ParseMailParameters(std::string_view text, TMailParameters& parameters);

// The address of a MAIL or RCPT argument and the text after it (its parameters).
struct TPathAndParameters {
  std::string Address; // without angle brackets
  std::string Parameters;
};
TPathAndParameters SplitPath(std::string_view text);

// Whether an address holds anything beyond ASCII (so it travels only with SMTPUTF8).
bool IsInternational(std::string_view address);

} // namespace quibo
