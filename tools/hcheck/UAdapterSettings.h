// The adapter's own settings, from the file HCheck.ini beside the program
// (sections [HCheck], [SpamAssassin] and [Rspamd]); every key has a default,
// so the file is optional.
// Loaded once per run of HCheck on its only thread. Never throws: a missing
// file or a value that cannot be read keeps the default.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace quibo::hcheck {

inline constexpr const char* kSettingsFile = "HCheck.ini";
inline constexpr int kSpamdDefaultPort = 783;

// Where spamd listens: a Unix socket path, or a host and a port; neither: off.
struct TSpamdAddress {
  std::string SocketPath;
  std::string Host;
  int Port = kSpamdDefaultPort;

  bool Off() const { return SocketPath.empty() && Host.empty(); }
  std::string Text() const { return SocketPath.empty() ? Host + ":" + std::to_string(Port) : SocketPath; }
};

// "/path/of/socket", "host", "host:port"; "off" or empty: no spamd.
TSpamdAddress ParseSpamdAddress(const std::string& text);

enum class TBackend { SpamAssassin, Rspamd };

// rspamd's HTTP workers; URLs without a trailing "/".
struct TRspamdSettings {
  std::string Url = "http://127.0.0.1:11333";           // the normal worker: scoring
  std::string ControllerUrl = "http://127.0.0.1:11334"; // the controller: learning, statistics
  std::string Password;                                 // the controller's
  std::chrono::seconds Timeout{30};                     // one request
};

struct TAdapterSettings {
  TBackend Backend = TBackend::SpamAssassin; // [HCheck] Backend=spamassassin|rspamd
  TRspamdSettings Rspamd;
  std::filesystem::path ProgramFolder;
  TSpamdAddress Spamd = ParseSpamdAddress("127.0.0.1:783");
  std::filesystem::path BayesPath; // prefix of the Bayes files (bayes_toks, bayes_seen, ...)
  std::string Spamc = "spamc", SpamAssassin = "spamassassin", SaLearn = "sa-learn";
  // Both below the filter's own limit for the classifier (600 s by default), so that HCheck says why.
  std::chrono::seconds ScoreTimeout{120}; // one score or one statistics dump
  std::chrono::seconds LearnTimeout{540}; // learning one folder
};

TAdapterSettings LoadAdapterSettings(const std::filesystem::path& programFolder);

// The folder the program was started from (a link to it counts as its place).
std::filesystem::path ProgramFolderOf(const char* argv0);

} // namespace quibo::hcheck
