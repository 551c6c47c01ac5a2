// The editable settings (one field per key, named after the operator's
// controls), their defaults, and the three operations on the INI file:
// LoadSettings, SaveSettings and ApplySettings. The window thread owns the
// editable record; connection threads read published immutable copies of it
// and of the applied settings. Loading never fails (bad values give their
// defaults, whole numbers out of range too); saving throws std::system_error when the file cannot be written.
#pragma once

#include "UIniFile.h"

#include <string>
#include <vector>

namespace quibo {

struct TBlacklistZone {
  std::string Zone;
  std::string Flag = "1"; // reverse flag: "1" or "0"
  long StatId = -1;       // the zone's statistics row, given by the running filter
};

struct TForwardRow {
  std::string Domain;
  std::string Server;
  std::string Port;
};

// Values the load needs from the running program.
struct TSettingsDefaults {
  std::string Version;      // for the default greeting
  std::string MailHostName; // host name found by reverse lookup of the machine
};

struct TSettings {
  // [Settings]
  std::string CBIp1;
  std::string EListenPort;
  std::string EOutgoingIP;
  std::string EOutgoingPort;
  std::string EDNSIp;
  std::string ESubject = "Quibo dederazu says: \"#SUBJECT#\" is spam";
  std::string EForward = "spam@example.com";
  bool RBPass = true;
  bool RBForward = false;
  bool CBRelayLocalDomain = true;
  bool CBRelayLocalIp = true;
  bool ClearCountersOnRotate = false;
  bool CBMultiMail = false;
  bool CBCopyIfWhitelisted = false;
  bool CBCopyIfBlacklisted = false;
  bool AllowEmptyMailFrom = true;
  std::string MailHostName;
  std::string Welcome;
  bool CBSaveStats = false;
  int MaxConnections = 0;
  int MaxConnectionsPerIp = 50; // 0: no limit
  int MaxRecipients = 1000;     // per transaction, never below 100
  int DnsTimeout = 5;
  int DnsPort = 53;
  int ServerTimeout = 600;
  int TerminateWaitTime = 5000;
  int MaxMessageSize = 51200; // KB; the largest message a client may send
  int SpillSize = 256;        // KB a message may take in memory before it goes to a file
  int MaxHeaderSize = 1024;   // KB of the header section parsed for the Subject and the filter's headers
  int ForwardTimeout = 300;   // seconds for the relay's connect and each reply
  int EndOfDataTimeout = 300; // seconds for scan, classification and relay after the data
  std::string RecipientCheck =
      "live";                      // "live": each recipient asked of the next server at RCPT; "end": at the data's end
  int MaxRefusedRecipients = 10;   // recipients the next server may refuse per session before it ends
  bool DeferUncheckedMail = false; // a failed scan or classification answers 451
  std::string UpdateServer;        // base URL of the update check; empty: no weekly check
  std::string TlsCertificate;      // PEM chain (and maybe its key) for STARTTLS; empty: no STARTTLS
  std::string TlsKey;              // PEM key; empty: in TlsCertificate
  std::string TlsMinVersion = "1.2";
  bool TlsSessionTickets = false;
  std::string OutgoingTls = "may"; // none, may, encrypt or verify: TLS towards the next servers
  std::string OutgoingTlsCaFile;   // trust for "verify"; empty: the system's store
  std::string MetricsListen;       // host:port of the metrics endpoint; empty: none
  std::string ConsoleListen;       // host:port or [v6]:port of the web console; empty: none
  std::string ConsoleUser = "admin";
  std::string ConsolePassword; // a crypt(3) hash; empty: every login is refused
  bool ConsoleTls = false;     // HTTPS with TlsCertificate and TlsKey
  // [VirusCheck]
  std::string EVirusProgram;
  bool CBVirusScan = false;
  int VirusCheckTimeOut = 30000;
  int SEVirusErrorlevel = 1;
  std::string ClamdSocket; // clamd's Unix socket path or host:port; set: clamd is asked instead of EVirusProgram
  // [Heurastic]
  bool CBHeurastic = false;
  bool CBHeurasticForward = false;
  std::string EHeurasticForward = "#USER#@#DOMAIN#";
  bool CBHeurasticSubject = false;
  std::string EHeurasticSubject = "Quibo suspects \"#SUBJECT#\" is spam";
  std::string ESpamThreshold = "5";
  int SEDropThreshold = 15;
  bool CBDropScore = false;
  int SEHeurasticMaxSize = 20;
  int HeurasticCheckTimeOut = 600000;
  std::string RspamdUrl; // rspamd's normal worker; set: the filter asks it itself instead of running HCheck to score
  bool RspamdActions = true; // with RspamdUrl: rspamd's reject, soft reject and discard are obeyed
  bool CBAutoLearn = true;
  bool CBDeleteAfterLearn = true;
  std::string Multidomainprefix = "config";
  // [Debug]
  bool CBMailLogging = false;
  bool CBServerLogging = false;
  bool CBClientLogging = false;
  bool CBScreen = false;
  bool CBLogFileRotation = false;
  int SERotation = 7;
  bool KeepTempFiles = false;
  int DebugLevel = 0;
  // List sections
  std::vector<TBlacklistZone> LBBlacklists;
  std::vector<std::string> LBManualBlacklist;
  std::vector<std::string> LBWhiteList;
  std::vector<std::string> LBFromAddresses;
  std::vector<std::string> LBLocalDomain;
  std::vector<std::string> LBLocalIP;
  std::vector<TForwardRow> DistributeGrid; // destination rows (row 2 on)
  std::vector<std::string> ProxyFrom;      // file only: address prefixes of load balancers that send a PROXY header

  bool RBReject() const { return !RBPass && !RBForward; }
};

// What ApplySettings hands to the running filter.
struct TAppliedSettings {
  std::string OutgoingServer;
  int OutgoingPort = 26;
  std::string DnsServer;
  std::vector<std::string> LocalDomains;
  std::vector<std::string> LocalIps;
  bool VirusCheck = false;
  std::string VirusProgram;
  int VirusResultCode = 1;
  bool Heurastic = false;
  std::string HeurasticSubject;
  int DropScore = 15;
  long MaxMailBytes = 20 * 1024;
  double Threshold = 5.0;
};

// A whole number out of its range gives the default and a line in notices.
TSettings LoadSettings(const TIniDocument& file, const TSettingsDefaults& defaults,
                       std::vector<std::string>* notices = nullptr);
// Writes every key that has a control into the document; other content stays.
void SaveSettings(const TSettings& settings, TIniDocument& file);
// The values that take effect only when applied (outgoing server and port, DNS
// server, local domains and addresses, scanner, classifier switches, subject,
// drop score, size limit, threshold), for the running filter. The forwarding
// table, TLS and the listener are applied by their owner (TForm1). The
// threshold text of the settings is normalised in place.
TAppliedSettings ApplySettings(TSettings& settings);

// Decimal whole number, or the fallback when the text is not one.
int ToIntDef(const std::string& text, int fallback);
// A TCP port number 0..65535, or the fallback when the text is not one.
int PortOrDefault(const std::string& text, int fallback);
// Threshold text with "," turned into "." and read as a number (5.0 if not one).
double NormaliseThreshold(std::string& text);

} // namespace quibo
