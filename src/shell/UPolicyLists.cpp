// TPolicyLists: adding, deleting and rewriting the entries of the policy
// lists, publishing the four that act at once, and the blacklist check on its
// background task. Window thread; the check's lookups on the task's thread.
#include "UPolicyLists.h"

#include "UPolicy.h"

#include <stdexcept>

namespace quibo {
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

TPolicyLists::TPolicyLists(TEventQueue& events, TLogger& log, TSettingsModel& settings, TStats& stats,
                           std::function<void(const std::string&)> reportError)
    : Events(events), Log(log), Settings(settings), Statistics(stats), ReportError(std::move(reportError)) {}

std::vector<std::string> TPolicyLists::Entries(TPolicyList list) const {
  const TSettings& editable = Settings.Editable();
  if (list != TPolicyList::Blacklists) return TextList(editable, list);
  std::vector<std::string> zones;
  for (const auto& zone : editable.LBBlacklists)
    zones.push_back(zone.Zone);
  return zones;
}

void TPolicyLists::Add(TPolicyList list, const std::string& text) {
  TSettings& editable = Settings.Editable();
  if (list == TPolicyList::Blacklists)
    editable.LBBlacklists.push_back({text, "1", Statistics.AddBlacklistServer(text)});
  else
    TextList(editable, list).push_back(text);
  if (ActsAtOnce(list)) Settings.PublishEditable();
}

void TPolicyLists::Delete(TPolicyList list, int index) {
  try {
    TSettings& editable = Settings.Editable();
    const size_t size =
        list == TPolicyList::Blacklists ? editable.LBBlacklists.size() : TextList(editable, list).size();
    if (index < 0 || static_cast<size_t>(index) >= size) {
      if (!ActsAtOnce(list)) return; // nothing selected: nothing removed
      throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    if (list == TPolicyList::Blacklists) {
      editable.LBBlacklists.erase(editable.LBBlacklists.begin() + index);
      Statistics.DeleteBlacklistServer(static_cast<size_t>(index));
    } else {
      auto& entries = TextList(editable, list);
      entries.erase(entries.begin() + index);
    }
    if (ActsAtOnce(list)) Settings.PublishEditable();
  } catch (const std::exception& failure) {
    ReportError(failure.what());
  }
}

void TPolicyLists::Rewrite(TPolicyList list, int index, const std::string& text) {
  if (ActsAtOnce(list)) return; // only the relay lists are edited in place
  auto& entries = TextList(Settings.Editable(), list);
  if (index >= 0 && static_cast<size_t>(index) < entries.size()) entries[static_cast<size_t>(index)] = text;
}

void TPolicyLists::CheckBlacklist(const std::string& address) {
  BlacklistCheck.Start([this, generation = Settings.Generation(), address](TCancellation&) {
    std::string label;
    try {
      const TPolicyContext context{*generation->Settings, *generation->Applied, Log, nullptr,
                                   TSettingsModel::DnsWaitMs(*generation->Settings)};
      const TBlacklistCheck check = CheckBlacklists(context, address, false);
      PostCounts(Events, check.Counts);
      label = check.Listed ? address + " listed on " + check.Found : address + " not listed";
    } catch (const std::exception& failure) {
      label = failure.what();
    }
    return std::function<void()>([this, label] { Label10 = label; });
  });
}

} // namespace quibo
