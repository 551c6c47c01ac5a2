// TForm1: the application object. Owns the settings, the log writers, the
// statistics, the connection registry and the listener; runs the start-up
// and close sequences, the listener lifecycle (start, operator stop, forced
// disconnect), the settings load/save/apply with the hourly reload, and
// handles the posted events and timers. Everything here runs on the window
// thread, except the session hooks (UConnectionEvents), which run on
// connection threads and only read published snapshots or post events.
// Failures are logged; none ends the program. The definitions live in
// UMain.cpp (start-up, events, close) and one UMain*.cpp per part, named in
// the groups below.
#pragma once

#include "UClock.h"
#include "UEventQueue.h"
#include "UForward.h"
#include "UHeurastic.h"
#include "ULog.h"
#include "UPolicy.h"
#include "UScreenLog.h"
#include "USettings.h"
#include "USmtpListener.h"
#include "UStats.h"
#include "UThreadController.h"
#include "UVisibleCriticalSection.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quibo {

// One settings generation: the editable settings as published, the applied
// copy and the forwarding table that belong with them. A transaction takes
// one at its MAIL and keeps it to its end.
struct TSettingsGeneration {
  std::shared_ptr<const TSettings> Settings;
  std::shared_ptr<const TAppliedSettings> Applied;
  std::shared_ptr<const TForward> Forwarders;
};

// The operator's policy lists. The first four act at once; the relay lists at the next apply.
enum class TPolicyList { Blacklists, ManualBlacklist, AllowedHosts, FromAddresses, LocalDomains, LocalIps };

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
  // Stops listening with a forced disconnect of every connection.
  void Close();
  // Desktop close request: ask answers yes (true) or no to a question.
  bool CloseQuery(const std::function<bool(const std::string&)>& ask);

  TEventQueue& EventQueue() { return Events; }
  void HandleEvent(const TEvent& event);

  // Listener control (UMainListener.cpp).
  void StartListening(bool stopOnly);
  void ForceDisconnectAll();
  void Button6Click(); // operator start/stop
  void StopTimerFired();
  const std::string& Button6Caption() const { return StartStopCaption; }
  bool StopTimerEnabled() const { return Events.TimerEnabled(StopTimer); }

  // Settings model (UMainSettings.cpp).
  void LoadSettings();
  void SaveSettings();
  void ApplySettings();
  void CheckSettingsReload(); // the hourly tick, SIGHUP and the "Reset " button
  TSettings& Editable() { return EditableSettings; }
  void SettingsEdited(); // publishes the editable record after an operator change
  void SetListenSettingsChanged() { ListenSettingsChanged = true; }
  std::shared_ptr<const TSettingsGeneration> Generation() const { return Current.load(); }
  std::shared_ptr<const TSettings> Settings() const { return Generation()->Settings; }
  std::shared_ptr<const TAppliedSettings> Applied() const { return Generation()->Applied; }
  std::vector<std::string> ListenChoices() const { return IpChoices; }
  std::shared_ptr<const TForward> Forwarders() const { return Generation()->Forwarders; }

  // Policy lists (UMainLists.cpp). The list pages: "Add" appends the text as it is; "Del"/"Remove" removes
  // the selected entry (index; -1 when nothing is selected, which is an error
  // for the four lists that act at once, logged as "Unhandled Exception: ...").
  // A blacklist zone comes and goes with its flag and its statistics row.
  void AddListEntry(TPolicyList list, const std::string& text);
  void DeleteListEntry(TPolicyList list, int index);
  // Typing in the field of a relay list with an entry selected rewrites it.
  void RewriteListEntry(TPolicyList list, int index, const std::string& text);
  std::vector<std::string> ListEntries(TPolicyList list) const; // zones without their flags
  // The Debug page's blacklist "Check": the result label's text.
  std::string CheckBlacklist(const std::string& address);
  const std::string& BlacklistCheckLabel() const { return Label10; }
  const std::vector<std::string>& ForwardServerChoices() const { return ServerChoices; }

  // Classifier page (UMainLearning.cpp) and scanner test (UMainScanner.cpp).
  void LearnNow(); // "Learn now", and after midnight with autolearning on
  const std::string& HamLearnLabel() const { return LblHam; }
  const std::string& SpamLearnLabel() const { return LblSpam; }
  TClassifierStatistics RenewHeurasticStatistics();
  std::vector<std::string> VirusCheckTest(const std::filesystem::path& file);

  // "Threads", Status and Statistics pages (UMainCounters.cpp).
  void TerminateConnection(int index);
  std::string ThreadDetails(int index) const { return Registry.ThreadDetails(index); }
  std::string ActiveConnections() const { return Registry.ActiveConnectionsText(); }

  void ResetConnectionCounters(); // the "Reset " button
  void ResetCounters();           // "Reset Counters": the lifetime totals stay
  const std::string& LastClearedText() const { return LQuiboCleared; }
  const TScreenLog& ScreenLog() const { return Screen; }
  const TConnectionCounters& ConnectionCounters() const { return Counters; }
  const TStats& Stats() const { return Statistics; }
  void SetDebugBox(bool checked) { Logger.Switches().DebugBox = checked; }

  // Used by the connection threads.
  TLogger& Log() { return Logger; }
  TConnectionRegistry& Connections() { return Registry; }
  const std::filesystem::path& ProgramFolder() const { return Folder; }
  bool ForcedDisconnectInProgress() const { return ForcedDisconnect.load(); }
  void SessionEnded(); // posts the pending-stop check

  bool ServiceMode() const { return InServiceMode; }
  const TClock& Clock() const { return TimeSource; }
  const std::string& ServerIdent() const { return ServerIdentText; }
  const std::string& AboutReply() const { return AboutReplyText; }
  const std::string& StartTimeText() const { return LQuiboStart; }
  int ListeningPort() const { return Listener.BoundPort(); }
  std::filesystem::path IniPath() const { return Folder / (Name + ".ini"); }
  std::filesystem::path StatPath() const { return Folder / (Name + ".stat"); }

private:
  void RunSession(const std::shared_ptr<TLiveConnection>& connection);
  // Gives sessions between the end of a message's data and its reply up to
  // TerminateWaitTime to answer their senders before a stop cuts them.
  void WaitForMessagesInProgress();
  void RemoveUnfinishedMessages(); // start-up: message files of a killed run
  void PublishSettings();
  void Publish(std::shared_ptr<const TAppliedSettings> applied, std::shared_ptr<const TForward> forwarders);
  TPolicyContext PolicyContext(const TSettingsGeneration& generation);
  void ReportError(const std::string& message);
  std::string ListenAddress() const;
  bool ListensOnAll() const;
  void ProbeSocketInterface();
  TClassifierBridge Classifier();

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
  TConnectionCounters Counters;
  TConnectionRegistry Registry;

  TSettings EditableSettings;
  std::atomic<std::shared_ptr<const TSettingsGeneration>> Current;
  std::string Label10 = "not checked";
  std::vector<std::string> ServerChoices;
  std::string LblHam;
  std::string LblSpam;
  std::filesystem::file_time_type SettingsFileTime{};
  bool ListenSettingsChanged = true;
  std::vector<std::string> IpChoices;

  std::string ServerIdentText;
  std::string AboutReplyText;
  std::string LQuiboStart;
  std::string LQuiboCleared;

  bool StopRequested = false;
  std::atomic<bool> ForcedDisconnect{false};
  std::string StartStopCaption = "Stop listening";
  TEventQueue::TTimerId StopTimer;
  TEventQueue::TTimerId HourlyTimer;
  std::string BindAddress = "0.0.0.0";
  int BindPort = 25;

  TSmtpListener Listener; // last: its connection threads use everything above
};

} // namespace quibo
