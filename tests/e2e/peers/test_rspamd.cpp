// HCheck with the rspamd backend, and the filter asking rspamd itself
// (RspamdUrl), against a real rspamd and Redis: one pair for the whole test
// program, started at its first use.
#include "TPeerDaemons.h"
#include "TRelayFixture.h"
#include "UHeurastic.h"

#include <gtest/gtest.h>

using namespace quibo;
using namespace quibo::test;

namespace {

TRspamd& SharedRspamd() {
  static TRspamd rspamd;
  return rspamd;
}

std::string RspamdMail(const std::string& subject, const std::string& id, const std::string& body) {
  return "From: Sender <sender@example.com>\r\nTo: rcpt@example.org\r\nSubject: " + subject + "\r\nMessage-Id: <" + id +
         "@example.com>\r\nDate: Mon, 2 Jan 2023 10:00:00 +0000\r\n\r\n" + body + "\r\n";
}

const std::string kGtubeMail = RspamdMail("Cheap offer", "rspamd-gtube", kGtube);
const std::string kPlainMail =
    RspamdMail("Lunch", "rspamd-lunch", "Shall we meet for lunch at noon on Thursday? Bring the minutes.");

// A home folder with HCheck over the shared rspamd (or a controller password of the test's choice).
void InstallRspamdAdapter(const std::filesystem::path& home, const std::string& password = TRspamd::kPassword) {
  TRspamd& rspamd = SharedRspamd();
  std::filesystem::create_symlink(HCHECK_BINARY, home / "HCheck");
  WriteFile(home / "HCheck.ini", "[HCheck]\nBackend=rspamd\n[Rspamd]\nUrl=" + rspamd.Url() + "\nControllerUrl=" +
                                     rspamd.ControllerUrl() + "\nPassword=" + password + "\nTimeout=30\n");
}

int HCheckIn(const std::filesystem::path& home, const std::vector<std::string>& arguments, std::string& out) {
  std::vector<std::string> command{"sh", "-c", "cd \"$0\" && exec ./HCheck \"$@\"", home.string()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunProgram(command, &out);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

class RspamdRelay : public Relay {
protected:
  void SetUp() override { ASSERT_TRUE(SharedRspamd().Ready()) << SharedRspamd().Log(); }
};

} // namespace

// Scored through HCheck or by the filter itself: the same marks either way.
class RspamdScoring : public RspamdRelay, public ::testing::WithParamInterface<bool> {
protected:
  // The classifier's settings for this way of scoring.
  std::string Heurastic(const std::string& keys) const {
    if (!GetParam()) return "[Heurastic]\nDoHeurastic=1\n" + keys;
    return "[Heurastic]\nDoHeurastic=1\nRspamdUrl=" + SharedRspamd().Url() + "\n" + keys; // and no HCheck at all
  }
  void SetUp() override {
    RspamdRelay::SetUp();
    if (!GetParam()) InstallRspamdAdapter(Home.path());
  }
};

INSTANTIATE_TEST_SUITE_P(Ways, RspamdScoring, ::testing::Bool(),
                         [](const auto& way) { return way.param ? "AskedByTheFilter" : "ThroughHCheck"; });

TEST_P(RspamdScoring, GtubeIsMarkedAndPlainMailIsNot) {
  Launch("", Heurastic("Threshold=6\nModifySubject=1\nNewSubject=[SPAM] #SUBJECT#\n"));
  EXPECT_EQ(Send(kGtubeMail), "250 Ok\r\n");
  EXPECT_EQ(Send(kPlainMail), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);

  const std::string& spam = mails[0].Data;
  EXPECT_NE(spam.find("Subject: [SPAM] Cheap offer\r\n"), std::string::npos) << spam;
  EXPECT_NE(spam.find("X-Spam-Status: Positive \r\n"), std::string::npos) << spam;
  EXPECT_NE(spam.find("X-Spam-Score: Hits: 15 Tests: GTUBE\r\n"), std::string::npos) << spam;

  const std::string& plain = mails[1].Data;
  EXPECT_NE(plain.find("Subject: Lunch\r\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("X-Spam-Status: Negative \r\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("DATE_IN_PAST"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("GTUBE"), std::string::npos) << plain;
}

TEST_P(RspamdScoring, TheRecipientDomainSelectsItsSettings) {
  // The domain's folder exists; rspamd's settings for the id example.org disable DATE_IN_PAST.
  std::filesystem::create_directories(Home.path() / "config" / "example.org");
  Launch("", Heurastic("Threshold=6\n"));
  EXPECT_EQ(Send(kPlainMail), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  const std::string relayed = NextHop.Mails()[0].Data;
  EXPECT_NE(relayed.find("X-Spam-Score: Hits: "), std::string::npos) << relayed;
  EXPECT_NE(relayed.find("MIME_GOOD"), std::string::npos) << relayed;
  EXPECT_EQ(relayed.find("DATE_IN_PAST"), std::string::npos) << relayed;
}

TEST_F(RspamdRelay, RspamdAskedByTheFilterButDownDefersOrPassesUnmarked) {
  const std::string nobody = "http://127.0.0.1:" + std::to_string(FreePort());
  Launch("DeferUncheckedMail=1\n", "[Heurastic]\nDoHeurastic=1\nRspamdUrl=" + nobody + "\n");
  EXPECT_EQ(Send(kPlainMail), "451 Quibo dederazu says: Message could not be checked, try again later\r\n");
  EXPECT_TRUE(Quibo->LogContains("Classifier failed: not tested rspamd at " + nobody + ": "));
  EXPECT_TRUE(NextHop.Mails().empty());
  Quibo.reset();
  Launch("", "[Heurastic]\nDoHeurastic=1\nRspamdUrl=" + nobody + "\n");
  EXPECT_EQ(Send(kPlainMail), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  const std::string relayed = NextHop.Mails()[0].Data;
  EXPECT_NE(relayed.find("X-Spam-Status: Negative \r\n"), std::string::npos) << relayed;
  EXPECT_NE(relayed.find("X-Spam-Score: Hits: 0 Tests: not tested rspamd at " + nobody), std::string::npos) << relayed;
}

TEST_F(RspamdRelay, HCheckPassesTheDomainFolderOn) {
  InstallRspamdAdapter(Home.path());
  WriteFile(Home.path() / "m", kPlainMail + ".\r\n");
  std::string general, domain;
  ASSERT_EQ(HCheckIn(Home.path(), {"m"}, general), 0) << general;
  ASSERT_EQ(HCheckIn(Home.path(), {"m", "config/example.org"}, domain), 0) << domain;
  EXPECT_NE(general.find("DATE_IN_PAST"), std::string::npos) << general;
  EXPECT_EQ(domain.find("DATE_IN_PAST"), std::string::npos) << domain;
  EXPECT_NE(domain.find("MIME_GOOD"), std::string::npos) << domain;
}

TEST(RspamdLearning, LearnsThreeMessagesAndTheStatisticsCountThem) {
  ASSERT_TRUE(SharedRspamd().Ready()) << SharedRspamd().Log();
  TTempFolder home;
  InstallRspamdAdapter(home.path());
  const std::string words = " the quarterly report covers budget travel hiring plans and the new office in spring\r\n";
  std::filesystem::create_directories(home.path() / "ham");
  std::filesystem::create_directories(home.path() / "spam");
  WriteFile(home.path() / "ham" / "minutes", RspamdMail("Minutes", "minutes", "Notes on" + words + "..") + ".\r\n");
  WriteFile(home.path() / "spam" / "pills", RspamdMail("Pills", "pills", "Cheap pills now" + words) + ".\r\n");
  WriteFile(home.path() / "spam" / "prize", RspamdMail("Prize", "prize", "You won a prize" + words) + ".\r\n");
  WriteFile(home.path() / "spam" / "short", "Subject: x\r\n\r\nhi\r\n.\r\n"); // too few words: rspamd skips it

  std::string out;
  EXPECT_EQ(HCheckIn(home.path(), {"--ham", "./ham"}, out), 0) << out;
  EXPECT_EQ(out, "1|1|\n");
  EXPECT_EQ(HCheckIn(home.path(), {"--spam", "./spam"}, out), 0) << out;
  EXPECT_EQ(out, "2|3|\n");
  EXPECT_EQ(HCheckIn(home.path(), {"--ham", "./ham"}, out), 0) << out; // already learned: taken, not counted
  EXPECT_EQ(out, "0|1|\n");

  // rspamd's controller takes the counts from Redis now and then, so they show up a little after learning.
  TClassifierStatistics statistics;
  const bool counted = WaitFor(
      [&] {
        if (HCheckIn(home.path(), {"--dump", "magic"}, out) != 0) return false;
        statistics = ParseStatistics(Lines(out));
        return statistics.Spam == "2" && statistics.Ham == "1";
      },
      std::chrono::seconds(120));
  EXPECT_TRUE(counted) << out;
  EXPECT_NE(out.find("non-token data: ntokens\n"), std::string::npos) << out;
}

TEST(RspamdLearning, TheControllerWantsItsPassword) {
  ASSERT_TRUE(SharedRspamd().Ready()) << SharedRspamd().Log();
  TTempFolder home;
  InstallRspamdAdapter(home.path(), "wrong");
  std::filesystem::create_directories(home.path() / "ham");
  WriteFile(home.path() / "ham" / "one", kPlainMail + ".\r\n");
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--ham", "./ham"}, {"--dump", "magic"}}) {
    std::string out;
    EXPECT_EQ(HCheckIn(home.path(), arguments, out), 1) << out;
    EXPECT_EQ(out.rfind("HCheck: rspamd's controller at " + SharedRspamd().ControllerUrl() + ": HTTP 4", 0), 0u) << out;
    EXPECT_NE(out.find("Unauthorized"), std::string::npos) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
}
