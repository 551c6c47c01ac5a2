// rspamd's /checkv2 as HCheck and the filter's own rspamd client ask it: the
// message goes in the body, the recipient domain (when there is one) as
// Deliver-To and as Settings-Id, so that per-domain settings of rspamd's
// settings module apply; the answer is read into the score and the sorted
// names of the symbols hit. Also the readers HCheck's learning and
// statistics share. Any thread (one client per thread). AskRspamd throws
// TRspamdError with a printable one-line reason naming rspamd; nothing is
// ever guessed from an answer that cannot be read.
#pragma once

#include "UHttpClient.h"

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

// What a classifier gives for one message.
struct TClassifierScore {
  std::string Score;              // decimal with a dot, at most two decimals: 15, 3.4, -0.1
  std::vector<std::string> Tests; // names of the rules hit, sorted
};

// The message (un-stuffed) scored by the worker at url; domain: "" or the recipient domain.
TClassifierScore AskRspamd(THttpClient& client, const std::string& url, const std::string& message,
                           const std::string& domain);

// {"score": 3.4, "symbols": {"NAME": {...}, ...}, ...}; std::nullopt when the answer is not that.
std::optional<TClassifierScore> ParseCheckAnswer(const std::string& body);
// A JSON object; std::nullopt for anything else.
std::optional<nlohmann::json> JsonObject(const std::string& body);
// "HTTP 403: <rspamd's error text>", bounded and printable.
std::string AnswerFailure(const THttpAnswer& answer);

} // namespace quibo
