// rspamd's /checkv2 as HCheck and the filter's own rspamd client ask it: the
// message goes in the body, the recipient domain (when there is one) as
// Deliver-To and as Settings-Id, so that per-domain settings of rspamd's
// settings module apply, and the envelope the filter saw (client address,
// HELO, sender, recipients, ...) as rspamd's request headers, so that its
// checks of the envelope (SPF, DMARC, greylisting, rate limits) can run. The
// answer is read into the score, the sorted names of the symbols hit,
// rspamd's action with its text for the sender, and its header changes.
// Also the readers HCheck's learning and statistics share. Any thread (one
// client per thread). AskRspamd throws TRspamdError with a printable
// one-line reason naming rspamd; nothing is ever guessed from an answer that
// cannot be read.
#pragma once

#include "UHttpClient.h"
#include "URspamdHeaders.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quibo {

class TRspamdError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What rspamd asks for a message beyond its score.
struct TRspamdAdvice {
  std::string Action;      // "reject", "soft reject", "no action", ...; "" when it named none
  std::string SmtpMessage; // its text for the sender (printable, bounded); "" when it gave none
  THeaderEdits Edits;
};

// What a classifier gives for one message.
struct TClassifierScore {
  std::string Score;              // decimal with a dot, at most two decimals: 15, 3.4, -0.1
  std::vector<std::string> Tests; // names of the rules hit, sorted
  TRspamdAdvice Advice{};         // what rspamd asks beyond the score (HCheck passes on only the score)
};

// What the filter tells rspamd about a message; an empty field is not sent.
// Never the login of AUTH: rspamd skips its inbound checks for a user.
struct TRspamdEnvelope {
  std::string Domain{};   // the recipient domain: Deliver-To and Settings-Id (a plain domain name only)
  std::string Ip{};       // the client's address
  std::string Helo{};     // its HELO/EHLO name
  std::string Hostname{}; // its forward-confirmed reverse name
  std::string From{};     // the envelope sender; "<>" for the null sender
  std::vector<std::string> Recipients{};
  std::string QueueId{}; // the filter's id of the transaction
  std::string MtaName{}; // the filter's host name, rspamd's authserv-id
  std::string TlsCipher{}, TlsVersion{};
};

// The request headers for an envelope: each value printable and at most kMaxHeaderValue bytes.
std::vector<std::string> EnvelopeHeaders(const TRspamdEnvelope& envelope);
inline constexpr size_t kMaxHeaderValue = 1000;

// The message (un-stuffed) scored by the worker at url.
TClassifierScore AskRspamd(THttpClient& client, const std::string& url, const std::string& message,
                           const TRspamdEnvelope& envelope);

// {"score": 3.4, "symbols": {"NAME": {...}, ...}, "action": ..., "messages": {"smtp_message": ...},
// "milter": {...}, "dkim-signature": ...}; std::nullopt without a score and symbols.
std::optional<TClassifierScore> ParseCheckAnswer(const std::string& body);
// A JSON object; std::nullopt for anything else.
std::optional<nlohmann::json> JsonObject(const std::string& body);
// "HTTP 403: <rspamd's error text>", bounded and printable.
std::string AnswerFailure(const THttpAnswer& answer);

} // namespace quibo
