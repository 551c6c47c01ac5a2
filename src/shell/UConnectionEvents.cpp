#include "UConnectionEvents.h"

#include "UMain.h"
#include "UMessageProcessing.h"

#include <stdexcept>

namespace quibo {

TConnectionEvents::TConnectionEvents(TForm1& form, std::shared_ptr<TLiveConnection> connection,
                                     std::shared_ptr<const TSettings> settings)
    : Form(form), Connection(std::move(connection)),
      SessionSettings(std::move(settings)), LogIdentity{Connection->ThreadId(), Connection->PeerIp()} {}

std::shared_ptr<TThreadController> TConnectionEvents::OnConnect(TSmtpSession&) {
  auto record = Form.Connections().RecordStatus(Connection, "CONNECT", false);
  Form.EventQueue().Post(EvConnection, ServerConnect);
  Form.Log().WriteMailLog("SMTP Server connect", &LogIdentity);
  return record;
}

void TConnectionEvents::BeforeCommand(TSmtpSession&, const std::string& line) {
  if (Form.Log().Switches().Screen.load()) Form.Connections().RecordStatus(Connection, line, false);
}

TVerdict TConnectionEvents::OnMail(TSmtpSession& session, const std::string& address) {
  const auto settings = Form.Settings();
  const auto applied = Form.Applied();
  session.Record().SetSender(address, applied->LocalDomains, settings->CBRelayLocalIp, applied->LocalIps);
  return AddressOkay(address);
}

TVerdict TConnectionEvents::OnRcpt(TSmtpSession& session, const std::string& address) {
  TThreadController& record = session.Record();
  if (record.RecipientDomain.empty()) record.SetRecipientDomain(address);
  return AddressOkay(address);
}

TPipelineContext TConnectionEvents::Context(TSmtpSession& session) const {
  const auto settings = Form.Settings();
  const auto deadline = session.DataEnded() + std::chrono::seconds(std::max(1, settings->EndOfDataTimeout));
  return TPipelineContext{settings,
                          Form.Applied(),
                          Form.Forwarders(),
                          session.SharedRecord(),
                          session.From(),
                          [&session] { return session.ClientStillThere(); },
                          deadline,
                          Form.Log(),
                          LogIdentity,
                          [this](int event, long argument) { Form.EventQueue().Post(event, argument); },
                          Form.ProgramFolder(),
                          Form.ServerIdent(),
                          Form.Clock()};
}

std::optional<TVerdict> TConnectionEvents::CheckMessage(TSmtpSession& session, const std::filesystem::path& file,
                                                        uint64_t size) {
  TPipelineContext context = Context(session);
  return quibo::CheckMessage(context, file, size);
}

TVerdict TConnectionEvents::Server1ReceiveRaw(TSmtpSession& session, std::istream& message,
                                              const std::vector<std::string>& recipients) {
  TPipelineContext context = Context(session);
  return quibo::Server1ReceiveRaw(context, message, recipients);
}

std::vector<std::filesystem::path> TConnectionEvents::LearningCopies(TSmtpSession& session) {
  std::vector<std::filesystem::path> folders;
  const TThreadController& record = session.Record();
  const auto settings = Form.Settings();
  if (settings->CBCopyIfWhitelisted && record.Whitelisted) folders.push_back(Form.ProgramFolder() / "ham");
  if (settings->CBCopyIfBlacklisted && record.Blacklisted) folders.push_back(Form.ProgramFolder() / "spam");
  return folders;
}

void TConnectionEvents::OnDisconnect(TSmtpSession&) {
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
