// Connections through a load balancer: the PROXY header of a [ProxyFrom]
// address names the client for the lists, the per-address limit, the log
// and the Received header; a missing or broken header closes the connection
// before the greeting; the balancer's health checks leave no trace in the
// log or the statistics; and nobody else can send a header to pose as another.
#include "TRelayFixture.h"

using namespace quibo::test;

namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string TextHeader(const std::string& client) { return "PROXY TCP4 " + client + " 127.0.0.1 40000 25\r\n"; }

// The binary form for an IPv4 client, with an extension the filter skips.
std::string BinaryHeader(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const std::string body = std::string{char(a), char(b), char(c), char(d), 127, 0, 0, 1, char(0x9C), 0x40, 0, 25} +
                           std::string("\x05\x00\x02id", 5);
  return kSignature + std::string{0x21, 0x11, 0, char(body.size())} + body;
}

// The balancer's own address: the tests' other connections come from 127.0.0.1.
const std::string kBalancer = "127.0.0.2";

const std::string kLocalCheck = kSignature + std::string("\x20\x00\x00\x00", 4);

class Balanced : public Relay {
protected:
  void Start(const std::string& settings, const std::string& sections) {
    Launch(settings, "[Debug]\nAcceptance=1\n[ProxyFrom]\n0=" + kBalancer + "\n" + sections);
  }
  // A connection that sends its header first; returns the greeting ("" when there is none).
  std::unique_ptr<TRawSmtpClient> Through(const std::string& header, std::string& greeting) {
    auto client = std::make_unique<TRawSmtpClient>(Port, "127.0.0.1", kBalancer);
    client->SendRaw(header);
    greeting = client->Reply();
    return client;
  }
  int32_t Total() {
    const std::string totals = ReadFile(Home.path() / "quibo.stat");
    return totals.size() == 32 ? int32_t(uint8_t(totals[0])) : -1;
  }
};

} // namespace

TEST_F(Balanced, TheHeadersClientIsTheAddressEveryCheckSees) {
  Start("Forward=0\nModifySubject=0\nMaxConnectionsPerIp=1\nSaveStatistics=1\n", "[ManualBlacklist]\n0=198.51.100.7\n");
  std::string greeting;
  auto listed = Through(TextHeader("198.51.100.7"), greeting);
  EXPECT_EQ(greeting, kGreeting);
  listed->Command("EHLO client.test");
  EXPECT_EQ(listed->Command("MAIL FROM:<someone@far.example>"),
            "521 Quibo dederazu says: Host (198.51.100.7) is manually blacklisted\r\n");

  auto clean = Through(BinaryHeader(203, 0, 113, 9), greeting);
  EXPECT_EQ(greeting, kGreeting);
  std::string again;
  auto sameClient = Through(TextHeader("203.0.113.9"), again); // the limit counts clients, not the balancer
  EXPECT_EQ(again, "421 Quibo dederazu says: Too many connections from your address\r\n");
  clean->Command("EHLO client.test");
  clean->Command("MAIL FROM:<someone@far.example>");
  clean->Command("RCPT TO:<rcpt@example.org>");
  clean->Command("DATA");
  clean->SendRaw("Subject: through the balancer\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(clean->Reply(10000), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("[203.0.113.9]"), std::string::npos) << NextHop.Mails()[0].Data;
  EXPECT_TRUE(Quibo->LogContains("203.0.113.9 SMTP Server connect through 127.0.0.2"));
  EXPECT_TRUE(Quibo->LogContains("Too many connections from 203.0.113.9: refused"));
  clean->Command("QUIT");
  EXPECT_EQ(Quibo->Stop(), 0);
  EXPECT_EQ(Total(), 3); // the start-up probe and two clients; the refused one was never served
}

TEST_F(Balanced, NoHeaderOrABrokenOneClosesBeforeTheGreeting) {
  Start("", "");
  std::string greeting;
  for (const std::string& opening : {std::string("EHLO client.test\r\n"), std::string("PROXY TCP4 1.2.3.4 x 1 2\r\n"),
                                     kSignature + std::string("\x21\x11\xFF\xFF", 4)}) {
    auto client = Through(opening, greeting);
    EXPECT_EQ(greeting, "") << opening;
    EXPECT_TRUE(client->ClosedByServer());
  }
  EXPECT_TRUE(Quibo->LogContains("127.0.0.2 PROXY header refused: not a PROXY header"));
  EXPECT_TRUE(Quibo->LogContains("PROXY header refused: bad address in the PROXY line"));
  EXPECT_TRUE(Quibo->LogContains("PROXY header refused: PROXY header too long"));
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Balanced, HealthChecksLeaveNoTrace) {
  Start("SaveStatistics=1\nServerTimeout=1\n", "");
  {
    TRawSmtpClient portCheck(Port, "127.0.0.1", kBalancer); // connects and closes without a byte
  }
  std::string greeting;
  auto check = Through(kLocalCheck, greeting);
  EXPECT_EQ(greeting, kGreeting);
  EXPECT_EQ(check->Command("QUIT"), "221 Signing Off\r\n");
  auto idleCheck = Through(kLocalCheck, greeting); // says nothing until its time is up
  EXPECT_EQ(greeting, kGreeting);
  EXPECT_TRUE(idleCheck->ClosedByServer());

  auto real = Through(TextHeader("192.0.2.44"), greeting);
  EXPECT_EQ(real->Command("QUIT"), "221 Signing Off\r\n");
  EXPECT_TRUE(Quibo->LogContains("192.0.2.44 SMTP Server connect through 127.0.0.2"));
  EXPECT_EQ(Quibo->Stop(), 0);
  const std::string log = Quibo->MainLog();
  EXPECT_EQ(log.find("127.0.0.2 SMTP Server connect"), std::string::npos) << log;
  EXPECT_EQ(log.find("Session ended"), std::string::npos) << log;
  EXPECT_EQ(log.find("PROXY header refused"), std::string::npos) << log;
  EXPECT_EQ(Total(), 2); // the start-up probe and the one real session
}

TEST_F(Balanced, AHeaderFromAnyoneElseIsAnUnknownCommand) {
  Launch("Forward=0\nModifySubject=0\n", "[ManualBlacklist]\n0=127.0.0.1\n[ProxyFrom]\n0=10.20.\n");
  TRawSmtpClient client(Port);
  client.SendRaw(TextHeader("192.0.2.1"));
  EXPECT_EQ(client.Reply(), kGreeting);
  EXPECT_EQ(client.Reply(), "500 Syntax Error\r\n");
  client.Command("EHLO client.test");
  EXPECT_EQ(client.Command("MAIL FROM:<someone@far.example>").substr(0, 4), "521 ");
}
