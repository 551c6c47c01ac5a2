// TVerdict: the finished answer of a call out of the SMTP session (the policy
// at MAIL and RCPT, the checks after DATA, message processing, the relay):
// the reply's code and text (with the lines before it, for a multi-line
// reply), and whether the connection ends after it. Only the session writes
// a verdict to the client; the listener's refusals are verdicts too. The
// texts come from the catalogue (UReplies.h). Plain value; any thread.
#pragma once

#include <string>
#include <vector>

namespace quibo {

struct TVerdict {
  int Code = 0; // 0: nothing to say (the client is gone)
  std::string Text;
  bool Close = false;
  std::vector<std::string> LeadingLines{}; // of a multi-line reply, before Text

  bool Accepted() const { return Code >= 200 && Code < 300; }
};

// Nothing to write, and the session goes on (the reply went out already).
inline TVerdict NoReply() { return {}; }
// Ends the session without a word: there is nobody left to answer.
inline TVerdict SilentClose() { return {0, {}, true}; }

} // namespace quibo
