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
}

TEST(AddressRules, WhoMayRelay) {
  // A sender in a local domain, from a peer that [LocalIP] names.
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
    EXPECT_EQ(SenderMayRelay("me@local.example", c.Peer, {"local.example"}, true, c.Entries), c.Local) << c.Peer;

  // The domain alone decides when the peer's address does not count.
  EXPECT_TRUE(SenderMayRelay("boss@Example.org", "192.0.2.1", {"example.com", "example.org"}, false, {}));
  EXPECT_TRUE(SenderMayRelay("boss@mail.example.org", "192.0.2.1", {"example.org"}, false, {"10."}));
  EXPECT_FALSE(SenderMayRelay("x@example.net", "10.0.0.1", {"example.org"}, false, {"10."}));
  EXPECT_FALSE(SenderMayRelay("x@example.net", "10.0.0.1", {"example.org"}, true, {"10."}));
  EXPECT_FALSE(SenderMayRelay("boss@example.org", "192.0.2.1", {}, false, {}));
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
  // The verdict; what the check found is in Sender, and its counts are posted.
  TVerdict Mail(const std::string& address, const std::string& peer = "127.0.0.2") {
    TMailDecision decision = OnMail(Context(), peer, address);
    PostCounts(*this, decision.Counts);
    Sender = decision.Sender;
    return decision.Verdict;
  }
  TVerdict Rcpt(const std::string& address) {
    TRcptDecision decision = OnRcpt(Context(), Sender.SenderIsLocal, address);
    PostCounts(*this, decision.Counts);
    return decision.Verdict;
  }
  TBlacklistCheck Check(const std::string& host) {
    TBlacklistCheck check = CheckBlacklists(Context(), host, false);
    PostCounts(*this, check.Counts);
    return check;
  }
  TPolicyContext Context() { return {Settings, Applied, Log, nullptr, Settings.DnsTimeout * 1000}; }

public:
  // The event queue of the counts.
  void Post(int event, long argument, long argument2) { Posted.push_back({event, argument, argument2}); }

protected:
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
  TSenderCheck Sender;
  std::vector<std::array<long, 3>> Posted;
};

} // namespace

TEST_F(Policy, SenderChecksInTheirOrder) {
  Settings.LBManualBlacklist = {"127.0.0.2"};
  Settings.LBFromAddresses = {"friend.example"};
  Settings.LBBlacklists = {{"bl.test", "1", 4}};
  // Whitelisted sender from a manually blacklisted host: accepted, no lookup.
  EXPECT_EQ(Mail("boss@friend.example").Text, "boss@friend.example Address Okay");
  EXPECT_TRUE(Sender.Whitelisted);
  EXPECT_FALSE(Sender.Blacklisted);
  EXPECT_TRUE(Dns.Asked().empty());
  // Bad syntax is refused before anything else, whitelist or not.
  EXPECT_EQ(Mail("x@y").Code, 500);
  // Manually blacklisted, each action.
  const TVerdict passed = Mail("someone@else.example");
  EXPECT_EQ(passed.Code, 250);
  EXPECT_TRUE(Sender.Blacklisted);
  EXPECT_EQ(Sender.BlacklistReason, "Host (127.0.0.2) is manually blacklisted");
  Settings.RBPass = false;
  Settings.RBForward = true;
  EXPECT_EQ(Mail("someone@else.example").Code, 250);
  Settings.RBForward = false;
  const TVerdict rejected = Mail("someone@else.example");
  EXPECT_EQ(rejected.Code, 521);
  EXPECT_EQ(rejected.Text, "Quibo dederazu says: Host (127.0.0.2) is manually blacklisted");
  EXPECT_TRUE(rejected.Close);
  EXPECT_EQ(Statistics(TStatEvent::HostBlacklisted).size(), 3u);
  EXPECT_EQ(Statistics(TStatEvent::MessageRefusedBlacklist).size(), 1u); // passed on is not refused
  EXPECT_TRUE(Dns.Asked().empty());
  // Listed on a DNS blacklist: the reason names the query.
  Settings.LBManualBlacklist.clear();
  Dns.Script("2.0.0.127.bl.test", {TDnsAnswer::Addresses, {"127.0.0.2"}});
  EXPECT_EQ(Mail("someone@else.example").Code, 521);
  EXPECT_EQ(Sender.BlacklistReason, "Host  (127.0.0.2) is blacklisted on 2.0.0.127.bl.test");
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupStarted), std::vector<long>{4});
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupListed), std::vector<long>{4});
}

TEST_F(Policy, EachMailFindsItsSenderAfresh) {
  Settings.LBManualBlacklist = {"127.0.0.2"};
  // A local sender on a blacklisted local host, passed on: blacklisted, and it may still relay.
  EXPECT_EQ(Mail("me@local.example").Code, 250);
  EXPECT_TRUE(Sender.Blacklisted);
  EXPECT_FALSE(Sender.Whitelisted);
  EXPECT_TRUE(Sender.SenderIsLocal);
  EXPECT_EQ(Rcpt("anyone@far.example").Code, 250);
  // The next MAIL, from a clean host outside [LocalIP], keeps nothing of the last one.
  EXPECT_EQ(Mail("me@local.example", "192.0.2.1").Code, 250);
  EXPECT_FALSE(Sender.Blacklisted);
  EXPECT_EQ(Sender.BlacklistReason, "");
  EXPECT_FALSE(Sender.SenderIsLocal);
  EXPECT_EQ(Rcpt("anyone@far.example").Code, 550);
}

TEST_F(Policy, RelayDecisions) {
  // A stranger: local recipients only, and the relay check comes before the syntax check.
  Mail("stranger@far.example", "192.0.2.1");
  EXPECT_EQ(Rcpt("user@local.example").Code, 250);
  const TVerdict refused = Rcpt("x@y");
  EXPECT_EQ(refused.Code, 550);
  EXPECT_EQ(refused.Text, "Quibo dederazu says: not local address x@y, not a gateway");
  EXPECT_FALSE(refused.Close);
  EXPECT_EQ(Rcpt("user%other.example@local.example").Code, 550);
  EXPECT_EQ(Statistics(TStatEvent::RecipientNotLocal).size(), 2u);
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
  const TBlacklistCheck listed = Check("1.2.3.4");
  EXPECT_TRUE(listed.Listed);
  EXPECT_EQ(listed.Found, "4.3.2.1.listed.test"); // both list: the later reply wins
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
  EXPECT_FALSE(Check("1.2.3.4").Listed);
  EXPECT_TRUE(Statistics(TStatEvent::DnsLookupListed).empty());
  EXPECT_TRUE(Statistics(TStatEvent::HostBlacklisted).empty());
}

TEST_F(Policy, SilentZonesTimeOutTogether) {
  Settings.LBBlacklists = {{"a.test", "1", 1}, {"b.test", "1", 2}, {"c.test", "1", 3}};
  for (const char* zone : {"4.3.2.1.b.test", "4.3.2.1.c.test"})
    Dns.Script(zone, {TDnsAnswer::Silence, {}});
  // Asked together, not one after another: a.test answers only once b.test and c.test have been asked too,
  // which in a row would be after a.test's own time-out.
  Dns.Script("4.3.2.1.a.test", {TDnsAnswer::Addresses, {"127.0.0.2"}});
  Dns.HoldUntilAsked("4.3.2.1.a.test", {"4.3.2.1.b.test", "4.3.2.1.c.test"});
  const TBlacklistCheck listed = Check("1.2.3.4");
  EXPECT_TRUE(listed.Listed);
  EXPECT_EQ(listed.Found, "4.3.2.1.a.test");
  EXPECT_EQ(Statistics(TStatEvent::DnsLookupTimedOut), (std::vector<long>{2, 3}));
}

TEST_F(Policy, DnsFailuresNeverRefuseMail) {
  Settings.LBBlacklists = {{"bl.test", "1", 1}};
  Applied.DnsServer = "not an address";
  EXPECT_THROW(Check("1.2.3.4"), std::runtime_error);
  EXPECT_EQ(Mail("someone@else.example").Code, 250);
  EXPECT_FALSE(Sender.Blacklisted);
  EXPECT_NE(MainLog().find("Invalid DNS server address: not an address"), std::string::npos);
}
