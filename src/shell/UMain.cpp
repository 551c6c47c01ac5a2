// TForm1, start-up and close: the window-creation sequence, the event loop
// and the handling of posted events, the close questions and the forced stop
// at exit. Window thread. The other parts of TForm1 live in UMain*.cpp by
// page: UMainListener (listener control), UMainSettings (settings model),
// UMainLists (policy lists), UMainLearning (classifier), UMainScanner
// (scanner test), UMainCounters (threads, status and statistics pages).
#include "UMain.h"

#include "UAddress.h"
#include "UFunctions.h"
#include "UVersion.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

constexpr auto kStopTimerInterval = std::chrono::milliseconds(3000);
constexpr auto kHourlyInterval = std::chrono::milliseconds(3600000);

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

TForm1::TForm1(TOptions options)
    : TimeSource(options.Clock ? *options.Clock : SystemClock), Folder(std::move(options.ProgramFolder)),
      Name(std::move(options.ProgramName)), InServiceMode(options.ServiceMode),
      LogLock([this](int holders) { Events.Post(EvBusy, holders); }),
      Logger(Folder, TimeSource, LogLock,
             TLogHooks{[this](std::string line) { Events.PostTask([this, line] { Screen.Append(line); }, false); },
                       [this] { Events.PostTask([this] { Counters.ClearOnRotate(); }); },
                       [this] { Events.PostTask([this] { BackgroundJobs.LearnNow(); }); }}),
      Registry(TimeSource), Model(Folder, Name, Logger, Statistics),
      BackgroundJobs(Events, Logger, Model, ClamdConnections,
                     {Folder,
                      [this] {
                        return TBackgroundJobs::TTestMailTarget{BindAddress == "0.0.0.0" ? "127.0.0.1" : BindAddress,
                                                                Listener.Active() ? Listener.BoundPort() : BindPort};
                      },
                      [this](const std::string& message) { ReportError(message); }}),
      Lists(Events, Logger, Model, Statistics, [this](const std::string& message) { ReportError(message); }),
      Listener([this](const std::shared_ptr<TLiveConnection>& connection) { RunSession(connection); }) {
  StopTimer = Events.AddTimer(kStopTimerInterval, [this] { StopTimerFired(); });
  HourlyTimer = Events.AddTimer(kHourlyInterval, [this] { HourlyTick(); });
  Listener.SetNotice([this](const std::string& notice) { Logger.WriteLog(notice, true); });
  Listener.SetCounter([this](TStatEvent event) { Events.Post(EvStatistic, static_cast<long>(event)); });
  Listener.SetProxy([this](const std::string& peerIp) { return ProxyHeaderWait(peerIp); },
                    [this](long thread, const std::string& balancer, const std::string& reason) {
                      const TLogConnection identity{thread, balancer};
                      Logger.WriteLog("PROXY header refused: " + reason, true, &identity);
                    });
  Model.SetPublishHook([this](const TSettings& editable, const TAppliedSettings& applied) {
    Listener.SetPerIpExempt(applied.LocalIps);
    Listener.SetMaxConnections(editable.MaxConnections);
    Listener.SetMaxConnectionsPerIp(editable.MaxConnectionsPerIp);
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
  StopRequested = false;
  Logger.ResetDayMarkers();
  ListenSettingsChanged = true;
  const TTimePoint startTime = TimeSource.Now();
  LQuiboStart = LQuiboCleared = FormatLongDate(startTime);
  IpChoices = {"All", "127.0.0.1"};
  for (auto& address : OwnAddresses())
    IpChoices.push_back(address);
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
  Guarded([this] { StartListening(true); });
  MetricsEndpoint.Stop(); // answered 503 to health checks while the connections drained
}

void TForm1::CountStatistic(TStatEvent event, long argument) {
  Statistics.CountStatEvent(event, argument);
  const bool namesZone = event == TStatEvent::DnsLookupListed || event == TStatEvent::DnsLookupTimedOut ||
                         event == TStatEvent::DnsLookupClean || event == TStatEvent::DnsLookupFailed;
  if (!namesZone) return Metrics.Count(event, argument);
  const std::string zone = Statistics.ZoneOf(argument);
  if (!zone.empty()) Metrics.Count(event, argument, zone); // a zone deleted meanwhile counts nowhere
}

std::string TForm1::MetricsText() { return Metrics.Text({Listener.LiveCount(), RelayConnections.IdleCount()}); }

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
  const size_t live = Listener.LiveCount();
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

} // namespace quibo
