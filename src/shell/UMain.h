// TForm1: the application object. Owns every long-lived part: the log
// writers, the statistics and metrics, the connection registry, and the four
// parts with units of their own - the settings model (USettingsModel), the
// listener control (UListenerControl), the policy lists (UPolicyLists) and the
// background jobs (UBackgroundJobs). Runs the start-up and close sequences,
// the settings load/apply with the hourly reload across those parts, and
// handles the posted events and timers. Everything here runs on the window
// thread, except the session hooks (UConnectionEvents), which run on
// connection threads and only read published snapshots or post events.
// Failures are logged; none ends the program. The definitions live in
// UMain.cpp (start-up, events, sessions, close), UMainSettings.cpp and
// UMainCounters.cpp.
//
// The window's names on TForm1 (its controls, named as on the pages; what
// a page does beyond these it asks of the parts through Listening(),
// SettingsModel(), PolicyLists() and Jobs()):
//   Button6Click, Button6Caption  Button6, the Mail page's "Stop listening" /
//                                 "Start listening" button and its caption
//   BlacklistCheckLabel           Label10, the Debug page's blacklist "Result: "
//   HamLearnLabel, SpamLearnLabel LblHam, LblSpam: the learning results
//   Editable                      the settings record behind the controls
//                                 (CBIp1, EListenPort, ...: one field each)
//   LoadSettings                  BCancel: the controls read again from the file
//   ApplySettings                 BSave, after SettingsModel().Save()
//   CloseQuery                    BClose on the desktop: the two questions
//   ClearScreenLog, ScreenLog     Button1 "Clear" and Memo1, the screen log
//   ResetConnectionCounters       Button3 "Reset " on the Status page
//   ResetCounters                 Button11 "Reset Counters" (Statistics page)
//   StartTimeText, LastClearedText LQuiboStart, LQuiboCleared
//   SetDebugBox                   CBDebug, the hidden "Debug" box
//   ThreadDetails, TerminateConnection, ActiveConnections
//                                 LBThreads, "Terminate", "Active Connections"
#pragma once

#include "UBackgroundJobs.h"
#include "UClamdScanner.h"
#include "UClock.h"
#include "UEventQueue.h"
#include "UHostNameCache.h"
#include "UListenerControl.h"
#include "ULog.h"
#include "UMemoryTrim.h"
#include "UMetrics.h"
#include "UMetricsEndpoint.h"
#include "UPolicy.h"
#include "UPolicyLists.h"
#include "URelayPool.h"
#include "URspamdClients.h"
#include "UScreenLog.h"
#include "USettings.h"
#include "USettingsModel.h"
#include "USmtpListener.h"
#include "UStats.h"
#include "UThreadController.h"
#include "UTlsIdentity.h"
#include "UVersion.h"
#include "UVisibleCriticalSection.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quibo {

// The window over TForm1 in desktop mode: what the posted events and the
// weekly counter ask of it. Called on the window thread.
class TFormView {
public:
  virtual ~TFormView() = default;
  virtual void ShowWindow() = 0;
  virtual void HideWindow() = 0;
  virtual void ServiceStateChanged(long state) = 0; // 1 started, 0 stopping
  virtual void WeeklyUpdateCheck() = 0;
};

// The web console over TForm1: it follows the settings and the TLS pair at
// each apply and reload, and stops at close. Called on the window thread.
class TFormConsole {
public:
  virtual ~TFormConsole() = default;
  virtual void SettingsApplied() = 0;
  virtual void Stop() = 0;
};

class TForm1 {
public:
  struct TOptions {
    std::filesystem::path ProgramFolder;
    std::string ProgramName = "quibo"; // the INI and statistics files are named after it
    bool ServiceMode = false;
    const TClock* Clock = nullptr; // the system clock when not given
  };

  explicit TForm1(TOptions options);
  ~TForm1(); // saves the statistics when "Save statistics" is checked
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Start-up, events and close (UMain.cpp). The window-creation sequence.
  void Create();
  // Runs the event loop until Quit; then the close sequence.
  void Run();
  void Quit() { Events.Quit(); }
  // Stops listening with a forced disconnect of every connection and ends
  // the background work; once only.
  void Close();
  // Desktop close request: ask answers yes (true) or no to a question.
  bool CloseQuery(const std::function<bool(const std::string&)>& ask);

  TEventQueue& EventQueue() { return Events; }
  void HandleEvent(const TEvent& event);
  // For a host loop: handles what was posted; runs a timer's tick.
  void HandlePosted();
  void FireTimer(TEventQueue::TTimerId timer);
  // Runs an operator action; a failure is logged as "Unhandled Exception: ...".
  void Guarded(const std::function<void()>& action);
  void SetView(TFormView* view) { View = view; }
  void SetConsole(TFormConsole* console) { Console = console; }

  // Listener control: the listener's restart, the operator's start/stop and the listen choices.
  TListenerControl& Listening() { return ListenerControl; }
  const TListenerControl& Listening() const { return ListenerControl; }
  void Button6Click() { ListenerControl.Button6Click(); }
  const std::string& Button6Caption() const { return ListenerControl.Button6Caption(); }
  int ListeningPort() const { return ListenerControl.BoundPort(); }

  // Settings (UMainSettings.cpp): the model owns every copy; loading and
  // applying also reach the statistics, the TLS identity, the listener and
  // the metrics endpoint.
  TSettingsModel& SettingsModel() { return Model; }
  const TSettingsModel& SettingsModel() const { return Model; }
  void LoadSettings();        // "Cancel", start-up and reloads
  void ApplySettings();       // "Save" after writing the file, start-up and reloads
  void CheckSettingsReload(); // the hourly tick, SIGHUP and the "Reset " button
  TSettings& Editable() { return Model.Editable(); }
  std::shared_ptr<const TSettingsGeneration> Generation() const { return Model.Generation(); }
  std::shared_ptr<const TSettings> Settings() const { return Generation()->Settings; }
  std::shared_ptr<const TAppliedSettings> Applied() const { return Generation()->Applied; }

  // The policy lists as the list pages edit them, and the Debug page's blacklist check.
  TPolicyLists& PolicyLists() { return Lists; }
  const TPolicyLists& PolicyLists() const { return Lists; }
  const std::string& BlacklistCheckLabel() const { return Lists.BlacklistCheckLabel(); }

  // The background jobs: learning, the classifier's statistics, the scanner test and the test mail.
  TBackgroundJobs& Jobs() { return BackgroundJobs; }
  const TBackgroundJobs& Jobs() const { return BackgroundJobs; }
  const std::string& HamLearnLabel() const { return BackgroundJobs.HamLearnLabel(); }
  const std::string& SpamLearnLabel() const { return BackgroundJobs.SpamLearnLabel(); }

  // "Threads", Status and Statistics pages (UMainCounters.cpp).
  void TerminateConnection(int index);
  bool TerminateThread(long threadId); // the web console's terminate: false when no line has the thread
  std::string ThreadDetails(int index) const { return Registry.ThreadDetails(index); }
  std::string ActiveConnections() const { return Registry.ActiveConnectionsText(); }

  void ResetConnectionCounters(); // the "Reset " button: also advances the weekly counter
  void ResetCounters();           // "Reset Counters": the lifetime totals stay
  void ClearScreenLog() { Screen.Clear(); }
  // Hours towards the weekly update check: 161 at start, the check at 168.
  int WeeklyCounter() const { return UpdateHours; }
  void HourlyTick(); // the hourly timer: the reload check, then the weekly counter
  const std::string& LastClearedText() const { return LQuiboCleared; }
  const TScreenLog& ScreenLog() const { return Screen; }
  const TConnectionCounters& ConnectionCounters() const { return Counters; }
  const TStats& Stats() const { return Statistics; }
  const TMinuteCounts& MessagesPerMinute() const { return MessageMinutes; }
  void SetDebugBox(bool checked) { Logger.Switches().DebugBox = checked; }

  // Used by the connection threads.
  TLogger& Log() { return Logger; }
  TRelayPool& Relays() { return RelayConnections; }
  TClamdPool& ClamdSessions() { return ClamdConnections; }
  TRspamdClients& RspamdClients() { return RspamdConnections; }
  THostNameCache& HostNames() { return PeerHostNames; }
  TMemoryTrim& MemoryTrim() { return MessageMemoryTrim; }
  TConnectionRegistry& Connections() { return Registry; }
  const std::filesystem::path& ProgramFolder() const { return Folder; }
  bool ForcedDisconnectInProgress() const { return ListenerControl.ForcedDisconnectInProgress(); }
  void SessionEnded() { ListenerControl.SessionEnded(); } // posts the pending-stop check

  bool ServiceMode() const { return InServiceMode; }
  const TClock& Clock() const { return TimeSource; }
  const std::string& ServerIdent() const { return ServerIdentText; }
  const std::string& AboutReply() const { return AboutReplyText; }
  const std::string& StartTimeText() const { return LQuiboStart; }

private:
  void RunSession(const std::shared_ptr<TLiveConnection>& connection);
  // A statistics event, for the Statistics page and the metrics alike.
  void CountStatistic(TStatEvent event, long argument);
  // Starts, moves or stops the metrics endpoint after MetricsListen.
  void RefreshMetricsEndpoint();
  std::string MetricsText();       // on the endpoint's thread
  void RemoveUnfinishedMessages(); // start-up: message files of a killed run
  // The STARTTLS certificate, loaded again when its files changed.
  void RefreshTls();
  void ReportError(const std::string& message);
  void ProbeSocketInterface();
  void AdvanceWeeklyCounter();

  TSystemClock SystemClock;
  const TClock& TimeSource;
  std::filesystem::path Folder;
  std::string Name;
  bool InServiceMode;

  TEventQueue Events;
  TVisibleCriticalSection LogLock;
  TLogger Logger;
  TScreenLog Screen;
  TStats Statistics;
  TMinuteCounts MessageMinutes;
  TMetrics Metrics{kVersionString};
  TConnectionCounters Counters;
  TConnectionRegistry Registry;

  TSettingsModel Model;

  std::string ServerIdentText;
  std::string AboutReplyText;
  std::string LQuiboStart;
  std::string LQuiboCleared;

  TEventQueue::TTimerId HourlyTimer;
  int UpdateHours = 161;
  bool ClosedDown = false;
  TFormView* View = nullptr;
  TFormConsole* Console = nullptr;

  TClamdPool ClamdConnections; // before the background jobs, whose scanner test uses it
  TRspamdClients RspamdConnections;
  TBackgroundJobs BackgroundJobs;
  TPolicyLists Lists;

  TTlsIdentity ServerTls;
  TRelayPool RelayConnections;
  THostNameCache PeerHostNames;
  TMemoryTrim MessageMemoryTrim;
  TListenerControl ListenerControl; // its listener's connection threads use everything above
  // After the listener, which its thread reads; only reads.
  TMetricsEndpoint MetricsEndpoint{{[this] { return MetricsText(); }, [this] { return ListenerControl.Accepting(); }}};
  std::string MetricsListenInUse;
};

} // namespace quibo
