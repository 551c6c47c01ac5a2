#include "UConnectionEvents.h"

#include "UMain.h"
#include "UMessageProcessing.h"

#include <stdexcept>

namespace quibo {

TConnectionEvents::TConnectionEvents(TForm1& form, std::shared_ptr<TLiveConnection> connection,
                                     std::shared_ptr<const TSettings> settings)
    : Form(form), Connection(std::move(connection)),
      SessionSettings(std::move(settings)), LogIdentity{Connection->ThreadId(), Connection->PeerIp()} {}

std::shared_ptr<TThreadController> TConnectionEvents::Controller() const {
  auto record = Form.Connections().FindController(Connection.get());
  if (!record) throw std::runtime_error("connection record not found");
  return record;
}

void TConnectionEvents::OnConnect(TSmtpSession& session) {
  session.Channel().SetReadTimeout(SessionSettings->ServerTimeout * 1000);
  Form.Connections().RecordStatus(Connection, "CONNECT", false);
  Form.EventQueue().Post(EvConnection, ServerConnect);
  Form.Log().WriteMailLog("SMTP Server connect", &LogIdentity);
}

void TConnectionEvents::BeforeCommand(TSmtpSession&, const std::string& line) {
  if (Form.Log().Switches().Screen.load()) Form.Connections().RecordStatus(Connection, line, false);
}

bool TConnectionEvents::OnMail(TSmtpSession&, const std::string& address) {
  const auto settings = Form.Settings();
  const auto applied = Form.Applied();
  Controller()->SetSender(address, applied->LocalDomains, settings->CBRelayLocalIp, applied->LocalIps);
  return true;
}

void TConnectionEvents::OnRcpt(TSmtpSession&, const std::string& address, bool& accept, std::string&) {
  const auto record = Controller();
  if (record->RecipientDomain.empty()) record->SetRecipientDomain(address);
  accept = true;
}

TPipelineContext TConnectionEvents::Context(TSmtpSession& session) const {
  return TPipelineContext{Form.Settings(),
                          Form.Applied(),
                          Form.Forwarders(),
                          Controller(),
                          session,
                          Form.Log(),
                          LogIdentity,
                          [this](int event, long argument) { Form.EventQueue().Post(event, argument); },
                          Form.ProgramFolder(),
                          Form.ServerIdent(),
                          Form.Clock()};
}

bool TConnectionEvents::CheckMessage(TSmtpSession& session, const std::filesystem::path& file, uint64_t size) {
  TPipelineContext context = Context(session);
  return quibo::CheckMessage(context, file, size);
}

void TConnectionEvents::Server1ReceiveRaw(TSmtpSession& session, std::istream& message,
                                          const std::vector<std::string>& recipients, std::string& customReply) {
  TPipelineContext context = Context(session);
  quibo::Server1ReceiveRaw(context, message, recipients, customReply);
}

std::vector<std::filesystem::path> TConnectionEvents::LearningCopies(TSmtpSession&) {
  std::vector<std::filesystem::path> folders;
  const auto record = Form.Connections().FindController(Connection.get());
  if (!record) return folders;
  const auto settings = Form.Settings();
  if (settings->CBCopyIfWhitelisted && record->Whitelisted) folders.push_back(Form.ProgramFolder() / "ham");
  if (settings->CBCopyIfBlacklisted && record->Blacklisted) folders.push_back(Form.ProgramFolder() / "spam");
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
