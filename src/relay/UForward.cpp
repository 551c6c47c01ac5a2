#include "UForward.h"

#include "UAddress.h"

#include "UFunctions.h"
#include "USuffixMatch.h"

#include <algorithm>

namespace quibo {

bool TForward::AddForwarder(const std::string& domain, const std::string& server, const std::string& port,
                            std::string* notice) {
  if (Trimmed(domain).empty()) return false;
  if (!IsIpText(Trimmed(server))) {
    if (notice) *notice = "Invalid Ip number: " + server;
    return false;
  }
  if (PortOrDefault(port, 0) == 0) {
    if (notice) *notice = "Invalid port number: " + port + " (" + domain + ")";
    return false;
  }
  Rows.push_back({domain, Trimmed(server), port});
  return true;
}

void TForward::DeleteForwarder(size_t index) {
  if (index < Rows.size()) Rows.erase(Rows.begin() + static_cast<std::ptrdiff_t>(index));
}

void TForward::ClearForwarders() {
  while (!Rows.empty())
    Rows.pop_back();
}

std::vector<TRCPTList> BuildDestinationGroups(const std::vector<std::string>& recipients, bool multipleServers,
                                              const TForward& forwarders, const std::string& outgoingServer,
                                              int outgoingPort) {
  if (!multipleServers) return {TRCPTList{outgoingServer, outgoingPort, recipients}};
  std::vector<TRCPTList> groups;
  for (const auto& address : recipients) {
    std::string host = outgoingServer;
    int port = outgoingPort;
    for (const auto& row : forwarders.Servers())
      if (MatchesSuffix(address, row.Domain)) {
        host = row.Server;
        port = PortOrDefault(row.Port, outgoingPort);
        break;
      }
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&host, port](const TRCPTList& g) { return g.Host == host && g.Port == port; });
    if (group == groups.end()) group = groups.insert(groups.end(), TRCPTList{host, port, {}});
    group->Recipients.push_back(address);
  }
  return groups;
}

TVerdict RelayMessage(TRelayContext& context, const TWireSource& wire, const std::vector<std::string>& recipients) {
  if (context.Record->Cancellation.Cancelled()) return SilentClose();
  if (recipients.empty()) {
    // A redirection left nobody to deliver to: the message must not vanish behind a 250.
    context.Log.WriteLog("Message: no recipients left to relay to: ERelayError", true, &context.Connection);
    return Reply(451, Replies::RelayFailed, {" No recipients left to relay to"});
  }
  context.Trace("Creating destinations");
  TRelayTransaction transaction(context);
  TRelayFailures failures;
  for (TVerdict& verdict : transaction.Open(recipients))
    if (!verdict.Accepted()) {
      verdict.Close = true;
      failures.Add(std::move(verdict));
    }
  if (context.Record->Cancellation.Cancelled()) return SilentClose();
  if (transaction.Taken() > 0) {
    const TVerdict sent = transaction.Send(wire, context.Deadline);
    if (sent.Code == 0) return sent;
    if (!sent.Accepted()) failures.Add(sent);
  }
  return failures.Any() ? failures.Verdict() : EndOfDataOkay();
}

} // namespace quibo
