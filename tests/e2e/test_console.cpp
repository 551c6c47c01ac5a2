// The web console of the running filter over HTTP: the login rules, the
// session cookie and the CSRF token, each route against a live SMTP session
// and a relayed message, a list saved and applied at once, learning uploads,
// the tests, HTTPS, and hostile requests.
#include "THttpGet.h"
#include "TRelayFixture.h"
#include "TTestCertificates.h"

#include <chrono>

using namespace quibo::test;

namespace {

// `openssl passwd -6 -salt consolet secret`
const std::string kHash =
    "$6$consolet$1yzKsc4wbkjnE50oKOF1VxKpOFhPtxtGk98bt/CVWd.ucxNU2YMu.gPGrk2C7kFihENMrNDHLQq4zek8RkTsC/";

struct TAnswer {
  int Status = 0;
  std::string Head;
  std::string Body;
};

TAnswer Parsed(const std::string& response) {
  TAnswer answer;
  if (response.rfind("HTTP/1.1 ", 0) == 0) answer.Status = std::atoi(response.c_str() + 9);
  answer.Head = response.substr(0, response.find("\r\n\r\n"));
  answer.Body = HttpBody(response);
  return answer;
}

class Console : public Relay {
protected:
  void Start(const std::string& settings = "", const std::string& scheme = "http") {
    Launch("ConsoleListen=127.0.0.1:0\nConsolePassword=" + kHash + "\n" + settings, "[Debug]\nAcceptance=1\n");
    const std::string marker = "Console listening on " + scheme + "://127.0.0.1:";
    ASSERT_TRUE(Quibo->LogContains(marker)) << Quibo->MainLog();
    const std::string log = Quibo->MainLog();
    ConsolePort = std::atoi(log.c_str() + log.find(marker) + marker.size());
  }
  TAnswer Call(const std::string& method, const std::string& path, const std::string& body = "",
               const std::string& extraHeaders = "") {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
    if (!Cookie.empty()) request += "Cookie: quibo_session=" + Cookie + "\r\n";
    if (!Csrf.empty()) request += "X-Csrf-Token: " + Csrf + "\r\n";
    request += extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return Parsed(HttpRequest(ConsolePort, request));
  }
  TAnswer Login(const std::string& password = "secret") {
    const TAnswer answer = Call("POST", "/login", "user=admin&password=" + password,
                                "Content-Type: application/x-www-form-urlencoded\r\n");
    const auto cookie = answer.Head.find("quibo_session=");
    if (answer.Status == 200 && cookie != std::string::npos) {
      Cookie = answer.Head.substr(cookie + 14, 32);
      Csrf = answer.Body.substr(answer.Body.find(":\"") + 2, 32);
    }
    return answer;
  }
  // Opens an SMTP session up to its recipients and leaves it open.
  void OpenSession(const std::string& recipient) {
    Client = std::make_unique<TRawSmtpClient>(Port);
    Client->Reply();
    Client->Command("EHLO watched.client.test");
    Client->Command("MAIL FROM:<" + EnvelopeSender + ">");
    EXPECT_EQ(Client->Command("RCPT TO:<" + recipient + ">").substr(0, 4), "250 ");
  }
  int ConsolePort = 0;
  std::string Cookie;
  std::string Csrf;
};

} // namespace

TEST_F(Console, LoginSessionCookieAndCsrf) {
  Start();
  EXPECT_EQ(Call("GET", "/api/status").Status, 401);
  const TAnswer page = Call("GET", "/");
  EXPECT_EQ(page.Status, 200);
  EXPECT_NE(page.Body.find("id=\"login-form\""), std::string::npos);
  EXPECT_NE(page.Head.find("Content-Security-Policy: default-src 'none'; script-src 'self'"), std::string::npos);

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Login("wrong").Status, 401);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(950)) << "a wrong login waits";
  EXPECT_TRUE(Quibo->LogContains("Console: failed login for user 'admin' from 127.0.0.1"));

  const TAnswer login = Login();
  ASSERT_EQ(login.Status, 200) << login.Body;
  EXPECT_NE(login.Head.find("Set-Cookie: quibo_session=" + Cookie + "; Path=/; HttpOnly; SameSite=Strict\r"),
            std::string::npos)
      << login.Head;
  EXPECT_EQ(login.Body, "{\"csrf\":\"" + Csrf + "\"}");
  EXPECT_EQ(Call("GET", "/api/status").Status, 200);

  const std::string token = Csrf;
  Csrf.clear();
  EXPECT_EQ(Call("PUT", "/api/lists/LocalDomains", "[\"x.example\"]").Status, 403);
  Csrf = "0" + token.substr(1) == token ? "1" + token.substr(1) : "0" + token.substr(1);
  EXPECT_EQ(Call("POST", "/logout").Status, 403);
  Csrf = token;
  EXPECT_EQ(Call("POST", "/logout").Status, 200);
  EXPECT_EQ(Call("GET", "/api/status").Status, 401) << "the session ended at the logout";

  // Five tries a minute per address, good or bad: the sixth is refused whatever it brings.
  for (int i = 0; i < 3; ++i)
    Login("wrong");
  EXPECT_EQ(Login().Status, 429);
  EXPECT_TRUE(Quibo->LogContains("login refused for user 'admin' from 127.0.0.1: more than 5 tries in a minute"));
}

TEST_F(Console, WithoutAPasswordEveryLoginIsRefusedAndTheLogSaysWhy) {
  Launch("ConsoleListen=127.0.0.1:0\n", "[Debug]\nAcceptance=1\n");
  ASSERT_TRUE(Quibo->LogContains("Console: ConsolePassword is empty: every login is refused"));
  const std::string marker = "Console listening on http://127.0.0.1:";
  const std::string log = Quibo->MainLog();
  ConsolePort = std::atoi(log.c_str() + log.find(marker) + marker.size());
  EXPECT_EQ(Login("").Status, 401);
  EXPECT_TRUE(Quibo->LogContains("login refused for user 'admin' from 127.0.0.1: ConsolePassword is empty"));
}

TEST_F(Console, ALiveConnectionIsListedAndTerminated) {
  Start();
  ASSERT_EQ(Login().Status, 200);
  OpenSession("rcpt@example.org");
  const TAnswer connections = Call("GET", "/api/connections");
  ASSERT_EQ(connections.Status, 200);
  const std::string& rows = connections.Body;
  EXPECT_NE(rows.find("\"helo\":\"watched.client.test\""), std::string::npos) << rows;
  EXPECT_NE(rows.find("\"sender\":\"envelope@example.com\""), std::string::npos) << rows;
  EXPECT_NE(rows.find("\"recipients\":[\"rcpt@example.org\"]"), std::string::npos) << rows;
  EXPECT_NE(rows.find("\"peer\":\"127.0.0.1\""), std::string::npos) << rows;
  EXPECT_NE(rows.find("\"state\":\"RCPT\""), std::string::npos) << rows;
  const auto id = rows.find("\"id\":");
  ASSERT_NE(id, std::string::npos);
  const std::string thread = std::to_string(std::atol(rows.c_str() + id + 5));

  EXPECT_EQ(Call("POST", "/api/connections/999999/terminate").Status, 404);
  EXPECT_EQ(Call("POST", "/api/connections/" + thread + "/terminate").Status, 200);
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_TRUE(Quibo->LogContains("Console: user admin terminated connection [" + thread + "]"));
  EXPECT_TRUE(WaitFor([&] { return Call("GET", "/api/connections").Body == "[]"; }));
}

TEST_F(Console, AListSavedThroughTheConsoleActsAtOnceAndABadOneIsRefused) {
  Start();
  ASSERT_EQ(Login().Status, 200);
  EnvelopeSender = "someone@far.example"; // not local: only local recipients are taken
  Client = std::make_unique<TRawSmtpClient>(Port);
  Client->Reply();
  Client->Command("EHLO client.test");
  Client->Command("MAIL FROM:<someone@far.example>");
  EXPECT_EQ(Client->Command("RCPT TO:<user@new.example>").substr(0, 4), "550 ");

  EXPECT_EQ(Call("GET", "/api/lists/LocalDomains").Body, "[\"example.com\",\"example.org\",\"b.cd\"]");
  const std::string ini = ReadFile(Home.path() / "quibo.ini");
  const TAnswer bad = Call("PUT", "/api/lists/LocalDomains", "[\"example.com\",\"bad domain\"]");
  EXPECT_EQ(bad.Status, 400);
  EXPECT_EQ(bad.Body, "{\"error\":\"'bad domain' is no domain name\"}");
  EXPECT_EQ(ReadFile(Home.path() / "quibo.ini"), ini) << "nothing saved";

  const TAnswer saved = Call("PUT", "/api/lists/LocalDomains", "[\"example.com\",\"example.org\",\"new.example\"]");
  EXPECT_EQ(saved.Status, 200) << saved.Body;
  Client->Command("RSET"); // a transaction keeps the settings it began with
  Client->Command("MAIL FROM:<someone@far.example>");
  EXPECT_EQ(Client->Command("RCPT TO:<user@new.example>").substr(0, 4), "250 ") << "applied at once";
  EXPECT_NE(ReadFile(Home.path() / "quibo.ini").find("[LocalDomains]\n0=example.com\n1=example.org\n2=new.example"),
            std::string::npos)
      << ReadFile(Home.path() / "quibo.ini");
  EXPECT_TRUE(Quibo->LogContains("Console: user admin saved LocalDomains with 3 entries"));
  EXPECT_EQ(Call("GET", "/api/lists/Nothing").Status, 404);
}

TEST_F(Console, StatusLogTailAndTrackingAfterARelayedMessage) {
  Start();
  ASSERT_EQ(Login().Status, 200);
  // The mail log names a message by its From address.
  EXPECT_EQ(Send("From: <envelope@example.com>\r\nSubject: tracked\r\n\r\nbody\r\n",
                 {"first@example.org", "second@example.org"}),
            "250 Ok\r\n");
  Client->Command("QUIT");
  EnvelopeSender = "other@example.com";
  EXPECT_EQ(Send("From: <other@example.com>\r\nSubject: other\r\n\r\nbody\r\n"), "250 Ok\r\n");

  const TAnswer tail = Call("GET", "/api/log?lines=2");
  EXPECT_EQ(tail.Status, 200);
  EXPECT_EQ(std::count(tail.Body.begin(), tail.Body.end(), '"'), 2 + 2 * 2) << tail.Body; // "lines" and two lines
  EXPECT_NE(Call("GET", "/api/log?lines=100000").Body.find("Console listening"), std::string::npos);

  const TAnswer tracked = Call("GET", "/api/messages?sender=ENVELOPE%40example&recipient=second");
  ASSERT_EQ(tracked.Status, 200);
  EXPECT_NE(tracked.Body.find("\"sender\":\"envelope@example.com\""), std::string::npos) << tracked.Body;
  EXPECT_NE(tracked.Body.find("tracked from <envelope@example.com> sent to <first@example.org,second@example.org>"),
            std::string::npos)
      << tracked.Body;
  EXPECT_EQ(tracked.Body.find("other@example.com"), std::string::npos) << tracked.Body;
  const TAnswer both = Call("GET", "/api/messages");
  EXPECT_LT(both.Body.find("other@example.com"), both.Body.find("envelope@example.com")) << "newest first";
  EXPECT_EQ(Call("GET", "/api/messages?since=2999-01-01").Body, "[]");

  TAnswer status;
  ASSERT_TRUE(WaitFor([&] {
    status = Call("GET", "/api/status");
    return status.Body.find("\"serverConnects\":3") != std::string::npos; // the start-up probe and two clients
  })) << status.Body;
  EXPECT_NE(status.Body.find("\"listening\":true"), std::string::npos);
  EXPECT_NE(status.Body.find(",2]"), std::string::npos) << "two messages in this minute: " << status.Body;
  EXPECT_NE(Call("GET", "/api/statistics").Body.find("\"passed\":2"), std::string::npos);
}

TEST_F(Console, LearningUploadsTestMailAndBlacklistTest) {
  Start("MaxMessageSize=1\n");
  ASSERT_EQ(Login().Status, 200);
  // The classifier program learns what spam/ holds and says how many of how many.
  WriteScript("HCheck", "[ \"$1\" = --spam ] || { echo '0|0|'; exit 0; }\ncat spam/* > learned.txt; echo '1|1|'\n");
  const TAnswer learned = Call("POST", "/api/learn/spam", "Subject: buy now\r\n\r\ncheap\r\n");
  EXPECT_EQ(learned.Status, 202) << learned.Body;
  const std::string name = learned.Body.substr(learned.Body.find("Quibo"), 21);
  EXPECT_TRUE(Quibo->LogContains("Console: user admin stored " + name + " in spam/ for learning"));
  EXPECT_TRUE(Quibo->LogContains("Autolearning started..."));
  EXPECT_TRUE(WaitFor([&] {
    return Call("GET", "/api/jobs").Body.find("Learned 1 from 1 total") != std::string::npos;
  })) << Call("GET", "/api/jobs").Body
      << "\n"
      << Quibo->MainLog();
  EXPECT_EQ(ReadFile(Home.path() / "learned.txt"), "Subject: buy now\r\n\r\ncheap\r\n");
  EXPECT_EQ(Call("POST", "/api/learn/ham", std::string(1025, 'x')).Status, 413) << "past MaxMessageSize";
  EXPECT_EQ(Call("POST", "/api/learn/ham").Status, 400);

  const TAnswer mail =
      Call("POST", "/api/test-mail",
           R"({"sender":"tester@example.com","recipients":"rcpt@example.org","subject":"console test",)"
           R"("text":"hello\nworld"})");
  EXPECT_EQ(mail.Status, 202) << mail.Body;
  EXPECT_TRUE(WaitFor([&] { return NextHop.Mails().size() == 1; }));
  EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: console test"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return Call("GET", "/api/jobs").Body.find("\"result\":\"sent\"") != std::string::npos; }));

  EXPECT_EQ(Call("POST", "/api/dnsbl-test", R"({"ip":"not an address"})").Status, 400);
  EXPECT_EQ(Call("POST", "/api/dnsbl-test", R"({"ip":"127.0.0.2"})").Status, 202);
  EXPECT_TRUE(WaitFor([&] { return Call("GET", "/api/jobs").Body.find("127.0.0.2 not listed") != std::string::npos; }));
}

TEST_F(Console, HostileRequestsGetAClearAnswer) {
  Start();
  ASSERT_EQ(Login().Status, 200);
  EXPECT_EQ(Call("PUT", "/api/lists/LocalDomains", "[\"a.example\"").Status, 400);
  EXPECT_EQ(Call("PUT", "/api/lists/LocalDomains", "{\"a\":1}").Status, 400);
  EXPECT_EQ(Call("PUT", "/api/lists/LocalDomains", "[1,2]").Status, 400);
  EXPECT_EQ(Call("PUT", "/api/lists/LocalDomains", "[\"a.example\r\n\"]").Status, 400);
  EXPECT_EQ(Call("POST", "/api/test-mail", "\xff\xfe").Status, 400);
  EXPECT_EQ(Call("PUT", "/api/lists/LocalDomains", std::string(1024 * 1024 + 1, ' ')).Status, 413);
  for (const char* path :
       {"/api/lists/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/api/lists/LocalDomains/x",
        "/api/connections/-1/terminate", "/api/connections/1/../terminate", "/console.js/..", "/api/lists/%00"})
    EXPECT_EQ(Call("GET", path).Status, 404) << path;
  EXPECT_EQ(Call("POST", "/api/connections/abc/terminate").Status, 404);
  EXPECT_EQ(Call("POST", "/api/connections/99999999999999999999/terminate").Status, 404);
  EXPECT_EQ(Call("DELETE", "/api/lists/LocalDomains").Status, 405);
  EXPECT_EQ(Call("GET", "/login").Status, 405);
  EXPECT_EQ(Call("GET", "/api/status?" + std::string(40000, 'a')).Status, 414) << "the request head is bounded";
  const TAnswer status = Call("GET", "/api/status");
  EXPECT_EQ(status.Status, 200) << "still serving";
  EXPECT_EQ(Call("GET", "/api/lists/LocalDomains").Body, "[\"example.com\",\"example.org\",\"b.cd\"]");
}

TEST_F(Console, HttpsWithTheSmtpPairASecureCookieAndTheRenewedPairAtAReload) {
  TTestCertificates certificates(Home.path() / "certificates");
  const auto certificate = Home.path() / "console.crt", key = Home.path() / "console.key";
  std::filesystem::copy_file(certificates.Trusted.Certificate, certificate);
  std::filesystem::copy_file(certificates.Trusted.Key, key);
  Start("ConsoleTls=1\nTlsCertificate=console.crt\nTlsKey=console.key\n", "https");
  const auto login = [&](const std::filesystem::path& authority) {
    std::string out, err;
    RunProgram({"curl", "-s", "-i", "--cacert", authority.string(), "-d", "user=admin&password=secret",
                "https://127.0.0.1:" + std::to_string(ConsolePort) + "/login"},
               &out, &err);
    return out;
  };
  const std::string answer = login(certificates.Authority);
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
  EXPECT_NE(answer.find("; HttpOnly; SameSite=Strict; Secure"), std::string::npos) << answer;
  EXPECT_EQ(Call("GET", "/").Status, 0) << "no plain HTTP on the HTTPS port";

  std::filesystem::copy_file(certificates.SelfSigned.Certificate, certificate,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(certificates.SelfSigned.Key, key, std::filesystem::copy_options::overwrite_existing);
  Quibo->Signal(SIGHUP);
  const std::string marker = "Console listening on https://127.0.0.1:";
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = Quibo->MainLog();
    return log.find(marker) != log.rfind(marker);
  })) << Quibo->MainLog();
  const std::string log = Quibo->MainLog();
  ConsolePort = std::atoi(log.c_str() + log.rfind(marker) + marker.size());
  EXPECT_EQ(login(certificates.SelfSigned.Certificate).substr(0, 12), "HTTP/1.1 200") << "the renewed pair serves";
}
