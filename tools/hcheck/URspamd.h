// rspamd behind the HCheck command lines: scoring through the normal
// worker's /checkv2 (URspamdCheck), learning through the controller's /learnham and
// /learnspam, the statistics from the controller's /stat, each request sent
// by HCheck itself.
// Called by HCheck on its only thread. Every failure (no answer, an HTTP
// error, an answer that cannot be read) throws TClassifierError with a
// printable one-line reason; nothing is ever guessed.
#pragma once

#include "UAdapterSettings.h"
#include "UClassifierResults.h"
#include "UHttpClient.h"
#include "URspamdCheck.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quibo::hcheck {

enum class TLearnOutcome { Learned, AlreadyLearned, Skipped };
// /learnham, /learnspam: 200 {"success":true}; 208 with "already learned"; 204 when rspamd skipped the message.
std::optional<TLearnOutcome> ReadLearnAnswer(const THttpAnswer& answer);

// /stat: the Bayes counts as the lines of SpamAssassin's "--dump magic" (nspam, nham, ntokens), from the
// statfiles whose symbol names the class (BAYES_SPAM, BAYES_HAM).
std::optional<std::vector<std::string>> ParseStatAnswer(const std::string& body);

// domainFolder: "" or the folder (relative to the program folder) of the recipient domain.
TScore RspamdScore(const TAdapterSettings& settings, const std::filesystem::path& message,
                   const std::string& domainFolder);
TLearned RspamdLearnFolder(const TAdapterSettings& settings, const std::filesystem::path& folder, bool spam);
std::vector<std::string> RspamdDumpMagic(const TAdapterSettings& settings);

} // namespace quibo::hcheck
