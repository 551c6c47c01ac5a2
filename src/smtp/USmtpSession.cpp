#include "USmtpSession.h"

#include "UBase64.h"
#include "UFunctions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

// A verdict of a hook as one reply line: a next server's multi-line text, which
// a relay refusal carries, becomes one line.
TVerdict AsOneLine(TVerdict verdict) {
  verdict.Text = OneLine(std::move(verdict.Text));
  return verdict;
}

// A body line that a next hop which ignores trailing blanks or NULs, or which
// ends lines at a bare CR, could take for the end of the data: "." followed
// only by such bytes.
bool LooksLikeEndOfData(const std::string& line) {
  return !line.empty() && line[0] == '.' &&
         line.find_first_not_of(std::string_view(" \t\r\0", 4), 1) == std::string::npos;
}

void CopyWithoutOverwrite(const fs::path& file, const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  fs::copy_file(file, folder / file.filename(), fs::copy_options::skip_existing, error);
}

} // namespace

const TSmtpSession::TCommand TSmtpSession::kCommands[] = {
    {"About Quibo", &TSmtpSession::HandleAbout}, {"DATA", &TSmtpSession::HandleData},
    {"AUTH", &TSmtpSession::HandleAuth},         {"HELP", &TSmtpSession::HandleRefused},
    {"SOML", &TSmtpSession::HandleRefused},      {"SEND", &TSmtpSession::HandleRefused},
    {"SAML", &TSmtpSession::HandleRefused},      {"VRFY", &TSmtpSession::HandleRefused},
    {"EXPN", &TSmtpSession::HandleRefused},      {"TURN", &TSmtpSession::HandleRefused},
    {"RSET", &TSmtpSession::HandleRset},         {"HELO", &TSmtpSession::HandleHelo},
    {"EHLO", &TSmtpSession::HandleEhlo},         {"MAIL", &TSmtpSession::HandleMail},
    {"NOOP", &TSmtpSession::HandleNoop},         {"QUIT", &TSmtpSession::HandleQuit},
    {"RCPT", &TSmtpSession::HandleRcpt},         {"STARTTLS", &TSmtpSession::HandleStartTls},
};

TSmtpSession::TSmtpSession(TLineChannel& channel, TSessionHooks& hooks, TSessionSetup setup, long threadId,
                           std::string peerIp)
    : Link(channel), Hooks(hooks), Setup(std::move(setup)), Thread(threadId), Peer(std::move(peerIp)) {}

void TSmtpSession::Answer(const TVerdict& verdict) {
  if (verdict.Code > 0) Link.Write(ReplyBytes(verdict));
  if (verdict.Close) {
    Link.Close();
    Ended = true;
  }
  if (Controller && Controller->InEndOfData) {
    Link.Flush(); // a message's answer goes out at once: a stop waits for it, not longer
    Controller->InEndOfData = false;
  }
}

void TSmtpSession::Run() {
  try {
    Answer(Reply(Replies::Greeting, {Setup.Greeting}));
    Controller = Hooks.OnConnect(*this);
    if (!Controller) throw std::runtime_error("connection record not found");
    std::string line;
    while (!Ended && Link.Connected()) {
      const TReadResult read = ReadClientLine(line);
      if (read.Status == TReadStatus::TooLong) Answer(Reply(Replies::LineTooLong));
      if (read.Status != TReadStatus::Line) break;
      if (line.empty()) continue;
      CommandEndedWithCrLf = read.EndedWithCrLf;
      Hooks.BeforeCommand(*this, line);
      Answer(Dispatch(line));
    }
  } catch (const std::exception& failure) {
    Ending = std::string("failure: ") + failure.what(); // it ends this session only
  } catch (...) {
    Ending = "failure";
  }
  if (Controller) Controller->InEndOfData = false;
  try {
    Hooks.OnDisconnect(*this);
  } catch (...) {
  }
  Link.Close();
}

TVerdict TSmtpSession::Dispatch(const std::string& line) {
  for (const auto& command : kCommands) {
    const size_t length = std::char_traits<char>::length(command.Word);
    if (!StartsWithNoCase(line, command.Word)) continue;
    if (line.size() == length) return (this->*command.Handler)(std::string());
    if (line[length] == ' ') return (this->*command.Handler)(line.substr(length + 1));
  }
  return Reply(Replies::UnknownCommand);
}

TVerdict TSmtpSession::HandleAbout(const std::string&) { return Reply(Replies::AboutReply, {Setup.Version}); }

TVerdict TSmtpSession::HandleNoop(const std::string&) { return Reply(Replies::NoopReply); }

TVerdict TSmtpSession::HandleQuit(const std::string&) { return Reply(Replies::QuitReply); }

TVerdict TSmtpSession::HandleRefused(const std::string& parameter) { return Reply(Replies::ErrorReply, {parameter}); }

TVerdict TSmtpSession::HandleRset(const std::string&) {
  Hooks.OnTransactionEnd(*this);
  RecipientList.clear();
  Sender.clear();
  CurrentState = HeloSeen || EhloSeen ? TSessionState::Helo : TSessionState::None;
  return Reply(Replies::NoopReply);
}

std::optional<TVerdict> TSmtpSession::GreetingRefusal(const std::string& parameter) const {
  if (CurrentState != TSessionState::None) return Reply(Replies::SequenceError);
  if (parameter.empty()) return Reply(Replies::ParameterSyntaxError);
  return std::nullopt;
}

TVerdict TSmtpSession::HandleHelo(const std::string& parameter) {
  if (auto refusal = GreetingRefusal(parameter)) return *refusal;
  HeloSeen = true;
  Greeted = parameter;
  CurrentState = TSessionState::Helo;
  return Reply(Replies::HelloReply, {parameter});
}

TVerdict TSmtpSession::HandleEhlo(const std::string& parameter) {
  if (auto refusal = GreetingRefusal(parameter)) return *refusal;
  HeloSeen = EhloSeen = true;
  Greeted = parameter;
  CurrentState = TSessionState::Helo;
  std::vector<std::string> extensions{"PIPELINING", "SIZE " + std::to_string(Setup.MaxMessageBytes), "8BITMIME",
                                      "SMTPUTF8", "AUTH LOGIN"};
  if (Link.TlsOffered()) extensions.emplace_back("STARTTLS");
  return EhloReply(extensions);
}

TVerdict TSmtpSession::HandleMail(const std::string& parameter) {
  if (!HeloSeen) return Reply(Replies::NoHello);
  Hooks.OnTransactionEnd(*this);
  Sender.clear();
  Parameters = {};
  RecipientList.clear();
  CurrentState = TSessionState::Helo;
  if (!StartsWithNoCase(parameter, "FROM:")) return Reply(Replies::MailParameterError);
  const TPathAndParameters path = SplitPath(parameter.substr(5));
  TMailParameters taken;
  if (auto refusal = MailRefusal(path.Address, path.Parameters, taken)) return *refusal;
  TVerdict verdict = AsOneLine(Hooks.OnMail(*this, path.Address));
  if (verdict.Accepted() && !verdict.Close) {
    Sender = path.Address;
    Parameters = taken;
    CurrentState = TSessionState::Mail;
  }
  return verdict;
}

std::optional<TVerdict> TSmtpSession::MailRefusal(const std::string& address, const std::string& parameters,
                                                  TMailParameters& taken) const {
  switch (ParseMailParameters(parameters, taken)) {
  case TParameterCheck::BadValue: return Reply(Replies::ParameterSyntaxError);
  case TParameterCheck::Unknown: return Reply(Replies::ParameterNotTaken);
  case TParameterCheck::Taken: break;
  }
  // The declared size is refused at once; the data is held to the limit whatever was declared.
  if (taken.Size && Setup.MaxMessageBytes > 0 && *taken.Size > Setup.MaxMessageBytes)
    return Reply(Replies::MessageTooLarge);
  if (!taken.SmtpUtf8 && IsInternational(address)) return Reply(Replies::InternationalAddress);
  return std::nullopt;
}

std::vector<std::string> TSmtpSession::PipelinedRecipients() {
  std::vector<std::string> parameters;
  const size_t room = Setup.MaxRecipients > 0
                          ? Setup.MaxRecipients - std::min(Setup.MaxRecipients, RecipientList.size())
                          : std::numeric_limits<size_t>::max();
  std::string line;
  for (auto waiting = Link.WaitingLine(); waiting && parameters.size() + 1 < room; waiting = Link.WaitingLine()) {
    if (!StartsWithNoCase(*waiting, "RCPT ")) break;
    if (Link.ReadLine(line).Status != TReadStatus::Line) break;
    Hooks.BeforeCommand(*this, line);
    parameters.push_back(line.substr(5));
  }
  return parameters;
}

std::optional<TVerdict> TSmtpSession::RcptRefusal(const std::string& parameter, size_t pending,
                                                  std::string& address) const {
  if (CurrentState != TSessionState::Mail && CurrentState != TSessionState::Rcpt) return Reply(Replies::SequenceError);
  if (!HeloSeen) return Reply(Replies::NoHello);
  if (!StartsWithNoCase(parameter, "TO:")) return Reply(Replies::RcptParameterError);
  if (Setup.MaxRecipients > 0 && RecipientList.size() + pending >= Setup.MaxRecipients)
    return Reply(Replies::TooManyRecipients);
  const TPathAndParameters path = SplitPath(parameter.substr(3));
  if (!path.Parameters.empty()) return Reply(Replies::ParameterNotTaken); // RCPT takes none
  if (!Parameters.SmtpUtf8 && IsInternational(path.Address)) return Reply(Replies::InternationalAddress);
  address = path.Address;
  return std::nullopt;
}

TVerdict TSmtpSession::HandleRcpt(const std::string& parameter) {
  // A pipelined group is asked at once, so that it reaches the next server as one group too.
  std::vector<std::string> parameters{parameter};
  if (CurrentState == TSessionState::Mail || CurrentState == TSessionState::Rcpt)
    for (std::string& next : PipelinedRecipients())
      parameters.push_back(std::move(next));
  std::vector<TVerdict> verdicts(parameters.size());
  std::vector<size_t> asked;
  std::vector<std::string> addresses;
  for (size_t i = 0; i < parameters.size(); ++i) {
    std::string address;
    if (auto refusal = RcptRefusal(parameters[i], addresses.size(), address)) {
      verdicts[i] = *refusal;
      continue;
    }
    asked.push_back(i);
    addresses.push_back(std::move(address));
  }
  if (!addresses.empty()) {
    const std::vector<TVerdict> answers = Hooks.OnRcpt(*this, addresses);
    for (size_t k = 0; k < asked.size() && k < answers.size(); ++k) {
      TVerdict& verdict = verdicts[asked[k]] = AsOneLine(answers[k]);
      if (!verdict.Accepted() || verdict.Close) continue;
      RecipientList.push_back(addresses[k]);
      CurrentState = TSessionState::Rcpt;
    }
  }
  for (size_t i = 0; i + 1 < verdicts.size() && !Ended; ++i)
    Answer(verdicts[i]);
  return Ended ? NoReply() : verdicts.back();
}

TVerdict TSmtpSession::HandleStartTls(const std::string& parameter) {
  if (TlsSession) return Reply(Replies::TlsAlreadyActive);
  if (!Link.TlsOffered()) return Reply(Replies::UnknownCommand); // no certificate: an unknown command
  if (!parameter.empty()) return Reply(Replies::ParameterSyntaxError);
  Answer(Reply(Replies::TlsReady));
  TTlsSession tls;
  std::string failure;
  if (!Link.StartTls(tls, failure)) {
    Ending = "TLS handshake failed: " + failure;
    return SilentClose();
  }
  // Nothing the client said in plain text counts inside TLS: it greets again.
  Hooks.OnTransactionEnd(*this);
  CurrentState = TSessionState::None;
  HeloSeen = EhloSeen = Authenticated = false;
  Greeted.clear();
  Sender.clear();
  Parameters = {};
  RecipientList.clear();
  Login.clear();
  TlsSession = tls;
  Hooks.OnTlsStarted(*this);
  return NoReply();
}

TReadResult TSmtpSession::ReadClientLine(std::string& line) {
  const TReadResult read = Link.ReadLine(line);
  if (read.Status == TReadStatus::Timeout) Ending = "timed out";
  if (read.Status == TReadStatus::TooLong) Ending = "line too long";
  return read;
}

bool TSmtpSession::ReadAuthLine(std::string& text) {
  if (ReadClientLine(text).Status != TReadStatus::Line) return false;
  text = Trimmed(text);
  return true;
}

TVerdict TSmtpSession::HandleAuth(const std::string& parameter) {
  if (!EhloSeen || parameter.empty()) return Reply(Replies::ErrorReply, {parameter});
  const std::string mechanism = parameter.substr(0, parameter.find(' '));
  if (!StartsWithNoCase(mechanism, "LOGIN") || mechanism.size() != 5) return Reply(Replies::AuthUnrecognized);
  std::string answer = mechanism.size() < parameter.size() ? Trimmed(parameter.substr(6)) : std::string();
  if (answer.empty()) {
    Answer(Reply(Replies::AuthPrompt, {Base64Encode("Username:")}));
    if (!ReadAuthLine(answer)) return SilentClose();
  }
  const auto name = answer.empty() ? std::nullopt : Base64Decode(answer);
  if (!name || name->empty()) return Reply(Replies::AuthFailed);
  Answer(Reply(Replies::AuthPrompt, {Base64Encode("Password:")}));
  if (!ReadAuthLine(answer)) return SilentClose();
  const auto password = answer.empty() ? std::nullopt : Base64Decode(answer);
  if (!password) return Reply(Replies::AuthFailed);
  Login = *name;
  Authenticated = true;
  return Reply(Replies::AuthWelcome, {Login});
}

TSmtpSession::TBody TSmtpSession::ReceiveBody(TMessageStore& writer) {
  std::string line;
  bool tooLarge = false;
  bool lineTooLong = false;
  bool previousEndedWithCrLf = true; // the 354 reply stands for the CR LF before the first line
  bool inHeaders = true;
  while (true) {
    TReadResult read = ReadClientLine(line);
    if (read.Status == TReadStatus::TooLong) {
      // The message is refused at its end, so the client hears why; the rest of it is read and dropped.
      lineTooLong = true;
      read = Link.SkipLine();
      if (read.Status == TReadStatus::Timeout) Ending = "timed out";
      if (read.Status != TReadStatus::Line) return {TBodyEnd::Gone};
      Ending.clear();
      previousEndedWithCrLf = read.EndedWithCrLf;
      continue;
    }
    if (read.Status != TReadStatus::Line) return {TBodyEnd::Gone};
    if (line == "." && read.EndedWithCrLf && previousEndedWithCrLf) break;
    // A client that ended DATA with CR LF meant a bare CR or LF inside a
    // header as part of that header's line: it stays there, folded, and never
    // becomes a header (or the end of the headers) of its own.
    if (inHeaders && !previousEndedWithCrLf && CommandEndedWithCrLf &&
        (line.empty() || (line[0] != ' ' && line[0] != '\t')))
      line.insert(0, " ");
    if (inHeaders && line.empty()) inHeaders = false;
    // A "." that is not <CR><LF>.<CR><LF>, or a "." with only blanks, NULs or
    // CRs after it, is content: stored stuffed, so no next hop ever sees an
    // end of data the client did not send.
    if (LooksLikeEndOfData(line)) line.insert(0, ".");
    line += "\r\n";
    if (Setup.MaxMessageBytes > 0 && writer.Size() + line.size() > Setup.MaxMessageBytes) tooLarge = true;
    // After a failed write the rest is read and dropped, so the client hears why.
    if (!tooLarge && !lineTooLong) writer.Put(line);
    previousEndedWithCrLf = read.EndedWithCrLf;
  }
  writer.Put(".\r\n");
  if (!writer.Finish()) return {TBodyEnd::StorageFailed, writer.Error()};
  if (lineTooLong) return {TBodyEnd::LineTooLong};
  if (tooLarge) return {TBodyEnd::TooLarge};
  return {TBodyEnd::Complete};
}

TVerdict TSmtpSession::RefuseForStorage(int error) {
  Ending = std::string("cannot store the message: ") + std::strerror(error);
  return Reply(Replies::InsufficientStorage);
}

void TSmtpSession::FinishMessage(TMessageStore& store, bool complete) {
  store.Finish(); // what came is kept for inspection when temp files are kept
  if (complete && store.HasFile())
    for (const auto& folder : Hooks.LearningCopies(*this))
      CopyWithoutOverwrite(store.Path(), folder);
  store.Discard(Setup.KeepTempFiles);
}

TVerdict TSmtpSession::HandleData(const std::string&) {
  if (CurrentState != TSessionState::Rcpt) return Reply(Replies::SequenceError);
  if (!HeloSeen) return Reply(Replies::NoHello);
  TMessageStore store(Setup.TempFolder, Setup.KeepTempFiles || Hooks.NeedsMessageFile(*this), Setup.SpillBytes);
  if (!store.Open()) return RefuseForStorage(store.Error()); // a full disk, no inodes or descriptors left
  Answer(Reply(Replies::StartDataReply));

  const TBody body = ReceiveBody(store);
  // Whatever became of the message, its transaction towards the next servers ends with it.
  struct TEnd {
    TSmtpSession& Session;
    ~TEnd() { Session.Hooks.OnTransactionEnd(Session); }
  } end{*this};
  switch (body.End) {
  case TBodyEnd::Gone: // the client went away before the end of the data
    FinishMessage(store, false);
    return SilentClose();
  case TBodyEnd::StorageFailed:
    store.Discard(false); // a partial file is never left behind after a write failure
    return RefuseForStorage(body.Error);
  case TBodyEnd::TooLarge:
  case TBodyEnd::LineTooLong:
    store.Discard(false);
    Sender.clear();
    RecipientList.clear();
    CurrentState = TSessionState::Helo;
    return body.End == TBodyEnd::TooLarge ? Reply(Replies::MessageTooLarge)
                                          : Reply(Replies::MessageLineTooLong, {std::to_string(kMaxLineLength)});
  case TBodyEnd::Complete: break;
  }
  DataEndTime = std::chrono::steady_clock::now();
  Controller->InEndOfData = true; // until the reply is written (Answer)
  TVerdict verdict;
  try {
    verdict = ProcessMessage(store);
  } catch (...) {
    FinishMessage(store, true);
    throw;
  }
  FinishMessage(store, true);
  if (verdict.Accepted() && !verdict.Close) CurrentState = TSessionState::Data;
  return verdict;
}

TVerdict TSmtpSession::ProcessMessage(TMessageStore& store) {
  if (auto refusal = Hooks.CheckMessage(*this, store.Path(), store.Message())) return AsOneLine(*refusal);
  return AsOneLine(Hooks.Server1ReceiveRaw(*this, store.Message(), RecipientList));
}

} // namespace quibo
