#include "UMessageProcessing.h"

#include "UAddress.h"

#include "UClamdScanner.h"
#include "UEvents.h"
#include "UForward.h"
#include "UFunctions.h"
#include "UHeurastic.h"
#include "UHostNameCache.h"
#include "UMemoryTrim.h"
#include "UVirusCheck.h"

#include <ctime>

namespace quibo {
namespace {

// What became of a scan or classification that gave no answer: the message
// waits for a retry when the operator asks for it or when its time is up.
std::optional<TVerdict> AfterFailedCheck(TPipelineContext& context, const std::string& what,
                                         const std::string& reason) {
  if (context.Record->Cancellation.Cancelled()) return SilentClose();
  context.Log.WriteLog(what + " failed: " + reason, true, &context.Connection);
  if (context.OutOfTime()) return Reply(Replies::MessageOutOfTime);
  if (context.Settings->DeferUncheckedMail) {
    context.Count(TStatEvent::MessageDeferredUnchecked);
    return Reply(Replies::MessageUnchecked);
  }
  return std::nullopt;
}

// The addresses written in a template: comma- or semicolon-separated
// entries, each "Name <address>" or blank-separated bare addresses; quoted
// names and comments are not addresses.
std::vector<std::string> AddressList(const std::string& text) {
  std::vector<std::string> entries{""};
  bool quoted = false, bracketed = false;
  for (const char c : text) {
    if (c == '"' && !bracketed) quoted = !quoted;
    if (c == '<' && !quoted) bracketed = true;
    if (c == '>' && !quoted) bracketed = false;
    if ((c == ',' || c == ';') && !quoted && !bracketed)
      entries.emplace_back();
    else
      entries.back() += c;
  }
  std::vector<std::string> addresses;
  for (const auto& entry : entries) {
    if (entry.find('<') != std::string::npos) {
      if (const std::string address = AddressOf(entry); !address.empty()) addresses.push_back(address);
      continue;
    }
    std::string word;
    int comment = 0;
    for (const char c : entry + " ") {
      if (c == '(') ++comment;
      if (comment == 0 && c != ' ' && c != '\t' && c != '"') word += c;
      if (c == ')' && comment > 0) --comment;
      if ((c == ' ' || c == '\t') && !word.empty()) {
        addresses.push_back(word);
        word.clear();
      }
    }
  }
  return addresses;
}

// The virus scan: clamd itself when ClamdSocket is set, else the scanner program on the file.
TScanResult ScanMessage(TPipelineContext& context, const std::filesystem::path& file, const TStoredMessage& message) {
  const TSettings& settings = *context.Settings;
  const int timeoutMs = context.TimeLeftMs(settings.VirusCheckTimeOut);
  TCancellation* cancel = &context.Record->Cancellation;
  if (settings.ClamdSocket.empty())
    return ScanFile(context.Applied->VirusProgram, file, context.Applied->VirusResultCode, timeoutMs,
                    context.ProgramFolder, cancel);
  TClamdPool unpooled;
  return ScanWithClamd(context.Clamd ? *context.Clamd : unpooled, settings.ClamdSocket, context.ProgramFolder, message,
                       file, timeoutMs, cancel);
}

// What rspamd is told about the message: the envelope as the session took it, the client's name only when it
// leads back to its address.
TRspamdEnvelope EnvelopeOf(const TPipelineContext& context) {
  const std::string& ip = context.Connection.PeerIp;
  const TPeerName peer = context.HostNames ? context.HostNames->Peer(ip) : LookUpPeer(ip);
  TRspamdEnvelope envelope;
  envelope.Domain = context.Record->RecipientDomain;
  envelope.Ip = ip;
  envelope.Helo = context.HeloName;
  if (peer.ForwardConfirmed) envelope.Hostname = peer.Name;
  envelope.From = context.EnvelopeSender.empty() ? "<>" : context.EnvelopeSender;
  envelope.Recipients = context.Recipients;
  envelope.QueueId = context.Connection.TransactionId; // the id of the message's log lines
  envelope.MtaName = context.Settings->MailHostName;
  if (context.ClientTls) {
    envelope.TlsCipher = context.ClientTls->Cipher;
    envelope.TlsVersion = context.ClientTls->Protocol;
  }
  return envelope;
}

// The classification by HCheck, or by rspamd itself with the envelope.
TClassification Classify(TPipelineContext& context, const std::filesystem::path& file, const TStoredMessage& message) {
  const TSettings& settings = *context.Settings;
  TThreadController& record = *context.Record;
  const TClassifierBridge classifier(context.ProgramFolder, context.Log,
                                     context.TimeLeftMs(settings.HeurasticCheckTimeOut), settings.Multidomainprefix);
  if (settings.RspamdUrl.empty()) return classifier.Classify(file, record.RecipientDomain, &record.Cancellation);
  TRspamdClients unpooled;
  return classifier.ClassifyWithRspamd(context.Rspamd ? *context.Rspamd : unpooled, settings.RspamdUrl, message,
                                       EnvelopeOf(context), &record.Cancellation);
}

// rspamd's reject (554) or soft reject (451), logged and counted; empty for any other action.
std::optional<TVerdict> RspamdRefusal(TPipelineContext& context, const TRspamdAdvice& advice) {
  const TRspamdAction action = RspamdActionNamed(advice.Action);
  if (action != TRspamdAction::Reject && action != TRspamdAction::SoftReject) return std::nullopt;
  const bool reject = action == TRspamdAction::Reject;
  const std::string_view text = !advice.SmtpMessage.empty() ? std::string_view(advice.SmtpMessage)
                                : reject                    ? Replies::RspamdRejectDefault
                                                            : Replies::RspamdSoftRejectDefault;
  TVerdict verdict = Reply(reject ? Replies::RspamdReject : Replies::RspamdSoftReject, {text});
  context.Log.WriteLog(
      FormatText(Replies::RspamdActionLog, {advice.Action, std::to_string(verdict.Code) + " " + verdict.Text}), true,
      &context.Connection);
  context.Count(reject ? TStatEvent::RspamdRefused : TStatEvent::RspamdDeferred);
  return verdict;
}

// rspamd's removals, counted in the message as rspamd saw it.
void RemoveRspamdHeaders(TMailMessage& message, const TRspamdAdvice* advice) {
  if (!advice) return;
  for (const auto& removal : advice->Edits.Removed)
    message.RemoveAt(removal.Name, removal.Index);
}

// rspamd's headers, each placed by its order as a milter's are (0: above the Received header just added),
// and its DKIM signatures at the top in their order.
void AddRspamdHeaders(TMailMessage& message, const TRspamdAdvice* advice) {
  if (!advice) return;
  for (const auto& header : advice->Edits.Added)
    message.InsertAt(header.Order, header.Text);
  const auto& signatures = advice->Edits.Signatures;
  for (auto signature = signatures.rbegin(); signature != signatures.rend(); ++signature)
    message.InsertFirst(*signature);
}

// The tests the score line and the score header name: for a blacklisted host,
// whose message the classifier does not see, why it is blacklisted.
const std::string& TestsNamed(const TThreadController& record) {
  return !record.Whitelisted && record.Blacklisted ? record.CheckReason : record.ClassifierTests;
}

// The relay, unless nobody waits for its outcome any more: a sender who hung
// up would retry, and the message would arrive twice. The recipients the next
// servers took at RCPT get the data on their connections; redirected mail
// goes to its new recipients, asked now.
TVerdict RelayIfStillWanted(TPipelineContext& context, const TMailMessage& message,
                            const std::vector<std::string>& recipients, bool redirected) {
  if (context.Record->Cancellation.Cancelled()) return SilentClose();
  if (!context.ClientStillThere()) {
    context.Log.WriteLog("Sender disconnected before the relay: message not relayed", true, &context.Connection);
    return SilentClose();
  }
  if (context.OutOfTime()) {
    context.Log.WriteLog("Out of time before the relay: message not relayed", true, &context.Connection);
    return Reply(Replies::MessageOutOfTime);
  }
  context.Log.WriteMailLog(message.Subject() + " from <" + message.FromAddress() + "> sent to <" +
                               JoinText(recipients, ",") + ">",
                           &context.Connection);
  const TWireSource wire = [&message](const auto& sink) { message.StreamWire(sink); };
  if (context.Transaction && !redirected && context.Transaction->Taken() > 0)
    return context.Transaction->Send(wire, context.Deadline);
  if (context.Transaction) context.Transaction->Abandon(); // its recipients do not get this message
  TRelayContext relay = context.ForRelay();
  return RelayMessage(relay, wire, recipients);
}

// The relay's outcome and time; a relay given up before it began (the sender left) counts nowhere.
void CountRelayOutcome(TPipelineContext& context, int code, std::chrono::steady_clock::time_point started) {
  if (code == 0) return;
  context.Count(TStatEvent::RelayTime, MicrosecondsSince(started));
  context.Count(code < 400   ? TStatEvent::MessageRelayed
                : code < 500 ? TStatEvent::RelayFailedTemporary
                             : TStatEvent::RelayFailedPermanent);
}

} // namespace

std::string BuildReceivedHeader(const std::string& hostName, const std::string& ip, const std::string& ownHostName,
                                const std::string& id, TTimePoint when, const std::optional<TTlsSession>& tls) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&seconds, &local);
  const long offset = local.tm_gmtoff / 60;
  char date[96];
  std::snprintf(date, sizeof date, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday], local.tm_mday,
                kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                offset >= 0 ? '+' : '-', std::labs(offset) / 60, std::labs(offset) % 60);
  // Names from the network and the message's own id are peer text.
  // A message that came in TLS says so, with how (RFC 3848).
  const std::string with = tls ? "ESMTPS (" + tls->Protocol + " " + tls->Cipher + ")" : "SMTP";
  return "Received: from " + PrintableText(hostName) + " ([" + (IsIPv6Text(ip) ? "IPv6:" : "") + ip + "])\r\n\tby " +
         PrintableText(ownHostName) + " with " + with + " id " + PrintableText(id) + "; \r\n\t" + date;
}

void RewriteRecipients(std::vector<std::string>& recipients, const std::string& addressTemplate) {
  const std::string upper = Uppered(addressTemplate);
  if (upper.find("#DOMAIN#") == std::string::npos && upper.find("#USER#") == std::string::npos) {
    recipients = AddressList(addressTemplate);
    return;
  }
  const bool needsDomain = upper.find("#DOMAIN#") != std::string::npos;
  for (auto& address : recipients) {
    const auto at = address.find('@');
    if (at == std::string::npos && needsDomain) continue; // "postmaster" has no domain to put in
    const std::string user = address.substr(0, at);
    const std::string domain = at == std::string::npos ? std::string() : address.substr(at + 1);
    address = ReplaceNoCase(ReplaceNoCase(addressTemplate, "#DOMAIN#", domain), "#USER#", user);
  }
}

void AddFilterHeaders(TMailMessage& message, bool marked, const std::string& scoreText, bool heurastic,
                      const std::string& serverIdent, const TPipelineContext* trace) {
  auto step = [trace](const char* text) {
    if (trace) trace->Trace(text);
  };
  // Only the filter says what the filter found.
  message.RemoveHeader("X-Spam-Status");
  message.RemoveHeader("X-Spam-Score");
  step("Add X-server");
  message.SetHeader("X-Server", serverIdent);
  step(marked ? "Add X-Status-pos" : "Add X-Status-neg");
  message.SetHeader("X-Spam-Status", marked ? "Positive " : "Negative ");
  if (heurastic) {
    step("Add X-Score");
    message.SetHeader("X-Spam-Score", Bounded(scoreText, kMaxClassifierText));
  }
}

std::optional<TVerdict> CheckMessage(TPipelineContext& context, const std::filesystem::path& file,
                                     const TStoredMessage& message) {
  const TSettings& settings = *context.Settings;
  const TAppliedSettings& applied = *context.Applied;
  TThreadController& record = *context.Record;
  const uint64_t size = message.Size();
  record.ClassifierAdvice.reset();
  if (applied.VirusCheck) {
    const auto started = std::chrono::steady_clock::now();
    const TScanResult scan = ScanMessage(context, file, message);
    context.Count(TStatEvent::ScanTime, MicrosecondsSince(started));
    if (!scan.Error.empty()) context.Log.WriteLog("Exception: " + scan.Error, true, &context.Connection);
    if (scan.Found) {
      const TVerdict refusal = Reply(Replies::VirusFound);
      context.Log.WriteMailLog(std::to_string(refusal.Code) + " " + refusal.Text, &context.Connection);
      context.Count(TStatEvent::VirusFound);
      return refusal;
    }
    if (!scan.Answered()) {
      if (auto verdict = AfterFailedCheck(context, "Virus scan", scan.Error.empty() ? scan.Failure : scan.Error))
        return verdict;
    }
  }
  record.SpamScore = "0";
  record.ClassifierTests.clear();
  if (record.Whitelisted) {
    record.ClassifierTests = "not checked: Host or sender whitelisted";
    return std::nullopt;
  }
  if (record.Blacklisted) return std::nullopt;
  if (applied.Heurastic && size < static_cast<uint64_t>(applied.MaxMailBytes)) {
    const auto started = std::chrono::steady_clock::now();
    const TClassification result = Classify(context, file, message);
    context.Count(TStatEvent::ClassificationTime, MicrosecondsSince(started));
    record.SpamScore = result.Score;
    record.ClassifierTests = result.Result;
    double score = 0;
    if (!result.Answered || !ParseScore(result.Score, score))
      context.Count(TStatEvent::ClassifierNotTested);
    else
      context.Count(score >= applied.Threshold ? TStatEvent::ClassifierPositive : TStatEvent::ClassifierNegative);
    if (!result.Answered) return AfterFailedCheck(context, "Classifier", result.Result);
    if (result.Advice) {
      for (const auto& refused : result.Advice->Edits.Refused)
        context.Log.WriteLog(refused, true, &context.Connection);
      context.Count(TStatEvent::RspamdAction, static_cast<long>(RspamdActionNamed(result.Advice->Action)));
      if (settings.RspamdActions)
        if (auto refusal = RspamdRefusal(context, *result.Advice)) return refusal;
      record.ClassifierAdvice = result.Advice; // its discard and its headers, for the processing
    }
  } else if (size >= static_cast<uint64_t>(applied.MaxMailBytes)) {
    if (applied.Heurastic) context.Count(TStatEvent::ClassifierNotTested);
    record.ClassifierTests = "not checked: Maxsize Exceeded (" + std::to_string(size) + ")";
  }
  return std::nullopt;
}

TVerdict Server1ReceiveRaw(TPipelineContext& context, const TStoredMessage& stored,
                           std::vector<std::string> recipients) {
  const TSettings& settings = *context.Settings;
  const TAppliedSettings& applied = *context.Applied;
  TThreadController& record = *context.Record;
  const std::string& peerIp = context.Connection.PeerIp;
  const std::string hostName = (context.HostNames ? context.HostNames->Peer(peerIp) : LookUpPeer(peerIp)).Name;
  const std::vector<std::string> told = recipients; // as the sender was told at RCPT
  TMailMessage message = TMailMessage::Parse(stored, static_cast<size_t>(settings.MaxHeaderSize) * 1024);
  if (context.MemoryTrim) context.MemoryTrim->AfterMessage();
  bool marked = false;
  const TRspamdAdvice* advice = record.ClassifierAdvice.get();
  if (advice && settings.RspamdActions && RspamdActionNamed(advice->Action) == TRspamdAction::Discard) {
    context.Count(TStatEvent::HeurasticDropped);
    const std::string dropped =
        FormatText(Replies::RspamdDiscardLog, {message.FromAddress(), JoinText(recipients, ",")});
    context.Log.WriteLog(FormatText(Replies::RspamdActionLog, {advice->Action, dropped}), true, &context.Connection);
    return EndOfDataOkay();
  }

  if (!record.Whitelisted && record.Blacklisted) {
    context.Log.WriteMailLog(record.CheckReason, &context.Connection);
    marked = true;
    if (settings.RBPass) {
      message.SetHeader("Subject", ReplaceNoCase(settings.ESubject, "#SUBJECT#", message.Subject()));
    } else {
      context.Trace("Modifying addresses");
      RewriteRecipients(recipients, settings.EForward);
    }
  }

  context.Trace("Inserting additional headers");
  RemoveRspamdHeaders(message, advice);
  message.InsertFirst(BuildReceivedHeader(hostName, context.Connection.PeerIp, settings.MailHostName,
                                          message.MessageId(), context.Clock.Now(), context.ClientTls));
  AddRspamdHeaders(message, advice);

  const std::string scoreText = record.SpamScore;
  const std::string& tests = TestsNamed(record);
  double score = 0;
  if (!ParseScore(scoreText, score)) {
    context.Log.WriteLog("Convert error: '" + scoreText + "' is not a valid floating point value: EConvertError", true,
                         &context.Connection);
    score = 0;
  }
  if (applied.Heurastic)
    context.Log.WriteLog("Spamscore: " + scoreText + " Positive tests: " + tests, true, &context.Connection);
  context.Trace("Modify subject" + scoreText + " " + std::to_string(applied.DropScore) + " ");

  TVerdict verdict = EndOfDataOkay();
  try {
    if (score >= applied.DropScore && settings.CBDropScore) {
      context.Count(TStatEvent::HeurasticDropped);
      context.Log.WriteLog("Dropping message from " + message.FromAddress() + " to " + JoinText(recipients, ",") +
                               " due to maximum score passing...",
                           true, &context.Connection);
    } else {
      if (!marked && score >= applied.Threshold) {
        context.Trace("Posting message");
        context.Count(TStatEvent::HeurasticPositive);
        marked = true;
        if (settings.CBHeurasticSubject) {
          context.Trace("Modify subject");
          message.SetHeader("Subject", ReplaceNoCase(applied.HeurasticSubject, "#SUBJECT#", message.Subject()));
        }
        if (settings.CBHeurasticForward) {
          context.Trace("Modifying addresses");
          RewriteRecipients(recipients, settings.EHeurasticForward);
        }
      }
      context.Trace("Updating body");
      AddFilterHeaders(message, marked, "Hits: " + scoreText + " Tests: " + tests, applied.Heurastic,
                       context.ServerIdent, &context);
      context.Trace("Accept logging");
      context.Log.WriteMailLog("Relaying allowed for " + message.FromAddress() + " to " + JoinText(recipients, ","),
                               &context.Connection);
      context.Trace("Sending message");
      const auto started = std::chrono::steady_clock::now();
      verdict = RelayIfStillWanted(context, message, recipients, recipients != told);
      CountRelayOutcome(context, verdict.Code, started);
    }
  } catch (const std::exception& error) {
    context.Log.WriteLog(std::string("Message: ") + error.what() + ": Exception", true, &context.Connection);
    // The message went nowhere: the sender must not be told it was taken.
    verdict = Reply(Replies::MessageFailed, {error.what()});
    context.Count(TStatEvent::RelayFailedTemporary);
  }
  record.SetForwardClient(nullptr);
  return verdict;
}

} // namespace quibo
