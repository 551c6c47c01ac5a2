// STARTTLS end to end: the real filter with certificates made by the test,
// real TLS clients (openssl s_client, swaks, Python's ssl) towards it, and
// the scripted next hop with and without STARTTLS behind it.
#include "TProgram.h"
#include "TRelayFixture.h"
#include "TTestCertificates.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

using namespace quibo::test;

namespace {

const std::string kMessage =
    "From: a@example.com\r\nSubject: Over TLS\r\nMessage-Id: <tls1@example.com>\r\n\r\nBody\r\n";
const std::string kClientScript = std::string(TEST_SOURCE_DIR) + "/e2e/tls/tls_client.py";

// The first PEM certificate in a text.
std::string FirstCertificate(const std::string& text) {
  const auto begin = text.find("-----BEGIN CERTIFICATE-----");
  const auto end = text.find("-----END CERTIFICATE-----", begin);
  return begin == std::string::npos || end == std::string::npos ? "" : text.substr(begin, end + 25 - begin);
}

class Tls : public Relay {
protected:
  // The filter with a certificate for STARTTLS (and the settings given).
  void LaunchWithCertificate(const std::string& settings = "") {
    Launch("TlsCertificate=" + ServedCertificate.string() + "\nTlsKey=" + ServedKey.string() + "\n" + settings,
           "[Debug]\nAcceptance=1\n");
  }
  // openssl s_client's STARTTLS to the filter; its exit status, its output in Transcript.
  int OpenSslClient(const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments{"openssl", "s_client", "-starttls",
                                       "smtp",    "-connect", "127.0.0.1:" + std::to_string(Port)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::string out, err;
    const int status = RunProgram(arguments, &out, &err);
    Transcript = out + err;
    return status;
  }
  std::string PythonClient(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"python3", kClientScript, std::to_string(Port)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string out, err;
    RunProgram(command, &out, &err);
    return out + err;
  }

  TTestCertificates Certificates{Home.path() / "certificates"};
  std::filesystem::path ServedCertificate = Home.path() / "served.pem";
  std::filesystem::path ServedKey = Home.path() / "served.key";
  std::string Transcript;

  void SetUp() override { Serve(Certificates.SelfSigned); }
  void Serve(const TCertificateFiles& files) {
    // Replaced whole, as a renewal tool does: a new file under the same name.
    const auto next = Home.path() / "next.pem";
    WriteFile(next, ReadFile(files.Certificate));
    std::filesystem::rename(next, ServedCertificate);
    WriteFile(next, ReadFile(files.Key));
    std::filesystem::rename(next, ServedKey);
  }
};

TEST_F(Tls, WithoutACertificateNothingChanges) {
  Launch();
  TRawSmtpClient client(Port);
  client.Reply();
  EXPECT_EQ(client.Command("EHLO client.test"), kEhloReply);
  EXPECT_EQ(client.Command("STARTTLS"), "500 Syntax Error\r\n");
}

TEST_F(Tls, OpenSslClientGetsTheCertificateAndNoOldProtocol) {
  LaunchWithCertificate();
  TRawSmtpClient client(Port);
  client.Reply();
  EXPECT_EQ(client.Command("EHLO client.test"), kEhloReplyWithTls);
  EXPECT_EQ(client.Command("STARTTLS now"), "501 Syntax Error in parameters or arguments\r\n");

  ASSERT_EQ(OpenSslClient(), 0) << Transcript;
  EXPECT_NE(Transcript.find("New, TLSv1.3, Cipher is"), std::string::npos) << Transcript;
  EXPECT_EQ(FirstCertificate(Transcript), FirstCertificate(ReadFile(Certificates.SelfSigned.Certificate)));
  EXPECT_TRUE(Quibo->LogContains("TLS: TLSv1.3 TLS_AES_256_GCM_SHA384"));
  EXPECT_TRUE(Quibo->LogContains("TLS: certificate loaded from " + ServedCertificate.string()));

  EXPECT_NE(OpenSslClient({"-tls1_1"}), 0) << Transcript; // below the floor
  EXPECT_EQ(OpenSslClient({"-tls1_2"}), 0) << Transcript;
  EXPECT_NE(Transcript.find("New, TLSv1.2, Cipher is"), std::string::npos) << Transcript;
}

TEST_F(Tls, MinimumVersionThirteenRefusesTwelve) {
  LaunchWithCertificate("TlsMinVersion=1.3\n");
  EXPECT_NE(OpenSslClient({"-tls1_2"}), 0) << Transcript;
  EXPECT_EQ(OpenSslClient({"-tls1_3"}), 0) << Transcript;
}

TEST_F(Tls, SwaksSendsAMessageThroughTlsOnBothSides) {
  ASSERT_TRUE(NextHop.OfferStartTls(Certificates.SelfSigned.Certificate, Certificates.SelfSigned.Key));
  LaunchWithCertificate();
  std::string out, err;
  ASSERT_EQ(RunProgram({"swaks", "--server", "127.0.0.1:" + std::to_string(Port), "--tls", "--from", "a@example.com",
                        "--to", "b@example.org", "--helo", "client.test", "--data", kMessage},
                       &out, &err),
            0)
      << out << err;
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].Tls, "TLSv1.3"); // the default OutgoingTls=may took the offer
  EXPECT_NE(mails[0].Data.find("\tby filter.test with ESMTPS (TLSv1.3 TLS_AES_256_GCM_SHA384) id <tls1@example.com>"),
            std::string::npos)
      << mails[0].Data;
  EXPECT_TRUE(Quibo->LogContains("] SMTP Client TLS: TLSv1.3 TLS_AES_256_GCM_SHA384"));
}

TEST_F(Tls, PlainTextSentWithStartTlsIsNeverAnswered) {
  LaunchWithCertificate();
  const std::string output = PythonClient({"inject"});
  EXPECT_NE(output.find("starttls: 220 Ready to start TLS|\n"), std::string::npos) << output;
  EXPECT_NE(output.find("plain-after-starttls: \n"), std::string::npos) << output;
  // Inside TLS the first reply is the new EHLO's, without STARTTLS; the NOOP was dropped.
  EXPECT_NE(output.find("first-in-tls: 250-corvantix|250-PIPELINING|250-SIZE 52428800|250-8BITMIME|250-SMTPUTF8|"
                        "250-AUTH LOGIN|250 HELP|\n"),
            std::string::npos)
      << output;
}

TEST_F(Tls, BrokenHandshakesAndRecordsEndOnlyTheirSession) {
  LaunchWithCertificate();
  TRawSmtpClient garbage(Port);
  garbage.Reply();
  garbage.Command("EHLO client.test");
  EXPECT_EQ(garbage.Command("STARTTLS"), "220 Ready to start TLS\r\n");
  garbage.SendRaw("GET / HTTP/1.0\r\n\r\n"); // no ClientHello
  EXPECT_TRUE(garbage.ClosedByServer());
  EXPECT_TRUE(Quibo->LogContains("Session ended: TLS handshake failed: "));

  const std::string output = PythonClient({"broken-record"});
  EXPECT_NE(output.find("tls: TLSv1.3"), std::string::npos) << output;
  EXPECT_NE(output.find("closed: True"), std::string::npos) << output << Quibo->MainLog();

  EXPECT_EQ(OpenSslClient(), 0) << Transcript; // the filter goes on serving
}

TEST_F(Tls, RenewedCertificateIsTakenAtSighupAndABrokenOneIsNot) {
  LaunchWithCertificate();
  // A session in TLS before the renewal.
  const auto go = Home.path() / "go";
  const pid_t held = StartProgram({"python3", kClientScript, std::to_string(Port), "hold", go.string()},
                                  Home.path() / "held.out", Home.path() / "held.err");
  ASSERT_TRUE(WaitFor([&] { return ReadFile(Home.path() / "held.out").find("ready: yes") != std::string::npos; }))
      << ReadFile(Home.path() / "held.err");

  Serve(Certificates.Trusted);
  Quibo->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] {
    return OpenSslClient() == 0 &&
           FirstCertificate(Transcript) == FirstCertificate(ReadFile(Certificates.Trusted.Certificate));
  })) << Transcript;

  WriteFile(go, "");
  int status = 0;
  ::waitpid(held, &status, 0);
  EXPECT_NE(ReadFile(Home.path() / "held.out").find("noop: 250 Ok|"), std::string::npos)
      << ReadFile(Home.path() / "held.out") << ReadFile(Home.path() / "held.err");

  // A key that does not belong to the certificate, then an expired pair: both refused, the renewed one stays.
  WriteFile(ServedKey, ReadFile(Certificates.SelfSigned.Key));
  Quibo->Signal(SIGHUP);
  EXPECT_TRUE(Quibo->LogContains("key values mismatch; the previous one stays in use")) << Quibo->MainLog();
  Serve(Certificates.Expired);
  Quibo->Signal(SIGHUP);
  EXPECT_TRUE(Quibo->LogContains("has expired; the previous one stays in use"));
  ASSERT_EQ(OpenSslClient(), 0) << Transcript;
  EXPECT_EQ(FirstCertificate(Transcript), FirstCertificate(ReadFile(Certificates.Trusted.Certificate)));
}

TEST_F(Tls, KeptRelayConnectionStaysInTls) {
  ASSERT_TRUE(NextHop.OfferStartTls(Certificates.SelfSigned.Certificate, Certificates.SelfSigned.Key));
  Launch();
  EXPECT_EQ(Send(kMessage), "250 Ok\r\n");
  EXPECT_EQ(Send(kMessage), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[1].Tls, "TLSv1.3");
  const auto commands = NextHop.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "STARTTLS"), 1); // one connection, one handshake
}

// What reaches the next hop under each outgoing policy.
struct TOutgoingCase {
  const char* Name;
  std::string Policy;
  enum { NoOffer, SelfSigned, Trusted, WrongName, Refused, Broken } Hop;
  enum { OverTls, InPlainText, Deferred } Outcome;
};

class OutgoingTls : public Tls, public ::testing::WithParamInterface<TOutgoingCase> {};

TEST_P(OutgoingTls, PolicyDecidesHowTheMessageLeaves) {
  const TOutgoingCase& test = GetParam();
  switch (test.Hop) {
  case TOutgoingCase::NoOffer: break;
  case TOutgoingCase::SelfSigned:
    NextHop.OfferStartTls(Certificates.SelfSigned.Certificate, Certificates.SelfSigned.Key);
    break;
  case TOutgoingCase::Trusted: NextHop.OfferStartTls(Certificates.Trusted.Certificate, Certificates.Trusted.Key); break;
  case TOutgoingCase::WrongName:
    NextHop.OfferStartTls(Certificates.WrongName.Certificate, Certificates.WrongName.Key);
    break;
  case TOutgoingCase::Refused: NextHop.RefuseStartTls = true; break;
  case TOutgoingCase::Broken: NextHop.BreakTlsHandshake = true; break;
  }
  Launch("OutgoingTls=" + test.Policy + "\nOutgoingTlsCaFile=" + Certificates.Authority.string() + "\n");
  if (test.Outcome == TOutgoingCase::Deferred) {
    // The next hop is asked at RCPT: the recipient is deferred there, and nothing goes out.
    StartTransaction();
    const std::string refusal = Client->Command("RCPT TO:<rcpt@example.org>");
    EXPECT_EQ(refusal.rfind("451 Quibo dederazu says:", 0), 0u) << refusal;
    EXPECT_TRUE(NextHop.Mails().empty());
    return;
  }
  const std::string reply = Send(kMessage);
  const auto mails = NextHop.Mails();
  switch (test.Outcome) {
  case TOutgoingCase::OverTls:
    EXPECT_EQ(reply, "250 Ok\r\n");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].Tls, "TLSv1.3");
    break;
  case TOutgoingCase::InPlainText:
    EXPECT_EQ(reply, "250 Ok\r\n");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].Tls, "");
    break;
  case TOutgoingCase::Deferred:
    EXPECT_EQ(reply.rfind("451 Quibo dederazu says:", 0), 0u) << reply;
    EXPECT_TRUE(mails.empty());
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Policies, OutgoingTls,
    ::testing::Values(
        TOutgoingCase{"NoneIgnoresTheOffer", "none", TOutgoingCase::SelfSigned, TOutgoingCase::InPlainText},
        TOutgoingCase{"MayTakesTheOffer", "may", TOutgoingCase::SelfSigned, TOutgoingCase::OverTls},
        TOutgoingCase{"MayWithoutOffer", "may", TOutgoingCase::NoOffer, TOutgoingCase::InPlainText},
        TOutgoingCase{"MayAfterRefusal", "may", TOutgoingCase::Refused, TOutgoingCase::InPlainText},
        TOutgoingCase{"MayNeverFallsBackAfterAFailedHandshake", "may", TOutgoingCase::Broken, TOutgoingCase::Deferred},
        TOutgoingCase{"EncryptWithoutOffer", "encrypt", TOutgoingCase::NoOffer, TOutgoingCase::Deferred},
        TOutgoingCase{"EncryptAfterRefusal", "encrypt", TOutgoingCase::Refused, TOutgoingCase::Deferred},
        TOutgoingCase{"EncryptTakesAnyCertificate", "encrypt", TOutgoingCase::SelfSigned, TOutgoingCase::OverTls},
        TOutgoingCase{"VerifyTrusted", "verify", TOutgoingCase::Trusted, TOutgoingCase::OverTls},
        TOutgoingCase{"VerifyWrongName", "verify", TOutgoingCase::WrongName, TOutgoingCase::Deferred},
        TOutgoingCase{"VerifyUntrusted", "verify", TOutgoingCase::SelfSigned, TOutgoingCase::Deferred}),
    [](const ::testing::TestParamInfo<TOutgoingCase>& info) { return std::string(info.param.Name); });

} // namespace
