#include "TFakeHttpServer.h"
#include "TFakeNextHop.h"
#include "TFixedClock.h"
#include "TRawSmtpClient.h"
#include "TTempFolder.h"
#include "UClamdConnection.h"
#include "UEvents.h"
#include "UForward.h"
#include "UHeurastic.h"
#include "UHostNameCache.h"
#include "UMessageProcessing.h"
#include "UProcessRunner.h"
#include "URelayPool.h"
#include "URspamdHeaders.h"
#include "UVirusCheck.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace quibo;
using namespace quibo::test;

namespace {

std::vector<std::string> Hosts(const std::vector<TRCPTList>& groups) {
  std::vector<std::string> hosts;
  for (const auto& group : groups)
    hosts.push_back(group.Host + ":" + std::to_string(group.Port));
  return hosts;
}

void WriteScript(const std::filesystem::path& file, const std::string& body) {
  WriteFile(file, "#!/bin/sh\n" + body);
  ::chmod(file.c_str(), 0755);
}

// The classifier bridge over a program folder of its own.
struct TBridgeHome {
  TTempFolder Folder;
  TFixedClock Clock;
  TVisibleCriticalSection Lock{nullptr};
  TLogger Log{Folder.path(), Clock, Lock, {}};
  TClassifierBridge Bridge{Folder.path(), Log, 5000, "config"};
};

} // namespace

TEST(Forwarding, DestinationGroups) {
  TForward table;
  ASSERT_TRUE(table.AddForwarder("example.org", "10.0.0.1", "25"));
  ASSERT_TRUE(table.AddForwarder("sub.example.org", "10.0.0.2", "2525"));
  ASSERT_TRUE(table.AddForwarder("example.net", "10.0.0.1", "587"));
  const std::vector<std::string> recipients{"a@EXAMPLE.org", "b@sub.example.org", "c@other.test", "d@example.net",
                                            "e@notexample.org"};

  const auto single = BuildDestinationGroups(recipients, false, table, "10.0.0.9", 26);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].Recipients, recipients);

  const auto groups = BuildDestinationGroups(recipients, true, table, "10.0.0.9", 26);
  // The first matching row wins (sub.example.org matches example.org first); one server
  // on two ports is two destinations.
  EXPECT_EQ(Hosts(groups), (std::vector<std::string>{"10.0.0.1:25", "10.0.0.9:26", "10.0.0.1:587"}));
  EXPECT_EQ(groups[0].Recipients, (std::vector<std::string>{"a@EXAMPLE.org", "b@sub.example.org", "e@notexample.org"}));
  EXPECT_EQ(groups[1].Recipients, std::vector<std::string>{"c@other.test"});
  EXPECT_EQ(groups[2].Recipients, std::vector<std::string>{"d@example.net"});
}

TEST(Forwarding, RowsThatCannotBeUsedAreRefused) {
  TForward table;
  std::string notice;
  EXPECT_FALSE(table.AddForwarder("", "10.0.0.1", "25", &notice));
  EXPECT_EQ(notice, "");
  EXPECT_FALSE(table.AddForwarder("example.org", "mail.example.org", "25", &notice));
  EXPECT_EQ(notice, "Invalid Ip number: mail.example.org");
  EXPECT_FALSE(table.AddForwarder("example.org", "10.0.0.1", "smtp", &notice));
  EXPECT_EQ(notice, "Invalid port number: smtp (example.org)");
  EXPECT_TRUE(table.AddForwarder("a.test", "10.0.0.1", "25"));
  EXPECT_TRUE(table.AddForwarder("b.test", "10.0.0.2", "25"));
  table.DeleteForwarder(0);
  ASSERT_EQ(table.Servers().size(), 1u);
  EXPECT_EQ(table.Servers()[0].Domain, "b.test");
  table.ClearForwarders();
  EXPECT_TRUE(table.Servers().empty());
}

TEST(HostNames, ABusyPeerIsLookedUpOnceAndTheCacheStaysBounded) {
  std::vector<std::string> asked;
  THostNameCache cache([&asked](const std::string& ip) {
    asked.push_back(ip);
    return ip == "192.0.2.1" ? TPeerName{"mx.example.org", true} : TPeerName{};
  });
  EXPECT_EQ(cache.Peer("192.0.2.1").Name, "mx.example.org");
  EXPECT_TRUE(cache.Peer("192.0.2.1").ForwardConfirmed);
  EXPECT_EQ(cache.Peer("192.0.2.2").Name, "");
  EXPECT_EQ(cache.Peer("192.0.2.2").Name, ""); // no name is an answer too
  EXPECT_EQ(asked, (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
  // A thousand other peers later it has started afresh.
  for (int i = 0; i < 1024; ++i)
    cache.Peer("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  asked.clear();
  EXPECT_EQ(cache.Peer("192.0.2.1").Name, "mx.example.org");
  EXPECT_EQ(asked, std::vector<std::string>{"192.0.2.1"});
  EXPECT_EQ(LookUpPeer("not an address").Name, "");
  // The loopback's name leads back to it.
  const TPeerName loopback = LookUpPeer("127.0.0.1");
  EXPECT_EQ(loopback.ForwardConfirmed, !loopback.Name.empty()) << loopback.Name;
}

TEST(MailMessage, ParseSetAndFoldHeaders) {
  const TTextMessage stored("Subject: first\r\n part\r\nTo: x@y.z\r\n\r\nbody\r\n..dots\r\n.\r\n");
  TMailMessage message = TMailMessage::Parse(stored);
  EXPECT_EQ(message.Headers, (std::vector<std::string>{"Subject: first", " part", "To: x@y.z"}));
  EXPECT_EQ(message.WireText(), "Subject: first\r\n part\r\nTo: x@y.z\r\n\r\nbody\r\n..dots\r\n");
  EXPECT_EQ(message.HeaderValue("subject"), "first part");

  message.SetHeader("SUBJECT", "new\r\nvalue");
  EXPECT_EQ(message.Headers, (std::vector<std::string>{"SUBJECT: new  value", "To: x@y.z"}));
  message.SetHeader("X-Long", std::string(60, 'a') + " " + std::string(30, 'b') + " c");
  EXPECT_EQ(message.Headers[2], "X-Long: " + std::string(60, 'a'));
  EXPECT_EQ(message.Headers[3], " " + std::string(30, 'b') + " c");
  message.SetHeader("Subject", "");
  EXPECT_EQ(message.Headers.front(), "To: x@y.z");
  EXPECT_EQ(message.WireText().substr(0, 11), "To: x@y.z\r\n");
  EXPECT_EQ(message.WireText().substr(message.WireText().size() - 16), "\r\nbody\r\n..dots\r\n");

  for (const auto& line : FoldHeader("X-Words", std::string(300, 'w') + " tail"))
    EXPECT_NE(line, "");
  for (const auto& line : FoldHeader("X-Words", "one two three four five six seven eight nine ten eleven twelve "
                                                "thirteen fourteen fifteen sixteen seventeen"))
    EXPECT_LE(line.size(), 78u);
}

TEST(MailMessage, SubjectFromAndEncodedWords) {
  const TTextMessage stored(
      "From: \"Doe, J\" <j.doe@example.com>\r\nSubject: =?UTF-8?B?SGVsbG8=?= =?utf-8?Q?_w=C3=B6rld?="
      "\r\nMessage-ID: <abc@host>\r\n\r\n.\r\n");
  const TMailMessage message = TMailMessage::Parse(stored);
  EXPECT_EQ(message.Subject(), "Hello w\xC3\xB6rld");
  EXPECT_EQ(message.FromAddress(), "j.doe@example.com");
  EXPECT_EQ(message.MessageId(), "<abc@host>");
  EXPECT_EQ(DecodeEncodedWords("=?iso-8859-1?q?caf=E9?= ok"), "caf\xC3\xA9 ok");
  EXPECT_EQ(DecodeEncodedWords("=?x-unknown?q?raw?="), "raw");
  EXPECT_EQ(DecodeEncodedWords("not =?encoded"), "not =?encoded");
  EXPECT_EQ(AddressOf("plain@example.com (Plain)"), "plain@example.com");
}

TEST(MailMessage, OnlyTheBoundIsParsedAndTheRestTravelsOn) {
  const std::string big(100, 'x');
  const TTextMessage stored("Subject: first\r\nX-Spam-Status: Negative\r\nX-Long: " + big + "\r\n " + big +
                            "\r\nX-Spam-Score: 0\r\n more\r\nSubject: second\r\n\r\nbody\r\n.\r\n");
  TMailMessage message = TMailMessage::Parse(stored, 150);
  // The header that crosses the bound goes whole with the rest.
  EXPECT_EQ(message.Headers, (std::vector<std::string>{"Subject: first", "X-Spam-Status: Negative"}));
  EXPECT_EQ(message.UnparsedHeaders(),
            "X-Long: " + big + "\r\n " + big + "\r\nX-Spam-Score: 0\r\n more\r\nSubject: second\r\n");
  AddFilterHeaders(message, false, "Hits: 1", true, "Quibo SMTP Server");
  EXPECT_EQ(message.WireText(), "Subject: first\r\nX-Server: Quibo SMTP Server\r\nX-Spam-Status: Negative \r\n"
                                "X-Spam-Score: Hits: 1\r\nX-Long: " +
                                    big + "\r\n " + big + "\r\nSubject: second\r\n\r\nbody\r\n");
}

TEST(MailMessage, SetHeadersArePrintableFoldedAndEncoded) {
  const TTextMessage stored("Subject: =?utf-8?Q?a=00b=0D=0AX-Evil:_1?= =?iso-8859-1?q?_caf=E9?=\r\n\r\n.\r\n");
  TMailMessage message = TMailMessage::Parse(stored);
  EXPECT_EQ(message.Subject(), std::string("a\0b\r\nX-Evil: 1 caf\xC3\xA9", 20));
  message.SetHeader("Subject", "[SPAM] " + message.Subject());
  ASSERT_EQ(message.Headers.size(), 1u);
  EXPECT_EQ(message.Headers[0].rfind("Subject: =?UTF-8?B?", 0), 0u) << message.Headers[0];
  EXPECT_EQ(DecodeEncodedWords(message.HeaderValue("Subject")), "[SPAM] a\\x00b  X-Evil: 1 caf\xC3\xA9");
  EXPECT_EQ(EncodeWords("plain ASCII"), "plain ASCII");
  // A word no folding can break is encoded too, so no line passes 998 characters.
  message.SetHeader("X-Spam-Score", std::string(3000, 'A'));
  for (const auto& line : message.Headers)
    EXPECT_LE(line.size(), 78u);
  EXPECT_EQ(DecodeEncodedWords(message.HeaderValue("X-Spam-Score")), std::string(3000, 'A'));
}

TEST(MessageProcessing, RewriteRecipients) {
  std::vector<std::string> recipients{"anna@example.org", "bob@example.net"};
  RewriteRecipients(recipients, "#USER#@#DOMAIN#");
  EXPECT_EQ(recipients, (std::vector<std::string>{"anna@example.org", "bob@example.net"}));
  RewriteRecipients(recipients, "spam-#user#@#Domain#");
  EXPECT_EQ(recipients, (std::vector<std::string>{"spam-anna@example.org", "spam-bob@example.net"}));
  RewriteRecipients(recipients, "quarantine@example.org, audit@example.org");
  EXPECT_EQ(recipients, (std::vector<std::string>{"quarantine@example.org", "audit@example.org"}));
  for (const char* addressTemplate :
       {"<q@spam.test>", "Quarantine <q@spam.test>", "\"Spam, Box\" <q@spam.test>", "q@spam.test (Spam box)"}) {
    RewriteRecipients(recipients, addressTemplate);
    EXPECT_EQ(recipients, std::vector<std::string>{"q@spam.test"}) << addressTemplate;
  }
  RewriteRecipients(recipients, "\"Box; One\" <a@spam.test>; b@spam.test c@spam.test");
  EXPECT_EQ(recipients, (std::vector<std::string>{"a@spam.test", "b@spam.test", "c@spam.test"}));
  // An address without a domain keeps its own when the template needs one.
  recipients = {"postmaster", "anna@example.org"};
  RewriteRecipients(recipients, "#USER#@#DOMAIN#");
  EXPECT_EQ(recipients, (std::vector<std::string>{"postmaster", "anna@example.org"}));
  RewriteRecipients(recipients, "#USER#@quarantine.test");
  EXPECT_EQ(recipients, (std::vector<std::string>{"postmaster@quarantine.test", "anna@quarantine.test"}));
}

TEST(MessageProcessing, ReceivedHeaderWithTheZoneOffset) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  ::setenv("TZ", "<+0530>-5:30", 1);
  ::tzset();
  const TTimePoint when = std::chrono::system_clock::from_time_t(1780000000); // 2026-05-28 20:26:40 UTC
  EXPECT_EQ(BuildReceivedHeader("client.test", "192.0.2.7", "filter.test", "<id@x>", when),
            "Received: from client.test ([192.0.2.7])\r\n\tby filter.test with SMTP id <id@x>; \r\n\t"
            "Fri, 29 May 2026 01:56:40 +0530");
  EXPECT_NE(BuildReceivedHeader("client.test", "192.0.2.7", "filter.test", "<id@x>", when,
                                TTlsSession{"TLSv1.3", "TLS_AES_256_GCM_SHA384"})
                .find("\tby filter.test with ESMTPS (TLSv1.3 TLS_AES_256_GCM_SHA384) id <id@x>; \r\n"),
            std::string::npos);
  EXPECT_NE(BuildReceivedHeader("client.test", "2001:db8::1", "filter.test", "<id@x>", when)
                .find("Received: from client.test ([IPv6:2001:db8::1])\r\n"),
            std::string::npos);
  ::setenv("TZ", "<-03>3", 1);
  ::tzset();
  EXPECT_NE(BuildReceivedHeader("h\r\nX-Evil: 1", "192.0.2.7", "f", "", when).find("Thu, 28 May 2026 17:26:40 -0300"),
            std::string::npos);
  EXPECT_EQ(BuildReceivedHeader("h\r\nX-Evil: 1", "192.0.2.7", "f", "", when).find("h\r\nX-Evil"), std::string::npos);
  previous ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

TEST(VirusScan, TemplatesAndVerdicts) {
  std::string line, error;
  EXPECT_TRUE(FillScanTemplate("scan --pct=100%% \"%s\"", "/tmp/m", line, error));
  EXPECT_EQ(line, "scan --pct=100% \"/tmp/m\"");
  EXPECT_FALSE(FillScanTemplate("scan %d %s", "/tmp/m", line, error));
  EXPECT_FALSE(error.empty());
  TTempFolder folder;
  WriteScript(folder.path() / "scanner", "[ \"$1\" = \"$PWD/infected\" ] && exit 1; [ -z \"$1\" ] && exit 7; exit 0\n");
  EXPECT_TRUE(ScanFile("./scanner %s", folder.path() / "infected", 1, 5000, folder.path()).Found);
  EXPECT_FALSE(ScanFile("./scanner %s", folder.path() / "clean", 1, 5000, folder.path()).Found);
  EXPECT_EQ(ScanFile("./scanner", folder.path() / "clean", 1, 5000, folder.path()).ExitCode, 7);
  const TScanResult broken = ScanFile("./scanner %d", folder.path() / "infected", 1, 5000, folder.path());
  EXPECT_FALSE(broken.Found);
  EXPECT_EQ(VirusCheckTestLines(broken), std::vector<std::string>{broken.Error});
  EXPECT_EQ(VirusCheckTestLines({true, 1, "hit\n", "", ""}),
            (std::vector<std::string>{"Virus found! (result code: 1)", "hit\n"}));
  EXPECT_EQ(VirusCheckTestLines({false, 0, "", "", ""}),
            std::vector<std::string>{"Checking done, no viruses found (result code: 0)"});
}

TEST(VirusScan, HungKilledOrUnstartedScansNeverMatchAnInfectedCode) {
  TTempFolder folder;
  WriteScript(folder.path() / "hangs", "sleep 30\n");
  WriteScript(folder.path() / "dies", "kill -9 $$\n");
  // The codes the runner reports for such runs, set as the operator's "infected" code.
  const TScanResult hung = ScanFile("./hangs %s", folder.path() / "m", kTimedOutExitCode, 300, folder.path());
  EXPECT_FALSE(hung.Found);
  EXPECT_EQ(hung.Failure, "timed out");
  const TScanResult killed = ScanFile("./dies %s", folder.path() / "m", -9, 5000, folder.path());
  EXPECT_FALSE(killed.Found);
  EXPECT_EQ(killed.Failure, "killed by signal 9");
  const TScanResult missing = ScanFile("./absent %s", folder.path() / "m", -1, 5000, folder.path());
  EXPECT_FALSE(missing.Found);
  EXPECT_FALSE(missing.Answered());
  EXPECT_EQ(missing.Failure, "could not run: No such file or directory");
  EXPECT_EQ(missing.Output, "No such file or directory");
  EXPECT_EQ(ScanFile("sh -c \"exit 3\"", folder.path() / "m", 1, 5000, folder.path()).Failure, "");
}

TEST(VirusScan, ClamdAddressesAndTestLines) {
  TClamdAddress address;
  std::string error;
  EXPECT_TRUE(ParseClamdAddress("/run/clamav/clamd.ctl", "/srv/quibo", address, error));
  EXPECT_EQ(address.Path, "/run/clamav/clamd.ctl");
  EXPECT_TRUE(ParseClamdAddress("run/clamd.sock", "/srv/quibo", address, error));
  EXPECT_EQ(address.Path, "/srv/quibo/run/clamd.sock");
  EXPECT_TRUE(ParseClamdAddress(" 127.0.0.1:3310 ", "/srv/quibo", address, error));
  EXPECT_FALSE(address.Local());
  EXPECT_EQ(address.Host + " " + address.Port, "127.0.0.1 3310");
  EXPECT_TRUE(ParseClamdAddress("[::1]:3310", "/srv/quibo", address, error));
  EXPECT_EQ(address.Host, "::1");
  for (const char* bad : {"clamd", "localhost:0", "localhost:65536", ":3310", "localhost:33a"}) {
    error.clear();
    EXPECT_FALSE(ParseClamdAddress(bad, "/srv/quibo", address, error)) << bad;
    EXPECT_NE(error.find("neither a socket path nor host:port"), std::string::npos) << bad;
  }
  EXPECT_FALSE(ParseClamdAddress("/" + std::string(200, 'x'), "/", address, error));

  TScanResult clamd;
  clamd.ByClamd = true;
  clamd.Found = true;
  clamd.Output = "stream: Eicar-Test-Signature FOUND";
  EXPECT_EQ(VirusCheckTestLines(clamd),
            std::vector<std::string>{"Virus found! (clamd: stream: Eicar-Test-Signature FOUND)"});
  clamd = {};
  clamd.ByClamd = true;
  clamd.Failure = "cannot connect to clamd at /run/clamd.sock: No such file or directory";
  EXPECT_EQ(VirusCheckTestLines(clamd), std::vector<std::string>{"Virus scan failed: " + clamd.Failure});
}

TEST(Classifier, ScoresLearnsAndDumps) {
  TBridgeHome home;
  const auto& folder = home.Folder;
  const TClassifierBridge& bridge = home.Bridge;
  EXPECT_EQ(bridge.Classify(folder.path() / "m", "example.org").Result.rfind("not tested ", 0), 0u);

  WriteScript(folder.path() / "HCheck", "case \"$1\" in\n"
                                        "  --ham) echo '3|10|' ;;\n"
                                        "  --spam) echo 'x|4|' ;;\n"
                                        "  --dump) printf '0.000 0 3 0 non-token data: bayes db version\\n"
                                        "0.000 0 12 0 non-token data: nspam\\n0.000 0 34 0 non-token data: nham\\n"
                                        "0.000 0 1780000000 0 non-token data: newest atime\\n' ;;\n"
                                        "  *) echo \"6.25|ARGS $#${2:+ $2}|\" ;;\n"
                                        "esac\n");
  TClassification result = bridge.Classify(folder.path() / "m", "example.org");
  EXPECT_EQ(result.Score, "6.25");
  EXPECT_EQ(result.Result, "ARGS 1");
  std::filesystem::create_directories(folder.path() / "config" / "example.org");
  EXPECT_EQ(bridge.Classify(folder.path() / "m", "example.org").Result, "ARGS 2 config/example.org");
  // Domains compare in lower case; one that is no plain domain never becomes a path.
  EXPECT_EQ(bridge.Classify(folder.path() / "m", "Example.ORG").Result, "ARGS 2 config/example.org");
  std::filesystem::create_directories(folder.path() / "config" / "a..b");
  std::filesystem::create_directories(folder.path() / "config" / "x y");
  for (const std::string domain : {"..", "a..b", ".example.org", "x y", "../config"})
    EXPECT_EQ(bridge.Classify(folder.path() / "m", domain).Result, "ARGS 1") << domain;
  EXPECT_TRUE(IsPlainDomain("mail-1.example.org"));
  EXPECT_FALSE(IsPlainDomain("example.org."));

  EXPECT_EQ(bridge.Learn(false).Learned, 3);
  EXPECT_EQ(bridge.Learn(false).Total, 10);
  EXPECT_EQ(bridge.Learn(true).Learned, 0);
  std::vector<std::string> dump;
  ASSERT_TRUE(bridge.DumpStatistics(dump));
  const TClassifierStatistics statistics = ParseStatistics(dump);
  EXPECT_EQ(statistics.Spam, "12");
  EXPECT_EQ(statistics.Ham, "34");
  EXPECT_EQ(statistics.Tokens, "0");
  EXPECT_EQ(statistics.Newest, FormatClassifierTime("1780000000"));
  EXPECT_EQ(FormatClassifierTime(""), "NA");

  // However much the classifier says, its texts for the headers stay short.
  WriteScript(folder.path() / "HCheck", "head -c 3000 /dev/zero | tr '\\0' 7; printf '|'; "
                                        "head -c 3000 /dev/zero | tr '\\0' T; echo '|'\n");
  result = bridge.Classify(folder.path() / "m", "");
  EXPECT_EQ(result.Score.size(), kMaxClassifierText);
  EXPECT_EQ(result.Result.size(), kMaxClassifierText);

  WriteScript(folder.path() / "HCheck", "kill -9 $$\n");
  result = bridge.Classify(folder.path() / "m", "");
  EXPECT_EQ(result.Score, "0");
  EXPECT_EQ(result.Result, "not tested ");

  WriteScript(folder.path() / "HCheck", "printf 'HCheck: no spamd\\r\\n'; exit 1\n"); // a failure is not a score
  result = bridge.Classify(folder.path() / "m", "");
  EXPECT_EQ(result.Score, "0");
  EXPECT_EQ(result.Result, "not tested HCheck: no spamd");
  EXPECT_EQ(bridge.Learn(true).Total, 0);
}

namespace {

// CheckMessage and Server1ReceiveRaw for one connection, relaying to a scripted next hop.
class Processing : public ::testing::Test {
protected:
  Processing() {
    Applied.OutgoingServer = "127.0.0.1";
    Applied.OutgoingPort = NextHop.Port();
    Settings.MailHostName = "filter.test";
    Settings.ForwardTimeout = 2;
    Log.Switches().MailLogging = true;
  }
  void Classifier(const std::string& output) { WriteScript(Home.path() / "HCheck", "echo '" + output + "'\n"); }

  // Runs the pre-check and the processing; returns their verdict as a reply line.
  std::string Process(const std::string& message, std::vector<std::string> recipients = {"rcpt@example.org"}) {
    const auto file = Home.path() / "message";
    WriteFile(file, message + ".\r\n");
    TPipelineContext context{std::make_shared<const TSettings>(Settings),
                             std::make_shared<const TAppliedSettings>(Applied),
                             std::make_shared<const TForward>(),
                             Record,
                             "envelope@example.com",
                             [this] { return ClientThere; },
                             std::chrono::steady_clock::now() + TimeLimit,
                             Log,
                             TLogConnection{7, "127.0.0.1"},
                             [this](int event, long argument, long) { Posted.emplace_back(event, argument); },
                             Home.path(),
                             "Quibo SMTP Server Version 1.0.0.1",
                             Clock};
    const TTextMessage stored(ReadFile(file));
    auto verdict = CheckMessage(context, file, stored);
    if (!verdict) verdict = Server1ReceiveRaw(context, stored, recipients);
    LastClose = verdict->Close;
    return verdict->Code == 0 ? std::string() : std::to_string(verdict->Code) + " " + verdict->Text;
  }
  std::string Relayed() {
    const auto mails = NextHop.Mails();
    return mails.empty() ? std::string() : mails.back().Data;
  }
  bool WasPosted(TStatEvent event) const {
    return std::find(Posted.begin(), Posted.end(), std::pair<int, long>{EvStatistic, static_cast<long>(event)}) !=
           Posted.end();
  }
  std::string MainLog() const { return ReadFile(Home.path() / "log" / "Quibo.log"); }

  TTempFolder Home;
  TFixedClock Clock;
  TVisibleCriticalSection Lock{nullptr};
  TLogger Log{Home.path(), Clock, Lock, {}};
  TFakeNextHop NextHop;
  bool ClientThere = true;
  bool LastClose = false;
  std::chrono::milliseconds TimeLimit{std::chrono::seconds(60)};
  TSettings Settings;
  TAppliedSettings Applied;
  std::shared_ptr<TThreadController> Record = std::make_shared<TThreadController>(nullptr);
  std::vector<std::pair<int, long>> Posted;
};

const std::string kMail = "From: <author@example.com>\r\nSubject: Offer\r\n\r\nbody\r\n";

} // namespace

TEST(Classifier, AskingRspamdItself) {
  TBridgeHome home;
  const auto& folder = home.Folder;
  const TClassifierBridge& bridge = home.Bridge;
  TFakeHttpServer rspamd;
  TRspamdClients clients;
  const TTextMessage message("Subject: x\r\n\r\n..dotted\r\n.\r\n");

  rspamd.Answer(R"({"score":7.5,"symbols":{"ZED":{},"ALPHA":{}}})");
  TClassification result = bridge.ClassifyWithRspamd(clients, rspamd.Url(), message, {.Domain = "Example.ORG"});
  EXPECT_TRUE(result.Answered);
  EXPECT_EQ(result.Score, "7.5");
  EXPECT_EQ(result.Result, "ALPHA,ZED");
  EXPECT_NE(rspamd.LastRequest().find("POST /checkv2 HTTP/1.1\r\n"), std::string::npos);
  EXPECT_NE(rspamd.LastRequest().find("Content-Length: 23\r\n"), std::string::npos); // un-stuffed, no "." line
  EXPECT_EQ(rspamd.LastRequest().find("Deliver-To:"), std::string::npos) << "no folder for the domain";
  std::filesystem::create_directories(folder.path() / "config" / "example.org");
  bridge.ClassifyWithRspamd(clients, rspamd.Url(), message, {.Domain = "Example.ORG"});
  EXPECT_NE(rspamd.LastRequest().find("Deliver-To: example.org\r\n"), std::string::npos);
  EXPECT_NE(rspamd.LastRequest().find("Settings-Id: example.org\r\n"), std::string::npos);

  rspamd.Answer("<html>Bad gateway</html>", 502);
  result = bridge.ClassifyWithRspamd(clients, rspamd.Url(), message, {.Domain = "example.org"});
  EXPECT_FALSE(result.Answered);
  EXPECT_EQ(result.Result, "not tested rspamd at " + rspamd.Url() + ": HTTP 502: <html>Bad gateway</html>");
  rspamd.Answer("{}");
  EXPECT_EQ(bridge.ClassifyWithRspamd(clients, rspamd.Url(), message, {.Domain = ""}).Result,
            "not tested rspamd at " + rspamd.Url() + " gave no score it could be read from");

  // A connection cut before the request leaves the message unscored; the next one is scored again.
  rspamd.Answer(R"({"score":1,"symbols":{}})");
  TCancellation cut;
  cut.Cancel();
  EXPECT_EQ(bridge.ClassifyWithRspamd(clients, rspamd.Url(), message, {.Domain = ""}, &cut).Result,
            "not tested cancelled");
  TCancellation fresh;
  EXPECT_TRUE(bridge.ClassifyWithRspamd(clients, rspamd.Url(), message, {.Domain = ""}, &fresh).Answered);
}

TEST(Classifier, KeptRspamdClientsAreReusedAndStartUncancelled) {
  TRspamdClients clients;
  std::vector<std::unique_ptr<THttpClient>> taken;
  for (size_t i = 0; i < TRspamdClients::kIdle + 2; ++i)
    taken.push_back(clients.Take(std::chrono::seconds(1)));
  taken[0]->Cancel(); // a cut that came after its answer
  const THttpClient* first = taken[0].get();
  for (auto& client : taken)
    clients.Give(std::move(client));
  std::vector<const THttpClient*> kept;
  for (size_t i = 0; i < TRspamdClients::kIdle + 2; ++i) {
    auto client = clients.Take(std::chrono::seconds(1));
    EXPECT_FALSE(client->CancelRequested());
    kept.push_back(client.get());
    taken.push_back(std::move(client));
  }
  EXPECT_NE(std::find(kept.begin(), kept.end(), first), kept.end()); // the first was kept
}

TEST(RspamdHeaders, HostileOrOversizedHeadersAreLeftOutAndSaySo) {
  const auto edits = [](const std::string& json) { return ReadHeaderEdits(nlohmann::ordered_json::parse(json)); };
  const THeaderEdits hostile = edits(R"({"milter":{"add_headers":{
      "X-Injected":"a\nX-Evil: b", "X-Bare-CR":"a\rb", "Bad Name":"v", "X-Nul":"a\u0000b", "X-Empty-Fold":"a\n \nb",
      "X-Number":7, "X-Good":"one\n\ttwo\r\n\tthree\n"},
    "remove_headers":{"X-Old":"all", "Bad:Name":1}}, "dkim-signature":{"v":1}})");
  ASSERT_EQ(hostile.Added.size(), 1u);
  EXPECT_EQ(hostile.Added[0].Text, "X-Good: one\r\n\ttwo\r\n\tthree");
  EXPECT_EQ(hostile.Added[0].Order, -1);
  EXPECT_TRUE(hostile.Removed.empty());
  EXPECT_EQ(hostile.Refused,
            (std::vector<std::string>{
                "rspamd's header X-Old left out: a removal without a whole number",
                "rspamd's header Bad:Name left out: not a header name",
                "rspamd's header X-Injected left out: a line break that would begin a header of its own",
                "rspamd's header X-Bare-CR left out: a bare CR",
                "rspamd's header Bad Name left out: not a header name",
                "rspamd's header X-Nul left out: a control character",
                "rspamd's header X-Empty-Fold left out: an empty folded line",
                "rspamd's header X-Number left out: no text value",
                "rspamd's header DKIM-Signature left out: no text value",
            }));

  // 70 headers: the first 64 go in. Twenty of 1,000 bytes: what fits in 16 KB goes in. No line may pass 998.
  nlohmann::ordered_json many, large;
  for (int i = 0; i < 70; ++i)
    many["milter"]["add_headers"]["X-Many-" + std::to_string(i)] = "v";
  for (int i = 0; i < 20; ++i)
    large["milter"]["add_headers"]["X-Large-" + std::to_string(i)] =
        std::string(490, 'x') + "\n\t" + std::string(490, 'y');
  const THeaderEdits tooMany = ReadHeaderEdits(many), tooLarge = ReadHeaderEdits(large);
  EXPECT_EQ(tooMany.Added.size(), 64u);
  EXPECT_EQ(tooMany.Refused.back(), "rspamd's header X-Many-69 left out: more than 64 headers");
  EXPECT_EQ(tooLarge.Added.size(), 16u);
  EXPECT_EQ(tooLarge.Refused.back(), "rspamd's header X-Large-19 left out: more than 16 KB of headers");
  EXPECT_EQ(edits(R"({"milter":{"add_headers":{"X-Long":")" + std::string(991, 'z') + "\"}}}").Refused,
            std::vector<std::string>{"rspamd's header X-Long left out: a line longer than 998 characters"});
}

// The filter asking a scripted rspamd, with its action obeyed and its headers applied.
class RspamdAnswers : public Processing {
protected:
  RspamdAnswers() {
    Applied.Heurastic = true;
    Applied.Threshold = 6;
    Settings.RspamdUrl = Rspamd.Url();
  }
  // Score 1 with this action and these further members of the answer.
  void Answer(const std::string& action, const std::string& more = "") {
    Rspamd.Answer(R"({"score":1,"symbols":{"SYM":{}},"action":")" + action + "\"" + more + "}");
  }
  TFakeHttpServer Rspamd;
};

TEST_F(RspamdAnswers, ActionsAreObeyedOrOnlyTheScoreCounts) {
  Answer("reject", R"(,"messages":{"smtp_message":"Go away\r\n250 fake"})");
  EXPECT_EQ(Process(kMail), "554 5.7.1 Quibo dederazu says: Go away  250 fake");
  EXPECT_TRUE(WasPosted(TStatEvent::RspamdRefused));
  EXPECT_NE(MainLog().find("rspamd's action reject: 554 5.7.1 Quibo dederazu says: Go away  250 fake"),
            std::string::npos)
      << MainLog();
  Answer("reject");
  EXPECT_EQ(Process(kMail), "554 5.7.1 Quibo dederazu says: Message refused as spam");
  Answer("soft reject");
  EXPECT_EQ(Process(kMail), "451 4.7.1 Quibo dederazu says: Try again later");
  EXPECT_TRUE(WasPosted(TStatEvent::RspamdDeferred));
  Answer("discard");
  EXPECT_EQ(Process(kMail), "250 Ok");
  EXPECT_TRUE(WasPosted(TStatEvent::HeurasticDropped));
  EXPECT_NE(MainLog().find("rspamd's action discard: Dropping message from author@example.com to rcpt@example.org"),
            std::string::npos);
  EXPECT_TRUE(NextHop.Mails().empty());

  for (const char* relayed : {"greylist", "add header", "rewrite subject", "no action"}) {
    Answer(relayed);
    EXPECT_EQ(Process(kMail), "250 Ok") << relayed;
    EXPECT_NE(Relayed().find("X-Spam-Status: Negative \r\nX-Spam-Score: Hits: 1 Tests: SYM\r\n"), std::string::npos);
  }
  EXPECT_EQ(NextHop.Mails().size(), 4u);
  Settings.RspamdActions = false;
  Answer("reject");
  EXPECT_EQ(Process(kMail), "250 Ok");
  EXPECT_EQ(NextHop.Mails().size(), 5u);
}

TEST_F(RspamdAnswers, HeaderChangesInEveryShapeKeepRspamdsOrder) {
  Answer("add header", R"(,"milter":{
      "remove_headers":{"X-Old":2, "X-Tail":-1, "X-All":0, "Authentication-Results":[1]},
      "add_headers":{"X-String":"plain", "X-Object":{"value":"first\n\tfolded","order":0},
        "X-Array":[{"value":"a1","order":-1},{"value":"a2"}],
        "ARC-Authentication-Results":{"value":"i=1; aar","order":1},
        "ARC-Message-Signature":{"value":"i=1; ams","order":1}, "ARC-Seal":{"value":"i=1; as","order":1}}},
    "dkim-signature":["v=1; d=one","v=1; d=two"])");
  const std::string mail = "Authentication-Results: forged\r\nX-Old: 1\r\nX-Old: 2\r\n continued\r\nX-Old: 3\r\n"
                           "X-Tail: t1\r\nX-Tail: t2\r\nX-All: x\r\nX-All: y\r\n" +
                           kMail;
  EXPECT_EQ(Process(mail), "250 Ok");
  const std::string data = Relayed();
  EXPECT_EQ(
      data.rfind("DKIM-Signature: v=1; d=one\r\nDKIM-Signature: v=1; d=two\r\nX-Object: first\r\n\tfolded\r\n"
                 "ARC-Seal: i=1; as\r\nARC-Message-Signature: i=1; ams\r\nARC-Authentication-Results: i=1; aar\r\n"
                 "Received: from ",
                 0),
      0u)
      << data;
  EXPECT_NE(data.find("\r\nX-Old: 1\r\nX-Old: 3\r\nX-Tail: t1\r\nFrom: <author@example.com>\r\nSubject: Offer\r\n"
                      "X-String: plain\r\nX-Array: a1\r\nX-Array: a2\r\nX-Server: "),
            std::string::npos)
      << data;
  EXPECT_EQ(data.find("forged"), std::string::npos);
  EXPECT_EQ(data.find("X-All"), std::string::npos);
}

TEST_F(Processing, WhitelistedMailIsNotScored) {
  Classifier("9|HIGH|");
  Applied.Heurastic = true;
  Record->Whitelisted = true;
  EXPECT_EQ(Process(kMail), "250 Ok");
  EXPECT_EQ(Record->SpamScore, "0");
  EXPECT_EQ(Record->ClassifierTests, "not checked: Host or sender whitelisted");
  EXPECT_NE(Relayed().find("X-Spam-Status: Negative \r\nX-Spam-Score: Hits: 0 Tests: not checked: Host or sender "
                           "whitelisted\r\n"),
            std::string::npos)
      << Relayed();
}

TEST_F(Processing, BlacklistedMailIsTaggedOnce) {
  Classifier("9|HIGH|");
  Applied.Heurastic = true;
  Applied.Threshold = 0;
  Settings.CBHeurasticSubject = true;
  Applied.HeurasticSubject = "heuristic #SUBJECT#";
  Record->Blacklisted = true;
  Record->CheckReason = "manual";
  EXPECT_EQ(Process(kMail), "250 Ok");
  const std::string data = Relayed();
  EXPECT_NE(data.find("Subject: Quibo dederazu says: \"Offer\" is spam\r\n"), std::string::npos) << data;
  EXPECT_EQ(data.find("heuristic"), std::string::npos);
  EXPECT_NE(data.find("X-Spam-Status: Positive \r\n"), std::string::npos);
  // The classifier did not see it: the score header names the blacklisting.
  EXPECT_NE(data.find("X-Spam-Score: Hits: 0 Tests: manual\r\n"), std::string::npos) << data;
  EXPECT_EQ(Record->CheckReason, "manual");
  EXPECT_FALSE(WasPosted(TStatEvent::HeurasticPositive));
}

TEST_F(Processing, BlacklistedMailCanBeRedirected) {
  Settings.RBPass = false;
  Settings.RBForward = true;
  Settings.EForward = "quarantine@example.org";
  Record->Blacklisted = true;
  EXPECT_EQ(Process(kMail, {"a@example.org", "b@example.org"}), "250 Ok");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, std::vector<std::string>{"<quarantine@example.org>"});
}

TEST_F(Processing, ScoreAtTheThresholdMarksAndAtTheDropScoreDrops) {
  Applied.Heurastic = true;
  Applied.Threshold = 5;
  Applied.DropScore = 15;
  Settings.CBDropScore = true;
  Settings.CBHeurasticForward = true;
  Settings.EHeurasticForward = "spam-#USER#@#DOMAIN#";
  Classifier("5|AT_THRESHOLD|");
  EXPECT_EQ(Process(kMail), "250 Ok");
  EXPECT_TRUE(WasPosted(TStatEvent::HeurasticPositive));
  EXPECT_EQ(NextHop.Mails().back().Recipients, std::vector<std::string>{"<spam-rcpt@example.org>"});
  EXPECT_NE(Relayed().find("X-Spam-Status: Positive \r\n"), std::string::npos);

  Classifier("15|AT_DROP|");
  EXPECT_EQ(Process(kMail), "250 Ok"); // the sender gets the normal reply
  EXPECT_TRUE(WasPosted(TStatEvent::HeurasticDropped));
  EXPECT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(MainLog().find("Dropping message from author@example.com to rcpt@example.org due to maximum score "
                           "passing..."),
            std::string::npos);
}

TEST_F(Processing, LargeMessagesAndBadScoresAreNotScored) {
  Applied.Heurastic = true;
  Applied.MaxMailBytes = 40;
  Classifier("9|HIGH|");
  Process(kMail + std::string(50, 'x') + "\r\n");
  EXPECT_EQ(Record->ClassifierTests, "not checked: Maxsize Exceeded (" + std::to_string(kMail.size() + 55) + ")");
  EXPECT_NE(Relayed().find("X-Spam-Score: Hits: 0 Tests: not checked: Maxsize Exceeded ("), std::string::npos);

  Applied.MaxMailBytes = 20 * 1024;
  Classifier("lots|WEIRD|");
  Process(kMail);
  EXPECT_NE(MainLog().find("Convert error: 'lots' is not a valid floating point value"), std::string::npos);
  EXPECT_NE(Relayed().find("X-Spam-Status: Negative \r\n"), std::string::npos);
}

TEST_F(Processing, VirusRefusalClosesTheConnection) {
  WriteScript(Home.path() / "scanner", "exit 1\n");
  Applied.VirusCheck = true;
  Applied.VirusProgram = "./scanner %s";
  Applied.VirusResultCode = 1;
  EXPECT_EQ(Process(kMail), "541 Quibo dederazu says: Message cannot be accepted: Virus Found!");
  EXPECT_TRUE(LastClose);
  EXPECT_TRUE(WasPosted(TStatEvent::VirusFound));
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Processing, RedirectionToNobodyIsNotAcknowledged) {
  Settings.RBPass = false;
  Settings.RBForward = true;
  Settings.EForward = "";
  Settings.CBMultiMail = true;
  Record->Blacklisted = true;
  EXPECT_EQ(Process(kMail), "451 Quibo dederazu says: No recipients left to relay to");
  EXPECT_TRUE(LastClose);
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Processing, NoRelayForAGoneSenderOrAnUncheckedMessageOnRequest) {
  ClientThere = false;
  EXPECT_EQ(Process(kMail), "");
  EXPECT_TRUE(LastClose);
  EXPECT_EQ(NextHop.Connections(), 0);
  EXPECT_NE(MainLog().find("Sender disconnected before the relay: message not relayed"), std::string::npos);

  ClientThere = true;
  Applied.Heurastic = true;
  Classifier("garbage without a score");
  EXPECT_EQ(Process(kMail), "250 Ok"); // unscored, it goes on by default
  EXPECT_NE(MainLog().find("Classifier failed: "), std::string::npos);
  Settings.DeferUncheckedMail = true;
  EXPECT_EQ(Process(kMail), "451 Quibo dederazu says: Message could not be checked, try again later");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST(MailMessage, LargeMessagesStreamInBlocks) {
  // Headers and a body of more than two blocks, with lines across the block ends.
  std::string headers = "Subject: big\r\n";
  for (int i = 0; headers.size() < 70000; ++i)
    headers += "X-Filler-" + std::to_string(i) + ": " + std::string(50, 'h') + "\r\n";
  std::string body;
  for (int i = 0; body.size() < 200000; ++i)
    body += (i % 7 == 0 ? ".." : "") + std::to_string(i) + std::string(61, 'b') + "\r\n";
  const TTextMessage stored(headers + "\r\n" + body + ".\r\n");
  TMailMessage message = TMailMessage::Parse(stored);
  EXPECT_EQ(message.Subject(), "big");
  message.InsertFirst("Received: by us");
  size_t largest = 0;
  std::string wire;
  message.StreamWire([&](std::string_view piece) {
    largest = std::max(largest, piece.size());
    wire.append(piece);
  });
  EXPECT_EQ(wire, "Received: by us\r\n" + headers + "\r\n" + body);
  EXPECT_LE(largest, 80000u); // the parsed headers, or one block of the stored rest

  // The stored end of data is the line "." alone; without it the message ends where it ends.
  EXPECT_EQ(TTextMessage("a\r\n.\r\n").ContentEnd(), 3u);
  EXPECT_EQ(TTextMessage(".\r\n").ContentEnd(), 0u);
  EXPECT_EQ(TTextMessage("a.\r\n").ContentEnd(), 4u);
  const TTextMessage lines("one\r\ntwo\nthree");
  TStoredLineReader reader(lines, 0, lines.Size());
  std::string line;
  std::vector<std::string> read;
  while (reader.Next(line))
    read.push_back(line);
  EXPECT_EQ(read, (std::vector<std::string>{"one", "two", "three"}));
}

namespace {

// A connection to the next hop, greeted, as the relay leaves it after a clean transaction.
std::shared_ptr<TSmtpClient> GreetedClient(const TFakeNextHop& nextHop) {
  auto client = std::make_shared<TSmtpClient>(5);
  client->Connect("127.0.0.1", nextHop.Port());
  client->ReadReply({220});
  client->Command("EHLO filter.test", {250});
  return client;
}

size_t QuitsSeen(TFakeNextHop& nextHop) {
  const auto commands = nextHop.Commands();
  return static_cast<size_t>(std::count(commands.begin(), commands.end(), "QUIT"));
}

} // namespace

TEST(RelayPool, IdleConnectionsAreClosedWithQuitAfterTheirLimitAndAtStop) {
  TFakeNextHop nextHop;
  {
    TRelayPool pool(std::chrono::milliseconds(200));
    pool.Give("127.0.0.1", nextHop.Port(), "filter.test", {GreetedClient(nextHop), {}});
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the second is due after the first
    pool.Give("127.0.0.1", nextHop.Port(), "filter.test", {GreetedClient(nextHop), {}});
    EXPECT_TRUE(WaitFor([&] { return QuitsSeen(nextHop) == 2; }));
    EXPECT_FALSE(pool.Take("127.0.0.1", nextHop.Port(), "filter.test"));
  }
  {
    TRelayPool pool; // the usual limit, far beyond this test: the stop closes it
    pool.Give("127.0.0.1", nextHop.Port(), "filter.test", {GreetedClient(nextHop), {}});
    const auto taken = pool.Take("127.0.0.1", nextHop.Port(), "filter.test");
    ASSERT_TRUE(taken);
    pool.Give("127.0.0.1", nextHop.Port(), "filter.test", *taken);
  }
  EXPECT_TRUE(WaitFor([&] { return QuitsSeen(nextHop) == 3; }));
}
