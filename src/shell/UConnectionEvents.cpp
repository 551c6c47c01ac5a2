#include "UConnectionEvents.h"

#include "UFunctions.h"
#include "UMessageProcessing.h"
#include "UTransactionId.h"

#include <algorithm>
#include <stdexcept>

namespace quibo {
namespace {

// Keeps what the sender check at MAIL found for the rest of the transaction.
void KeepSenderCheck(TThreadController& record, const std::string& address, const TSenderCheck& check) {
  record.SenderAddress = address;
  record.SenderIsLocal = check.SenderIsLocal;
  record.Whitelisted = check.Whitelisted;
  record.Blacklisted = check.Blacklisted;
  record.CheckReason = check.BlacklistReason;
}

} // namespace

TConnectionEvents::TConnectionEvents(TForm1& form, std::shared_ptr<TLiveConnection> connection)
    : Form(form), Connection(std::move(connection)), LogIdentity{Connection->ThreadId(), Connection->PeerIp()} {}

const TSettingsGeneration& TConnectionEvents::Transaction() {
  if (!Generation) Generation = Form.Generation();
  return *Generation;
}

TPolicyContext TConnectionEvents::PolicyContext() const {
  return {*Generation->Settings, *Generation->Applied, Form.Log(), &LogIdentity,
          TSettingsModel::DnsWaitMs(*Generation->Settings)};
}

std::shared_ptr<TThreadController> TConnectionEvents::OnConnect(TSmtpSession&) {
  auto record = Form.Connections().RecordStatus(Connection, "CONNECT", false);
  if (Connection->HealthCheck()) return record; // a balancer's check is not a served connection
  Form.EventQueue().Post(EvConnection, ServerConnect);
  const std::string& balancer = Connection->BalancerIp();
  Form.Log().WriteMailLog(balancer.empty() ? "SMTP Server connect" : "SMTP Server connect through " + balancer,
                          &LogIdentity);
  return record;
}

void TConnectionEvents::BeforeCommand(TSmtpSession& session, const std::string& line) {
  if (Form.Log().Switches().Screen.load()) Form.Connections().RecordStatus(Connection, line, false);
  // The monitor's summary shows the command's word only: an AUTH line carries credentials.
  const std::string word = Uppered(line.substr(0, std::min(line.find(' '), size_t{8})));
  session.Record().ChangeSummary([&](TConnectionSummary& summary) {
    summary.State = PrintableText(word);
    if (word == "HELO" || word == "EHLO") summary.Helo = Bounded(PrintableText(Trimmed(line.substr(4))), 255);
  });
}

TVerdict TConnectionEvents::OnMail(TSmtpSession& session, const std::string& address) {
  Generation = Form.Generation(); // a new transaction
  LogIdentity.TransactionId = NewTransactionId();
  const TMailDecision decision = quibo::OnMail(PolicyContext(), Connection->PeerIp(), address);
  KeepSenderCheck(session.Record(), address, decision.Sender);
  session.Record().ChangeSummary([&](TConnectionSummary& summary) {
    summary.Sender = decision.Verdict.Accepted() ? Bounded(PrintableText(address), 255) : "";
    summary.Recipients.clear();
  });
  PostCounts(Form.EventQueue(), decision.Counts);
  if (!decision.Verdict.Accepted()) LogIdentity.TransactionId.clear();
  return decision.Verdict;
}

std::vector<TVerdict> TConnectionEvents::OnRcpt(TSmtpSession& session, const std::vector<std::string>& addresses) {
  Transaction();
  TThreadController& record = session.Record();
  const TSettings& settings = *Generation->Settings;
  // Mail of a blacklisted host redirected to MailForwardAddress goes out at the end, to its new recipients.
  const bool redirected = !record.Whitelisted && record.Blacklisted && !settings.RBPass;
  const bool live = settings.RecipientCheck == "live" && !redirected;
  std::vector<TVerdict> verdicts(addresses.size());
  std::vector<size_t> asked;
  std::vector<std::string> askedAddresses;
  for (size_t i = 0; i < addresses.size(); ++i) {
    record.NoteRecipient(addresses[i]);
    const TRcptDecision decision = quibo::OnRcpt(PolicyContext(), record.SenderIsLocal, addresses[i]);
    PostCounts(Form.EventQueue(), decision.Counts);
    verdicts[i] = decision.Verdict;
    if (decision.Verdict.Close) break; // the session ends here: nothing after it is asked
    if (!decision.Verdict.Accepted() || !live) continue;
    asked.push_back(i);
    askedAddresses.push_back(addresses[i]);
  }
  if (!asked.empty()) {
    const std::vector<TVerdict> answers = AskNextServer(session, askedAddresses);
    for (size_t k = 0; k < asked.size(); ++k)
      verdicts[asked[k]] = answers[k];
  }
  record.ChangeSummary([&](TConnectionSummary& summary) {
    for (size_t i = 0; i < addresses.size() && summary.Recipients.size() < 100; ++i)
      if (verdicts[i].Accepted()) summary.Recipients.push_back(Bounded(PrintableText(addresses[i]), 255));
  });
  return verdicts;
}

std::vector<TVerdict> TConnectionEvents::AskNextServer(TSmtpSession& session,
                                                       const std::vector<std::string>& addresses) {
  if (!Relay) {
    TRelayContext relay = Context(session).ForRelay();
    relay.Deadline = std::chrono::steady_clock::time_point::max(); // each wait has its own limit until the data
    relay.Bounded = true;
    Relay = std::make_unique<TRelayTransaction>(std::move(relay));
    // The next servers would time a slow client's transaction out: a connection
    // silent for a third of ForwardTimeout gets a NOOP, looked for twice as often.
    const auto idle = std::chrono::milliseconds(Generation->Settings->ForwardTimeout * 1000L) / 3;
    session.WhileWaiting([this] { Relay->KeepAlive(); }, idle / 2);
  }
  const auto limit = static_cast<size_t>(std::max(0, Generation->Settings->MaxRefusedRecipients));
  std::vector<TVerdict> verdicts(addresses.size());
  // A group never holds more recipients than may still be refused, so that
  // the next server never hears more guesses than the bound and only a
  // group's last recipient can cross it.
  for (size_t first = 0; first < addresses.size();) {
    const size_t count = std::min(limit - RefusedByNextHop + 1, addresses.size() - first);
    const std::vector<std::string> group(addresses.begin() + first, addresses.begin() + first + count);
    const size_t refusedBefore = Relay->Refused();
    const std::vector<TVerdict> answers = Relay->Open(group);
    std::copy(answers.begin(), answers.end(), verdicts.begin() + first);
    RefusedByNextHop += Relay->Refused() - refusedBefore;
    first += count;
    if (RefusedByNextHop > limit) {
      Form.Log().WriteLog("Too many unknown recipients (" + std::to_string(RefusedByNextHop) + "): session ended", true,
                          &LogIdentity);
      verdicts[first - 1] = Reply(Replies::TooManyUnknownRecipients);
      break;
    }
  }
  return verdicts;
}

void TConnectionEvents::OnTransactionEnd(TSmtpSession& session) {
  if (Relay) session.WhileWaiting(nullptr, {});
  Relay.reset();
}

TPipelineContext TConnectionEvents::Context(TSmtpSession& session) const {
  const auto& settings = Generation->Settings;
  const auto deadline = session.DataEnded() + std::chrono::seconds(TSettingsModel::EndOfDataSeconds(*settings));
  return TPipelineContext{
      settings,
      Generation->Applied,
      Generation->Forwarders,
      session.SharedRecord(),
      session.From(),
      [&session] { return session.ClientStillThere(); },
      deadline,
      Form.Log(),
      LogIdentity,
      [this](int event, long argument, long argument2) { Form.EventQueue().Post(event, argument, argument2); },
      Form.ProgramFolder(),
      Form.ServerIdent(),
      Form.Clock(),
      &Form.Relays(),
      &Form.ClamdSessions(),
      session.Tls(),
      Generation->OutgoingTls,
      session.MailParameters(),
      &Form.HostNames(),
      &Form.MemoryTrim(),
      &Form.RspamdClients(),
      session.HeloName(),
      session.Recipients(),
      Relay.get()};
}

bool TConnectionEvents::NeedsMessageFile(TSmtpSession& session) {
  const TSettingsGeneration& generation = Transaction();
  const TThreadController& record = session.Record();
  // clamd takes the message from memory; a scanner program reads a file.
  const bool scannerReadsFile = generation.Applied->VirusCheck && generation.Settings->ClamdSocket.empty();
  // rspamd asked by the filter takes it from memory; HCheck reads a file.
  const bool classifierReadsFile = generation.Applied->Heurastic && generation.Settings->RspamdUrl.empty();
  return scannerReadsFile || classifierReadsFile || (generation.Settings->CBCopyIfWhitelisted && record.Whitelisted) ||
         (generation.Settings->CBCopyIfBlacklisted && record.Blacklisted);
}

std::optional<TVerdict> TConnectionEvents::CheckMessage(TSmtpSession& session, const std::filesystem::path& file,
                                                        const TStoredMessage& message) {
  Transaction();
  session.Record().ChangeSummary([&](TConnectionSummary& summary) { summary.Bytes = message.Size(); });
  TPipelineContext context = Context(session);
  auto refusal = quibo::CheckMessage(context, file, message);
  if (refusal) LogIdentity.TransactionId.clear(); // the transaction ends here
  return refusal;
}

TVerdict TConnectionEvents::Server1ReceiveRaw(TSmtpSession& session, const TStoredMessage& message,
                                              const std::vector<std::string>& recipients) {
  Transaction();
  TPipelineContext context = Context(session);
  TVerdict verdict = quibo::Server1ReceiveRaw(context, message, recipients);
  LogIdentity.TransactionId.clear(); // the transaction ends with its message
  return verdict;
}

std::vector<std::filesystem::path> TConnectionEvents::LearningCopies(TSmtpSession& session) {
  std::vector<std::filesystem::path> folders;
  const TThreadController& record = session.Record();
  const auto& settings = Transaction().Settings;
  if (settings->CBCopyIfWhitelisted && record.Whitelisted) folders.push_back(Form.ProgramFolder() / "ham");
  if (settings->CBCopyIfBlacklisted && record.Blacklisted) folders.push_back(Form.ProgramFolder() / "spam");
  return folders;
}

void TConnectionEvents::OnTlsStarted(TSmtpSession& session) {
  Form.Log().WriteMailLog("TLS: " + session.Tls()->Protocol + " " + session.Tls()->Cipher, &LogIdentity);
  Form.EventQueue().Post(EvStatistic, static_cast<long>(TStatEvent::TlsSessionStarted),
                         TlsProtocolArgument(session.Tls()->Protocol));
}

void TConnectionEvents::OnDisconnect(TSmtpSession& session) {
  OnTransactionEnd(session);
  if (Connection->HealthCheck()) {
    Form.Connections().RecordStatus(Connection, "DISCONNECT", true);
    return Form.SessionEnded();
  }
  if (!session.EndReason().empty())
    Form.Log().WriteLog("Session ended: " + PrintableText(session.EndReason()), true, &LogIdentity);
  if (Form.ForcedDisconnectInProgress()) {
    // The forced disconnect took the lines it saw; a session that registered
    // in the meantime must not leave a line behind.
    Form.Connections().RecordStatus(Connection, "DISCONNECT", true);
    return;
  }
  Form.Log().WriteMailLog("[" + std::to_string(LogIdentity.ThreadId) + "] SMTP Server disconnect");
  Form.Connections().RecordStatus(Connection, "DISCONNECT", true);
  Form.EventQueue().Post(EvConnection, ServerDisconnect);
  Form.SessionEnded();
}

} // namespace quibo
