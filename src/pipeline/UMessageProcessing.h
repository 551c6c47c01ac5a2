// Message processing between the end of DATA and the relay: the pre-check
// (virus scan, whitelist and blacklist results, classifier score) and the
// processing proper (trace header, blacklist tagging or redirection, drop,
// spam marking, status headers, relay). Runs on the connection thread and
// returns the verdict for the sender. Failures are logged with their fixed
// prefixes; the sender never gets "250" for a message that was neither
// relayed nor dropped on purpose, and a message whose time is up, whose
// sender is gone, or (on request) that could not be checked is not relayed.
#pragma once

#include "UClock.h"
#include "UMailMessage.h"
#include "UPipelineContext.h"
#include "UReplies.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

// Empty to go on with the message; else the verdict that ends it here. The
// file is "" when the message is held in memory.
std::optional<TVerdict> CheckMessage(TPipelineContext& context, const std::filesystem::path& file,
                                     const TStoredMessage& message);
TVerdict Server1ReceiveRaw(TPipelineContext& context, const TStoredMessage& stored,
                           std::vector<std::string> recipients);

void RewriteRecipients(std::vector<std::string>& recipients, const std::string& addressTemplate);
void AddFilterHeaders(TMailMessage& message, bool marked, const std::string& scoreText, bool heurastic,
                      const std::string& serverIdent, const TPipelineContext* trace = nullptr);
// With the TLS session the message came in, "with ESMTPS (<protocol> <cipher>)" instead of "with SMTP".
std::string BuildReceivedHeader(const std::string& hostName, const std::string& ip, const std::string& ownHostName,
                                const std::string& id, TTimePoint when,
                                const std::optional<TTlsSession>& tls = std::nullopt);

} // namespace quibo
