// TForm1, the VirusCheck page's scanner test: the configured scanner run on a
// file the operator picked, its verdict for the page and the mail log.
// Window thread; the scan bridge never throws.
#include "UMain.h"

#include "UVirusCheck.h"

namespace quibo {
namespace fs = std::filesystem;

std::vector<std::string> TForm1::VirusCheckTest(const fs::path& file) {
  const TScanResult result = ScanFile(EditableSettings.EVirusProgram, file, EditableSettings.SEVirusErrorlevel,
                                      EditableSettings.VirusCheckTimeOut, Folder);
  const auto lines = VirusCheckTestLines(result);
  for (const auto& line : lines)
    Logger.WriteMailLog(line);
  return lines;
}

} // namespace quibo
