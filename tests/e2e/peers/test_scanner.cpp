// The filter with clamd as its scanner: through clamdscan, and asked by the
// filter itself (ClamdSocket) over clamd's Unix socket and its TCP port. One
// clamd for the whole program.
#include "TPeerDaemons.h"
#include "TRelayFixture.h"
#include "UClamdScanner.h"
#include "UMain.h"

#include <gtest/gtest.h>
#include <sys/un.h>

using namespace quibo;
using namespace quibo::test;

namespace {

const std::string kVirusFound = "541 Quibo dederazu says: Message cannot be accepted: Virus Found!\r\n";
const std::string kUnchecked = "451 Quibo dederazu says: Message could not be checked, try again later\r\n";
const std::string kFoundByClamd = "Eicar-Test-Signature.UNOFFICIAL FOUND";

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

std::string Mail(const std::string& subject, const std::string& body) {
  return "Subject: " + subject + "\r\n\r\n" + body + "\r\n";
}

// A message of at least size bytes in lines of ordinary text.
std::string LargeMail(const std::string& subject, size_t size) {
  std::string body;
  while (body.size() < size)
    body += "All work and no play makes a long message for the scanner to read.\r\n";
  return Mail(subject, body);
}

// The socket file a clamd that stopped without cleaning up leaves behind: nothing answers on it.
std::filesystem::path StaleSocket(const std::filesystem::path& folder) {
  const auto path = folder / "stopped.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::close(socket);
  return path;
}

// clamd writes its log line about a scan after its answer: the test waits for it.
bool ClamdLogShows(const std::string& part, size_t times = 1) {
  return WaitFor([&] { return Occurrences(SharedClamd().Log(), part) >= times; });
}

class ClamdRelay : public Relay {
protected:
  void SetUp() override { ASSERT_TRUE(SharedClamd().Ready()) << SharedClamd().Log(); }
  std::string ClamdSocket() const { return "ClamdSocket=" + SharedClamd().Socket().string() + "\n"; }
};

} // namespace

TEST_F(ClamdRelay, ClamdscanRefusesEicarAndPassesCleanMail) {
  ExpectEicarRefusedAndCleanMailRelayed("clamdscan --fdpass --no-summary --config-file=\"" +
                                        SharedClamd().Config().string() + "\" \"%s\"");
  EXPECT_TRUE(ClamdLogShows(kFoundByClamd)) << SharedClamd().Log();
}

TEST_F(ClamdRelay, StreamedOverTheUnixSocketOnKeptSessions) {
  const std::string streamHit = "instream(local): " + kFoundByClamd;
  const size_t hitsBefore = Occurrences(SharedClamd().Log(), streamHit);
  ExpectScannerRefusesEicarAndRelaysCleanMail(ClamdSocket());
  EXPECT_EQ(Send(Mail("clean again", "still nothing")), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 2u);
  EXPECT_TRUE(ClamdLogShows(streamHit, hitsBefore + 1)) << SharedClamd().Log();
}

TEST_F(ClamdRelay, StreamedOverTcp) {
  ExpectScannerRefusesEicarAndRelaysCleanMail("ClamdSocket=" + SharedClamd().TcpAddress() + "\n");
}

TEST_F(ClamdRelay, AMessageInAFileIsHandedOverOnTheUnixSocket) {
  Launch("", "[VirusCheck]\nDoVirusCheck=1\n" + ClamdSocket() + "[Debug]\nKeepTempFiles=1\n");
  // The first is streamed: it shows clamd takes messages of its size, so smaller files are handed over.
  EXPECT_EQ(Send(LargeMail("clean", 4096)), "250 Ok\r\n");
  EXPECT_EQ(Send(Mail("test", kEicar)), kVirusFound);
  EXPECT_TRUE(ClamdLogShows((Home.path() / "temp" / "Quibo").string())) << SharedClamd().Log();
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(ClamdRelay, AStoppedClamdIsAFailedScan) {
  const std::string stopped = "ClamdSocket=" + StaleSocket(Home.path()).string() + "\n";
  Launch("", "[VirusCheck]\nDoVirusCheck=1\n" + stopped);
  EXPECT_EQ(Send(Mail("unchecked", "passes unchecked")), "250 Ok\r\n");
  EXPECT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_TRUE(Quibo->LogContains("Virus scan failed: cannot connect to clamd at")) << Quibo->MainLog();

  Quibo.reset();
  Launch("DeferUncheckedMail=1\n", "[VirusCheck]\nDoVirusCheck=1\n" + stopped);
  EXPECT_EQ(Send(Mail("deferred", "waits for a retry")), kUnchecked);
  EXPECT_EQ(NextHop.Mails().size(), 1u);
}

TEST_F(ClamdRelay, AMessageOverClamdsStreamLimitIsAFailedScan) {
  Launch("DeferUncheckedMail=1\n", "[VirusCheck]\nDoVirusCheck=1\n" + ClamdSocket());
  EXPECT_EQ(Send(LargeMail("large", TClamd::kStreamLimit + 50 * 1024)), kUnchecked);
  EXPECT_TRUE(Quibo->LogContains("is over clamd's StreamMaxLength")) << Quibo->MainLog();
  EXPECT_EQ(Send(Mail("small", "fits")), "250 Ok\r\n"); // a new session after clamd closed that one
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: small"), std::string::npos);
}

TEST(ClamdPool, AKeptSessionThatIsGoneIsNotUsed) {
  ASSERT_TRUE(SharedClamd().Ready());
  const std::string socket = SharedClamd().Socket().string();
  TClamdPool pool;
  EXPECT_EQ(ScanWithClamd(pool, socket, {}, TTextMessage("nothing"), {}, 10000).Output, "stream: OK");
  auto kept = pool.Take(socket);
  ASSERT_TRUE(kept); // the session outlived its message
  kept->Cut();
  pool.Give(socket, std::move(kept));
  const TScanResult result = ScanWithClamd(pool, socket, {}, TTextMessage(kEicar), {}, 10000);
  EXPECT_TRUE(result.Found) << result.Failure;
  EXPECT_EQ(result.Output, "stream: " + kFoundByClamd);
}

TEST(ClamdVirusCheckTest, SendsTheTestTextToClamd) {
  ASSERT_TRUE(SharedClamd().Ready());
  TTempFolder home;
  WriteFile(home.path() / "quibo.ini", "[Settings]\nListenIP=127.0.0.1\nListenPort=0\n[VirusCheck]\nDoVirusCheck=1\n"
                                       "ClamdSocket=" +
                                           SharedClamd().TcpAddress() + "\n[Debug]\nAcceptance=1\n");
  TForm1 form(TForm1::TOptions{home.path(), "quibo", false, nullptr});
  form.Create();
  ASSERT_TRUE(form.Jobs().VirusCheckAsksClamd());
  std::vector<std::string> lines;
  form.Jobs().VirusCheckTest({}, [&lines](const std::vector<std::string>& result) { lines = result; });
  EXPECT_TRUE(WaitFor([&] {
    form.EventQueue().RunPending([&form](const TEvent& event) { form.HandleEvent(event); });
    return !form.Jobs().VirusCheckRunning() && !lines.empty();
  }));
  EXPECT_EQ(lines, std::vector<std::string>{"Virus found! (clamd: stream: " + kFoundByClamd + ")"});
  EXPECT_NE(ReadFile(home.path() / "log" / "Quibo.log").find(lines.front()), std::string::npos);
}
