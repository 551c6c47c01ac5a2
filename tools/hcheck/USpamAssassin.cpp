#include "USpamAssassin.h"

#include "UChildProcess.h"
#include "UFunctions.h"
#include "UWireMessage.h"

#include <algorithm>
#include <regex>
#include <sstream>

namespace quibo::hcheck {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxReport = 64u << 10;
constexpr size_t kMaxHeaders = 256u << 10; // spamassassin answers with the whole message; the headers come first
constexpr auto kExitSlack = std::chrono::seconds(2);  // spamc gets the score time itself, and a little more to exit
constexpr const char* kScoreHeader = "X-Spam-HCheck"; // "add_header all HCheck" makes this name

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool IsDecimal(const std::string& text) {
  static const std::regex decimal(R"(-?[0-9]{1,9}(\.[0-9]{1,6})?)");
  return std::regex_match(text, decimal);
}

bool IsRuleName(const std::string& text) {
  static const std::regex name(R"([A-Za-z_][A-Za-z0-9_]{0,99})");
  return std::regex_match(text, name);
}

// A score whose test names all look like rule names.
std::optional<TScore> CheckedScore(std::string score, std::vector<std::string> tests) {
  if (!IsDecimal(score) || !std::all_of(tests.begin(), tests.end(), IsRuleName)) return std::nullopt;
  std::sort(tests.begin(), tests.end());
  tests.erase(std::unique(tests.begin(), tests.end()), tests.end());
  return TScore{std::move(score), std::move(tests)};
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

std::string Seconds(std::chrono::seconds time) { return std::to_string(time.count()); }

// The reason a program failed, bounded and printable.
std::string Reason(const std::string& what, const TRunResult& run) {
  std::string reason = what + " " + ChildFailure(run);
  if (reason.size() > 300) reason = reason.substr(0, 300) + "...";
  return PrintableText(reason);
}

// spamc says so on standard error (with -l) when no spamd took the connection.
bool NoSpamdAnswered(const TRunResult& run) {
  return run.End == TRunEnd::Exited && (run.ExitCode == 68 || run.ExitCode == 69 || run.ExitCode == 70) &&
         run.Errors.find("connect") != std::string::npos;
}

std::vector<std::string> SpamcArguments(const TAdapterSettings& settings, size_t messageBytes,
                                        const std::string& domainFolder) {
  std::vector<std::string> arguments{settings.Spamc,
                                     "-R",
                                     "-x",
                                     "-l",
                                     "--connect-retries=1",
                                     "-t",
                                     Seconds(settings.ScoreTimeout),
                                     "-n",
                                     "10",
                                     "-s",
                                     std::to_string(messageBytes + 1)};
  if (!settings.Spamd.SocketPath.empty()) {
    arguments.insert(arguments.end(), {"-U", settings.Spamd.SocketPath});
  } else {
    arguments.insert(arguments.end(), {"-d", settings.Spamd.Host, "-p", std::to_string(settings.Spamd.Port)});
  }
  // spamd started with --virtual-config-dir=.../config/%u reads that domain's user_prefs.
  if (!domainFolder.empty()) arguments.insert(arguments.end(), {"-u", fs::path(domainFolder).filename().string()});
  return arguments;
}

std::vector<std::string> SpamAssassinArguments(const TAdapterSettings& settings, const std::string& domainFolder) {
  // Without a preferences file of the domain, none at all: never the preferences of whoever runs the filter.
  std::string preferences = "/dev/null";
  if (!domainFolder.empty() && fs::is_regular_file(fs::path(domainFolder) / "user_prefs"))
    preferences = (fs::path(domainFolder) / "user_prefs").string();
  return {settings.SpamAssassin,        "--local",
          "--prefspath=" + preferences, "--cf=bayes_path " + settings.BayesPath.string(),
          "--cf=report_safe 0",         "--cf=add_header all HCheck _SCORE_|_TESTS_|"};
}

void MakeBayesFolder(const TAdapterSettings& settings) {
  std::error_code error;
  fs::create_directories(settings.BayesPath.parent_path(), error);
  if (error)
    throw TClassifierError(
        PrintableText("cannot make " + settings.BayesPath.parent_path().string() + ": " + error.message()));
}

TScore ScoreThroughSpamAssassin(const TAdapterSettings& settings, const std::string& message,
                                const std::string& domainFolder, const std::string& why) {
  MakeBayesFolder(settings); // automatic learning writes to it
  const TRunResult run =
      RunChild(SpamAssassinArguments(settings, domainFolder), message, {settings.ScoreTimeout, kMaxHeaders, 4096});
  if (!run.Succeeded()) throw TClassifierError(Reason(why + ", and spamassassin", run));
  if (auto score = ParseScoreHeader(run.Output)) return *score;
  throw TClassifierError("spamassassin gave no score it could be read from");
}

} // namespace

std::optional<TScore> ParseSpamcReport(const std::string& output) {
  const std::vector<std::string> lines = Lines(output);
  if (lines.empty()) return std::nullopt;
  const auto slash = lines[0].find('/');
  if (slash == std::string::npos || lines[0] == "0/0") return std::nullopt; // "0/0": spamd did not check it
  const std::string score = lines[0].substr(0, slash);
  if (!IsDecimal(lines[0].substr(slash + 1))) return std::nullopt;
  std::vector<std::string> tests;
  bool inTable = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (!inTable) {
      inTable = line.rfind("---- ", 0) == 0;
      continue;
    }
    // A row has its points right-aligned in the first four columns; description lines that go on are indented.
    if (line.find_first_not_of(' ') >= 4) continue;
    std::istringstream row(line);
    std::string points, name;
    if (row >> points >> name && IsDecimal(points)) tests.push_back(name);
  }
  return CheckedScore(score, tests);
}

std::optional<TScore> ParseScoreHeader(const std::string& output) {
  const std::vector<std::string> lines = Lines(output);
  const std::string prefix = std::string(kScoreHeader) + ":";
  for (size_t i = 0; i < lines.size() && !lines[i].empty(); ++i) {
    if (!StartsWithNoCase(lines[i], prefix)) continue;
    std::string value = lines[i].substr(prefix.size());
    for (size_t next = i + 1;
         next < lines.size() && !lines[next].empty() && (lines[next][0] == ' ' || lines[next][0] == '\t'); ++next)
      value += lines[next]; // SpamAssassin folds long headers after a comma
    value.erase(std::remove_if(value.begin(), value.end(), [](unsigned char c) { return std::isspace(c); }),
                value.end());
    static const std::regex fields(R"(([^|]*)\|([^|]*)\|)");
    std::smatch parts;
    if (!std::regex_match(value, parts, fields)) return std::nullopt;
    const std::string tests = parts[2].str();
    return CheckedScore(parts[1].str(), tests == "none" ? std::vector<std::string>{} : SplitCommas(tests));
  }
  return std::nullopt;
}

std::optional<TLearned> ParseLearnSummary(const std::string& output) {
  static const std::regex summary(
      R"(Learned tokens from ([0-9]{1,9}) message\(s\) \(([0-9]{1,9}) message\(s\) examined\))");
  std::smatch parts;
  if (!std::regex_search(output, parts, summary)) return std::nullopt;
  return TLearned{std::stoi(parts[1].str()), std::stoi(parts[2].str())};
}

std::optional<std::vector<std::string>> ParseMagicDump(const std::string& output) {
  std::vector<std::string> lines = Lines(output);
  const auto has = [&](const std::string& name) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find("non-token data: " + name) != std::string::npos;
    });
  };
  if (!has("nspam") || !has("nham") || !has("ntokens")) return std::nullopt;
  for (auto& line : lines)
    line = PrintableText(line);
  return lines;
}

TScore ScoreMessage(const TAdapterSettings& settings, const fs::path& message, const std::string& domainFolder) {
  std::string text;
  try {
    text = ReadStoredMessage(message, kMaxMessageBytes);
  } catch (const std::exception& error) {
    throw TClassifierError(PrintableText(error.what()));
  }
  if (settings.Spamd.Off()) return ScoreThroughSpamAssassin(settings, text, domainFolder, "spamd is off");
  const TRunResult run = RunChild(SpamcArguments(settings, text.size(), domainFolder), text,
                                  {settings.ScoreTimeout + kExitSlack, kMaxReport, 4096});
  if (NoSpamdAnswered(run))
    return ScoreThroughSpamAssassin(settings, text, domainFolder, "no spamd at " + settings.Spamd.Text());
  if (!run.Succeeded()) throw TClassifierError(Reason("spamc to " + settings.Spamd.Text(), run));
  if (auto score = ParseSpamcReport(run.Output)) return *score;
  throw TClassifierError(PrintableText("spamd at " + settings.Spamd.Text() + " gave no score it could be read from"));
}

TLearned LearnFolder(const TAdapterSettings& settings, const fs::path& folder, bool spam) {
  std::optional<TLearningCopies> copies;
  try {
    copies.emplace(folder, kMaxMessageBytes);
  } catch (const std::exception& error) {
    throw TClassifierError(PrintableText(error.what()));
  }
  const int skipped = static_cast<int>(copies->SkippedCount());
  if (copies->Count() == 0) return {0, skipped};
  MakeBayesFolder(settings);
  const TRunResult run = RunChild({settings.SaLearn, "--local", "--dbpath", settings.BayesPath.string(),
                                   spam ? "--spam" : "--ham", copies->Folder().string()},
                                  std::nullopt, {settings.LearnTimeout, kMaxReport, 4096});
  if (!run.Succeeded()) throw TClassifierError(Reason("sa-learn", run));
  const auto learned = ParseLearnSummary(run.Output);
  if (!learned) throw TClassifierError("sa-learn gave no count it could be read from");
  return {learned->Learned, learned->Total + skipped};
}

std::vector<std::string> DumpMagic(const TAdapterSettings& settings) {
  if (!fs::exists(settings.BayesPath.string() + "_toks"))
    throw TClassifierError(PrintableText("nothing learned yet: no Bayes database at " + settings.BayesPath.string()));
  const TRunResult run =
      RunChild({settings.SaLearn, "--local", "--dbpath", settings.BayesPath.string(), "--dump", "magic"}, std::nullopt,
               {settings.ScoreTimeout, kMaxReport, 4096});
  if (!run.Succeeded()) throw TClassifierError(Reason("sa-learn", run));
  if (auto lines = ParseMagicDump(run.Output)) return *lines;
  throw TClassifierError("sa-learn gave no statistics they could be read from");
}

} // namespace quibo::hcheck
