// TSmtpSession: one SMTP server dialogue over a TLineChannel: greeting,
// command dispatch, the built-in commands and their replies, AUTH LOGIN, and
// the reception of a message body into a file in temp/. Policy and message
// processing are reached through TSessionHooks at fixed points; each returns
// a finished verdict, which the session alone writes to the client. Runs on
// one connection thread; knows no sockets and no policy. Failures (time-out,
// over-long line, lost peer, disk errors, exceptions from hooks) end the
// session without a reply; OnDisconnect always runs.
#pragma once

#include "ULineChannel.h"
#include "UMailParameters.h"
#include "UMessageStore.h"
#include "UReplies.h"
#include "UStoredMessage.h"
#include "UThreadController.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

enum class TSessionState { None, Helo, Mail, Rcpt, Data };

class TSmtpSession;

// The calls out of the session; the session waits for each and writes the
// verdicts they return. The connection's record is the session's Record().
class TSessionHooks {
public:
  virtual ~TSessionHooks() = default;
  // Returns the connection's record; without one the session ends.
  virtual std::shared_ptr<TThreadController> OnConnect(TSmtpSession& session) = 0;
  virtual void BeforeCommand(TSmtpSession& session, const std::string& line) = 0;
  virtual TVerdict OnMail(TSmtpSession& session, const std::string& address) = 0;
  // A group of recipients the client sent at once (pipelined; one
  // otherwise), each past the session's own checks: a verdict for each, in
  // their order. After a verdict that ends the session the rest are not written.
  virtual std::vector<TVerdict> OnRcpt(TSmtpSession& session, const std::vector<std::string>& addresses) = 0;
  // Whether the coming message must be in a file from its first byte (a
  // scanner program or the classifier reads it, or a learning copy is due);
  // else it is held in memory while it is small.
  virtual bool NeedsMessageFile(TSmtpSession& session) = 0;
  // The checks after the data: empty to go on with the message, else its
  // answer. The file is empty when the message is held in memory.
  virtual std::optional<TVerdict> CheckMessage(TSmtpSession& session, const std::filesystem::path& file,
                                               const TStoredMessage& message) = 0;
  virtual TVerdict Server1ReceiveRaw(TSmtpSession& session, const TStoredMessage& message,
                                     const std::vector<std::string>& recipients) = 0;
  // Learning folders (ham/, spam/) that receive a copy of the finished message.
  virtual std::vector<std::filesystem::path> LearningCopies(TSmtpSession& session) = 0;
  // The connection has just moved into TLS (the session's Tls() tells how).
  virtual void OnTlsStarted(TSmtpSession& session) = 0;
  // The mail transaction is over (RSET, a new MAIL, STARTTLS, the end of the
  // data whatever its outcome): what it holds towards the next servers goes.
  virtual void OnTransactionEnd(TSmtpSession&) {}
  virtual void OnDisconnect(TSmtpSession& session) = 0;
};

// Fixed for the length of one session.
struct TSessionSetup {
  std::string Greeting; // text of the 220 line
  std::string Version;  // for "About Quibo"
  std::filesystem::path TempFolder;
  bool KeepTempFiles = false;
  uint64_t MaxMessageBytes = 0; // 0: no limit (EHLO offers it as SIZE)
  size_t MaxRecipients = 0;     // per transaction; 0: no limit
  uint64_t SpillBytes = 0;      // a message held in memory goes to a file past this size
};

class TSmtpSession {
public:
  TSmtpSession(TLineChannel& channel, TSessionHooks& hooks, TSessionSetup setup, long threadId, std::string peerIp);

  // Holds the whole dialogue; returns when the session has ended.
  void Run();

  // For the hooks.
  long ThreadId() const { return Thread; }
  const std::string& PeerIp() const { return Peer; }
  TThreadController& Record() { return *Controller; }
  const std::shared_ptr<TThreadController>& SharedRecord() const { return Controller; }
  // Whether the client is still connected (looks without reading).
  bool ClientStillThere() const { return Link.PeerStillThere(); }
  // When the end of the current message's data arrived.
  std::chrono::steady_clock::time_point DataEnded() const { return DataEndTime; }
  // Why the session ended, when that was not the client's doing ("" then).
  const std::string& EndReason() const { return Ending; }
  // While the session waits for the client, the call runs at the interval
  // (an empty call: no more).
  void WhileWaiting(std::function<void()> call, std::chrono::milliseconds interval) {
    Link.SetIdleCall(std::move(call), interval);
  }

  TSessionState State() const { return CurrentState; }
  const std::string& From() const { return Sender; }
  // The ESMTP parameters of the transaction's MAIL command.
  const TMailParameters& MailParameters() const { return Parameters; }
  const std::vector<std::string>& Recipients() const { return RecipientList; }
  bool SawHelo() const { return HeloSeen; }
  // The name the client gave in its HELO or EHLO ("" before one).
  const std::string& HeloName() const { return Greeted; }
  bool SawEhlo() const { return EhloSeen; }
  bool LoggedIn() const { return Authenticated; }
  // What the STARTTLS handshake agreed on; empty while the connection is in plain text.
  const std::optional<TTlsSession>& Tls() const { return TlsSession; }
  const std::string& LoginName() const { return Login; }

private:
  using THandler = TVerdict (TSmtpSession::*)(const std::string& parameter);
  struct TCommand {
    const char* Word;
    THandler Handler;
  };

  // Writes a verdict (the one place that writes to the client) and ends the
  // session when it says so.
  void Answer(const TVerdict& verdict);
  // The handler's verdict for a command line.
  TVerdict Dispatch(const std::string& line);
  TVerdict HandleAbout(const std::string& parameter);
  TVerdict HandleData(const std::string& parameter);
  TVerdict HandleAuth(const std::string& parameter);
  TVerdict HandleRefused(const std::string& parameter);
  TVerdict HandleRset(const std::string& parameter);
  TVerdict HandleHelo(const std::string& parameter);
  TVerdict HandleEhlo(const std::string& parameter);
  TVerdict HandleMail(const std::string& parameter);
  TVerdict HandleNoop(const std::string& parameter);
  TVerdict HandleQuit(const std::string& parameter);
  TVerdict HandleRcpt(const std::string& parameter);
  TVerdict HandleStartTls(const std::string& parameter);

  // The RCPT commands the client has already sent behind the one being
  // handled, taken to be asked with it; never more than the transaction has room for.
  std::vector<std::string> PipelinedRecipients();
  // Why a RCPT command cannot be taken before its address is asked; empty,
  // with the address, when it can. Pending: recipients of its group before it.
  std::optional<TVerdict> RcptRefusal(const std::string& parameter, size_t pending, std::string& address) const;
  // Why MAIL's parameters or address cannot be taken; empty when they can.
  std::optional<TVerdict> MailRefusal(const std::string& address, const std::string& parameters,
                                      TMailParameters& taken) const;
  // Why a HELO or EHLO may not be answered; empty when it may.
  std::optional<TVerdict> GreetingRefusal(const std::string& parameter) const;
  // A line from the client; a time-out or an over-long line is kept as the end reason.
  TReadResult ReadClientLine(std::string& line);
  bool ReadAuthLine(std::string& text);
  enum class TBodyEnd { Complete, Gone, TooLarge, LineTooLong, StorageFailed };
  struct TBody {
    TBodyEnd End;
    int Error = 0; // of the failed write
  };
  // Stores the body up to the end of the data.
  TBody ReceiveBody(TMessageStore& store);
  // The message cannot be stored: 452, and the session ends.
  TVerdict RefuseForStorage(int error);
  // Learning copies, then the file goes unless temp files are kept.
  void FinishMessage(TMessageStore& store, bool complete);
  // Scan, classification and processing of a stored message; its answer.
  TVerdict ProcessMessage(TMessageStore& store);

  static const TCommand kCommands[];

  TLineChannel& Link;
  TSessionHooks& Hooks;
  TSessionSetup Setup;
  long Thread;
  std::string Peer;
  bool Ended = false;
  std::string Ending;
  bool CommandEndedWithCrLf = true; // how the client ended its last command line
  std::shared_ptr<TThreadController> Controller;
  std::chrono::steady_clock::time_point DataEndTime{};

  TSessionState CurrentState = TSessionState::None;
  bool HeloSeen = false;
  bool EhloSeen = false;
  std::string Greeted;
  std::string Sender;
  TMailParameters Parameters;
  std::vector<std::string> RecipientList;
  std::string Login;
  bool Authenticated = false;
  std::optional<TTlsSession> TlsSession;
};

} // namespace quibo
