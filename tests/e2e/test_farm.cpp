// A farm behind real HAProxy: two filters on loopback ports behind one
// balancer that sends them PROXY v2 headers and checks them with SMTP health
// checks. Mail through the balancer reaches the next hop; the filters see
// and check the client's own address; and a filter stopped with SIGTERM in
// the middle of a stream of messages loses none of those it took.
#include "TRelayFixture.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <set>
#include <thread>

using namespace quibo::test;

namespace {

// The balancer connects to the filters from this address; the clients come from others.
const std::string kBalancer = "127.0.0.2";

class Farm : public ::testing::Test {
protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      const std::string ini =
          ListenIni(0, "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(NextHop.Port()) +
                           "\nMailHostName=filter" + std::to_string(i) +
                           ".test\nForwardTimeout=5\nForward=0\nModifySubject=0\nTerminateWaitTime=5000\n") +
          "[Debug]\nAcceptance=1\n[ProxyFrom]\n0=" + kBalancer + "\n[ManualBlacklist]\n0=127.0.0.5\n" + kLocalRelay;
      Filters[i] = std::make_unique<TQuiboProcess>(Homes[i].path(), ini, 0);
      ASSERT_TRUE(Filters[i]->WaitListening()) << Filters[i]->MainLog();
    }
    FrontPort = FreePort();
    const auto config = Balancer.path() / "haproxy.cfg";
    WriteFile(config, "global\n  maxconn 256\n"
                      "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 30s\n  timeout server 30s\n"
                      "  retries 3\n  option redispatch\n"
                      "frontend smtp\n  bind 127.0.0.1:" +
                          std::to_string(FrontPort) +
                          "\n  default_backend filters\n"
                          "backend filters\n  balance roundrobin\n  option smtpchk EHLO balancer.test\n"
                          "  default-server send-proxy-v2 check check-send-proxy inter 200 fall 1 rise 2 source " +
                          kBalancer + "\n  server filter0 127.0.0.1:" + std::to_string(Filters[0]->Port) +
                          "\n  server filter1 127.0.0.1:" + std::to_string(Filters[1]->Port) + "\n");
    std::string out, err;
    ASSERT_EQ(RunProgram({"haproxy", "-c", "-f", config.string()}, &out, &err), 0) << out << err;
    Haproxy = StartProgram({"haproxy", "-db", "-f", config.string()}, Balancer.path() / "out.txt",
                           Balancer.path() / "err.txt");
    ASSERT_GT(Haproxy, 0);
    ASSERT_TRUE(WaitFor([this] {
      TRawSmtpClient probe(FrontPort);
      return probe.Reply() == kGreeting;
    })) << ReadFile(Balancer.path() / "err.txt");
  }
  void TearDown() override {
    if (Haproxy > 0) {
      ::kill(Haproxy, SIGTERM);
      ::waitpid(Haproxy, nullptr, 0);
    }
  }
  // One message through the balancer from a client address; the reply to its end of data ("" when cut off).
  std::string SendThrough(const std::string& subject, const std::string& from = "127.0.0.1") {
    TRawSmtpClient client(FrontPort, "127.0.0.1", from);
    if (client.Reply() != kGreeting) return "";
    client.Command("EHLO client.test");
    const std::string mail = client.Command("MAIL FROM:<sender@example.com>");
    if (mail.substr(0, 4) != "250 ") return mail;
    client.Command("RCPT TO:<rcpt@example.org>");
    if (client.Command("DATA").substr(0, 4) != "354 ") return "";
    client.SendRaw("Subject: " + subject + "\r\n\r\nbody\r\n.\r\n");
    const std::string reply = client.Reply(10000);
    client.Command("QUIT");
    return reply;
  }
  std::set<std::string> SubjectsAtTheNextHop() {
    std::set<std::string> subjects;
    for (const auto& mail : NextHop.Mails()) {
      const auto at = mail.Data.find("Subject: ");
      subjects.insert(mail.Data.substr(at + 9, mail.Data.find("\r\n", at) - at - 9));
    }
    return subjects;
  }
  std::string BothLogs() { return Filters[0]->MainLog() + Filters[1]->MainLog(); }

  TFakeNextHop NextHop;
  TTempFolder Homes[2];
  TTempFolder Balancer;
  std::unique_ptr<TQuiboProcess> Filters[2];
  int FrontPort = 0;
  pid_t Haproxy = -1;
};

} // namespace

TEST_F(Farm, MailThroughTheBalancerIsCheckedAgainstTheClientsOwnAddress) {
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(SendThrough("message " + std::to_string(i)), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 4u);
  for (const auto& mail : NextHop.Mails())
    EXPECT_NE(mail.Data.find("([127.0.0.1])"), std::string::npos) << mail.Data;
  // Both filters served, each logging the client with the balancer beside it.
  for (const auto& filter : Filters)
    EXPECT_TRUE(filter->LogContains("127.0.0.1 SMTP Server connect through " + kBalancer)) << filter->MainLog();

  EXPECT_EQ(SendThrough("listed", "127.0.0.5"),
            "521 Quibo dederazu says: Host (127.0.0.5) is manually blacklisted\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 4u);
  // The balancer's health checks are neither sessions in the log nor refused headers.
  EXPECT_EQ(BothLogs().find(kBalancer + " SMTP Server connect"), std::string::npos);
  EXPECT_EQ(BothLogs().find("PROXY header refused"), std::string::npos);
}

TEST_F(Farm, AFilterStoppedInTheMiddleOfAStreamLosesNothing) {
  // Four senders at once, so that the stopped filter has sessions at every stage when the signal comes.
  constexpr int kSenders = 4, kEach = 15;
  std::mutex lock;
  std::set<std::string> acknowledged;
  std::atomic<int> done{0};
  std::vector<std::thread> senders;
  for (int sender = 0; sender < kSenders; ++sender)
    senders.emplace_back([&, sender] {
      for (int i = 0; i < kEach; ++i) {
        const std::string subject = "stream " + std::to_string(sender) + "." + std::to_string(i);
        for (int attempt = 0; attempt < 50; ++attempt) {
          const std::string reply = SendThrough(subject);
          if (reply == "250 Ok\r\n") {
            std::lock_guard guard(lock);
            acknowledged.insert(subject);
            break;
          }
          // Anything else must be what a sending server retries: a 4xx, or a cut or refused connection.
          EXPECT_TRUE(reply.empty() || reply[0] == '4') << reply;
        }
        ++done;
      }
    });
  ASSERT_TRUE(WaitFor([&] { return done.load() >= kSenders * kEach / 4; }));
  Filters[0]->Signal(SIGTERM); // it drains and exits while the stream goes on through the other
  for (auto& sender : senders)
    sender.join();

  EXPECT_EQ(acknowledged.size(), size_t(kSenders * kEach));
  const auto relayed = SubjectsAtTheNextHop();
  for (const auto& subject : acknowledged)
    EXPECT_TRUE(relayed.count(subject)) << subject << " was acknowledged but never relayed";
  EXPECT_EQ(Filters[0]->Stop(), 0);
  EXPECT_TRUE(Filters[1]->Running());
}
