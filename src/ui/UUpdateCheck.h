// The update check: the request to the update server (a GET of
// "/cgi-bin/update.pl" with the version, the installation's identification and
// the check value), its reply text and the rule that tells an available
// update. No Qt here: the about box ("Check updates", check value "") and the
// weekly check ("weekly") of the window call it on the window thread, which
// waits at most kUpdateTimeout. Never throws: a reply that cannot be fetched
// is kUnableToRetrieve.
#pragma once

#include <chrono>
#include <string>

namespace quibo {

inline constexpr const char* kUpdateAgent = "Quibo Update Checker";
inline constexpr const char* kUnableToRetrieve = "Unable to retrieve version information!";
// What the request tells the server about this installation ("&info=").
inline constexpr const char* kInstallationInfo = "Quibo dederazu on Linux";
inline constexpr size_t kMaxUpdateReply = 1023;
inline constexpr std::chrono::seconds kUpdateTimeout{10};

// Letters, digits and "-._~" as they are, everything else %XX.
std::string UrlEncoded(const std::string& text);
// The server's base URL (UpdateServer) with the path and the encoded query.
std::string UpdateRequestUrl(const std::string& server, const std::string& version, const std::string& check);
// The reply text: at most kMaxUpdateReply bytes of the body, cut at the
// first NUL; kUnableToRetrieve when the server is empty, cannot be reached,
// or answers with an error status.
std::string RequestUpdateInfo(const std::string& server, const std::string& version, const std::string& check);
// The weekly check's rule: "available" anywhere in the reply, in lower case.
bool ReportsUpdate(const std::string& reply);

} // namespace quibo
