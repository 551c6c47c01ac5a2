#include "URelayTransaction.h"

#include "UAddress.h"

#include "UForward.h"
#include "UFunctions.h"
#include "USmtpClient.h"

#include <algorithm>
#include <optional>

namespace quibo {
namespace {

// How long a transaction waits for a place among those open towards a busy
// server, and for the answer to the RSET that ends it unsent.
constexpr auto kShortWait = std::chrono::seconds(3);

bool Offers(const TSmtpReply& ehlo, const char* extension) {
  return std::any_of(ehlo.Lines.begin(), ehlo.Lines.end(),
                     [extension](const std::string& line) { return SameText(Trimmed(line), extension); });
}

std::string Tag(const TRelayContext& context) { return "[" + std::to_string(context.Connection.ThreadId) + "]"; }

// STARTTLS when the next server offers it and the policy wants it; "encrypt"
// and "verify" never go on in plain text. Returns the EHLO reply that holds.
TSmtpReply StartTlsAsPolicySays(const TRelayContext& context, TSmtpClient& client, const std::string& name,
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
TNextHopOffers Greet(const TRelayContext& context, TSmtpClient& client, const std::string& name,
                     const std::string& host) {
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
std::string MailCommand(const TRelayContext& context, const TNextHopOffers& offers) {
  const TMailParameters& parameters = context.MailParameters;
  std::string command = "MAIL FROM:<" + context.EnvelopeSender + ">";
  if (!parameters.Body.empty() && offers.EightBitMime) command += " BODY=" + parameters.Body;
  if (parameters.SmtpUtf8 && offers.SmtpUtf8) command += " SMTPUTF8";
  return command;
}

// Kept connections are told apart by the name they greeted with and the TLS policy they were opened under.
std::string PoolName(const TSettings& settings) { return settings.MailHostName + " " + settings.OutgoingTls; }

void LogHeard(const TRelayContext& context, const TSmtpReply& reply) {
  context.Log.WriteLog("Quibo heard: " + std::to_string(reply.Code) + " " + reply.Text(), true);
}

// A failure without a code from the next server: the sender retries.
TVerdict Unreached(const std::string& reason) { return Reply(451, Replies::RecipientRefused, {reason}); }

// A reply of the next server that did not take what was asked: its own code
// when it is a refusal, else a 451.
TVerdict Refusal(const TSmtpReply& reply) {
  if (reply.Code >= 400 && reply.Code < 600) return Reply(reply.Code, Replies::RecipientRefused, {reply.Text()});
  return Unreached("Unexpected reply " + std::to_string(reply.Code) + " from the next server");
}

bool TakenReply(const TSmtpReply& reply) { return reply.Code == 250 || reply.Code == 251; }

// While it lives, a forced disconnect of the connection cuts the client's wait of the moment.
TCancellationScope CutOnDisconnect(TCancellation& cancellation, const std::shared_ptr<TSmtpClient>& client) {
  return TCancellationScope(&cancellation, [client] { client->Disconnect(); });
}

} // namespace

struct TRelayTransaction::TDestination {
  std::string Host;
  int Port = 0;
  std::shared_ptr<TSmtpClient> Client;
  TNextHopOffers Offers;
  bool HoldsPlace = false;             // among the transactions open towards the server
  bool Announced = false;              // "connected" was logged and posted
  bool MailTaken = false;              // on the connection held now
  bool Delivered = false;              // the server took the data
  std::optional<TVerdict> Failed;      // every later recipient of it hears this
  std::vector<std::string> Recipients; // the ones it took
  std::chrono::steady_clock::time_point LastUse{};
};

TRelayTransaction::TRelayTransaction(TRelayContext context) : Context(std::move(context)) {}

TRelayTransaction::~TRelayTransaction() { Abandon(); }

size_t TRelayTransaction::Taken() const {
  size_t taken = 0;
  for (const auto& destination : Destinations)
    taken += destination->Recipients.size();
  return taken;
}

TRelayTransaction::TDestination& TRelayTransaction::DestinationOf(const std::string& address) {
  const TRCPTList target = BuildDestinationGroups({address}, Context.Settings->CBMultiMail, *Context.Forwarders,
                                                  Context.OutgoingServer, Context.OutgoingPort)
                               .front();
  for (const auto& destination : Destinations)
    if (destination->Host == target.Host && destination->Port == target.Port) return *destination;
  Destinations.push_back(std::make_unique<TDestination>());
  Destinations.back()->Host = target.Host;
  Destinations.back()->Port = target.Port;
  return *Destinations.back();
}

std::vector<TVerdict> TRelayTransaction::Open(const std::vector<std::string>& addresses) {
  std::vector<TVerdict> verdicts(addresses.size());
  std::vector<std::pair<TDestination*, std::vector<size_t>>> groups; // in order of first appearance
  for (size_t i = 0; i < addresses.size(); ++i) {
    TDestination* destination = &DestinationOf(addresses[i]);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == destination; });
    if (group == groups.end()) group = groups.insert(groups.end(), {destination, {}});
    group->second.push_back(i);
  }
  for (auto& [destination, indexes] : groups) {
    std::vector<std::string> group;
    for (const size_t i : indexes)
      group.push_back(addresses[i]);
    const auto started = std::chrono::steady_clock::now();
    const std::vector<TVerdict> answers = AskRecipients(*destination, group);
    Context.Count(TStatEvent::RecipientCheckTime, MicrosecondsSince(started));
    for (size_t k = 0; k < indexes.size(); ++k)
      verdicts[indexes[k]] = answers[k];
  }
  return verdicts;
}

bool TRelayTransaction::Lease(TDestination& destination) {
  const TSettings& settings = *Context.Settings;
  if (Context.Relays && Context.Bounded && !destination.HoldsPlace) {
    const auto wait = std::min(Context.Deadline, std::chrono::steady_clock::now() + kShortWait);
    if (!Context.Relays->Enter(destination.Host, destination.Port, wait))
      throw std::runtime_error("Too many transactions open towards the next server, try again later");
    destination.HoldsPlace = true;
  }
  bool reused = false;
  if (Context.Relays)
    if (auto idle = Context.Relays->Take(destination.Host, destination.Port, PoolName(settings))) {
      destination.Client = idle->Client;
      destination.Offers = idle->Offers;
      reused = true;
    }
  if (!reused) destination.Client = std::make_shared<TSmtpClient>(settings.ForwardTimeout);
  TSmtpClient& client = *destination.Client;
  client.SetDeadline(Context.Deadline);
  if (settings.CBClientLogging) {
    const long thread = Context.Connection.ThreadId;
    TLogger& log = Context.Log;
    client.SetTap([&log, thread](bool sent, std::string_view chunk) {
      log.WriteTraffic(sent ? TTrafficDirection::ClientSent : TTrafficDirection::ClientReceived, thread, chunk);
    });
  }
  return reused;
}

void TRelayTransaction::Open(TDestination& destination, bool reused) {
  TSmtpClient& client = *destination.Client;
  if (!reused) client.Connect(destination.Host, destination.Port);
  if (!destination.Announced) {
    Context.Post(EvConnection, ClientConnect, 0);
    Context.Log.WriteMailLog(Tag(Context) + " SMTP Client connected to " + destination.Host);
    destination.Announced = true;
  }
  if (!reused) destination.Offers = Greet(Context, client, Context.Settings->MailHostName, destination.Host);
}

bool TRelayTransaction::Fit(TDestination& destination) {
  if (!destination.Client || !destination.Client->Quiet()) return false;
  const auto idleLimit = std::chrono::milliseconds(Context.Settings->ForwardTimeout * 1000L) / 3;
  if (std::chrono::steady_clock::now() - destination.LastUse <= idleLimit) return true;
  try {
    destination.Client->Command("NOOP", {250});
    destination.LastUse = std::chrono::steady_clock::now();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TRelayTransaction::Drop(TDestination& destination) {
  if (destination.Client) destination.Client->Quit();
  destination.Client.reset();
  destination.MailTaken = false;
}

std::vector<TVerdict> TRelayTransaction::AskRecipients(TDestination& destination,
                                                       const std::vector<std::string>& addresses) {
  const auto all = [&](const TVerdict& verdict) { return std::vector<TVerdict>(addresses.size(), verdict); };
  if (destination.Failed) return all(*destination.Failed);
  if (destination.Client && !Fit(destination)) Drop(destination); // replayed below on a new one
  const bool international =
      IsInternational(Context.EnvelopeSender) || std::any_of(addresses.begin(), addresses.end(), IsInternational);
  const size_t takenBefore = destination.Recipients.size();
  // A kept connection the server dropped before it took MAIL is replaced once by a new one.
  for (int attempt = 0;; ++attempt) {
    bool reused = false;
    try {
      const bool fresh = !destination.Client;
      if (fresh) reused = Lease(destination);
      const auto client = destination.Client;
      Context.Record->SetForwardClient(client);
      const auto cut = CutOnDisconnect(Context.Record->Cancellation, client);
      if (!cut.MayWait()) return all(Unreached("Cut"));
      if (fresh) Open(destination, reused);
      if (international && !destination.Offers.SmtpUtf8) {
        // Never relayed mangled: the sender hears that this destination cannot take the addresses.
        Context.Log.WriteLog("Message: the next server does not offer SMTPUTF8: not relayed to " + destination.Host,
                             true, &Context.Connection);
        TVerdict refusal = Reply(Replies::NextHopNotInternational);
        refusal.Close = false;
        return all(refusal);
      }
      std::vector<std::string> commands;
      const bool opening = !destination.MailTaken;
      const std::vector<std::string> replayed = opening ? destination.Recipients : std::vector<std::string>{};
      if (opening && reused) commands.push_back("RSET");
      if (opening) commands.push_back(MailCommand(Context, destination.Offers));
      for (const auto& address : replayed)
        commands.push_back("RCPT TO:<" + address + ">");
      for (const auto& address : addresses)
        commands.push_back("RCPT TO:<" + address + ">");
      const bool pipelining = destination.Offers.Pipelining;
      if (pipelining) client->SendRaw(JoinText(commands, "\r\n") + "\r\n");
      size_t next = 0;
      auto step = [&] {
        if (!pipelining) client->SendRaw(commands[next] + "\r\n");
        ++next;
        return client->ReadReply();
      };
      if (opening && reused) step();
      if (opening) {
        const TSmtpReply mail = step();
        if (mail.Code != 250) throw TSmtpReplyError(mail);
        destination.MailTaken = true;
      }
      if (!replayed.empty()) {
        Context.Count(TStatEvent::TransactionReplayed);
        Context.Log.WriteLog("Connection to " + destination.Host + " lost: the transaction is replayed", true,
                             &Context.Connection);
      }
      for (const auto& address : replayed)
        if (!TakenReply(step()) && !Lost) {
          Context.Log.WriteLog("Replay: <" + address + "> not taken again: the message will not be relayed", true,
                               &Context.Connection);
          Lost = Unreached("A recipient was not taken again after a lost connection, try again later");
        }
      std::vector<TVerdict> verdicts;
      for (const auto& address : addresses) {
        const TSmtpReply reply = step();
        if (TakenReply(reply)) {
          destination.Recipients.push_back(address);
          verdicts.push_back(AddressOkay(address));
          continue;
        }
        LogHeard(Context, reply);
        verdicts.push_back(Refusal(reply));
        if (reply.Code >= 400 && reply.Code < 600) {
          ++RefusedCount;
          Context.Count(TStatEvent::RecipientRefusedByNextHop);
        }
      }
      destination.LastUse = std::chrono::steady_clock::now();
      return verdicts;
    } catch (const TSmtpReplyError& error) {
      LogHeard(Context, error.Received);
      destination.Failed = Refusal(error.Received); // a refused greeting or MAIL: every recipient hears it
    } catch (const std::exception& error) {
      Context.Log.WriteLog("Message: " + std::string(error.what()) + ": ESocketError", true, &Context.Connection);
      const bool retry = reused && attempt == 0 && !destination.MailTaken && !Context.Record->Cancellation.Cancelled();
      destination.Recipients.resize(takenBefore); // none of this group was told 250
      Drop(destination);
      if (retry) continue;
      // Without a recipient taken there is nothing to replay: the next ones hear the same.
      if (destination.Recipients.empty()) destination.Failed = Unreached(error.what());
      return all(Unreached(error.what()));
    }
    destination.Recipients.resize(takenBefore);
    Drop(destination);
    if (takenBefore > 0 && !Lost) Lost = Unreached("The next server refused the replayed transaction, try again later");
    return all(*destination.Failed);
  }
}

std::optional<TVerdict> TRelayTransaction::SendTo(TDestination& destination, const TWireSource& wire) {
  const auto client = destination.Client;
  Context.Record->SetForwardClient(client);
  const auto cut = CutOnDisconnect(Context.Record->Cancellation, client);
  if (!cut.MayWait()) return SilentClose();
  bool dataTaken = false;
  try {
    client->SetDeadline(Context.Deadline);
    Context.Trace("Sending DATA");
    client->Command("DATA", {354});
    dataTaken = true;
    Context.Trace("Data..");
    // Gathered into writes of up to a block: a small message goes out in one,
    // a large one is never held whole.
    constexpr size_t kWriteBlock = 65536;
    std::string pending;
    pending.reserve(kWriteBlock);
    wire([&](std::string_view piece) {
      if (pending.size() + piece.size() > kWriteBlock && !pending.empty()) {
        client->SendRaw(pending);
        pending.clear();
      }
      if (piece.size() >= kWriteBlock)
        client->SendRaw(piece);
      else
        pending.append(piece);
    });
    Context.Trace("Sending closure");
    pending += ".\r\n"; // the body lines are still dot-stuffed as received
    client->SendRaw(pending);
    client->ReadReply({250});
    destination.Delivered = true;
    return EndOfDataOkay();
  } catch (const TSmtpReplyError& error) {
    LogHeard(Context, error.Received);
    Drop(destination);
    if (Context.Record->Cancellation.Cancelled()) return SilentClose();
    return Refusal(error.Received);
  } catch (const std::exception& error) {
    Context.Log.WriteLog("Message: " + std::string(error.what()) + ": ESocketError", true, &Context.Connection);
    Drop(destination);
    if (Context.Record->Cancellation.Cancelled()) return SilentClose();
    if (!dataTaken) return std::nullopt;
    return Unreached(error.what());
  }
}

TVerdict TRelayTransaction::Send(const TWireSource& wire, std::chrono::steady_clock::time_point deadline) {
  Context.Deadline = deadline;
  // Every destination that took a recipient is made sure of first: a lost
  // connection is replayed, and one that cannot be means nothing goes anywhere.
  for (const auto& destination : Destinations)
    if (!destination->Recipients.empty() && !Lost && !Fit(*destination)) {
      Drop(*destination);
      AskRecipients(*destination, {});
      if (!destination->MailTaken && !Lost) Lost = destination->Failed.value_or(Unreached("Connection lost"));
    }
  TRelayFailures failures;
  if (Lost) {
    failures.Add(*Lost);
  } else {
    for (const auto& destination : Destinations) {
      if (destination->Recipients.empty()) continue;
      if (Context.OutOfTime()) {
        failures.Add(Reply(Replies::MessageOutOfTime));
        Context.Log.WriteLog("Out of time: not relayed to " + destination->Host, true, &Context.Connection);
        continue;
      }
      std::optional<TVerdict> sent = SendTo(*destination, wire);
      if (!sent) { // the connection closed before the server took DATA: replayed once
        AskRecipients(*destination, {});
        if (destination->MailTaken && !Lost) sent = SendTo(*destination, wire);
        if (!sent) sent = Lost.value_or(Unreached("Connection lost before the data"));
      }
      const TVerdict verdict = *sent;
      if (verdict.Code == 0) {
        Abandon();
        return verdict;
      }
      if (!verdict.Accepted()) failures.Add(verdict);
    }
  }
  Abandon();
  if (!failures.Any()) return EndOfDataOkay();
  TVerdict verdict = failures.Verdict();
  verdict.Close = true;
  return verdict;
}

void TRelayTransaction::Release(TDestination& destination) {
  if (destination.Client) {
    bool clean = destination.Delivered || !destination.MailTaken;
    const auto client = destination.Client;
    if (!clean && client->Connected()) {
      const auto cut = CutOnDisconnect(Context.Record->Cancellation, client);
      client->SetDeadline(std::min(Context.Deadline, std::chrono::steady_clock::now() + kShortWait));
      try {
        if (cut.MayWait()) client->Command("RSET", {250}); // nothing of this transaction reaches the next server
        clean = cut.MayWait();
      } catch (const std::exception&) {
      }
    }
    if (clean && Context.Relays && destination.Client->Quiet())
      Context.Relays->Give(destination.Host, destination.Port, PoolName(*Context.Settings),
                           {destination.Client, destination.Offers});
    else
      destination.Client->Quit();
    destination.Client.reset();
  }
  if (destination.Announced) {
    Context.Log.WriteMailLog(Tag(Context) + " SMTP Client disconnected from " + destination.Host);
    Context.Post(EvConnection, ClientDisconnect, 0);
    destination.Announced = false;
  }
  if (destination.HoldsPlace) Context.Relays->Leave(destination.Host, destination.Port);
  destination.HoldsPlace = false;
  destination.MailTaken = false;
}

void TRelayTransaction::KeepAlive() {
  for (const auto& destination : Destinations) {
    if (!destination->Client || !destination->MailTaken) continue;
    const auto cut = CutOnDisconnect(Context.Record->Cancellation, destination->Client);
    if (!cut.MayWait() || !Fit(*destination)) Drop(*destination); // replayed at its next use
  }
}

void TRelayTransaction::Abandon() {
  for (const auto& destination : Destinations)
    Release(*destination);
  Destinations.clear();
  Lost.reset();
  RefusedCount = 0;
}

} // namespace quibo
