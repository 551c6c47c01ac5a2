#include "TRelayFixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sys/stat.h>

using namespace quibo::test;

namespace {

const std::string kMessage = "From: Author <author@example.com>\r\nSubject: Hello\r\nMessage-Id: <id1@example.com>\r\n"
                             "\r\nFirst line\r\n..stuffed line\r\n\r\nLast line\r\n";

} // namespace

TEST_F(Relay, MessageReachesTheNextHopWithTraceAndStatusHeaders) {
  Launch("", "[Debug]\nAcceptance=1\nSMTPClient=1\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org", "b@example.net"}), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].From, "<envelope@example.com>"); // the session's MAIL FROM, not the From header
  EXPECT_EQ(mails[0].Recipients, (std::vector<std::string>{"<a@example.org>", "<b@example.net>"}));
  const std::string& data = mails[0].Data;
  EXPECT_EQ(data.rfind("Received: from ", 0), 0u) << data;
  EXPECT_NE(data.find(" ([127.0.0.1])\r\n\tby filter.test with SMTP id <id1@example.com>; \r\n\t"), std::string::npos);
  EXPECT_NE(data.find("From: Author <author@example.com>\r\nSubject: Hello\r\nMessage-Id: <id1@example.com>\r\n"
                      "X-Server: Quibo SMTP Server Version 1.0.0.1\r\nX-Spam-Status: Negative \r\n\r\n"
                      "First line\r\n..stuffed line\r\n\r\nLast line\r\n"),
            std::string::npos)
      << data;
  EXPECT_EQ(data.substr(data.size() - 11), "Last line\r\n");
  EXPECT_EQ(NextHop.Commands()[0], "EHLO filter.test");
  EXPECT_TRUE(Quibo->LogContains("] SMTP Client connected to 127.0.0.1"));
  EXPECT_TRUE(Quibo->LogContains("] Client sent: EHLO filter.test\r\n"));
  EXPECT_TRUE(Quibo->LogContains("] Client received: 220 nexthop.test ESMTP\r\n"));
  EXPECT_TRUE(Quibo->LogContains("Relaying allowed for author@example.com to a@example.org,b@example.net"));
  EXPECT_TRUE(Quibo->LogContains("] SMTP Client disconnected from 127.0.0.1"));
}

TEST_F(Relay, EachMessageIsFollowedThroughTheLogByItsTransactionId) {
  Launch("", "[Debug]\nAcceptance=1\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org"}), "250 Ok\r\n");
  EXPECT_EQ(Send(kMessage, {"b@example.org"}), "250 Ok\r\n");
  ASSERT_TRUE(Quibo->LogContains("sent to <b@example.org>"));
  // The relay line and the delivery line of one message carry the same id; the two messages differ.
  const std::regex line(R"(\] 127\.0\.0\.1 ([0-9A-F]{12}): (Relaying allowed|.* sent to <)[^\r]*?([ab])@example\.org)");
  std::map<std::string, std::set<std::string>> idsByRecipient;
  const std::string log = Quibo->MainLog();
  for (std::sregex_iterator match(log.begin(), log.end(), line), end; match != end; ++match)
    idsByRecipient[(*match)[3]].insert((*match)[1]);
  ASSERT_EQ(idsByRecipient["a"].size(), 1u) << log;
  ASSERT_EQ(idsByRecipient["b"].size(), 1u) << log;
  EXPECT_NE(*idsByRecipient["a"].begin(), *idsByRecipient["b"].begin());
}

TEST_F(Relay, RefusedRecipientIsReportedAfterTheOthersGotTheMessage) {
  NextHop.SetAnswer([](const std::string& command) {
    return command == "RCPT TO:<b@example.org>" ? "550 5.1.1 <b@example.org>: User unknown" : "";
  });
  Launch("RecipientCheck=end\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org", "b@example.org", "c@example.org"}),
            "550 Quibo dederazu says:5.1.1 <b@example.org>: User unknown\r\n");
  EXPECT_TRUE(Client->ClosedByServer());
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].Recipients, (std::vector<std::string>{"<a@example.org>", "<c@example.org>"}));
  EXPECT_TRUE(Quibo->LogContains("Quibo heard: 550 5.1.1 <b@example.org>: User unknown"));
}

TEST_F(Relay, PipelinedEnvelopeKeepsTheSameChecks) {
  NextHop.Pipelining = true;
  NextHop.SetAnswer(
      [](const std::string& command) { return command == "RCPT TO:<b@example.org>" ? "550 5.1.1 no such user" : ""; });
  Launch("RecipientCheck=end\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org"}), "250 Ok\r\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org", "b@example.org"}), "550 Quibo dederazu says:5.1.1 no such user\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[1].Recipients, std::vector<std::string>{"<a@example.org>"});
  EXPECT_NE(mails[1].Data.find("\r\nFirst line\r\n..stuffed line\r\n"), std::string::npos);

  // Nobody accepted: no DATA, and the sender hears the recipients' refusal.
  NextHop.SetAnswer([](const std::string& command) {
    return command.rfind("RCPT", 0) == 0 ? "550 5.1.1 no such user"
           : command == "DATA"           ? "554 5.5.1 Error: no valid recipients"
                                         : "";
  });
  EXPECT_EQ(Send(kMessage, {"a@example.org"}), "550 Quibo dederazu says:5.1.1 no such user\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 2u);
  const auto commands = NextHop.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DATA"), 2);
}

TEST_F(Relay, RefusalsOfTheNextHopKeepTheirCodes) {
  NextHop.SetAnswer([](const std::string& command) {
    return command.rfind("MAIL", 0) == 0 ? "452-4.3.1 Insufficient\r\n452 system storage" : "";
  });
  Launch("RecipientCheck=end\n");
  EXPECT_EQ(Send(kMessage), "452 Quibo dederazu says:4.3.1 Insufficient system storage\r\n");
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Relay, EhloRefusedFallsBackToHelo) {
  NextHop.SetAnswer([](const std::string& command) {
    return command.rfind("EHLO", 0) == 0 ? "502 5.5.2 Command not implemented" : "";
  });
  Launch();
  EXPECT_EQ(Send(kMessage), "250 Ok\r\n");
  const auto commands = NextHop.Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[1], "HELO filter.test");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(Relay, NoOkWhenTheNextHopDidNotTakeTheMessage) {
  NextHop.DropInData = true;
  Launch("RecipientCheck=end\n");
  const std::string dropped = Send(kMessage);
  EXPECT_EQ(dropped.rfind("451 Quibo dederazu says:", 0), 0u) << dropped;
  EXPECT_TRUE(Client->ClosedByServer());

  NextHop.DropInData = false;
  NextHop.NeverAnswer = true; // ForwardTimeout=2
  const std::string silent = Send(kMessage);
  EXPECT_EQ(silent.rfind("451 Quibo dederazu says:", 0), 0u) << silent;
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Relay, UnreachableNextHopIsATemporaryFailure) {
  const int closedPort = FreePort();
  Quibo = std::make_unique<TQuiboProcess>(
      Home.path(),
      ListenIni(0, "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(closedPort) + "\n") + kLocalRelay, 0);
  ASSERT_TRUE(Quibo->WaitListening());
  Port = Quibo->Port;
  // Asked at RCPT: the recipient is deferred, and the data has no recipient to go to.
  StartTransaction();
  EXPECT_EQ(Client->Command("RCPT TO:<rcpt@example.org>"), "451 Quibo dederazu says:Connection refused\r\n");
  EXPECT_EQ(Client->Command("DATA"), "503 Polite people say Helo first\r\n");
  // Asked at the end of the data, as before.
  Quibo.reset();
  Quibo = std::make_unique<TQuiboProcess>(
      Home.path(),
      ListenIni(0, "RecipientCheck=end\nOutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(closedPort) + "\n") +
          kLocalRelay,
      0);
  ASSERT_TRUE(Quibo->WaitListening());
  Port = Quibo->Port;
  EXPECT_EQ(Send(kMessage), "451 Quibo dederazu says:Connection refused\r\n");
}

TEST_F(Relay, DomainsGoToTheirForwarders) {
  TFakeNextHop other("127.0.0.2"); // groups are keyed by server address
  Launch("MultipleMailForwarding=1\n", "[Forward]\n2=example.net,127.0.0.2," + std::to_string(other.Port()) +
                                           "\n3=bad.example,mail.example.net,25\n4=port.example,127.0.0.1,x25\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org", "b@sub.EXAMPLE.net", "c@bad.example"}), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, (std::vector<std::string>{"<a@example.org>", "<c@bad.example>"}));
  ASSERT_EQ(other.Mails().size(), 1u);
  EXPECT_EQ(other.Mails()[0].Recipients, std::vector<std::string>{"<b@sub.EXAMPLE.net>"});
  EXPECT_TRUE(Quibo->LogContains("Invalid Ip number: mail.example.net"));
  EXPECT_TRUE(Quibo->LogContains("Invalid port number: x25"));
}

TEST_F(Relay, VirusFoundByClamscanIsRefused) {
  WriteFile(Home.path() / "eicar.ndb", kEicarSignature);
  ExpectEicarRefusedAndCleanMailRelayed("clamscan --no-summary -d \"" + (Home.path() / "eicar.ndb").string() +
                                        "\" \"%s\"");
}

TEST_F(Relay, ClassifierScoreMarksAndDrops) {
  WriteScript("HCheck", "echo '7.5|BAYES_99,URIBL|'\n");
  Launch("RecipientCheck=end\nSaveStatistics=1\n", "[Heurastic]\nDoHeurastic=1\nThreshold=7,5\nModifySubject=1\n"
                                                   "NewSubject=[SPAM] #subject#\nDropScore=9\nDropAtScore=1\n");
  EXPECT_EQ(Send("Subject: =?iso-8859-1?q?Gr=FC=DFe?=\r\n\r\nbody\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  const std::string data = NextHop.Mails()[0].Data;
  // The decoded subject is not ASCII: the new one is encoded again ("[SPAM] Grüße" in UTF-8).
  EXPECT_NE(data.find("Subject: =?UTF-8?B?W1NQQU1dIEdyw7zDn2U=?=\r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("X-Spam-Status: Positive \r\n"), std::string::npos);
  EXPECT_NE(data.find("X-Spam-Score: Hits: 7.5 Tests: BAYES_99,URIBL\r\n"), std::string::npos);

  WriteScript("HCheck", "echo '9|BAYES_99|'\n");
  EXPECT_EQ(Send("Subject: dropped\r\n\r\nbody\r\n"), "250 Ok\r\n"); // dropped on purpose
  EXPECT_TRUE(Quibo->LogContains("due to maximum score passing..."));
  EXPECT_EQ(NextHop.Mails().size(), 1u);

  EXPECT_EQ(Quibo->Stop(), 0);
  const std::string totals = ReadFile(Home.path() / "quibo.stat");
  ASSERT_EQ(totals.size(), 32u);
  EXPECT_EQ(totals[0], 3);  // Total: the start-up probe and two sessions
  EXPECT_EQ(totals[4], 2);  // Refused: one spam, one drop
  EXPECT_EQ(totals[8], 1);  // Passed: one relay connection
  EXPECT_EQ(totals[24], 1); // Heurastic
  EXPECT_EQ(totals[28], 1); // HeurasticDropped
}

TEST_F(Relay, MissingClassifierLeavesTheMessageUnmarked) {
  Launch("", "[Heurastic]\nDoHeurastic=1\nThreshold=0,5\n");
  EXPECT_EQ(Send("Subject: plain\r\n\r\nbody\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("X-Spam-Score: Hits: 0 Tests: not tested "), std::string::npos)
      << NextHop.Mails()[0].Data;
  EXPECT_NE(NextHop.Mails()[0].Data.find("X-Spam-Status: Negative \r\n"), std::string::npos);
}
