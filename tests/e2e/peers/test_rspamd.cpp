// HCheck with the rspamd backend, and the filter asking rspamd itself
// (RspamdUrl), against a real rspamd and Redis: one pair for the whole test
// program, started at its first use. Clients whose envelope rspamd checks
// (SPF, DMARC, greylisting) come through a balancer's PROXY header, since
// rspamd checks no client on loopback.
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
  // Only the score counts: rspamd's own reject of GTUBE is not obeyed.
  Launch("", Heurastic("Threshold=6\nModifySubject=1\nNewSubject=[SPAM] #SUBJECT#\nRspamdActions=0\n"));
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

// The filter asking rspamd itself, behind a balancer at 127.0.0.2.
class RspamdEnvelope : public RspamdRelay {
protected:
  void Start(const std::string& keys = "") { // rspamd greylists clients outside 198.51.100.0/24
    Launch("", "[ProxyFrom]\n0=127.0.0.2\n[Heurastic]\nDoHeurastic=1\nThreshold=6\nRspamdUrl=" + SharedRspamd().Url() +
                   "\n" + keys);
  }
  // One message from client (through the balancer) and sender; the reply to its data.
  std::string SendFrom(const std::string& client, const std::string& sender, const std::string& data) {
    TRawSmtpClient connection(Port, "127.0.0.1", "127.0.0.2");
    connection.SendRaw("PROXY TCP4 " + client + " 127.0.0.1 40000 25\r\n");
    connection.Reply();
    connection.Command("EHLO mail.client.test");
    connection.Command("MAIL FROM:<" + sender + ">");
    connection.Command("RCPT TO:<rcpt@example.org>");
    connection.Command("DATA");
    connection.SendRaw(data + ".\r\n");
    return connection.Reply(30000);
  }
  // A message whose From header is in the sender's domain; the id makes its body its own.
  static std::string MailFrom(const std::string& sender, const std::string& id) {
    return "From: <" + sender + ">\r\nTo: rcpt@example.org\r\nSubject: Minutes\r\nMessage-Id: <" + id +
           "@client.test>\r\nDate: Mon, 2 Jan 2023 10:00:00 +0000\r\n\r\nThe minutes of Thursday's meeting (" + id +
           ").\r\n";
  }
  void Spf(const std::string& domain, const std::string& record) {
    SharedRspamd().Dns().Script(domain, {TDnsAnswer::Texts, {record}});
  }
};

TEST_F(RspamdEnvelope, SpfFailsOrPassesOnTheClientOfTheProxyHeaderAndAuthenticationResultsGoOn) {
  Spf("refused.test", "v=spf1 ip4:192.0.2.1 -all");
  Spf("allowed.test", "v=spf1 ip4:198.51.100.20 -all");
  Start("RspamdActions=0\n");
  EXPECT_EQ(SendFrom("198.51.100.20", "sender@refused.test", MailFrom("sender@refused.test", "spf-fail")),
            "250 Ok\r\n");
  EXPECT_EQ(SendFrom("198.51.100.20", "sender@allowed.test",
                     "Authentication-Results: filter.test; spf=pass (forged)\r\n" +
                         MailFrom("sender@allowed.test", "spf-allow")),
            "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_NE(mails[0].Data.find("R_SPF_FAIL"), std::string::npos) << mails[0].Data;
  const std::string& allowed = mails[1].Data;
  EXPECT_NE(allowed.find("R_SPF_ALLOW"), std::string::npos) << allowed;
  // rspamd's Authentication-Results, named by MailHostName, replace the one the client sent.
  EXPECT_NE(allowed.find("\r\nAuthentication-Results: filter.test;"), std::string::npos) << allowed;
  EXPECT_NE(allowed.find("spf=pass"), std::string::npos) << allowed;
  EXPECT_EQ(allowed.find("(forged)"), std::string::npos) << allowed;
}

TEST_F(RspamdEnvelope, DmarcRejectAndGtubeAreRefusedWith554) {
  Spf("dmarc.test", "v=spf1 ip4:192.0.2.1 -all");
  SharedRspamd().Dns().Script("_dmarc.dmarc.test", {TDnsAnswer::Texts, {"v=DMARC1; p=reject"}});
  Start("[Debug]\nAcceptance=1\n");
  const std::string reply = SendFrom("198.51.100.21", "sender@dmarc.test", MailFrom("sender@dmarc.test", "dmarc"));
  // rspamd gives no text of its own for a DMARC reject.
  EXPECT_EQ(reply, "554 5.7.1 Quibo dederazu says: Message refused as spam\r\n");
  EXPECT_NE(SharedRspamd().Log().find("DMARC_POLICY_REJECT"), std::string::npos);
  EXPECT_EQ(Send(kGtubeMail), "554 5.7.1 Quibo dederazu says: Gtube pattern\r\n");
  EXPECT_TRUE(NextHop.Mails().empty());
  EXPECT_TRUE(Quibo->LogContains("rspamd's action reject: 554 5.7.1 Quibo dederazu says: Gtube pattern"));
}

TEST_F(RspamdEnvelope, GreylistedFirstAndTakenAfterTheTimeout) {
  Start();
  const std::string mail = MailFrom("sender@example.net", "greylisted");
  const std::string first = SendFrom("203.0.113.22", "sender@example.net", mail);
  EXPECT_EQ(first.rfind("451 4.7.1 Quibo dederazu says: Try again later", 0), 0u) << first;
  EXPECT_TRUE(NextHop.Mails().empty());
  std::this_thread::sleep_for(std::chrono::seconds(TRspamd::kGreylistSeconds + 1));
  EXPECT_EQ(SendFrom("203.0.113.22", "sender@example.net", mail), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
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
