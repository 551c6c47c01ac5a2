#include "UMain.h"

#include "UConnectionEvents.h"
#include "UFunctions.h"
#include "USmtpSession.h"
#include "UVersion.h"
#include "UVirusCheck.h"

#include <algorithm>
#include <thread>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

constexpr auto kStopTimerInterval = std::chrono::milliseconds(3000);
constexpr auto kHourlyInterval = std::chrono::milliseconds(3600000);

// The machine's own IPv4 addresses, loopback excluded.
std::vector<std::string> OwnAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text) != "127.0.0.1") addresses.emplace_back(text);
  }
  ::freeifaddrs(list);
  return addresses;
}

// The machine's own host name as the resolver knows it.
std::string OwnHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  std::string result = name;
  if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
    if (found && found->ai_canonname) result = found->ai_canonname;
    ::freeaddrinfo(found);
  }
  return result;
}

fs::file_time_type ModificationTime(const fs::path& file) {
  std::error_code error;
  const auto time = fs::last_write_time(file, error);
  return error ? fs::file_time_type{} : time;
}

} // namespace

TForm1::TForm1(TOptions options)
    : TimeSource(options.Clock ? *options.Clock : SystemClock), Folder(std::move(options.ProgramFolder)),
      Name(std::move(options.ProgramName)), InServiceMode(options.ServiceMode),
      LogLock([this](int holders) { Events.Post(EvBusy, holders); }),
      Logger(Folder, TimeSource, LogLock,
             TLogHooks{[this](std::string line) { Events.PostTask([this, line] { Screen.Append(line); }, false); },
                       [this] { Events.PostTask([this] { Counters.ClearOnRotate(); }); },
                       [this] { Events.PostTask([this] { LearnNow(); }); }}),
      Registry(TimeSource),
      Listener([this](const std::shared_ptr<TLiveConnection>& connection) { RunSession(connection); }) {
  StopTimer = Events.AddTimer(kStopTimerInterval, [this] { StopTimerFired(); });
  HourlyTimer = Events.AddTimer(kHourlyInterval, [this] { CheckSettingsReload(); });
  Listener.SetNotice([this](const std::string& notice) { Logger.WriteLog(notice, true); });
  Publish(std::make_shared<const TAppliedSettings>(), std::make_shared<const TForward>());
}

TForm1::~TForm1() {
  if (EditableSettings.CBSaveStats) Statistics.SaveStatFile(StatPath());
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
  if (EditableSettings.KeepTempFiles) return;
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
  try {
    StartListening(true);
  } catch (const std::exception& failure) {
    ReportError(failure.what());
  }
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
    if (const int statistic = Counters.Apply(static_cast<int>(event.Argument)); statistic >= 0)
      Statistics.CountStatEvent(statistic);
    break;
  case EvStatistic: Statistics.CountStatEvent(static_cast<int>(event.Argument), event.Argument2); break;
  case EvShowWindow: Logger.WriteDebugLog("Show window requested"); break; // no window headless
  case EvHideWindow: Logger.WriteDebugLog("Hide window requested"); break;
  case EvServiceState: // the tray icon belongs to the window; nothing to hide headless
  default: break;
  }
}

// ---- Listener lifecycle ----

std::string TForm1::ListenAddress() const { return ListensOnAll() ? "0.0.0.0" : EditableSettings.CBIp1; }

bool TForm1::ListensOnAll() const {
  const std::string& choice = EditableSettings.CBIp1;
  if (choice == "All") return true;
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
      Listener.Deactivate(EditableSettings.TerminateWaitTime);
    } catch (const std::exception& failure) {
      ReportError(failure.what()); // connections that outlived the wait must not keep the listener down
    }
  }
  BindAddress = ListenAddress();
  BindPort = PortOrDefault(EditableSettings.EListenPort, 25);
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
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, EditableSettings.TerminateWaitTime));
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
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, EditableSettings.TerminateWaitTime));
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
  Listener.Deactivate(EditableSettings.TerminateWaitTime);
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

void TForm1::RunSession(const std::shared_ptr<TLiveConnection>& connection) {
  auto settings = Settings();
  TSocketChannel channel(connection->SocketHandle());
  channel.SetTimeout(settings->ServerTimeout * 1000);
  if (settings->CBServerLogging) {
    const long thread = connection->ThreadId();
    channel.SetTap([this, thread](bool sent, std::string_view chunk) {
      Logger.WriteTraffic(sent ? TTrafficDirection::ServerSent : TTrafficDirection::ServerReceived, thread, chunk);
    });
  }
  constexpr int kLeastRecipients = 100; // what every mail server must take
  TSessionSetup setup{settings->Welcome,
                      kVersionString,
                      Folder / "temp",
                      settings->KeepTempFiles,
                      static_cast<uint64_t>(std::max(0, settings->MaxMessageSize)) * 1024,
                      static_cast<size_t>(std::max(kLeastRecipients, settings->MaxRecipients))};
  TConnectionEvents events(*this, connection);
  TSmtpSession session(channel, events, std::move(setup), connection->ThreadId(), connection->PeerIp());
  session.Run();
}

// ---- Settings ----

void TForm1::Publish(std::shared_ptr<const TAppliedSettings> applied, std::shared_ptr<const TForward> forwarders) {
  Current.store(std::make_shared<const TSettingsGeneration>(TSettingsGeneration{
      std::make_shared<const TSettings>(EditableSettings), std::move(applied), std::move(forwarders)}));
  auto& switches = Logger.Switches();
  switches.MailLogging = EditableSettings.CBMailLogging;
  switches.Screen = EditableSettings.CBScreen;
  switches.Rotation = EditableSettings.CBLogFileRotation;
  switches.WindowSize = EditableSettings.SERotation;
  switches.DebugLevel = EditableSettings.DebugLevel;
  switches.ClearCountersOnRotate = EditableSettings.ClearCountersOnRotate;
  switches.AutoLearn = EditableSettings.CBAutoLearn;
  Listener.SetMaxConnections(EditableSettings.MaxConnections);
  Listener.SetMaxConnectionsPerIp(EditableSettings.MaxConnectionsPerIp);
}

void TForm1::PublishSettings() {
  const auto current = Generation();
  Publish(current->Applied, current->Forwarders);
}

void TForm1::SettingsEdited() { PublishSettings(); }

void TForm1::LoadSettings() {
  const TSettings previous = EditableSettings;
  std::vector<std::string> notices;
  EditableSettings = quibo::LoadSettings(TIniDocument::Load(IniPath()), {kVersionString, OwnHostName()}, &notices);
  if (EditableSettings.CBIp1 != previous.CBIp1 || EditableSettings.EListenPort != previous.EListenPort)
    ListenSettingsChanged = true;
  Statistics.ClearBlacklistServers();
  for (auto& zone : EditableSettings.LBBlacklists)
    zone.StatId = Statistics.AddBlacklistServer(zone.Zone);
  PublishSettings();
  SettingsFileTime = ModificationTime(IniPath());
  for (const auto& notice : notices)
    Logger.WriteLog(notice, true);
  // The lifetime totals are the file's plus what this run counted: the file
  // is read once, when saving is first on (at start, or by a later reload).
  if (EditableSettings.CBSaveStats && !StatFileLoaded) {
    Statistics.LoadStatFile(StatPath());
    StatFileLoaded = true;
  }
}

void TForm1::SaveSettings() {
  TIniDocument file = TIniDocument::Load(IniPath());
  quibo::SaveSettings(EditableSettings, file);
  file.Save(IniPath());
  SettingsFileTime = ModificationTime(IniPath());
}

void TForm1::ApplySettings() {
  auto applied = std::make_shared<const TAppliedSettings>(quibo::ApplySettings(EditableSettings));
  // The forwarding table is built whole and swapped in: relays in progress keep the old one.
  auto forwarders = std::make_shared<TForward>();
  ServerChoices.clear();
  auto joinChoices = [this](const std::string& server) {
    if (!server.empty() && std::find(ServerChoices.begin(), ServerChoices.end(), server) == ServerChoices.end())
      ServerChoices.push_back(server);
  };
  joinChoices(EditableSettings.EOutgoingIP);
  for (const auto& row : EditableSettings.DistributeGrid) {
    std::string notice;
    if (forwarders->AddForwarder(row.Domain, row.Server, row.Port, &notice))
      joinChoices(Trimmed(row.Server));
    else if (!notice.empty())
      Logger.WriteLog(notice, true);
  }
  Publish(std::move(applied), std::move(forwarders)); // the threshold text may have been normalised too
  if (ListenSettingsChanged) StartListening(false);
}

void TForm1::CheckSettingsReload() {
  const auto fileTime = ModificationTime(IniPath());
  if (fileTime <= SettingsFileTime) return;
  SettingsFileTime = fileTime;
  LoadSettings();
  ApplySettings();
  Logger.WriteLog("Reloaded settings file", true);
}

// ---- Policy lists ----

namespace {

bool ActsAtOnce(TPolicyList list) { return list != TPolicyList::LocalDomains && list != TPolicyList::LocalIps; }

// Every list but the zones, for a settings record or a const one.
template <class TRecord> auto& TextList(TRecord& settings, TPolicyList list) {
  switch (list) {
  case TPolicyList::ManualBlacklist: return settings.LBManualBlacklist;
  case TPolicyList::AllowedHosts: return settings.LBWhiteList;
  case TPolicyList::FromAddresses: return settings.LBFromAddresses;
  case TPolicyList::LocalDomains: return settings.LBLocalDomain;
  case TPolicyList::LocalIps: return settings.LBLocalIP;
  case TPolicyList::Blacklists: break;
  }
  throw std::logic_error("the blacklist zones are no text list");
}

} // namespace

std::vector<std::string> TForm1::ListEntries(TPolicyList list) const {
  if (list != TPolicyList::Blacklists) return TextList(EditableSettings, list);
  std::vector<std::string> zones;
  for (const auto& zone : EditableSettings.LBBlacklists)
    zones.push_back(zone.Zone);
  return zones;
}

void TForm1::AddListEntry(TPolicyList list, const std::string& text) {
  if (list == TPolicyList::Blacklists)
    EditableSettings.LBBlacklists.push_back({text, "1", Statistics.AddBlacklistServer(text)});
  else
    TextList(EditableSettings, list).push_back(text);
  if (ActsAtOnce(list)) PublishSettings();
}

void TForm1::DeleteListEntry(TPolicyList list, int index) {
  try {
    const size_t size = list == TPolicyList::Blacklists ? EditableSettings.LBBlacklists.size()
                                                        : TextList(EditableSettings, list).size();
    if (index < 0 || static_cast<size_t>(index) >= size) {
      if (!ActsAtOnce(list)) return; // nothing selected: nothing removed
      throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    if (list == TPolicyList::Blacklists) {
      EditableSettings.LBBlacklists.erase(EditableSettings.LBBlacklists.begin() + index);
      Statistics.DeleteBlacklistServer(static_cast<size_t>(index));
    } else {
      auto& entries = TextList(EditableSettings, list);
      entries.erase(entries.begin() + index);
    }
    if (ActsAtOnce(list)) PublishSettings();
  } catch (const std::exception& failure) {
    ReportError(failure.what());
  }
}

void TForm1::RewriteListEntry(TPolicyList list, int index, const std::string& text) {
  if (ActsAtOnce(list)) return; // only the relay lists are edited in place
  auto& entries = TextList(EditableSettings, list);
  if (index >= 0 && static_cast<size_t>(index) < entries.size()) entries[static_cast<size_t>(index)] = text;
}

TPolicyContext TForm1::PolicyContext(const TSettingsGeneration& generation) {
  return {*generation.Settings, *generation.Applied, Logger, nullptr,
          [this](int event, long argument, long argument2) { Events.Post(event, argument, argument2); }};
}

std::string TForm1::CheckBlacklist(const std::string& address) {
  const auto generation = Generation();
  try {
    std::string found;
    const bool listed = CheckBlacklists(PolicyContext(*generation), address, found, false);
    Label10 = listed ? address + " listed on " + found : address + " not listed";
  } catch (const std::exception& failure) {
    Label10 = failure.what();
  }
  return Label10;
}

// ---- Classifier and scanner pages ----

TClassifierBridge TForm1::Classifier() {
  return TClassifierBridge(Folder, Logger, EditableSettings.HeurasticCheckTimeOut, EditableSettings.Multidomainprefix);
}

void TForm1::LearnNow() {
  Logger.WriteLog("Autolearning started...", true);
  const TClassifierBridge classifier = Classifier();
  for (const bool spam : {false, true}) {
    std::string& label = spam ? LblSpam : LblHam;
    label = "Now learning.....";
    const TLearnResult learned = classifier.Learn(spam);
    label = "Learned " + std::to_string(learned.Learned) + " from " + std::to_string(learned.Total) + " total";
    if (!EditableSettings.CBDeleteAfterLearn) continue;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Folder / (spam ? "spam" : "ham"), error))
      if (entry.is_regular_file(error)) fs::remove(entry.path(), error);
  }
  Logger.WriteLog("Autolearning finished...", true);
}

TClassifierStatistics TForm1::RenewHeurasticStatistics() {
  std::vector<std::string> dump;
  Classifier().DumpStatistics(dump);
  return ParseStatistics(dump);
}

std::vector<std::string> TForm1::VirusCheckTest(const fs::path& file) {
  const TScanResult result = ScanFile(EditableSettings.EVirusProgram, file, EditableSettings.SEVirusErrorlevel,
                                      EditableSettings.VirusCheckTimeOut, Folder);
  const auto lines = VirusCheckTestLines(result);
  for (const auto& line : lines)
    Logger.WriteMailLog(line);
  return lines;
}

// ---- Threads and status pages ----

void TForm1::TerminateConnection(int index) {
  Registry.Terminate(index, [this](const std::string& text) { Logger.WriteDebugLog(text); });
}

void TForm1::ResetCounters() {
  LQuiboCleared = FormatLongDate(TimeSource.Now());
  Statistics.ResetStatistics();
}

void TForm1::ResetConnectionCounters() {
  Counters.Reset();
  CheckSettingsReload();
}

} // namespace quibo
