// Fuzz target: the INI reader and the settings loaded from it, saved and
// loaded again. Checks that every whole number lies in its range after the
// load and that saving and loading again keeps the values the program
// writes. Runs with libFuzzer.
#include "UIniFile.h"
#include "USettings.h"

#include <cstdlib>

using namespace quibo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TIniDocument file = TIniDocument::Parse(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> notices;
  TSettings settings = LoadSettings(file, {"1.0.0.1", "host.test"}, &notices);
  if (settings.ServerTimeout < 1 || settings.ServerTimeout > 86400 || settings.MaxHeaderSize < 1) std::abort();
  ApplySettings(settings);
  TIniDocument saved = file;
  SaveSettings(settings, saved);
  const TSettings again = LoadSettings(TIniDocument::Parse(saved.Text()), {"1.0.0.1", "host.test"});
  if (again.SEDropThreshold != settings.SEDropThreshold || again.CBVirusScan != settings.CBVirusScan ||
      again.LBLocalDomain.size() != settings.LBLocalDomain.size())
    std::abort();
  return 0;
}
