// The Debug page's test mail: a message built from the page's fields and sent
// in one SMTP transaction to the program's own listener, as any client would.
// Runs on a background task's thread (TBackgroundJobs::SendTestMail). Never throws: an
// error reply of the listener comes back as the text of the operator's message
// box, anything else (refused connection, lost connection) as a failure text.
#pragma once

#include "UCancellation.h"

#include <string>
#include <vector>

namespace quibo {

struct TTestMail {
  std::string Sender;     // From and Sender, and the envelope sender
  std::string Recipients; // one or more addresses, separated by commas, semicolons or blanks
  std::string Subject;
  std::vector<std::string> Lines; // the message text
};

struct TTestMailResult {
  bool Sent = false;
  std::string ErrorReply; // reply text + " Quibo heard: " + code, for an error reply of the listener
  std::string Failure;    // any other error
};

std::vector<std::string> TestMailRecipients(const std::string& field);
// Headers, an empty line and the text, dot-stuffed with CR LF line ends, without the final ".".
std::string TestMailData(const TTestMail& mail);
TTestMailResult SendTestMail(const TTestMail& mail, const std::string& host, int port, int timeoutSeconds,
                             TCancellation& cancel);

} // namespace quibo
