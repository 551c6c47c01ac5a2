#include "UHeurastic.h"

#include "UDotStuffing.h"
#include "UFunctions.h"
#include "UProcessRunner.h"
#include "URspamdCheck.h"
#include "USettings.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <sstream>

namespace quibo {
namespace {

// Exit code 0 is the only success: a classifier that fails says why on its output and exits otherwise.
bool Succeeded(int exitCode) { return exitCode == 0; }

// The classifier in its folder, its output captured; its errors go where ours go.
TRunResult RunClassifier(const std::string& commandLine, int timeoutMs, const std::filesystem::path& folder,
                         TCancellation* cancel) {
  TRunOptions options;
  options.Folder = folder;
  options.TimeLimit = std::chrono::milliseconds(timeoutMs);
  options.Cancel = cancel;
  return RunCommandLine(commandLine, options);
}

// The fields of "a|b|...": field 0 is the text before the first bar.
std::string Field(const std::string& output, size_t index) {
  size_t start = 0;
  for (size_t i = 0; i < index; ++i) {
    const size_t bar = output.find('|', start);
    if (bar == std::string::npos) return {};
    start = bar + 1;
  }
  return output.substr(start, output.find('|', start) - start);
}

// The text between the first " 0 " after the name and the next " 0 ".
std::string StatisticValue(const std::vector<std::string>& dump, const std::string& name) {
  for (const auto& line : dump) {
    if (line.find(name) == std::string::npos) continue;
    const auto first = line.find(" 0 ");
    if (first == std::string::npos) return "0";
    const std::string rest = line.substr(first + 3);
    const std::string value = Trimmed(rest.substr(0, rest.find(" 0 ")));
    return value.empty() ? "0" : value;
  }
  return "0";
}

// rspamd's score; a cancellation (the connection is being cut) ends the request.
TClassifierScore AskCancellably(THttpClient& client, const std::string& url, const std::string& message,
                                const TRspamdEnvelope& envelope, TCancellation* cancel) {
  const TCancellationScope scope(cancel, [&client] { client.Cancel(); });
  if (!scope.MayWait()) throw TRspamdError("cancelled");
  return AskRspamd(client, url, message, envelope);
}

} // namespace

bool IsPlainDomain(const std::string& domain) {
  if (domain.empty() || domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos)
    return false;
  return std::all_of(domain.begin(), domain.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; });
}

bool ParseScore(const std::string& text, double& score) { return ParseDecimal(text, score); }

TClassification TClassifierBridge::Classify(const std::filesystem::path& message, const std::string& recipientDomain,
                                            TCancellation* cancel) const {
  TClassification result;
  try {
    const std::string commandLine =
        std::string(kClassifier) + " \"" + message.string() + "\" " + DomainFolder(recipientDomain);
    Log.WriteDebugLog("Executing: " + commandLine);
    const TRunResult run = RunClassifier(commandLine, TimeoutMs, Folder, cancel);
    if (!Succeeded(run.ExitCode)) {
      Log.WriteDebugLog("Heurastic resultcode: " + std::to_string(run.ExitCode) + ", " + run.OutputOrError());
      result.Result = "not tested " + Bounded(Trimmed(run.OutputOrError()), kMaxClassifierText);
      return result;
    }
    Log.WriteDebugLog("Result: " + run.Output);
    result.Score = Bounded(Trimmed(Field(run.Output, 0)), kMaxClassifierText);
    result.Result = Bounded(Field(run.Output, 1), kMaxClassifierText);
    double score = 0;
    result.Answered = ParseScore(result.Score, score);
  } catch (const std::exception& error) {
    result = {"0", std::string("Exception: ") + error.what()};
  }
  return result;
}

std::string TClassifierBridge::DomainFolder(const std::string& recipientDomain) const {
  const std::string folder = DomainPrefix + "/" + Lowered(recipientDomain);
  return IsPlainDomain(recipientDomain) && std::filesystem::is_directory(Folder / folder) ? folder : "";
}

TClassification TClassifierBridge::ClassifyWithRspamd(TRspamdClients& clients, const std::string& url,
                                                      const TStoredMessage& message, TRspamdEnvelope envelope,
                                                      TCancellation* cancel) const {
  TClassification result;
  try {
    envelope.Domain = DomainFolder(envelope.Domain).empty() ? "" : Lowered(envelope.Domain);
    Log.WriteDebugLog("Asking rspamd at " + url + (envelope.Domain.empty() ? "" : " for " + envelope.Domain));
    std::string wire(static_cast<size_t>(message.Size()), '\0');
    wire.resize(message.ReadAt(0, wire.data(), wire.size()));
    auto client = clients.Take(std::chrono::milliseconds(TimeoutMs));
    TClassifierScore score = AskCancellably(*client, url, UnstuffedMessage(wire), envelope, cancel);
    result.Score = score.Score;
    result.Result = Bounded(JoinText(score.Tests, ","), kMaxClassifierText);
    result.Answered = true;
    result.Advice = std::make_shared<const TRspamdAdvice>(std::move(score.Advice));
    Log.WriteDebugLog("Result: " + result.Score + "|" + result.Result + "|");
    clients.Give(std::move(client));
  } catch (const TRspamdError& error) {
    Log.WriteDebugLog(std::string("rspamd: ") + error.what());
    result.Result = "not tested " + Bounded(error.what(), kMaxClassifierText);
  } catch (const std::exception& error) {
    result = {"0", std::string("Exception: ") + error.what()};
  }
  return result;
}

TLearnResult TClassifierBridge::Learn(bool spam, TCancellation* cancel) const {
  const std::string commandLine = std::string(kClassifier) + (spam ? " --spam ./spam" : " --ham ./ham");
  Log.WriteDebugLog("Executing: " + commandLine);
  const TRunResult run = RunClassifier(commandLine, TimeoutMs, Folder, cancel);
  if (!Succeeded(run.ExitCode)) {
    Log.WriteDebugLog("Heurastic resultcode: " + std::to_string(run.ExitCode) + ", " + run.OutputOrError());
    return {};
  }
  Log.WriteDebugLog("Result: " + run.Output);
  return {ToIntDef(Field(run.Output, 0), 0), ToIntDef(Field(run.Output, 1), 0)};
}

bool TClassifierBridge::DumpStatistics(std::vector<std::string>& lines, TCancellation* cancel) const {
  const std::string commandLine = std::string(kClassifier) + " --dump magic";
  Log.WriteDebugLog("Executing: " + commandLine);
  const TRunResult run = RunClassifier(commandLine, TimeoutMs, Folder, cancel);
  Log.WriteDebugLog("Results: " + run.OutputOrError());
  std::istringstream text(run.OutputOrError());
  lines.clear();
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return run.ExitCode != -1;
}

std::string FormatClassifierTime(const std::string& seconds) {
  const std::string value = Trimmed(seconds);
  if (value.empty()) return "NA";
  const bool number = value.size() < 19 && value.find_first_not_of("0123456789") == std::string::npos;
  const std::time_t when = number ? static_cast<std::time_t>(std::stoll(value)) : 0;
  std::tm parts{};
  localtime_r(&when, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &parts);
  return text;
}

TClassifierStatistics ParseStatistics(const std::vector<std::string>& dump) {
  return {StatisticValue(dump, "nspam"),
          StatisticValue(dump, "nham"),
          StatisticValue(dump, "ntokens"),
          FormatClassifierTime(StatisticValue(dump, "oldest")),
          FormatClassifierTime(StatisticValue(dump, "newest")),
          FormatClassifierTime(StatisticValue(dump, "journal"))};
}

} // namespace quibo
