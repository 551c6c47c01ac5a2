// TForm1, the VirusCheck page's scanner test: the configured scanner run on a
// file the operator picked, or, with ClamdSocket set, clamd asked about the
// anti-virus test text, on a background task with the settings of the
// moment; its verdict goes to the mail log at once and to the page's text box
// on the window thread. The scan bridges never throw.
#include "UMain.h"

#include "UClamdScanner.h"
#include "UVirusCheck.h"

namespace quibo {
namespace fs = std::filesystem;
namespace {

// The anti-virus test file's text, which every scanner reports as a virus.
const char* const kEicarTestText = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

} // namespace

void TForm1::VirusCheckTest(const fs::path& file, TScanDone done) {
  ScannerTest.Start([this, settings = Settings(), file, done = std::move(done)](TCancellation& cancel) {
    const TScanResult result =
        settings->ClamdSocket.empty()
            ? ScanFile(settings->EVirusProgram, file, settings->SEVirusErrorlevel, settings->VirusCheckTimeOut, Folder,
                       &cancel)
            : ScanWithClamd(ClamdConnections, settings->ClamdSocket, Folder, TTextMessage(kEicarTestText), {},
                            settings->VirusCheckTimeOut, &cancel);
    const auto lines = VirusCheckTestLines(result);
    for (const auto& line : lines)
      Logger.WriteMailLog(line);
    return std::function<void()>([done, lines] { done(lines); });
  });
}

} // namespace quibo
