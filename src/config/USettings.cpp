#include "USettings.h"

#include "UAddress.h"

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

int PortOrDefault(const std::string& text, int fallback) {
  const int port = ToIntDef(text, -1);
  return port >= 0 && port <= 65535 ? port : fallback;
}

double NormaliseThreshold(std::string& text) {
  for (auto& c : text)
    if (c == ',') c = '.';
  double result = 0;
  return ParseDecimal(text, result) ? result : 5.0;
}

namespace {

// A whole-number field with the values it may take. Time-outs start at 1:
// 0 or less would mean waiting for ever.
struct TWholeNumber {
  int TSettings::*Field;
  int Minimum;
  int Maximum;
};

// A text field that takes one of a few words (compared without case); any
// other value leaves the default.
struct TChoice {
  std::string TSettings::*Field;
  std::vector<std::string> Allowed;
};

// One entry per key: where it lives, which field holds it, whether the program
// writes it (file-only keys are the operator's), and the name it is written under.
struct TKey {
  const char* Section;
  const char* Name;
  std::variant<std::string TSettings::*, TWholeNumber, bool TSettings::*, TChoice> Field;
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
    {"Settings", "MaxConnections", TWholeNumber{&TSettings::MaxConnections, 0, 1000000}, false},
    {"Settings", "MaxConnectionsPerIp", TWholeNumber{&TSettings::MaxConnectionsPerIp, 0, 1000000}, false},
    {"Settings", "MaxRecipients", TWholeNumber{&TSettings::MaxRecipients, 1, 1000000}, false},
    {"Settings", "DnsTimeout", TWholeNumber{&TSettings::DnsTimeout, 1, 3600}, false},
    {"Settings", "DnsPort", TWholeNumber{&TSettings::DnsPort, 1, 65535}, false},
    {"Settings", "ServerTimeout", TWholeNumber{&TSettings::ServerTimeout, 1, 86400}, false},
    {"Settings", "TerminateWaitTime", TWholeNumber{&TSettings::TerminateWaitTime, 0, 600000}, false},
    {"Settings", "MaxMessageSize", TWholeNumber{&TSettings::MaxMessageSize, 1, 2097152}, false},
    {"Settings", "MaxHeaderSize", TWholeNumber{&TSettings::MaxHeaderSize, 1, 102400}, false},
    {"Settings", "SpillSize", TWholeNumber{&TSettings::SpillSize, 0, 1048576}, false},
    {"Settings", "ForwardTimeout", TWholeNumber{&TSettings::ForwardTimeout, 1, 86400}, false},
    {"Settings", "EndOfDataTimeout", TWholeNumber{&TSettings::EndOfDataTimeout, 1, 86400}, false},
    {"Settings", "DeferUncheckedMail", &TSettings::DeferUncheckedMail, false},
    {"Settings", "RecipientCheck", TChoice{&TSettings::RecipientCheck, {"live", "end"}}, false},
    {"Settings", "MaxRefusedRecipients", TWholeNumber{&TSettings::MaxRefusedRecipients, 1, 1000000}, false},
    {"Settings", "UpdateServer", &TSettings::UpdateServer, false},
    {"Settings", "TlsCertificate", &TSettings::TlsCertificate, false},
    {"Settings", "TlsKey", &TSettings::TlsKey, false},
    {"Settings", "TlsMinVersion", TChoice{&TSettings::TlsMinVersion, {"1.2", "1.3"}}, false},
    {"Settings", "TlsSessionTickets", &TSettings::TlsSessionTickets, false},
    {"Settings", "OutgoingTls", TChoice{&TSettings::OutgoingTls, {"none", "may", "encrypt", "verify"}}, false},
    {"Settings", "OutgoingTlsCaFile", &TSettings::OutgoingTlsCaFile, false},
    {"Settings", "MetricsListen", &TSettings::MetricsListen, false},
    {"Settings", "ConsoleListen", &TSettings::ConsoleListen, false},
    {"Settings", "ConsoleUser", &TSettings::ConsoleUser, false},
    {"Settings", "ConsolePassword", &TSettings::ConsolePassword, false},
    {"Settings", "ConsoleTls", &TSettings::ConsoleTls, false},
    {"VirusCheck", "VirusProgram", &TSettings::EVirusProgram},
    {"VirusCheck", "DoVirusCheck", &TSettings::CBVirusScan},
    {"VirusCheck", "VirusCheckTimeOut", TWholeNumber{&TSettings::VirusCheckTimeOut, 1, 86400000}, false},
    {"VirusCheck", "ResultCode", TWholeNumber{&TSettings::SEVirusErrorlevel, -1, 258}},
    {"VirusCheck", "ClamdSocket", &TSettings::ClamdSocket, false},
    {"Heurastic", "DoHeurastic", &TSettings::CBHeurastic},
    {"Heurastic", "Forward", &TSettings::CBHeurasticForward},
    {"Heurastic", "MailForwardAddress", &TSettings::EHeurasticForward},
    {"Heurastic", "ModifySubject", &TSettings::CBHeurasticSubject},
    {"Heurastic", "NewSubject", &TSettings::EHeurasticSubject},
    {"Heurastic", "Threshold", &TSettings::ESpamThreshold},
    {"Heurastic", "DropScore", TWholeNumber{&TSettings::SEDropThreshold, -1000000, 1000000}},
    {"Heurastic", "DropAtScore", &TSettings::CBDropScore},
    {"Heurastic", "MaxMailSize", TWholeNumber{&TSettings::SEHeurasticMaxSize, 0, 2097152}},
    {"Heurastic", "HeurasticCheckTimeOut", TWholeNumber{&TSettings::HeurasticCheckTimeOut, 1, 86400000}, false},
    {"Heurastic", "AutoLearnAtRotate", &TSettings::CBAutoLearn},
    {"Heurastic", "DeleteFilesAfterLearn", &TSettings::CBDeleteAfterLearn},
    {"Heurastic", "Multidomainprefix", &TSettings::Multidomainprefix, false},
    {"Heurastic", "RspamdUrl", &TSettings::RspamdUrl, false},
    {"Heurastic", "RspamdActions", &TSettings::RspamdActions, false},
    {"Debug", "Acceptance", &TSettings::CBMailLogging},
    {"Debug", "SMTPServer", &TSettings::CBServerLogging},
    {"Debug", "SMTPClient", &TSettings::CBClientLogging},
    {"Debug", "LogScreen", &TSettings::CBScreen},
    {"Debug", "LogFileRotation", &TSettings::CBLogFileRotation},
    {"Debug", "LogFileWindowSize", TWholeNumber{&TSettings::SERotation, -1, 3650}},
    {"Debug", "KeepTempFiles", &TSettings::KeepTempFiles, false},
    {"Debug", "Debug", TWholeNumber{&TSettings::DebugLevel, 0, 100}, false},
};

// A value read from the file into its field; a bad value leaves the default,
// and a whole number out of its range says so.
struct TReadValue {
  TSettings& Target;
  const TKey& Key;
  const std::string& Value;
  std::vector<std::string>* Notices;
  void operator()(std::string TSettings::*field) const { Target.*field = Value; }
  void operator()(const TWholeNumber& number) const {
    int& field = Target.*number.Field;
    const int read = ToIntDef(Value, field);
    if (read >= number.Minimum && read <= number.Maximum) {
      field = read;
    } else if (Notices) {
      Notices->push_back("Settings: " + std::string(Key.Name) + "=" + Value + " is out of range (" +
                         std::to_string(number.Minimum) + ".." + std::to_string(number.Maximum) + "), using " +
                         std::to_string(field));
    }
  }
  void operator()(bool TSettings::*field) const { Target.*field = ToIntDef(Value, Target.*field ? 1 : 0) != 0; }
  void operator()(const TChoice& choice) const {
    std::string& field = Target.*choice.Field;
    for (const auto& allowed : choice.Allowed)
      if (SameText(Trimmed(Value), allowed)) {
        field = allowed;
        return;
      }
    if (Notices)
      Notices->push_back("Settings: " + std::string(Key.Name) + "=" + Value + " is not one of " +
                         JoinText(choice.Allowed, ", ") + ", using " + field);
  }
};

// A field as the file holds it: booleans as "1" and "0".
struct TWrittenValue {
  const TSettings& Source;
  std::string operator()(std::string TSettings::*field) const { return Source.*field; }
  std::string operator()(const TWholeNumber& number) const { return std::to_string(Source.*number.Field); }
  std::string operator()(bool TSettings::*field) const { return Source.*field ? "1" : "0"; }
  std::string operator()(const TChoice& choice) const { return Source.*choice.Field; }
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

TSettings LoadSettings(const TIniDocument& file, const TSettingsDefaults& defaults, std::vector<std::string>* notices) {
  TSettings s;
  s.MailHostName = defaults.MailHostName;
  s.Welcome = "Welcome to Quibo Dederazu " + defaults.Version;

  for (const auto& key : kKeys)
    if (const auto value = file.Read(key.Section, key.Name)) std::visit(TReadValue{s, key, *value, notices}, key.Field);
  if (s.RBPass && s.RBForward) s.RBForward = false; // radio buttons: one at most

  s.LBBlacklists = ReadBlacklists(file);
  s.LBManualBlacklist = file.SectionValues("ManualBlacklist");
  s.LBWhiteList = file.SectionValues("AllowedHosts");
  s.LBFromAddresses = file.SectionValues("FromAddresses");
  s.LBLocalDomain = file.SectionValues("LocalDomains");
  s.LBLocalIP = file.SectionValues("LocalIp");
  s.DistributeGrid = ReadForwardRows(file);
  s.ProxyFrom = file.SectionValues("ProxyFrom");
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
    if (Trimmed(row.Domain).empty() || !IsIpText(Trimmed(row.Server))) continue;
    file.Write("Forward", std::to_string(i + 2), row.Domain + "," + row.Server + "," + row.Port);
  }
}

TAppliedSettings ApplySettings(TSettings& s) {
  TAppliedSettings applied;
  applied.OutgoingServer = s.EOutgoingIP;
  applied.OutgoingPort = PortOrDefault(s.EOutgoingPort, 26);
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
