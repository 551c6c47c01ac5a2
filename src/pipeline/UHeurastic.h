// The classifier bridge: runs the external classifier HCheck in the program
// folder to score one message, to learn from the ham and spam folders, and to
// dump its statistics, and reads its output. With RspamdUrl set, scoring asks
// rspamd itself instead (the same result, without a process per message,
// with the envelope, and with rspamd's action and header changes).
// Scoring runs on connection threads, learning and statistics on a background
// task of the window. Never throws: a classifier that is missing, fails or
// times out gives score "0", a readable reason and Answered false.
#pragma once

#include "UCancellation.h"
#include "ULog.h"
#include "URspamdCheck.h"
#include "URspamdClients.h"
#include "UStoredMessage.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quibo {

inline constexpr const char* kClassifier = "./HCheck";
// The longest score or test text taken from the classifier's output.
inline constexpr size_t kMaxClassifierText = 1000;

struct TClassification {
  std::string Score = "0";
  std::string Result;
  bool Answered = false;                         // the classifier exited with 0 and its score is a number
  std::shared_ptr<const TRspamdAdvice> Advice{}; // rspamd's action and header changes, when rspamd was asked
};

struct TLearnResult {
  int Learned = 0;
  int Total = 0;
};

// The six values of the statistics page, as they are shown.
struct TClassifierStatistics {
  std::string Spam, Ham, Tokens, Oldest, Newest, Journal;
};

class TClassifierBridge {
public:
  TClassifierBridge(std::filesystem::path programFolder, TLogger& log, int timeoutMs, std::string domainPrefix)
      : Folder(std::move(programFolder)), Log(log), TimeoutMs(timeoutMs), DomainPrefix(std::move(domainPrefix)) {}

  // Only a recipient domain of letters, digits, "-" and "." without an empty
  // label names a folder; it is looked for in lower case.
  TClassification Classify(const std::filesystem::path& message, const std::string& recipientDomain,
                           TCancellation* cancel = nullptr) const;
  // The same through rspamd's normal worker at url, the message as held, with its envelope; the recipient
  // domain (envelope.Domain) goes along when its folder exists.
  TClassification ClassifyWithRspamd(TRspamdClients& clients, const std::string& url, const TStoredMessage& message,
                                     TRspamdEnvelope envelope, TCancellation* cancel = nullptr) const;
  TLearnResult Learn(bool spam, TCancellation* cancel = nullptr) const;
  // The dump's lines; false when the classifier could not be run.
  bool DumpStatistics(std::vector<std::string>& lines, TCancellation* cancel = nullptr) const;

private:
  // Multidomainprefix/domain, relative to the program folder, when that folder exists; "" otherwise.
  std::string DomainFolder(const std::string& recipientDomain) const;

  std::filesystem::path Folder;
  TLogger& Log;
  int TimeoutMs;
  std::string DomainPrefix;
};

// Whether a domain may become part of a path: letters, digits, "-" and ".", no empty label.
bool IsPlainDomain(const std::string& domain);
// A score text as a number with "." as separator; false when it is none.
bool ParseScore(const std::string& text, double& score);

TClassifierStatistics ParseStatistics(const std::vector<std::string>& dump);
// Seconds since 1970 as "dd-mm-yyyy hh:mm:ss" in local time; "NA" when empty.
std::string FormatClassifierTime(const std::string& seconds);

} // namespace quibo
