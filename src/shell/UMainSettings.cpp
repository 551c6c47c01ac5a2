// TForm1, settings: what loading, applying and the hourly reload check do
// beyond the settings model (TSettingsModel), which owns every copy of the
// settings - the listener restart after a change of its address or port, the
// STARTTLS identity, the metrics endpoint. Window thread.
#include "UMain.h"

namespace quibo {

void TForm1::LoadSettings() {
  if (Model.Load()) ListenerControl.MarkSettingsChanged();
}

void TForm1::ApplySettings() {
  Model.Apply();
  RefreshTls();
  if (ListenerControl.RestartDue()) ListenerControl.Restart(false);
  RefreshMetricsEndpoint();
  if (Console) Console->SettingsApplied();
}

void TForm1::RefreshTls() {
  const TSettings& settings = Model.Editable();
  const std::string outcome =
      ServerTls.Refresh({Model.SettingsFile(settings.TlsCertificate), Model.SettingsFile(settings.TlsKey),
                         settings.TlsMinVersion == "1.3", settings.TlsSessionTickets});
  if (!outcome.empty()) Logger.WriteLog(outcome, true);
}

void TForm1::CheckSettingsReload() {
  RefreshTls();                            // a renewed certificate is taken without a change of the settings
  if (Console) Console->SettingsApplied(); // the console's HTTPS too
  if (!Model.FileChanged()) return;
  LoadSettings();
  ApplySettings();
  Logger.WriteLog("Reloaded settings file", true);
}

} // namespace quibo
