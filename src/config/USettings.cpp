#include "USettings.h"

#include <charconv>
#include <variant>

namespace quibo {

int ToIntDef(const std::string& text, int fallback) {
  const std::string value = Trimmed(text);
  const char* begin = value.data();
  if (!value.empty() && value[0] == '+') ++begin;
  int result = 0;
  const auto [end, error] = std::from_chars(begin, value.data() + value.size(), result);
  if (error != std::errc{} || end != value.data() + value.size() || begin == end) return fallback;
  return result;
}

double NormaliseThreshold(std::string& text) {
  for (auto& c : text)
    if (c == ',') c = '.';
  const std::string value = Trimmed(text);
  double result = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
  if (value.empty() || error != std::errc{} || end != value.data() + value.size()) return 5.0;
  return result;
}

bool IsIPv4Text(const std::string& text) {
  const std::string value = Trimmed(text);
  size_t start = 0;
  for (int piece = 0; piece < 4; ++piece) {
    if (piece > 0) {
      if (start >= value.size() || value[start - 1] != '.') return false;
    }
    size_t end = value.find('.', start);
    if (end == std::string::npos) end = value.size();
    const std::string digits = value.substr(start, end - start);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    if (std::stoi(digits) > 255) return false;
    start = end + 1;
  }
  return true;
}

namespace {

// One entry per key: where it lives, which field holds it, whether the program
// writes it (file-only keys are the operator's), and the name it is written under.
struct TKey {
  const char* Section;
  const char* Name;
  std::variant<std::string TSettings::*, int TSettings::*, bool TSettings::*> Field;
  bool Written = true;
  const char* WrittenName = nullptr;
};

const TKey kKeys[] = {
    {"Settings", "ListenIP", &TSettings::CBIp1},
    {"Settings", "ListenPort", &TSettings::EListenPort},
    {"Settings", "OutgoingIP", &TSettings::EOutgoingIP},
    {"Settings", "OutgoingPort", &TSettings::EOutgoingPort},
    {"Settings", "DnsIP", &TSettings::EDNSIp},
    {"Settings", "NewSubject", &TSettings::ESubject},
    {"Settings", "MailForwardAddress", &TSettings::EForward},
    {"Settings", "ModifySubject", &TSettings::RBPass},
    {"Settings", "Forward", &TSettings::RBForward},
    {"Settings", "RelayLocalOnly", &TSettings::CBRelayLocalDomain},
    {"Settings", "RelayLocalOnlyIp", &TSettings::CBRelayLocalIp, true, "RelayLocalOnlyIP"},
    {"Settings", "ClearCountersOnRotate", &TSettings::ClearCountersOnRotate, false},
    {"Settings", "MultipleMailForwarding", &TSettings::CBMultiMail},
    {"Settings", "CopyMsgIfWhiteListed", &TSettings::CBCopyIfWhitelisted},
    {"Settings", "CopyMsgIfBlackListed", &TSettings::CBCopyIfBlacklisted},
    {"Settings", "AllowEmptyMailFrom", &TSettings::AllowEmptyMailFrom, false},
    {"Settings", "MailHostName", &TSettings::MailHostName, false},
    {"Settings", "Welcome", &TSettings::Welcome, false},
    {"Settings", "SaveStatistics", &TSettings::CBSaveStats},
    {"Settings", "MaxConnections", &TSettings::MaxConnections, false},
    {"Settings", "DnsTimeout", &TSettings::DnsTimeout, false},
    {"Settings", "DnsPort", &TSettings::DnsPort, false},
    {"Settings", "ServerTimeout", &TSettings::ServerTimeout, false},
    {"Settings", "TerminateWaitTime", &TSettings::TerminateWaitTime, false},
    {"Settings", "MaxMessageSize", &TSettings::MaxMessageSize, false},
    {"Settings", "ForwardTimeout", &TSettings::ForwardTimeout, false},
    {"Settings", "EndOfDataTimeout", &TSettings::EndOfDataTimeout, false},
    {"Settings", "DeferUncheckedMail", &TSettings::DeferUncheckedMail, false},
    {"Settings", "UpdateServer", &TSettings::UpdateServer, false},
    {"VirusCheck", "VirusProgram", &TSettings::EVirusProgram},
    {"VirusCheck", "DoVirusCheck", &TSettings::CBVirusScan},
    {"VirusCheck", "VirusCheckTimeOut", &TSettings::VirusCheckTimeOut, false},
    {"VirusCheck", "ResultCode", &TSettings::SEVirusErrorlevel},
    {"Heurastic", "DoHeurastic", &TSettings::CBHeurastic},
    {"Heurastic", "Forward", &TSettings::CBHeurasticForward},
    {"Heurastic", "MailForwardAddress", &TSettings::EHeurasticForward},
    {"Heurastic", "ModifySubject", &TSettings::CBHeurasticSubject},
    {"Heurastic", "NewSubject", &TSettings::EHeurasticSubject},
    {"Heurastic", "Threshold", &TSettings::ESpamThreshold},
    {"Heurastic", "DropScore", &TSettings::SEDropThreshold},
    {"Heurastic", "DropAtScore", &TSettings::CBDropScore},
    {"Heurastic", "MaxMailSize", &TSettings::SEHeurasticMaxSize},
    {"Heurastic", "HeurasticCheckTimeOut", &TSettings::HeurasticCheckTimeOut, false},
    {"Heurastic", "AutoLearnAtRotate", &TSettings::CBAutoLearn},
    {"Heurastic", "DeleteFilesAfterLearn", &TSettings::CBDeleteAfterLearn},
    {"Heurastic", "Multidomainprefix", &TSettings::Multidomainprefix, false},
    {"Debug", "Acceptance", &TSettings::CBMailLogging},
    {"Debug", "SMTPServer", &TSettings::CBServerLogging},
    {"Debug", "SMTPClient", &TSettings::CBClientLogging},
    {"Debug", "LogScreen", &TSettings::CBScreen},
    {"Debug", "LogFileRotation", &TSettings::CBLogFileRotation},
    {"Debug", "LogFileWindowSize", &TSettings::SERotation},
    {"Debug", "KeepTempFiles", &TSettings::KeepTempFiles, false},
    {"Debug", "Debug", &TSettings::DebugLevel, false},
};

// A value read from the file into its field; a bad value leaves the default.
struct TReadValue {
  TSettings& Target;
  const std::string& Value;
  void operator()(std::string TSettings::*field) const { Target.*field = Value; }
  void operator()(int TSettings::*field) const { Target.*field = ToIntDef(Value, Target.*field); }
  void operator()(bool TSettings::*field) const { Target.*field = ToIntDef(Value, Target.*field ? 1 : 0) != 0; }
};

// A field as the file holds it: booleans as "1" and "0".
struct TWrittenValue {
  const TSettings& Source;
  std::string operator()(std::string TSettings::*field) const { return Source.*field; }
  std::string operator()(int TSettings::*field) const { return std::to_string(Source.*field); }
  std::string operator()(bool TSettings::*field) const { return Source.*field ? "1" : "0"; }
};

std::vector<std::string> SplitComma(const std::string& text) {
  std::vector<std::string> cells;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    cells.push_back(Trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) return cells;
    start = comma + 1;
  }
}

void WriteList(TIniDocument& file, const std::string& section, const std::vector<std::string>& entries) {
  file.EraseSection(section);
  for (size_t i = 0; i < entries.size(); ++i)
    file.Write(section, std::to_string(i), entries[i]);
}

std::vector<TBlacklistZone> ReadBlacklists(const TIniDocument& file) {
  std::vector<TBlacklistZone> zones;
  for (const auto& entry : file.SectionValues("Blacklists")) {
    const auto cells = SplitComma(entry);
    if (cells[0].empty()) continue;
    const bool reverse = cells.size() < 2 || cells[1].find('1') != std::string::npos;
    zones.push_back({cells[0], reverse ? "1" : "0"});
  }
  return zones;
}

std::vector<TForwardRow> ReadForwardRows(const TIniDocument& file) {
  std::vector<TForwardRow> rows;
  for (const auto& entry : file.SectionValues("Forward")) {
    auto cells = SplitComma(entry);
    cells.resize(std::max<size_t>(cells.size(), 3));
    rows.push_back({cells[0], cells[1], cells[2]});
  }
  return rows;
}

} // namespace

TSettings LoadSettings(const TIniDocument& file, const TSettingsDefaults& defaults) {
  TSettings s;
  s.MailHostName = defaults.MailHostName;
  s.Welcome = "Welcome to Quibo Dederazu " + defaults.Version;

  for (const auto& key : kKeys)
    if (const auto value = file.Read(key.Section, key.Name)) std::visit(TReadValue{s, *value}, key.Field);
  if (s.RBPass && s.RBForward) s.RBForward = false; // radio buttons: one at most

  s.LBBlacklists = ReadBlacklists(file);
  s.LBManualBlacklist = file.SectionValues("ManualBlacklist");
  s.LBWhiteList = file.SectionValues("AllowedHosts");
  s.LBFromAddresses = file.SectionValues("FromAddresses");
  s.LBLocalDomain = file.SectionValues("LocalDomains");
  s.LBLocalIP = file.SectionValues("LocalIp");
  s.DistributeGrid = ReadForwardRows(file);
  return s;
}

void SaveSettings(const TSettings& s, TIniDocument& file) {
  for (const auto& key : kKeys)
    if (key.Written)
      file.Write(key.Section, key.WrittenName ? key.WrittenName : key.Name, std::visit(TWrittenValue{s}, key.Field));

  std::vector<std::string> zones;
  for (const auto& zone : s.LBBlacklists)
    zones.push_back(zone.Flag == "1" ? zone.Zone : zone.Zone + ",0");
  WriteList(file, "Blacklists", zones);
  WriteList(file, "ManualBlacklist", s.LBManualBlacklist);
  WriteList(file, "AllowedHosts", s.LBWhiteList);
  WriteList(file, "FromAddresses", s.LBFromAddresses);
  WriteList(file, "LocalDomains", s.LBLocalDomain);
  WriteList(file, "LocalIP", s.LBLocalIP);

  file.EraseSection("Forward");
  for (size_t i = 0; i < s.DistributeGrid.size(); ++i) {
    const auto& row = s.DistributeGrid[i];
    if (Trimmed(row.Domain).empty() || !IsIPv4Text(row.Server)) continue;
    file.Write("Forward", std::to_string(i + 2), row.Domain + "," + row.Server + "," + row.Port);
  }
}

TAppliedSettings ApplySettings(TSettings& s) {
  TAppliedSettings applied;
  applied.OutgoingServer = s.EOutgoingIP;
  applied.OutgoingPort = ToIntDef(s.EOutgoingPort, 26);
  applied.DnsServer = s.EDNSIp;
  applied.LocalDomains = s.LBLocalDomain;
  applied.LocalIps = s.LBLocalIP;
  applied.VirusCheck = s.CBVirusScan;
  applied.VirusProgram = s.EVirusProgram;
  applied.VirusResultCode = s.SEVirusErrorlevel;
  applied.Heurastic = s.CBHeurastic;
  applied.HeurasticSubject = s.EHeurasticSubject;
  applied.DropScore = s.SEDropThreshold;
  applied.MaxMailBytes = static_cast<long>(s.SEHeurasticMaxSize) * 1024;
  applied.Threshold = NormaliseThreshold(s.ESpamThreshold);
  return applied;
}

} // namespace quibo
