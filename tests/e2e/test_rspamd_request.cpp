// What the filter asking rspamd itself (RspamdUrl) tells it about a message,
// as a scripted rspamd records it: the envelope in request headers (the
// client of a PROXY header, HELO, sender, each recipient, the transaction id,
// TLS), each value printable, and never the login of AUTH.
#include "TFakeHttpServer.h"
#include "TRelayFixture.h"
#include "TTestCertificates.h"

#include <regex>

using namespace quibo::test;

namespace {

class RspamdRequest : public Relay {
protected:
  void SetUp() override {
    Rspamd.Answer(R"({"score":0,"symbols":{},"action":"no action"})");
    Launch("TlsCertificate=" + Certificates.SelfSigned.Certificate.string() +
               "\nTlsKey=" + Certificates.SelfSigned.Key.string() + "\n",
           "[Debug]\nAcceptance=1\n[ProxyFrom]\n0=127.0.0.2\n[Heurastic]\nDoHeurastic=1\nRspamdUrl=" + Rspamd.Url() +
               "\n");
  }

  TFakeHttpServer Rspamd;
  TTestCertificates Certificates{Home.path() / "certificates"};
};

} // namespace

TEST_F(RspamdRequest, TheEnvelopeGoesAlongAndTheLoginNever) {
  // Through a balancer, in TLS, logged in, from the null sender to two recipients.
  std::string out, err;
  ASSERT_EQ(RunProgram({"swaks",
                        "--server",
                        "127.0.0.1:" + std::to_string(Port),
                        "--local-interface",
                        "127.0.0.2",
                        "--proxy-version",
                        "1",
                        "--proxy-family",
                        "TCP4",
                        "--proxy-source",
                        "198.51.100.20",
                        "--proxy-source-port",
                        "40000",
                        "--proxy-dest",
                        "127.0.0.1",
                        "--proxy-dest-port",
                        "25",
                        "--tls",
                        "--auth",
                        "LOGIN",
                        "--auth-user",
                        "someone",
                        "--auth-password",
                        "anything",
                        "--helo",
                        "helo.example",
                        "--from",
                        "<>",
                        "--to",
                        "a@example.org,b@example.org",
                        "--data",
                        "Subject: through\r\n\r\nbody\r\n"},
                       &out, &err),
            0)
      << out << err;
  const std::string request = Rspamd.LastRequest();
  for (const char* header : {"\r\nIP: 198.51.100.20\r\n", "\r\nHelo: helo.example\r\n", "\r\nFrom: <>\r\n",
                             "\r\nRcpt: a@example.org\r\nRcpt: b@example.org\r\n", "\r\nMTA-Name: filter.test\r\n",
                             "\r\nTLS-Cipher: TLS_AES_256_GCM_SHA384\r\n", "\r\nTLS-Version: TLSv1.3\r\n"})
    EXPECT_NE(request.find(header), std::string::npos) << header << request;
  EXPECT_EQ(request.find("\r\nUser:"), std::string::npos) << request;
  // The id rspamd gets is the one of the message's log lines.
  std::smatch id;
  ASSERT_TRUE(std::regex_search(request, id, std::regex("\r\nQueue-Id: ([0-9A-F]{12})\r\n"))) << request;
  EXPECT_TRUE(Quibo->LogContains("198.51.100.20 " + id[1].str() + ": Relaying allowed for"));

  // From loopback in plain text: its name leads back to it; a control byte in the HELO name is shown, not sent.
  TRawSmtpClient client(Port);
  client.Reply();
  client.Command(std::string("EHLO odd\x01name"));
  client.Command("MAIL FROM:<envelope@example.com>");
  client.Command("RCPT TO:<rcpt@example.org>");
  client.Command("DATA");
  client.SendRaw("Subject: plain\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(client.Reply(10000), "250 Ok\r\n");
  const std::string plain = Rspamd.LastRequest();
  for (const char* header : {"\r\nIP: 127.0.0.1\r\n", "\r\nHelo: odd\\x01name\r\n", "\r\nHostname: localhost\r\n",
                             "\r\nFrom: envelope@example.com\r\n", "\r\nRcpt: rcpt@example.org\r\n"})
    EXPECT_NE(plain.find(header), std::string::npos) << header << plain;
  EXPECT_EQ(plain.find("\r\nTLS-"), std::string::npos) << plain;
  EXPECT_EQ(NextHop.Mails().size(), 2u);
}
