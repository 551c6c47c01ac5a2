// TForm1, the settings model: loading, saving and applying the INI file,
// publishing the editable record to the connection threads, and the hourly
// reload check. Window thread; connection threads only read what is published.
#include "UMain.h"

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

void TForm1::Publish(std::shared_ptr<const TAppliedSettings> applied, std::shared_ptr<const TForward> forwarders,
                     std::shared_ptr<const TTlsClientContext> outgoingTls) {
  if (applied) Listener.SetPerIpExempt(applied->LocalIps);
  Current.store(std::make_shared<const TSettingsGeneration>(
      TSettingsGeneration{std::make_shared<const TSettings>(EditableSettings), std::move(applied),
                          std::move(forwarders), std::move(outgoingTls)}));
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
  Publish(current->Applied, current->Forwarders, current->OutgoingTls);
}

void TForm1::SettingsEdited() { PublishSettings(); }

void TForm1::ThresholdEdited() {
  const auto current = Generation();
  auto applied = std::make_shared<TAppliedSettings>(*current->Applied);
  applied->Threshold = NormaliseThreshold(EditableSettings.ESpamThreshold);
  Publish(std::move(applied), current->Forwarders, current->OutgoingTls);
}

void TForm1::LoadSettings() {
  const TSettings previous = EditableSettings;
  std::vector<std::string> notices;
  EditableSettings = quibo::LoadSettings(TIniDocument::Load(IniPath()), {kVersionString, OwnHostName()}, &notices);
  ++SettingsLoads;
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
  // the threshold text may have been normalised too
  Publish(std::move(applied), std::move(forwarders), MakeOutgoingTls());
  RefreshTls();
  if (ListenSettingsChanged) StartListening(false);
  RefreshMetricsEndpoint();
}

std::filesystem::path TForm1::SettingsFile(const std::string& name) const {
  if (name.empty()) return {};
  const std::filesystem::path path(name);
  return path.is_absolute() ? path : Folder / path;
}

void TForm1::RefreshTls() {
  const std::string outcome =
      ServerTls.Refresh({SettingsFile(EditableSettings.TlsCertificate), SettingsFile(EditableSettings.TlsKey),
                         EditableSettings.TlsMinVersion == "1.3", EditableSettings.TlsSessionTickets});
  if (!outcome.empty()) Logger.WriteLog(outcome, true);
}

std::shared_ptr<const TTlsClientContext> TForm1::MakeOutgoingTls() {
  if (EditableSettings.OutgoingTls == "none") return nullptr;
  const auto trust = SettingsFile(EditableSettings.OutgoingTlsCaFile);
  try {
    return std::make_shared<const TTlsClientContext>(trust);
  } catch (const std::exception& failure) {
    Logger.WriteLog(std::string("Outgoing TLS: ") + failure.what(), true);
  }
  if (EditableSettings.OutgoingTls == "verify") return nullptr; // nothing to verify against: no relay goes out
  try {
    return std::make_shared<const TTlsClientContext>(std::filesystem::path());
  } catch (const std::exception&) {
    return nullptr;
  }
}

void TForm1::CheckSettingsReload() {
  RefreshTls(); // a renewed certificate is taken without a change of the settings
  const auto fileTime = ModificationTime(IniPath());
  if (fileTime <= SettingsFileTime) return;
  SettingsFileTime = fileTime;
  LoadSettings();
  ApplySettings();
  Logger.WriteLog("Reloaded settings file", true);
}

} // namespace quibo
