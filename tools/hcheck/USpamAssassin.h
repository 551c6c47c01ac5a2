// SpamAssassin behind the HCheck command lines: scoring through spamc when a
// spamd answers (else through the spamassassin program), learning and the
// statistics dump through sa-learn, all with the adapter's own Bayes
// database and with local tests only. Called by HCheck on its only thread.
// Every failure (a program missing, failing, killed, too slow, or an answer
// that cannot be read) throws TClassifierError with a one-line reason;
// nothing is ever guessed.
#pragma once

#include "UAdapterSettings.h"
#include "UClassifierResults.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quibo::hcheck {

// The readers of the programs' answers; std::nullopt when the answer is not what they print.
// spamc -R: "score/threshold", a report, and the rule table after its "---- " line.
std::optional<TScore> ParseSpamcReport(const std::string& output);
// spamassassin's output with the adapter's header "X-Spam-HCheck: score|tests|".
std::optional<TScore> ParseScoreHeader(const std::string& output);
// sa-learn: "Learned tokens from 2 message(s) (3 message(s) examined)".
std::optional<TLearned> ParseLearnSummary(const std::string& output);
// sa-learn --dump magic: lines with the counts the statistics page shows.
std::optional<std::vector<std::string>> ParseMagicDump(const std::string& output);

// domainFolder: "" or the folder (relative to the program folder) of the recipient domain's preferences.
TScore ScoreMessage(const TAdapterSettings& settings, const std::filesystem::path& message,
                    const std::string& domainFolder);
TLearned LearnFolder(const TAdapterSettings& settings, const std::filesystem::path& folder, bool spam);
std::vector<std::string> DumpMagic(const TAdapterSettings& settings);

} // namespace quibo::hcheck
