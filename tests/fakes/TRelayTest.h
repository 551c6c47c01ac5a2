// Test fixture of the real filter between a raw SMTP client and a scripted
// next hop: starts quibo in a fresh home folder relaying to the next hop, and
// sends one message per session.
#pragma once

#include "TFakeNextHop.h"
#include "TQuiboProcess.h"

#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace quibo::test {

inline const std::string kGreeting = "220 Welcome to Quibo Dederazu 1.0.0.1\r\n";
// The test file of the anti-virus makers, and their signature for it in the scanner's .ndb form.
inline const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
inline const std::string kEicarSignature =
    "Eicar-Test-Signature:0:*:45494341522d5354414e444152442d414e544956495255532d544553542d46494c45\n";

class TRelayTest : public ::testing::Test {
protected:
  void Launch(const std::string& settings = "", const std::string& sections = "") {
    Port = FreePort();
    const std::string relay = "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(NextHop.Port()) +
                              "\nMailHostName=filter.test\nForwardTimeout=2\n";
    Quibo = std::make_unique<TQuiboProcess>(Home.path(), ListenIni(Port, relay + settings) + sections, Port);
    ASSERT_TRUE(Quibo->WaitListening()) << Quibo->MainLog();
  }
  // Sends one message; returns the reply to the end of data.
  std::string Send(const std::string& data, const std::vector<std::string>& recipients = {"rcpt@example.org"}) {
    Client = std::make_unique<TRawSmtpClient>(Port);
    EXPECT_EQ(Client->Reply(), kGreeting);
    Client->Command("EHLO client.test");
    EXPECT_EQ(Client->Command("MAIL FROM:<envelope@example.com>"), "250 envelope@example.com Address Okay\r\n");
    for (const auto& recipient : recipients)
      Client->Command("RCPT TO:<" + recipient + ">");
    EXPECT_EQ(Client->Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    Client->SendRaw(data + ".\r\n");
    return Client->Reply(60000);
  }
  // With the scanner command line: a message carrying EICAR is refused with 541, a clean one passes.
  void ExpectEicarRefusedAndCleanMailRelayed(const std::string& virusProgram) {
    Launch("", "[VirusCheck]\nDoVirusCheck=1\nResultCode=1\nVirusProgram=" + virusProgram + "\n");
    EXPECT_EQ(Send("Subject: test\r\n\r\n" + kEicar + "\r\n"),
              "541 Quibo dederazu says: Message cannot be accepted: Virus Found!\r\n");
    EXPECT_TRUE(Client->ClosedByServer());
    EXPECT_EQ(Send("Subject: clean\r\n\r\nnothing to see\r\n"), "250 Ok\r\n");
    ASSERT_EQ(NextHop.Mails().size(), 1u);
    EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: clean"), std::string::npos);
  }
  void WriteScript(const std::string& name, const std::string& body) {
    WriteFile(Home.path() / name, "#!/bin/sh\n" + body);
    ::chmod((Home.path() / name).c_str(), 0755);
  }

  TFakeNextHop NextHop;
  TTempFolder Home;
  int Port = 0;
  std::unique_ptr<TQuiboProcess> Quibo;
  std::unique_ptr<TRawSmtpClient> Client;
};

} // namespace quibo::test
