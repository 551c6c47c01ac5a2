// End-to-end helpers: the real quibo binary started in a home folder.
#pragma once

#include "TProgram.h"
#include "TRawSmtpClient.h"
#include "TTempFolder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quibo::test {

// The real binary in its own home folder. Given port 0, it listens where the
// system puts it, and Port is read from its log once it listens. Command is
// the program and what comes before "--home": the built binary, or another
// one or a wrapper around it.
class TQuiboProcess {
public:
  TQuiboProcess(const std::filesystem::path& home, const std::string& ini, int port, bool desktop = false,
                std::vector<std::string> command = {QUIBO_BINARY})
      : Home(home), Port(port), Desktop(desktop), Command(std::move(command)) {
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
    std::vector<std::string> arguments = Command;
    arguments.insert(arguments.end(), {"--home", Home.string()});
    if (!Desktop) arguments.emplace_back("--headless");
    Child = StartProgram(arguments, Home / "stdout.txt", Home / "stderr.txt");
    if (Child < 0) throw std::runtime_error("cannot start " + Command.front());
  }
  bool WaitListening() {
    if (Port == 0 && !WaitFor([this] { return (Port = LoggedPort()) > 0; })) return false;
    return WaitFor([this] {
      TRawSmtpClient probe;
      return probe.Connect(Port, Host) && !probe.Reply().empty();
    });
  }
  // Sends a signal and, for SIGTERM/SIGINT, waits for the exit status.
  // A child that has been reaped is forgotten: its id may soon belong to another test's process, and kill(-1)
  // would reach every process.
  int Stop(int signal = SIGTERM) {
    if (Child <= 0) return ExitStatus;
    ::kill(Child, signal);
    int status = 0;
    ::waitpid(Child, &status, 0);
    Child = -1;
    return ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int signal) {
    if (Child > 0) ::kill(Child, signal);
  }
  bool Running() {
    if (Child <= 0) return false;
    int status = 0;
    if (::waitpid(Child, &status, WNOHANG) == 0) return true;
    Child = -1;
    ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  std::string MainLog() const { return ReadFile(Home / "log" / "Quibo.log"); }
  // The port of the last "started listening" line since the start; 0 before there is one.
  int LoggedPort() const {
    // Read once: the log may be rotated away and begun again between two reads.
    const std::string whole = MainLog();
    const std::string log = whole.substr(std::min(LogStart, whole.size()));
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
  std::string Host = "127.0.0.1"; // where WaitListening looks for the listener
  bool Desktop = false;           // set before Start: no --headless
  std::vector<std::string> Command;
  pid_t Child = -1;
  int ExitStatus = -1; // how the reaped child ended; -1 before
  size_t LogStart = 0; // the log's size when the process was started
};

// The EHLO reply with the default MaxMessageSize (51,200 KB), without and with a certificate loaded.
inline const std::string kEhloOffers = "250-corvantix\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250-8BITMIME\r\n"
                                       "250-SMTPUTF8\r\n250-AUTH LOGIN\r\n";
inline const std::string kEhloReply = kEhloOffers + "250 HELP\r\n";
inline const std::string kEhloReplyWithTls = kEhloOffers + "250-STARTTLS\r\n250 HELP\r\n";

// Relaying as a local sender on loopback: senders in these domains, connecting
// from 127.0.0.1, may send anywhere; mail for example.org is local.
inline const std::string kLocalRelay = "[LocalDomains]\n0=example.com\n1=example.org\n2=b.cd\n[LocalIP]\n0=127.0.0.1\n";

inline std::string ListenIni(int port, const std::string& extra = "") {
  return "[Settings]\nListenIP=127.0.0.1\nListenPort=" + std::to_string(port) + "\n" + extra;
}

} // namespace quibo::test
