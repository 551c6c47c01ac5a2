// What the sender hears when the next hop, the sender, the scanner or the
// classifier misbehave, and what reaches the next hop then: never a 2xx for a
// message the next hop did not take, nothing relayed for a sender who is gone,
// no child left behind.
#include "TRelayFixture.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>

using namespace quibo::test;

namespace {

const std::string kMessage = "From: Author <author@example.com>\r\nSubject: Hello\r\n\r\nbody\r\n";

size_t CountOf(const std::vector<std::string>& commands, const std::string& command) {
  return static_cast<size_t>(std::count(commands.begin(), commands.end(), command));
}

} // namespace

TEST_F(Relay, UnexpectedSuccessCodesNeverReachTheSender) {
  struct TCase {
    const char* Step;
    std::string Command; // the command whose reply is replaced ("" the greeting)
    std::string Reply;
  };
  const std::vector<TCase> cases = {
      {"greeting 250", "", "250 nexthop.test hello"},
      {"MAIL 251", "MAIL FROM:<envelope@example.com>", "251 2.1.0 Ok"},
      {"DATA 250", "DATA", "250 2.0.0 Ok"},
      {"final dot 221", ".", "221 2.0.0 Bye"},
      {"final dot 354", ".", "354 again"},
      {"RCPT 252", "RCPT TO:<rcpt@example.org>", "252 2.1.5 Cannot verify"},
  };
  std::mutex lock;
  const TCase* current = nullptr;
  NextHop.SetAnswer([&](const std::string& command) {
    std::lock_guard guard(lock);
    return current && command == current->Command ? current->Reply : std::string();
  });
  Launch("RecipientCheck=end\n");
  for (const auto& step : cases) {
    {
      std::lock_guard guard(lock);
      current = &step;
    }
    NextHop.SetGreeting(step.Command.empty() ? step.Reply : "220 nexthop.test ESMTP");
    const std::string reply = Send(kMessage);
    EXPECT_EQ(reply.rfind("451 Quibo dederazu says:Unexpected reply ", 0), 0u) << step.Step << ": " << reply;
    EXPECT_TRUE(Client->ClosedByServer()) << step.Step;
    EXPECT_TRUE(NextHop.Mails().empty()) << step.Step;
  }
  EXPECT_TRUE(NextHop.Mails().empty());

  // HELO after a refused EHLO must be answered 250 too (a new filter: no kept connection).
  Quibo.reset();
  NextHop.SetGreeting("220 nexthop.test ESMTP");
  const TCase helo{"HELO 220", "HELO filter.test", "220 odd"};
  const TCase ehlo{"EHLO 502", "EHLO filter.test", "502 5.5.2 no"};
  // By value: the next hop may still answer QUIT after this body has ended.
  NextHop.SetAnswer([helo, ehlo](const std::string& command) {
    return command == helo.Command ? helo.Reply : command == ehlo.Command ? ehlo.Reply : std::string();
  });
  Launch("RecipientCheck=end\n");
  EXPECT_EQ(Send(kMessage), "451 Quibo dederazu says:Unexpected reply 220 from the next server\r\n");
  EXPECT_TRUE(Quibo->LogContains("Quibo heard: 220 odd"));
}

TEST_F(Relay, RecipientRefusalsAndWhichOneTheSenderHears) {
  // Every recipient greylisted: no DATA, and a retry can still deliver.
  NextHop.SetAnswer([](const std::string& command) {
    return command.rfind("RCPT", 0) == 0 ? "450 4.2.0 Greylisted, try again" : "";
  });
  Launch("RecipientCheck=end\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org", "b@example.org"}),
            "450 Quibo dederazu says:4.2.0 Greylisted, try again\r\n");
  EXPECT_EQ(CountOf(NextHop.Commands(), "DATA"), 0u);
  EXPECT_TRUE(NextHop.Mails().empty());

  // A temporary refusal outranks a permanent one, in either order; the accepted recipient gets the message.
  NextHop.SetAnswer([](const std::string& command) {
    if (command == "RCPT TO:<temp@example.org>") return "451 4.3.0 Try later";
    if (command == "RCPT TO:<gone@example.org>") return "550 5.1.1 No such user";
    return "";
  });
  for (const auto& recipients : {std::vector<std::string>{"temp@example.org", "gone@example.org", "ok@example.org"},
                                 std::vector<std::string>{"ok@example.org", "gone@example.org", "temp@example.org"}})
    EXPECT_EQ(Send(kMessage, recipients), "451 Quibo dederazu says:4.3.0 Try later\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].Recipients, std::vector<std::string>{"<ok@example.org>"});
}

TEST_F(Relay, EnvelopeSenderIsTheSessionsMailFrom) {
  NextHop.Pipelining = true;
  Launch("RecipientCheck=end\n");
  EnvelopeSender = "";
  EXPECT_EQ(Send("From: Mailer Daemon <mailer-daemon@example.com>\r\nSubject: bounce\r\n\r\nbody\r\n"), "250 Ok\r\n");
  // A From header cannot put parameters into the next hop's MAIL command.
  EnvelopeSender = "envelope@example.com";
  EXPECT_EQ(Send("From: attacker@evil.example> AUTH=postmaster@local.example\r\n\r\nbody\r\n"), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].From, "<>");
  EXPECT_EQ(mails[1].From, "<envelope@example.com>");
  EXPECT_EQ(CountOf(NextHop.Commands(), "MAIL FROM:<envelope@example.com>"), 1u);
}

TEST_F(Relay, OneServerOnTwoPortsIsTwoDestinations) {
  TFakeNextHop other;
  Launch("MultipleMailForwarding=1\n", "[Forward]\n2=example.net,127.0.0.1," + std::to_string(other.Port()) + "\n");
  EXPECT_EQ(Send(kMessage, {"a@example.org", "b@example.net"}), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, std::vector<std::string>{"<a@example.org>"});
  ASSERT_EQ(other.Mails().size(), 1u);
  EXPECT_EQ(other.Mails()[0].Recipients, std::vector<std::string>{"<b@example.net>"});
}

TEST_F(Relay, NothingIsRelayedForASenderWhoHungUp) {
  WriteScript("HCheck", "touch scoring; sleep 2; echo '1|SLOW|'\n");
  Launch("RecipientCheck=end\n", "[Heurastic]\nDoHeurastic=1\n");
  Transmit(kMessage);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Home.path() / "scoring"); }));
  Client.reset(); // the sender gives up while the classifier runs
  EXPECT_TRUE(Quibo->LogContains("Sender disconnected before the relay: message not relayed"));
  EXPECT_EQ(NextHop.Connections(), 0);
}

TEST_F(Relay, EndOfDataTimeoutBoundsTheChecks) {
  WriteScript("HCheck", "sleep 5; echo '1|SLOW|'\n");
  Launch("RecipientCheck=end\nEndOfDataTimeout=1\n", "[Heurastic]\nDoHeurastic=1\n");
  EXPECT_EQ(Send(kMessage), "451 Quibo dederazu says: Message could not be processed in time, try again later\r\n");
  EXPECT_TRUE(Quibo->LogContains("Classifier failed: not tested"));
  EXPECT_EQ(NextHop.Connections(), 0);
}

TEST_F(Relay, HungScannerIsKilledWithWhatItStarted) {
  WriteScript("scanner", "sleep 60 & echo $! > scanner-child.pid; sleep 60\n");
  const std::string scan = "[VirusCheck]\nDoVirusCheck=1\nVirusCheckTimeOut=500\nVirusProgram=./scanner \"%s\"\n";
  Launch("", scan);
  EXPECT_EQ(Send(kMessage), "250 Ok\r\n"); // by default an unchecked message goes on
  EXPECT_TRUE(Quibo->LogContains("Virus scan failed: timed out"));
  EXPECT_EQ(NextHop.Mails().size(), 1u);
  ASSERT_TRUE(std::filesystem::exists(Home.path() / "scanner-child.pid"));
  EXPECT_TRUE(WaitFor([&] { return !ProcessInFileAlive(Home.path() / "scanner-child.pid"); }));

  Quibo.reset();
  Launch("DeferUncheckedMail=1\n", scan);
  EXPECT_EQ(Send(kMessage), "451 Quibo dederazu says: Message could not be checked, try again later\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);

  Quibo.reset();
  Launch("DeferUncheckedMail=1\n", "[VirusCheck]\nDoVirusCheck=1\nVirusProgram=./missing-scanner \"%s\"\n");
  EXPECT_EQ(Send(kMessage), "451 Quibo dederazu says: Message could not be checked, try again later\r\n");
  EXPECT_TRUE(Quibo->LogContains("Virus scan failed: could not run: No such file or directory"));
}

TEST_F(Relay, StopLetsWaitingTransfersFinish) {
  constexpr int kSenders = 20;
  std::atomic<int> waiting{0};
  // The next hop holds every message until the filter has begun to stop; the stop wait is only a hang guard.
  std::promise<void> stopping;
  const std::shared_future<void> stopBegun = stopping.get_future().share();
  NextHop.SetAnswer([&, stopBegun](const std::string& command) {
    if (command != ".") return std::string();
    ++waiting;
    stopBegun.wait();
    return std::string();
  });
  Launch("RecipientCheck=end\nForwardTimeout=120\nTerminateWaitTime=120000\n");
  std::vector<std::string> replies(kSenders);
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i)
    senders.emplace_back([&, i] {
      TRawSmtpClient client(Port);
      client.Reply();
      client.Command("HELO sender" + std::to_string(i));
      client.Command("MAIL FROM:<s" + std::to_string(i) + "@example.com>");
      client.Command("RCPT TO:<rcpt@example.org>");
      client.Command("DATA");
      client.SendRaw(kMessage + ".\r\n");
      replies[static_cast<size_t>(i)] = client.Reply(120000);
    });
  // No early returns: the hop is released and the senders and the stop are joined below.
  EXPECT_TRUE(WaitFor([&] { return waiting.load() == kSenders; }));
  int status = -1;
  std::thread stop([&] { status = Quibo->Stop(); });
  EXPECT_TRUE(Quibo->LogContains("Waiting for 20 messages in progress"));
  stopping.set_value();
  stop.join();
  for (auto& sender : senders)
    sender.join();
  EXPECT_EQ(status, 0);
  for (const auto& reply : replies)
    EXPECT_EQ(reply, "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), static_cast<size_t>(kSenders));
}

TEST_F(Relay, StopCutsAHungClassifierAndItsChildren) {
  WriteScript("HCheck", "sleep 120 & echo $! > classifier-child.pid; sleep 120\n");
  Launch("RecipientCheck=end\nTerminateWaitTime=1000\n", "[Heurastic]\nDoHeurastic=1\nHeurasticCheckTimeOut=120000\n");
  Transmit(kMessage);
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(Home.path() / "classifier-child.pid").empty(); }));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Quibo->Stop(), 0);
  // Far below the classifier's own two minutes: the forced stop ended it.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_TRUE(WaitFor([&] { return !ProcessInFileAlive(Home.path() / "classifier-child.pid"); }));
  EXPECT_EQ(NextHop.Connections(), 0);
}

TEST_F(Relay, StopCutsAHungRspamdRequest) {
  // rspamd's port takes the connection and the request, and never answers.
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  Launch("RecipientCheck=end\nTerminateWaitTime=1000\n",
         "[Heurastic]\nDoHeurastic=1\nHeurasticCheckTimeOut=120000\nRspamdUrl=" + url + "\n[Debug]\nDebug=1\n");
  Transmit(kMessage);
  ASSERT_TRUE(
      WaitFor([&] { return ReadFile(Home.path() / "log" / "Debug.log").find("Asking rspamd") != std::string::npos; }));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Quibo->Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)); // not the two minutes
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_EQ(NextHop.Connections(), 0);
  ::close(silent);
}

TEST_F(Relay, ForcedDisconnectDuringARelayKeepsTheListenerUsable) {
  NextHop.NeverAnswer = true;
  Launch("RecipientCheck=end\nForwardTimeout=60\nTerminateWaitTime=300\n");
  Transmit(kMessage);
  ASSERT_TRUE(WaitFor([&] { return NextHop.Connections() == 1; }));
  // A new port in the settings file restarts the listener, cutting the relay.
  const int newPort = FreePort();
  WriteFile(Home.path() / "quibo.ini",
            ListenIni(newPort, "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(NextHop.Port()) + "\n"));
  std::filesystem::last_write_time(Home.path() / "quibo.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  Quibo->Signal(SIGHUP);
  EXPECT_TRUE(Client->ClosedByServer(10000));
  TRawSmtpClient after;
  ASSERT_TRUE(WaitFor([&] { return after.Connect(newPort); }));
  EXPECT_EQ(after.Reply(), kGreeting);
}

TEST_F(Relay, MessageFilesOfAKilledRunAreRemovedAtStart) {
  std::filesystem::create_directories(Home.path() / "temp");
  WriteFile(Home.path() / "temp" / "QuiboAb12Cd", "half a message\r\n");
  WriteFile(Home.path() / "temp" / "QuiboEf34Gh", "another\r\n");
  WriteFile(Home.path() / "temp" / "notes.txt", "not ours\r\n");
  Launch();
  EXPECT_TRUE(Quibo->LogContains("Removed 2 unfinished message files from temp/"));
  EXPECT_EQ(FilesIn(Home.path() / "temp"), std::vector<std::filesystem::path>{Home.path() / "temp" / "notes.txt"});
}

TEST_F(Relay, ConnectionsToTheNextHopAreKeptAndReplacedWhenDropped) {
  Launch("RecipientCheck=end\n", "[Debug]\nAcceptance=1\n");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Send(kMessage), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Connections(), 1); // greeted once, three transactions
  EXPECT_EQ(CountOf(NextHop.Commands(), "RSET"), 2u); // each on the kept connection begins with RSET
  // A kept connection the next hop has given up: a new one carries the message, the sender never knows.
  NextHop.HangUpAtRset = 1;
  EXPECT_EQ(Send(kMessage), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Connections(), 2);
  EXPECT_EQ(NextHop.Mails().size(), 4u);
  // Every message still counts as one relay connection in the log (and the statistics).
  const std::string log = Quibo->MainLog();
  size_t connected = 0;
  for (size_t at = log.find("SMTP Client connected to"); at != std::string::npos;
       at = log.find("SMTP Client connected to", at + 1))
    ++connected;
  EXPECT_EQ(connected, 4u); // once per message, the replaced connection's too
}

TEST_F(Relay, AKeptConnectionIsClosedWithQuitWhenItsIdleLimitHasPassed) {
  Launch();
  EXPECT_EQ(Send(kMessage), "250 Ok\r\n");
  // No later message comes to take or return it: the filter closes it by itself.
  EXPECT_TRUE(WaitFor([&] { return CountOf(NextHop.Commands(), "QUIT") == 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(NextHop.Connections(), 1);
}
