// TForm1, start-up and close: the window-creation sequence, the event loop
// and the handling of posted events, the close questions and the forced stop
// at exit, and the session each accepted connection runs. Window thread,
// except RunSession, which runs on the connection's thread. The settings
// orchestration lives in UMainSettings.cpp, the Threads, Status and
// Statistics pages in UMainCounters.cpp; the parts TForm1 owns have units of
// their own (USettingsModel, UListenerControl, UPolicyLists, UBackgroundJobs).
#include "UMain.h"

#include "UConnectionEvents.h"
#include "UFunctions.h"
#include "USmtpSession.h"
#include "UVersion.h"

#include <sys/socket.h>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

constexpr auto kHourlyInterval = std::chrono::milliseconds(3600000);

} // namespace

TForm1::TForm1(TOptions options)
    : TimeSource(options.Clock ? *options.Clock : SystemClock), Folder(std::move(options.ProgramFolder)),
      Name(std::move(options.ProgramName)), InServiceMode(options.ServiceMode),
      LogLock([this](int holders) { Events.Post(EvBusy, holders); }),
      Logger(Folder, TimeSource, LogLock,
             TLogHooks{[this](std::string line) { Events.PostTask([this, line] { Screen.Append(line); }, false); },
                       [this] { Events.PostTask([this] { Counters.ClearOnRotate(); }); },
                       [this] { Events.PostTask([this] { BackgroundJobs.LearnNow(); }); }}),
      Registry(TimeSource), Model(Folder, Name, Logger, Statistics),
      BackgroundJobs(
          Events, Logger, Model, ClamdConnections,
          {Folder,
           [this] {
             return TBackgroundJobs::TTestMailTarget{ListenerControl.LocalAddress(), ListenerControl.LocalPort()};
           },
           [this](const std::string& message) { ReportError(message); }}),
      Lists(Events, Logger, Model, Statistics, [this](const std::string& message) { ReportError(message); }),
      ListenerControl(Events, Logger, Registry, RelayConnections, Model,
                      {[this](const std::shared_ptr<TLiveConnection>& connection) { RunSession(connection); },
                       [this](const std::string& message) { ReportError(message); }}) {
  HourlyTimer = Events.AddTimer(kHourlyInterval, [this] { HourlyTick(); });
  Model.SetPublishHook([this](const TSettings& editable, const TAppliedSettings& applied) {
    ListenerControl.ApplyLimits(editable, applied);
  });
  Model.PublishDefaults();
}

TForm1::~TForm1() {
  if (Model.Editable().CBSaveStats) Statistics.SaveStatFile(Model.StatPath());
}

void TForm1::Create() {
  std::error_code error;
  fs::create_directories(Folder / "ham", error);
  fs::create_directories(Folder / "spam", error);
  ListenerControl.Prepare();
  Logger.ResetDayMarkers();
  const TTimePoint startTime = TimeSource.Now();
  LQuiboStart = LQuiboCleared = FormatLongDate(startTime);
  ServerIdentText = std::string("Quibo SMTP Server") + " Version " + kVersionString;
  try {
    // The settings first: the first line logged must see the rotation switch,
    // or yesterday's log would take today's lines.
    LoadSettings();
    ProbeSocketInterface();
    RemoveUnfinishedMessages();
    ApplySettings();
  } catch (const std::exception& failure) {
    ReportError(failure.what());
  }
  Registry.Clear();
  AboutReplyText = std::string("Quibo version ") + kVersionString;
  Events.EnableTimer(HourlyTimer, true);
}

void TForm1::RemoveUnfinishedMessages() {
  // A message file left by a process that was killed was never answered with
  // 250: its sender retries, so the file is of no use to anybody.
  if (Model.Editable().KeepTempFiles) return;
  std::error_code error;
  int removed = 0;
  for (const auto& entry : fs::directory_iterator(Folder / "temp", error))
    if (entry.is_regular_file(error) && entry.path().filename().string().rfind("Quibo", 0) == 0 &&
        fs::remove(entry.path(), error))
      ++removed;
  if (removed > 0) Logger.WriteLog("Removed " + std::to_string(removed) + " unfinished message files from temp/", true);
}

void TForm1::ProbeSocketInterface() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) ::close(probe);
  Logger.WriteLog("Using Winsock version 2.0", true);
}

void TForm1::Run() {
  Events.Run([this](const TEvent& event) { HandleEvent(event); },
             [this](const std::string& message) { ReportError(message); });
}

void TForm1::ReportError(const std::string& message) { Logger.WriteLog("Unhandled Exception: " + message, true); }

void TForm1::Close() {
  if (ClosedDown) return;
  ClosedDown = true;
  BackgroundJobs.CancelAll();
  Lists.Cancel();
  Guarded([this] { ListenerControl.Restart(true); });
  MetricsEndpoint.Stop(); // answered 503 to health checks while the connections drained
  if (Console) Console->Stop();
}

void TForm1::CountStatistic(TStatEvent event, long argument) {
  const auto messages = [this] { return Statistics.SinceReset()[Passed] + Statistics.SinceReset()[Refused]; };
  const int32_t before = messages();
  Statistics.CountStatEvent(event, argument);
  if (messages() > before) MessageMinutes.Add(TimeSource.Now(), messages() - before);
  const bool namesZone = event == TStatEvent::DnsLookupListed || event == TStatEvent::DnsLookupTimedOut ||
                         event == TStatEvent::DnsLookupClean || event == TStatEvent::DnsLookupFailed;
  if (!namesZone) return Metrics.Count(event, argument);
  const std::string zone = Statistics.ZoneOf(argument);
  if (!zone.empty()) Metrics.Count(event, argument, zone); // a zone deleted meanwhile counts nowhere
}

std::string TForm1::MetricsText() { return Metrics.Text({ListenerControl.LiveCount(), RelayConnections.IdleCount()}); }

void TForm1::RefreshMetricsEndpoint() {
  const std::string& wanted = Model.Editable().MetricsListen;
  if (wanted == MetricsListenInUse && (wanted.empty() || MetricsEndpoint.Running())) return;
  MetricsListenInUse = wanted;
  MetricsEndpoint.Stop();
  if (wanted.empty()) return;
  if (const std::string failure = MetricsEndpoint.Start(wanted); !failure.empty())
    Logger.WriteLog("Metrics endpoint not started: " + failure, true);
  else
    Logger.WriteLog("Metrics endpoint listening on " + MetricsEndpoint.Address(), true);
}

void TForm1::Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& failure) {
    ReportError(failure.what());
  } catch (...) {
    ReportError("unknown error");
  }
}

void TForm1::HandlePosted() {
  Events.RunPending([this](const TEvent& event) { HandleEvent(event); },
                    [this](const std::string& message) { ReportError(message); });
}

void TForm1::FireTimer(TEventQueue::TTimerId timer) {
  Guarded([this, timer] { Events.FireTimer(timer); });
}

bool TForm1::CloseQuery(const std::function<bool(const std::string&)>& ask) {
  if (InServiceMode) return true;
  if (!ask("Are you sure?")) {
    Logger.WriteLog("Aborted closing...", true);
    return false;
  }
  const size_t live = ListenerControl.LiveCount();
  if (live > 0 && !ask("There are " + std::to_string(live) + " active threads. Terminate anyway?")) return false;
  if (live > 0) Logger.WriteLog("Forcing all active SMTP connections to stop.....", true);
  Close();
  return true;
}

void TForm1::HandleEvent(const TEvent& event) {
  switch (event.Number) {
  case EvBusy: Logger.WriteLog(BusyText(static_cast<int>(event.Argument)), true); break;
  case EvConnection:
    if (const auto statistic = Counters.Apply(event.Argument)) CountStatistic(*statistic, 0);
    break;
  case EvStatistic: CountStatistic(static_cast<TStatEvent>(event.Argument), event.Argument2); break;
  case EvShowWindow:
    if (View)
      View->ShowWindow();
    else
      Logger.WriteDebugLog("Show window requested"); // no window headless
    break;
  case EvHideWindow:
    if (View)
      View->HideWindow();
    else
      Logger.WriteDebugLog("Hide window requested");
    break;
  case EvServiceState: // the tray icon belongs to the window; nothing to hide headless
    if (View) View->ServiceStateChanged(event.Argument);
    break;
  default: break;
  }
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
