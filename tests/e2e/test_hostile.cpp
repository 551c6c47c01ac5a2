// End-to-end tests of hostile input against the real filter and a scripted
// next hop: nothing a client sends is forged into the log, a reply or the
// next hop's view of the message, the header section and the classifier's
// output are bounded, and the settings file's numbers are range-checked.
#include "TRelayFixture.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/time.h>

using namespace quibo::test;

namespace {

// CPU seconds a process has used (user and system), from /proc.
double CpuSeconds(pid_t process) {
  std::istringstream stat(ReadFile("/proc/" + std::to_string(process) + "/stat"));
  std::string field;
  std::vector<std::string> fields;
  while (stat >> field)
    fields.push_back(field);
  // Fields 14 and 15 (utime, stime), counted after the ")" that ends the name.
  size_t close = 0;
  while (close < fields.size() && fields[close].find(')') == std::string::npos)
    ++close;
  return (std::stod(fields.at(close + 12)) + std::stod(fields.at(close + 13))) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return lines;
}

// The header lines of relayed data (up to the first empty line).
std::vector<std::string> HeaderLines(const std::string& data) { return Lines(data.substr(0, data.find("\r\n\r\n"))); }

size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

const std::string kSpamClassifier = "echo '9|BAYES_99|'\n";

} // namespace

TEST_F(Relay, AnEncodedSubjectWritesNoLineOfItsOwnIntoTheLog) {
  Launch("", "[Debug]\nAcceptance=1\n");
  const std::string forged = "2026-01-01 00:00:00 : [1] 127.0.0.1 Relaying allowed";
  EXPECT_EQ(Send("From: <a@example.com>\r\nSubject: =?utf-8?Q?x=0D=0A2026-01-01_00:00:00_:_[1]_127.0.0.1_Relaying_"
                 "allowed=1B[2J?=\r\n\r\nbody\r\n"),
            "250 Ok\r\n");
  ASSERT_TRUE(Quibo->LogContains("Relaying allowed for a@example.com"));
  const std::string log = Quibo->MainLog();
  EXPECT_NE(log.find("x  " + forged + "\\x1B[2J from <a@example.com> sent to <rcpt@example.org>"), std::string::npos)
      << log;
  for (const auto& line : Lines(log)) {
    EXPECT_NE(line.rfind("2026-01-01 00:00:00", 0), 0u) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  }
}

TEST_F(Relay, RepliesEchoNoControlCharacters) {
  Launch();
  TRawSmtpClient client(Port);
  client.Reply();
  client.SendRaw("HELO evil\r250-INJECTED\r\n");
  EXPECT_EQ(client.Reply(), "250 Hello evil\r\n");
  EXPECT_EQ(client.Reply(), "500 Syntax Error\r\n");
  EXPECT_EQ(client.Command(std::string("MAIL FROM:<a\0\x1b[1m@b.cd>", 23)), "250 a\\x00\\x1B[1m@b.cd Address Okay\r\n");
  EXPECT_EQ(client.Command("RCPT TO:<c\x1b@d.ef>"), "250 c\\x1B@d.ef Address Okay\r\n");
  EXPECT_EQ(client.Command("EXPN \x01list"), "500 Syntax Error - Command not understood: \\x01list\r\n");
}

TEST_F(Relay, HeadersAtTheNextHopAreTheFiltersOwn) {
  WriteScript("HCheck", kSpamClassifier);
  Launch("", "[Heurastic]\nDoHeurastic=1\nModifySubject=1\nNewSubject=[SPAM] #SUBJECT#\n");
  EXPECT_EQ(Send("From: <a@example.com>\r\nSubject: =?utf-8?Q?caf=C3=A9=00?=\r\nX-Spam-Status: Negative\r\n"
                 "X-Spam-Score: -100\r\n  folded on\r\nTo: <b@example.org>\r\nx-spam-status: Negative\r\n\r\nbody\r\n"),
            "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  const auto headers = HeaderLines(NextHop.Mails()[0].Data);
  EXPECT_EQ(Count(headers, "X-Spam-Status: "), 1u);
  EXPECT_EQ(Count(headers, "x-spam-status: "), 0u);
  EXPECT_EQ(Count(headers, "X-Spam-Score: "), 1u);
  EXPECT_EQ(Count(headers, "  folded on"), 0u);
  EXPECT_EQ(Count(headers, "X-Spam-Status: Positive "), 1u);
  // "[SPAM] café\x00" (the NUL shown as text) in UTF-8, encoded again.
  EXPECT_EQ(Count(headers, "Subject: =?UTF-8?B?W1NQQU1dIGNhZsOpXHgwMA==?="), 1u) << NextHop.Mails()[0].Data;
  for (const auto& line : headers)
    EXPECT_EQ(line.find('\0'), std::string::npos);

  // A bare LF inside the client's own Subject line does not make a header.
  EXPECT_EQ(Send("From: <a@example.com>\r\nSubject: hi\nX-Evil: yes\r\n\r\nbody\r\n"), "250 Ok\r\n");
  const auto second = HeaderLines(NextHop.Mails()[1].Data);
  EXPECT_EQ(Count(second, "X-Evil"), 0u);
  EXPECT_EQ(Count(second, "Subject: [SPAM] hi X-Evil: yes"), 1u);
}

TEST_F(Relay, NoSmuggledMessageAtANextHopThatSplitsAtBareCr) {
  NextHop.Lax = true;
  Launch();
  const std::string smuggled =
      "MAIL FROM:<smuggler@evil.test>\r\nRCPT TO:<victim@example.org>\r\nDATA\r\nSubject: forged\r\n\r\nx\r\n";
  const std::vector<std::string> variants{"\r.\r",       "\r\n.\r",    "\n.\r",
                                          "\r\n.\r\r\n", "\r\n. \r\n", std::string("\r\n.\0\r\n", 6)};
  for (const auto& variant : variants) {
    EXPECT_EQ(Send("Subject: one\r\n\r\nbefore" + variant + smuggled), "250 Ok\r\n");
  }
  const auto mails = NextHop.Mails();
  EXPECT_EQ(mails.size(), variants.size());
  for (const auto& mail : mails) {
    EXPECT_EQ(mail.From, "<envelope@example.com>");
    EXPECT_NE(mail.Data.find("MAIL FROM:<smuggler@evil.test>"), std::string::npos);
  }
  const auto commands = NextHop.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "MAIL FROM:<smuggler@evil.test>"), 0);
}

TEST_F(Relay, ForwardTemplatesWithoutPlaceholdersGiveTheirAddress) {
  WriteScript("HCheck", kSpamClassifier);
  for (const std::string addressTemplate :
       {"<q@spam.test>", "Quarantine <q@spam.test>", "\"Spam, Box\" <q@spam.test>"}) {
    Quibo.reset();
    Launch("", "[Heurastic]\nDoHeurastic=1\nForward=1\nMailForwardAddress=" + addressTemplate + "\n");
    EXPECT_EQ(Send("Subject: x\r\n\r\nbody\r\n", {"a@example.org", "b@example.org"}), "250 Ok\r\n");
    ASSERT_FALSE(NextHop.Mails().empty());
    EXPECT_EQ(NextHop.Mails().back().Recipients, std::vector<std::string>{"<q@spam.test>"}) << addressTemplate;
  }
  // A recipient without "@" never gets this far (RCPT checks its syntax); the
  // template's rule for one is a unit test of RewriteRecipients.
}

TEST_F(Relay, HeaderBombCostsLittleCpu) {
  // 1 MB of encoded-word starts without an end, in one folded Subject: quadratic
  // decoding or folding would take minutes of CPU.
  WriteScript("HCheck", kSpamClassifier);
  Launch("", "[Heurastic]\nDoHeurastic=1\nModifySubject=1\nNewSubject=[SPAM] #SUBJECT#\n");
  std::string subject = "Subject: ";
  while (subject.size() < 1000000) {
    std::string line;
    while (line.size() < 16000)
      line += "=?a?q?a";
    subject += (subject.size() > 9 ? "\r\n " : "") + line;
  }
  const double before = CpuSeconds(Quibo->Child);
  EXPECT_EQ(Send("From: <a@example.com>\r\n" + subject + "\r\n\r\nbody\r\n"), "250 Ok\r\n");
  EXPECT_LT(CpuSeconds(Quibo->Child) - before, 20.0);
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  for (const auto& line : HeaderLines(NextHop.Mails()[0].Data))
    EXPECT_LE(line.size(), 16384u);
}

TEST_F(Relay, AMessageWithAnOverlongLineIsRefusedWithAReason) {
  // A real spam of the public corpus has a 48 KB line: the sender hears why, and the filter serves on.
  Launch();
  EXPECT_EQ(Send("Subject: wide\r\n\r\n" + std::string(48677, 'w') + "\r\nend\r\n"),
            "552 Quibo dederazu says: Message has a line longer than 16384 bytes\r\n");
  EXPECT_TRUE(NextHop.Mails().empty());
  EXPECT_EQ(Send("Subject: narrow\r\n\r\nfine\r\n"), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(Relay, OnlyTheBoundOfTheHeadersIsParsedAndAllIsRelayed) {
  Launch("MaxHeaderSize=1\n");
  std::string headers = "From: <a@example.com>\r\n";
  for (int i = 0; i < 40; ++i)
    headers += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
  headers += "X-Spam-Status: Negative\r\nSubject: beyond the bound\r\n";
  EXPECT_EQ(Send(headers + "\r\nbody\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  const auto relayed = HeaderLines(NextHop.Mails()[0].Data);
  EXPECT_EQ(Count(relayed, "X-Filler-"), 40u);
  EXPECT_EQ(Count(relayed, "Subject: beyond the bound"), 1u);
  EXPECT_EQ(Count(relayed, "X-Spam-Status: "), 1u);
  EXPECT_EQ(Count(relayed, "X-Spam-Status: Negative "), 1u); // ours, with its trailing blank
  EXPECT_NE(NextHop.Mails()[0].Data.find("\r\n\r\nbody\r\n"), std::string::npos);
}

TEST_F(Relay, ClassifierOutputInHeadersIsBoundedAndFolded) {
  WriteScript("HCheck", "printf '1|'; head -c 8000000 /dev/zero | tr '\\0' 'T'; echo '|'\n");
  Launch("", "[Heurastic]\nDoHeurastic=1\n");
  EXPECT_EQ(Send("Subject: x\r\n\r\nbody\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  size_t scoreBytes = 0;
  bool inScore = false;
  for (const auto& line : HeaderLines(NextHop.Mails()[0].Data)) {
    if (line[0] != ' ' && line[0] != '\t') inScore = line.rfind("X-Spam-Score: ", 0) == 0;
    if (!inScore) continue;
    EXPECT_LE(line.size(), 78u);
    scoreBytes += line.size();
  }
  EXPECT_GT(scoreBytes, 0u);
  EXPECT_LT(scoreBytes, 2000u);
}

TEST_F(Relay, NumbersOutOfRangeInTheSettingsFileAreLogged) {
  Launch("ServerTimeout=3000000\nMaxMessageSize=0\n");
  EXPECT_TRUE(Quibo->LogContains("Settings: ServerTimeout=3000000 is out of range (1..86400), using 600"));
  EXPECT_TRUE(Quibo->LogContains("Settings: MaxMessageSize=0 is out of range (1..2097152), using 51200"));
  EXPECT_EQ(Send("Subject: x\r\n\r\nbody\r\n"), "250 Ok\r\n");
}

TEST_F(Relay, YesterdaysLogIsRotatedAtStartUp) {
  const auto log = Home.path() / "log";
  std::filesystem::create_directories(log);
  WriteFile(log / "Quibo.log", "yesterday's line\r\n");
  const std::time_t yesterday = std::time(nullptr) - 24 * 3600;
  const timeval times[2] = {{yesterday, 0}, {yesterday, 0}};
  ::utimes((log / "Quibo.log").c_str(), times);
  std::tm day{};
  localtime_r(&yesterday, &day);
  char name[32];
  std::strftime(name, sizeof name, "Quibo.%y%m%d.log", &day);
  Launch("", "[Debug]\nLogFileRotation=1\n");
  EXPECT_EQ(ReadFile(log / name), "yesterday's line\r\n");
  EXPECT_EQ(Quibo->MainLog().find("yesterday's line"), std::string::npos);
  EXPECT_NE(Quibo->MainLog().find(" : Using Winsock version 2.0\r\n"), std::string::npos);
}
