// The systemd side of the program: writing (confined as the packaged unit
// is, but as root with its program folder writable) and removing the QuiboSvc unit
// (INSTALL / UNINSTALL), telling whether this process was started as that
// unit, and the readiness and stopping notices. Called from the program
// entry on the main thread. Install and uninstall return the system's error
// text on failure; the rest never fails (a failed test means desktop mode).
#pragma once

#include <filesystem>
#include <string>

namespace quibo {

inline constexpr const char* kServiceName = "QuiboSvc";
inline constexpr const char* kServiceDisplayName = "Quibo Anti Spam Service";

struct TServiceResult {
  bool Ok = false;
  std::string Error; // the system's error text
};

// Unit folder: $QUIBO_SYSTEMD_UNIT_DIR, else /etc/systemd/system.
std::filesystem::path ServiceUnitFolder();
std::string ServiceUnitText(const std::filesystem::path& executable, const std::filesystem::path& home);
TServiceResult InstallService(const std::filesystem::path& executable, const std::filesystem::path& home);
TServiceResult UninstallService();

// True when this process runs in the QuiboSvc unit's control group.
bool IsServiceProcess();
bool IsServiceCgroup(const std::string& procSelfCgroup);

void NotifyServiceReady();
void NotifyServiceStopping();

} // namespace quibo
