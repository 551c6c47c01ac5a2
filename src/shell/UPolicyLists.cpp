// TPolicyLists: adding, deleting and rewriting the entries of the policy
// lists, publishing the four that act at once, and the blacklist check on its
// background task. Window thread; the check's lookups on the task's thread.
#include "UPolicyLists.h"

#include "UAddress.h"
#include "UFunctions.h"
#include "UPolicy.h"

#include <algorithm>
#include <cctype>
#include <set>
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

std::string TPolicyLists::EntryProblem(TPolicyList list, const std::string& entry) {
  constexpr size_t kLongest = 253;
  if (entry.empty()) return "an empty entry";
  if (entry.size() > kLongest) return "an entry longer than " + std::to_string(kLongest) + " characters";
  const auto only = [&entry](std::string_view allowed) {
    return std::all_of(entry.begin(), entry.end(), [allowed](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || allowed.find(c) != std::string_view::npos;
    });
  };
  switch (list) {
  case TPolicyList::ManualBlacklist:
  case TPolicyList::AllowedHosts: return IsIpText(entry) ? "" : "'" + PrintableText(entry) + "' is no IP address";
  case TPolicyList::LocalIps:
    return entry.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos
               ? ""
               : "'" + PrintableText(entry) + "' is no IP address or address prefix";
  case TPolicyList::LocalDomains:
  case TPolicyList::Blacklists:
    return only(".-_") && entry.front() != '-' ? "" : "'" + PrintableText(entry) + "' is no domain name";
  case TPolicyList::FromAddresses:
    return only(".-_@+=") ? "" : "'" + PrintableText(entry) + "' is no address or address ending";
  }
  return "an unknown list";
}

std::string TPolicyLists::ListProblem(TPolicyList list, const std::vector<std::string>& entries) {
  constexpr size_t kMostEntries = 10000;
  if (entries.size() > kMostEntries) return "more than " + std::to_string(kMostEntries) + " entries";
  std::set<std::string> seen;
  for (const auto& entry : entries) {
    if (std::string problem = EntryProblem(list, entry); !problem.empty()) return problem;
    if (!seen.insert(Lowered(entry)).second) return "'" + entry + "' is listed twice";
  }
  return {};
}

void TPolicyLists::Replace(TPolicyList list, const std::vector<std::string>& entries) {
  TSettings& editable = Settings.Editable();
  if (list != TPolicyList::Blacklists) {
    TextList(editable, list) = entries;
  } else {
    // The zones and their statistics rows stay aligned: removed ones go by index, new ones are appended.
    for (size_t index = editable.LBBlacklists.size(); index-- > 0;)
      if (std::find(entries.begin(), entries.end(), editable.LBBlacklists[index].Zone) == entries.end()) {
        editable.LBBlacklists.erase(editable.LBBlacklists.begin() + static_cast<std::ptrdiff_t>(index));
        Statistics.DeleteBlacklistServer(index);
      }
    for (const auto& zone : entries)
      if (std::none_of(editable.LBBlacklists.begin(), editable.LBBlacklists.end(),
                       [&zone](const TBlacklistZone& kept) { return kept.Zone == zone; }))
        editable.LBBlacklists.push_back({zone, "1", Statistics.AddBlacklistServer(zone)});
  }
  if (ActsAtOnce(list)) Settings.PublishEditable();
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
