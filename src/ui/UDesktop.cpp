// The desktop module's entry point (see UDesktopModule.h): the Qt
// application on the calling thread, the bridge that makes it TForm1's window
// thread, and the main window with its tray icon, until the window closes
// or TForm1 is told to quit. Where no display can be opened, it returns the
// reason before anything is shown and the program goes on headless.
#include "UDesktopModule.h"
#include "UEventBridge.h"
#include "UIcons.h"
#include "UMainWindow.h"

#include <QApplication>
#include <cstdlib>

namespace {

// Qt ends the process when the display it was given cannot be opened: it is
// told to fall back to drawing offscreen instead, which then means "no display".
void OfferFallbackPlatform() {
  if (std::getenv("QT_QPA_PLATFORM")) return; // the operator's choice stands
  const bool wayland = std::getenv("WAYLAND_DISPLAY") != nullptr;
  ::setenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen", 1);
}

} // namespace

extern "C" std::string QuiboRunDesktop(quibo::TForm1& form, int argc, char** argv) {
  using namespace quibo;
  const bool chosen = std::getenv("QT_QPA_PLATFORM") != nullptr;
  OfferFallbackPlatform();
  int count = argc;
  QApplication application(count, argv);
  if (!chosen && QGuiApplication::platformName() == "offscreen") {
    const char* display = std::getenv("DISPLAY");
    return std::string("no display could be opened (DISPLAY=") + (display ? display : "") + ")";
  }
  QApplication::setQuitOnLastWindowClosed(false); // a hidden window leaves the tray icon
  QApplication::setWindowIcon(QuiboIcon());
  TMainWindow window(form);
  TEventBridge bridge(form, [&window] { window.Refresh(); });
  if (!form.ServiceMode()) window.show();
  QApplication::exec();
  return {};
}
