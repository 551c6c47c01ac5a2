#include "UCommandLine.h"

#include <algorithm>

namespace quibo {

const char* const kUsage = "Usage: quibo [--home DIR] [--headless] [INSTALL | UNINSTALL] [SILENT]\n"
                           "       quibo --help | --version\n"
                           "  --home DIR  program folder with quibo.ini, log/, temp/, ham/, spam/\n"
                           "              (default: the folder of the executable)\n"
                           "  --headless  no window and no tray icon, even where a display is\n"
                           "  INSTALL     write and enable the QuiboSvc systemd unit, then exit\n"
                           "  UNINSTALL   disable and remove the QuiboSvc systemd unit, then exit\n"
                           "  SILENT      print nothing for INSTALL and UNINSTALL\n";

namespace {

// "INSTALL", "/install", "-Install" all name the same switch.
bool IsSwitch(std::string word, const char* name) {
  if (!word.empty() && (word[0] == '/' || word[0] == '-')) word.erase(0, 1);
  std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::toupper(c); });
  return word == name;
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  TCommandLine line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word == "--home") {
      if (i + 1 == arguments.size()) {
        line.Error = "--home needs a folder";
        return line;
      }
      line.Home = arguments[++i];
    } else if (word.rfind("--home=", 0) == 0) {
      line.Home = word.substr(7);
    } else if (word == "--help" || word == "-h") {
      line.Help = true;
    } else if (word == "--headless") {
      line.Headless = true;
    } else if (word == "--version") {
      line.Version = true;
    } else if (IsSwitch(word, "INSTALL")) {
      line.Install = true;
    } else if (IsSwitch(word, "UNINSTALL")) {
      line.Uninstall = true;
    } else if (IsSwitch(word, "SILENT")) {
      line.Silent = true;
    } else {
      line.Error = "unknown argument: " + word;
      return line;
    }
  }
  if (line.Install && line.Uninstall) line.Error = "INSTALL and UNINSTALL exclude each other";
  return line;
}

} // namespace quibo
