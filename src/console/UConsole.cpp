#include "UConsole.h"

#include "UConsolePage.h"
#include "UFunctions.h"

#include <fstream>
#include <microhttpd.h>
#include <sstream>
#include <thread>

namespace quibo {
namespace {

constexpr size_t kBodyLimit = 1024 * 1024;
constexpr auto kWrongLoginPause = std::chrono::seconds(1);
constexpr const char* kCookie = "quibo_session";

std::string FileText(const std::filesystem::path& file) {
  if (file.empty()) return {};
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The value of one field of an application/x-www-form-urlencoded body.
std::string FormField(const std::string& body, const std::string& name) {
  for (size_t start = 0; start < body.size();) {
    const size_t end = std::min(body.find('&', start), body.size());
    const size_t equals = body.find('=', start);
    if (equals < end && body.compare(start, equals - start, name) == 0 && equals - start == name.size()) {
      std::string value = body.substr(equals + 1, end - equals - 1);
      std::replace(value.begin(), value.end(), '+', ' ');
      value.resize(MHD_http_unescape(value.data()));
      return value;
    }
    start = end + 1;
  }
  return {};
}

std::string SessionCookie(const std::string& value, bool https, bool ending) {
  return std::string(kCookie) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict" + (https ? "; Secure" : "") +
         (ending ? "; Max-Age=0" : "");
}

} // namespace

TConsole::TConsole(TForm1& form)
    : Form(form), Sessions(form.Clock()), Calls(form.EventQueue()), Api(form, Calls),
      Server([this](const TConsoleRequest& request) { return Answer(request); },
             [this](const std::string& path) { return BodyLimit(path); }) {}

TConsole::~TConsole() {
  Stop();
  Form.SetConsole(nullptr);
}

void TConsole::Stop() {
  Calls.Stop(); // a request waiting for the window thread gives up, so the server's threads can end
  Server.Stop();
  InUse = {};
}

TConsole::TServing TConsole::Wanted() const {
  const TSettings& settings = Form.Editable();
  TServing wanted{settings.ConsoleListen, settings.ConsoleTls, {}, {}};
  if (wanted.Listen.empty() || !wanted.Tls) return wanted;
  const TSettingsModel& model = Form.SettingsModel();
  wanted.Certificate = FileText(model.SettingsFile(settings.TlsCertificate));
  wanted.Key = settings.TlsKey.empty() ? wanted.Certificate : FileText(model.SettingsFile(settings.TlsKey));
  return wanted;
}

void TConsole::SettingsApplied() {
  const TSettings& settings = Form.Editable();
  Sessions.SetCredentials(settings.ConsoleUser, settings.ConsolePassword);
  LargestMessage = TSettingsModel::MessageSizeLimitBytes(settings);
  TServing wanted = Wanted();
  if (wanted == InUse && (wanted.Listen.empty() || Server.Running())) return;
  Calls.Stop();
  Server.Stop();
  Calls.Resume();
  InUse = wanted;
  if (wanted.Listen.empty()) return;
  TLogger& log = Form.Log();
  if (wanted.Tls && wanted.Certificate.empty()) {
    log.WriteLog("Console not started: ConsoleTls=1 needs TlsCertificate (and TlsKey)", true);
    return;
  }
  if (const std::string failure =
          Server.Start({wanted.Listen, wanted.Tls, std::move(wanted.Certificate), std::move(wanted.Key)});
      !failure.empty()) {
    log.WriteLog("Console not started: " + failure, true);
    return;
  }
  log.WriteLog(std::string("Console listening on ") + (wanted.Tls ? "https://" : "http://") + Server.Address(), true);
  std::string host;
  int port = 0;
  if (!wanted.Tls && ParseConsoleListen(wanted.Listen, host, port) && !IsLoopbackAddress(host))
    log.WriteLog("Warning: the console listens beyond loopback without TLS: passwords and sessions cross the "
                 "network in clear text; set ConsoleTls=1 or put it behind a reverse proxy",
                 true);
  if (settings.ConsolePassword.empty())
    log.WriteLog("Console: ConsolePassword is empty: every login is refused", true);
  else if (settings.ConsolePassword[0] != '$')
    log.WriteLog("Console: ConsolePassword is not a crypt(3) hash ($6$..., $y$...): every login is refused", true);
}

size_t TConsole::BodyLimit(const std::string& path) const {
  if (path == "/api/learn/ham" || path == "/api/learn/spam") return static_cast<size_t>(LargestMessage.load());
  return kBodyLimit;
}

TConsoleResponse TConsole::Answer(const TConsoleRequest& request) {
  const bool get = request.Method == "GET" || request.Method == "HEAD";
  if (const TConsoleAsset* asset = ConsoleAsset(request.Path)) {
    if (!get) return ErrorAnswer(405, "GET only");
    return {200, std::string(asset->Body), asset->ContentType};
  }
  if (request.Path == "/login") return request.Method == "POST" ? Login(request) : ErrorAnswer(405, "POST only");
  const bool known = request.Path == "/logout" || request.Path.rfind("/api/", 0) == 0;
  if (!known) return ErrorAnswer(404, "no such page");
  const auto session = Sessions.Find(request.SessionCookie);
  if (!session) return ErrorAnswer(401, "login required");
  if (!get && request.CsrfToken != session->Csrf) return ErrorAnswer(403, "missing or wrong X-Csrf-Token");
  if (request.Path == "/logout") {
    if (request.Method != "POST") return ErrorAnswer(405, "POST only");
    Sessions.Logout(session->Id);
    Form.Log().WriteLog("Console: user " + PrintableText(session->User) + " logged out", true);
    return {200, "{}", "application/json", {{"Set-Cookie", SessionCookie("", request.Https, true)}}};
  }
  return Api.Answer(request, *session);
}

TConsoleResponse TConsole::Login(const TConsoleRequest& request) {
  const std::string user = FormField(request.Body, "user");
  const TConsoleSessions::TLogin login = Sessions.Login(request.PeerAddress, user, FormField(request.Body, "password"));
  const std::string who = "user '" + Bounded(PrintableText(user), 64) + "' from " + request.PeerAddress;
  TLogger& log = Form.Log();
  switch (login.Result) {
  case TConsoleSessions::TLoginResult::Accepted:
    log.WriteLog("Console: login of " + who, true);
    return {200,
            "{\"csrf\":\"" + login.Session.Csrf + "\"}",
            "application/json",
            {{"Set-Cookie", SessionCookie(login.Session.Id, request.Https, false)}}};
  case TConsoleSessions::TLoginResult::TooManyTries:
    log.WriteLog("Console: login refused for " + who + ": more than " +
                     std::to_string(TConsoleSessions::kTriesPerMinute) + " tries in a minute",
                 true);
    return ErrorAnswer(429, "too many logins from this address; wait a minute");
  case TConsoleSessions::TLoginResult::NoPassword:
    log.WriteLog("Console: login refused for " + who + ": ConsolePassword is empty", true);
    break;
  case TConsoleSessions::TLoginResult::Refused: log.WriteLog("Console: failed login for " + who, true); break;
  }
  std::this_thread::sleep_for(kWrongLoginPause);
  return ErrorAnswer(401, "wrong user or password");
}

} // namespace quibo
