// The filter installed from the package, run confined as its systemd unit
// confines it, as far as that can be had without systemd: bwrap gives it a
// read-only file system but for its program folder, a private /tmp and /dev
// and IPC and host name of its own; setpriv takes new privileges and every
// capability but binding low ports; syscall_filter loads the unit's own
// system call filter, no writable executable memory and the unit's address
// families. Inside that it scans with clamdscan and scores with HCheck over
// spamd, programs it starts, and relays.
#include "THttpGet.h"
#include "TPackage.h"
#include "TPeerDaemons.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

using namespace quibo::test;
namespace fs = std::filesystem;

namespace {

using TSyscallGroups = std::map<std::string, std::vector<std::string>>;

// The members of each group `systemd-analyze syscall-filter` lists, by its name ("@basic-io").
TSyscallGroups SyscallGroups() {
  std::string out;
  RunProgram({"systemd-analyze", "syscall-filter"}, &out);
  TSyscallGroups groups;
  std::string group;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const auto name = line.find_first_not_of(' ');
    if (line.starts_with("@"))
      group = line;
    else if (name == std::string::npos || name == 0)
      group.clear(); // a blank line or the unlisted calls
    else if (!group.empty() && line[name] != '#')
      groups[group].push_back(line.substr(name));
  }
  return groups;
}

void Expand(const TSyscallGroups& groups, const std::string& name, std::set<std::string>& calls) {
  if (!name.starts_with("@")) {
    calls.insert(name);
    return;
  }
  if (const auto group = groups.find(name); group != groups.end())
    for (const auto& member : group->second)
      Expand(groups, member, calls);
}

// What the unit's SystemCallFilter= lines leave: a line adds its calls and groups, a line with "~" takes them away.
std::set<std::string> AllowedSyscalls(const std::string& unit) {
  const TSyscallGroups groups = SyscallGroups();
  const std::string key = "SystemCallFilter=";
  std::set<std::string> allowed;
  std::istringstream lines(unit);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(key)) continue;
    const bool taken = line[key.size()] == '~';
    std::istringstream names(line.substr(key.size() + (taken ? 1 : 0)));
    for (std::string name; names >> name;) {
      std::set<std::string> calls;
      Expand(groups, name, calls);
      for (const auto& call : calls)
        taken ? (void)allowed.erase(call) : (void)allowed.insert(call);
    }
  }
  return allowed;
}

// The process whose parent is parent (bwrap starts one child, which becomes the filter); -1 when there is none.
pid_t ChildOf(pid_t parent) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = ReadFile(entry.path() / "stat");
    const auto end = stat.rfind(')'); // the command name in parentheses may hold anything
    if (end == std::string::npos || end + 4 >= stat.size()) continue;
    if (std::atoi(stat.c_str() + end + 4) == parent) return std::atoi(entry.path().filename().c_str());
  }
  return -1;
}

// bwrap as the unit's mounts have it: everything read-only but the program folder, private /tmp and /dev, IPC and
// host name of its own (visible is what the test gives: its own folders and clamd's socket); then setpriv: no new
// privileges, and of the capabilities only the one to bind low ports.
// In a sanitizer build the leak check stops the world with ptrace, which no service may: it is left to other tests.
std::vector<std::string> ConfinedCommand(const fs::path& home, const std::vector<fs::path>& visible) {
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> command{"env",
                                   std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") + ":detect_leaks=0"};
  command.insert(command.end(),
                 {"bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"});
  std::vector<fs::path> folders = visible;
  // A sanitizer reads its suppressions file at start: its folder (in the source tree, perhaps under /tmp) stays
  // visible.
  for (const char* options : {"TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const std::string value = std::getenv(options) ? std::getenv(options) : "";
    const auto start = value.find("suppressions=");
    if (start == std::string::npos) continue;
    const std::string file = value.substr(start + 13, value.find(':', start) - start - 13);
    folders.push_back(fs::path(file).parent_path());
  }
  for (const auto& folder : folders)
    command.insert(command.end(), {"--ro-bind", folder.string(), folder.string()});
  command.insert(command.end(), {"--bind", home.string(), home.string(), "--unshare-ipc", "--unshare-uts",
                                 "--die-with-parent", "--", "setpriv", "--no-new-privs", "--inh-caps=-all"});
  if (::geteuid() == 0) command.emplace_back("--bounding-set=-all,+net_bind_service");
  return command;
}

// Stops the filter inside bwrap with SIGTERM; bwrap ends as the filter did, with its exit status.
int StopConfined(TQuiboProcess& quibo) {
  ::kill(ChildOf(quibo.Child), SIGTERM);
  return quibo.Stop(0);
}

const std::string kVirusFound = "541 Quibo dederazu says: Message cannot be accepted: Virus Found!\r\n";

std::string Mail(const std::string& subject, const std::string& body) {
  return "From: Sender <sender@example.com>\r\nTo: rcpt@example.org\r\nSubject: " + subject + "\r\nMessage-Id: <" +
         std::to_string(std::hash<std::string>()(subject)) +
         "@example.com>\r\nDate: Tue, 8 Dec 2026 10:00:00 +0000\r\n\r\n" + body + "\r\n";
}

} // namespace

TEST_F(Relay, TheInstalledFilterScansScoresAndRelaysConfinedAsItsUnit) {
  ASSERT_TRUE(SharedClamd().Ready()) << SharedClamd().Log();
  TTempFolder work;
  std::string out;
  const fs::path root = UnpackedPackage(BuiltPackage(work.path(), &out), work.path(), &out);
  ASSERT_FALSE(root.empty()) << out;
  const auto allowed = AllowedSyscalls(ReadFile(root / "usr/lib/systemd/system/QuiboSvc.service"));
  ASSERT_TRUE(allowed.contains("execve") && allowed.contains("clone3") && !allowed.contains("setuid") &&
              !allowed.contains("setrlimit"));
  std::string names;
  for (const auto& name : allowed)
    names += name + "\n";
  WriteFile(work.path() / "allowed", names);

  fs::create_symlink(root / "usr/lib/quibo/HCheck", Home.path() / "HCheck");
  WriteFile(Home.path() / "HCheck.ini", "[SpamAssassin]\nSpamd=" + SharedSpamd().Address() + "\n");
  // The syscall filter runs from the build tree, which may itself lie under /tmp.
  Command = ConfinedCommand(
      Home.path(), {work.path(), SharedClamd().Config().parent_path(), fs::path(SYSCALL_FILTER_BINARY).parent_path()});
  Command.insert(Command.end(),
                 {SYSCALL_FILTER_BINARY, (work.path() / "allowed").string(), (root / "usr/lib/quibo/quibo").string()});
  const int metricsPort = FreePort();
  Launch("MetricsListen=127.0.0.1:" + std::to_string(metricsPort) + "\n",
         "[VirusCheck]\nDoVirusCheck=1\nResultCode=1\nVirusProgram=clamdscan --fdpass --no-summary "
         "--config-file=\"" +
             SharedClamd().Config().string() +
             "\" \"%s\"\n[Heurastic]\nDoHeurastic=1\nThreshold=5\nModifySubject=1\nNewSubject=[SPAM] #SUBJECT#\n");
  const pid_t filter = ChildOf(Quibo->Child);
  ASSERT_GT(filter, 0);
  const std::string status = ReadFile("/proc/" + std::to_string(filter) + "/status");
  EXPECT_NE(status.find("NoNewPrivs:\t1\n"), std::string::npos) << status;
  EXPECT_NE(status.find("Seccomp_filters:\t2\n"), std::string::npos) << status;
  if (::geteuid() == 0) {
    EXPECT_NE(status.find("CapBnd:\t0000000000000400\n"), std::string::npos) << status;
  }

  EXPECT_EQ(Send(Mail("test", kEicar)), kVirusFound);
  EXPECT_EQ(Send(Mail("Cheap offer", kGtube)), "250 Ok\r\n");
  EXPECT_EQ(Send(Mail("Lunch", "Shall we meet for lunch at noon on Thursday?")), "250 Ok\r\n");
  const auto mails = NextHop.Mails();
  ASSERT_EQ(mails.size(), 2u) << Quibo->MainLog();
  EXPECT_NE(mails[0].Data.find("Subject: [SPAM] Cheap offer\r\n"), std::string::npos) << mails[0].Data;
  EXPECT_NE(mails[1].Data.find("X-Spam-Status: Negative \r\n"), std::string::npos) << mails[1].Data;
  EXPECT_EQ(HttpGet(metricsPort, "/metrics").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(StopConfined(*Quibo), 0) << Quibo->MainLog();

  // clamd asked by the filter itself over its Unix socket: the first message streamed, the next, no larger, handed
  // over as an open file.
  Launch("", "[VirusCheck]\nDoVirusCheck=1\nClamdSocket=" + SharedClamd().Socket().string() +
                 "\n[Debug]\nKeepTempFiles=1\n");
  EXPECT_EQ(Send(Mail("clean", std::string(4096, 'a'))), "250 Ok\r\n");
  EXPECT_EQ(Send(Mail("test", kEicar)), kVirusFound);
  EXPECT_TRUE(WaitFor([&] {
    return SharedClamd().Log().find((Home.path() / "temp" / "Quibo").string()) != std::string::npos;
  })) << SharedClamd().Log();
  EXPECT_EQ(StopConfined(*Quibo), 0) << Quibo->MainLog();
}
