// TConsole: the operator's web console, one more view over TForm1 beside the
// Qt window. Follows the file-only keys ConsoleListen, ConsoleUser,
// ConsolePassword and ConsoleTls (with TlsCertificate/TlsKey) at every apply
// and reload, serves the page (GET /, its script and style sheet), the login
// and logout, and hands the /api/ routes of a logged-in user with the right
// CSRF token to TConsoleApi. Created by main before TForm1::Create and
// attached with SetConsole; SettingsApplied and Stop run on the window
// thread, requests on the server's connection threads. Start-up problems are
// logged; nothing throws.
#pragma once

#include "UConsoleApi.h"
#include "UConsoleServer.h"
#include "UConsoleSessions.h"
#include "UMain.h"
#include "UWindowCalls.h"

#include <atomic>
#include <string>

namespace quibo {

class TConsole final : public TFormConsole {
public:
  explicit TConsole(TForm1& form);
  ~TConsole() override;

  void SettingsApplied() override;
  void Stop() override;
  // Where it listens ("127.0.0.1:8025"); empty when it does not.
  const std::string& Address() const { return Server.Address(); }

private:
  TConsoleResponse Answer(const TConsoleRequest& request);
  TConsoleResponse Login(const TConsoleRequest& request);
  size_t BodyLimit(const std::string& path) const;

  // What the server was started with; a change restarts it.
  struct TServing {
    std::string Listen;
    bool Tls = false;
    std::string Certificate;
    std::string Key;
    bool operator==(const TServing&) const = default;
  };
  TServing Wanted() const;

  TForm1& Form;
  TConsoleSessions Sessions;
  TWindowCalls Calls;
  TConsoleApi Api;
  std::atomic<uint64_t> LargestMessage{0};
  TServing InUse;
  bool PasswordWarned = false;
  TConsoleServer Server; // last: its threads use everything above
};

} // namespace quibo
