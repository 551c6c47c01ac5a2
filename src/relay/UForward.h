// The forwarding client: the forwarding table (TForward), the choice of
// destination per recipient (BuildDestinationGroups) and RelayMessage, which
// hands one message to each destination with the program's own SMTP client
// and turns every failure on the outgoing side into the verdict the sender
// gets: the next server's own code when it is a refusal (4xx, 5xx), else a
// 451, so that nothing but a delivered message is ever answered with 2xx.
// The table is built on the window thread at apply and published read-only;
// relaying runs on the connection thread. RelayMessage never throws:
// failures are logged and become its verdict.
#pragma once

#include "URelayContext.h"
#include "URelayTransaction.h"

#include <string>
#include <vector>

namespace quibo {

struct TForwardServer {
  std::string Domain;
  std::string Server;
  std::string Port;
};

struct TRCPTList {
  std::string Host;
  int Port = 0;
  std::vector<std::string> Recipients;
};

class TForward {
public:
  // Refuses a row without domain, with a server that is not an IPv4 address,
  // or with a port that is not a decimal number; notice receives the reason.
  bool AddForwarder(const std::string& domain, const std::string& server, const std::string& port,
                    std::string* notice = nullptr);
  void DeleteForwarder(size_t index);
  void ClearForwarders();
  const std::vector<TForwardServer>& Servers() const { return Rows; }

private:
  std::vector<TForwardServer> Rows;
};

std::vector<TRCPTList> BuildDestinationGroups(const std::vector<std::string>& recipients, bool multipleServers,
                                              const TForward& forwarders, const std::string& outgoingServer,
                                              int outgoingPort);

// The message to all its recipients at once, at the end of the data (with
// RecipientCheck=end, and for redirected mail): one transaction whose
// recipients' refusals and delivery failures make up the verdict.
TVerdict RelayMessage(TRelayContext& context, const TWireSource& wire, const std::vector<std::string>& recipients);

} // namespace quibo
