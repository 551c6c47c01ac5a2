// A fresh folder under the system's temporary folder, removed at the end.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <vector>

namespace quibo::test {

class TTempFolder {
public:
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quibo-test-XXXXXX").string();
    Path = ::mkdtemp(pattern.data());
  }
  ~TTempFolder() {
    std::error_code error;
    std::filesystem::remove_all(Path, error);
  }
  const std::filesystem::path& path() const { return Path; }

private:
  std::filesystem::path Path;
};

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// Files directly inside a folder (none when it does not exist).
inline std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    files.push_back(entry.path());
  return files;
}

// Whether the process whose id a file holds still runs (a zombie counts as gone).
inline bool ProcessInFileAlive(const std::filesystem::path& pidFile) {
  std::string pid = ReadFile(pidFile);
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
    pid.pop_back();
  if (pid.empty()) return false;
  const std::string stat = ReadFile("/proc/" + pid + "/stat");
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

} // namespace quibo::test
