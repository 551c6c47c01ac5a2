// The "Debug" page: the logging switches, the test mail to the program's own
// listener (sent in the background; an error reply of the listener is shown
// in a message box) and the blacklist "Check" of an address against every
// blacklist zone (in the background too, the result in Label10).
#include "UPages.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quibo {

TDebugPage::TDebugPage(TPageContext& context)
    : TPage(context, "Debug"), SendButton(Named(new QPushButton("Send mail"), "btnSendMail")),
      CheckButton(Named(new QPushButton("Check"), "BCheckBlacklist")), Label10(Named(new QLabel, "Label10")) {
  auto* logging = new QGridLayout;
  struct TSwitch {
    const char* Caption;
    const char* Name;
    bool TSettings::*Field;
  };
  const TSwitch switches[] = {{"SMTP Client Messages", "CBClientLogging", &TSettings::CBClientLogging},
                              {"SMTP Server Messages", "CBServerLogging", &TSettings::CBServerLogging},
                              {"Accepted/Rejected Mail", "CBMailLogging", &TSettings::CBMailLogging},
                              {"Log to screen", "CBScreen", &TSettings::CBScreen},
                              {"Logfile rotation", "CBLogFileRotation", &TSettings::CBLogFileRotation}};
  for (int i = 0; i < 5; ++i) {
    auto* box = Named(new QCheckBox(switches[i].Caption), switches[i].Name);
    Bindings().Bind(box, switches[i].Field);
    logging->addWidget(box, i % 3, i / 3);
  }
  auto* rotation = Named(new QSpinBox, "SERotation");
  rotation->setRange(-1, 3650);
  auto* keep = new QHBoxLayout;
  keep->addWidget(new QLabel("Save log for:"));
  keep->addWidget(rotation);
  keep->addWidget(new QLabel("days"));
  keep->addStretch();
  logging->addLayout(keep, 2, 1);
  Bindings().Bind(rotation, &TSettings::SERotation);

  auto* sender = Named(new QLineEdit, "edtSender");
  auto* recipient = Named(new QLineEdit, "edtRecipient");
  auto* subject = Named(new QLineEdit("Quibo test message"), "edtSubject");
  auto* text = Named(new QPlainTextEdit, "mmoMessageText");
  text->setMinimumHeight(text->fontMetrics().lineSpacing() * 4);
  auto* client = new QFormLayout;
  client->addRow("Sender email address:", sender);
  client->addRow("Recipient email address:", recipient);
  client->addRow("Subject of mail:", subject);
  client->addRow("Message text:", text);
  client->addRow(SendButton);

  auto* address = Named(new QLineEdit("127.0.0.1"), "Edit1");
  auto* blacklist = new QGridLayout;
  blacklist->addWidget(new QLabel("IP number/File"), 0, 0);
  blacklist->addWidget(address, 0, 1);
  blacklist->addWidget(CheckButton, 0, 2);
  blacklist->addWidget(new QLabel("Result: "), 1, 0);
  blacklist->addWidget(Label10, 1, 1, 1, 2);
  blacklist->setColumnStretch(1, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Group("Logging", logging));
  layout->addWidget(Group("Test Client", client), 1);
  layout->addWidget(Group("Blacklist", blacklist));

  connect(SendButton, &QPushButton::clicked, this, [this, sender, recipient, subject, text] {
    TTestMail mail{sender->text().toStdString(), recipient->text().toStdString(), subject->text().toStdString(), {}};
    for (const QString& line : text->toPlainText().split('\n'))
      mail.Lines.push_back(line.toStdString());
    Form().Jobs().SendTestMail(std::move(mail), [page = QPointer(this)](const TTestMailResult& result) {
      if (page && !result.ErrorReply.empty()) page->Dialogs().Inform(QString::fromStdString(result.ErrorReply));
    });
    Refresh();
  });
  connect(CheckButton, &QPushButton::clicked, this, [this, address] {
    Form().PolicyLists().CheckBlacklist(address->text().toStdString());
    Refresh();
  });
  Refresh();
}

void TDebugPage::Refresh() {
  SendButton->setEnabled(!Form().Jobs().TestMailRunning());
  CheckButton->setEnabled(!Form().PolicyLists().BlacklistCheckRunning());
  Label10->setText(Form().PolicyLists().BlacklistCheckRunning() ? "checking..."
                                                                : QString::fromStdString(Form().BlacklistCheckLabel()));
}

} // namespace quibo
