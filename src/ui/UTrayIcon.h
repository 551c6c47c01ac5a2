// TTrayIcon: the program in the notification area: the hint, the menu (Show,
// Hide, About, Close; Close disabled in service mode), a double click that
// shows the window and a single click that shows the balloon with the two
// counters. Show and Hide post the show and hide events as a second start
// does. Without a notification area the icon is not shown and the log says
// so once. Window thread only.
#pragma once

#include "UMain.h"

#include <QObject>
#include <functional>

class QSystemTrayIcon;

namespace quibo {

inline constexpr const char* kTrayHint = "Quibo dederazu";

// The balloon's text with the server and client connects of the Status page.
QString BalloonText(const TConnectionCounters& counters);

class TTrayIcon : public QObject {
public:
  TTrayIcon(TForm1& form, std::function<void()> about, std::function<void()> close, QObject* parent);
  void Hide(); // the service is stopping
  QSystemTrayIcon* Icon() const { return Tray; }
  void ShowBalloon();

private:
  TForm1& Form;
  QSystemTrayIcon* Tray;
};

} // namespace quibo
