// End-to-end tests of the ESMTP extensions against the real filter and a
// scripted next hop: the EHLO offer, a pipelined envelope answered in order
// and in one write, SIZE at MAIL and during DATA, BODY and SMTPUTF8 passed to
// a next hop that offers them and withheld from one that does not, and the
// refusal of international addresses towards a next hop without SMTPUTF8.
#include "TRelayFixture.h"

#include <gtest/gtest.h>

using namespace quibo::test;

namespace {

class Esmtp : public Relay {
protected:
  // Greets with EHLO and sends one whole transaction in a single write; returns every reply to it.
  std::string Transaction(const std::string& mail, const std::vector<std::string>& recipients,
                          const std::string& data) {
    Client = std::make_unique<TRawSmtpClient>(Port);
    Client->Reply();
    Client->Command("EHLO client.test");
    std::string group = mail + "\r\n";
    for (const auto& recipient : recipients)
      group += "RCPT TO:<" + recipient + ">\r\n";
    Client->SendRaw(group + "DATA\r\n" + data + ".\r\n");
    std::string replies;
    for (size_t i = 0; i < recipients.size() + 3; ++i)
      replies += Client->Reply();
    return replies;
  }
  std::vector<std::string> MailCommandsAtTheNextHop() {
    std::vector<std::string> mails;
    for (const auto& command : NextHop.Commands())
      if (command.rfind("MAIL", 0) == 0) mails.push_back(command);
    return mails;
  }
};

const std::string kData = "Subject: Grüße\r\n\r\n8-bit text: Grüße aus Köln\r\n";

} // namespace

TEST_F(Esmtp, APipelinedEnvelopeIsAnsweredInOrderInOneWrite) {
  Launch("", "[Debug]\nSMTPServer=1\n");
  TRawSmtpClient client(Port);
  client.Reply();
  EXPECT_EQ(client.Command("EHLO client.test"), kEhloReply);
  client.SendRaw("MAIL FROM:<envelope@example.com>\r\nRCPT TO:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n");
  EXPECT_EQ(client.Reply(), "250 envelope@example.com Address Okay\r\n");
  EXPECT_EQ(client.Reply(), "250 a@example.org Address Okay\r\n");
  EXPECT_EQ(client.Reply(), "250 b@example.org Address Okay\r\n");
  EXPECT_EQ(client.Reply(), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  // The trace logs each write as one line: the four replies went out together.
  EXPECT_TRUE(Quibo->LogContains("] Server sent: 250 envelope@example.com Address Okay  250 a@example.org Address "
                                 "Okay  250 b@example.org Address Okay  354 Start mail input"));
  client.SendRaw("Subject: x\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(client.Reply(), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);

  // Every recipient refused: DATA gets 503, never 354, and the data that follows is no message.
  TRawSmtpClient stranger(Port);
  stranger.Reply();
  stranger.Command("EHLO client.test");
  stranger.SendRaw("MAIL FROM:<x@elsewhere.test>\r\nRCPT TO:<y@elsewhere.test>\r\nDATA\r\n");
  EXPECT_EQ(stranger.Reply(), "250 x@elsewhere.test Address Okay\r\n");
  EXPECT_EQ(stranger.Reply(), "550 Quibo dederazu says: not local address y@elsewhere.test, not a gateway\r\n");
  EXPECT_EQ(stranger.Reply(), "503 Polite people say Helo first\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(Esmtp, SizeIsOfferedAndHeldAtMailAndDuringData) {
  Launch("MaxMessageSize=1\n");
  TRawSmtpClient client(Port);
  client.Reply();
  const std::string ehlo = client.Command("EHLO client.test");
  EXPECT_NE(ehlo.find("\r\n250-SIZE 1024\r\n"), std::string::npos) << ehlo;
  EXPECT_EQ(client.Command("MAIL FROM:<envelope@example.com> SIZE=1025"),
            "552 Quibo dederazu says: Message size exceeds fixed maximum message size\r\n");
  EXPECT_EQ(client.Command("MAIL FROM:<envelope@example.com> SIZE=-1"),
            "501 Syntax Error in parameters or arguments\r\n");
  EXPECT_EQ(client.Command("MAIL FROM:<envelope@example.com> SIZE=100"), "250 envelope@example.com Address Okay\r\n");
  client.Command("RCPT TO:<a@example.org>");
  EXPECT_EQ(client.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  client.SendRaw("Subject: big\r\n\r\n" + std::string(2000, 'x') + "\r\n.\r\n");
  EXPECT_EQ(client.Reply(), "552 Quibo dederazu says: Message size exceeds fixed maximum message size\r\n");
  EXPECT_TRUE(NextHop.Mails().empty());
}

TEST_F(Esmtp, BodyAndSmtpUtf8GoToANextHopThatOffersThem) {
  NextHop.SmtpUtf8 = true;
  Launch();
  EXPECT_EQ(Transaction("MAIL FROM:<envelope@example.com> BODY=8BITMIME SMTPUTF8", {"jörg@example.org"}, kData),
            "250 envelope@example.com Address Okay\r\n250 jörg@example.org Address Okay\r\n"
            "354 Start mail input; end with <CRLF>.<CRLF>\r\n250 Ok\r\n");
  EXPECT_EQ(MailCommandsAtTheNextHop(),
            std::vector<std::string>{"MAIL FROM:<envelope@example.com> BODY=8BITMIME SMTPUTF8"});
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Recipients, std::vector<std::string>{"<jörg@example.org>"});
  EXPECT_NE(NextHop.Mails()[0].Data.find("8-bit text: Grüße aus Köln\r\n"), std::string::npos);
}

TEST_F(Esmtp, ANextHopWithoutTheExtensionsGetsNoParametersAndNoInternationalAddress) {
  NextHop.EightBitMime = false;
  Launch("RecipientCheck=end\n");
  // ASCII addresses: relayed without the parameters, the 8-bit body unchanged.
  EXPECT_EQ(Transaction("MAIL FROM:<envelope@example.com> BODY=8BITMIME SMTPUTF8", {"a@example.org"}, kData),
            "250 envelope@example.com Address Okay\r\n250 a@example.org Address Okay\r\n"
            "354 Start mail input; end with <CRLF>.<CRLF>\r\n250 Ok\r\n");
  EXPECT_EQ(MailCommandsAtTheNextHop(), std::vector<std::string>{"MAIL FROM:<envelope@example.com>"});
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("8-bit text: Grüße aus Köln\r\n"), std::string::npos);
  // An international address cannot travel there: refused, never relayed mangled.
  EXPECT_EQ(Transaction("MAIL FROM:<envelope@example.com> SMTPUTF8", {"jörg@example.org"}, kData),
            "250 envelope@example.com Address Okay\r\n250 jörg@example.org Address Okay\r\n"
            "354 Start mail input; end with <CRLF>.<CRLF>\r\n"
            "553 Quibo dederazu says: Recipient server does not support international addresses\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(MailCommandsAtTheNextHop().size(), 1u);
  // Without SMTPUTF8 the filter itself takes no such address.
  EXPECT_EQ(Transaction("MAIL FROM:<jörg@example.com>", {}, ""),
            "553 Quibo dederazu says: Address not ASCII, SMTPUTF8 needed\r\n"
            "503 Polite people say Helo first\r\n500 Syntax Error\r\n");
}
