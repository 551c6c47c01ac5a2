// A scripted next-hop SMTP server on a loopback port: answers like a mail
// server by default, and can be told to refuse any command, to answer EHLO
// with 502, to drop the connection in DATA, or never to answer at all. As a
// lax server it also ends lines at a bare CR or LF and takes "." with
// trailing blanks or NULs for the end of the data, as some mail servers do.
// It records every transaction it took (envelope and data as on the wire).
// Its settings may change while it serves.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quibo::test {

struct TReceivedMail {
  std::string From;                    // the MAIL FROM argument
  std::vector<std::string> Recipients; // RCPT TO arguments that were accepted
  std::string Data;                    // the lines between DATA and ".", CR LF ends, still dot-stuffed
};

class TFakeNextHop {
public:
  // Given a command line, returns a reply to use instead of the default ("" keeps it).
  using TAnswer = std::function<std::string(const std::string& command)>;
  std::atomic<bool> DropInData{false};
  std::atomic<bool> Lax{false};
  std::atomic<bool> NeverAnswer{false};
  std::atomic<bool> Pipelining{false}; // offer PIPELINING in the EHLO reply

  explicit TFakeNextHop(const char* address = "127.0.0.1") {
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    ::bind(Listener, reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::listen(Listener, 64);
    socklen_t length = sizeof local;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&local), &length);
    ListenPort = ntohs(local.sin_port);
    Acceptor = std::thread([this] { AcceptLoop(); });
  }
  ~TFakeNextHop() {
    Stopping = true;
    ::shutdown(Listener, SHUT_RDWR);
    Acceptor.join();
    {
      std::lock_guard lock(Lock);
      for (int socket : Open)
        ::shutdown(socket, SHUT_RDWR);
    }
    for (auto& worker : Workers)
      worker.join();
    for (int socket : Open)
      ::close(socket);
    ::close(Listener);
  }

  int Port() const { return ListenPort; }
  void SetAnswer(TAnswer answer) {
    std::lock_guard lock(Lock);
    Answer = std::make_shared<const TAnswer>(std::move(answer));
  }
  void SetGreeting(const std::string& line) {
    std::lock_guard lock(Lock);
    Greeting = line;
  }
  std::vector<TReceivedMail> Mails() {
    std::lock_guard lock(Lock);
    return Received;
  }
  std::vector<std::string> Commands() {
    std::lock_guard lock(Lock);
    return SeenCommands;
  }
  int Connections() const { return ConnectionCount.load(); }

private:
  void AcceptLoop() {
    while (!Stopping) {
      const int socket = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) {
        if (Stopping) return;
        continue;
      }
      ++ConnectionCount;
      std::lock_guard lock(Lock);
      Open.push_back(socket);
      Workers.emplace_back([this, socket] { Serve(socket); });
    }
  }

  bool ReadLine(int socket, std::string& pending, std::string& line) const {
    while (true) {
      size_t end = pending.find("\r\n"), length = 2;
      if (Lax) {
        end = pending.find_first_of("\r\n");
        length = end != std::string::npos && pending.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        if (end != std::string::npos && end + 1 == pending.size() && pending[end] == '\r')
          end = std::string::npos; // its LF may follow
      }
      if (end != std::string::npos) {
        line = pending.substr(0, end);
        pending.erase(0, end + length);
        return true;
      }
      char buffer[8192];
      const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      pending.append(buffer, static_cast<size_t>(got));
    }
  }
  bool EndOfData(const std::string& line) const {
    if (!Lax) return line == ".";
    return !line.empty() && line[0] == '.' && line.find_first_not_of(std::string(" \t\0", 3), 1) == std::string::npos;
  }
  static void Send(int socket, const std::string& reply) {
    const std::string bytes = reply + "\r\n";
    ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  std::string Reply(const std::string& command, const std::string& fallback) {
    std::shared_ptr<const TAnswer> answer;
    {
      std::lock_guard lock(Lock);
      SeenCommands.push_back(command);
      answer = Answer;
    }
    const std::string custom = answer && *answer ? (*answer)(command) : std::string();
    return custom.empty() ? fallback : custom;
  }

  void Serve(int socket) {
    if (NeverAnswer) {
      char sink[4096];
      while (::recv(socket, sink, sizeof sink, 0) > 0) {
      }
      ::close(socket);
      return;
    }
    std::string greeting;
    {
      std::lock_guard lock(Lock);
      greeting = Greeting;
    }
    Send(socket, greeting);
    std::string pending, line;
    TReceivedMail mail;
    while (ReadLine(socket, pending, line)) {
      const std::string word = line.substr(0, 4);
      std::string reply;
      if (word == "EHLO")
        reply = Reply(line, "250-nexthop.test\r\n250 8BITMIME");
      else if (word == "HELO")
        reply = Reply(line, "250 nexthop.test");
      else if (word == "RSET") {
        mail = {};
        reply = Reply(line, "250 2.0.0 Ok");
      } else if (word == "MAIL") {
        reply = Reply(line, "250 2.1.0 Ok");
        if (reply[0] == '2') mail.From = line.substr(10);
      } else if (word == "RCPT") {
        reply = Reply(line, "250 2.1.5 Ok");
        if (reply[0] == '2') mail.Recipients.push_back(line.substr(8));
      } else if (word == "DATA") {
        reply = Reply(line, "354 End data with <CR><LF>.<CR><LF>");
        Send(socket, reply);
        if (reply[0] != '3') continue;
        if (DropInData) break;
        bool complete = false;
        while (ReadLine(socket, pending, line)) {
          if (EndOfData(line)) {
            complete = true;
            break;
          }
          mail.Data += line + "\r\n";
        }
        if (!complete) break;
        reply = Reply(".", "250 2.0.0 Ok: queued");
        if (reply.rfind("250", 0) == 0) { // taken only with 250
          std::lock_guard lock(Lock);
          Received.push_back(mail);
        }
        mail = {};
      } else if (word == "QUIT") {
        Send(socket, Reply(line, "221 2.0.0 Bye"));
        break;
      } else {
        reply = Reply(line, "502 5.5.2 Error: command not recognized");
      }
      if (!reply.empty()) Send(socket, reply);
    }
    ::shutdown(socket, SHUT_RDWR);
  }

  int Listener = -1;
  int ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<int> ConnectionCount{0};
  std::thread Acceptor;
  std::mutex Lock;
  std::vector<int> Open;
  std::vector<std::thread> Workers;
  std::vector<TReceivedMail> Received;
  std::vector<std::string> SeenCommands;
  std::shared_ptr<const TAnswer> Answer;
  std::string Greeting = "220 nexthop.test ESMTP";
};

} // namespace quibo::test
