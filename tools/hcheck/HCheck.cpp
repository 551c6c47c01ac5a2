// HCheck: the filter's classifier, an adapter over SpamAssassin or rspamd
// (HCheck.ini: [HCheck] Backend=). The filter runs it from its program folder:
//   HCheck "<message file>" [config/<domain>]  prints "score|tests|"
//   HCheck --ham DIR | --spam DIR              prints "learned|total|"
//   HCheck --dump magic                        prints the Bayes statistics lines
// Exit code 0 with that output; on any failure exit code 1 (2 for a command
// line it does not know) and one printable line that says why.
#include "UAdapterSettings.h"
#include "UFunctions.h"
#include "URspamd.h"
#include "USpamAssassin.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace quibo;
using namespace quibo::hcheck;

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Say(const std::string& text, int exitCode) {
  std::fputs((text + "\n").c_str(), stdout);
  return exitCode;
}

bool WithRspamd(const TAdapterSettings& settings) { return settings.Backend == TBackend::Rspamd; }

TScore Score(const TAdapterSettings& settings, const std::string& message, const std::string& domainFolder) {
  return WithRspamd(settings) ? RspamdScore(settings, message, domainFolder)
                              : ScoreMessage(settings, message, domainFolder);
}

TLearned Learn(const TAdapterSettings& settings, const std::string& folder, bool spam) {
  return WithRspamd(settings) ? RspamdLearnFolder(settings, folder, spam) : LearnFolder(settings, folder, spam);
}

std::vector<std::string> Statistics(const TAdapterSettings& settings) {
  return WithRspamd(settings) ? RspamdDumpMagic(settings) : DumpMagic(settings);
}

int Run(const TAdapterSettings& settings, const std::vector<std::string>& arguments) {
  if (arguments.size() == 2 && (arguments[0] == "--ham" || arguments[0] == "--spam")) {
    const TLearned learned = Learn(settings, arguments[1], arguments[0] == "--spam");
    return Say(std::to_string(learned.Learned) + "|" + std::to_string(learned.Total) + "|", 0);
  }
  if (arguments.size() == 2 && arguments[0] == "--dump" && arguments[1] == "magic") {
    std::string text;
    for (const auto& line : Statistics(settings))
      text += line + "\n";
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  if ((arguments.size() == 1 || arguments.size() == 2) && !arguments[0].empty() && arguments[0][0] != '-') {
    const TScore score = Score(settings, arguments[0], arguments.size() == 2 ? arguments[1] : "");
    return Say(score.Score + "|" + JoinText(score.Tests, ",") + "|", 0);
  }
  return Say("HCheck: usage: HCheck FILE [DOMAIN-FOLDER] | --ham DIR | --spam DIR | --dump magic", kUsage);
}

} // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    return Run(LoadAdapterSettings(ProgramFolderOf(argv[0])), arguments);
  } catch (const TClassifierError& error) {
    return Say(std::string("HCheck: ") + error.what(), kFailed);
  } catch (const std::exception& error) {
    return Say("HCheck: " + PrintableText(error.what()), kFailed);
  }
}
