#include "UConsoleApi.h"

#include "UAddress.h"
#include "UConsoleLogs.h"
#include "UConsoleSessions.h"
#include "UFunctions.h"
#include "UVersion.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <optional>

namespace quibo {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t kDefaultLogLines = 100;
constexpr size_t kMostLogLines = 1000;

struct TListName {
  const char* Name;
  TPolicyList List;
};
const TListName kLists[] = {
    {"LocalDomains", TPolicyList::LocalDomains},       {"LocalIP", TPolicyList::LocalIps},
    {"AllowedHosts", TPolicyList::AllowedHosts},       {"FromAddresses", TPolicyList::FromAddresses},
    {"ManualBlacklist", TPolicyList::ManualBlacklist}, {"Blacklists", TPolicyList::Blacklists}};

std::optional<TPolicyList> ListNamed(const std::string& name) {
  for (const auto& list : kLists)
    if (name == list.Name) return list.List;
  return std::nullopt;
}

// Invalid UTF-8 from a log line or a peer becomes U+FFFD instead of an exception.
TConsoleResponse JsonAnswer(const json& body, unsigned status = 200) {
  return {status, body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

TConsoleResponse Unavailable() { return ErrorAnswer(503, "the filter is busy or stopping; try again"); }

// The path's part after the prefix, or nullopt when it does not start with it.
std::optional<std::string> After(const std::string& path, const std::string& prefix) {
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return path.substr(prefix.size());
}

std::optional<json> ParsedJson(const std::string& body) {
  json parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

std::string StringField(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

} // namespace

TConsoleResponse ErrorAnswer(unsigned status, const std::string& text) { return JsonAnswer({{"error", text}}, status); }

TConsoleApi::TConsoleApi(TForm1& form, TWindowCalls& calls) : Form(form), Calls(calls) {}

void TConsoleApi::LogChange(const TConsoleSession& session, const std::string& what) {
  Form.Log().WriteLog("Console: user " + PrintableText(session.User) + " " + what, true);
}

TConsoleResponse TConsoleApi::Answer(const TConsoleRequest& request, const TConsoleSession& session) {
  const std::string& path = request.Path;
  const bool get = request.Method == "GET";
  const bool post = request.Method == "POST";
  if (get && path == "/api/status") return Status();
  if (get && path == "/api/connections") return Connections();
  if (get && path == "/api/statistics") return Statistics();
  if (get && path == "/api/log") return LogTail(request);
  if (get && path == "/api/messages") return Messages(request);
  if (get && path == "/api/jobs") return Jobs();
  if (post && path == "/api/learn/ham") return Learn(false, request.Body, session);
  if (post && path == "/api/learn/spam") return Learn(true, request.Body, session);
  if (post && path == "/api/test-mail") return TestMail(request.Body, session);
  if (post && path == "/api/dnsbl-test") return BlacklistTest(request.Body, session);
  if (const auto list = After(path, "/api/lists/")) {
    if (get) return GetList(*list);
    if (request.Method == "PUT") return PutList(*list, request.Body, session);
    return ErrorAnswer(405, "GET or PUT");
  }
  if (const auto rest = After(path, "/api/connections/"); rest && post) {
    const auto slash = rest->find('/');
    if (slash != std::string::npos && rest->substr(slash) == "/terminate")
      return Terminate(rest->substr(0, slash), session);
  }
  return ErrorAnswer(404, "no such route");
}

TConsoleResponse TConsoleApi::Status() {
  auto body = std::make_shared<json>();
  if (!Calls.Run([this, body] {
        const TConnectionCounters& counters = Form.ConnectionCounters();
        const auto now = Form.Clock().Now();
        *body = {{"version", kVersionString},
                 {"started", Form.StartTimeText()},
                 {"listening", Form.Listening().Accepting()},
                 {"port", Form.ListeningPort()},
                 {"activeConnections", Form.Connections().Count()},
                 {"serverConnects", counters.ServerConnects},
                 {"serverDisconnects", counters.ServerDisconnects},
                 {"clientConnects", counters.ClientConnects},
                 {"clientDisconnects", counters.ClientDisconnects},
                 {"messagesPerMinute", Form.MessagesPerMinute().LastHour(now)}};
      }))
    return Unavailable();
  (*body)["uptime"] =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - Started).count();
  return JsonAnswer(*body);
}

TConsoleResponse TConsoleApi::Connections() {
  json rows = json::array();
  for (const auto& row : Form.Connections().Rows()) {
    const TConnectionSummary& summary = row.Summary;
    rows.push_back({{"id", row.Id},
                    {"peer", row.PeerIp},
                    {"state", summary.State},
                    {"helo", summary.Helo},
                    {"sender", summary.Sender},
                    {"recipients", summary.Recipients},
                    {"bytes", summary.Bytes},
                    {"since", FormatStamp(summary.Since)}});
  }
  return JsonAnswer(rows);
}

TConsoleResponse TConsoleApi::Terminate(const std::string& id, const TConsoleSession& session) {
  long threadId = 0;
  if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos)
    return ErrorAnswer(404, "no such connection");
  threadId = std::stol(id);
  auto found = std::make_shared<bool>(false);
  if (!Calls.Run([this, found, threadId] { *found = Form.TerminateThread(threadId); })) return Unavailable();
  if (!*found) return ErrorAnswer(404, "no such connection");
  LogChange(session, "terminated connection [" + id + "]");
  return JsonAnswer({{"terminated", threadId}});
}

TConsoleResponse TConsoleApi::Statistics() {
  static const char* const kNames[StatCounterCount] = {"connections",        "positives",       "passed",
                                                       "blockedRelaying",    "blacklisted",     "viruses",
                                                       "heurasticPositives", "heurasticDropped"};
  auto body = std::make_shared<json>();
  if (!Calls.Run([this, body] {
        const TStats& stats = Form.Stats();
        json since, total, servers = json::array();
        for (size_t i = 0; i < StatCounterCount; ++i) {
          since[kNames[i]] = stats.SinceReset()[i];
          total[kNames[i]] = stats.Totals()[i];
        }
        for (const auto& server : stats.BlacklistServers())
          servers.push_back({{"hostName", server.HostName},
                             {"totalChecks", server.TotalChecks},
                             {"timeout", server.Timeout},
                             {"listed", server.Listed}});
        *body = {{"sinceReset", since},
                 {"total", total},
                 {"started", Form.StartTimeText()},
                 {"cleared", Form.LastClearedText()},
                 {"blacklistServers", servers}};
      }))
    return Unavailable();
  return JsonAnswer(*body);
}

TConsoleResponse TConsoleApi::LogTail(const TConsoleRequest& request) {
  size_t lines = kDefaultLogLines;
  if (const auto asked = request.Query.find("lines"); asked != request.Query.end())
    lines = static_cast<size_t>(
        std::clamp(ToIntDef(asked->second, static_cast<int>(kDefaultLogLines)), 1, static_cast<int>(kMostLogLines)));
  return JsonAnswer({{"lines", TailLines(Form.Log().MainLogPath(), lines)}});
}

TConsoleResponse TConsoleApi::Messages(const TConsoleRequest& request) {
  const auto field = [&request](const char* name) {
    const auto found = request.Query.find(name);
    return found == request.Query.end() ? std::string() : Bounded(found->second, 255);
  };
  const TTrackingQuery query{field("sender"), field("recipient"), field("since")};
  const fs::path logFolder = Form.Log().MainLogPath().parent_path();
  json transactions = json::array();
  for (const auto& found : FindTransactions(TrackingFiles(logFolder, query.Since), query))
    transactions.push_back({{"id", found.Id},
                            {"began", found.Began},
                            {"sender", found.Sender},
                            {"recipients", found.Recipients},
                            {"lines", found.Lines}});
  return JsonAnswer(transactions);
}

TConsoleResponse TConsoleApi::GetList(const std::string& name) {
  const auto list = ListNamed(name);
  if (!list) return ErrorAnswer(404, "no such list");
  auto entries = std::make_shared<std::vector<std::string>>();
  if (!Calls.Run([this, entries, list] { *entries = Form.PolicyLists().Entries(*list); })) return Unavailable();
  return JsonAnswer(*entries);
}

TConsoleResponse TConsoleApi::PutList(const std::string& name, const std::string& body,
                                      const TConsoleSession& session) {
  const auto list = ListNamed(name);
  if (!list) return ErrorAnswer(404, "no such list");
  const auto parsed = ParsedJson(body);
  if (!parsed || !parsed->is_array()) return ErrorAnswer(400, "the body must be a JSON array of texts");
  std::vector<std::string> entries;
  for (const auto& entry : *parsed) {
    if (!entry.is_string()) return ErrorAnswer(400, "the body must be a JSON array of texts");
    entries.push_back(Trimmed(entry.get<std::string>()));
  }
  if (const std::string problem = TPolicyLists::ListProblem(*list, entries); !problem.empty())
    return ErrorAnswer(400, problem);
  auto failure = std::make_shared<std::string>();
  if (!Calls.Run([this, failure, list, entries] {
        try {
          Form.PolicyLists().Replace(*list, entries);
          Form.SettingsModel().Save();
          Form.ApplySettings();
        } catch (const std::exception& error) {
          *failure = error.what();
        }
      }))
    return Unavailable();
  if (!failure->empty()) return ErrorAnswer(500, "not saved: " + *failure);
  LogChange(session, "saved " + name + " with " + std::to_string(entries.size()) +
                         " entries: " + Bounded(JoinText(entries, ", "), 500));
  return JsonAnswer(entries);
}

TConsoleResponse TConsoleApi::Learn(bool spam, const std::string& body, const TConsoleSession& session) {
  if (body.empty()) return ErrorAnswer(400, "the body must be one message");
  const std::string name = "Quibo" + RandomToken().substr(0, 12) + ".eml";
  const fs::path file = Form.ProgramFolder() / (spam ? "spam" : "ham") / name;
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    if (!out.flush()) return ErrorAnswer(500, "the message could not be stored");
  }
  auto started = std::make_shared<bool>(false);
  if (!Calls.Run([this, started] {
        *started = !Form.Jobs().LearningRunning();
        Form.Jobs().LearnNow();
      }))
    return Unavailable(); // the file stays and is learned with the next run
  LogChange(session, std::string("stored ") + name + " in " + (spam ? "spam/" : "ham/") + " for learning");
  return JsonAnswer({{"stored", name}, {"learning", *started ? "started" : "already running"}}, 202);
}

TConsoleResponse TConsoleApi::Jobs() {
  auto body = std::make_shared<json>();
  if (!Calls.Run([this, body, outcome = LastTestMail] {
        const TBackgroundJobs& jobs = Form.Jobs();
        const TPolicyLists& lists = Form.PolicyLists();
        *body = {
            {"learning",
             {{"running", jobs.LearningRunning()}, {"ham", jobs.HamLearnLabel()}, {"spam", jobs.SpamLearnLabel()}}},
            {"testMail", {{"running", jobs.TestMailRunning()}, {"result", outcome->Text}}},
            {"blacklistCheck", {{"running", lists.BlacklistCheckRunning()}, {"result", lists.BlacklistCheckLabel()}}}};
      }))
    return Unavailable();
  return JsonAnswer(*body);
}

TConsoleResponse TConsoleApi::TestMail(const std::string& body, const TConsoleSession& session) {
  const auto parsed = ParsedJson(body);
  if (!parsed || !parsed->is_object()) return ErrorAnswer(400, "the body must be a JSON object");
  TTestMail mail{
      StringField(*parsed, "sender"), StringField(*parsed, "recipients"), StringField(*parsed, "subject"), {}};
  if (mail.Sender.empty() || TestMailRecipients(mail.Recipients).empty())
    return ErrorAnswer(400, "a sender and at least one recipient are needed");
  const std::string text = StringField(*parsed, "text");
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    mail.Lines.push_back(line);
    start = end + 1;
  }
  auto started = std::make_shared<bool>(false);
  const std::string what =
      "sent a test mail from " + PrintableText(mail.Sender) + " to " + PrintableText(mail.Recipients);
  if (!Calls.Run([this, started, mail = std::move(mail), outcome = LastTestMail]() mutable {
        if (Form.Jobs().TestMailRunning()) return;
        *started = true;
        outcome->Text = "sending...";
        Form.Jobs().SendTestMail(std::move(mail), [outcome](const TTestMailResult& result) {
          outcome->Text = result.Sent                  ? "sent"
                          : !result.ErrorReply.empty() ? result.ErrorReply
                                                       : "not sent: " + result.Failure;
        });
      }))
    return Unavailable();
  if (!*started) return ErrorAnswer(409, "a test mail is being sent");
  LogChange(session, what);
  return JsonAnswer({{"started", true}}, 202);
}

TConsoleResponse TConsoleApi::BlacklistTest(const std::string& body, const TConsoleSession& session) {
  const auto parsed = ParsedJson(body);
  const std::string ip = parsed && parsed->is_object() ? Trimmed(StringField(*parsed, "ip")) : std::string();
  if (!IsIpText(ip)) return ErrorAnswer(400, "\"ip\" must be an IP address");
  auto started = std::make_shared<bool>(false);
  if (!Calls.Run([this, started, ip] {
        if (Form.PolicyLists().BlacklistCheckRunning()) return;
        *started = true;
        Form.PolicyLists().CheckBlacklist(ip);
      }))
    return Unavailable();
  if (!*started) return ErrorAnswer(409, "a blacklist test is running");
  LogChange(session, "started a blacklist test of " + ip);
  return JsonAnswer({{"started", true}}, 202);
}

} // namespace quibo
