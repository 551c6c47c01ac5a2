// TForm1, the VirusCheck page's scanner test: the configured scanner run on a
// file the operator picked, on a background task with the settings of the
// moment; its verdict goes to the mail log at once and to the page's text box
// on the window thread. The scan bridge never throws.
#include "UMain.h"

#include "UVirusCheck.h"

namespace quibo {
namespace fs = std::filesystem;

void TForm1::VirusCheckTest(const fs::path& file, TScanDone done) {
  ScannerTest.Start([this, settings = Settings(), file, done = std::move(done)](TCancellation& cancel) {
    const TScanResult result = ScanFile(settings->EVirusProgram, file, settings->SEVirusErrorlevel,
                                        settings->VirusCheckTimeOut, Folder, &cancel);
    const auto lines = VirusCheckTestLines(result);
    for (const auto& line : lines)
      Logger.WriteMailLog(line);
    return std::function<void()>([done, lines] { done(lines); });
  });
}

} // namespace quibo
