// End-to-end tests of IPv6 against the real filter: a session over ::1 from
// greeting to relay (the DNS blacklist asked for the address's nibbles, a
// [LocalIP] prefix of the IPv6 form letting it relay, the Received header
// naming the client as [IPv6:::1]), and the dual-stack listener of
// ListenIP=All, whose IPv4 clients are a.b.c.d and never ::ffff:a.b.c.d.
#include "TFakeDns.h"
#include "TFakeNextHop.h"
#include "TQuiboProcess.h"

#include <gtest/gtest.h>
#include <memory>

using namespace quibo::test;

namespace {

const std::string kLoopbackNibbles = "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0";

class Ipv6 : public ::testing::Test {
protected:
  void Launch(const std::string& listenIp, const std::string& host, const std::string& sections) {
    const std::string ini = "[Settings]\nListenIP=" + listenIp +
                            "\nListenPort=0\nOutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(NextHop.Port()) +
                            "\nMailHostName=filter.test\nForwardTimeout=2\n" +
                            "DnsIP=127.0.0.1\nDnsPort=" + std::to_string(Dns.Port()) +
                            "\nDnsTimeout=1\nModifySubject=0\nForward=0\n" + sections;
    Quibo = std::make_unique<TQuiboProcess>(Home.path(), ini, 0);
    Quibo->Host = host;
    ASSERT_TRUE(Quibo->WaitListening()) << Quibo->MainLog();
  }

  TFakeNextHop NextHop;
  TFakeDns Dns;
  TTempFolder Home;
  std::unique_ptr<TQuiboProcess> Quibo;
};

} // namespace

TEST_F(Ipv6, ASessionOverTheIpv6LoopbackFromGreetingToRelay) {
  Launch("::1", "::1", "[LocalDomains]\n0=example.com\n[LocalIP]\n0=::1\n[Blacklists]\n0=bl.test\n");
  EXPECT_TRUE(Quibo->LogContains("started listening on ::1 port "));
  TRawSmtpClient client(Quibo->Port, "::1");
  EXPECT_EQ(client.Reply(), "220 Welcome to Quibo Dederazu 1.0.0.1\r\n");
  client.Command("EHLO client.test");
  EXPECT_EQ(client.Command("MAIL FROM:<sender@example.com>"), "250 sender@example.com Address Okay\r\n");
  // Only a local sender at a [LocalIP] address may relay to another domain.
  EXPECT_EQ(client.Command("RCPT TO:<someone@elsewhere.test>"), "250 someone@elsewhere.test Address Okay\r\n");
  EXPECT_EQ(client.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  client.SendRaw("Subject: over IPv6\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(client.Reply(), "250 Ok\r\n");
  const auto asked = Dns.Asked();
  EXPECT_NE(std::find(asked.begin(), asked.end(), kLoopbackNibbles + ".bl.test"), asked.end());
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find(" ([IPv6:::1])\r\n\tby filter.test with SMTP"), std::string::npos)
      << NextHop.Mails()[0].Data;
}

TEST_F(Ipv6, ABlacklistingOfTheIpv6NibblesRefusesTheHost) {
  Dns.Script(kLoopbackNibbles + ".bl.test", {TDnsAnswer::Addresses, {"127.0.0.2"}});
  Launch("::1", "::1", "[Blacklists]\n0=bl.test\n");
  TRawSmtpClient client(Quibo->Port, "::1");
  client.Reply();
  client.Command("EHLO client.test");
  EXPECT_EQ(client.Command("MAIL FROM:<sender@example.com>"),
            "521 Quibo dederazu says: Host  (::1) is blacklisted on " + kLoopbackNibbles + ".bl.test\r\n");
}

TEST_F(Ipv6, TheDualStackListenerNamesIpv4ClientsInTheirOwnForm) {
  Launch("All", "127.0.0.1", "[ManualBlacklist]\n0=127.0.0.1\n");
  TRawSmtpClient v4(Quibo->Port, "127.0.0.1");
  EXPECT_EQ(v4.Reply(), "220 Welcome to Quibo Dederazu 1.0.0.1\r\n");
  v4.Command("EHLO client.test");
  EXPECT_EQ(v4.Command("MAIL FROM:<sender@example.com>"),
            "521 Quibo dederazu says: Host (127.0.0.1) is manually blacklisted\r\n");
  // The same listener takes IPv6 clients.
  TRawSmtpClient v6(Quibo->Port, "::1");
  EXPECT_EQ(v6.Reply(), "220 Welcome to Quibo Dederazu 1.0.0.1\r\n");
  v6.Command("EHLO client.test");
  EXPECT_EQ(v6.Command("MAIL FROM:<sender@example.com>"), "250 sender@example.com Address Okay\r\n");
}

TEST(Ipv6Relay, OutgoingIpAndForwardingDestinationsMayBeIpv6) {
  TFakeNextHop mailServer("::1"), forwarded("::1");
  TTempFolder home;
  const std::string ini = "[Settings]\nListenIP=127.0.0.1\nListenPort=0\nOutgoingIP=::1\nOutgoingPort=" +
                          std::to_string(mailServer.Port()) +
                          "\nMailHostName=filter.test\nForwardTimeout=2\nMultipleMailForwarding=1\n"
                          "[LocalDomains]\n0=example.com\n1=example.org\n[LocalIP]\n0=127.0.0.1\n[Forward]\n"
                          "0=example.org,0:0::1," +
                          std::to_string(forwarded.Port()) + "\n";
  TQuiboProcess quibo(home.path(), ini, 0);
  ASSERT_TRUE(quibo.WaitListening()) << quibo.MainLog();
  TRawSmtpClient client(quibo.Port);
  client.Reply();
  client.Command("EHLO client.test");
  client.Command("MAIL FROM:<sender@example.com>");
  EXPECT_EQ(client.Command("RCPT TO:<a@example.com>"), "250 a@example.com Address Okay\r\n");
  EXPECT_EQ(client.Command("RCPT TO:<b@example.org>"), "250 b@example.org Address Okay\r\n");
  client.Command("DATA");
  client.SendRaw("Subject: both\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(client.Reply(), "250 Ok\r\n");
  ASSERT_EQ(mailServer.Mails().size(), 1u);
  EXPECT_EQ(mailServer.Mails()[0].Recipients, std::vector<std::string>{"<a@example.com>"});
  ASSERT_EQ(forwarded.Mails().size(), 1u);
  EXPECT_EQ(forwarded.Mails()[0].Recipients, std::vector<std::string>{"<b@example.org>"});
}

TEST(Ipv6Dns, TheDnsServerMayBeAnIpv6Address) {
  TFakeDns dns(true);
  dns.Script("1.0.0.127.bl.test", {TDnsAnswer::Addresses, {"127.0.0.2"}});
  TTempFolder home;
  TQuiboProcess quibo(home.path(),
                      "[Settings]\nListenIP=127.0.0.1\nListenPort=0\nDnsIP=::1\nDnsPort=" + std::to_string(dns.Port()) +
                          "\nDnsTimeout=2\nModifySubject=0\nForward=0\n[Blacklists]\n0=bl.test\n",
                      0);
  ASSERT_TRUE(quibo.WaitListening()) << quibo.MainLog();
  TRawSmtpClient client(quibo.Port);
  client.Reply();
  client.Command("EHLO client.test");
  EXPECT_EQ(client.Command("MAIL FROM:<sender@example.com>"),
            "521 Quibo dederazu says: Host  (127.0.0.1) is blacklisted on 1.0.0.127.bl.test\r\n");
}
