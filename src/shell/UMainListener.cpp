// TForm1, listener control: (re)starting the listener with a forced
// disconnect, the operator's start/stop button with its drain and stop timer,
// and the session each accepted connection runs. Window thread, except
// RunSession, which runs on the connection's thread.
#include "UMain.h"

#include "UAddress.h"
#include "UConnectionEvents.h"
#include "UFunctions.h"
#include "USmtpSession.h"
#include "UVersion.h"

#include <algorithm>
#include <thread>

namespace quibo {
namespace fs = std::filesystem;

std::string TForm1::ListenAddress() const { return ListensOnAll() ? "::" : CanonicalIp(Model.Editable().CBIp1); }

bool TForm1::ListensOnAll() const {
  const std::string choice = CanonicalIp(Model.Editable().CBIp1);
  if (Model.Editable().CBIp1 == "All") return true;
  for (size_t i = 1; i < IpChoices.size(); ++i)
    if (IpChoices[i] == choice) return false;
  return true; // not among the choices: nothing selected, all addresses
}

void TForm1::StartListening(bool stopOnly) {
  if (stopOnly) Logger.WriteLog("Stopping server..", true);
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
      Listener.Deactivate(Model.Editable().TerminateWaitTime);
    } catch (const std::exception& failure) {
      ReportError(failure.what()); // connections that outlived the wait must not keep the listener down
    }
    RelayConnections.CloseAll();
  }
  BindAddress = ListenAddress();
  BindPort = PortOrDefault(Model.Editable().EListenPort, 25);
  if (!stopOnly) {
    Listener.Activate(BindAddress, BindPort);
    const std::string version = kVersionString;
    if (ListensOnAll())
      Logger.WriteLog("Quibo " + version + " started listening on port " + std::to_string(Listener.BoundPort()), true);
    else
      Logger.WriteLog("Quibo " + version + " started listening on " + BindAddress + " port " +
                          std::to_string(Listener.BoundPort()),
                      true);
    StartStopCaption = "Stop listening";
  }
  ListenSettingsChanged = false;
}

void TForm1::WaitForMessagesInProgress() {
  const size_t busy = Registry.InEndOfDataCount();
  if (busy == 0) return;
  Logger.WriteLog("Waiting for " + std::to_string(busy) + " messages in progress", true);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(TSettingsModel::TerminateWaitMs(Model.Editable()));
  while (Registry.InEndOfDataCount() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TForm1::ForceDisconnectAll() {
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
      Logger.WriteLog("Forced SMTP Server disconnect", false, &identity);
      peer->Disconnect();
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TSettingsModel::TerminateWaitMs(Model.Editable()));
    for (const auto& record : records) {
      if (!record || !record->PeerThread) continue;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      record->PeerThread->WaitEnded(static_cast<int>(std::max<long>(0, left.count())));
    }
  } catch (...) {
  }
}

void TForm1::Button6Click() {
  if (!Listener.Active()) {
    StopRequested = false;
    Listener.Activate(BindAddress, BindPort);
    Logger.WriteLog("Server started", true);
    StartStopCaption = "Stop listening";
    return;
  }
  if (Listener.Accepting()) {
    Listener.StopListening();
    Logger.WriteLog("Waiting for incoming connections to stop.....", true);
  }
  StopRequested = true;
  StartStopCaption = "Stopping..";
  if (Registry.Count() > 0) return;
  Events.EnableTimer(StopTimer, true);
  Logger.WriteLog("Incoming connections stopped", true);
  Logger.WriteLog("Stopping server.....", true);
}

void TForm1::StopTimerFired() {
  Events.EnableTimer(StopTimer, false);
  Listener.Deactivate(Model.Editable().TerminateWaitTime);
  StartStopCaption = "Start listening";
  Logger.WriteLog("Server stopped", true);
}

void TForm1::SessionEnded() {
  Events.PostTask(
      [this] {
        if (StopRequested && Listener.Active() && !Listener.Accepting() && Registry.Count() == 0 &&
            !Events.TimerEnabled(StopTimer))
          Button6Click();
      },
      false);
}

int TForm1::ProxyHeaderWait(const std::string& peerIp) const {
  const auto settings = Settings();
  if (!settings) return 0;
  const auto& balancers = settings->ProxyFrom;
  const bool trusted = std::any_of(balancers.begin(), balancers.end(), [&peerIp](const std::string& prefix) {
    return !prefix.empty() && peerIp.compare(0, prefix.size(), prefix) == 0;
  });
  return trusted ? TSettingsModel::ProxyHeaderWaitMs(*settings) : 0;
}

void TForm1::RunSession(const std::shared_ptr<TLiveConnection>& connection) {
  auto settings = Settings();
  TSocketChannel channel(connection->SocketHandle(), ServerTls.Current());
  channel.SetTimeout(settings->ServerTimeout * 1000);
  if (settings->CBServerLogging) {
    const long thread = connection->ThreadId();
    channel.SetTap([this, thread](bool sent, std::string_view chunk) {
      Logger.WriteTraffic(sent ? TTrafficDirection::ServerSent : TTrafficDirection::ServerReceived, thread, chunk);
    });
  }
  TSessionSetup setup{settings->Welcome,
                      kVersionString,
                      Folder / "temp",
                      settings->KeepTempFiles,
                      TSettingsModel::MessageSizeLimitBytes(*settings),
                      TSettingsModel::RecipientLimit(*settings),
                      TSettingsModel::SpillBytes(*settings)};
  TConnectionEvents events(*this, connection);
  TSmtpSession session(channel, events, std::move(setup), connection->ThreadId(), connection->PeerIp());
  session.Run();
}

} // namespace quibo
