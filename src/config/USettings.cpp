#include "USettings.h"

#include <charconv>

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

// Reads one section's keys with their defaults.
class TReader {
public:
  TReader(const TIniDocument& file, std::string section) : File(file), Section(std::move(section)) {}
  void Text(const char* key, std::string& field) const {
    if (auto value = File.Read(Section, key)) field = *value;
  }
  void Int(const char* key, int& field) const {
    if (auto value = File.Read(Section, key)) field = ToIntDef(*value, field);
  }
  void Bool(const char* key, bool& field) const {
    if (auto value = File.Read(Section, key)) {
      const int number = ToIntDef(*value, field ? 1 : 0);
      field = number != 0;
    }
  }

private:
  const TIniDocument& File;
  std::string Section;
};

class TWriter {
public:
  TWriter(TIniDocument& file, std::string section) : File(file), Section(std::move(section)) {}
  void Text(const char* key, const std::string& value) const { File.Write(Section, key, value); }
  void Int(const char* key, int value) const { File.Write(Section, key, std::to_string(value)); }
  void Bool(const char* key, bool value) const { File.Write(Section, key, value ? "1" : "0"); }

private:
  TIniDocument& File;
  std::string Section;
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

  const TReader settings(file, "Settings");
  settings.Text("ListenIP", s.CBIp1);
  settings.Text("ListenPort", s.EListenPort);
  settings.Text("OutgoingIP", s.EOutgoingIP);
  settings.Text("OutgoingPort", s.EOutgoingPort);
  settings.Text("DnsIP", s.EDNSIp);
  settings.Text("NewSubject", s.ESubject);
  settings.Text("MailForwardAddress", s.EForward);
  settings.Bool("ModifySubject", s.RBPass);
  settings.Bool("Forward", s.RBForward);
  if (s.RBPass && s.RBForward) s.RBForward = false; // radio buttons: one at most
  settings.Bool("RelayLocalOnly", s.CBRelayLocalDomain);
  settings.Bool("RelayLocalOnlyIp", s.CBRelayLocalIp);
  settings.Bool("ClearCountersOnRotate", s.ClearCountersOnRotate);
  settings.Bool("MultipleMailForwarding", s.CBMultiMail);
  settings.Bool("CopyMsgIfWhiteListed", s.CBCopyIfWhitelisted);
  settings.Bool("CopyMsgIfBlackListed", s.CBCopyIfBlacklisted);
  settings.Bool("AllowEmptyMailFrom", s.AllowEmptyMailFrom);
  settings.Text("MailHostName", s.MailHostName);
  settings.Text("Welcome", s.Welcome);
  settings.Bool("SaveStatistics", s.CBSaveStats);
  settings.Int("MaxConnections", s.MaxConnections);
  settings.Int("DnsTimeout", s.DnsTimeout);
  settings.Int("ServerTimeout", s.ServerTimeout);
  settings.Int("TerminateWaitTime", s.TerminateWaitTime);
  settings.Int("MaxMessageSize", s.MaxMessageSize);
  settings.Int("ForwardTimeout", s.ForwardTimeout);

  const TReader virus(file, "VirusCheck");
  virus.Text("VirusProgram", s.EVirusProgram);
  virus.Bool("DoVirusCheck", s.CBVirusScan);
  virus.Int("VirusCheckTimeOut", s.VirusCheckTimeOut);
  virus.Int("ResultCode", s.SEVirusErrorlevel);

  const TReader heurastic(file, "Heurastic");
  heurastic.Bool("DoHeurastic", s.CBHeurastic);
  heurastic.Bool("Forward", s.CBHeurasticForward);
  heurastic.Text("MailForwardAddress", s.EHeurasticForward);
  heurastic.Bool("ModifySubject", s.CBHeurasticSubject);
  heurastic.Text("NewSubject", s.EHeurasticSubject);
  heurastic.Text("Threshold", s.ESpamThreshold);
  heurastic.Int("DropScore", s.SEDropThreshold);
  heurastic.Bool("DropAtScore", s.CBDropScore);
  heurastic.Int("MaxMailSize", s.SEHeurasticMaxSize);
  heurastic.Int("HeurasticCheckTimeOut", s.HeurasticCheckTimeOut);
  heurastic.Bool("AutoLearnAtRotate", s.CBAutoLearn);
  heurastic.Bool("DeleteFilesAfterLearn", s.CBDeleteAfterLearn);
  heurastic.Text("Multidomainprefix", s.Multidomainprefix);

  const TReader debug(file, "Debug");
  debug.Bool("Acceptance", s.CBMailLogging);
  debug.Bool("SMTPServer", s.CBServerLogging);
  debug.Bool("SMTPClient", s.CBClientLogging);
  debug.Bool("LogScreen", s.CBScreen);
  debug.Bool("LogFileRotation", s.CBLogFileRotation);
  debug.Int("LogFileWindowSize", s.SERotation);
  debug.Bool("KeepTempFiles", s.KeepTempFiles);
  debug.Int("Debug", s.DebugLevel);

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
  const TWriter settings(file, "Settings");
  settings.Text("ListenIP", s.CBIp1);
  settings.Text("ListenPort", s.EListenPort);
  settings.Text("OutgoingIP", s.EOutgoingIP);
  settings.Text("OutgoingPort", s.EOutgoingPort);
  settings.Text("DnsIP", s.EDNSIp);
  settings.Text("NewSubject", s.ESubject);
  settings.Text("MailForwardAddress", s.EForward);
  settings.Bool("ModifySubject", s.RBPass);
  settings.Bool("Forward", s.RBForward);
  settings.Bool("RelayLocalOnly", s.CBRelayLocalDomain);
  settings.Bool("RelayLocalOnlyIP", s.CBRelayLocalIp);
  settings.Bool("MultipleMailForwarding", s.CBMultiMail);
  settings.Bool("CopyMsgIfWhiteListed", s.CBCopyIfWhitelisted);
  settings.Bool("CopyMsgIfBlackListed", s.CBCopyIfBlacklisted);
  settings.Bool("SaveStatistics", s.CBSaveStats);

  const TWriter virus(file, "VirusCheck");
  virus.Text("VirusProgram", s.EVirusProgram);
  virus.Bool("DoVirusCheck", s.CBVirusScan);
  virus.Int("ResultCode", s.SEVirusErrorlevel);

  const TWriter heurastic(file, "Heurastic");
  heurastic.Bool("DoHeurastic", s.CBHeurastic);
  heurastic.Bool("Forward", s.CBHeurasticForward);
  heurastic.Text("MailForwardAddress", s.EHeurasticForward);
  heurastic.Bool("ModifySubject", s.CBHeurasticSubject);
  heurastic.Text("NewSubject", s.EHeurasticSubject);
  heurastic.Text("Threshold", s.ESpamThreshold);
  heurastic.Int("DropScore", s.SEDropThreshold);
  heurastic.Bool("DropAtScore", s.CBDropScore);
  heurastic.Int("MaxMailSize", s.SEHeurasticMaxSize);
  heurastic.Bool("AutoLearnAtRotate", s.CBAutoLearn);
  heurastic.Bool("DeleteFilesAfterLearn", s.CBDeleteAfterLearn);

  const TWriter debug(file, "Debug");
  debug.Bool("Acceptance", s.CBMailLogging);
  debug.Bool("SMTPServer", s.CBServerLogging);
  debug.Bool("SMTPClient", s.CBClientLogging);
  debug.Bool("LogScreen", s.CBScreen);
  debug.Bool("LogFileRotation", s.CBLogFileRotation);
  debug.Int("LogFileWindowSize", s.SERotation);

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
