#include "UForward.h"

#include "UEvents.h"
#include "UFunctions.h"
#include "USmtpClient.h"

#include <algorithm>

namespace quibo {
namespace {

const char* const kSays = "Quibo dederazu says:";

bool IsRefusalCode(int code) { return code >= 400 && code < 600; }

// The failures of one relay, recipients and destinations alike. The sender
// hears a temporary one when there is any, so that a retry can still deliver
// what a permanent refusal elsewhere would bounce; within a class the latest wins.
class TRelayFailures {
public:
  // A reply of the next server that ended a step or refused a recipient.
  void Refused(const TSmtpReply& reply) {
    if (IsRefusalCode(reply.Code))
      Add(reply.Code, reply.Text());
    else
      Add(451, "Unexpected reply " + std::to_string(reply.Code) + " from the next server");
  }
  void Add(int code, std::string text) { (code < 500 ? Temporary : Permanent) = TVerdict{code, kSays + text, true}; }
  bool Any() const { return Temporary.Code != 0 || Permanent.Code != 0; }
  const TVerdict& Verdict() const { return Temporary.Code != 0 ? Temporary : Permanent; }

private:
  TVerdict Temporary;
  TVerdict Permanent;
};

// EHLO, falling back to HELO when EHLO is not answered 250. True when the
// next server offers command pipelining.
bool Greet(TSmtpClient& client, const std::string& name) {
  client.ReadReply({220});
  const TSmtpReply ehlo = client.Command("EHLO " + name);
  if (ehlo.Code != 250) {
    client.Command("HELO " + name, {250});
    return false;
  }
  return std::any_of(ehlo.Lines.begin(), ehlo.Lines.end(),
                     [](const std::string& line) { return SameText(Trimmed(line), "PIPELINING"); });
}

void LogHeard(TPipelineContext& context, const TSmtpReply& reply) {
  context.Log.WriteLog("Quibo heard: " + std::to_string(reply.Code) + " " + reply.Text(), true);
}

// One transaction. Refused recipients go to failures; the data is sent only
// when the next server took at least one recipient, so a server that refuses
// them all never turns their refusals into its refusal of DATA. With
// pipelining the envelope goes out in one write and the replies are read in
// order, with the same checks.
void SendEnvelope(TPipelineContext& context, TSmtpClient& client, const TMailMessage& message, const TRCPTList& group,
                  bool pipelining, TRelayFailures& failures) {
  std::vector<std::string> commands{"RSET", "MAIL FROM:<" + context.EnvelopeSender + ">"};
  for (const auto& address : group.Recipients)
    commands.push_back("RCPT TO:<" + address + ">");
  if (pipelining) {
    std::string batch;
    for (const auto& command : commands)
      batch += command + "\r\n";
    client.SendRaw(batch);
  }
  auto step = [&](size_t index, std::initializer_list<int> accepted) {
    if (!pipelining) client.SendRaw(commands[index] + "\r\n");
    return client.ReadReply(accepted);
  };
  context.Trace("Sending RSET");
  step(0, {});
  context.Trace("Sending FROM");
  step(1, {250});
  context.Trace("Write Recipients");
  size_t accepted = 0;
  for (size_t i = 0; i < group.Recipients.size(); ++i) {
    const TSmtpReply reply = step(2 + i, {});
    if (reply.Code == 250 || reply.Code == 251) {
      ++accepted;
      continue;
    }
    failures.Refused(reply);
    LogHeard(context, reply);
  }
  if (accepted == 0) return;
  context.Trace("Sending DATA");
  client.Command("DATA", {354});
  context.Trace("Data..");
  std::string data = message.WireText();
  context.Trace("Sending closure");
  data += ".\r\n"; // the body lines are still dot-stuffed as received
  client.SendRaw(data);
  client.ReadReply({250});
}

std::string Tag(const TPipelineContext& context) { return "[" + std::to_string(context.Connection.ThreadId) + "]"; }

void ClientDisconnected(TPipelineContext& context, const std::string& host) {
  context.Log.WriteMailLog(Tag(context) + " SMTP Client disconnected from " + host);
  context.Post(EvConnection, ClientDisconnect);
}

} // namespace

bool TForward::AddForwarder(const std::string& domain, const std::string& server, const std::string& port,
                            std::string* notice) {
  if (Trimmed(domain).empty()) return false;
  if (!IsIPv4Text(server)) {
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

TVerdict RelayMessage(TPipelineContext& context, const TMailMessage& message,
                      const std::vector<std::string>& recipients) {
  const TSettings& settings = *context.Settings;
  context.Trace("Creating client");
  auto client = std::make_shared<TSmtpClient>(settings.ForwardTimeout);
  client->SetDeadline(context.Deadline);
  context.Trace("Adding object");
  context.Record->SetForwardClient(client);
  // A forced disconnect from now on cuts the relay; one that came first stops it here.
  struct TCut {
    TCancellation& Cancellation;
    ~TCut() { Cancellation.Leave(); }
  } cut{context.Record->Cancellation};
  if (!cut.Cancellation.Enter([client] { client->Disconnect(); })) return SilentClose();
  context.Log.WriteMailLog(message.Subject() + " from <" + message.FromAddress() + "> sent to <" +
                               JoinText(recipients, ",") + ">",
                           &context.Connection);

  context.Trace("Setting events");
  if (settings.CBClientLogging) {
    const long thread = context.Connection.ThreadId;
    TLogger& log = context.Log;
    client->SetTap([&log, thread](bool sent, std::string_view chunk) {
      log.WriteTraffic(sent ? TTrafficDirection::ClientSent : TTrafficDirection::ClientReceived, thread, chunk);
    });
  }
  context.Trace("Creating destinations");
  const auto groups = BuildDestinationGroups(recipients, settings.CBMultiMail, *context.Forwarders,
                                             context.Applied->OutgoingServer, context.Applied->OutgoingPort);

  TRelayFailures failures;
  if (recipients.empty()) {
    // A redirection left nobody to deliver to: the message must not vanish behind a 250.
    failures.Add(451, " No recipients left to relay to");
    context.Log.WriteLog("Message: no recipients left to relay to: ERelayError", true, &context.Connection);
  }
  for (const auto& group : groups) {
    if (group.Recipients.empty()) continue;
    if (context.OutOfTime()) {
      failures.Add(451, " Message could not be processed in time, try again later");
      context.Log.WriteLog("Out of time: not relayed to " + group.Host, true, &context.Connection);
      continue;
    }
    bool connected = false;
    try {
      context.Trace("Connecting");
      client->Connect(group.Host, group.Port);
      connected = true;
      context.Trace("Posting message");
      context.Post(EvConnection, ClientConnect);
      context.Trace("Acceptlogging");
      context.Log.WriteMailLog(Tag(context) + " SMTP Client connected to " + group.Host);
      context.Trace("Connected");
      const bool pipelining = Greet(*client, settings.MailHostName);
      SendEnvelope(context, *client, message, group, pipelining, failures);
    } catch (const TSmtpReplyError& error) {
      failures.Refused(error.Received);
      LogHeard(context, error.Received);
    } catch (const std::exception& error) {
      // No code from the next server: a temporary failure, so the sender retries.
      failures.Add(451, error.what());
      context.Log.WriteLog(std::string("Message: ") + error.what() + ": ESocketError", true);
    }
    if (connected) {
      client->Quit();
      ClientDisconnected(context, group.Host);
    }
  }
  return failures.Any() ? failures.Verdict() : EndOfDataOkay();
}

} // namespace quibo
