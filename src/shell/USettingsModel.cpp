// TSettingsModel: loading, saving and applying the INI file, publishing the
// editable record to the connection threads, the file-change check of the
// hourly reload, and the limits on settings values. Window thread.
#include "USettingsModel.h"

#include "UFunctions.h"
#include "UVersion.h"

#include <algorithm>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

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

size_t TSettingsModel::RecipientLimit(const TSettings& settings) {
  return static_cast<size_t>(std::max(kLeastRecipients, settings.MaxRecipients));
}

uint64_t TSettingsModel::MessageSizeLimitBytes(const TSettings& settings) {
  return static_cast<uint64_t>(std::max(0, settings.MaxMessageSize)) * 1024;
}

uint64_t TSettingsModel::SpillBytes(const TSettings& settings) {
  return static_cast<uint64_t>(settings.SpillSize) * 1024;
}

int TSettingsModel::ProxyHeaderWaitMs(const TSettings& settings) {
  return std::min(settings.ServerTimeout, kLongestProxyHeaderSeconds) * 1000;
}

int TSettingsModel::DnsWaitMs(const TSettings& settings) {
  return std::clamp(settings.DnsTimeout, 1, kLongestDnsWaitMs / 1000) * 1000;
}

int TSettingsModel::EndOfDataSeconds(const TSettings& settings) { return std::max(1, settings.EndOfDataTimeout); }

int TSettingsModel::TerminateWaitMs(const TSettings& settings) { return std::max(0, settings.TerminateWaitTime); }

TSettingsModel::TSettingsModel(fs::path programFolder, const std::string& programName, TLogger& log, TStats& stats)
    : Folder(std::move(programFolder)), Name(programName), Log(log), Statistics(stats) {}

void TSettingsModel::PublishDefaults() {
  Publish(std::make_shared<const TAppliedSettings>(), std::make_shared<const TForward>(), nullptr);
}

void TSettingsModel::Publish(std::shared_ptr<const TAppliedSettings> applied,
                             std::shared_ptr<const TForward> forwarders,
                             std::shared_ptr<const TTlsClientContext> outgoingTls) {
  if (Publishing) Publishing(EditableSettings, *applied);
  Current.store(std::make_shared<const TSettingsGeneration>(
      TSettingsGeneration{std::make_shared<const TSettings>(EditableSettings), std::move(applied),
                          std::move(forwarders), std::move(outgoingTls)}));
  auto& switches = Log.Switches();
  switches.MailLogging = EditableSettings.CBMailLogging;
  switches.Screen = EditableSettings.CBScreen;
  switches.Rotation = EditableSettings.CBLogFileRotation;
  switches.WindowSize = EditableSettings.SERotation;
  switches.DebugLevel = EditableSettings.DebugLevel;
  switches.ClearCountersOnRotate = EditableSettings.ClearCountersOnRotate;
  switches.AutoLearn = EditableSettings.CBAutoLearn;
}

void TSettingsModel::PublishEditable() {
  const auto current = Generation();
  Publish(current->Applied, current->Forwarders, current->OutgoingTls);
}

void TSettingsModel::ThresholdEdited() {
  const auto current = Generation();
  auto applied = std::make_shared<TAppliedSettings>(*current->Applied);
  applied->Threshold = NormaliseThreshold(EditableSettings.ESpamThreshold);
  Publish(std::move(applied), current->Forwarders, current->OutgoingTls);
}

bool TSettingsModel::Load() {
  const TSettings previous = EditableSettings;
  std::vector<std::string> notices;
  EditableSettings = LoadSettings(TIniDocument::Load(IniPath()), {kVersionString, OwnHostName()}, &notices);
  ++Loads;
  const bool listenChanged =
      EditableSettings.CBIp1 != previous.CBIp1 || EditableSettings.EListenPort != previous.EListenPort;
  Statistics.ClearBlacklistServers();
  for (auto& zone : EditableSettings.LBBlacklists)
    zone.StatId = Statistics.AddBlacklistServer(zone.Zone);
  PublishEditable();
  FileTime = ModificationTime(IniPath());
  for (const auto& notice : notices)
    Log.WriteLog(notice, true);
  // The lifetime totals are the file's plus what this run counted: the file
  // is read once, when saving is first on (at start, or by a later reload).
  if (EditableSettings.CBSaveStats && !StatFileLoaded) {
    Statistics.LoadStatFile(StatPath());
    StatFileLoaded = true;
  }
  return listenChanged;
}

void TSettingsModel::Save() {
  TIniDocument file = TIniDocument::Load(IniPath());
  SaveSettings(EditableSettings, file);
  file.Save(IniPath());
  FileTime = ModificationTime(IniPath());
}

void TSettingsModel::Apply() {
  auto applied = std::make_shared<const TAppliedSettings>(ApplySettings(EditableSettings));
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
      Log.WriteLog(notice, true);
  }
  // the threshold text may have been normalised too
  Publish(std::move(applied), std::move(forwarders), MakeOutgoingTls());
}

bool TSettingsModel::FileChanged() {
  const auto fileTime = ModificationTime(IniPath());
  if (fileTime <= FileTime) return false;
  FileTime = fileTime;
  return true;
}

fs::path TSettingsModel::SettingsFile(const std::string& name) const {
  if (name.empty()) return {};
  const fs::path path(name);
  return path.is_absolute() ? path : Folder / path;
}

std::shared_ptr<const TTlsClientContext> TSettingsModel::MakeOutgoingTls() {
  if (EditableSettings.OutgoingTls == "none") return nullptr;
  const auto trust = SettingsFile(EditableSettings.OutgoingTlsCaFile);
  try {
    return std::make_shared<const TTlsClientContext>(trust);
  } catch (const std::exception& failure) {
    Log.WriteLog(std::string("Outgoing TLS: ") + failure.what(), true);
  }
  if (EditableSettings.OutgoingTls == "verify") return nullptr; // nothing to verify against: no relay goes out
  try {
    return std::make_shared<const TTlsClientContext>(fs::path());
  } catch (const std::exception&) {
    return nullptr;
  }
}

} // namespace quibo
