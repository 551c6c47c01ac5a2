// Recipients asked of the next hop while the sender waits at RCPT: the sender
// hears each recipient's own answer, the message reaches exactly the
// recipients told 250 (once), and a message refused or lost after the data
// reaches nobody.
#include "TRelayFixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

using namespace quibo::test;

namespace {

const std::string kMessage = "From: Author <author@example.com>\r\nSubject: Hello\r\n\r\nbody\r\n";
const std::string kStartData = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";
const std::string kNoRecipient = "503 Polite people say Helo first\r\n";

std::string Okay(const std::string& address) { return "250 " + address + " Address Okay\r\n"; }

size_t CountOf(const std::vector<std::string>& commands, const std::string& command) {
  return static_cast<size_t>(std::count(commands.begin(), commands.end(), command));
}

class LiveRelay : public Relay {
protected:
  std::string Rcpt(const std::string& address) { return Client->Command("RCPT TO:<" + address + ">"); }
  // The data after the recipients; the reply to its end.
  std::string Data() {
    EXPECT_EQ(Client->Command("DATA"), kStartData);
    Client->SendRaw(kMessage + ".\r\n");
    return Client->Reply(10000);
  }
};

} // namespace

TEST_F(LiveRelay, ARefusedRecipientIsHeardAtRcptAndTheOthersGetTheMessageOnce) {
  for (const std::string refusal : {"550 5.1.1 <b@example.org>: no such user", "450 4.2.0 <b@example.org>: busy"}) {
    NextHop.SetAnswer([refusal](const std::string& command) {
      return command == "RCPT TO:<b@example.org>" ? refusal : std::string();
    });
    if (!Quibo) Launch();
    const size_t before = NextHop.Mails().size();
    StartTransaction();
    EXPECT_EQ(Rcpt("a@example.org"), Okay("a@example.org"));
    EXPECT_EQ(Rcpt("b@example.org"), refusal.substr(0, 4) + "Quibo dederazu says:" + refusal.substr(4) + "\r\n");
    EXPECT_EQ(Rcpt("c@example.org"), Okay("c@example.org"));
    EXPECT_EQ(Data(), "250 Ok\r\n");
    const auto mails = NextHop.Mails();
    ASSERT_EQ(mails.size(), before + 1);
    EXPECT_EQ(mails.back().Recipients, (std::vector<std::string>{"<a@example.org>", "<c@example.org>"}));
  }
  EXPECT_EQ(NextHop.Connections(), 1); // one connection, kept between the transactions
}

TEST_F(LiveRelay, ARefusedMailOrEveryRecipientRefusedRelaysNothing) {
  NextHop.SetAnswer([](const std::string& command) {
    if (command.rfind("MAIL FROM:<blocked@", 0) == 0) return std::string("550 5.7.1 sender blocked");
    return command.rfind("RCPT", 0) == 0 ? std::string("550 5.1.1 no such user") : std::string();
  });
  Launch();
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), "550 Quibo dederazu says:5.1.1 no such user\r\n");
  EXPECT_EQ(Rcpt("b@example.org"), "550 Quibo dederazu says:5.1.1 no such user\r\n");
  EXPECT_EQ(Client->Command("DATA"), kNoRecipient);
  // The sender the next hop refuses: each recipient hears the refusal of MAIL.
  EnvelopeSender = "blocked@example.com";
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), "550 Quibo dederazu says:5.7.1 sender blocked\r\n");
  EXPECT_EQ(Rcpt("b@example.org"), "550 Quibo dederazu says:5.7.1 sender blocked\r\n");
  EXPECT_EQ(Client->Command("DATA"), kNoRecipient);
  EXPECT_TRUE(NextHop.Mails().empty());
  EXPECT_EQ(CountOf(NextHop.Commands(), "DATA"), 0u);
}

TEST_F(LiveRelay, TwoDestinationsOneRefusing) {
  TFakeNextHop other;
  other.SetAnswer([](const std::string& command) {
    return command.rfind("RCPT", 0) == 0 ? std::string("550 5.1.1 unknown here") : std::string();
  });
  Launch("MultipleMailForwarding=1\n", "[Forward]\n2=example.net,127.0.0.1," + std::to_string(other.Port()) + "\n");
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), Okay("a@example.org"));
  EXPECT_EQ(Rcpt("b@example.net"), "550 Quibo dederazu says:5.1.1 unknown here\r\n");
  EXPECT_EQ(Data(), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, std::vector<std::string>{"<a@example.org>"});
  EXPECT_TRUE(other.Mails().empty());
  EXPECT_EQ(CountOf(other.Commands(), "DATA"), 0u);
}

TEST_F(LiveRelay, AVirusFoundAfterRcptResetsTheNextHopWhichServesTheNextMessage) {
  WriteScript("scan", "grep -q EICAR-STANDARD \"$1\" && exit 1; exit 0\n");
  Launch("", "[VirusCheck]\nDoVirusCheck=1\nResultCode=1\nVirusProgram=" + (Home.path() / "scan").string() + " %s\n");
  EXPECT_EQ(Send("Subject: test\r\n\r\n" + kEicar + "\r\n"),
            "541 Quibo dederazu says: Message cannot be accepted: Virus Found!\r\n");
  EXPECT_TRUE(WaitFor([&] { return CountOf(NextHop.Commands(), "RSET") == 1; }));
  EXPECT_TRUE(NextHop.Mails().empty());
  EXPECT_EQ(Send("Subject: clean\r\n\r\nnothing to see\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: clean"), std::string::npos);
  EXPECT_EQ(NextHop.Connections(), 1); // the reset connection was kept and served the clean message
}

TEST_F(LiveRelay, AConnectionLostBeforeTheDataIsReplayedOrTheMessageDeferred) {
  Launch();
  NextHop.HangUpAfterRcpt = 1;
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), Okay("a@example.org"));
  EXPECT_TRUE(WaitFor(
      [&] { return NextHop.Connections() == 1 && CountOf(NextHop.Commands(), "RCPT TO:<a@example.org>") == 1; }));
  EXPECT_EQ(Data(), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, std::vector<std::string>{"<a@example.org>"});
  EXPECT_EQ(NextHop.Connections(), 2);
  EXPECT_TRUE(Quibo->LogContains("lost: the transaction is replayed"));

  // The replayed recipient is refused on the new connection: nothing is delivered, the sender retries.
  NextHop.HangUpAfterRcpt = 1;
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), Okay("a@example.org"));
  EXPECT_EQ(Rcpt("b@example.org"), Okay("b@example.org")); // on a new connection, with a@ replayed
  NextHop.SetAnswer([](const std::string& command) {
    return command == "RCPT TO:<b@example.org>" ? std::string("450 4.2.0 busy now") : std::string();
  });
  NextHop.HangUpAfterRcpt = 1;
  Rcpt("c@example.org");
  const std::string reply = Data();
  EXPECT_EQ(reply.rfind("451 Quibo dederazu says:", 0), 0u) << reply;
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(LiveRelay, APipelinedEnvelopeIsAnsweredInOrder) {
  NextHop.Pipelining = true;
  NextHop.SetAnswer([](const std::string& command) {
    return command == "RCPT TO:<b@example.org>" ? std::string("550 5.1.1 no such user") : std::string();
  });
  Launch();
  Client = std::make_unique<TRawSmtpClient>(Port);
  Client->Reply();
  Client->Command("EHLO client.test");
  Client->SendRaw("MAIL FROM:<" + EnvelopeSender +
                  ">\r\nRCPT TO:<a@example.org>\r\nRCPT TO:<b@example.org>\r\n"
                  "RCPT TO:<c@example.org>\r\nDATA\r\n");
  std::string replies;
  while (replies.find("354 ") == std::string::npos) {
    const std::string reply = Client->Reply();
    if (reply.empty()) break;
    replies += reply;
  }
  EXPECT_EQ(replies, "250 " + EnvelopeSender + " Address Okay\r\n" + Okay("a@example.org") +
                         "550 Quibo dederazu says:5.1.1 no such user\r\n" + Okay("c@example.org") + kStartData);
  Client->SendRaw(kMessage + ".\r\n");
  EXPECT_EQ(Client->Reply(10000), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, (std::vector<std::string>{"<a@example.org>", "<c@example.org>"}));
  // The sender's group reached the next server as one group.
  const auto pipelined = NextHop.PipelinedCommands();
  EXPECT_EQ(CountOf(pipelined, "RCPT TO:<a@example.org>") + CountOf(pipelined, "RCPT TO:<b@example.org>"), 2u);
}

TEST_F(LiveRelay, AnOpenTransactionIsKeptAliveWhileTheSenderWaits) {
  Launch(); // ForwardTimeout=2: a NOOP after two thirds of a second of silence
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), Okay("a@example.org"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  EXPECT_GE(CountOf(NextHop.Commands(), "NOOP"), 1u); // while the sender said nothing
  EXPECT_EQ(Data(), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Connections(), 1);
}

TEST_F(LiveRelay, AHarvestEndsAfterMaxRefusedRecipients) {
  NextHop.SetAnswer([](const std::string& command) {
    return command.rfind("RCPT", 0) == 0 ? std::string("550 5.1.1 no such user") : std::string();
  });
  Launch("MaxRefusedRecipients=3\n");
  StartTransaction();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Rcpt("guess" + std::to_string(i) + "@example.org"), "550 Quibo dederazu says:5.1.1 no such user\r\n");
  EXPECT_EQ(Rcpt("guess3@example.org"), "421 Quibo dederazu says: Too many unknown recipients\r\n");
  EXPECT_TRUE(Client->ClosedByServer());

  // Pipelined guesses are asked in parts: the next server hears no more than the bound lets through.
  const auto rcpts = [this] {
    const auto commands = NextHop.Commands();
    return std::count_if(commands.begin(), commands.end(), [](const auto& c) { return c.rfind("RCPT", 0) == 0; });
  };
  const auto before = rcpts();
  StartTransaction();
  std::string guesses;
  for (int i = 0; i < 8; ++i)
    guesses += "RCPT TO:<pipelined" + std::to_string(i) + "@example.org>\r\n";
  Client->SendRaw(guesses);
  std::string replies;
  for (std::string reply; !(reply = Client->Reply()).empty();)
    replies += reply;
  const std::string refused = "550 Quibo dederazu says:5.1.1 no such user\r\n";
  EXPECT_EQ(replies, refused + refused + refused + "421 Quibo dederazu says: Too many unknown recipients\r\n");
  EXPECT_EQ(rcpts() - before, 4);
}

TEST_F(LiveRelay, AStopWithTransactionsOpenDeliversNothingUnacknowledged) {
  Launch();
  StartTransaction();
  EXPECT_EQ(Rcpt("a@example.org"), Okay("a@example.org"));
  EXPECT_EQ(Quibo->Stop(), 0);
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_TRUE(NextHop.Mails().empty());
  EXPECT_EQ(CountOf(NextHop.Commands(), "DATA"), 0u);
}
