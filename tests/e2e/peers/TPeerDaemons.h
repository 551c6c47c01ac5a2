// The real peers of the filter started by the tests, each in its own
// temporary folder and on loopback or a Unix socket only: spamd (local tests
// only, no network checks) and clamd (one signature, no updates). Started on
// the test's main thread; a daemon that does not come up leaves Ready() false.
#pragma once

#include "TQuiboProcess.h"
#include "TRelayFixture.h"

#include <sys/un.h>

namespace quibo::test {

inline const std::string kGtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

inline bool Connects(const sockaddr* address, socklen_t length) {
  const int probe = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = ::connect(probe, address, length) == 0;
  ::close(probe);
  return connected;
}

inline bool TcpAnswers(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Connects(reinterpret_cast<sockaddr*>(&address), sizeof address);
}

inline bool UnixSocketAnswers(const std::filesystem::path& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
  return Connects(reinterpret_cast<sockaddr*>(&address), sizeof address);
}

// A daemon in the foreground; stopped with SIGTERM (SIGKILL when it lingers) at the end.
class TDaemon {
public:
  TDaemon(const std::vector<std::string>& arguments, const std::filesystem::path& log) {
    Child = StartProgram(arguments, log, log.string() + ".err");
  }
  TDaemon(const TDaemon&) = delete;
  TDaemon& operator=(const TDaemon&) = delete;
  ~TDaemon() {
    if (Child <= 0) return;
    ::kill(Child, SIGTERM);
    if (!WaitFor([this] { return ::waitpid(Child, nullptr, WNOHANG) == Child; }, std::chrono::seconds(10))) {
      ::kill(Child, SIGKILL);
      ::waitpid(Child, nullptr, 0);
    }
  }
  bool Alive() const { return Child > 0 && ::waitpid(Child, nullptr, WNOHANG) == 0; }

private:
  pid_t Child = -1;
};

// spamd on a free loopback port; SpamAssassin loads its rules for some seconds first.
class TSpamd {
public:
  TSpamd() {
    std::filesystem::permissions(Folder.path(), std::filesystem::perms::all); // spamd started by root runs as nobody
    Port = FreePort();
    const std::string folder = Folder.path().string();
    Daemon = std::make_unique<TDaemon>(
        std::vector<std::string>{"spamd", "--local", "--nouser-config", "--listen=127.0.0.1:" + std::to_string(Port),
                                 "--max-children=2", "--min-children=1", "--syslog=stderr",
                                 "--helper-home-dir=" + folder, "--cf=bayes_path " + folder + "/bayes"},
        Folder.path() / "spamd.log");
    Up = WaitFor([this] { return TcpAnswers(Port) || !Daemon->Alive(); }, std::chrono::seconds(90)) && Daemon->Alive();
  }
  bool Ready() const { return Up; }
  // The adapter's setting for it; "off" leaves scoring to the spamassassin program.
  std::string Address() const { return Up ? "127.0.0.1:" + std::to_string(Port) : "off"; }

private:
  TTempFolder Folder;
  int Port = 0;
  std::unique_ptr<TDaemon> Daemon;
  bool Up = false;
};

// clamd with the test signature as its whole database, on a Unix socket and
// on a loopback port, taking streams of at most kStreamLimit bytes.
class TClamd {
public:
  static constexpr int kStreamLimit = 100 * 1024;

  TClamd() : Port(FreePort()) {
    const auto folder = Folder.path();
    std::filesystem::create_directories(folder / "db");
    WriteFile(folder / "db" / "eicar.ndb", kEicarSignature);
    WriteFile(folder / "clamd.conf", "LocalSocket " + Socket().string() + "\nTCPSocket " + std::to_string(Port) +
                                         "\nTCPAddr 127.0.0.1\nStreamMaxLength " + std::to_string(kStreamLimit / 1024) +
                                         "K\nDatabaseDirectory " + (folder / "db").string() + "\nTemporaryDirectory " +
                                         folder.string() + "\nForeground yes\nLogFile " +
                                         (folder / "clamd.log").string() + "\n");
    Daemon = std::make_unique<TDaemon>(
        std::vector<std::string>{"clamd", "--config-file=" + (folder / "clamd.conf").string()}, folder / "out.log");
    Up = WaitFor([&] { return (UnixSocketAnswers(Socket()) && TcpAnswers(Port)) || !Daemon->Alive(); },
                 std::chrono::seconds(60)) &&
         Daemon->Alive();
  }
  bool Ready() const { return Up; }
  std::filesystem::path Config() const { return Folder.path() / "clamd.conf"; }
  std::filesystem::path Socket() const { return Folder.path() / "clamd.sock"; }
  std::string TcpAddress() const { return "127.0.0.1:" + std::to_string(Port); }
  std::string Log() const { return ReadFile(Folder.path() / "clamd.log"); }

private:
  TTempFolder Folder;
  int Port;
  std::unique_ptr<TDaemon> Daemon;
  bool Up = false;
};

} // namespace quibo::test
