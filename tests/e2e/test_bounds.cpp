// Every size, time and count a client can push on the filter has a bound,
// and running into one gives a clear reply or a logged end, never a hang.
#include "TRelayFixture.h"

#include <chrono>
#include <sys/resource.h>

using namespace quibo::test;

namespace {

size_t OpenDescriptors(pid_t process) { return FilesIn("/proc/" + std::to_string(process) + "/fd").size(); }

void LimitOf(pid_t process, __rlimit_resource resource, rlim_t soft) {
  rlimit current{};
  ASSERT_EQ(::prlimit(process, resource, nullptr, &current), 0);
  current.rlim_cur = soft;
  ASSERT_EQ(::prlimit(process, resource, &current, nullptr), 0);
}

} // namespace

TEST_F(Relay, SlowClientsAreTimedOutPerLine) {
  Launch("ServerTimeout=2\n", "[Debug]\nAcceptance=1\n");
  // A command line that never ends, one byte at a time.
  TRawSmtpClient command(Port);
  command.Reply();
  // Inside DATA: each line has the same time.
  TRawSmtpClient data(Port);
  data.Reply();
  data.Command("HELO slow.test");
  data.Command("MAIL FROM:<envelope@example.com>");
  data.Command("RCPT TO:<rcpt@example.org>");
  EXPECT_EQ(data.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  // A byte whenever the server has not closed within a fraction of its time-out: were the time-out restarted by
  // each byte, both would stay open until the hang guard.
  bool commandOpen = true, dataOpen = true;
  const auto hangGuard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((commandOpen || dataOpen) && std::chrono::steady_clock::now() < hangGuard) {
    if (commandOpen) {
      command.SendRaw("H");
      commandOpen = !command.ClosedByServer(250);
    }
    if (dataOpen) {
      data.SendRaw("x");
      dataOpen = !data.ClosedByServer(250);
    }
  }
  EXPECT_FALSE(commandOpen);
  EXPECT_FALSE(dataOpen);
  EXPECT_TRUE(Quibo->LogContains("Session ended: timed out"));
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Relay, AClientThatNeverReadsIsLetGo) {
  Launch("ServerTimeout=2\n", "[Debug]\nAcceptance=1\n");
  TRawSmtpClient client(Port);
  // Commands without end and not one reply read: the replies pile up until our sends time out.
  const std::string noops = [] {
    std::string text;
    for (int i = 0; i < 4096; ++i)
      text += "NOOP\r\n";
    return text;
  }();
  for (int i = 0; i < 4000 && client.SendRaw(noops, true); ++i) {
  }
  EXPECT_TRUE(Quibo->LogContains("] SMTP Server disconnect"));
}

TEST_F(Relay, ConnectionsPerAddressAreBounded) {
  RelayPolicy = "[LocalIP]\n0=192.0.2.\n"; // the client is none of the site's own hosts
  Launch("MaxConnectionsPerIp=3\n");
  std::vector<std::unique_ptr<TRawSmtpClient>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<TRawSmtpClient>(Port));
    EXPECT_EQ(held.back()->Reply(), kGreeting);
  }
  TRawSmtpClient refused(Port);
  EXPECT_EQ(refused.Reply(), "421 Quibo dederazu says: Too many connections from your address\r\n");
  EXPECT_TRUE(refused.ClosedByServer());
  EXPECT_TRUE(Quibo->LogContains("Too many connections from 127.0.0.1: refused"));
  held.front()->Command("QUIT");
  held.erase(held.begin());
  EXPECT_TRUE(WaitFor([&] {
    TRawSmtpClient again(Port);
    return again.Reply() == kGreeting;
  }));
  EXPECT_EQ(held[0]->Command("NOOP"), "250 Ok\r\n");
}

TEST_F(Relay, TheSitesOwnHostsAreExemptFromThePerAddressLimit) {
  RelayPolicy = "[LocalIP]\n0=192.0.2.\n1=127.0.0.\n";
  Launch("MaxConnectionsPerIp=2\n");
  std::vector<std::unique_ptr<TRawSmtpClient>> held;
  for (int i = 0; i < 5; ++i) {
    held.push_back(std::make_unique<TRawSmtpClient>(Port));
    EXPECT_EQ(held.back()->Reply(), kGreeting) << i;
  }
  EXPECT_EQ(held.back()->Command("NOOP"), "250 Ok\r\n");
}

TEST_F(Relay, RecipientsPerMessageAreBounded) {
  Launch("MaxRecipients=5\n"); // below what mail servers must take: 100 it is
  Client = std::make_unique<TRawSmtpClient>(Port);
  Client->Reply();
  Client->Command("HELO many.test");
  Client->Command("MAIL FROM:<envelope@example.com>");
  std::string batch;
  for (int i = 0; i < 101; ++i)
    batch += "RCPT TO:<r" + std::to_string(i) + "@example.org>\r\n";
  Client->SendRaw(batch);
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(Client->Reply(), "250 r" + std::to_string(i) + "@example.org Address Okay\r\n");
  EXPECT_EQ(Client->Reply(), "452 Quibo dederazu says: Too many recipients\r\n");
  EXPECT_EQ(Client->Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  Client->SendRaw("Subject: many\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(Client->Reply(), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients.size(), 100u);
}

TEST_F(Relay, AFullDiskIsAnsweredAndLogged) {
  Launch();
  LimitOf(Quibo->Child, RLIMIT_FSIZE, 64 * 1024);
  std::string big = "Subject: big\r\n\r\n";
  while (big.size() < 400 * 1024) // past the spill size: it has to go to the disk
    big += std::string(76, 'x') + "\r\n";
  EXPECT_EQ(Send(big), "452 Quibo dederazu says: Insufficient system storage\r\n");
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_TRUE(Quibo->LogContains("Session ended: cannot store the message: File too large"));
  EXPECT_TRUE(FilesIn(Home.path() / "temp").empty());
  EXPECT_EQ(Send("Subject: small\r\n\r\nbody\r\n"), "250 Ok\r\n");
}

TEST_F(Relay, OutOfDescriptorsNewConnectionsAreRefusedOthersServed) {
  Launch();
  TRawSmtpClient served(Port);
  EXPECT_EQ(served.Reply(), kGreeting);
  LimitOf(Quibo->Child, RLIMIT_NOFILE, OpenDescriptors(Quibo->Child) + 2);
  // Sessions take the last descriptors; a log line that holds one for a moment can turn a connection away early,
  // so each round connects until one is refused.
  std::vector<std::unique_ptr<TRawSmtpClient>> more;
  const auto connectUntilRefused = [&] {
    std::string reply;
    for (int i = 0; i < 10 && reply.rfind("421", 0) != 0; ++i) {
      more.push_back(std::make_unique<TRawSmtpClient>(Port));
      reply = more.back()->Reply();
    }
    return reply;
  };
  const std::string refused = "421 Quibo dederazu says: Out of resources, try again later\r\n";
  EXPECT_EQ(connectUntilRefused(), refused);
  ASSERT_TRUE(Quibo->Running()) << "ended with " << Quibo->ExitStatus << "\n"
                                << ReadFile(Home.path() / "stderr.txt") << Quibo->MainLog();
  EXPECT_EQ(served.Command("NOOP"), "250 Ok\r\n");
  EXPECT_EQ(connectUntilRefused(), refused); // the spare descriptor is back for the next one
  EXPECT_TRUE(Quibo->LogContains("Out of file descriptors: refusing new connections"));
  const std::string log = Quibo->MainLog();
  EXPECT_EQ(log.find("Out of file descriptors"), log.rfind("Out of file descriptors")); // once a minute at most
  more.clear();
  LimitOf(Quibo->Child, RLIMIT_NOFILE, 1024);
  EXPECT_TRUE(WaitFor([&] {
    TRawSmtpClient again(Port);
    return again.Reply() == kGreeting;
  }));
}

TEST_F(Relay, ABigMessageCostsAFewBlocksNotItsSize) {
  Launch();
  const auto peak = [this] {
    const std::string status = ReadFile("/proc/" + std::to_string(Quibo->Child) + "/status");
    const auto at = status.find("VmHWM:");
    return std::stol(status.substr(at + 6));
  };
  EXPECT_EQ(Send("Subject: warm-up\r\n\r\nbody\r\n"), "250 Ok\r\n");
  const long before = peak(); // kB
  std::string big = "Subject: forty megabytes\r\n\r\n";
  big.reserve(40u << 20);
  while (big.size() < (40u << 20))
    big += std::string(998, 'm') + "\r\n";
  EXPECT_EQ(Send(big), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);
  const std::string& relayed = mails[1].Data;
  const size_t body = big.find("\r\n\r\n") + 4;
  ASSERT_GT(relayed.size(), big.size());
  EXPECT_EQ(relayed.compare(relayed.size() - (big.size() - body), std::string::npos, big, body), 0);
  EXPECT_LT(peak() - before, 16 * 1024) << "kB more at the peak for a 40 MB message";
}
