#include "TFixedClock.h"
#include "TTempFolder.h"
#include "ULog.h"
#include "UScreenLog.h"
#include "UStats.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

using namespace quibo;
using namespace quibo::test;

namespace {

void SetModificationTime(const std::filesystem::path& file, TTimePoint when) {
  const auto seconds = std::chrono::system_clock::to_time_t(when);
  timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ::utimes(file.c_str(), times);
}

class Logging : public ::testing::Test {
protected:
  Logging()
      : Lock([this](int holders) { BusyReports.push_back(holders); }),
        Logger(Home.path(), Clock, Lock,
               TLogHooks{[this](std::string line) { ScreenLines.push_back(line); }, [this] { ++CounterClears; },
                         [this] { ++AutoLearns; }}) {}

  std::filesystem::path LogFolder() const { return Home.path() / "log"; }
  std::string MainLog() const { return ReadFile(LogFolder() / "Quibo.log"); }

  TTempFolder Home;
  TFixedClock Clock;
  std::vector<int> BusyReports;
  TVisibleCriticalSection Lock;
  std::vector<std::string> ScreenLines;
  int CounterClears = 0;
  int AutoLearns = 0;
  TLogger Logger;
};

} // namespace

TEST_F(Logging, LineFormats) {
  Clock.Set(LocalTime(2026, 3, 4, 5, 6));
  const TLogConnection connection{1234, "127.0.0.1"};
  const TLogConnection transaction{1234, "127.0.0.1", "0A1B2C3D4E5F"};
  Logger.WriteLog("SMTP Server connect", false, &connection);
  Logger.WriteLog("Relaying allowed", false, &transaction);
  Logger.WriteLog("plain", true);
  EXPECT_EQ(MainLog(), "2026-03-04 05:06:00 : [1234] 127.0.0.1 SMTP Server connect\r\n"
                       "2026-03-04 05:06:00 : [1234] 127.0.0.1 0A1B2C3D4E5F: Relaying allowed\r\n"
                       "2026-03-04 05:06:00 : plain\r\n");
  EXPECT_EQ(ScreenLines, std::vector<std::string>{"2026-03-04 05:06:00 : plain"});
}

TEST_F(Logging, TextWithLineBreaksOrControlsIsOnePrintableLine) {
  Clock.Set(LocalTime(2026, 3, 4, 5, 6));
  Logger.Switches().Screen = true;
  Logger.WriteTraffic(TTrafficDirection::ServerSent, 7, "250-a\r\n250 b\r\n");
  // A decoded subject that tries to write a line of its own, and a terminal escape.
  Logger.WriteLog("Hi\r\n2026-01-01 00:00:00 : [1] 127.0.0.1 Relaying allowed\x1b[2J\x7f", false);
  Logger.Switches().DebugLevel = 1;
  Logger.WriteDebugLog(std::string("Result: 5|A\0B|\n", 14));
  EXPECT_EQ(MainLog(),
            "2026-03-04 05:06:00 : [7] Server sent: 250-a  250 b\r\n"
            "2026-03-04 05:06:00 : Hi  2026-01-01 00:00:00 : [1] 127.0.0.1 Relaying allowed\\x1B[2J\\x7F\r\n");
  EXPECT_EQ(ScreenLines, std::vector<std::string>{"2026-03-04 05:06:00 : [7] Server sent: 250-a  250 b"});
  EXPECT_EQ(ReadFile(LogFolder() / "Debug.log"), "2026-03-04 05:06:00 : Result: 5|A\\x00B|\r\n");
}

TEST_F(Logging, SwitchesGateTheWriters) {
  Logger.WriteMailLog("not written");
  Logger.WriteTraceLog("not written", true);
  Logger.WriteDebugLog("not written");
  EXPECT_FALSE(std::filesystem::exists(LogFolder() / "Quibo.log"));
  EXPECT_FALSE(std::filesystem::exists(LogFolder() / "Debug.log"));
  Logger.Switches().MailLogging = true;
  Logger.Switches().DebugBox = true;
  Logger.Switches().DebugLevel = 1;
  Logger.WriteMailLog("mail");
  Logger.WriteTraceLog("trace", false);
  Logger.WriteDebugLog("debug");
  EXPECT_NE(MainLog().find(" : mail\r\n"), std::string::npos);
  EXPECT_NE(MainLog().find(" : trace\r\n"), std::string::npos);
  EXPECT_NE(ReadFile(LogFolder() / "Debug.log").find(" : debug\r\n"), std::string::npos);
  EXPECT_TRUE(ScreenLines.empty());
}

TEST_F(Logging, YesterdaysLogIsRotatedByTheFirstLine) {
  const TTimePoint today = LocalTime(2026, 5, 10, 9);
  Clock.Set(today);
  Logger.ResetDayMarkers();
  Logger.Switches().Rotation = true;
  std::filesystem::create_directories(LogFolder());
  WriteFile(LogFolder() / "Quibo.log", "old line\r\n");
  SetModificationTime(LogFolder() / "Quibo.log", today - kOneDay);
  Logger.WriteLog("first of today", false);
  EXPECT_EQ(ReadFile(LogFolder() / "Quibo.260509.log"), "old line\r\n");
  EXPECT_NE(MainLog().find("first of today"), std::string::npos);
  EXPECT_EQ(MainLog().find("old line"), std::string::npos);
  EXPECT_EQ(Logger.NextRotationDay(), today + kOneDay);
  // Today's log is not rotated again.
  Logger.WriteLog("second", false);
  EXPECT_NE(MainLog().find("first of today"), std::string::npos);
}

TEST_F(Logging, ADayWithoutLinesStillRotatesUnderTheFilesDay) {
  const TTimePoint friday = LocalTime(2026, 5, 8, 18);
  Clock.Set(friday);
  Logger.ResetDayMarkers();
  Logger.Switches().Rotation = true;
  Logger.WriteLog("friday", false);
  SetModificationTime(LogFolder() / "Quibo.log", friday);
  Clock.Set(friday + 2 * kOneDay); // nothing was logged on Saturday
  Logger.WriteLog("sunday", false);
  EXPECT_NE(ReadFile(Logger.DatedLogName(friday)).find("friday"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Logger.DatedLogName(friday + kOneDay)));
  EXPECT_EQ(MainLog().find("friday"), std::string::npos);
  EXPECT_NE(MainLog().find("sunday"), std::string::npos);
}

TEST_F(Logging, RotationKeepsTheWindowAndSweepsTheRest) {
  const TTimePoint start = LocalTime(2026, 5, 10, 9);
  Clock.Set(start);
  Logger.ResetDayMarkers();
  Logger.Switches().Rotation = true;
  Logger.Switches().WindowSize = 7;
  Logger.WriteLog("day one", false);
  Logger.Switches().ClearCountersOnRotate = true;
  std::filesystem::create_directories(LogFolder());
  const TTimePoint rotationDay = start + kOneDay;
  for (int k = 1; k <= 9; ++k)
    WriteFile(Logger.DatedLogName(rotationDay - k * kOneDay), "dated");
  std::filesystem::remove(Logger.DatedLogName(rotationDay - kOneDay));
  WriteFile(LogFolder() / "Debug.log", "debug");
  WriteFile(LogFolder() / "other.log", "other");
  WriteFile(LogFolder() / "notes.txt", "not a log");

  Clock.Set(rotationDay + std::chrono::hours(1));
  Logger.WriteLog("day two", false);
  for (int k = 1; k <= 7; ++k)
    EXPECT_TRUE(std::filesystem::exists(Logger.DatedLogName(rotationDay - k * kOneDay))) << k;
  EXPECT_EQ(ReadFile(Logger.DatedLogName(rotationDay - kOneDay)).find("day one"), 22u);
  EXPECT_FALSE(std::filesystem::exists(Logger.DatedLogName(rotationDay - 8 * kOneDay)));
  EXPECT_FALSE(std::filesystem::exists(Logger.DatedLogName(rotationDay - 9 * kOneDay)));
  EXPECT_FALSE(std::filesystem::exists(LogFolder() / "Debug.log"));
  EXPECT_FALSE(std::filesystem::exists(LogFolder() / "other.log"));
  EXPECT_TRUE(std::filesystem::exists(LogFolder() / "notes.txt"));
  EXPECT_EQ(CounterClears, 1);
  EXPECT_EQ(AutoLearns, 1); // the first line of a new day
}

TEST_F(Logging, TheWindowCountsBackFromTodayNotFromTheRotatedFilesDay) {
  const TTimePoint today = LocalTime(2026, 5, 10, 9);
  Clock.Set(today);
  Logger.ResetDayMarkers();
  Logger.Switches().Rotation = true;
  Logger.Switches().WindowSize = 2;
  std::filesystem::create_directories(LogFolder());
  // A dated log named after today, as a restart after a rotation today can leave one.
  WriteFile(Logger.DatedLogName(today), "today's");
  WriteFile(LogFolder() / "Quibo.log", "old line\r\n");
  SetModificationTime(LogFolder() / "Quibo.log", today - kOneDay);
  WriteFile(Logger.DatedLogName(today - 2 * kOneDay), "in the window");
  WriteFile(Logger.DatedLogName(today - 3 * kOneDay), "past it");
  Logger.WriteLog("first of today", false);
  EXPECT_EQ(ReadFile(Logger.DatedLogName(today)), "today's");
  EXPECT_EQ(ReadFile(Logger.DatedLogName(today - kOneDay)), "old line\r\n");
  EXPECT_TRUE(std::filesystem::exists(Logger.DatedLogName(today - 2 * kOneDay)));
  EXPECT_FALSE(std::filesystem::exists(Logger.DatedLogName(today - 3 * kOneDay)));
}

TEST_F(Logging, RotationOntoAnExistingNameKeepsTheLiveLog) {
  const TTimePoint today = LocalTime(2026, 5, 10, 9);
  Clock.Set(today);
  Logger.ResetDayMarkers();
  Logger.Switches().Rotation = true;
  std::filesystem::create_directories(LogFolder());
  WriteFile(LogFolder() / "Quibo.log", "old\r\n");
  SetModificationTime(LogFolder() / "Quibo.log", today - 3 * kOneDay);
  WriteFile(Logger.DatedLogName(today - 3 * kOneDay), "taken");
  Logger.WriteLog("new", false);
  EXPECT_EQ(ReadFile(Logger.DatedLogName(today - 3 * kOneDay)), "taken");
  EXPECT_EQ(MainLog().substr(0, 5), "old\r\n");
  EXPECT_NE(MainLog().find("new"), std::string::npos);
}

TEST_F(Logging, AutolearnOnlyWhenItsBoxIsChecked) {
  Clock.Set(LocalTime(2026, 5, 10, 23, 59));
  Logger.ResetDayMarkers();
  Logger.Switches().AutoLearn = false;
  Clock.Set(LocalTime(2026, 5, 11, 0, 1));
  Logger.WriteLog("after midnight", false);
  EXPECT_EQ(AutoLearns, 0);
  Logger.Switches().AutoLearn = true;
  Clock.Set(LocalTime(2026, 5, 12, 0, 1));
  Logger.WriteLog("next midnight", false);
  Logger.WriteLog("same day", false);
  EXPECT_EQ(AutoLearns, 1);
}

TEST_F(Logging, UnwritableFolderBecomesAScreenLineAndARemovedOneIsMadeAgain) {
  Clock.Set(LocalTime(2026, 3, 4, 5, 6));
  Logger.WriteLog("first", false);
  std::filesystem::remove_all(LogFolder());
  Logger.WriteLog("after the folder went", false);
  EXPECT_EQ(MainLog(), "2026-03-04 05:06:00 : after the folder went\r\n");
  EXPECT_TRUE(ScreenLines.empty());

  std::filesystem::remove_all(LogFolder());
  WriteFile(LogFolder(), "a file where the folder should be");
  Logger.WriteLog("lost", false);
  ASSERT_EQ(ScreenLines.size(), 1u);
  EXPECT_EQ(ScreenLines[0].rfind("Log Exception: ", 0), 0u);
}

TEST(VisibleCriticalSection, ReportsOverlapWithoutBlocking) {
  std::vector<int> reports;
  TVisibleCriticalSection section([&](int holders) { reports.push_back(holders); });
  section.Acquire();
  section.Acquire();
  section.Acquire();
  section.Release();
  section.Release();
  section.Release();
  section.Acquire();
  section.Release();
  EXPECT_EQ(reports, (std::vector<int>{1, 2}));
  EXPECT_EQ(BusyText(1), "Quibo dederazu says: Oh oh, I'm doing 2 things the same time!");
}

TEST(ScreenLog, KeepsTheNewest1001Lines) {
  TScreenLog screen;
  for (int i = 1; i <= 1002; ++i)
    screen.Append(std::to_string(i));
  EXPECT_EQ(screen.Contents().size(), 1001u);
  EXPECT_EQ(screen.Contents().front(), "2");
  EXPECT_EQ(screen.Contents().back(), "1002");
}

TEST(Stats, EventsCountTheirCounters) {
  TStats stats;
  stats.AddBlacklistServer("zen.example.org");
  stats.AddBlacklistServer("bl.example.net");
  using enum TStatEvent;
  for (TStatEvent event :
       {ConnectionServed, RelayConnected, RecipientNotLocal, HostBlacklisted, VirusFound, HeurasticPositive,
        HeurasticDropped, MessageRelayed, ClassifierNegative, RelayTime}) // the last three are not on the page
    stats.CountStatEvent(event);
  // Each row counter a different number of times, so an event on the wrong counter or row shows.
  const std::vector<std::pair<TStatEvent, int>> rowEvents{
      {DnsLookupStarted, 0}, {DnsLookupTimedOut, 0}, {DnsLookupTimedOut, 0}, {DnsLookupListed, 0},
      {DnsLookupListed, 0},  {DnsLookupListed, 0},   {DnsLookupStarted, 1},  {DnsLookupStarted, 1},
      {DnsLookupStarted, 1}, {DnsLookupStarted, 1},  {DnsLookupListed, 1},   {DnsLookupListed, 3}};
  for (const auto& [event, row] : rowEvents)
    stats.CountStatEvent(event, row);
  const TStats::TCounters expected{1, 5, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(stats.SinceReset(), expected);
  EXPECT_EQ(stats.Totals(), expected);
  const auto& rows = stats.BlacklistServers();
  EXPECT_EQ(std::vector<int>({rows[0].TotalChecks, rows[0].Timeout, rows[0].Listed}), std::vector<int>({1, 2, 3}));
  EXPECT_EQ(std::vector<int>({rows[1].TotalChecks, rows[1].Timeout, rows[1].Listed}), std::vector<int>({4, 0, 1}));
  stats.ResetStatistics();
  EXPECT_EQ(stats.SinceReset(), TStats::TCounters{});
  EXPECT_EQ(stats.Totals(), expected);
  EXPECT_EQ(stats.BlacklistServers()[0].Listed, 0);
  EXPECT_EQ(stats.BlacklistServers()[1].TotalChecks, 0);
}

TEST(Stats, StatFileIsLittleEndianAndShortFilesFillWhatTheyHave) {
  TTempFolder folder;
  const auto file = folder.path() / "quibo.stat";
  TStats stats;
  for (int i = 0; i < 258; ++i)
    stats.CountStatEvent(TStatEvent::ConnectionServed);
  stats.CountStatEvent(TStatEvent::VirusFound);
  ASSERT_TRUE(stats.SaveStatFile(file));
  const std::string bytes = ReadFile(file);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x02\x01\0\0\x01\0\0\0", 8));
  WriteFile(file, bytes.substr(0, 12));
  TStats loaded;
  ASSERT_TRUE(loaded.LoadStatFile(file));
  EXPECT_EQ(loaded.Totals(), (TStats::TCounters{258, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(loaded.LoadStatFile(folder.path() / "missing.stat"));
  // Loaded after counting has begun, the file's totals add to what was counted.
  loaded.CountStatEvent(TStatEvent::ConnectionServed);
  ASSERT_TRUE(loaded.LoadStatFile(file));
  EXPECT_EQ(loaded.Totals(), (TStats::TCounters{517, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(ConnectionCounters, RotationKeepsOpenConnectionsCounted) {
  TConnectionCounters counters;
  for (TConnectionEventCode code : {ServerConnect, ServerConnect, ServerConnect, ServerConnect, ServerDisconnect,
                                    ServerDisconnect, ClientConnect, ClientDisconnect})
    counters.Apply(code);
  counters.ClearOnRotate();
  EXPECT_EQ(counters.ServerConnects, 2);
  EXPECT_EQ(counters.ServerDisconnects, 0);
  EXPECT_EQ(counters.ClientConnects, 0);
  EXPECT_EQ(counters.Apply(ServerConnect), TStatEvent::ConnectionServed);
  EXPECT_EQ(counters.Apply(ClientConnect), TStatEvent::RelayConnected);
  EXPECT_EQ(counters.Apply(ServerDisconnect), std::nullopt);
}
