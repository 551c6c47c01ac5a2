// End-to-end helpers: the real quibo binary started in a home folder, and
// other programs run to their end.
#pragma once

#include "TRawSmtpClient.h"
#include "TTempFolder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
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

// Starts a program with its output in two files and extra environment
// entries before the inherited ones; returns its process id, -1 when it cannot start.
inline pid_t StartProgram(const std::vector<std::string>& arguments, const std::filesystem::path& out,
                          const std::filesystem::path& err, const std::vector<std::string>& extraEnvironment = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment(extraEnvironment);
  for (char** entry = environ; *entry; ++entry)
    environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t child = -1;
  const int failure = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failure == 0 ? child : -1;
}

// Runs a program to its end; returns its exit status, output in out and err.
inline int RunProgram(const std::vector<std::string>& arguments, std::string* out = nullptr, std::string* err = nullptr,
                      const std::vector<std::string>& extraEnvironment = {}) {
  TTempFolder capture;
  const auto outFile = capture.path() / "out", errFile = capture.path() / "err";
  const pid_t child = StartProgram(arguments, outFile, errFile, extraEnvironment);
  if (child < 0) return -1;
  int status = 0;
  ::waitpid(child, &status, 0);
  if (out) *out = ReadFile(outFile);
  if (err) *err = ReadFile(errFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The real binary in its own home folder. Given port 0, it listens where the
// system puts it, and Port is read from its log once it listens.
class TQuiboProcess {
public:
  TQuiboProcess(const std::filesystem::path& home, const std::string& ini, int port, bool desktop = false)
      : Home(home), Port(port), Desktop(desktop) {
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
    LogStart = MainLog().size();
    // Headless unless a test wants the window: a developer's display must not open windows.
    std::vector<std::string> arguments{QUIBO_BINARY, "--home", Home.string()};
    if (!Desktop) arguments.emplace_back("--headless");
    Child = StartProgram(arguments, Home / "stdout.txt", Home / "stderr.txt");
    if (Child < 0) throw std::runtime_error(std::string("cannot start ") + QUIBO_BINARY);
  }
  bool WaitListening() {
    if (Port == 0 && !WaitFor([this] { return (Port = LoggedPort()) > 0; })) return false;
    return WaitFor([this] {
      TRawSmtpClient probe;
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
  // The port of the last "started listening" line since the start; 0 before there is one.
  int LoggedPort() const {
    const std::string log = MainLog().substr(std::min(LogStart, MainLog().size()));
    const auto line = log.rfind("started listening on ");
    if (line == std::string::npos) return 0;
    const auto port = log.find(" port ", line);
    const auto end = log.find("\r\n", line);
    return port < end ? std::atoi(log.c_str() + port + 6) : 0;
  }
  bool LogContains(const std::string& text) const {
    return WaitFor([&] { return MainLog().find(text) != std::string::npos; });
  }

  std::filesystem::path Home;
  int Port;
  bool Desktop = false; // set before Start: no --headless
  pid_t Child = -1;
  size_t LogStart = 0; // the log's size when the process was started
};

// Relaying as a local sender on loopback: senders in these domains, connecting
// from 127.0.0.1, may send anywhere; mail for example.org is local.
inline const std::string kLocalRelay = "[LocalDomains]\n0=example.com\n1=example.org\n2=b.cd\n[LocalIP]\n0=127.0.0.1\n";

inline std::string ListenIni(int port, const std::string& extra = "") {
  return "[Settings]\nListenIP=127.0.0.1\nListenPort=" + std::to_string(port) + "\n" + extra;
}

} // namespace quibo::test
