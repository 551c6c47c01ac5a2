#include "UTlsIdentity.h"

#include <stdexcept>
#include <sys/stat.h>

namespace quibo {
namespace {

// What changes when a file is replaced or rewritten.
std::string FileIdentity(const std::string& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0) return path + ":missing";
  return path + ":" + std::to_string(status.st_ino) + ":" + std::to_string(status.st_size) + ":" +
         std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) + ":" +
         std::to_string(status.st_ctim.tv_sec) + "." + std::to_string(status.st_ctim.tv_nsec);
}

} // namespace

std::string TTlsIdentity::Refresh(const TTlsServerOptions& options) {
  std::string attempt = FileIdentity(options.CertificateFile) + "|" + FileIdentity(options.KeyFile) + "|" +
                        (options.Tls13Only ? "1.3" : "1.2") + (options.SessionTickets ? "|tickets" : "");
  if (attempt == LastAttempt) return {};
  LastAttempt = std::move(attempt);
  if (options.CertificateFile.empty()) {
    if (!Current()) return {};
    Loaded.store(nullptr);
    return "TLS: no certificate set, STARTTLS no longer offered";
  }
  try {
    Loaded.store(std::make_shared<const TTlsServerContext>(options));
    return "TLS: certificate loaded from " + options.CertificateFile;
  } catch (const std::exception& failure) {
    return std::string("TLS: certificate not loaded: ") + failure.what() +
           (Current() ? "; the previous one stays in use" : "; STARTTLS is not offered");
  }
}

} // namespace quibo
