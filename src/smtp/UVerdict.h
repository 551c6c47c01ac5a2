// TVerdict: the finished answer of a call out of the SMTP session (the policy
// at MAIL and RCPT, the checks after DATA, message processing, the relay):
// the reply's code and text, and whether the connection ends after it. Only
// the session writes a verdict to the client, as one line. Plain value; any
// thread.
#pragma once

#include <string>

namespace quibo {

struct TVerdict {
  int Code = 0; // 0: nothing to say (the client is gone)
  std::string Text;
  bool Close = false;

  bool Accepted() const { return Code >= 200 && Code < 300; }
};

// The standard answers to MAIL and RCPT.
inline TVerdict AddressOkay(const std::string& address) { return {250, address + " Address Okay"}; }
inline TVerdict AddressError(const std::string& address) { return {500, address + " Address Error"}; }
// The normal answer to the end of the data.
inline TVerdict EndOfDataOkay() { return {250, "Ok"}; }
// Ends the session without a word: there is nobody left to answer.
inline TVerdict SilentClose() { return {0, {}, true}; }

} // namespace quibo
