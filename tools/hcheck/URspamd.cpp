#include "URspamd.h"

#include "UFunctions.h"
#include "UWireMessage.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

namespace quibo::hcheck {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

long long Count(const json& statfile, const char* key) {
  const auto value = statfile.find(key);
  return value != statfile.end() && value->is_number_integer() ? value->get<long long>() : 0;
}

// One line as "sa-learn --dump magic" writes it, which the filter's statistics page reads.
std::string MagicLine(const char* name, long long value) {
  char line[128];
  std::snprintf(line, sizeof line, "0.000 %10d %10lld %10d  non-token data: %s", 0, value, 0, name);
  return line;
}

std::vector<std::string> PasswordHeader(const TRspamdSettings& rspamd) {
  if (rspamd.Password.empty()) return {};
  return {"Password: " + rspamd.Password};
}

// The answer to one request; no answer at all is a failure that names the peer.
THttpAnswer Ask(const std::string& peer, const std::function<THttpAnswer()>& request) {
  try {
    return request();
  } catch (const THttpError& error) {
    throw TClassifierError(PrintableText(peer + ": " + error.what()));
  }
}

std::string StoredMessage(const fs::path& file) {
  try {
    return ReadStoredMessage(file, kMaxMessageBytes);
  } catch (const std::exception& error) {
    throw TClassifierError(PrintableText(error.what()));
  }
}

} // namespace

std::optional<TLearnOutcome> ReadLearnAnswer(const THttpAnswer& answer) {
  if (answer.Status == 204) return TLearnOutcome::Skipped;
  if (answer.Status == 208) return TLearnOutcome::AlreadyLearned;
  if (answer.Status != 200) return std::nullopt;
  const auto body = JsonObject(answer.Body);
  if (!body) return std::nullopt;
  const auto success = body->find("success");
  if (success == body->end() || !success->is_boolean() || !success->get<bool>()) return std::nullopt;
  return TLearnOutcome::Learned;
}

std::optional<std::vector<std::string>> ParseStatAnswer(const std::string& body) {
  const auto answer = JsonObject(body);
  if (!answer) return std::nullopt;
  const auto statfiles = answer->find("statfiles");
  if (statfiles == answer->end() || !statfiles->is_array()) return std::nullopt;
  long long spam = 0, ham = 0, tokens = 0;
  bool spamSeen = false, hamSeen = false;
  for (const auto& statfile : *statfiles) {
    if (!statfile.is_object()) return std::nullopt;
    const auto symbol = statfile.find("symbol");
    if (symbol == statfile.end() || !symbol->is_string()) return std::nullopt;
    const std::string name = symbol->get<std::string>();
    // "revision" counts the messages learned into a statfile, "used" its tokens.
    if (name.find("SPAM") != std::string::npos) {
      spam += Count(statfile, "revision");
      spamSeen = true;
    } else if (name.find("HAM") != std::string::npos) {
      ham += Count(statfile, "revision");
      hamSeen = true;
    }
    tokens += Count(statfile, "used");
  }
  if (!spamSeen || !hamSeen) return std::nullopt;
  return std::vector<std::string>{MagicLine("nspam", spam), MagicLine("nham", ham), MagicLine("ntokens", tokens)};
}

TScore RspamdScore(const TAdapterSettings& settings, const fs::path& message, const std::string& domainFolder) {
  const std::string text = StoredMessage(message);
  THttpClient client(settings.Rspamd.Timeout);
  try {
    return AskRspamd(client, settings.Rspamd.Url, text, {.Domain = fs::path(domainFolder).filename().string()});
  } catch (const TRspamdError& error) {
    throw TClassifierError(error.what());
  }
}

TLearned RspamdLearnFolder(const TAdapterSettings& settings, const fs::path& folder, bool spam) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error))
    if (entry->is_regular_file()) files.push_back(entry->path());
  if (error) throw TClassifierError(PrintableText("cannot list " + folder.string() + ": " + error.message()));
  std::sort(files.begin(), files.end());

  const std::string peer = "rspamd's controller at " + settings.Rspamd.ControllerUrl;
  const std::string url = settings.Rspamd.ControllerUrl + (spam ? "/learnspam" : "/learnham");
  const std::vector<std::string> headers = PasswordHeader(settings.Rspamd);
  THttpClient client(settings.Rspamd.Timeout);
  TLearned learned;
  for (const auto& file : files) {
    ++learned.Total;
    const auto size = fs::file_size(file, error);
    if (error || size > kMaxMessageBytes) continue; // gone, or too large to learn: counted, not learned
    const std::string text = StoredMessage(file);
    const THttpAnswer answer = Ask(peer, [&] { return client.Post(url, text, headers); });
    const auto outcome = ReadLearnAnswer(answer);
    if (!outcome) throw TClassifierError(PrintableText(peer + ": ") + AnswerFailure(answer));
    if (*outcome == TLearnOutcome::Learned) ++learned.Learned;
  }
  return learned;
}

std::vector<std::string> RspamdDumpMagic(const TAdapterSettings& settings) {
  const std::string peer = "rspamd's controller at " + settings.Rspamd.ControllerUrl;
  THttpClient client(settings.Rspamd.Timeout);
  const THttpAnswer answer =
      Ask(peer, [&] { return client.Get(settings.Rspamd.ControllerUrl + "/stat", PasswordHeader(settings.Rspamd)); });
  if (answer.Status != 200) throw TClassifierError(PrintableText(peer + ": ") + AnswerFailure(answer));
  if (auto lines = ParseStatAnswer(answer.Body)) return *lines;
  throw TClassifierError(PrintableText(peer + " gave no Bayes statistics they could be read from"));
}

} // namespace quibo::hcheck
