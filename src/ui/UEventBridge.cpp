#include "UEventBridge.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace quibo {

TEventBridge::TEventBridge(TForm1& form, std::function<void()> afterWork)
    : Form(form), AfterWork(std::move(afterWork)) {
  const int wake = Form.EventQueue().AttachHost(
      [this](TEventQueue::TTimerId timer, bool enabled, std::chrono::milliseconds interval) {
        TimerChanged(timer, enabled, interval);
      });
  Notifier = new QSocketNotifier(wake, QSocketNotifier::Read, this);
  connect(Notifier, &QSocketNotifier::activated, this, [this] { Woken(); });
}

TEventBridge::~TEventBridge() {
  Notifier->setEnabled(false);
  Form.EventQueue().DetachHost();
}

void TEventBridge::Woken() {
  Form.EventQueue().TakeWake();
  if (Form.EventQueue().Quitting()) {
    QCoreApplication::exit(0); // at once: no window is asked whether it may close
    return;
  }
  Form.HandlePosted();
  if (AfterWork) AfterWork();
}

void TEventBridge::TimerChanged(TEventQueue::TTimerId timer, bool enabled, std::chrono::milliseconds interval) {
  if (timer >= Timers.size()) Timers.resize(timer + 1, nullptr);
  QTimer*& qtimer = Timers[timer];
  if (!qtimer) {
    qtimer = new QTimer(this);
    connect(qtimer, &QTimer::timeout, this, [this, timer] {
      Form.FireTimer(timer);
      if (AfterWork) AfterWork();
    });
  }
  qtimer->setInterval(interval);
  if (enabled)
    qtimer->start();
  else
    qtimer->stop();
}

} // namespace quibo
