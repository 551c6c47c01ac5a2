// End-to-end helpers: a free loopback port, the real quibo binary started in
// a home folder, and a raw SMTP client that reads whole replies.
#pragma once

#include "TTempFolder.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quibo::test {

inline int FreePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// Runs a program to its end; returns its exit status, output in out and err.
inline int RunProgram(const std::vector<std::string>& arguments, std::string* out = nullptr,
                      std::string* err = nullptr, const std::vector<std::string>& extraEnvironment = {}) {
  TTempFolder capture;
  const auto outFile = capture.path() / "out", errFile = capture.path() / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment(extraEnvironment);
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t child = 0;
  const int failure = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) return -1;
  int status = 0;
  ::waitpid(child, &status, 0);
  if (out) *out = ReadFile(outFile);
  if (err) *err = ReadFile(errFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class TSmtpClient {
public:
  TSmtpClient() = default;
  explicit TSmtpClient(int port) { Connect(port); }
  ~TSmtpClient() {
    if (Socket >= 0) ::close(Socket);
  }
  TSmtpClient(const TSmtpClient&) = delete;
  TSmtpClient& operator=(const TSmtpClient&) = delete;

  bool Connect(int port) {
    Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  void SendRaw(const std::string& bytes) { ::send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
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

// The real binary in its own home folder.
class TQuiboProcess {
public:
  TQuiboProcess(const std::filesystem::path& home, const std::string& ini, int port) : Home(home), Port(port) {
    WriteFile(home / "quibo.ini", ini);
    Start();
  }
  ~TQuiboProcess() {
    if (Child > 0) {
      ::kill(Child, SIGKILL);
      ::waitpid(Child, nullptr, 0);
    }
  }

  void Start() {
    const std::string binary = QUIBO_BINARY, home = Home.string();
    const std::string out = (Home / "stdout.txt").string(), err = (Home / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("--home"), const_cast<char*>(home.c_str()),
                    nullptr};
    if (::posix_spawn(&Child, binary.c_str(), &actions, nullptr, argv, environ) != 0)
      throw std::runtime_error("cannot start " + binary);
    posix_spawn_file_actions_destroy(&actions);
  }
  bool WaitListening() {
    return WaitFor([this] {
      TSmtpClient probe;
      return probe.Connect(Port) && !probe.Reply().empty();
    });
  }
  // Sends a signal and, for SIGTERM/SIGINT, waits for the exit status.
  int Stop(int signal = SIGTERM) {
    ::kill(Child, signal);
    int status = 0;
    ::waitpid(Child, &status, 0);
    Child = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int signal) { ::kill(Child, signal); }
  bool Running() { return Child > 0 && ::waitpid(Child, nullptr, WNOHANG) == 0; }
  std::string MainLog() const { return ReadFile(Home / "log" / "Quibo.log"); }
  bool LogContains(const std::string& text) const {
    return WaitFor([&] { return MainLog().find(text) != std::string::npos; });
  }

  std::filesystem::path Home;
  int Port;
  pid_t Child = -1;
};

inline std::string ListenIni(int port, const std::string& extra = "") {
  return "[Settings]\nListenIP=127.0.0.1\nListenPort=" + std::to_string(port) + "\n" + extra;
}

} // namespace quibo::test
