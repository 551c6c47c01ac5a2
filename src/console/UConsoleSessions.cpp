#include "UConsoleSessions.h"

#include <crypt.h>
#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace quibo {

std::string RandomToken() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {}; // no token: no session is made
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  if (hash.empty() || hash[0] != '$') return false; // only the modern schemes, never a plain or DES text
  auto data = std::make_unique<crypt_data>();
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (!computed || computed[0] == '*') return false; // libcrypt's failure tokens start with '*'
  const size_t length = std::strlen(computed);
  return length == hash.size() && CRYPTO_memcmp(computed, hash.data(), length) == 0;
}

void TConsoleSessions::SetCredentials(std::string user, std::string hash) {
  std::lock_guard lock(Lock);
  User = std::move(user);
  Hash = std::move(hash);
}

TConsoleSessions::TLogin TConsoleSessions::Login(const std::string& address, const std::string& user,
                                                 const std::string& password) {
  const TTimePoint now = Clock.Now();
  std::string hash;
  std::string expectedUser;
  {
    std::lock_guard lock(Lock);
    ForgetExpired(now);
    auto& tries = Tries[address];
    if (tries.size() >= static_cast<size_t>(kTriesPerMinute)) return {TLoginResult::TooManyTries, {}};
    tries.push_back(now);
    hash = Hash;
    expectedUser = User;
  }
  if (hash.empty()) return {TLoginResult::NoPassword, {}};
  // The hash is computed even for a wrong user name, so the answer's time does not tell the names apart.
  const bool passwordMatches = PasswordMatches(password, hash);
  if (!passwordMatches || user != expectedUser) return {TLoginResult::Refused, {}};
  TConsoleSession session{RandomToken(), user, RandomToken(), now};
  if (session.Id.empty() || session.Csrf.empty()) return {TLoginResult::Refused, {}};
  std::lock_guard lock(Lock);
  if (Sessions.size() >= kMostSessions) Sessions.erase(Sessions.begin());
  Sessions[session.Id] = session;
  return {TLoginResult::Accepted, session};
}

std::optional<TConsoleSession> TConsoleSessions::Find(const std::string& id) {
  const TTimePoint now = Clock.Now();
  std::lock_guard lock(Lock);
  ForgetExpired(now);
  const auto found = Sessions.find(id);
  if (found == Sessions.end()) return std::nullopt;
  found->second.LastSeen = now;
  return found->second;
}

void TConsoleSessions::Logout(const std::string& id) {
  std::lock_guard lock(Lock);
  Sessions.erase(id);
}

void TConsoleSessions::ForgetExpired(TTimePoint now) {
  std::erase_if(Sessions, [now](const auto& entry) { return now - entry.second.LastSeen >= kIdle; });
  for (auto& [address, tries] : Tries)
    std::erase_if(tries, [now](TTimePoint at) { return now - at >= std::chrono::minutes(1); });
  std::erase_if(Tries, [](const auto& entry) { return entry.second.empty(); });
}

} // namespace quibo
