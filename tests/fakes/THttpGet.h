// Test side of HTTP over loopback: one request on a fresh connection, the
// whole response read until the server closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace quibo::test {

inline std::string HttpRequest(int port, const std::string& request) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    for (ssize_t got; (got = ::recv(socket, buffer, sizeof buffer, 0)) > 0;)
      response.append(buffer, static_cast<size_t>(got));
  }
  ::close(socket);
  return response;
}

inline std::string HttpGet(int port, const std::string& path) {
  return HttpRequest(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

// The body of a response ("" when there is none).
inline std::string HttpBody(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

} // namespace quibo::test
