// The real peers of the filter started by the tests, each in its own
// temporary folder and on loopback or a Unix socket only: spamd (local tests
// only, no network checks), clamd (one signature, no updates) and rspamd
// with its Redis (network checks off, DNS to the tests' fake DNS server).
// Started on the test's main thread; a daemon that does not come up leaves
// Ready() false.
#pragma once

#include "TFakeDns.h"
#include "TQuiboProcess.h"
#include "TRelayFixture.h"

#include <iostream>
#include <sstream>
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
  bool Alive() {
    if (Child > 0 && ::waitpid(Child, nullptr, WNOHANG) != 0) Child = -1; // reaped: never signalled again
    return Child > 0;
  }

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

// rspamd and a Redis for its Bayes statistics and greylisting, on free
// loopback ports. rspamd reads Debian's stock configuration with a local
// configuration folder of its own (local.d, override.d) in place of
// /etc/rspamd's: its workers on the test's ports, the controller behind a
// password even from loopback, its databases and logs in the temporary
// folder, its DNS sent only to a fake DNS server (which the tests script with
// SPF and DMARC records), the modules that ask the network switched off but
// SPF, DKIM, DMARC and greylisting, and a short list of top-level domains
// (the full one takes many seconds to compile at every start). DMARC's
// p=reject makes rspamd reject; greylisting (from a score of 1, for clients
// outside 198.51.100.0/24) waits kGreylistSeconds; the milter headers module
// adds Authentication-Results. The settings module has an entry for the
// domain example.org that disables DATE_IN_PAST, to show per-domain settings.
class TRspamd {
public:
  static constexpr const char* kPassword = "quibo-controller";
  static constexpr int kGreylistSeconds = 3;

  TRspamd() : NormalPort(FreePort()), ControllerPort(FreePort()), RedisPort(FreePort()) {
    const auto folder = Folder.path();
    for (const char* sub : {"local/local.d", "local/override.d", "db", "run", "log", "redis"})
      std::filesystem::create_directories(folder / sub);
    Redis = std::make_unique<TDaemon>(
        std::vector<std::string>{"redis-server", "--port", std::to_string(RedisPort), "--bind", "127.0.0.1", "--dir",
                                 (folder / "redis").string(), "--save", "", "--appendonly", "no"},
        folder / "redis.log");
    WriteConfiguration(folder / "local");
    // -i: the tests may run as root (CI); rspamd then keeps its workers under the same account.
    Daemon = std::make_unique<TDaemon>(std::vector<std::string>{"rspamd", "-f", "-i", "-c", "/etc/rspamd/rspamd.conf",
                                                                "--var=LOCAL_CONFDIR=" + (folder / "local").string(),
                                                                "--var=DBDIR=" + (folder / "db").string(),
                                                                "--var=RUNDIR=" + (folder / "run").string(),
                                                                "--var=LOGDIR=" + (folder / "log").string()},
                                       folder / "rspamd.out");
    Up = WaitFor([this] { return (TcpAnswers(NormalPort) && TcpAnswers(ControllerPort)) || !Daemon->Alive(); },
                 std::chrono::seconds(90)) &&
         Daemon->Alive() && Redis->Alive();
  }
  bool Ready() const { return Up; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(NormalPort); }
  std::string ControllerUrl() const { return "http://127.0.0.1:" + std::to_string(ControllerPort); }
  std::string Log() const { return ReadFile(Folder.path() / "log" / "rspamd.log"); }
  TFakeDns& Dns() { return FakeDns; }

private:
  void WriteConfiguration(const std::filesystem::path& local) const {
    const auto localD = local / "local.d", overrideD = local / "override.d";
    const std::string loopback = "127.0.0.1:";
    WriteFile(overrideD / "worker-normal.inc",
              "bind_socket = \"" + loopback + std::to_string(NormalPort) + "\";\ncount = 1;\n");
    WriteFile(overrideD / "worker-controller.inc", "bind_socket = \"" + loopback + std::to_string(ControllerPort) +
                                                       "\";\npassword = \"" + kPassword +
                                                       "\";\nsecure_ip = \"192.0.2.1\";\n");
    WriteFile(overrideD / "worker-proxy.inc", "count = -1;\n");
    WriteFile(local / "tld.dat", "com\norg\nnet\ntest\n");
    WriteFile(overrideD / "options.inc", "dns { nameserver = [\"" + loopback + std::to_string(FakeDns.Port()) +
                                             "\"]; }\nurl_tld = \"" + (local / "tld.dat").string() + "\";\n");
    WriteFile(overrideD / "logging.inc", "type = \"file\";\nfilename = \"" +
                                             (Folder.path() / "log" / "rspamd.log").string() +
                                             "\";\nlevel = \"info\";\n");
    const std::string redis = "servers = \"" + loopback + std::to_string(RedisPort) + "\";\n";
    WriteFile(localD / "redis.conf", redis);
    WriteFile(localD / "classifier-bayes.conf", redis);
    WriteFile(localD / "settings.conf",
              "example_org {\n  id = \"example.org\";\n  apply { symbols_disabled = [\"DATE_IN_PAST\"]; }\n}\n");
    // Greylisting for nearly every message of a client outside 198.51.100.0/24 (and off loopback).
    WriteFile(local / "grey-whitelist.map", "198.51.100.0/24\n");
    WriteFile(localD / "greylist.conf", "timeout = " + std::to_string(kGreylistSeconds) + ";\nwhitelisted_ip = \"" +
                                            (local / "grey-whitelist.map").string() + "\";\n");
    WriteFile(localD / "actions.conf", "greylist = 1;\n");
    WriteFile(localD / "dmarc.conf", "actions { reject = \"reject\"; }\n");
    WriteFile(localD / "milter_headers.conf", "use = [\"authentication-results\"];\n");
    std::istringstream networkModules("rbl fuzzy_check phishing asn arc hfilter emails url_redirector rspamd_update "
                                      "replies ratelimit history_redis neural reputation dcc mx_check whitelist");
    for (std::string module; networkModules >> module;)
      WriteFile(localD / (module + ".conf"), "enabled = false;\n");
  }

  TTempFolder Folder;
  TFakeDns FakeDns; // NXDOMAIN to whatever rspamd asks that a test has not scripted
  int NormalPort, ControllerPort, RedisPort;
  std::unique_ptr<TDaemon> Redis, Daemon;
  bool Up = false;
};

// One spamd and one clamd for the whole test program, started when first asked for.
inline TSpamd& SharedSpamd() {
  static TSpamd spamd;
  if (!spamd.Ready()) std::cerr << "spamd did not come up: scoring goes through the spamassassin program\n";
  return spamd;
}
inline TClamd& SharedClamd() {
  static TClamd clamd;
  return clamd;
}

} // namespace quibo::test
