#include "UTrayIcon.h"

#include "UIcons.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace quibo {

QString BalloonText(const TConnectionCounters& counters) {
  return QString("I've checked %1 incoming connections.\nFrom these %2 messages were passed through.")
      .arg(counters.ServerConnects)
      .arg(counters.ClientConnects);
}

TTrayIcon::TTrayIcon(TForm1& form, std::function<void()> about, std::function<void()> close, QObject* parent)
    : QObject(parent), Form(form), Tray(new QSystemTrayIcon(QuiboIcon(), this)) {
  Tray->setObjectName("TrayIcon");
  Tray->setToolTip(kTrayHint);
  auto* menu = new QMenu;
  menu->setObjectName("TrayMenu");
  connect(this, &QObject::destroyed, menu, &QObject::deleteLater);
  menu->addAction("Show", [this] { Form.EventQueue().Post(EvShowWindow); });
  menu->addAction("Hide", [this] { Form.EventQueue().Post(EvHideWindow); });
  menu->addAction("About", std::move(about));
  menu->addSeparator();
  menu->addAction("Close", std::move(close))->setEnabled(!Form.ServiceMode());
  Tray->setContextMenu(menu);
  connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) Form.EventQueue().Post(EvShowWindow);
    if (reason == QSystemTrayIcon::Trigger) ShowBalloon();
  });
  // Shown as well without a notification area: it appears when one starts.
  Tray->show();
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    Form.Log().WriteLog("No notification area: the window works without its tray icon", true);
}

void TTrayIcon::ShowBalloon() {
  Tray->showMessage("Quibo dederazu says:", BalloonText(Form.ConnectionCounters()), QSystemTrayIcon::Information,
                    10000);
}

void TTrayIcon::Hide() { Tray->hide(); }

} // namespace quibo
