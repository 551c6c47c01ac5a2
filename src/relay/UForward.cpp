#include "UForward.h"

#include "UAddress.h"

#include "UEvents.h"
#include "UFunctions.h"
#include "URelayPool.h"
#include "USmtpClient.h"
#include "USuffixMatch.h"

#include <algorithm>
#include <optional>

namespace quibo {
namespace {

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
  void Add(int code, const std::string& text) { Add(Reply(code, Replies::RelayFailed, {text})); }
  void Add(TVerdict refusal) { (refusal.Code < 500 ? Temporary : Permanent) = std::move(refusal); }
  bool Any() const { return Temporary.Code != 0 || Permanent.Code != 0; }
  const TVerdict& Verdict() const { return Temporary.Code != 0 ? Temporary : Permanent; }

private:
  TVerdict Temporary;
  TVerdict Permanent;
};

bool Offers(const TSmtpReply& ehlo, const char* extension) {
  return std::any_of(ehlo.Lines.begin(), ehlo.Lines.end(),
                     [extension](const std::string& line) { return SameText(Trimmed(line), extension); });
}

std::string Tag(const TPipelineContext& context) { return "[" + std::to_string(context.Connection.ThreadId) + "]"; }

// STARTTLS when the next server offers it and the policy wants it; "encrypt"
// and "verify" never go on in plain text. Returns the EHLO reply that holds.
TSmtpReply StartTlsAsPolicySays(TPipelineContext& context, TSmtpClient& client, const std::string& name,
                                const std::string& host, TSmtpReply ehlo) {
  const std::string& policy = context.Settings->OutgoingTls;
  const bool required = policy == "encrypt" || policy == "verify";
  if (policy == "none" || (!Offers(ehlo, "STARTTLS") && !required)) return ehlo;
  if (!Offers(ehlo, "STARTTLS")) throw std::runtime_error("The next server does not offer STARTTLS");
  if (!context.OutgoingTls) {
    if (!required) return ehlo;
    throw std::runtime_error("No TLS towards the next server: its trust store did not load");
  }
  const TSmtpReply ready = client.Command("STARTTLS");
  if (ready.Code != 220) {
    if (!required) return ehlo; // the server may say it cannot now: plain text, as without the offer
    throw std::runtime_error("The next server refused STARTTLS: " + std::to_string(ready.Code) + " " + ready.Text());
  }
  client.StartTls(*context.OutgoingTls, policy == "verify" ? host : std::string());
  context.Log.WriteMailLog(Tag(context) + " SMTP Client TLS: " + client.Tls()->Protocol + " " + client.Tls()->Cipher);
  return client.Command("EHLO " + name, {250});
}

// EHLO, falling back to HELO when EHLO is not answered 250, then STARTTLS as
// the policy says. What the next server offers (nothing after HELO).
TNextHopOffers Greet(TPipelineContext& context, TSmtpClient& client, const std::string& name, const std::string& host) {
  client.ReadReply({220});
  const TSmtpReply ehlo = client.Command("EHLO " + name);
  if (ehlo.Code != 250) {
    client.Command("HELO " + name, {250});
    if (context.Settings->OutgoingTls == "encrypt" || context.Settings->OutgoingTls == "verify")
      throw std::runtime_error("The next server does not offer STARTTLS");
    return {};
  }
  const TSmtpReply offered = StartTlsAsPolicySays(context, client, name, host, ehlo);
  return {Offers(offered, "PIPELINING"), Offers(offered, "8BITMIME"), Offers(offered, "SMTPUTF8")};
}

// The MAIL command towards the next server: the sender's BODY and SMTPUTF8
// parameters go on where the next server offers their extension.
std::string MailCommand(const TPipelineContext& context, const TNextHopOffers& offers) {
  const TMailParameters& parameters = context.MailParameters;
  std::string command = "MAIL FROM:<" + context.EnvelopeSender + ">";
  if (!parameters.Body.empty() && offers.EightBitMime) command += " BODY=" + parameters.Body;
  if (parameters.SmtpUtf8 && offers.SmtpUtf8) command += " SMTPUTF8";
  return command;
}

// A transaction with an address beyond ASCII travels only with SMTPUTF8.
bool NeedsSmtpUtf8(const TPipelineContext& context, const TRCPTList& group) {
  return IsInternational(context.EnvelopeSender) ||
         std::any_of(group.Recipients.begin(), group.Recipients.end(),
                     [](const std::string& address) { return IsInternational(address); });
}

void LogHeard(TPipelineContext& context, const TSmtpReply& reply) {
  context.Log.WriteLog("Quibo heard: " + std::to_string(reply.Code) + " " + reply.Text(), true);
}

// One transaction. Refused recipients go to failures; the data is sent only
// when the next server took at least one recipient, so a server that refuses
// them all never turns their refusals into its refusal of DATA. With
// pipelining the envelope goes out in one write and the replies are read in
// order, with the same checks.
// Returns when the dialogue is at its end, clean (the connection can take
// another transaction); mailAccepted tells whether anything of it was taken.
void SendEnvelope(TPipelineContext& context, TSmtpClient& client, const TMailMessage& message, const TRCPTList& group,
                  const TNextHopOffers& offers, TRelayFailures& failures, bool& mailAccepted) {
  if (NeedsSmtpUtf8(context, group) && !offers.SmtpUtf8) {
    // Never relayed mangled: the sender hears that this destination cannot take the addresses.
    failures.Add(Reply(Replies::NextHopNotInternational));
    context.Log.WriteLog("Message: the next server does not offer SMTPUTF8: not relayed to " + group.Host, true,
                         &context.Connection);
    return;
  }
  const bool pipelining = offers.Pipelining;
  std::vector<std::string> commands{"RSET", MailCommand(context, offers)};
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
  mailAccepted = true;
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
  // Gathered into writes of up to a block: a small message goes out in one,
  // a large one is never held whole.
  constexpr size_t kWriteBlock = 65536;
  std::string pending;
  pending.reserve(kWriteBlock);
  message.StreamWire([&](std::string_view piece) {
    if (pending.size() + piece.size() > kWriteBlock && !pending.empty()) {
      client.SendRaw(pending);
      pending.clear();
    }
    if (piece.size() >= kWriteBlock)
      client.SendRaw(piece);
    else
      pending.append(piece);
  });
  context.Trace("Sending closure");
  pending += ".\r\n"; // the body lines are still dot-stuffed as received
  client.SendRaw(pending);
  client.ReadReply({250});
}

void ClientDisconnected(TPipelineContext& context, const std::string& host) {
  context.Log.WriteMailLog(Tag(context) + " SMTP Client disconnected from " + host);
  context.Post(EvConnection, ClientDisconnect, 0);
}

// Kept connections are told apart by the name they greeted with and the TLS policy they were opened under.
std::string PoolName(const TSettings& settings) { return settings.MailHostName + " " + settings.OutgoingTls; }

// One destination's connection for this message: an idle one the pool still
// holds (already greeted), else a new one.
struct TLease {
  std::shared_ptr<TSmtpClient> Client;
  TNextHopOffers Offers;
  bool Reused = false;
};

TLease Lease(TPipelineContext& context, const TRCPTList& group, bool allowReuse) {
  const TSettings& settings = *context.Settings;
  TLease lease;
  if (allowReuse && context.Relays)
    if (auto idle = context.Relays->Take(group.Host, group.Port, PoolName(settings)))
      lease = {idle->Client, idle->Offers, true};
  if (!lease.Client) {
    context.Trace("Creating client");
    lease.Client = std::make_shared<TSmtpClient>(settings.ForwardTimeout);
  }
  lease.Client->SetDeadline(context.Deadline);
  context.Trace("Setting events");
  if (settings.CBClientLogging) {
    const long thread = context.Connection.ThreadId;
    TLogger& log = context.Log;
    lease.Client->SetTap([&log, thread](bool sent, std::string_view chunk) {
      log.WriteTraffic(sent ? TTrafficDirection::ClientSent : TTrafficDirection::ClientReceived, thread, chunk);
    });
  }
  return lease;
}

// The message to one destination; its failures go to failures. False when a
// forced disconnect stopped it.
bool RelayGroup(TPipelineContext& context, const TMailMessage& message, const TRCPTList& group,
                TRelayFailures& failures) {
  const TSettings& settings = *context.Settings;
  bool allowReuse = true;
  while (true) {
    TLease lease = Lease(context, group, allowReuse);
    context.Trace("Adding object");
    context.Record->SetForwardClient(lease.Client);
    const auto client = lease.Client;
    if (!context.Record->Cancellation.Enter([client] { client->Disconnect(); })) return false;
    bool opened = false, mailAccepted = false, clean = false;
    std::optional<TSmtpReply> refused;
    std::string failure;
    try {
      context.Trace("Connecting");
      if (!lease.Reused) client->Connect(group.Host, group.Port);
      opened = true;
      context.Trace("Posting message");
      context.Post(EvConnection, ClientConnect, 0);
      context.Trace("Acceptlogging");
      context.Log.WriteMailLog(Tag(context) + " SMTP Client connected to " + group.Host);
      context.Trace("Connected");
      if (!lease.Reused) lease.Offers = Greet(context, *client, settings.MailHostName, group.Host);
      SendEnvelope(context, *client, message, group, lease.Offers, failures, mailAccepted);
      clean = true;
    } catch (const TSmtpReplyError& error) {
      refused = error.Received;
    } catch (const std::exception& error) {
      failure = error.what();
    }
    context.Record->Cancellation.Leave();
    if (opened) ClientDisconnected(context, group.Host);
    // A kept connection the server dropped meanwhile: nothing of the message went out, so a new one tries again.
    if (!clean && lease.Reused && !mailAccepted && !context.Record->Cancellation.Cancelled()) {
      client->Close();
      allowReuse = false;
      continue;
    }
    if (refused) {
      failures.Refused(*refused);
      LogHeard(context, *refused);
    } else if (!failure.empty()) {
      // No code from the next server: a temporary failure, so the sender retries.
      failures.Add(451, failure);
      context.Log.WriteLog("Message: " + failure + ": ESocketError", true);
    }
    if (clean && context.Relays)
      context.Relays->Give(group.Host, group.Port, PoolName(settings), {client, lease.Offers});
    else if (opened)
      client->Quit();
    return true;
  }
}

} // namespace

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

TVerdict RelayMessage(TPipelineContext& context, const TMailMessage& message,
                      const std::vector<std::string>& recipients) {
  const TSettings& settings = *context.Settings;
  // A forced disconnect cuts the relay of the moment; one that came first stops it here.
  struct TCut {
    TCancellation& Cancellation;
    ~TCut() { Cancellation.Leave(); }
  } cut{context.Record->Cancellation};
  if (cut.Cancellation.Cancelled()) return SilentClose();
  context.Log.WriteMailLog(message.Subject() + " from <" + message.FromAddress() + "> sent to <" +
                               JoinText(recipients, ",") + ">",
                           &context.Connection);
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
    if (!RelayGroup(context, message, group, failures)) return SilentClose();
  }
  return failures.Any() ? failures.Verdict() : EndOfDataOkay();
}

} // namespace quibo
