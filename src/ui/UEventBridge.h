// TEventBridge: makes the Qt GUI thread TForm1's window thread. It hosts
// TForm1's event queue: the queue's wake descriptor is watched by a socket
// notifier, and what was posted is handled when it becomes readable; the
// queue's timers (the stop timer, the hourly timer) run as Qt timers. After
// any handled work the given refresh runs (the window's). TForm1::Quit ends
// the GUI loop. Lives on the GUI thread; failures of the handled work reach
// TForm1's error line.
#pragma once

#include "UMain.h"

#include <QObject>
#include <functional>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace quibo {

class TEventBridge : public QObject {
public:
  TEventBridge(TForm1& form, std::function<void()> afterWork);
  ~TEventBridge() override;

private:
  void Woken();
  void TimerChanged(TEventQueue::TTimerId timer, bool enabled, std::chrono::milliseconds interval);

  TForm1& Form;
  std::function<void()> AfterWork;
  std::vector<QTimer*> Timers;
  QSocketNotifier* Notifier;
};

} // namespace quibo
