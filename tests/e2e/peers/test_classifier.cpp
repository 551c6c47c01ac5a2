// The filter with the real SpamAssassin behind HCheck: one spamd for the
// whole run (or the spamassassin program where spamd does not come up).
#include "TPeerDaemons.h"
#include "TRelayFixture.h"
#include "UMain.h"

#include <gtest/gtest.h>
#include <optional>

using namespace quibo;
using namespace quibo::test;

namespace {

void InstallAdapter(const std::filesystem::path& home, const std::string& spamd) {
  std::filesystem::create_symlink(HCHECK_BINARY, home / "HCheck");
  WriteFile(home / "HCheck.ini", "[SpamAssassin]\nSpamd=" + spamd + "\n");
}

std::string Mail(const std::string& subject, const std::string& id, const std::string& body) {
  return "From: Sender <sender@example.com>\r\nTo: rcpt@example.org\r\nSubject: " + subject + "\r\nMessage-Id: <" + id +
         "@example.com>\r\nDate: Tue, 8 Dec 2026 10:00:00 +0000\r\n\r\n" + body + "\r\n";
}

const std::string kGtubeMail = Mail("Cheap offer", "gtube", kGtube);
const std::string kPlainMail = Mail("Lunch", "lunch", "Shall we meet for lunch at noon on Thursday?");

// "X-Spam-Score: Hits: <score> Tests: <tests>" of a relayed message.
struct TScoreHeader {
  double Hits = 0;
  std::string Tests;
};
TScoreHeader ScoreHeader(const std::string& data) {
  const std::string name = "X-Spam-Score: Hits: ";
  const auto at = data.find(name);
  if (at == std::string::npos) return {-1000, "(none)"};
  const std::string value = data.substr(at + name.size(), data.find("\r\n", at) - at - name.size());
  return {std::stod(value), value.substr(value.find(" Tests: ") + 8)};
}

class SpamAssassinRelay : public Relay {
protected:
  void Launch(const std::string& heurastic) {
    InstallAdapter(Home.path(), SharedSpamd().Address());
    Relay::Launch("", "[Heurastic]\nDoHeurastic=1\nThreshold=5\nModifySubject=1\n"
                      "NewSubject=[SPAM] #SUBJECT#\n" +
                          heurastic);
  }
};

} // namespace

TEST_F(SpamAssassinRelay, GtubeIsMarkedAndPlainMailIsNot) {
  Launch("DropAtScore=0\n");
  EXPECT_EQ(Send(kGtubeMail), "250 Ok\r\n");
  EXPECT_EQ(Send(kPlainMail), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);

  const std::string& spam = mails[0].Data;
  EXPECT_NE(spam.find("Subject: [SPAM] Cheap offer\r\n"), std::string::npos) << spam;
  EXPECT_NE(spam.find("X-Spam-Status: Positive \r\n"), std::string::npos) << spam;
  const TScoreHeader spamScore = ScoreHeader(spam);
  EXPECT_GE(spamScore.Hits, 5) << spam;
  EXPECT_NE(("," + spamScore.Tests + ",").find(",GTUBE,"), std::string::npos) << spam;

  const std::string& plain = mails[1].Data;
  EXPECT_NE(plain.find("Subject: Lunch\r\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("X-Spam-Status: Negative \r\n"), std::string::npos) << plain;
  EXPECT_LT(ScoreHeader(plain).Hits, 5) << plain;
  EXPECT_EQ(ScoreHeader(plain).Tests.find("GTUBE"), std::string::npos) << plain;
}

TEST_F(SpamAssassinRelay, GtubeIsDroppedAtTheDropScore) {
  Launch("DropAtScore=1\nDropScore=15\n");
  EXPECT_EQ(Send(kGtubeMail), "250 Ok\r\n"); // dropped on purpose: the sender is not told
  EXPECT_EQ(Send(kPlainMail), "250 Ok\r\n");
  EXPECT_TRUE(Quibo->LogContains("due to maximum score passing..."));
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: Lunch\r\n"), std::string::npos);
}

TEST(SpamAssassinAdapter, ScoresThroughTheProgramWhenNoSpamdAnswers) {
  TTempFolder home;
  InstallAdapter(home.path(), "127.0.0.1:" + std::to_string(FreePort()));
  WriteFile(home.path() / "m", "Subject: test\r\n\r\n" + kGtube + "\r\n.\r\n");
  std::string out;
  ASSERT_EQ(RunProgram({"sh", "-c", "cd \"$0\" && exec ./HCheck m", home.path().string()}, &out), 0) << out;
  EXPECT_GE(std::stod(out.substr(0, out.find('|'))), 5) << out;
  EXPECT_NE(out.find("GTUBE"), std::string::npos) << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out[out.size() - 2], '|');
}

TEST(SpamAssassinLearning, LearnNowLearnsTheFoldersAndTheStatisticsCountThem) {
  TTempFolder home;
  InstallAdapter(home.path(), SharedSpamd().Address());
  WriteFile(home.path() / "quibo.ini", "[Settings]\nListenIP=127.0.0.1\nListenPort=0\n");
  TForm1 form(TForm1::TOptions{home.path(), "quibo", false, nullptr});
  form.Create();
  const std::vector<std::string> hams = {"lunch", "minutes"}, spams = {"pills", "prize", "loan"};
  for (const auto& id : hams)
    WriteFile(home.path() / "ham" / id,
              Mail("About " + id, id, "Notes on the " + id + " of the team.\r\n..") + ".\r\n");
  for (const auto& id : spams)
    WriteFile(home.path() / "spam" / id, Mail("Win " + id, id, "Click now for your free " + id + "!!!") + ".\r\n");
  const auto learned = [](size_t count) {
    return "Learned " + std::to_string(count) + " from " + std::to_string(count) + " total";
  };

  // Learning and the statistics run in the background; their results come back as posted work.
  const auto settle = [&form](const std::function<bool()>& done) {
    return WaitFor(
        [&] {
          form.EventQueue().RunPending([&form](const TEvent& event) { form.HandleEvent(event); });
          return done();
        },
        std::chrono::seconds(120));
  };
  form.Jobs().LearnNow();
  ASSERT_TRUE(settle([&form] { return !form.Jobs().LearningRunning(); }));
  EXPECT_EQ(form.HamLearnLabel(), learned(hams.size()));
  EXPECT_EQ(form.SpamLearnLabel(), learned(spams.size()));
  EXPECT_TRUE(FilesIn(home.path() / "ham").empty()); // deleted after learning
  std::optional<TClassifierStatistics> renewed;
  form.Jobs().RenewHeurasticStatistics([&renewed](const TClassifierStatistics& values) { renewed = values; });
  ASSERT_TRUE(settle([&renewed] { return renewed.has_value(); }));
  const TClassifierStatistics statistics = *renewed;
  EXPECT_EQ(statistics.Ham, std::to_string(hams.size()));
  EXPECT_EQ(statistics.Spam, std::to_string(spams.size()));
  EXPECT_GT(std::stoi(statistics.Tokens), 0);
  EXPECT_NE(statistics.Newest, "NA");
}
