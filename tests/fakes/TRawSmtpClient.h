// Test side of SMTP over loopback: a free port, polling waits, and a raw
// client that reads whole replies.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace quibo::test {

// A loopback port that nothing listens on now, for a test that must name a
// port before something binds it. Drawn at random below the range the system
// hands out for port 0, so it never collides with a port bound that way (the
// filter under test, the fake next hop, other test runs).
inline int FreePort() {
  static std::mt19937 draw{std::random_device{}()};
  while (true) {
    const int port = std::uniform_int_distribution<int>(20000, 32000)(draw);
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (bound) return port;
  }
}

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

class TRawSmtpClient {
public:
  TRawSmtpClient() = default;
  // To an IPv4 or IPv6 address; from an IPv4 loopback address of the test's choice (127.0.0.5, say) when source is
  // given.
  explicit TRawSmtpClient(int port, const std::string& host = "127.0.0.1", const std::string& source = "") {
    Connect(port, host, source);
  }
  ~TRawSmtpClient() {
    if (Socket >= 0) ::close(Socket);
  }
  TRawSmtpClient(const TRawSmtpClient&) = delete;
  TRawSmtpClient& operator=(const TRawSmtpClient&) = delete;

  bool Connect(int port, const std::string& host = "127.0.0.1", const std::string& source = "") {
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
      Socket = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(static_cast<uint16_t>(port));
      return ::connect(Socket, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0;
    }
    Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!source.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
      if (::bind(Socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return ::connect(Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  // True when all bytes went out; without waiting, false as soon as the socket is full.
  bool SendRaw(const std::string& bytes, bool dontWait = false) {
    const ssize_t sent = ::send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    return sent == static_cast<ssize_t>(bytes.size());
  }
  void Send(const std::string& line) { SendRaw(line + "\r\n"); }

  // One whole reply (all lines of a multi-line reply); "" when the server closed or went quiet.
  std::string Reply(int timeoutMs = 5000) {
    std::string reply;
    while (true) {
      std::string line;
      if (!ReadLine(line, timeoutMs)) return reply;
      reply += line + "\r\n";
      if (line.size() < 4 || line[3] != '-') return reply;
    }
  }
  std::string Command(const std::string& line) {
    Send(line);
    return Reply();
  }
  // True when the server has closed the connection (after anything it still had to say).
  bool ClosedByServer(int timeoutMs = 5000) {
    std::string ignored;
    while (ReadLine(ignored, timeoutMs)) {
    }
    return Eof;
  }

private:
  bool ReadLine(std::string& line, int timeoutMs) {
    while (true) {
      const auto end = Pending.find("\r\n");
      if (end != std::string::npos) {
        line = Pending.substr(0, end);
        Pending.erase(0, end + 2);
        return true;
      }
      pollfd wait{Socket, POLLIN, 0};
      if (::poll(&wait, 1, timeoutMs) <= 0) return false;
      char buffer[4096];
      const ssize_t got = ::recv(Socket, buffer, sizeof buffer, 0);
      if (got <= 0) {
        Eof = true;
        return false;
      }
      Pending.append(buffer, static_cast<size_t>(got));
    }
  }

  int Socket = -1;
  std::string Pending;
  bool Eof = false;
};

} // namespace quibo::test
