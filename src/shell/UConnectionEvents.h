// TConnectionEvents: the session hooks of one incoming connection. Records
// the connection in the monitor list, logs its connect and disconnect, posts
// the connection events, and holds the points where the acceptance policy
// (OnMail, OnRcpt) and the message pipeline (CheckMessage,
// Server1ReceiveRaw) are called: the policy's findings go into the
// connection's record and its statistics events onto the queue here. With
// RecipientCheck=live the recipients the policy accepts are asked of their
// next servers (a pipelined group at once) in the transaction towards the
// next servers that the hooks hold until the transaction ends, and kept
// alive while the client is slow; past MaxRefusedRecipients refusals of
// the next servers the session ends. Each
// MAIL takes one settings generation that the rest of its transaction keeps.
// Every call returns its verdict to the session. Runs on the connection's thread; reads only published
// settings. Without a monitor record the session ends.
#pragma once

#include "ULog.h"
#include "UMain.h"
#include "UPipelineContext.h"
#include "UPolicy.h"
#include "URelayTransaction.h"
#include "USettings.h"
#include "USmtpListener.h"
#include "USmtpSession.h"

#include <memory>

namespace quibo {

class TConnectionEvents final : public TSessionHooks {
public:
  TConnectionEvents(TForm1& form, std::shared_ptr<TLiveConnection> connection);

  std::shared_ptr<TThreadController> OnConnect(TSmtpSession& session) override;
  void BeforeCommand(TSmtpSession& session, const std::string& line) override;
  TVerdict OnMail(TSmtpSession& session, const std::string& address) override;
  std::vector<TVerdict> OnRcpt(TSmtpSession& session, const std::vector<std::string>& addresses) override;
  bool NeedsMessageFile(TSmtpSession& session) override;
  std::optional<TVerdict> CheckMessage(TSmtpSession& session, const std::filesystem::path& file,
                                       const TStoredMessage& message) override;
  TVerdict Server1ReceiveRaw(TSmtpSession& session, const TStoredMessage& message,
                             const std::vector<std::string>& recipients) override;
  std::vector<std::filesystem::path> LearningCopies(TSmtpSession& session) override;
  void OnTlsStarted(TSmtpSession& session) override;
  void OnTransactionEnd(TSmtpSession& session) override;
  void OnDisconnect(TSmtpSession& session) override;

private:
  TPipelineContext Context(TSmtpSession& session) const;
  TPolicyContext PolicyContext() const;
  // The recipients asked of their next servers in this transaction, a
  // group at once; past MaxRefusedRecipients refusals the session ends.
  std::vector<TVerdict> AskNextServer(TSmtpSession& session, const std::vector<std::string>& addresses);
  // The generation of the current transaction (the latest one before any MAIL).
  const TSettingsGeneration& Transaction();

  TForm1& Form;
  std::shared_ptr<TLiveConnection> Connection;
  std::shared_ptr<const TSettingsGeneration> Generation;
  TLogConnection LogIdentity;
  std::unique_ptr<TRelayTransaction> Relay; // the recipients the next servers took in this transaction
  size_t RefusedByNextHop = 0;              // in this session
};

} // namespace quibo
