// TForm1, the policy lists of the list pages: adding, deleting and rewriting
// entries (the four host and sender lists act at once, the relay lists at the
// next apply) and the Debug page's blacklist check, which runs its lookups on
// a background task. Window thread; failures are logged as "Unhandled
// Exception: ...".
#include "UMain.h"

#include "UPolicy.h"

#include <stdexcept>

namespace quibo {
namespace fs = std::filesystem;

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
  if (list != TPolicyList::Blacklists) return TextList(Model.Editable(), list);
  std::vector<std::string> zones;
  for (const auto& zone : Model.Editable().LBBlacklists)
    zones.push_back(zone.Zone);
  return zones;
}

void TForm1::AddListEntry(TPolicyList list, const std::string& text) {
  if (list == TPolicyList::Blacklists)
    Model.Editable().LBBlacklists.push_back({text, "1", Statistics.AddBlacklistServer(text)});
  else
    TextList(Model.Editable(), list).push_back(text);
  if (ActsAtOnce(list)) Model.PublishEditable();
}

void TForm1::DeleteListEntry(TPolicyList list, int index) {
  try {
    const size_t size = list == TPolicyList::Blacklists ? Model.Editable().LBBlacklists.size()
                                                        : TextList(Model.Editable(), list).size();
    if (index < 0 || static_cast<size_t>(index) >= size) {
      if (!ActsAtOnce(list)) return; // nothing selected: nothing removed
      throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    if (list == TPolicyList::Blacklists) {
      Model.Editable().LBBlacklists.erase(Model.Editable().LBBlacklists.begin() + index);
      Statistics.DeleteBlacklistServer(static_cast<size_t>(index));
    } else {
      auto& entries = TextList(Model.Editable(), list);
      entries.erase(entries.begin() + index);
    }
    if (ActsAtOnce(list)) Model.PublishEditable();
  } catch (const std::exception& failure) {
    ReportError(failure.what());
  }
}

void TForm1::RewriteListEntry(TPolicyList list, int index, const std::string& text) {
  if (ActsAtOnce(list)) return; // only the relay lists are edited in place
  auto& entries = TextList(Model.Editable(), list);
  if (index >= 0 && static_cast<size_t>(index) < entries.size()) entries[static_cast<size_t>(index)] = text;
}

TPolicyContext TForm1::PolicyContext(const TSettingsGeneration& generation) {
  return {*generation.Settings, *generation.Applied, Logger, nullptr,
          [this](int event, long argument, long argument2) { Events.Post(event, argument, argument2); }};
}

void TForm1::CheckBlacklist(const std::string& address) {
  BlacklistCheck.Start([this, generation = Generation(), address](TCancellation&) {
    std::string label;
    try {
      std::string found;
      const bool listed = CheckBlacklists(PolicyContext(*generation), address, found, false);
      label = listed ? address + " listed on " + found : address + " not listed";
    } catch (const std::exception& failure) {
      label = failure.what();
    }
    return std::function<void()>([this, label] { Label10 = label; });
  });
}

} // namespace quibo
