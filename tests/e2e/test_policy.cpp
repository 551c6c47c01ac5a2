// The acceptance policy through the real binary: who may send, whose host is
// blacklisted and what then happens, and that nobody relays through the
// filter who may not.
#include "TFakeDns.h"
#include "TRelayFixture.h"

using namespace quibo::test;

namespace {

const std::string kMessage = "From: <someone@far.example>\r\nSubject: Offer\r\n\r\nbody\r\n";

class Acceptance : public Relay {
protected:
  Acceptance() { RelayPolicy = "[LocalDomains]\n0=local.example\n[LocalIP]\n0=10.\n"; }
  void Start(const std::string& settings = "", const std::string& sections = "") {
    Launch("DnsIP=127.0.0.1\nDnsPort=" + std::to_string(Dns.Port()) + "\nDnsTimeout=1\n" + settings,
           "[Debug]\nAcceptance=1\n" + sections);
  }
  // A session up to its MAIL reply.
  std::string Mail(const std::string& sender) {
    Client = std::make_unique<TRawSmtpClient>(Port);
    Client->Reply();
    Client->Command("EHLO client.test");
    return Client->Command("MAIL FROM:<" + sender + ">");
  }
  std::string Rcpt(const std::string& recipient) { return Client->Command("RCPT TO:<" + recipient + ">"); }

  TFakeDns Dns;
};

} // namespace

TEST_F(Acceptance, WhitelistedSenderFromABlacklistedHostPassesWithoutALookup) {
  Start("Forward=0\nModifySubject=0\n", "[ManualBlacklist]\n0=127.0.0.1\n[FromAddresses]\n0=friend.example\n"
                                        "[Blacklists]\n0=bl.test\n");
  std::string out;
  const int status =
      RunProgram({"swaks", "--server", "127.0.0.1", "--port", std::to_string(Port), "--from", "boss@friend.example",
                  "--to", "user@local.example", "--header", "Subject: whitelisted", "--helo", "swaks.test"},
                 &out);
  EXPECT_EQ(status, 0) << out;
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("X-Spam-Status: Negative \r\n"), std::string::npos);
  EXPECT_TRUE(Quibo->LogContains("Accept: Host or sender whitelisted"));
  EXPECT_TRUE(Dns.Asked().empty());
}

TEST_F(Acceptance, ManualBlacklistWithEachAction) {
  const std::string listed = "[ManualBlacklist]\n0=127.0.0.1\n";
  Start("Forward=0\nModifySubject=0\n", listed); // "Reject spam"
  EXPECT_EQ(Mail("someone@far.example"), "521 Quibo dederazu says: Host (127.0.0.1) is manually blacklisted\r\n");
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_TRUE(Quibo->LogContains("521 Quibo dederazu says: Host (127.0.0.1) is manually blacklisted "
                                 "someone@far.example"));

  Quibo.reset();
  Start("ModifySubject=1\nNewSubject=[listed] #SUBJECT#\n", listed); // "Pass through spam and modify subject"
  EnvelopeSender = "someone@far.example";
  EXPECT_EQ(Send(kMessage, {"user@local.example"}), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: [listed] Offer\r\n"), std::string::npos);
  EXPECT_NE(NextHop.Mails()[0].Data.find("X-Spam-Status: Positive \r\n"), std::string::npos);

  Quibo.reset();
  Start("ModifySubject=0\nForward=1\nMailForwardAddress=quarantine@local.example\n", listed); // "Forward to mailbox"
  EXPECT_EQ(Send(kMessage, {"user@local.example"}), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 2u);
  EXPECT_EQ(NextHop.Mails()[1].Recipients, std::vector<std::string>{"<quarantine@local.example>"});
}

TEST_F(Acceptance, DnsBlacklistsListTogetherAndTheLaterReplyWins) {
  Dns.Script("1.0.0.127.slow.test", {TDnsAnswer::Addresses, {"127.0.0.2"}, 300});
  Dns.Script("1.0.0.127.fast.test", {TDnsAnswer::NoAnswer, {}, 0});
  Dns.Script("127.0.0.1.plain.test", {TDnsAnswer::Addresses, {"127.255.255.254"}});
  Start("Forward=0\nModifySubject=0\nSaveStatistics=1\n",
        "[Blacklists]\n0=slow.test\n1=fast.test\n2=plain.test,0\n3=silent.test\n");
  Dns.Script("1.0.0.127.silent.test", {TDnsAnswer::Silence, {}});
  EXPECT_EQ(Mail("someone@far.example"),
            "521 Quibo dederazu says: Host  (127.0.0.1) is blacklisted on 1.0.0.127.slow.test\r\n");
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_TRUE(Quibo->LogContains("DNS blacklist plain.test answered 127.255.255.254"));
  EXPECT_EQ(Quibo->Stop(), 0);
  const std::string totals = ReadFile(Home.path() / "quibo.stat");
  ASSERT_EQ(totals.size(), 32u);
  EXPECT_EQ(totals[4], 1);  // Refused
  EXPECT_EQ(totals[16], 1); // BlackListed
}

TEST_F(Acceptance, SilentDnsServerMeansNotListed) {
  Start("Forward=0\nModifySubject=0\n", "[Blacklists]\n0=a.test\n1=b.test\n2=c.test\n");
  for (const char* name : {"1.0.0.127.a.test", "1.0.0.127.b.test", "1.0.0.127.c.test"})
    Dns.Script(name, {TDnsAnswer::Silence, {}});
  EXPECT_EQ(Mail("someone@far.example"), "250 someone@far.example Address Okay\r\n");
  EXPECT_EQ(Dns.Asked().size(), 3u);
}

TEST_F(Acceptance, EmptySenderFollowsAllowEmptyMailFrom) {
  Start();
  EXPECT_EQ(Mail(""), "250  Address Okay\r\n");
  EXPECT_EQ(Rcpt("user@local.example"), "250 user@local.example Address Okay\r\n");
  Quibo.reset();
  Start("AllowEmptyMailFrom=0\n");
  EXPECT_EQ(Mail(""), "500  Address Error\r\n");
  EXPECT_TRUE(Quibo->LogContains("Invalid address syntax: "));
}

TEST_F(Acceptance, NoOpenRelay) {
  Start("SaveStatistics=1\n");
  EXPECT_EQ(Mail("someone@far.example"), "250 someone@far.example Address Okay\r\n");
  EXPECT_EQ(Rcpt("victim@other.example"),
            "550 Quibo dederazu says: not local address victim@other.example, not a gateway\r\n");
  for (const std::string trick :
       {"user%other.example@local.example", "\"user@other.example\"@local.example", "user@other.example@local.example",
        "@local.example:user@other.example", "other.example!user@local.example"})
    EXPECT_EQ(Rcpt(trick), "550 Quibo dederazu says: not local address " + trick + ", not a gateway\r\n") << trick;
  EXPECT_EQ(Rcpt("user@mail.local.example"), "250 user@mail.local.example Address Okay\r\n");
  EXPECT_TRUE(Quibo->LogContains("550 Quibo dederazu says: not local address victim@other.example, not a gateway"));

  // A local sender, but from outside the local addresses: local recipients only.
  EXPECT_EQ(Mail("me@local.example"), "250 me@local.example Address Okay\r\n");
  EXPECT_EQ(Rcpt("victim@other.example").substr(0, 4), "550 ");
  EXPECT_EQ(Rcpt("colleague@local.example"), "250 colleague@local.example Address Okay\r\n");
  Client->Command("QUIT");
  EXPECT_EQ(Quibo->Stop(), 0);
  const std::string totals = ReadFile(Home.path() / "quibo.stat");
  ASSERT_EQ(totals.size(), 32u);
  EXPECT_EQ(totals[12], 7); // NoRelay
  EXPECT_EQ(totals[4], 7);  // Refused
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Acceptance, LocalSenderFromALocalAddressMayRelay) {
  RelayPolicy = "[LocalDomains]\n0=local.example\n[LocalIP]\n0=127.0.0.\n";
  Start();
  EnvelopeSender = "me@local.example";
  EXPECT_EQ(Send(kMessage, {"friend@other.example"}), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, std::vector<std::string>{"<friend@other.example>"});
}
