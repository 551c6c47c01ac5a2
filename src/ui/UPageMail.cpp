// The "Mail" page: where incoming mail is listened for (a change marks the
// listener for restart at the next "Save"), "Stop listening", the outgoing
// mail server, the DNS server, and the forwarding table to several mail
// servers.
#include "UForwarderGrid.h"
#include "UPages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quibo {

TMailPage::TMailPage(TPageContext& context)
    : TPage(context, "Mail"), Button6(Named(new QPushButton, "Button6")),
      Forwarders(new TForwarderGrid(context.Form, context.Bindings)) {
  auto* listenIp = Named(new QComboBox, "CBIp1", "The IP number where incoming mail is expected");
  for (const auto& choice : Form().Listening().ListenChoices())
    listenIp->addItem(QString::fromStdString(choice));
  auto* listenPort = Named(new QLineEdit, "EListenPort", "The port number Quibo listens to");
  auto* outgoingIp = Named(new QLineEdit, "EOutgoingIP", "The IP number of your mailhost");
  auto* outgoingPort = Named(new QLineEdit, "EOutgoingPort", "The port number your mailserver listens to");
  auto* dns = Named(new QLineEdit, "EDNSIp", "The IP number of your DNS");
  auto* multiMail = Named(new QCheckBox("Enable forwarding to multiple mailservers"), "CBMultiMail");

  auto* incoming = new QFormLayout;
  incoming->addRow("Listen IP number", listenIp);
  auto* port = new QHBoxLayout;
  port->addWidget(listenPort);
  port->addWidget(Button6);
  incoming->addRow("Listen Port", port);
  auto* outgoing = new QFormLayout;
  outgoing->addRow("IP number host", outgoingIp);
  outgoing->addRow("Port", outgoingPort);
  auto* dnsServer = new QFormLayout;
  dnsServer->addRow("DNS IP number", dns);
  auto* distribute = new QVBoxLayout;
  distribute->addWidget(Forwarders);
  auto* distributeGroup = Named(Group("Forwarding to multiple mailservers", distribute), "GBDistribute");

  auto* servers = new QHBoxLayout;
  servers->addWidget(Group("Outgoing mail", outgoing), 1);
  servers->addWidget(Group("DNS Server", dnsServer), 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Group("Incoming mail", incoming));
  layout->addLayout(servers);
  layout->addWidget(multiMail);
  layout->addWidget(distributeGroup, 1);

  const auto listenChanged = [this] { Form().Listening().MarkSettingsChanged(); };
  Bindings().Bind(listenIp, &TSettings::CBIp1, listenChanged);
  Bindings().Bind(listenPort, &TSettings::EListenPort, listenChanged);
  Bindings().Bind(outgoingIp, &TSettings::EOutgoingIP, [this] { Forwarders->ShowDefaultRow(); });
  Bindings().Bind(outgoingPort, &TSettings::EOutgoingPort, [this] { Forwarders->ShowDefaultRow(); });
  Bindings().Bind(dns, &TSettings::EDNSIp);
  Bindings().Bind(multiMail, &TSettings::CBMultiMail);
  Bindings().AddRule([this, distributeGroup] { distributeGroup->setEnabled(Form().Editable().CBMultiMail); });
  connect(Button6, &QPushButton::clicked, this, [this] {
    Form().Guarded([this] { Form().Button6Click(); });
    Refresh();
  });
  Refresh();
}

void TMailPage::Refresh() { Button6->setText(QString::fromStdString(Form().Button6Caption())); }

} // namespace quibo
