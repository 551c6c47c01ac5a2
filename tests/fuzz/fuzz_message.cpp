// Fuzz target: a stored message parsed with a small header bound, its
// subject rewritten, the filter's headers set, and the result written out.
// Checks that the filter's own header lines are printable and folded, and
// that the sender's X-Spam headers are gone. Runs with libFuzzer.
#include "UFunctions.h"
#include "UMailMessage.h"
#include "UMessageProcessing.h"

#include <cstdlib>
#include <sstream>

using namespace quibo;

namespace {

bool Printable(const std::string& line) {
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream stored(std::string(reinterpret_cast<const char*>(data), size));
  TMailMessage message = TMailMessage::Parse(stored, 2048);
  const std::string subject = message.Subject();
  message.SetHeader("Subject", ReplaceNoCase("[SPAM] #SUBJECT#", "#SUBJECT#", subject));
  AddFilterHeaders(message, true, "Hits: " + subject + " Tests: " + message.FromAddress(), true, "Quibo SMTP Server");
  std::vector<std::string> recipients{message.MessageId()};
  RewriteRecipients(recipients, message.HeaderValue("To"));
  // The first Subject and every X-Spam header are the filter's own.
  bool ours = false, subjectSeen = false;
  int spamHeaders = 0;
  for (const auto& line : message.Headers) {
    const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continuation) {
      const bool spamHeader = StartsWithNoCase(line, "X-Spam-Status:") || StartsWithNoCase(line, "X-Spam-Score:");
      const bool firstSubject = !subjectSeen && StartsWithNoCase(line, "Subject:");
      subjectSeen = subjectSeen || firstSubject;
      spamHeaders += spamHeader;
      ours = spamHeader || firstSubject;
    }
    if (ours && (!Printable(line) || line.size() > 998)) std::abort();
  }
  if (spamHeaders != 2 || !subjectSeen) std::abort();
  message.WireText();
  return 0;
}
