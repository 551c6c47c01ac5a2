// TConsoleSessions: who may use the web console. Checks a login against the
// configured user and crypt(3) hash (libcrypt's crypt_r), bounds failed
// logins per address, and keeps the server-side sessions: a random 128-bit id
// (the cookie) with its CSRF token, ended after 30 minutes without a request.
// Used by the console's routes on the HTTP server's connection threads; every
// call takes the one lock. Nothing throws; a refused login says why.
#pragma once

#include "UClock.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

struct TConsoleSession {
  std::string Id;
  std::string User;
  std::string Csrf;
  TTimePoint LastSeen{};
};

class TConsoleSessions {
public:
  static constexpr auto kIdle = std::chrono::minutes(30);
  static constexpr int kTriesPerMinute = 5;
  static constexpr size_t kMostSessions = 256;

  explicit TConsoleSessions(const TClock& clock) : Clock(clock) {}

  // The user and crypt(3) hash logins are checked against; an empty hash refuses every login.
  void SetCredentials(std::string user, std::string hash);

  enum class TLoginResult { Accepted, Refused, NoPassword, TooManyTries };
  struct TLogin {
    TLoginResult Result = TLoginResult::Refused;
    TConsoleSession Session; // with Accepted
  };
  // Counts the try against the address (accepted ones too) before anything else.
  TLogin Login(const std::string& address, const std::string& user, const std::string& password);

  // The session of a cookie's id, its idle time renewed; empty when unknown or expired.
  std::optional<TConsoleSession> Find(const std::string& id);
  void Logout(const std::string& id);

private:
  void ForgetExpired(TTimePoint now);

  const TClock& Clock;
  std::mutex Lock;
  std::string User;
  std::string Hash;
  std::map<std::string, TConsoleSession> Sessions;
  std::map<std::string, std::vector<TTimePoint>> Tries; // per address, within the last minute
};

// 128 random bits as 32 lower-case hex characters.
std::string RandomToken();
// Whether the password gives the crypt(3) hash; false for an empty or unknown hash.
bool PasswordMatches(const std::string& password, const std::string& hash);

} // namespace quibo
