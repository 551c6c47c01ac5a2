#include "TFakeNextHop.h"
#include "TRawSmtpClient.h"
#include "TTempFolder.h"
#include "UMain.h"

#include <gtest/gtest.h>

using namespace quibo;
using namespace quibo::test;

namespace {

const std::string kGreeting = "220 Welcome to Quibo Dederazu 1.0.0.1\r\n";

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// What the desktop window would be told.
struct TRecordingView final : TFormView {
  std::vector<std::string> Calls;
  void ShowWindow() override { Calls.push_back("show"); }
  void HideWindow() override { Calls.push_back("hide"); }
  void ServiceStateChanged(long state) override { Calls.push_back("service " + std::to_string(state)); }
  void WeeklyUpdateCheck() override { Calls.push_back("weekly"); }
};

class Form : public ::testing::Test {
protected:
  void Start(const std::string& extra = "") {
    WriteFile(Home.path() / "quibo.ini", "[Settings]\nListenIP=127.0.0.1\nListenPort=0\n" + extra);
    Main = std::make_unique<TForm1>(TForm1::TOptions{Home.path(), "quibo", false, nullptr});
    Main->Create();
    ASSERT_GT(Main->ListeningPort(), 0);
  }
  // Runs posted work on this (the window) thread until the condition holds.
  bool Settle(const std::function<bool()>& condition) {
    return WaitFor([&] {
      Main->EventQueue().RunPending([this](const TEvent& event) { Main->HandleEvent(event); });
      return condition();
    });
  }
  std::unique_ptr<TRawSmtpClient> Connect() {
    auto client = std::make_unique<TRawSmtpClient>(Main->ListeningPort());
    EXPECT_EQ(client->Reply(), kGreeting);
    return client;
  }
  std::string MainLog() const { return ReadFile(Home.path() / "log" / "Quibo.log"); }
  // The background operations, waited for on this (the window) thread.
  std::string CheckBlacklist(const std::string& address) {
    Main->PolicyLists().CheckBlacklist(address);
    EXPECT_TRUE(Settle([this] { return !Main->PolicyLists().BlacklistCheckRunning(); }));
    return Main->BlacklistCheckLabel();
  }
  std::vector<std::string> VirusCheckTest(const std::filesystem::path& file) {
    std::vector<std::string> result;
    Main->Jobs().VirusCheckTest(file, [&result](const std::vector<std::string>& lines) { result = lines; });
    EXPECT_TRUE(Settle([this] { return !Main->Jobs().VirusCheckRunning(); }));
    return result;
  }

  TTempFolder Home;
  std::unique_ptr<TForm1> Main;
};

} // namespace

TEST_F(Form, StartUpSequenceLogsAndListens) {
  Start();
  EXPECT_NE(MainLog().find(" : Using Winsock version 2.0\r\n"), std::string::npos);
  EXPECT_NE(
      MainLog().find("Quibo 1.0.0.1 started listening on 127.0.0.1 port " + std::to_string(Main->ListeningPort())),
      std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(Home.path() / "ham"));
  EXPECT_TRUE(std::filesystem::is_directory(Home.path() / "spam"));
  EXPECT_EQ(Main->ServerIdent(), "Quibo SMTP Server Version 1.0.0.1");
  EXPECT_EQ(Main->AboutReply(), "Quibo version 1.0.0.1");
  EXPECT_EQ(Main->Listening().ListenChoices()[0], "All");
  EXPECT_EQ(Main->Button6Caption(), "Stop listening");
}

TEST_F(Form, OperatorStopDrainsSessionsThenStops) {
  Start();
  auto first = Connect();
  auto second = Connect();
  ASSERT_TRUE(
      Settle([&] { return Main->Connections().Count() == 2 && Main->ConnectionCounters().ServerConnects == 2; }));

  Main->Button6Click();
  Main->Button6Click();
  EXPECT_EQ(Main->Button6Caption(), "Stopping..");
  EXPECT_EQ(Occurrences(MainLog(), "Waiting for incoming connections to stop....."), 1u);
  TRawSmtpClient refused;
  EXPECT_FALSE(refused.Connect(Main->ListeningPort()));
  EXPECT_FALSE(Main->Listening().StopTimerEnabled());
  EXPECT_EQ(first->Command("NOOP"), "250 Ok\r\n");

  first->Command("QUIT");
  ASSERT_TRUE(Settle([&] { return Main->Connections().Count() == 1; }));
  EXPECT_FALSE(Main->Listening().StopTimerEnabled());
  second->Command("QUIT");
  ASSERT_TRUE(Settle(
      [&] { return Main->Listening().StopTimerEnabled() && Main->ConnectionCounters().ServerDisconnects == 2; }));
  EXPECT_NE(MainLog().find("Incoming connections stopped\r\n"), std::string::npos);
  EXPECT_NE(MainLog().find("Stopping server.....\r\n"), std::string::npos);

  Main->Listening().StopTimerFired();
  EXPECT_FALSE(Main->Listening().StopTimerEnabled());
  EXPECT_EQ(Main->Button6Caption(), "Start listening");
  EXPECT_NE(MainLog().find("Server stopped\r\n"), std::string::npos);

  Main->Button6Click();
  EXPECT_EQ(Main->Button6Caption(), "Stop listening");
  EXPECT_NE(MainLog().find("Server started\r\n"), std::string::npos);
  Connect();
}

TEST_F(Form, CloseAsksAboutLiveConnections) {
  Start();
  std::vector<std::string> questions;
  EXPECT_FALSE(Main->CloseQuery([&](const std::string& question) {
    questions.push_back(question);
    return false;
  }));
  EXPECT_EQ(questions, std::vector<std::string>{"Are you sure?"});
  EXPECT_NE(MainLog().find("Aborted closing..."), std::string::npos);

  std::vector<std::unique_ptr<TRawSmtpClient>> clients;
  for (int i = 0; i < 3; ++i)
    clients.push_back(Connect());
  ASSERT_TRUE(Settle([&] { return Main->Connections().Count() == 3; }));
  questions.clear();
  EXPECT_TRUE(Main->CloseQuery([&](const std::string& question) {
    questions.push_back(question);
    return true;
  }));
  EXPECT_EQ(questions, (std::vector<std::string>{"Are you sure?", "There are 3 active threads. Terminate anyway?"}));
  for (auto& client : clients)
    EXPECT_TRUE(client->ClosedByServer());
  EXPECT_NE(MainLog().find("Forcing all active SMTP connections to stop....."), std::string::npos);
  EXPECT_EQ(Occurrences(MainLog(), "Forced SMTP Server disconnect"), 3u);
  EXPECT_EQ(Main->Connections().Count(), 0u);
}

TEST_F(Form, TerminateFromTheThreadsPage) {
  Start("[Debug]\nDebug=1\n");
  auto client = Connect();
  ASSERT_TRUE(Settle([&] { return Main->Connections().Count() == 1; }));
  EXPECT_EQ(Main->ActiveConnections(), "1 active server connections.\n0 active client connections.");
  Main->TerminateConnection(0);
  EXPECT_TRUE(client->ClosedByServer());
  ASSERT_TRUE(Settle([&] { return Main->Connections().Count() == 0; }));
  EXPECT_NE(ReadFile(Home.path() / "log" / "Debug.log").find("Disconnecting.."), std::string::npos);
}

TEST_F(Form, HandEditsAreReloadedButOwnSavesAreNot) {
  Start();
  Main->CheckSettingsReload();
  EXPECT_EQ(MainLog().find("Reloaded settings file"), std::string::npos);

  Main->Editable().CBScreen = true;
  Main->SettingsModel().Save();
  Main->CheckSettingsReload();
  EXPECT_EQ(MainLog().find("Reloaded settings file"), std::string::npos);

  const int oldPort = Main->ListeningPort();
  std::string text = ReadFile(Home.path() / "quibo.ini");
  text.replace(text.find("ListenPort=0"), 12, "ListenPort=" + std::to_string(FreePort()));
  WriteFile(Home.path() / "quibo.ini", text);
  std::filesystem::last_write_time(Home.path() / "quibo.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::seconds(2));
  Main->CheckSettingsReload();
  EXPECT_NE(MainLog().find("Reloaded settings file"), std::string::npos);
  EXPECT_NE(Main->ListeningPort(), oldPort);
  EXPECT_TRUE(Main->Settings()->CBScreen);
  Connect();
}

TEST_F(Form, EventsReachTheCountersAndTheLog) {
  Start();
  Main->EventQueue().Post(EvConnection, ClientConnect);
  Main->EventQueue().Post(EvStatistic, static_cast<long>(TStatEvent::VirusFound));
  Main->EventQueue().Post(EvBusy, 2);
  Settle([] { return true; });
  EXPECT_EQ(Main->ConnectionCounters().ClientConnects, 1);
  EXPECT_EQ(Main->Stats().SinceReset()[Passed], 1);
  EXPECT_EQ(Main->Stats().SinceReset()[Virus], 1);
  EXPECT_NE(MainLog().find("Quibo dederazu says: Oh oh, I'm doing 3 things the same time!"), std::string::npos);
  Main->ResetConnectionCounters();
  EXPECT_EQ(Main->ConnectionCounters().ClientConnects, 0);
  Main->ResetCounters();
  EXPECT_EQ(Main->Stats().SinceReset()[Virus], 0);
  EXPECT_EQ(Main->Stats().Totals()[Virus], 1);
  EXPECT_NE(Main->LastClearedText().find(", 20"), std::string::npos); // "mmmm d, yyyy hh:mm:ss"
}

TEST_F(Form, StatisticsPersistOnlyWhenAsked) {
  WriteFile(Home.path() / "quibo.stat", std::string("\x05\0\0\0", 4));
  Start();
  Main->EventQueue().Post(EvConnection, 1);
  Settle([] { return true; });
  Main.reset();
  EXPECT_EQ(ReadFile(Home.path() / "quibo.stat"), std::string("\x05\0\0\0", 4));

  Start("SaveStatistics=1\n");
  EXPECT_EQ(Main->Stats().Totals()[Total], 5);
  Main->EventQueue().Post(EvConnection, 1);
  Settle([] { return true; });
  Main.reset();
  const std::string saved = ReadFile(Home.path() / "quibo.stat");
  ASSERT_EQ(saved.size(), 32u);
  EXPECT_EQ(saved[0], 6);
}

TEST_F(Form, SavingSwitchedOnByAReloadReadsTheFileFirst) {
  WriteFile(Home.path() / "quibo.stat", std::string("\x64\0\0\0\x05\0\0\0\x5a\0\0\0", 12)); // 100, 5, 90
  Start();
  Main->EventQueue().Post(EvConnection, 1);
  Main->EventQueue().Post(EvConnection, 1);
  Settle([] { return true; });
  const std::string off = ReadFile(Home.path() / "quibo.ini"), on = off + "SaveStatistics=1\n";
  WriteFile(Home.path() / "quibo.ini", on);
  std::filesystem::last_write_time(Home.path() / "quibo.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  Main->CheckSettingsReload();
  EXPECT_EQ(Main->Stats().Totals()[Total], 102);
  EXPECT_EQ(Main->Stats().Totals()[Passed], 90);
  // Off and on again: the file's totals are in already.
  WriteFile(Home.path() / "quibo.ini", off);
  std::filesystem::last_write_time(Home.path() / "quibo.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(2));
  Main->CheckSettingsReload();
  WriteFile(Home.path() / "quibo.ini", on);
  std::filesystem::last_write_time(Home.path() / "quibo.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(3));
  Main->CheckSettingsReload();
  Main.reset();
  const std::string saved = ReadFile(Home.path() / "quibo.stat");
  ASSERT_EQ(saved.size(), 32u);
  EXPECT_EQ(saved.substr(0, 12), std::string("\x66\0\0\0\x05\0\0\0\x5a\0\0\0", 12));
}

TEST_F(Form, LearningRunsTheClassifierAndEmptiesTheFolders) {
  Start("[Heurastic]\nDeleteFilesAfterLearn=1\n");
  WriteFile(Home.path() / "HCheck", "#!/bin/sh\n[ \"$1\" = --ham ] && echo '2|7|' || echo '1|3|'\n");
  std::filesystem::permissions(Home.path() / "HCheck", std::filesystem::perms::owner_all);
  WriteFile(Home.path() / "ham" / "one", "x");
  WriteFile(Home.path() / "spam" / "two", "y");
  std::filesystem::create_directories(Home.path() / "ham" / "keep-folder");
  Main->Jobs().LearnNow();
  ASSERT_TRUE(Settle([this] { return !Main->Jobs().LearningRunning(); }));
  EXPECT_EQ(Main->HamLearnLabel(), "Learned 2 from 7 total");
  EXPECT_EQ(Main->SpamLearnLabel(), "Learned 1 from 3 total");
  EXPECT_FALSE(std::filesystem::exists(Home.path() / "ham" / "one"));
  EXPECT_FALSE(std::filesystem::exists(Home.path() / "spam" / "two"));
  EXPECT_TRUE(std::filesystem::exists(Home.path() / "ham" / "keep-folder"));
  EXPECT_NE(MainLog().find("Autolearning started...\r\n"), std::string::npos);
  EXPECT_NE(MainLog().find("Autolearning finished...\r\n"), std::string::npos);
}

TEST_F(Form, ForwardingTableIsRebuiltAtApply) {
  Start("OutgoingIP=127.0.0.1\n[Forward]\n2=example.org,127.0.0.2,25\n3=example.net,mail.example.net,25\n");
  ASSERT_EQ(Main->Generation()->Forwarders->Servers().size(), 1u);
  EXPECT_EQ(Main->SettingsModel().ForwardServerChoices(), (std::vector<std::string>{"127.0.0.1", "127.0.0.2"}));
  EXPECT_NE(MainLog().find("Invalid Ip number: mail.example.net"), std::string::npos);
  Main->Editable().DistributeGrid.push_back({"example.com", "127.0.0.3", "2525"});
  const auto before = Main->Generation()->Forwarders;
  Main->ApplySettings();
  EXPECT_EQ(Main->Generation()->Forwarders->Servers().size(), 2u);
  EXPECT_EQ(before->Servers().size(), 1u); // a relay in progress keeps the table it started with
}

TEST_F(Form, VirusCheckTestReportsTheVerdict) {
  Start("[VirusCheck]\nVirusProgram=sh -c \"exit 1\" %s\nResultCode=1\n[Debug]\nAcceptance=1\n");
  EXPECT_EQ(VirusCheckTest(Home.path() / "quibo.ini"), std::vector<std::string>{"Virus found! (result code: 1)"});
  EXPECT_NE(MainLog().find("Virus found! (result code: 1)"), std::string::npos);
}

TEST_F(Form, PolicyListsActAtOnceOrAtSave) {
  Start("[Blacklists]\n0=first.test\n1=second.test,0\n[LocalDomains]\n0=local.example\n");
  const auto rows = [this] {
    std::vector<std::string> names;
    for (const auto& row : Main->Stats().BlacklistServers())
      names.push_back(row.HostName);
    return names;
  };
  EXPECT_EQ(rows(), (std::vector<std::string>{"first.test", "second.test"}));

  // A deleted zone takes its own statistics row with it; a lookup still under
  // way for it counts nowhere.
  const long secondId = Main->Settings()->LBBlacklists[1].StatId;
  Main->PolicyLists().Delete(TPolicyList::Blacklists, 0);
  Main->PolicyLists().Add(TPolicyList::Blacklists, "third.test");
  EXPECT_EQ(rows(), (std::vector<std::string>{"second.test", "third.test"}));
  EXPECT_EQ(Main->Settings()->LBBlacklists[1].Flag, "1");
  const long started = static_cast<long>(TStatEvent::DnsLookupStarted);
  Main->HandleEvent({EvStatistic, started, secondId});
  Main->HandleEvent({EvStatistic, started, secondId - 1}); // the deleted zone's id
  EXPECT_EQ(Main->Stats().BlacklistServers()[0].TotalChecks, 1);
  EXPECT_EQ(Main->Stats().BlacklistServers()[1].TotalChecks, 0);

  // Host and sender lists reach the running filter at once, duplicates and all.
  Main->PolicyLists().Add(TPolicyList::ManualBlacklist, "127.0.0.1");
  Main->PolicyLists().Add(TPolicyList::ManualBlacklist, "127.0.0.1");
  EXPECT_EQ(Main->Settings()->LBManualBlacklist, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
  EXPECT_EQ(CheckBlacklist("127.0.0.1"), "127.0.0.1 listed on manual");
  Main->PolicyLists().Delete(TPolicyList::ManualBlacklist, 1);
  Main->PolicyLists().Add(TPolicyList::FromAddresses, "friend.example");
  EXPECT_EQ(Main->Settings()->LBFromAddresses, std::vector<std::string>{"friend.example"});

  // Nothing selected: an error for the lists that act at once, nothing at all for the relay lists.
  Main->PolicyLists().Delete(TPolicyList::AllowedHosts, -1);
  EXPECT_NE(MainLog().find("Unhandled Exception: List index out of bounds (-1)"), std::string::npos);
  Main->PolicyLists().Delete(TPolicyList::LocalDomains, -1);
  EXPECT_EQ(Occurrences(MainLog(), "Unhandled Exception"), 1u);

  // The relay lists wait for "Save"; typing rewrites the selected entry.
  Main->PolicyLists().Add(TPolicyList::LocalDomains, "other.example");
  Main->PolicyLists().Rewrite(TPolicyList::LocalDomains, 1, "second.example");
  Main->PolicyLists().Rewrite(TPolicyList::LocalDomains, -1, "ignored.example");
  EXPECT_EQ(Main->PolicyLists().Entries(TPolicyList::LocalDomains),
            (std::vector<std::string>{"local.example", "second.example"}));
  EXPECT_EQ(Main->Applied()->LocalDomains, std::vector<std::string>{"local.example"});
  Main->SettingsModel().Save();
  Main->ApplySettings();
  EXPECT_EQ(Main->Applied()->LocalDomains, (std::vector<std::string>{"local.example", "second.example"}));
  EXPECT_NE(ReadFile(Home.path() / "quibo.ini").find("[Blacklists]\n0=second.test,0\n1=third.test\n"),
            std::string::npos);
}

TEST_F(Form, BlacklistCheckOfTheDebugPage) {
  Start("DnsIP=127.0.0.1\nDnsPort=1\nDnsTimeout=1\n");
  EXPECT_EQ(Main->BlacklistCheckLabel(), "not checked");
  EXPECT_EQ(CheckBlacklist("127.0.0.1"), "127.0.0.1 not listed"); // no zones
  Main->PolicyLists().Add(TPolicyList::Blacklists, "bl.test");
  Main->Editable().EDNSIp = "dns.example";
  Main->ApplySettings();
  EXPECT_EQ(CheckBlacklist("127.0.0.1"), "Invalid DNS server address: dns.example"); // not swallowed
  EXPECT_EQ(Main->BlacklistCheckLabel(), "Invalid DNS server address: dns.example");
}

TEST_F(Form, WeeklyCounterAndWindowEventsReachTheView) {
  Start();
  TRecordingView view;
  Main->SetView(&view);
  EXPECT_EQ(Main->WeeklyCounter(), 161);
  for (int hour = 0; hour < 6; ++hour)
    Main->HourlyTick();
  EXPECT_TRUE(view.Calls.empty());
  Main->ResetConnectionCounters(); // "Reset " counts as a tick
  EXPECT_EQ(view.Calls, std::vector<std::string>{"weekly"});
  EXPECT_EQ(Main->WeeklyCounter(), 0);
  for (int hour = 0; hour < 167; ++hour)
    Main->HourlyTick();
  EXPECT_EQ(view.Calls.size(), 1u);
  Main->HourlyTick();
  EXPECT_EQ(view.Calls.size(), 2u);

  view.Calls.clear();
  Main->EventQueue().Post(EvShowWindow);
  Main->EventQueue().Post(EvHideWindow);
  Main->EventQueue().Post(EvServiceState, 0);
  Settle([] { return true; });
  EXPECT_EQ(view.Calls, (std::vector<std::string>{"show", "hide", "service 0"}));
  Main->SetView(nullptr);
}

TEST_F(Form, ThresholdActsWhenItsFieldIsLeft) {
  Start();
  Main->Editable().ESpamThreshold = "4,5";
  Main->SettingsModel().ThresholdEdited();
  EXPECT_EQ(Main->Editable().ESpamThreshold, "4.5");
  EXPECT_EQ(Main->Applied()->Threshold, 4.5);
  Main->Editable().ESpamThreshold = "many";
  Main->SettingsModel().ThresholdEdited();
  EXPECT_EQ(Main->Applied()->Threshold, 5.0);
}

TEST_F(Form, TestMailGoesToTheOwnListenerAndCloseHappensOnce) {
  TFakeNextHop nextHop;
  Start("OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(nextHop.Port()) + "\n[LocalDomains]\n0=example.org\n");
  TTestMailResult outcome;
  Main->Jobs().SendTestMail({"me@example.com", "a@example.org; b@example.org", "Hello", {"text", ".hidden"}},
                            [&](const TTestMailResult& result) { outcome = result; });
  ASSERT_TRUE(Settle([this] { return !Main->Jobs().TestMailRunning(); }));
  EXPECT_TRUE(outcome.Sent);
  ASSERT_EQ(nextHop.Mails().size(), 1u);
  EXPECT_EQ(nextHop.Mails()[0].Recipients, (std::vector<std::string>{"<a@example.org>", "<b@example.org>"}));
  const std::string data = nextHop.Mails()[0].Data;
  EXPECT_NE(data.find("From: me@example.com\r\nSender: me@example.com\r\nTo: a@example.org, b@example.org\r\n"
                      "Subject: Hello\r\n"),
            std::string::npos);
  EXPECT_NE(data.find("\r\n\r\ntext\r\n..hidden\r\n"), std::string::npos); // the body, dot-stuffed

  Main->Close();
  Main->Close();
  EXPECT_EQ(Occurrences(MainLog(), "Stopping server.."), 1u);
  Main->Jobs().SendTestMail({"me@example.com", "a@example.org", "late", {}}, [](const TTestMailResult&) {});
  EXPECT_FALSE(Main->Jobs().TestMailRunning()); // nothing starts once closed
}

TEST(SettingsModel, LimitsTheSettingsTableLeavesOpen) {
  TSettings settings;
  settings.MaxRecipients = 5; // every server must take 100 per transaction
  settings.DnsTimeout = 3600; // a blacklist silent for 10 s will not answer
  settings.EndOfDataTimeout = 0;
  settings.ServerTimeout = 60; // a balancer sends its PROXY header at once
  settings.TerminateWaitTime = -5;
  EXPECT_EQ(TSettingsModel::RecipientLimit(settings), 100u);
  EXPECT_EQ(TSettingsModel::DnsWaitMs(settings), 10000);
  EXPECT_EQ(TSettingsModel::EndOfDataSeconds(settings), 1);
  EXPECT_EQ(TSettingsModel::ProxyHeaderWaitMs(settings), 5000);
  EXPECT_EQ(TSettingsModel::TerminateWaitMs(settings), 0);
  settings.MaxRecipients = 500;
  settings.DnsTimeout = 3;
  EXPECT_EQ(TSettingsModel::RecipientLimit(settings), 500u);
  EXPECT_EQ(TSettingsModel::DnsWaitMs(settings), 3000);
}
