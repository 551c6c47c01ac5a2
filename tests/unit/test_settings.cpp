#include "TTempFolder.h"
#include "UAddress.h"
#include "UFunctions.h"
#include "USettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quibo;

namespace {
const TSettingsDefaults kDefaults{"1.0.0.1", "mail.example.test"};

TSettings Load(const std::string& text) { return LoadSettings(TIniDocument::Parse(text), kDefaults); }
} // namespace

TEST(Settings, MissingSectionsGiveTheDefaults) {
  TSettings settings = Load("[Other]\nx=1\n");
  const TAppliedSettings applied = ApplySettings(settings);
  EXPECT_EQ(ToIntDef(settings.EListenPort, 25), 25);
  EXPECT_EQ(applied.OutgoingPort, 26);
  EXPECT_TRUE(settings.AllowEmptyMailFrom);
  EXPECT_TRUE(settings.CBRelayLocalDomain);
  EXPECT_TRUE(settings.CBRelayLocalIp);
  EXPECT_TRUE(settings.RBPass);
  EXPECT_EQ(settings.Welcome, "Welcome to Quibo Dederazu 1.0.0.1");
  EXPECT_EQ(settings.MailHostName, "mail.example.test");
  EXPECT_EQ(settings.ServerTimeout, 600);
  EXPECT_EQ(applied.MaxMailBytes, 20 * 1024);
  EXPECT_EQ(applied.Threshold, 5.0);
  EXPECT_EQ(settings.ForwardTimeout, 300);
}

TEST(Settings, NamesMatchWithoutCaseAndBadValuesKeepDefaults) {
  const TSettings settings = Load(
      "[settings]\nLISTENPORT = 2525\nmaxconnections=abc\nRelayLocalOnly=2\nServerTimeout=30\nthis line is broken\n"
      "[HEURASTIC]\nDropScore=12x\n[localip]\n9=10.0.\n1=192.168.\n");
  EXPECT_EQ(settings.EListenPort, "2525");
  EXPECT_EQ(settings.MaxConnections, 0);
  EXPECT_TRUE(settings.CBRelayLocalDomain);
  EXPECT_EQ(settings.ServerTimeout, 30);
  EXPECT_EQ(settings.SEDropThreshold, 15);
  // Keys of a list are ignored; the file order counts.
  EXPECT_EQ(settings.LBLocalIP, (std::vector<std::string>{"10.0.", "192.168."}));
}

TEST(Settings, WholeNumbersOutOfRangeGiveTheDefaultAndSaySo) {
  std::vector<std::string> notices;
  const TSettings settings = LoadSettings(
      TIniDocument::Parse("[Settings]\nServerTimeout=3000000\nDnsTimeout=0\nForwardTimeout=-5\nMaxHeaderSize=64\n"
                          "MaxConnections=10\n[VirusCheck]\nVirusCheckTimeOut=0\nResultCode=258\n"
                          "[Heurastic]\nHeurasticCheckTimeOut=99999999999\n[Debug]\nLogFileWindowSize=-1\n"),
      kDefaults, &notices);
  EXPECT_EQ(settings.ServerTimeout, 600);
  EXPECT_EQ(settings.DnsTimeout, 5);
  EXPECT_EQ(settings.ForwardTimeout, 300);
  EXPECT_EQ(settings.VirusCheckTimeOut, 30000);
  EXPECT_EQ(settings.HeurasticCheckTimeOut, 600000); // not even a 32-bit number: the default, without a word
  EXPECT_EQ(settings.MaxHeaderSize, 64);
  EXPECT_EQ(settings.MaxConnections, 10);
  EXPECT_EQ(settings.SEVirusErrorlevel, 258);
  EXPECT_EQ(settings.SERotation, -1);
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "Settings: DnsTimeout=0 is out of range (1..3600), using 5",
                         "Settings: ServerTimeout=3000000 is out of range (1..86400), using 600",
                         "Settings: ForwardTimeout=-5 is out of range (1..86400), using 300",
                         "Settings: VirusCheckTimeOut=0 is out of range (1..86400000), using 30000",
                     }));
  EXPECT_EQ(Load("").MaxHeaderSize, 1024);
}

TEST(Settings, PortsOutsideTheirRangeAreNoNumbers) {
  TSettings settings = Load("[Settings]\nOutgoingPort=70000\n");
  EXPECT_EQ(ApplySettings(settings).OutgoingPort, 26);
  EXPECT_EQ(PortOrDefault("2525", 25), 2525);
  EXPECT_EQ(PortOrDefault("-1", 25), 25);
  EXPECT_EQ(PortOrDefault("0", 25), 0);
}

TEST(Settings, ThresholdIsNormalised) {
  TSettings settings = Load("[Heurastic]\nThreshold=4,5\n");
  EXPECT_EQ(ApplySettings(settings).Threshold, 4.5);
  EXPECT_EQ(Load("[Heurastic]\nThreshold=+3\n").ESpamThreshold, "+3");
  TSettings plus = Load("[Heurastic]\nThreshold=+3\n");
  EXPECT_EQ(ApplySettings(plus).Threshold, 3.0);
  plus.ESpamThreshold = "+-3";
  EXPECT_EQ(ApplySettings(plus).Threshold, 5.0);
  EXPECT_EQ(settings.ESpamThreshold, "4.5");
  settings.ESpamThreshold = "high";
  EXPECT_EQ(ApplySettings(settings).Threshold, 5.0);
}

TEST(Settings, BlacklistFlagsRoundTrip) {
  const TSettings settings = Load("[BlackLists]\n0=zen.example.org,0\n1=bl.example.net\n2=rbl.example.com,1\n3=,0\n");
  ASSERT_EQ(settings.LBBlacklists.size(), 3u);
  EXPECT_EQ(settings.LBBlacklists[0].Flag, "0");
  EXPECT_EQ(settings.LBBlacklists[1].Flag, "1");
  EXPECT_EQ(settings.LBBlacklists[2].Flag, "1");
  TIniDocument file;
  SaveSettings(settings, file);
  EXPECT_EQ(file.SectionValues("Blacklists"),
            (std::vector<std::string>{"zen.example.org,0", "bl.example.net", "rbl.example.com"}));
}

TEST(Settings, ForwardRowsWithHostNamesAreDroppedAtSave) {
  TSettings settings = Load("[Settings]\nOutgoingIP=127.0.0.1\nOutgoingPort=2526\n[Forward]\n"
                            "2=example.org,127.0.0.2,25\n3=example.net,mail.example.net,25\n4=,127.0.0.3,25\n");
  ASSERT_EQ(settings.DistributeGrid.size(), 3u);
  EXPECT_EQ(settings.DistributeGrid[1].Server, "mail.example.net");
  EXPECT_EQ(ApplySettings(settings).OutgoingPort, 2526);
  TIniDocument file;
  SaveSettings(settings, file);
  EXPECT_EQ(file.SectionValues("Forward"), std::vector<std::string>{"example.org,127.0.0.2,25"});
}

TEST(Settings, SaveKeepsWhatTheProgramDoesNotOwn) {
  const std::string original = "; operator notes\n[Settings]\nListenPort=25\nMaxConnections=40\n; keep me\n"
                               "UpdateServer=http://127.0.0.1:8080/updates\n"
                               "[VirusCheck]\nClamdSocket=/run/clamav/clamd.ctl\n"
                               "[Custom]\nanswer=42\n[LocalDomains]\n0=old.example\n";
  TIniDocument file = TIniDocument::Parse(original);
  TSettings settings = Load(original);
  settings.EListenPort = "2525";
  settings.LBLocalDomain = {"example.org", "example.com"};
  EXPECT_EQ(settings.UpdateServer, "http://127.0.0.1:8080/updates");
  settings.UpdateServer = "http://127.0.0.2";
  EXPECT_EQ(settings.ClamdSocket, "/run/clamav/clamd.ctl");
  settings.ClamdSocket = "127.0.0.3:3310";
  SaveSettings(settings, file);
  const std::string text = file.Text();
  EXPECT_NE(text.find("; operator notes\n"), std::string::npos);
  EXPECT_NE(text.find("MaxConnections=40\n"), std::string::npos);
  EXPECT_NE(text.find("; keep me\n"), std::string::npos);
  EXPECT_NE(text.find("[Custom]\nanswer=42\n"), std::string::npos);
  EXPECT_EQ(text.find("old.example"), std::string::npos);
  const TSettings reloaded = LoadSettings(file, kDefaults);
  EXPECT_EQ(reloaded.EListenPort, "2525");
  EXPECT_EQ(reloaded.MaxConnections, 40);
  EXPECT_EQ(reloaded.LBLocalDomain, settings.LBLocalDomain);
  // File-only keys are never written.
  EXPECT_EQ(text.find("ServerTimeout"), std::string::npos);
  EXPECT_EQ(text.find("127.0.0.2"), std::string::npos);
  EXPECT_EQ(text.find("127.0.0.3"), std::string::npos);
  EXPECT_NE(text.find("ClamdSocket=/run/clamav/clamd.ctl\n"), std::string::npos);
  EXPECT_NE(text.find("RelayLocalOnlyIP=1"), std::string::npos);
}

TEST(Settings, EveryControlSurvivesASaveAndLoad) {
  TSettings settings = Load("");
  settings.CBIp1 = "127.0.0.1";
  settings.EOutgoingIP = "127.0.0.9";
  settings.RBPass = false;
  settings.RBForward = true;
  settings.CBHeurastic = true;
  settings.ESpamThreshold = "7.5";
  settings.SEHeurasticMaxSize = 64;
  settings.CBScreen = true;
  settings.SERotation = 3;
  settings.LBManualBlacklist = {"192.0.2.1"};
  settings.LBFromAddresses = {"@example.org"};
  TIniDocument file;
  SaveSettings(settings, file);
  const TSettings reloaded = LoadSettings(file, kDefaults);
  EXPECT_EQ(reloaded.CBIp1, "127.0.0.1");
  EXPECT_EQ(reloaded.EOutgoingIP, "127.0.0.9");
  EXPECT_TRUE(reloaded.RBForward);
  EXPECT_FALSE(reloaded.RBPass);
  EXPECT_TRUE(reloaded.CBHeurastic);
  EXPECT_EQ(reloaded.ESpamThreshold, "7.5");
  EXPECT_EQ(reloaded.SEHeurasticMaxSize, 64);
  EXPECT_TRUE(reloaded.CBScreen);
  EXPECT_EQ(reloaded.SERotation, 3);
  EXPECT_EQ(reloaded.LBManualBlacklist, settings.LBManualBlacklist);
  EXPECT_EQ(reloaded.LBFromAddresses, settings.LBFromAddresses);
}

// Forwarding rows and DnsIP take an IPv4 or IPv6 address, blanks around it allowed.
TEST(Settings, IpAddressTest) {
  EXPECT_TRUE(IsIpText(Trimmed(" 127.0.0.1 ")));
  EXPECT_TRUE(IsIpText(Trimmed(" 2001:DB8::1 ")));
  EXPECT_FALSE(IsIpText("10.1.2.3.extra")); // text after the address is no longer ignored
  EXPECT_FALSE(IsIpText("256.1.1.1"));
  EXPECT_FALSE(IsIpText("1.2.3"));
  EXPECT_FALSE(IsIpText("mail.example.org"));
  EXPECT_FALSE(IsIpText("1..2.3"));
  EXPECT_FALSE(IsIpText(""));
}

TEST(IniDocument, WritesIntoExistingSectionsAndErasesAllCopies) {
  TIniDocument file = TIniDocument::Parse("[A]\nx=1\n\n[B]\ny=2\n[a]\nz=3\n");
  file.Write("A", "w", "4");
  file.Write("C", "v", "5");
  EXPECT_EQ(file.Read("a", "W"), "4");
  EXPECT_EQ(file.Read("A", "z"), "3");
  EXPECT_EQ(file.Text(), "[A]\nx=1\nw=4\n\n[B]\ny=2\n[a]\nz=3\n\n[C]\nv=5\n");
  file.EraseSection("A");
  EXPECT_EQ(file.Text(), "[B]\ny=2\n[C]\nv=5\n");
}

TEST(IniDocument, SavingThroughALinkReplacesItsTargetWithTheSameMode) {
  quibo::test::TTempFolder folder;
  const auto settings = folder.path() / "etc" / "quibo.ini", link = folder.path() / "home" / "quibo.ini";
  std::filesystem::create_directories(settings.parent_path());
  std::filesystem::create_directories(link.parent_path());
  quibo::test::WriteFile(settings, "[Settings]\nListenPort=25\n");
  ::chmod(settings.c_str(), 0640);
  std::filesystem::create_symlink("../etc/quibo.ini", link);

  TIniDocument file = TIniDocument::Load(link);
  file.Write("Settings", "ListenPort", "2525");
  file.Save(link);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(TIniDocument::Load(settings).Read("Settings", "ListenPort"), "2525");
  struct stat saved {};
  ASSERT_EQ(::stat(settings.c_str(), &saved), 0);
  EXPECT_EQ(saved.st_mode & 0777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(settings.string() + ".new"));
}
