// The three list pages. "Blacklist": what to do with mail from a blacklisted
// host, the DNS blacklist servers and the manual blacklist. "Whitelist": the
// allowed hosts and sender addresses. "Relaying": the local domains and local
// IP numbers that decide who may relay.
#include "UListEditor.h"
#include "UPages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quibo {
namespace {

// A list editor under its caption.
QWidget* Captioned(const QString& caption, TListEditor* editor) {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new QLabel(caption));
  layout->addWidget(editor);
  return box;
}

// Loaded again whenever the settings are (Cancel, reload).
TListEditor* Editor(TPageContext& context, TPolicyList list, const TListNames& names, const QString& hint) {
  auto* editor = new TListEditor(context.Form, list, names, hint);
  context.Bindings.OnLoad([editor] { editor->Load(); });
  return editor;
}

} // namespace

TBlacklistPage::TBlacklistPage(TPageContext& context) : TPage(context, "Blacklist") {
  auto* pass = Named(new QRadioButton("Pass through spam and modify subject"), "RBPass");
  auto* reject = Named(new QRadioButton("Reject spam"), "RBReject");
  auto* forward = Named(new QRadioButton("Forward to mailbox"), "RBForward");
  auto* choice = new QButtonGroup(this);
  for (auto* button : {pass, reject, forward})
    choice->addButton(button);
  auto* subject =
      Named(new QLineEdit, "ESubject", "Quibo modifies the subject for you. #SUBJECT# is the original subject.");
  auto* address = Named(new QLineEdit, "EForward", "Quibo forwards all spam to a specific mailaddress");
  auto* copy = Named(new QCheckBox("Copy to autolearn folder if blacklisted"), "CBCopyIfBlacklisted");

  auto* action = new QGridLayout;
  action->addWidget(pass, 0, 0);
  action->addWidget(subject, 0, 1);
  action->addWidget(reject, 1, 0);
  action->addWidget(forward, 2, 0);
  action->addWidget(address, 2, 1);
  action->addWidget(copy, 3, 0, 1, 2);
  action->setColumnStretch(1, 1);

  auto* lists = new QGridLayout;
  lists->addWidget(Captioned("Blacklist servers",
                             Editor(context, TPolicyList::Blacklists,
                                    {"LBBlacklists", "EBlacklistNew", "BAddBlacklists", "BDelBlacklists", "Del"},
                                    "Enter Blacklist host names here")),
                   0, 0);
  lists->addWidget(
      Captioned("Manually blacklisted servers", Editor(context, TPolicyList::ManualBlacklist,
                                                       {"LBManualBlacklist", "EManualBlacklistNew",
                                                        "BAddManualBlacklist", "BDelManualBlacklist", "Del"},
                                                       "Enter manually blacklisted hosts addresses here")),
      0, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Group("What to do on blacklist", action));
  layout->addWidget(Group("Blacklisting", lists), 1);

  // The blacklist action acts at once; copying makes sense only for mail that is not refused.
  const auto chosen = [this, pass, forward] {
    if (Bindings().Loading()) return;
    Form().Editable().RBPass = pass->isChecked();
    Form().Editable().RBForward = forward->isChecked();
    Bindings().Edited();
  };
  for (auto* button : {pass, reject, forward})
    connect(button, &QRadioButton::toggled, this, [chosen](bool on) {
      if (on) chosen();
    });
  Bindings().OnLoad([this, pass, reject, forward] {
    const TSettings& settings = Form().Editable();
    (settings.RBPass ? pass : settings.RBForward ? forward : reject)->setChecked(true);
  });
  Bindings().AddRule([this, copy] { copy->setEnabled(!Form().Editable().RBReject()); });
  Bindings().Bind(subject, &TSettings::ESubject);
  Bindings().Bind(address, &TSettings::EForward);
  Bindings().Bind(copy, &TSettings::CBCopyIfBlacklisted);
}

TWhitelistPage::TWhitelistPage(TPageContext& context) : TPage(context, "Whitelist") {
  auto* copy = Named(new QCheckBox("Copy to autolearn folder if whitelisted"), "CBCopyIfWhitelisted");
  auto* lists = new QGridLayout;
  lists->addWidget(
      Captioned("Allowed hosts", Editor(context, TPolicyList::AllowedHosts,
                                        {"LBWhiteList", "EWhitelistNew", "BAddWhiteList", "BDelWhiteList", "Del"},
                                        "Enter trusted host addresses here")),
      0, 0);
  lists->addWidget(Captioned("Allowed from addresses", Editor(context, TPolicyList::FromAddresses,
                                                              {"LBFromAddresses", "EFromAddress", "BAddFromAddresses",
                                                               "BDelFromAddresses", "Del"},
                                                              "Enter trusted from addresses here")),
                   0, 1);
  lists->addWidget(copy, 1, 0, 1, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Group("Whitelisting", lists));
  Bindings().Bind(copy, &TSettings::CBCopyIfWhitelisted);
}

TRelayingPage::TRelayingPage(TPageContext& context) : TPage(context, "Relaying") {
  const QString boxHint = "Quibo can stop relaying for you";
  const QString listHint = "Enter the domains of localhosts here";
  auto* domainsOnly = Named(new QCheckBox("Relay local domains only"), "CBRelayLocalDomain", boxHint);
  auto* ipsOnly = Named(new QCheckBox("Relay local Ip numbers only"), "CBRelayLocalIp", boxHint);
  auto* domains =
      Editor(context, TPolicyList::LocalDomains,
             {"LBLocalDomain", "ELocalDomain", "BAddLocalDomain", "BRemoveLocalDomain", "Remove"}, listHint);
  auto* ips = Editor(context, TPolicyList::LocalIps,
                     {"LBLocalIP", "ELocalIP", "BAddLocalIP", "BRemoveLocalIP", "Remove"}, listHint);
  auto* layout = new QGridLayout(this);
  layout->addWidget(domainsOnly, 0, 0);
  layout->addWidget(ipsOnly, 0, 1);
  layout->addWidget(domains, 1, 0);
  layout->addWidget(ips, 1, 1);
  Bindings().Bind(domainsOnly, &TSettings::CBRelayLocalDomain);
  Bindings().Bind(ipsOnly, &TSettings::CBRelayLocalIp);
  // The local addresses only matter while relaying is limited to local domains.
  Bindings().AddRule([this, domains, ipsOnly, ips] {
    const TSettings& settings = Form().Editable();
    domains->setEnabled(settings.CBRelayLocalDomain);
    ipsOnly->setEnabled(settings.CBRelayLocalDomain);
    ips->setEnabled(settings.CBRelayLocalDomain && settings.CBRelayLocalIp);
  });
}

} // namespace quibo
