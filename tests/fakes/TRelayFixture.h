// The real filter between a raw SMTP client and a scripted next hop, for the
// end-to-end tests of the relay: start it with settings, send a message,
// write helper scripts into its home folder.
#pragma once

#include "TFakeNextHop.h"
#include "TQuiboProcess.h"

#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace quibo::test {

const std::string kGreeting = "220 Welcome to Quibo Dederazu 1.0.0.1\r\n";
const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
// The anti-virus makers' signature for kEicar, in the scanner's .ndb form.
const std::string kEicarSignature =
    "Eicar-Test-Signature:0:*:45494341522d5354414e444152442d414e544956495255532d544553542d46494c45\n";

// The real filter between a raw client and a scripted next hop.
class Relay : public ::testing::Test {
protected:
  void Launch(const std::string& settings = "", const std::string& sections = "") {
    // Keys given first win over these defaults.
    const std::string relay = "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(NextHop.Port()) +
                              "\nMailHostName=filter.test\nForwardTimeout=2\n";
    Quibo = std::make_unique<TQuiboProcess>(Home.path(), ListenIni(0, settings + relay) + sections + RelayPolicy, 0,
                                            false, Command);
    ASSERT_TRUE(Quibo->WaitListening()) << Quibo->MainLog();
    Port = Quibo->Port;
  }
  // Opens a session up to its MAIL FROM.
  void StartTransaction() {
    Client = std::make_unique<TRawSmtpClient>(Port);
    EXPECT_EQ(Client->Reply(), kGreeting);
    Client->Command("EHLO client.test");
    EXPECT_EQ(Client->Command("MAIL FROM:<" + EnvelopeSender + ">"), "250 " + EnvelopeSender + " Address Okay\r\n");
  }
  // Sends one message up to its final "." without waiting for the reply.
  void Transmit(const std::string& data, const std::vector<std::string>& recipients = {"rcpt@example.org"}) {
    StartTransaction();
    for (const auto& recipient : recipients)
      Client->Command("RCPT TO:<" + recipient + ">");
    EXPECT_EQ(Client->Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    Client->SendRaw(data + ".\r\n");
  }
  // Sends one message; returns the reply to the end of data.
  std::string Send(const std::string& data, const std::vector<std::string>& recipients = {"rcpt@example.org"}) {
    Transmit(data, recipients);
    return Client->Reply(10000);
  }
  // With this scanner command line a message carrying EICAR is refused with 541 and a clean one is relayed.
  void ExpectEicarRefusedAndCleanMailRelayed(const std::string& virusProgram) {
    ExpectScannerRefusesEicarAndRelaysCleanMail("ResultCode=1\nVirusProgram=" + virusProgram + "\n");
  }
  // The same with these keys of [VirusCheck] (and others after them).
  void ExpectScannerRefusesEicarAndRelaysCleanMail(const std::string& scanner) {
    Launch("", "[VirusCheck]\nDoVirusCheck=1\n" + scanner);
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

  std::string EnvelopeSender = "envelope@example.com";
  std::string RelayPolicy = kLocalRelay;          // the local domains and addresses
  std::vector<std::string> Command{QUIBO_BINARY}; // what starts the filter, before "--home"
  TFakeNextHop NextHop;
  TTempFolder Home;
  int Port = 0;
  std::unique_ptr<TQuiboProcess> Quibo;
  std::unique_ptr<TRawSmtpClient> Client;
};

} // namespace quibo::test
