// Writes a picture of every page of the main window, drawn offscreen over a
// filter with example settings, into the folder given (scripts/screenshots
// passes docs/screenshots). Not a test: the pictures are for the README and
// for looking at the layout.
#include "TTempFolder.h"
#include "UMainWindow.h"

#include <QApplication>
#include <QTabWidget>
#include <iostream>

using namespace quibo;

namespace {

const char* const kExample = R"([Settings]
ListenIP=127.0.0.1
ListenPort=0
OutgoingIP=192.168.1.10
OutgoingPort=25
DnsIP=192.168.1.1
MultipleMailForwarding=1
[Forward]
2=example.org,192.168.1.11,25
3=example.net,192.168.1.12,2525
[Blacklists]
0=bl.example.net
1=dnsbl.example.org,0
[ManualBlacklist]
0=203.0.113.7
[AllowedHosts]
0=192.168.1.20
[FromAddresses]
0=partner.example
[LocalDomains]
0=example.com
[LocalIP]
0=192.168.1.
[Heurastic]
DoHeurastic=1
ModifySubject=1
[VirusCheck]
DoVirusCheck=1
VirusProgram=clamscan --no-summary "%s"
[Debug]
Acceptance=1
LogScreen=1
)";

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: quibo_screenshots FOLDER\n";
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  test::TTempFolder home;
  test::WriteFile(home.path() / "quibo.ini", kExample);
  TForm1 form({home.path(), "quibo", false, nullptr});
  form.Create();
  form.EventQueue().Post(EvConnection, ServerConnect);
  form.EventQueue().Post(EvConnection, ClientConnect);
  form.EventQueue().Post(EvConnection, ClientDisconnect);
  form.EventQueue().Post(EvConnection, ServerDisconnect);
  form.HandlePosted();
  TMainWindow window(form);
  window.show();
  auto* pages = window.findChild<QTabWidget*>("PageControl1");
  const std::string folder = argv[1];
  for (int page = 0; page < pages->count(); ++page) {
    pages->setCurrentIndex(page);
    form.HandlePosted();
    window.Refresh();
    QApplication::processEvents();
    const QString name = QString("%1/%2-%3.png")
                             .arg(QString::fromStdString(folder))
                             .arg(page + 1, 2, 10, QChar('0'))
                             .arg(pages->tabText(page).toLower());
    if (!window.grab().save(name)) {
      std::cerr << "cannot write " << name.toStdString() << "\n";
      return 1;
    }
  }
  form.Close();
  return 0;
}
