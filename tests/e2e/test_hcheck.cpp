// The HCheck adapter run as the filter runs it, with stand-ins for the
// SpamAssassin programs, and for rspamd an HTTP server, where a test needs
// them to misbehave.
#include "TFakeHttpServer.h"
#include "TRelayFixture.h"

#include <gtest/gtest.h>

using namespace quibo::test;

namespace {

class Adapter : public Relay {
protected:
  Adapter() {
    std::filesystem::create_symlink(HCHECK_BINARY, Home.path() / "HCheck");
    WriteFile(Home.path() / "m", kWire);
  }
  void Settings(const std::string& keys) { WriteFile(Home.path() / "HCheck.ini", "[SpamAssassin]\n" + keys); }
  // Runs HCheck in the home folder; returns its exit code, its output in out.
  int HCheck(const std::vector<std::string>& arguments, std::string& out) {
    std::vector<std::string> command{"sh", "-c", "cd \"$0\" && exec ./HCheck \"$@\"", Home.path().string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProgram(command, &out);
  }
  // A failure is one line that names the adapter and carries no score.
  void ExpectFailure(const std::string& reason) {
    std::string out;
    EXPECT_EQ(HCheck({"m"}, out), 1);
    EXPECT_EQ(out.rfind("HCheck: ", 0), 0u) << out;
    EXPECT_NE(out.find(reason), std::string::npos) << out;
    EXPECT_EQ(out.find('|'), std::string::npos) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
  std::string ClosedSpamd() { return "Spamd=127.0.0.1:" + std::to_string(FreePort()) + "\n"; }

  const std::string kWire = "Subject: hi\r\n\r\n..dotted\r\nplain\r\n.\r\n";
};

} // namespace

TEST_F(Adapter, WithoutSpamdTheProgramGetsTheMessageAsTheNextHopSeesIt) {
  // Real spamc finds nothing listening; the stand-in for spamassassin keeps what it was given.
  Settings(ClosedSpamd() + "SpamAssassin=./sa\n");
  WriteScript("sa",
              "cat > input\necho \"$@\" > arguments\n"
              "printf 'X-Spam-Other: x\\nX-Spam-HCheck: 3.5|ZED_RULE,\\n\\tA_RULE|\\nSubject: hi\\n\\nbody\\n'\n");
  std::filesystem::create_directories(Home.path() / "config" / "example.org");
  WriteFile(Home.path() / "config" / "example.org" / "user_prefs", "required_score 4\n");
  std::string out;
  EXPECT_EQ(HCheck({"m", "config/example.org"}, out), 0) << out;
  EXPECT_EQ(out, "3.5|A_RULE,ZED_RULE|\n");
  EXPECT_EQ(ReadFile(Home.path() / "input"), "Subject: hi\r\n\r\n.dotted\r\nplain\r\n");
  const std::string arguments = ReadFile(Home.path() / "arguments");
  EXPECT_NE(arguments.find("--local"), std::string::npos) << arguments;
  EXPECT_NE(arguments.find("--prefspath=config/example.org/user_prefs"), std::string::npos) << arguments;
  EXPECT_NE(arguments.find("--cf=bayes_path " + (Home.path() / "bayes" / "bayes").string()), std::string::npos)
      << arguments;
}

TEST_F(Adapter, FailuresGiveAReasonAndNoScore) {
  Settings(ClosedSpamd() + "SpamAssassin=./missing\n");
  ExpectFailure("no spamd at 127.0.0.1:");
  Settings("Spamd=off\nSpamAssassin=./sa\nScoreTimeout=1\n");
  WriteScript("sa", "echo 'Subject: no score here'; echo; echo body\n");
  ExpectFailure("spamassassin gave no score");
  WriteScript("sa", "printf 'X-Spam-HCheck: lots|RULE|\\n\\n'\n");
  ExpectFailure("spamassassin gave no score");
  WriteScript("sa", "kill -9 $$\n");
  ExpectFailure("killed by signal 9");
  WriteScript("sa", "echo 'cannot read rules: \\033[31mbad' >&2; exit 3\n");
  ExpectFailure("exit code 3: cannot read rules: \\x1B[31mbad");
  WriteScript("sa", "exec yes X-Spam-HCheck\n"); // endless output
  ExpectFailure("did not finish in time");
  std::string out;
  EXPECT_EQ(HCheck({"--dump", "all"}, out), 2);
  EXPECT_EQ(HCheck({"--dump", "magic"}, out), 1);
  EXPECT_NE(out.find("nothing learned yet"), std::string::npos) << out;
}

TEST_F(Adapter, FailedClassifierLeavesTheMessageUnscoredAtTheNextHop) {
  Settings(ClosedSpamd() + "SpamAssassin=./missing\n");
  Launch("", "[Heurastic]\nDoHeurastic=1\nThreshold=0,5\n");
  EXPECT_EQ(Send("Subject: plain\r\n\r\nbody\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  const std::string data = NextHop.Mails()[0].Data;
  EXPECT_NE(data.find("X-Spam-Status: Negative \r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("X-Spam-Score: Hits: 0 Tests: not tested HCheck: no spamd at"), std::string::npos) << data;
}

TEST_F(Adapter, RspamdGetsTheMessageAndTheDomainAndFailuresGiveAReason) {
  const auto useRspamd = [this](const std::string& url) {
    WriteFile(Home.path() / "HCheck.ini",
              "[HCheck]\nBackend=rspamd\n[Rspamd]\nUrl=" + url + "\nControllerUrl=" + url + "\nTimeout=1\n");
  };
  TFakeHttpServer server;
  useRspamd(server.Url() + "/");
  server.Answer(R"({"score":2.5,"symbols":{"R_B":{"score":2.5},"R_A":{"score":0.0}}})");
  std::string out;
  EXPECT_EQ(HCheck({"m", "config/example.org"}, out), 0) << out;
  EXPECT_EQ(out, "2.5|R_A,R_B|\n");
  const std::string request = server.LastRequest();
  EXPECT_EQ(request.rfind("POST /checkv2 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nDeliver-To: example.org\r\n"), std::string::npos) << request;
  EXPECT_NE(request.find("\r\nSettings-Id: example.org\r\n"), std::string::npos) << request;
  const std::string unstuffed = "Subject: hi\r\n\r\n.dotted\r\nplain\r\n";
  EXPECT_NE(request.find("\r\nContent-Length: " + std::to_string(unstuffed.size()) + "\r\n"), std::string::npos)
      << request;

  server.Answer("<html>busy</html>");
  ExpectFailure("rspamd at " + server.Url() + " gave no score it could be read from");
  server.Answer(R"({"error":"cannot parse \u001b message"})", 500);
  ExpectFailure("rspamd at " + server.Url() + ": HTTP 500: cannot parse \\x1B message");
  EXPECT_EQ(HCheck({"--dump", "magic"}, out), 1);
  EXPECT_EQ(out, "HCheck: rspamd's controller at " + server.Url() + ": HTTP 500: cannot parse \\x1B message\n");

  // rspamd down: nothing listens.
  const std::string closed = "http://127.0.0.1:" + std::to_string(FreePort());
  useRspamd(closed);
  ExpectFailure("rspamd at " + closed + ": ");
  std::filesystem::create_directories(Home.path() / "spam");
  WriteFile(Home.path() / "spam" / "one", kWire);
  EXPECT_EQ(HCheck({"--spam", "./spam"}, out), 1);
  EXPECT_EQ(out.rfind("HCheck: rspamd's controller at " + closed + ": ", 0), 0u) << out;
  EXPECT_EQ(out.find('|'), std::string::npos) << out;

  // A listener that never answers: the request's time runs out.
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&local), &length);
  useRspamd("http://127.0.0.1:" + std::to_string(ntohs(local.sin_port)));
  ExpectFailure("timed out");
  ::close(silent);
}
