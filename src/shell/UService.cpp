#include "UService.h"

#include "UProcessRunner.h"
#include "UServiceSandbox.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

const char* kUnitFile = "QuiboSvc.service";
const char* kDefaultUnitFolder = "/etc/systemd/system";

// systemctl is only asked when systemd runs and the unit goes where it looks.
bool ManagesSystemd() { return ::sd_booted() > 0 && ServiceUnitFolder() == kDefaultUnitFolder; }

// systemctl talks to the operator on our terminal (a password prompt, say), and stays in our process group.
TServiceResult Systemctl(std::initializer_list<const char*> arguments) {
  TRunOptions options;
  options.Arguments = {"systemctl"};
  options.Arguments.insert(options.Arguments.end(), arguments.begin(), arguments.end());
  options.Input = TChildInput::Inherited;
  options.Output = TChildOutput::Inherited;
  options.OwnGroup = false;
  const TRunResult run = RunProcess(options);
  if (run.End == TRunEnd::NotRun) return {false, run.Error};
  if (!run.Succeeded()) return {false, "systemctl " + options.Arguments[1] + " failed"};
  return {true, {}};
}

} // namespace

fs::path ServiceUnitFolder() {
  const char* folder = std::getenv("QUIBO_SYSTEMD_UNIT_DIR");
  return folder && *folder ? fs::path(folder) : fs::path(kDefaultUnitFolder);
}

std::string ServiceUnitText(const fs::path& executable, const fs::path& home) {
  std::ostringstream text;
  text << "[Unit]\n"
       << "Description=" << kServiceDisplayName << "\n"
       << "After=network.target\n\n"
       << "[Service]\n"
       << "Type=notify\n"
       << "ExecStart=\"" << executable.string() << "\" --home \"" << home.string() << "\"\n"
       << "Restart=on-failure\n"
       << "LimitNOFILE=65536\n"
       // The account is root's; of its powers it keeps the port and access to files of other owners.
       << "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_DAC_OVERRIDE\n"
       << "ReadWritePaths=\"" << home.string() << "\"\n"
       << kServiceSandbox << "\n"
       << "[Install]\n"
       << "WantedBy=multi-user.target\n";
  return text.str();
}

TServiceResult InstallService(const fs::path& executable, const fs::path& home) {
  const fs::path unit = ServiceUnitFolder() / kUnitFile;
  {
    std::ofstream out(unit, std::ios::trunc);
    if (!out) return {false, std::strerror(errno)};
    out << ServiceUnitText(executable, home);
    out.flush();
    if (!out) return {false, std::strerror(errno)};
  }
  if (ManagesSystemd()) {
    if (auto reload = Systemctl({"daemon-reload"}); !reload.Ok) return reload;
    if (auto enable = Systemctl({"enable", kUnitFile}); !enable.Ok) return enable;
  }
  return {true, {}};
}

TServiceResult UninstallService() {
  const fs::path unit = ServiceUnitFolder() / kUnitFile;
  if (::access(unit.c_str(), F_OK) != 0) return {false, std::strerror(errno)};
  if (ManagesSystemd()) Systemctl({"disable", kUnitFile});
  if (::unlink(unit.c_str()) != 0) return {false, std::strerror(errno)};
  if (ManagesSystemd()) Systemctl({"daemon-reload"});
  return {true, {}};
}

bool IsServiceCgroup(const std::string& procSelfCgroup) {
  std::istringstream lines(procSelfCgroup);
  const std::string unitSuffix = std::string("/") + kUnitFile;
  for (std::string line; std::getline(lines, line);)
    if (line.size() >= unitSuffix.size() &&
        line.compare(line.size() - unitSuffix.size(), unitSuffix.size(), unitSuffix) == 0)
      return true;
  return false;
}

bool IsServiceProcess() {
  std::ifstream in("/proc/self/cgroup");
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  return IsServiceCgroup(text.str());
}

void NotifyServiceReady() { ::sd_notify(0, "READY=1"); }
void NotifyServiceStopping() { ::sd_notify(0, "STOPPING=1"); }

} // namespace quibo
