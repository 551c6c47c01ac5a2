// TListenerControl: the SMTP listener and its state as the operator and the
// settings see it - (re)starting it with a forced disconnect of every
// connection after a change of its address or port, the operator's
// start/stop button (Button6) with its drain and its 3-second stop timer, the
// listen choices of the Mail page, and which peers are load balancers that
// send a PROXY header. Owns the TSmtpListener, whose connection threads run
// the sessions TForm1 gives them. Owned by TForm1; window thread, except
// SessionEnded, ForcedDisconnectInProgress and the PROXY wait, which
// connection threads call. A failing bind throws std::system_error to the
// caller; connections that outlive the stop wait are reported, not thrown.
#pragma once

#include "UEventQueue.h"
#include "ULog.h"
#include "URelayPool.h"
#include "USettingsModel.h"
#include "USmtpListener.h"
#include "UThreadController.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quibo {

class TListenerControl {
public:
  struct TWiring {
    TSmtpListener::TSessionRunner RunSession; // on the connection's thread
    std::function<void(const std::string&)> ReportError;
  };

  TListenerControl(TEventQueue& events, TLogger& log, TConnectionRegistry& registry, TRelayPool& relays,
                   const TSettingsModel& settings, TWiring wiring);

  // Start-up: the listen choices ("All", "127.0.0.1", then the machine's own
  // addresses) and the listener marked for its first start.
  void Prepare();
  // Stops listening, disconnects every connection (waiting up to
  // TerminateWaitTime), then, unless stopOnly, listens on the address and port the settings name.
  void Restart(bool stopOnly);
  void Button6Click(); // operator start/stop
  const std::string& Button6Caption() const { return StartStopCaption; }
  bool StopTimerEnabled() const;
  void StopTimerFired();
  // A session ended: with a stop pending and no connection left, the stop goes on.
  void SessionEnded();
  bool ForcedDisconnectInProgress() const { return ForcedDisconnect.load(); }

  // The listen address or port changed: the next apply restarts the listener.
  void MarkSettingsChanged() { SettingsChanged = true; }
  bool RestartDue() const { return SettingsChanged; }
  // The listen limits and the [LocalIP] addresses exempt from the per-address one.
  void ApplyLimits(const TSettings& editable, const TAppliedSettings& applied);

  const std::vector<std::string>& ListenChoices() const { return IpChoices; }
  // Where a client of this machine reaches the listener: its address (127.0.0.1 for all) and port.
  std::string LocalAddress() const { return BindAddress == "0.0.0.0" ? "127.0.0.1" : BindAddress; }
  int LocalPort() const { return Listener.Active() ? Listener.BoundPort() : BindPort; }
  int BoundPort() const { return Listener.BoundPort(); }
  size_t LiveCount() const { return Listener.LiveCount(); }
  bool Accepting() const { return Listener.Accepting(); }

private:
  std::string ListenAddress() const;
  bool ListensOnAll() const;
  void ForceDisconnectAll();
  // Gives sessions between the end of a message's data and its reply up to
  // TerminateWaitTime to answer their senders before a stop cuts them.
  void WaitForMessagesInProgress();
  // Milliseconds a connection from the address may take for its PROXY
  // header: the settings model's PROXY wait for a [ProxyFrom] address; 0 for any other.
  int ProxyHeaderWait(const std::string& peerIp) const;

  TEventQueue& Events;
  TLogger& Log;
  TConnectionRegistry& Registry;
  TRelayPool& Relays;
  const TSettingsModel& Settings;
  TWiring Wiring;

  bool StopRequested = false;
  std::atomic<bool> ForcedDisconnect{false};
  std::string StartStopCaption = "Stop listening";
  TEventQueue::TTimerId StopTimer;
  std::string BindAddress = "0.0.0.0";
  int BindPort = 25;
  bool SettingsChanged = true;
  std::vector<std::string> IpChoices;
  TSmtpListener Listener; // its connection threads use everything above
};

} // namespace quibo
