#include "UAdapterSettings.h"

#include "UFunctions.h"
#include "UIniFile.h"

#include <climits>
#include <unistd.h>

namespace quibo::hcheck {
namespace {

constexpr const char* kSection = "SpamAssassin";
constexpr const char* kRspamdSection = "Rspamd";

int PositiveNumber(const std::string& text, int fallback) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return fallback;
  const int value = std::stoi(text);
  return value > 0 ? value : fallback;
}

// A program named with a folder is taken relative to the program folder; a bare name is looked up in PATH.
std::string ProgramPath(const std::filesystem::path& folder, const std::string& program) {
  return program.find('/') == std::string::npos ? program : (folder / program).lexically_normal().string();
}

std::string WithoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

void LoadRspamdSettings(const TIniDocument& file, TAdapterSettings& settings) {
  if (const auto backend = file.Read("HCheck", "Backend"); backend && SameText(Trimmed(*backend), "rspamd"))
    settings.Backend = TBackend::Rspamd;
  TRspamdSettings& rspamd = settings.Rspamd;
  for (auto [key, url] : {std::pair{"Url", &rspamd.Url}, std::pair{"ControllerUrl", &rspamd.ControllerUrl}})
    if (const auto value = file.Read(kRspamdSection, key); value && !Trimmed(*value).empty())
      *url = WithoutTrailingSlash(Trimmed(*value));
  if (const auto password = file.Read(kRspamdSection, "Password")) rspamd.Password = *password;
  if (const auto seconds = file.Read(kRspamdSection, "Timeout"))
    rspamd.Timeout = std::chrono::seconds(PositiveNumber(*seconds, static_cast<int>(rspamd.Timeout.count())));
}

} // namespace

TSpamdAddress ParseSpamdAddress(const std::string& text) {
  TSpamdAddress address;
  const std::string value = Trimmed(text);
  if (value.empty() || SameText(value, "off")) return address;
  if (value[0] == '/') {
    address.SocketPath = value;
    return address;
  }
  const auto colon = value.rfind(':');
  address.Host = value.substr(0, colon);
  if (colon != std::string::npos) address.Port = PositiveNumber(value.substr(colon + 1), kSpamdDefaultPort);
  return address;
}

TAdapterSettings LoadAdapterSettings(const std::filesystem::path& programFolder) {
  TAdapterSettings settings;
  settings.ProgramFolder = programFolder;
  settings.BayesPath = programFolder / "bayes" / "bayes";
  const TIniDocument file = TIniDocument::Load(programFolder / kSettingsFile);
  const auto text = [&](const char* key) { return file.Read(kSection, key); };
  if (const auto spamd = text("Spamd")) settings.Spamd = ParseSpamdAddress(*spamd);
  if (const auto bayes = text("BayesPath"); bayes && !bayes->empty())
    settings.BayesPath = (programFolder / *bayes).lexically_normal();
  for (auto [key, program] : {std::pair{"Spamc", &settings.Spamc}, std::pair{"SpamAssassin", &settings.SpamAssassin},
                              std::pair{"SaLearn", &settings.SaLearn}})
    if (const auto value = text(key); value && !value->empty()) *program = ProgramPath(programFolder, *value);
  for (auto [key, time] :
       {std::pair{"ScoreTimeout", &settings.ScoreTimeout}, std::pair{"LearnTimeout", &settings.LearnTimeout}})
    if (const auto seconds = text(key))
      *time = std::chrono::seconds(PositiveNumber(*seconds, static_cast<int>(time->count())));
  LoadRspamdSettings(file, settings);
  return settings;
}

std::filesystem::path ProgramFolderOf(const char* argv0) {
  std::error_code error;
  const std::string started = argv0 ? argv0 : "";
  if (started.find('/') != std::string::npos)
    return std::filesystem::absolute(std::filesystem::path(started).parent_path(), error).lexically_normal();
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : executable.parent_path();
}

} // namespace quibo::hcheck
