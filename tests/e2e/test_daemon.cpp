#include "TFakeNextHop.h"
#include "TPackage.h"
#include "TQuiboProcess.h"

#include <gtest/gtest.h>

using namespace quibo::test;

namespace {

const std::string kGreeting = "220 Welcome to Quibo Dederazu 1.0.0.1\r\n";

class Daemon : public ::testing::Test {
protected:
  void Launch(const std::string& extraIni = "") {
    const std::string relay = "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(NextHop.Port()) + "\n";
    Quibo = std::make_unique<TQuiboProcess>(Home.path(), ListenIni(0, relay + extraIni) + kLocalRelay, 0);
    ASSERT_TRUE(Quibo->WaitListening()) << ReadFile(Home.path() / "stderr.txt") << Quibo->MainLog();
    Port = Quibo->Port;
  }
  std::vector<std::filesystem::path> TempFiles() const { return FilesIn(Home.path() / "temp"); }

  TFakeNextHop NextHop;
  TTempFolder Home;
  int Port = 0;
  std::unique_ptr<TQuiboProcess> Quibo;
};

} // namespace

TEST_F(Daemon, SpeaksSmtpAndStoresTheMessageAsSent) {
  Launch("[Debug]\nKeepTempFiles=1\nAcceptance=1\n");
  TRawSmtpClient client(Port);
  EXPECT_EQ(client.Reply(), kGreeting);
  EXPECT_EQ(client.Command("EHLO client.test"), kEhloReply);
  EXPECT_EQ(client.Command("MAIL FROM:<sender@example.com>"), "250 sender@example.com Address Okay\r\n");
  EXPECT_EQ(client.Command("RCPT TO:<rcpt@example.org>"), "250 rcpt@example.org Address Okay\r\n");
  EXPECT_EQ(client.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  // A smuggled end of data (bare LF around the dot) stays content, stuffed.
  client.SendRaw("Subject: e2e\r\n\r\n..two dots\r\nsmuggle\n.\nMAIL FROM:<evil@example.com>\r\n.\r\n");
  EXPECT_EQ(client.Reply(), "250 Ok\r\n");
  EXPECT_EQ(client.Command("QUIT"), "221 Signing Off\r\n");
  EXPECT_TRUE(client.ClosedByServer());

  const auto files = TempFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFile(files[0]),
            "Subject: e2e\r\n\r\n..two dots\r\nsmuggle\r\n..\r\nMAIL FROM:<evil@example.com>\r\n.\r\n");
  // Nothing downstream sees the smuggled end of data either.
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].Data.find("\r\n\r\n..two dots\r\nsmuggle\r\n..\r\nMAIL FROM:<evil@example.com>\r\n"),
            std::string::npos);
  EXPECT_TRUE(Quibo->LogContains("] 127.0.0.1 SMTP Server connect"));
  EXPECT_TRUE(Quibo->LogContains("] SMTP Server disconnect"));
  EXPECT_EQ(Quibo->Stop(), 0);
}

TEST_F(Daemon, SecondStartLeavesTheFirstAlone) {
  Launch("[Debug]\nDebug=1\n");
  std::string out, err;
  EXPECT_NE(RunProgram({QUIBO_BINARY, "--home", Home.path().string()}, &out, &err), 0);
  EXPECT_EQ(err, "Quibo says: Hey, I'm already working!\n");
  EXPECT_TRUE(WaitFor(
      [&] { return ReadFile(Home.path() / "log" / "Debug.log").find("Show window requested") != std::string::npos; }));
  TRawSmtpClient client(Port);
  EXPECT_EQ(client.Reply(), kGreeting);
  EXPECT_TRUE(Quibo->Running());
}

TEST_F(Daemon, HostileInputGetsRepliesAndCleanEnds) {
  Launch();
  {
    TRawSmtpClient client(Port);
    client.Reply();
    EXPECT_EQ(client.Command(std::string("\0\x01\xff garbage", 11)), "500 Syntax Error\r\n");
    client.SendRaw(std::string(100000, 'A'));
    EXPECT_TRUE(client.ClosedByServer());
  }
  {
    TRawSmtpClient client(Port);
    client.Reply();
    client.Command("HELO x");
    client.Command("MAIL FROM:<a@b.cd>");
    client.Command("RCPT TO:<c@d.ef>");
    client.Command("DATA");
    client.SendRaw("half a message\r\n");
  } // the client vanishes mid-DATA
  EXPECT_TRUE(WaitFor([&] { return TempFiles().empty(); }));
  TRawSmtpClient after(Port);
  EXPECT_EQ(after.Reply(), kGreeting);
  EXPECT_TRUE(Quibo->Running());
}

TEST_F(Daemon, MaxConnectionsClosesTheExtraConnectionSilently) {
  Launch("MaxConnections=1\n");
  // The start-up probe may still count as live for a moment.
  std::unique_ptr<TRawSmtpClient> firstClient;
  ASSERT_TRUE(WaitFor([&] {
    firstClient = std::make_unique<TRawSmtpClient>(Port);
    return firstClient->Reply() == kGreeting;
  }));
  TRawSmtpClient& first = *firstClient;
  TRawSmtpClient second(Port);
  EXPECT_EQ(second.Reply(), "");
  EXPECT_TRUE(second.ClosedByServer());
  EXPECT_EQ(first.Command("NOOP"), "250 Ok\r\n");
}

TEST_F(Daemon, ServerTimeoutEndsIdleSessions) {
  Launch("ServerTimeout=1\n");
  TRawSmtpClient client(Port);
  EXPECT_EQ(client.Reply(), kGreeting);
  EXPECT_TRUE(client.ClosedByServer(5000));
}

TEST_F(Daemon, HangupReloadsAChangedSettingsFile) {
  Launch();
  WriteFile(Home.path() / "quibo.ini",
            ListenIni(Port, "Welcome=Reloaded greeting\n[Forward]\n2=example.org,mail.example.org,25\n"));
  std::filesystem::last_write_time(Home.path() / "quibo.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  Quibo->Signal(SIGHUP);
  EXPECT_TRUE(Quibo->LogContains("Reloaded settings file"));
  EXPECT_TRUE(Quibo->LogContains("Invalid Ip number: mail.example.org"));
  TRawSmtpClient client(Port);
  EXPECT_EQ(client.Reply(), "220 Reloaded greeting\r\n");
}

TEST_F(Daemon, BindFailureIsLoggedAndTheProgramKeepsRunning) {
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::listen(holder, 1);
  socklen_t length = sizeof address;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  Port = ntohs(address.sin_port);
  Quibo = std::make_unique<TQuiboProcess>(Home.path(), ListenIni(Port), Port);
  EXPECT_TRUE(Quibo->LogContains("Unhandled Exception: Could not bind socket"));
  EXPECT_TRUE(Quibo->Running());
  ::close(holder);
  EXPECT_EQ(Quibo->Stop(SIGINT), 0);
}

TEST_F(Daemon, ForcedDisconnectAtShutdown) {
  Launch();
  TRawSmtpClient client(Port);
  EXPECT_EQ(client.Reply(), kGreeting);
  client.Command("HELO x");
  EXPECT_EQ(Quibo->Stop(), 0);
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_NE(Quibo->MainLog().find("Forced SMTP Server disconnect"), std::string::npos);
}

TEST_F(Daemon, ManyConcurrentSessions) {
  Launch();
  std::vector<std::thread> clients;
  std::atomic<int> delivered{0};
  for (int i = 0; i < 40; ++i)
    clients.emplace_back([&, i] {
      TRawSmtpClient client(Port);
      client.Reply(20000); // a burst can overflow the backlog of 15: the kernel retries the handshake
      client.Command("HELO c" + std::to_string(i));
      client.Command("MAIL FROM:<a@b.cd>");
      client.Command("RCPT TO:<c@d.ef>");
      client.Command("DATA");
      if (client.Command("body " + std::to_string(i) + "\r\n.") == "250 Ok\r\n") ++delivered;
      client.Command("QUIT");
    });
  for (auto& thread : clients)
    thread.join();
  EXPECT_EQ(delivered, 40);
  EXPECT_EQ(NextHop.Mails().size(), 40u);
  EXPECT_TRUE(WaitFor([&] { return TempFiles().empty(); }));
}

TEST_F(Daemon, SwaksDeliversAMessage) {
  Launch("[Debug]\nKeepTempFiles=1\n");
  std::string out;
  const int status = RunProgram({"swaks", "--server", "127.0.0.1", "--port", std::to_string(Port), "--from",
                                 "swaks@example.com", "--to", "user@example.org", "--header", "Subject: swaks test",
                                 "--body", "Hello from swaks", "--helo", "swaks.test"},
                                &out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("<-  250 Ok"), std::string::npos) << out;
  const auto files = TempFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string stored = ReadFile(files[0]);
  EXPECT_NE(stored.find("Subject: swaks test\r\n"), std::string::npos);
  EXPECT_NE(stored.find("Hello from swaks\r\n"), std::string::npos);
  EXPECT_EQ(stored.substr(stored.size() - 5), "\r\n.\r\n");
}

TEST(CommandLine, InstallAndUninstallTheUnit) {
  TTempFolder units;
  const std::string environment = "QUIBO_SYSTEMD_UNIT_DIR=" + units.path().string();
  std::string out, err;
  EXPECT_EQ(RunProgram({QUIBO_BINARY, "/install", "--home", "/srv/quibo"}, &out, &err, {environment}), 0);
  EXPECT_EQ(out, "Service installed successfully\n");
  const std::string unit = ReadFile(units.path() / "QuiboSvc.service");
  EXPECT_NE(unit.find("Description=Quibo Anti Spam Service\n"), std::string::npos);
  EXPECT_NE(unit.find("--home \"/srv/quibo\""), std::string::npos);
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("ReadWritePaths=\"/srv/quibo\"\n"), std::string::npos) << unit;
  EXPECT_LE(ExposureLevel(units.path() / "QuiboSvc.service"), 2.5); // confined as the package's, but as root

  EXPECT_EQ(RunProgram({QUIBO_BINARY, "UNINSTALL", "-silent"}, &out, &err, {environment}), 0);
  EXPECT_EQ(out + err, "");
  EXPECT_FALSE(std::filesystem::exists(units.path() / "QuiboSvc.service"));

  EXPECT_EQ(RunProgram({QUIBO_BINARY, "uninstall"}, &out, &err, {environment}), 1);
  EXPECT_EQ(err, "Service \"Quibo Anti Spam Service\" failed to uninstall with error: \"No such file or directory\"\n");
  EXPECT_EQ(RunProgram({QUIBO_BINARY, "INSTALL", "SILENT"}, &out, &err, {"QUIBO_SYSTEMD_UNIT_DIR=/nonexistent/folder"}),
            1);
  EXPECT_EQ(out + err, "");
}
