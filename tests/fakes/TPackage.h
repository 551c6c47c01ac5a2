// The Debian package of this build: made with CPack into a folder and
// unpacked there with dpkg-deb into a throw-away root (an empty path when
// either step fails, the reason in the output given); and systemd-analyze's
// rating of a unit. Test thread.
#pragma once

#include "TProgram.h"

namespace quibo::test {

inline std::filesystem::path BuiltPackage(const std::filesystem::path& folder, std::string* output) {
  std::string out, err;
  if (RunProgram({"cpack", "--config", BUILD_DIR "/CPackConfig.cmake", "-B", folder.string()}, &out, &err) != 0) {
    *output = out + err;
    return {};
  }
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".deb") return entry.path();
  *output = out + err;
  return {};
}

// The package's files under folder/root.
inline std::filesystem::path UnpackedPackage(const std::filesystem::path& package, const std::filesystem::path& folder,
                                             std::string* output) {
  const auto root = folder / "root";
  if (package.empty() || RunProgram({"dpkg-deb", "-x", package.string(), root.string()}, nullptr, output) != 0)
    return {};
  return root;
}

// How exposed systemd-analyze rates a unit file: the figure of "Overall exposure level for QuiboSvc.service: 1.4
// OK"; 10 (the worst) when there is none.
inline double ExposureLevel(const std::filesystem::path& unit) {
  std::string out, err;
  RunProgram({"systemd-analyze", "security", "--offline=yes", unit.string()}, &out, &err);
  const std::string line = "Overall exposure level for " + unit.filename().string() + ": ";
  const auto at = out.find(line);
  return at == std::string::npos ? 10 : std::atof(out.c_str() + at + line.size());
}

} // namespace quibo::test
