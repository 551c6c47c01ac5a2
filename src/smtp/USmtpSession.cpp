#include "USmtpSession.h"

#include "UBase64.h"
#include "UFunctions.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

const char* const kSequenceError = "Polite people say Helo first";
const char* const kNoHello = "Polite people say HELO";
const char* const kExampleAddress = "<someone@example.com>";

std::string ErrorReply(const std::string& parameter) { return "Syntax Error - Command not understood: " + parameter; }

// A verdict's text as one line: the CR LF between the lines of a next
// server's multi-line reply becomes one blank.
std::string OneLine(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 1))
    text.replace(at, 2, " ");
  return text;
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

std::string ParseAddress(const std::string& text) {
  const std::string value = Trimmed(text);
  if (!value.empty() && value[0] == '<') {
    const auto close = value.find('>');
    return Trimmed(value.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  }
  return value.substr(0, value.find_first_of(" \t"));
}

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

void TSmtpSession::SendReply(int code, const std::string& text) {
  // Replies echo what the client sent: nothing in it may end the line early.
  Link.Write(std::to_string(code) + " " + PrintableText(text) + "\r\n");
}

void TSmtpSession::Answer(const TVerdict& verdict) {
  if (verdict.Code > 0) SendReply(verdict.Code, OneLine(verdict.Text));
  if (verdict.Close) {
    Link.Close();
    Ended = true;
  }
}

void TSmtpSession::Run() {
  try {
    SendReply(220, Setup.Greeting);
    Controller = Hooks.OnConnect(*this);
    if (!Controller) throw std::runtime_error("connection record not found");
    std::string line;
    while (!Ended && Link.Connected()) {
      const TReadResult read = ReadClientLine(line);
      if (read.Status != TReadStatus::Line) break;
      if (line.empty()) continue;
      CommandEndedWithCrLf = read.EndedWithCrLf;
      Hooks.BeforeCommand(*this, line);
      Dispatch(line);
    }
  } catch (const std::exception& failure) {
    Ending = std::string("failure: ") + failure.what(); // it ends this session only
  } catch (...) {
    Ending = "failure";
  }
  try {
    Hooks.OnDisconnect(*this);
  } catch (...) {
  }
  Link.Close();
}

void TSmtpSession::Dispatch(const std::string& line) {
  for (const auto& command : kCommands) {
    const size_t length = std::char_traits<char>::length(command.Word);
    if (!StartsWithNoCase(line, command.Word)) continue;
    if (line.size() == length) return (this->*command.Handler)(std::string());
    if (line[length] == ' ') return (this->*command.Handler)(line.substr(length + 1));
  }
  SendReply(500, "Syntax Error");
}

void TSmtpSession::HandleAbout(const std::string&) { SendReply(200, "Quibo version " + Setup.Version); }

void TSmtpSession::HandleNoop(const std::string&) { SendReply(250, "Ok"); }

void TSmtpSession::HandleQuit(const std::string&) {
  SendReply(221, "Signing Off");
  Link.Close();
  Ended = true;
}

void TSmtpSession::HandleRefused(const std::string& parameter) { SendReply(500, ErrorReply(parameter)); }

void TSmtpSession::HandleRset(const std::string&) {
  RecipientList.clear();
  Sender.clear();
  CurrentState = HeloSeen || EhloSeen ? TSessionState::Helo : TSessionState::None;
  SendReply(250, "Ok");
}

bool TSmtpSession::CheckGreetingAllowed(const std::string& parameter) {
  if (CurrentState != TSessionState::None) {
    SendReply(503, kSequenceError);
    return false;
  }
  if (parameter.empty()) {
    SendReply(501, "Syntax Error in parameters or arguments");
    return false;
  }
  return true;
}

void TSmtpSession::HandleHelo(const std::string& parameter) {
  if (!CheckGreetingAllowed(parameter)) return;
  SendReply(250, "Hello " + parameter);
  HeloSeen = true;
  CurrentState = TSessionState::Helo;
}

void TSmtpSession::HandleEhlo(const std::string& parameter) {
  if (!CheckGreetingAllowed(parameter)) return;
  Link.Write(std::string("250-corvantix\r\n250-AUTH LOGIN\r\n") + (Link.TlsOffered() ? "250-STARTTLS\r\n" : "") +
             "250 HELP\r\n");
  HeloSeen = EhloSeen = true;
  CurrentState = TSessionState::Helo;
}

void TSmtpSession::HandleMail(const std::string& parameter) {
  if (!HeloSeen) return SendReply(501, kNoHello);
  Sender.clear();
  RecipientList.clear();
  CurrentState = TSessionState::Helo;
  if (!StartsWithNoCase(parameter, "FROM:"))
    return SendReply(501, std::string("Parameter error! Example: mail from:") + kExampleAddress);
  const std::string address = ParseAddress(parameter.substr(5));
  const TVerdict verdict = Hooks.OnMail(*this, address);
  Answer(verdict);
  if (!verdict.Accepted() || Ended) return;
  Sender = address;
  CurrentState = TSessionState::Mail;
}

void TSmtpSession::HandleRcpt(const std::string& parameter) {
  if (CurrentState != TSessionState::Mail && CurrentState != TSessionState::Rcpt) return SendReply(503, kSequenceError);
  if (!HeloSeen) return SendReply(501, kNoHello);
  if (!StartsWithNoCase(parameter, "TO:"))
    return SendReply(501, std::string("Command parameter error! Example: rcpt to:") + kExampleAddress);
  if (Setup.MaxRecipients > 0 && RecipientList.size() >= Setup.MaxRecipients)
    return SendReply(452, "Quibo dederazu says: Too many recipients");
  const std::string address = ParseAddress(parameter.substr(3));
  const TVerdict verdict = Hooks.OnRcpt(*this, address);
  Answer(verdict);
  if (!verdict.Accepted() || Ended) return;
  RecipientList.push_back(address);
  CurrentState = TSessionState::Rcpt;
}

void TSmtpSession::HandleStartTls(const std::string& parameter) {
  if (TlsSession) return SendReply(503, "TLS already active");
  if (!Link.TlsOffered()) return SendReply(500, "Syntax Error"); // no certificate: an unknown command
  if (!parameter.empty()) return SendReply(501, "Syntax Error in parameters or arguments");
  SendReply(220, "Ready to start TLS");
  TTlsSession tls;
  std::string failure;
  if (!Link.StartTls(tls, failure)) {
    Ending = "TLS handshake failed: " + failure;
    Link.Close();
    Ended = true;
    return;
  }
  // Nothing the client said in plain text counts inside TLS: it greets again.
  CurrentState = TSessionState::None;
  HeloSeen = EhloSeen = Authenticated = false;
  Sender.clear();
  RecipientList.clear();
  Login.clear();
  TlsSession = tls;
  Hooks.OnTlsStarted(*this);
}

TReadResult TSmtpSession::ReadClientLine(std::string& line) {
  const TReadResult read = Link.ReadLine(line);
  if (read.Status == TReadStatus::Timeout) Ending = "timed out";
  if (read.Status == TReadStatus::TooLong) Ending = "line too long";
  return read;
}

bool TSmtpSession::ReadAuthLine(std::string& text) {
  if (ReadClientLine(text).Status != TReadStatus::Line) {
    Ended = true;
    return false;
  }
  text = Trimmed(text);
  return true;
}

void TSmtpSession::HandleAuth(const std::string& parameter) {
  if (!EhloSeen || parameter.empty()) return SendReply(500, ErrorReply(parameter));
  const std::string mechanism = parameter.substr(0, parameter.find(' '));
  if (!StartsWithNoCase(mechanism, "LOGIN") || mechanism.size() != 5)
    return SendReply(504, "Unrecognized authentication type");
  std::string answer = mechanism.size() < parameter.size() ? Trimmed(parameter.substr(6)) : std::string();
  if (answer.empty()) {
    SendReply(334, Base64Encode("Username:"));
    if (!ReadAuthLine(answer)) return;
  }
  const auto name = answer.empty() ? std::nullopt : Base64Decode(answer);
  if (!name || name->empty()) return SendReply(535, "Authentication Failed");
  SendReply(334, Base64Encode("Password:"));
  if (!ReadAuthLine(answer)) return;
  const auto password = answer.empty() ? std::nullopt : Base64Decode(answer);
  if (!password) return SendReply(535, "Authentication Failed");
  Login = *name;
  Authenticated = true;
  SendReply(235, "welcome " + Login);
}

TSmtpSession::TBody TSmtpSession::ReceiveBody(TMessageStore& writer) {
  std::string line;
  bool tooLarge = false;
  bool previousEndedWithCrLf = true; // the 354 reply stands for the CR LF before the first line
  bool inHeaders = true;
  while (true) {
    const TReadResult read = ReadClientLine(line);
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
    if (!tooLarge) writer.Put(line);
    previousEndedWithCrLf = read.EndedWithCrLf;
  }
  writer.Put(".\r\n");
  if (!writer.Finish()) return {TBodyEnd::StorageFailed, writer.Error()};
  if (tooLarge) return {TBodyEnd::TooLarge};
  return {TBodyEnd::Complete};
}

void TSmtpSession::RefuseForStorage(int error) {
  Ending = std::string("cannot store the message: ") + std::strerror(error);
  SendReply(452, "Quibo dederazu says: Insufficient system storage");
  Link.Close();
  Ended = true;
}

void TSmtpSession::FinishMessage(TMessageStore& store, bool complete) {
  store.Finish(); // what came is kept for inspection when temp files are kept
  if (complete && store.HasFile())
    for (const auto& folder : Hooks.LearningCopies(*this))
      CopyWithoutOverwrite(store.Path(), folder);
  store.Discard(Setup.KeepTempFiles);
}

void TSmtpSession::HandleData(const std::string&) {
  if (CurrentState != TSessionState::Rcpt) return SendReply(503, kSequenceError);
  if (!HeloSeen) return SendReply(501, kNoHello);
  TMessageStore store(Setup.TempFolder, Setup.KeepTempFiles || Hooks.NeedsMessageFile(*this), Setup.SpillBytes);
  if (!store.Open()) return RefuseForStorage(store.Error()); // a full disk, no inodes or descriptors left
  SendReply(354, "Start mail input; end with <CRLF>.<CRLF>");

  const TBody body = ReceiveBody(store);
  switch (body.End) {
  case TBodyEnd::Gone: // the client went away before the end of the data
    FinishMessage(store, false);
    Ended = true;
    return;
  case TBodyEnd::StorageFailed:
    store.Discard(false); // a partial file is never left behind after a write failure
    return RefuseForStorage(body.Error);
  case TBodyEnd::TooLarge:
    store.Discard(false);
    Sender.clear();
    RecipientList.clear();
    CurrentState = TSessionState::Helo;
    return SendReply(552, "Quibo dederazu says: Message size exceeds fixed maximum message size");
  case TBodyEnd::Complete: break;
  }
  DataEndTime = std::chrono::steady_clock::now();
  struct TEndOfData { // from the end of the data until the reply is written
    std::atomic<bool>& Flag;
    explicit TEndOfData(std::atomic<bool>& flag) : Flag(flag) { Flag = true; }
    ~TEndOfData() { Flag = false; }
  } inEndOfData(Controller->InEndOfData);
  TVerdict verdict;
  try {
    verdict = ProcessMessage(store);
  } catch (...) {
    FinishMessage(store, true);
    throw;
  }
  FinishMessage(store, true);
  Answer(verdict);
  if (verdict.Accepted() && !Ended) CurrentState = TSessionState::Data;
}

TVerdict TSmtpSession::ProcessMessage(TMessageStore& store) {
  if (auto refusal = Hooks.CheckMessage(*this, store.Path(), store.Message())) return *refusal;
  return Hooks.Server1ReceiveRaw(*this, store.Message(), RecipientList);
}

} // namespace quibo
