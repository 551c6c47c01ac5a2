// TTlsIdentity: the certificate and key the listener offers STARTTLS with.
// Refresh loads them from the files the settings name, and again whenever
// those files change (a renewed certificate), so that no restart is needed;
// a pair that does not load leaves the one in use, and sessions already in
// TLS keep the one they started with. Refresh runs on the window thread (at
// start, at apply, at SIGHUP and at the hourly reload check); connection
// threads take Current(). Never throws: the outcome is a line for the log.
#pragma once

#include "UPublished.h"
#include "UTls.h"

#include <memory>
#include <string>

namespace quibo {

class TTlsIdentity {
public:
  // Loads the pair when the settings or the files changed since the last
  // attempt; returns a line for the log, or "" when nothing changed.
  std::string Refresh(const TTlsServerOptions& options);
  // nullptr while no certificate is loaded: STARTTLS is not offered.
  std::shared_ptr<const TTlsServerContext> Current() const { return Loaded.load(); }

private:
  TPublished<TTlsServerContext> Loaded;
  std::string LastAttempt; // the options and the files' identities when last tried
};

} // namespace quibo
