// TSettingsModel: every copy of the settings the running filter holds - the
// editable record the window's controls change, and the published generation
// (settings, applied copy, forwarding table, outgoing TLS) that connection
// threads read - with the INI file they come from and go to, and the limits
// the running filter puts on values the settings table lets through.
// Called by TForm1 and the parts it owns (listener control, policy lists,
// background jobs). Load, Save, Apply and every change of the editable record
// run on the window thread; Generation and the limits may be read on any
// thread. Loading never fails (notices are logged); Save throws
// std::system_error when the file cannot be written.
#pragma once

#include "UForward.h"
#include "ULog.h"
#include "UPublished.h"
#include "USettings.h"
#include "UStats.h"
#include "UTls.h"

#include <cstdint>
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
  // TLS towards the next servers: nullptr when OutgoingTls is "none", or "verify" without its trust store.
  std::shared_ptr<const TTlsClientContext> OutgoingTls;
};

class TSettingsModel {
public:
  // What every mail server must take per transaction, whatever MaxRecipients says.
  static constexpr int kLeastRecipients = 100;
  // A balancer sends its PROXY header with the connection: ServerTimeout, but at most this.
  static constexpr int kLongestProxyHeaderSeconds = 5;
  // A DNS blacklist that has not answered by then will not: DnsTimeout, but at most this.
  static constexpr int kLongestDnsWaitMs = 10000;

  static size_t RecipientLimit(const TSettings& settings);
  static uint64_t MessageSizeLimitBytes(const TSettings& settings);
  static uint64_t SpillBytes(const TSettings& settings);
  static int ProxyHeaderWaitMs(const TSettings& settings);
  static int DnsWaitMs(const TSettings& settings);
  // EndOfDataTimeout, at least a second.
  static int EndOfDataSeconds(const TSettings& settings);
  // TerminateWaitTime, never negative.
  static int TerminateWaitMs(const TSettings& settings);

  // Runs on the window thread before each publication: the listener's limits follow the settings.
  // The log switches follow them too, set by the model itself.
  using TPublishHook = std::function<void(const TSettings& editable, const TAppliedSettings& applied)>;

  TSettingsModel(std::filesystem::path programFolder, const std::string& programName, TLogger& log, TStats& stats);
  void SetPublishHook(TPublishHook hook) { Publishing = std::move(hook); }

  TSettings& Editable() { return EditableSettings; }
  const TSettings& Editable() const { return EditableSettings; }
  std::shared_ptr<const TSettingsGeneration> Generation() const { return Current.load(); }

  // Reads the INI file into the editable record and publishes it; true when the listen address or port changed.
  bool Load();
  void Save();
  // Applies the editable record: a new applied copy, forwarding table and outgoing TLS, published together.
  void Apply();
  // True (once) when the INI file changed since it was last loaded or saved.
  bool FileChanged();
  // Publishes the editable record with the applied copy in use.
  void PublishEditable();
  // "," becomes "." in the threshold field and the number acts at once.
  void ThresholdEdited();
  // The first generation, before any load: defaults, an empty forwarding table.
  void PublishDefaults();

  uint64_t LoadCount() const { return Loads; }
  const std::vector<std::string>& ForwardServerChoices() const { return ServerChoices; }
  std::filesystem::path IniPath() const { return Folder / (Name + ".ini"); }
  std::filesystem::path StatPath() const { return Folder / (Name + ".stat"); }
  // A file the settings name: relative names are in the program folder; empty stays empty.
  std::filesystem::path SettingsFile(const std::string& name) const;

private:
  void Publish(std::shared_ptr<const TAppliedSettings> applied, std::shared_ptr<const TForward> forwarders,
               std::shared_ptr<const TTlsClientContext> outgoingTls);
  std::shared_ptr<const TTlsClientContext> MakeOutgoingTls();

  std::filesystem::path Folder;
  std::string Name;
  TLogger& Log;
  TStats& Statistics;
  TPublishHook Publishing;

  TSettings EditableSettings;
  TPublished<TSettingsGeneration> Current;
  std::vector<std::string> ServerChoices;
  std::filesystem::file_time_type FileTime{};
  uint64_t Loads = 0;
  bool StatFileLoaded = false; // the lifetime totals hold the .stat file's
};

} // namespace quibo
