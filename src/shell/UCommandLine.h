// The command line: [--home DIR] [--headless] [INSTALL | UNINSTALL] [SILENT],
// --help and --version. Switch words are case-insensitive and may carry a "/" or "-"
// prefix. Parsing never throws; unknown words are reported in Error.
#pragma once

#include <string>
#include <vector>

namespace quibo {

struct TCommandLine {
  std::string Home;
  bool Install = false;
  bool Uninstall = false;
  bool Silent = false;
  bool Headless = false; // no window even where a display is
  bool Help = false;
  bool Version = false;
  std::string Error;
};

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);
extern const char* const kUsage;

} // namespace quibo
