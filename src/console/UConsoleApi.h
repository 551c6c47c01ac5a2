// TConsoleApi: the web console's JSON routes under /api/ for a logged-in
// user: status, connections (and terminate), statistics, the log tail,
// message tracking, the policy lists, learning uploads, the jobs, the test
// mail and the blacklist test. Every route asks the same parts of TForm1 the
// operator window asks; what lives on the window thread is reached through
// TWindowCalls, the connection registry and the log files directly. Each
// change is logged with the user's name. Runs on the console server's
// connection threads; a request it cannot serve gets a JSON error and a status.
#pragma once

#include "UConsoleServer.h"
#include "UConsoleSessions.h"
#include "UMain.h"
#include "UWindowCalls.h"

#include <chrono>
#include <memory>
#include <string>

namespace quibo {

class TConsoleApi {
public:
  TConsoleApi(TForm1& form, TWindowCalls& calls);

  TConsoleResponse Answer(const TConsoleRequest& request, const TConsoleSession& session);

private:
  TConsoleResponse Status();
  TConsoleResponse Connections();
  TConsoleResponse Terminate(const std::string& id, const TConsoleSession& session);
  TConsoleResponse Statistics();
  TConsoleResponse LogTail(const TConsoleRequest& request);
  TConsoleResponse Messages(const TConsoleRequest& request);
  TConsoleResponse GetList(const std::string& name);
  TConsoleResponse PutList(const std::string& name, const std::string& body, const TConsoleSession& session);
  TConsoleResponse Learn(bool spam, const std::string& body, const TConsoleSession& session);
  TConsoleResponse Jobs();
  TConsoleResponse TestMail(const std::string& body, const TConsoleSession& session);
  TConsoleResponse BlacklistTest(const std::string& body, const TConsoleSession& session);
  void LogChange(const TConsoleSession& session, const std::string& what);

  // What the last test mail came to, set and read on the window thread.
  struct TTestMailOutcome {
    std::string Text = "not sent";
  };

  TForm1& Form;
  TWindowCalls& Calls;
  const std::chrono::steady_clock::time_point Started = std::chrono::steady_clock::now(); // with the program
  std::shared_ptr<TTestMailOutcome> LastTestMail = std::make_shared<TTestMailOutcome>();
};

// {"error": text} with the status.
TConsoleResponse ErrorAnswer(unsigned status, const std::string& text);

} // namespace quibo
