// The TLS pieces of the test harness against real TLS clients (swaks and
// openssl s_client): the fake next hop's STARTTLS, and the test certificates
// as a verifying client judges them. The filter's own TLS tests rely on both.
#include "TFakeNextHop.h"
#include "TProgram.h"
#include "TTestCertificates.h"

#include <gtest/gtest.h>

namespace quibo::test {
namespace {

class FakeNextHopTls : public ::testing::Test {
protected:
  // swaks sending one message to the fake; its exit status.
  int Swaks(const std::vector<std::string>& options) {
    std::vector<std::string> arguments{"swaks", "--server", "127.0.0.1:" + std::to_string(NextHop.Port())};
    arguments.insert(arguments.end(), {"--from", "a@example.com", "--to", "b@example.org", "--helo", "client.test"});
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::string out, err;
    const int status = RunProgram(arguments, &out, &err);
    Transcript = out + err;
    return status;
  }
  // Whether openssl s_client completes STARTTLS with the fake and accepts its certificate for 127.0.0.1.
  bool Verified() {
    return RunProgram({"openssl", "s_client", "-starttls", "smtp", "-connect",
                       "127.0.0.1:" + std::to_string(NextHop.Port()), "-CAfile", Certificates.Authority.string(),
                       "-verify_ip", "127.0.0.1", "-verify_return_error", "-brief"},
                      nullptr, &Transcript) == 0;
  }

  TTempFolder Folder;
  TTestCertificates Certificates{Folder.path()};
  TFakeNextHop NextHop;
  std::string Transcript; // the client's output, for failure messages
};

TEST_F(FakeNextHopTls, TakesMailInsideTlsAfterASecondEhlo) {
  ASSERT_TRUE(NextHop.OfferStartTls(Certificates.Trusted.Certificate, Certificates.Trusted.Key));
  ASSERT_EQ(Swaks({"--tls", "--tls-verify", "--tls-ca-path", Certificates.Authority.string()}), 0) << Transcript;
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].Tls, "TLSv1.3");
  EXPECT_EQ(mails[0].Recipients, std::vector<std::string>{"<b@example.org>"});
  const auto commands = NextHop.Commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_EQ(
      std::vector<std::string>(commands.begin(), commands.begin() + 4),
      (std::vector<std::string>{"EHLO client.test", "STARTTLS", "EHLO client.test", "MAIL FROM:<a@example.com>"}));

  // The same server over TLS 1.2, and a client that stays in plain text.
  ASSERT_EQ(Swaks({"--tls", "--tls-protocol", "tlsv1_2"}), 0) << Transcript;
  ASSERT_EQ(Swaks({}), 0) << Transcript;
  ASSERT_EQ(NextHop.Mails().size(), 3u);
  EXPECT_EQ(NextHop.Mails()[1].Tls, "TLSv1.2");
  EXPECT_EQ(NextHop.Mails()[2].Tls, "");
}

TEST_F(FakeNextHopTls, OnlyTheAuthoritysCertificateForTheRightNameAndTimeVerifies) {
  ASSERT_TRUE(NextHop.OfferStartTls(Certificates.Combined, Certificates.Combined));
  EXPECT_TRUE(Verified()) << Transcript;
  for (const auto& refused : {Certificates.WrongName, Certificates.Expired, Certificates.SelfSigned}) {
    ASSERT_TRUE(NextHop.OfferStartTls(refused.Certificate, refused.Key));
    EXPECT_FALSE(Verified()) << refused.Certificate;
  }
  const auto& rsa = Certificates.SelfSignedRsa();
  ASSERT_TRUE(NextHop.OfferStartTls(rsa.Certificate, rsa.Key));
  EXPECT_EQ(Swaks({"--tls"}), 0) << Transcript;
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(FakeNextHopTls, RefusedOrBrokenStartTlsCarriesNoMailInsideTls) {
  NextHop.RefuseStartTls = true;
  ASSERT_EQ(Swaks({"--tls-optional"}), 0) << Transcript;
  EXPECT_NE(Transcript.find("454 4.7.0"), std::string::npos) << Transcript;
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_EQ(NextHop.Mails()[0].Tls, "");

  NextHop.RefuseStartTls = false;
  NextHop.BreakTlsHandshake = true;
  EXPECT_NE(Swaks({"--tls"}), 0) << Transcript;
  EXPECT_NE(Transcript.find("220 2.0.0 Ready to start TLS"), std::string::npos) << Transcript;
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

} // namespace
} // namespace quibo::test
