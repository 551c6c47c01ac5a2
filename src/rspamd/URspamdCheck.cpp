#include "URspamdCheck.h"

#include "UFunctions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quibo {
namespace {

constexpr double kLargestScore = 1e9;
constexpr size_t kMaxReason = 300;
constexpr size_t kMaxAction = 50;
constexpr size_t kMaxSmtpMessage = 300;

// A number with at most two decimals and no trailing zeros: 15, 3.4, -0.1.
std::string ScoreText(double score) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", score);
  std::string value = text;
  while (value.back() == '0')
    value.pop_back();
  if (value.back() == '.') value.pop_back();
  return value == "-0" ? "0" : value;
}

// Letters, digits and "_": what symbol names and domain labels are made of (with "-").
bool IsWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// 1 to 100 of letters, digits, "_", "." and "-", not starting with "." or "-". These run for every
// symbol of every message the filter scores, so no regular expression.
bool IsSymbolName(const std::string& name) {
  if (name.empty() || name.size() > 100 || !IsWordCharacter(name.front())) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return IsWordCharacter(c) || c == '.' || c == '-'; });
}

// A domain name can go into a request header as it is: labels of letters, digits, "_" and "-".
bool IsPlainDomainName(const std::string& domain) {
  if (domain.empty() || domain.size() > 253 || domain.front() == '.' || domain.back() == '.' ||
      domain.find("..") != std::string::npos)
    return false;
  return std::all_of(domain.begin(), domain.end(), [](char c) { return IsWordCharacter(c) || c == '-' || c == '.'; });
}

// A string member of an object; "" when there is none.
std::string StringMember(const nlohmann::ordered_json& object, const char* name) {
  if (!object.is_object()) return {};
  const auto member = object.find(name);
  return member != object.end() && member->is_string() ? member->get<std::string>() : std::string();
}

TRspamdAdvice ReadAdvice(const nlohmann::ordered_json& answer) {
  TRspamdAdvice advice;
  advice.Action = PrintableText(Bounded(StringMember(answer, "action"), kMaxAction));
  const auto messages = answer.find("messages");
  if (messages != answer.end())
    advice.SmtpMessage = PrintableText(Bounded(StringMember(*messages, "smtp_message"), kMaxSmtpMessage));
  advice.Edits = ReadHeaderEdits(answer);
  return advice;
}

} // namespace

std::vector<std::string> EnvelopeHeaders(const TRspamdEnvelope& envelope) {
  std::vector<std::string> headers;
  const auto add = [&headers](const char* name, const std::string& value) {
    if (!value.empty()) headers.push_back(std::string(name) + ": " + Bounded(PrintableText(value), kMaxHeaderValue));
  };
  if (IsPlainDomainName(envelope.Domain)) {
    add("Deliver-To", envelope.Domain);
    add("Settings-Id", envelope.Domain);
  }
  add("IP", envelope.Ip);
  add("Helo", envelope.Helo);
  add("Hostname", envelope.Hostname);
  add("From", envelope.From);
  for (const auto& recipient : envelope.Recipients)
    add("Rcpt", recipient);
  add("Queue-Id", envelope.QueueId);
  add("MTA-Name", envelope.MtaName);
  add("TLS-Cipher", envelope.TlsCipher);
  add("TLS-Version", envelope.TlsVersion);
  return headers;
}

std::optional<nlohmann::json> JsonObject(const std::string& body) {
  nlohmann::json value = nlohmann::json::parse(body, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::optional<TClassifierScore> ParseCheckAnswer(const std::string& body) {
  // In rspamd's order: the headers it adds keep theirs. Only the members read below are kept, and of each
  // symbol only its name: an answer has a description, options and scores for every symbol, and the whole
  // of it would be built for nothing on every message.
  std::string member; // the top-level member being read
  const auto keep = [&member](int depth, nlohmann::ordered_json::parse_event_t event, nlohmann::ordered_json& parsed) {
    if (event != nlohmann::ordered_json::parse_event_t::key) return true;
    if (depth == 1) {
      member = parsed.get<std::string>();
      return member == "score" || member == "symbols" || member == "action" || member == "messages" ||
             member == "milter" || member == "dkim-signature";
    }
    return depth < 3 || member != "symbols";
  };
  const auto answer = nlohmann::ordered_json::parse(body, keep, false);
  if (answer.is_discarded() || !answer.is_object()) return std::nullopt;
  const auto score = answer.find("score");
  const auto symbols = answer.find("symbols");
  if (score == answer.end() || !score->is_number() || symbols == answer.end() || !symbols->is_object())
    return std::nullopt;
  const double value = score->get<double>();
  if (!std::isfinite(value) || std::fabs(value) >= kLargestScore) return std::nullopt;
  TClassifierScore result{ScoreText(value), {}};
  for (const auto& symbol : symbols->items()) {
    if (!IsSymbolName(symbol.key())) return std::nullopt;
    result.Tests.push_back(symbol.key());
  }
  std::sort(result.Tests.begin(), result.Tests.end());
  result.Advice = ReadAdvice(answer);
  return result;
}

std::string AnswerFailure(const THttpAnswer& answer) {
  std::string detail = answer.Body;
  if (const auto body = JsonObject(answer.Body)) {
    const auto error = body->find("error");
    if (error != body->end() && error->is_string()) detail = error->get<std::string>();
  }
  std::string reason = "HTTP " + std::to_string(answer.Status) + (detail.empty() ? "" : ": " + detail);
  if (reason.size() > kMaxReason) reason = reason.substr(0, kMaxReason) + "...";
  return PrintableText(reason);
}

TClassifierScore AskRspamd(THttpClient& client, const std::string& url, const std::string& message,
                           const TRspamdEnvelope& envelope) {
  const std::vector<std::string> headers = EnvelopeHeaders(envelope);
  const std::string peer = PrintableText("rspamd at " + url);
  THttpAnswer answer;
  try {
    answer = client.Post(url + "/checkv2", message, headers);
  } catch (const THttpError& error) {
    throw TRspamdError(peer + ": " + PrintableText(error.what()));
  }
  if (answer.Status != 200) throw TRspamdError(peer + ": " + AnswerFailure(answer));
  if (auto score = ParseCheckAnswer(answer.Body)) return *score;
  throw TRspamdError(peer + " gave no score it could be read from");
}

} // namespace quibo
