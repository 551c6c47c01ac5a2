#include "TFakeDns.h"
#include "TFixedClock.h"
#include "TTempFolder.h"
#include "UDns.h"
#include "UEvents.h"
#include "UPolicy.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace quibo;
using namespace quibo::test;

namespace {

// A connection that only records its peer address.
class TPeer final : public TPeerConnection {
public:
  explicit TPeer(std::string ip) : Ip(std::move(ip)) {}
  long ThreadId() const override { return 9; }
  const std::string& PeerIp() const override { return Ip; }
  void Disconnect() override {}
  bool Running() const override { return true; }
  bool WaitEnded(int) override { return true; }

private:
  std::string Ip;
};

} // namespace

TEST(AddressRules, SuffixSyntaxReversalAndLocalAddresses) {
  struct TSuffix {
    const char* Address;
    const char* Entry;
    bool Matches;
  };
  for (const auto& c : std::vector<TSuffix>{{"bob@Example.ORG", "example.org", true},
                                            {"bob@mail.example.org", "example.org", true},
                                            {"bob@notexample.org", "example.org", true}, // a plain suffix
                                            {"bob@example.org", "bob@example.org", true},
                                            {"bob@example.org.evil", "example.org", false},
                                            {"bob@example.org", "", false},
                                            {"", "", true}})
    EXPECT_EQ(MatchesSuffix(c.Address, c.Entry), c.Matches) << c.Address << " / " << c.Entry;

  struct TSyntax {
    const char* Address;
    bool Valid;
  };
  for (const auto& c : std::vector<TSyntax>{{"a@b.cd", true},
                                            {"a@b.c", false}, // five characters
                                            {"@bb.cd", false},
                                            {"ab@.cde", false},
                                            {"a%b@c.de", false},
                                            {"a!b@c.de", false},
                                            {"a;b@c.de", false},
                                            {"abcdef", false},
                                            {"abc@defg", false}})
    EXPECT_EQ(ValidAddressSyntax(c.Address, true), c.Valid) << c.Address;
  EXPECT_TRUE(ValidAddressSyntax("", true));
  EXPECT_FALSE(ValidAddressSyntax("", false));

  EXPECT_EQ(ReverseDottedName("1.2.3.4"), "4.3.2.1");
  EXPECT_EQ(ReverseDottedName("localhost"), "localhost");
  EXPECT_EQ(BlacklistQueryName("1.2.3.4", {"bl.example", "1"}), "4.3.2.1.bl.example");
  EXPECT_EQ(BlacklistQueryName("1.2.3.4", {"bl.example", "0"}), "1.2.3.4.bl.example");
  EXPECT_EQ(BlacklistQueryName("2001:db8::1", {"bl.example", "1"}),
            "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.bl.example");
  EXPECT_EQ(NibbleName("2001:db8::1", false), "2.0.0.1.0.d.b.8.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.1");
  EXPECT_EQ(NibbleName("1.2.3.4", true), "");

  struct TLocalIp {
    const char* Peer;
    std::vector<std::string> Entries;
    bool Local;
  };
  for (const auto& c :
       std::vector<TLocalIp>{{"192.168.1.7", {"192.168.1."}, true},
                             {"192.168.10.7", {"192.168.1."}, false},
                             {"192.168.10.7", {"192.168.1"}, true}, // no trailing dot: longer numbers too
                             {"10.0.0.1", {"", "192.168."}, false}, // an empty entry never matches
                             {"10.0.0.1", {"10.", "192.168."}, true}})
    EXPECT_EQ(TThreadController(std::make_shared<TPeer>(c.Peer)).PeerIpIsLocal(c.Entries), c.Local) << c.Peer;
}

TEST(AddressRules, AddressTricksAreNeverLocal) {
  const std::vector<std::string> local{"local.example"};
  EXPECT_TRUE(RecipientIsLocal(local, "user@local.example"));
  EXPECT_TRUE(RecipientIsLocal(local, "user@mail.local.example"));
  for (const char* trick :
       {"user%other.example@local.example", "\"user@other.example\"@local.example", "user@other.example@local.example",
        "@local.example:user@other.example", "other.example!user@local.example"})
    EXPECT_FALSE(RecipientIsLocal(local, trick)) << trick;
}

namespace {

// The policy decisions for one connection from a given address.
class Policy : public ::testing::Test {
protected:
  Policy() {
    Applied.LocalDomains = {"local.example"};
    Applied.LocalIps = {"127.0.0."};
    Applied.DnsServer = "127.0.0.1";
    Settings.DnsPort = Dns.Port();
    Settings.DnsTimeout = 1;
    Log.Switches().MailLogging = true;
  }
  TVerdict Mail(const std::string& address, const std::string& peer = "127.0.0.2") {
    Record = std::make_shared<TThreadController>(std::make_shared<TPeer>(peer));
    return OnMail(Context(), *Record, peer, address);
  }
  TVerdict Rcpt(const std::string& address) { return OnRcpt(Context(), *Record, address); }
  TPolicyContext Context() {
    return {Settings, Applied, Log, nullptr, [this](int event, long argument, long argument2) {
              Posted.push_back({event, argument, argument2});
            }};
  }
  std::vector<long> Statistics(TStatEvent statistic) const {
    std::vector<long> zones;
    for (const auto& event : Posted)
      if (event[0] == EvStatistic && event[1] == static_cast<long>(statistic)) zones.push_back(event[2]);
    return zones;
  }
  std::string MainLog() const { return ReadFile(Home.path() / "log" / "Quibo.log"); }

  TFakeDns Dns;
  TTempFolder Home;
  TFixedClock Clock;
  TVisibleCriticalSection Lock{nullptr};
  TLogger Log{Home.path(), Clock, Lock, {}};
  TSettings Settings;
  TAppliedSettings Applied;
  std::shared_ptr<TThreadController> Record;
  std::vector<std::array<long, 3>> Posted;
};

} // namespace

TEST_F(Policy, SenderChecksInTheirOrder) {
  Settings.LBManualBlacklist = {"127.0.0.2"};
  Settings.LBFromAddresses = {"friend.example"};
  Settings.LBBlacklists = {{"bl.test", "1", 4}};
  // Whitelisted sender from a manually blacklisted host: accepted, no lookup.
  EXPECT_EQ(Mail("boss@friend.example").Text, "boss@friend.example Address Okay");
  EXPECT_TRUE(Record->Whitelisted);
  EXPECT_FALSE(Record->Blacklisted);
  EXPECT_TRUE(Dns.Asked().empty());
  // Bad syntax is refused before anything else, whitelist or not.
  EXPECT_EQ(Mail("x@y").Code, 500);
  // Manually blacklisted, each action.
  const TVerdict passed = Mail("someone@else.example");
  EXPECT_EQ(passed.Code, 250);
  EXPECT_TRUE(Record->Blacklisted);
  EXPECT_EQ(Record->CheckReason, "Host (127.0.0.2) is manually blacklisted");
  Settings.RBPass = false;
  Settings.RBForward = true;
  EXPECT_EQ(Mail("someone@else.example").Code, 250);
  Settings.RBForward = false;
  const TVerdict rejected = Mail("someone@else.example");
  EXPECT_EQ(rejected.Code, 521);
  EXPECT_EQ(rejected.Text, "Quibo dederazu says: Host (127.0.0.2) is manually blacklisted");
  EXPECT_TRUE(rejected.Close);
  EXPECT_EQ(Statistics(TStatEvent::HostBlacklisted).size(), 3u);
  EXPECT_TRUE(Dns.Asked().empty());
  // Listed on a DNS blacklist: the reason names the query.
  Settings.LBManualBlacklist.clear();
  Dns.Script("2.0.0.127.bl.test", {TDnsAnswer::Addresses, {"127.0.0.2"}});
  EXPECT_EQ(Mail("someone@else.example").Code, 521);
  EXPECT_EQ(Record->CheckReason, "Host  (127.0.0.2) is blacklisted on 2.0.0.127.bl.test");
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupStarted), std::vector<long>{4});
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupListed), std::vector<long>{4});
}

TEST_F(Policy, RelayDecisions) {
  // A stranger: local recipients only, and the relay check comes before the syntax check.
  Mail("stranger@far.example", "192.0.2.1");
  EXPECT_EQ(Rcpt("user@local.example").Code, 250);
  EXPECT_EQ(Record->RecipientDomain, "local.example");
  const TVerdict refused = Rcpt("x@y");
  EXPECT_EQ(refused.Code, 550);
  EXPECT_EQ(refused.Text, "Quibo dederazu says: not local address x@y, not a gateway");
  EXPECT_FALSE(refused.Close);
  EXPECT_EQ(Rcpt("user%other.example@local.example").Code, 550);
  EXPECT_EQ(Statistics(TStatEvent::RecipientNotLocal).size(), 2u);
  EXPECT_EQ(Record->RecipientDomain, "local.example"); // the first recipient's
  EXPECT_NE(MainLog().find("550 Quibo dederazu says: not local address x@y, not a gateway"), std::string::npos);

  // A local sender from a local address may relay; from elsewhere only with the address check off.
  Mail("me@local.example", "127.0.0.9");
  EXPECT_EQ(Rcpt("anyone@far.example").Code, 250);
  EXPECT_EQ(Rcpt("x@y").Code, 500); // may relay, but the syntax still counts
  Mail("me@local.example", "192.0.2.1");
  EXPECT_EQ(Rcpt("anyone@far.example").Code, 550);
  EXPECT_EQ(Rcpt("user@sub.local.example").Code, 250);
  Settings.CBRelayLocalIp = false;
  Mail("me@local.example", "192.0.2.1");
  EXPECT_EQ(Rcpt("anyone@far.example").Code, 250);
  Settings.CBRelayLocalDomain = false;
  Mail("stranger@far.example", "192.0.2.1");
  EXPECT_EQ(Rcpt("anyone@far.example").Code, 250);
}

TEST_F(Policy, DnsAnswersAndWhatTheyMean) {
  Settings.LBBlacklists = {{"listed.test", "1", 1},
                           {"empty.test", "1", 2},
                           {"nx.test", "1", 3},
                           {"refused.test", "1", 4},
                           {"broken.test", "0", 5}};
  Dns.Script("4.3.2.1.listed.test", {TDnsAnswer::Addresses, {"127.0.0.2"}, 200});
  Dns.Script("4.3.2.1.empty.test", {TDnsAnswer::NoAnswer, {}, 100});
  Dns.Script("4.3.2.1.refused.test", {TDnsAnswer::Addresses, {"127.255.255.254"}});
  Dns.Script("1.2.3.4.broken.test", {TDnsAnswer::Malformed, {}});
  std::string found;
  EXPECT_TRUE(CheckBlacklists(Context(), "1.2.3.4", found, false));
  EXPECT_EQ(found, "4.3.2.1.listed.test"); // both list: the later reply wins
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupStarted), (std::vector<long>{1, 2, 3, 4, 5}));
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupListed), (std::vector<long>{2, 1}));
  EXPECT_TRUE(Statistics(TStatEvent::DnsLookupTimedOut).empty());
  EXPECT_NE(MainLog().find("DNS blacklist refused.test answered 127.255.255.254: an error reply of the zone"),
            std::string::npos);
  auto asked = Dns.Asked();
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::string>{"1.2.3.4.broken.test", "4.3.2.1.empty.test", "4.3.2.1.listed.test",
                                             "4.3.2.1.nx.test", "4.3.2.1.refused.test"}));

  Posted.clear();
  Settings.LBBlacklists = {{"nx.test", "1", 3}, {"refused.test", "1", 4}, {"broken.test", "0", 5}};
  EXPECT_FALSE(CheckBlacklists(Context(), "1.2.3.4", found, false));
  EXPECT_TRUE(Statistics(TStatEvent::DnsLookupListed).empty());
  EXPECT_TRUE(Statistics(TStatEvent::HostBlacklisted).empty());
}

TEST_F(Policy, SilentZonesTimeOutTogether) {
  Settings.LBBlacklists = {{"a.test", "1", 1}, {"b.test", "1", 2}, {"c.test", "1", 3}};
  for (const char* zone : {"4.3.2.1.a.test", "4.3.2.1.b.test", "4.3.2.1.c.test"})
    Dns.Script(zone, {TDnsAnswer::Silence, {}});
  // One time-out for all three, not three in a row: every zone has been asked when the first time-out is told.
  TPolicyContext context = Context();
  std::vector<std::string> askedAtFirstTimeOut;
  context.Post = [&, post = context.Post](int event, long argument, long argument2) {
    if (event == EvStatistic && argument == static_cast<long>(TStatEvent::DnsLookupTimedOut) &&
        askedAtFirstTimeOut.empty()) {
      askedAtFirstTimeOut = Dns.Asked(); // a zone asked again after a retry counts once
      std::sort(askedAtFirstTimeOut.begin(), askedAtFirstTimeOut.end());
      askedAtFirstTimeOut.erase(std::unique(askedAtFirstTimeOut.begin(), askedAtFirstTimeOut.end()),
                                askedAtFirstTimeOut.end());
    }
    post(event, argument, argument2);
  };
  std::string found;
  EXPECT_FALSE(CheckBlacklists(context, "1.2.3.4", found, false));
  EXPECT_EQ(askedAtFirstTimeOut, (std::vector<std::string>{"4.3.2.1.a.test", "4.3.2.1.b.test", "4.3.2.1.c.test"}));
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupTimedOut), (std::vector<long>{1, 2, 3}));
}

TEST_F(Policy, DnsFailuresNeverRefuseMail) {
  Settings.LBBlacklists = {{"bl.test", "1", 1}};
  Applied.DnsServer = "not an address";
  std::string found;
  EXPECT_THROW(CheckBlacklists(Context(), "1.2.3.4", found, false), std::runtime_error);
  EXPECT_EQ(Mail("someone@else.example").Code, 250);
  EXPECT_FALSE(Record->Blacklisted);
  EXPECT_NE(MainLog().find("Invalid DNS server address: not an address"), std::string::npos);
}
