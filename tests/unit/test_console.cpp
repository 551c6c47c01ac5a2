// The web console's parts below HTTP: the login rules of the sessions, the
// listen address, reading the log for its tail and for tracking, the list
// checks, and the messages-per-minute series.
#include "TFixedClock.h"
#include "TTempFolder.h"
#include "UConsoleLogs.h"
#include "UConsoleServer.h"
#include "UConsoleSessions.h"
#include "UPolicyLists.h"
#include "UStats.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace quibo;
using namespace quibo::test;

namespace {

// "secret", as `openssl passwd -6 -salt abcdefgh secret` gives it.
const std::string kHash =
    "$6$abcdefgh$ltjgWl6579NluT/Vi1nwEvcil.G5Nbc4NiXZaNGStk8PSwGfQv72N2CKPPrVACtLtip/cZ/1GM/O6IND4WQhG.";

} // namespace

TEST(ConsoleSessions, LoginsAreCheckedAgainstTheHashBoundedPerAddressAndSessionsExpire) {
  EXPECT_TRUE(PasswordMatches("secret", kHash));
  EXPECT_FALSE(PasswordMatches("Secret", kHash));
  EXPECT_FALSE(PasswordMatches("secret", "secret")) << "a plain text is never a password";
  EXPECT_FALSE(PasswordMatches("", ""));

  TFixedClock clock;
  TConsoleSessions sessions(clock);
  EXPECT_EQ(sessions.Login("10.0.0.1", "admin", "secret").Result, TConsoleSessions::TLoginResult::NoPassword);
  sessions.SetCredentials("admin", kHash);
  EXPECT_EQ(sessions.Login("10.0.0.1", "root", "secret").Result, TConsoleSessions::TLoginResult::Refused);
  const auto accepted = sessions.Login("10.0.0.1", "admin", "secret");
  ASSERT_EQ(accepted.Result, TConsoleSessions::TLoginResult::Accepted);
  EXPECT_EQ(accepted.Session.Id.size(), 32u);
  EXPECT_NE(accepted.Session.Id, accepted.Session.Csrf);
  for (int i = 0; i < 2; ++i)
    sessions.Login("10.0.0.1", "admin", "wrong");
  EXPECT_EQ(sessions.Login("10.0.0.1", "admin", "secret").Result, TConsoleSessions::TLoginResult::TooManyTries);
  EXPECT_EQ(sessions.Login("10.0.0.2", "admin", "secret").Result, TConsoleSessions::TLoginResult::Accepted);
  clock.Advance(std::chrono::seconds(61));
  EXPECT_EQ(sessions.Login("10.0.0.1", "admin", "secret").Result, TConsoleSessions::TLoginResult::Accepted);

  ASSERT_TRUE(sessions.Find(accepted.Session.Id));
  clock.Advance(std::chrono::minutes(29));
  ASSERT_TRUE(sessions.Find(accepted.Session.Id)) << "each request renews the idle time";
  clock.Advance(std::chrono::minutes(29));
  ASSERT_TRUE(sessions.Find(accepted.Session.Id));
  clock.Advance(std::chrono::minutes(30));
  EXPECT_FALSE(sessions.Find(accepted.Session.Id));
  EXPECT_FALSE(sessions.Find(""));
}

TEST(ConsoleServer, ListenAddresses) {
  std::string address;
  int port = 0;
  ASSERT_TRUE(ParseConsoleListen("127.0.0.1:8025", address, port));
  EXPECT_EQ(address + " " + std::to_string(port), "127.0.0.1 8025");
  ASSERT_TRUE(ParseConsoleListen("[::1]:8025", address, port));
  EXPECT_EQ(address, "::1");
  ASSERT_TRUE(ParseConsoleListen("0.0.0.0:0", address, port));
  EXPECT_FALSE(IsLoopbackAddress(address));
  for (const char* bad : {"8025", "::1:8025", "[::1]", "[nothing]:1", "host.example:80", "127.0.0.1:", "1.2.3.4:70000"})
    EXPECT_FALSE(ParseConsoleListen(bad, address, port)) << bad;
}

TEST(ConsoleLogs, TailAndTransactionsGroupedByTheirId) {
  TTempFolder folder;
  const auto log = folder.path() / "Quibo.log";
  WriteFile(folder.path() / "Quibo.261207.log",
            "2026-12-07 09:00:00 : [3] 10.0.0.9 0A0A0A0A0A0A: Old from <old@far.example> sent to <a@example.org>\r\n");
  WriteFile(
      log, "2026-12-09 10:00:00 : Quibo started\r\n"
           "2026-12-09 10:00:01 : [7] 10.0.0.1 SMTP Server connect\r\n"
           "2026-12-09 10:00:02 : [7] 10.0.0.1 1A2B3C4D5E6F: Accept: Host or sender whitelisted\r\n"
           "2026-12-09 10:00:03 : [8] 10.0.0.2 FFFFFFFFFFFF: Hello from <other@far.example> sent to <b@example.org>\r\n"
           "2026-12-09 10:00:04 : [7] 10.0.0.1 1A2B3C4D5E6F: Hi from <Alice@Far.Example> sent to "
           "<x@example.org,y@example.org>\r\n"
           "2026-12-09 10:00:05 : [7] 10.0.0.1 1a2b3c4d5e6f: lower case is no id\r\n");
  EXPECT_EQ(
      TailLines(log, 2),
      (std::vector<std::string>{"2026-12-09 10:00:04 : [7] 10.0.0.1 1A2B3C4D5E6F: Hi from <Alice@Far.Example> sent to "
                                "<x@example.org,y@example.org>",
                                "2026-12-09 10:00:05 : [7] 10.0.0.1 1a2b3c4d5e6f: lower case is no id"}));
  EXPECT_EQ(TailLines(log, 1000).size(), 6u);
  EXPECT_TRUE(TailLines(folder.path() / "missing.log", 5).empty());

  const auto files = TrackingFiles(folder.path(), "");
  ASSERT_EQ(files.size(), 2u);
  const auto all = FindTransactions(files, {});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Id, "FFFFFFFFFFFF") << "newest first, by first line";
  EXPECT_EQ(all[1].Id, "1A2B3C4D5E6F");
  EXPECT_EQ(all[1].Lines.size(), 2u);
  EXPECT_EQ(all[1].Sender, "Alice@Far.Example");
  EXPECT_EQ(all[1].Recipients, (std::vector<std::string>{"x@example.org", "y@example.org"}));
  EXPECT_EQ(all[2].Began, "2026-12-07 09:00:00");

  const auto bySender = FindTransactions(files, {"alice@far", "", ""});
  ASSERT_EQ(bySender.size(), 1u);
  EXPECT_EQ(bySender[0].Id, "1A2B3C4D5E6F");
  EXPECT_EQ(FindTransactions(files, {"", "Y@EXAMPLE.ORG", ""}).size(), 1u);
  EXPECT_EQ(FindTransactions(files, {"", "", "2026-12-08T00:00"}).size(), 2u);
  EXPECT_EQ(TrackingFiles(folder.path(), "2026-12-08").size(), 1u) << "older rotated logs are not read";
  EXPECT_EQ(FindTransactions(files, {}, 1).size(), 1u);
}

TEST(ConsoleLists, EntriesAreCheckedAsTheListWants) {
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::LocalDomains, {"example.org", "mail.example.com"}), "");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::LocalDomains, {"bad domain"}), "'bad domain' is no domain name");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::LocalDomains, {"a.example", "A.example"}),
            "'A.example' is listed twice");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::AllowedHosts, {"10.0.0.1", "::1"}), "");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::ManualBlacklist, {"10.0.0"}), "'10.0.0' is no IP address");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::LocalIps, {"192.168.", "fd00:"}), "");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::FromAddresses, {"@example.com", "boss@example.org"}), "");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::FromAddresses, {""}), "an empty entry");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::Blacklists, {"zen.example\r\nX"}),
            "'zen.example  X' is no domain name");
  EXPECT_EQ(TPolicyLists::ListProblem(TPolicyList::LocalDomains, std::vector<std::string>(10001, "a.example")),
            "more than 10000 entries");
}

TEST(MinuteCounts, TheLastHourOldestMinuteFirst) {
  TMinuteCounts counts;
  const TTimePoint start{std::chrono::hours(1000)};
  counts.Add(start, 2);
  counts.Add(start + std::chrono::seconds(30), 1);
  counts.Add(start + std::chrono::minutes(59), 4);
  auto hour = counts.LastHour(start + std::chrono::minutes(59));
  ASSERT_EQ(hour.size(), 60u);
  EXPECT_EQ(hour.front(), 3);
  EXPECT_EQ(hour.back(), 4);
  hour = counts.LastHour(start + std::chrono::minutes(60));
  EXPECT_EQ(hour.front() + hour[58], 4) << "the first minute has left the hour";
  counts.Add(start + std::chrono::minutes(120), 1);
  hour = counts.LastHour(start + std::chrono::minutes(120));
  EXPECT_EQ(std::accumulate(hour.begin(), hour.end(), 0), 1) << "a slot of an old hour is not counted again";
}
