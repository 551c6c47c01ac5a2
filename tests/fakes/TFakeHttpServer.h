// A scripted HTTP server on a loopback port (the update check, a scripted
// rspamd): it answers every request with the body it was given (status 200
// unless told otherwise) and records each request it read (request line and
// headers).
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quibo::test {

class TFakeHttpServer {
public:
  TFakeHttpServer() {
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Listener, reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::listen(Listener, 8);
    socklen_t length = sizeof local;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&local), &length);
    ListenPort = ntohs(local.sin_port);
    Worker = std::thread([this] { Serve(); });
  }
  ~TFakeHttpServer() {
    Stopping = true;
    ::shutdown(Listener, SHUT_RDWR);
    Worker.join();
    ::close(Listener);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(ListenPort); }
  void Answer(std::string body, int status = 200) {
    std::lock_guard lock(Lock);
    Body = std::move(body);
    Status = status;
  }
  std::string LastRequest() {
    std::lock_guard lock(Lock);
    return Requests.empty() ? std::string() : Requests.back();
  }
  std::vector<std::string> AllRequests() {
    std::lock_guard lock(Lock);
    return Requests;
  }

private:
  void Serve() {
    while (!Stopping) {
      const int socket = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      std::string reply;
      {
        std::lock_guard lock(Lock);
        Requests.push_back(request);
        reply = "HTTP/1.1 " + std::to_string(Status) + " Scripted\r\nContent-Length: " + std::to_string(Body.size()) +
                "\r\nConnection: close\r\n\r\n" + Body;
      }
      ::send(socket, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::shutdown(socket, SHUT_WR);
      while (::recv(socket, buffer, sizeof buffer, 0) > 0) {
      }
      ::close(socket);
    }
  }

  int Listener = -1;
  int ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::thread Worker;
  std::mutex Lock;
  std::string Body = "No update";
  int Status = 200;
  std::vector<std::string> Requests;
};

} // namespace quibo::test
