// TListenerControl: the listener's restart with its forced disconnect, the
// operator's start/stop with its drain and stop timer, the listen choices and
// the PROXY header wait. Window thread, except where the header says.
#include "UListenerControl.h"

#include "UAddress.h"
#include "UFunctions.h"
#include "UVersion.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace quibo {
namespace {

constexpr auto kStopTimerInterval = std::chrono::milliseconds(3000);

// The machine's own IPv4 and IPv6 addresses (IPv6 loopback included, link-local ones not: they need an interface).
std::vector<std::string> OwnAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || (entry->ifa_addr->sa_family != AF_INET && entry->ifa_addr->sa_family != AF_INET6)) continue;
    sockaddr_storage address{};
    std::memcpy(&address, entry->ifa_addr,
                entry->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    if (address.ss_family == AF_INET6 &&
        IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr))
      continue;
    const std::string text = SocketAddressText(address);
    if (text != "127.0.0.1" && std::find(addresses.begin(), addresses.end(), text) == addresses.end())
      addresses.push_back(text);
  }
  ::freeifaddrs(list);
  return addresses;
}

} // namespace

TListenerControl::TListenerControl(TEventQueue& events, TLogger& log, TConnectionRegistry& registry, TRelayPool& relays,
                                   const TSettingsModel& settings, TWiring wiring)
    : Events(events), Log(log), Registry(registry), Relays(relays), Settings(settings), Wiring(std::move(wiring)),
      Listener(Wiring.RunSession) {
  StopTimer = Events.AddTimer(kStopTimerInterval, [this] { StopTimerFired(); });
  Listener.SetNotice([this](const std::string& notice) { return Log.WriteLog(notice, true); });
  Listener.SetCounter([this](TStatEvent event) { Events.Post(EvStatistic, static_cast<long>(event)); });
  Listener.SetProxy([this](const std::string& peerIp) { return ProxyHeaderWait(peerIp); },
                    [this](long thread, const std::string& balancer, const std::string& reason) {
                      const TLogConnection identity{thread, balancer};
                      Log.WriteLog("PROXY header refused: " + reason, true, &identity);
                    });
}

void TListenerControl::Prepare() {
  StopRequested = false;
  SettingsChanged = true;
  IpChoices = {"All", "127.0.0.1"};
  for (auto& address : OwnAddresses())
    IpChoices.push_back(address);
}

void TListenerControl::ApplyLimits(const TSettings& editable, const TAppliedSettings& applied) {
  Listener.SetPerIpExempt(applied.LocalIps);
  Listener.SetMaxConnections(editable.MaxConnections);
  Listener.SetMaxConnectionsPerIp(editable.MaxConnectionsPerIp);
}

std::string TListenerControl::ListenAddress() const {
  return ListensOnAll() ? "::" : CanonicalIp(Settings.Editable().CBIp1);
}

bool TListenerControl::ListensOnAll() const {
  const std::string choice = CanonicalIp(Settings.Editable().CBIp1);
  if (Settings.Editable().CBIp1 == "All") return true;
  for (size_t i = 1; i < IpChoices.size(); ++i)
    if (IpChoices[i] == choice) return false;
  return true; // not among the choices: nothing selected, all addresses
}

void TListenerControl::Restart(bool stopOnly) {
  const TSettings& settings = Settings.Editable();
  if (stopOnly) Log.WriteLog("Stopping server..", true);
  Listener.StopListening();
  WaitForMessagesInProgress();
  {
    ForcedDisconnect = true;
    struct TClearFlag {
      std::atomic<bool>& Flag;
      ~TClearFlag() { Flag = false; }
    } clearFlag{ForcedDisconnect};
    ForceDisconnectAll();
    try {
      Listener.Deactivate(settings.TerminateWaitTime);
    } catch (const std::exception& failure) {
      Wiring.ReportError(failure.what()); // connections that outlived the wait must not keep the listener down
    }
    Relays.CloseAll();
  }
  BindAddress = ListenAddress();
  BindPort = PortOrDefault(settings.EListenPort, 25);
  if (!stopOnly) {
    Listener.Activate(BindAddress, BindPort);
    const std::string version = kVersionString;
    if (ListensOnAll())
      Log.WriteLog("Quibo " + version + " started listening on port " + std::to_string(Listener.BoundPort()), true);
    else
      Log.WriteLog("Quibo " + version + " started listening on " + BindAddress + " port " +
                       std::to_string(Listener.BoundPort()),
                   true);
    StartStopCaption = "Stop listening";
  }
  SettingsChanged = false;
}

void TListenerControl::WaitForMessagesInProgress() {
  const size_t busy = Registry.InEndOfDataCount();
  if (busy == 0) return;
  Log.WriteLog("Waiting for " + std::to_string(busy) + " messages in progress", true);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(TSettingsModel::TerminateWaitMs(Settings.Editable()));
  while (Registry.InEndOfDataCount() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TListenerControl::ForceDisconnectAll() {
  // The records leave the list under its lock; the waits happen outside it,
  // so a session that is recording a status line at this moment can finish.
  // Every connection is cut first, then all are waited for together.
  try {
    const auto records = Registry.TakeAll();
    for (const auto& record : records) {
      if (!record) continue;
      record->Cancellation.Cancel(); // its scanner, classifier or relay ends now
      if (auto client = record->ForwardClient()) client->Disconnect();
      const auto& peer = record->PeerThread;
      if (!peer) continue;
      const TLogConnection identity{peer->ThreadId(), peer->PeerIp()};
      Log.WriteLog("Forced SMTP Server disconnect", false, &identity);
      peer->Disconnect();
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(TSettingsModel::TerminateWaitMs(Settings.Editable()));
    for (const auto& record : records) {
      if (!record || !record->PeerThread) continue;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      record->PeerThread->WaitEnded(static_cast<int>(std::max<long>(0, left.count())));
    }
  } catch (...) {
  }
}

void TListenerControl::Button6Click() {
  if (!Listener.Active()) {
    StopRequested = false;
    Listener.Activate(BindAddress, BindPort);
    Log.WriteLog("Server started", true);
    StartStopCaption = "Stop listening";
    return;
  }
  if (Listener.Accepting()) {
    Listener.StopListening();
    Log.WriteLog("Waiting for incoming connections to stop.....", true);
  }
  StopRequested = true;
  StartStopCaption = "Stopping..";
  if (Registry.Count() > 0) return;
  Events.EnableTimer(StopTimer, true);
  Log.WriteLog("Incoming connections stopped", true);
  Log.WriteLog("Stopping server.....", true);
}

bool TListenerControl::StopTimerEnabled() const { return Events.TimerEnabled(StopTimer); }

void TListenerControl::StopTimerFired() {
  Events.EnableTimer(StopTimer, false);
  Listener.Deactivate(Settings.Editable().TerminateWaitTime);
  StartStopCaption = "Start listening";
  Log.WriteLog("Server stopped", true);
}

void TListenerControl::SessionEnded() {
  Events.PostTask(
      [this] {
        if (StopRequested && Listener.Active() && !Listener.Accepting() && Registry.Count() == 0 &&
            !Events.TimerEnabled(StopTimer))
          Button6Click();
      },
      false);
}

int TListenerControl::ProxyHeaderWait(const std::string& peerIp) const {
  const auto generation = Settings.Generation();
  if (!generation || !generation->Settings) return 0;
  const auto& balancers = generation->Settings->ProxyFrom;
  const bool trusted = std::any_of(balancers.begin(), balancers.end(), [&peerIp](const std::string& prefix) {
    return !prefix.empty() && peerIp.compare(0, prefix.size(), prefix) == 0;
  });
  return trusted ? TSettingsModel::ProxyHeaderWaitMs(*generation->Settings) : 0;
}

} // namespace quibo
