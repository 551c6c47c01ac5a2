// TPolicyLists: the operator's policy lists as the list pages edit them - the
// blacklist zones, the manual blacklist, the allowed hosts and sender
// addresses (these four act at once: every change is published to the
// connection threads), and the local domains and addresses of the relay rule
// (these act at the next apply) - and the Debug page's blacklist check, whose
// lookups run on a background task. The entries live in the settings
// model's editable record; a zone comes and goes with its statistics row.
// Owned by TForm1; window thread. A delete with nothing selected is an error
// for the four lists that act at once, given to the error report.
#pragma once

#include "UBackgroundTask.h"
#include "UEventQueue.h"
#include "ULog.h"
#include "USettingsModel.h"
#include "UStats.h"

#include <functional>
#include <string>
#include <vector>

namespace quibo {

enum class TPolicyList { Blacklists, ManualBlacklist, AllowedHosts, FromAddresses, LocalDomains, LocalIps };

class TPolicyLists {
public:
  TPolicyLists(TEventQueue& events, TLogger& log, TSettingsModel& settings, TStats& stats,
               std::function<void(const std::string&)> reportError);

  // "Add" appends the text as it is, also an empty text or a duplicate.
  void Add(TPolicyList list, const std::string& text);
  // "Del"/"Remove" removes the entry at index (-1: nothing selected).
  void Delete(TPolicyList list, int index);
  // Typing in the field of a relay list with an entry selected rewrites it.
  void Rewrite(TPolicyList list, int index, const std::string& text);
  std::vector<std::string> Entries(TPolicyList list) const; // zones without their flags
  // Why an entry cannot stand in a list (an address, a prefix, a domain or zone, a sender pattern); "" when it can.
  static std::string EntryProblem(TPolicyList list, const std::string& entry);
  // The first problem of a whole list: a bad entry, a repeated one, too many; "" when there is none.
  static std::string ListProblem(TPolicyList list, const std::vector<std::string>& entries);
  // The whole list at once (the web console): zones kept keep their flag and statistics row, new ones are
  // appended. Published like the edits of the pages; the caller has checked every entry.
  void Replace(TPolicyList list, const std::vector<std::string>& entries);

  // The blacklist "Check": the result label (Label10) gets its text when the lookups are done.
  void CheckBlacklist(const std::string& address);
  bool BlacklistCheckRunning() const { return BlacklistCheck.Running(); }
  const std::string& BlacklistCheckLabel() const { return Label10; }
  // At close: ends a check in progress and refuses later ones.
  void Cancel() { BlacklistCheck.Cancel(); }

private:
  TEventQueue& Events;
  TLogger& Log;
  TSettingsModel& Settings;
  TStats& Statistics;
  std::function<void(const std::string&)> ReportError;
  std::string Label10 = "not checked";
  TBackgroundTask BlacklistCheck{Events};
};

} // namespace quibo
