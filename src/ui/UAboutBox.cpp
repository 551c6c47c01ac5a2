#include "UAboutBox.h"

#include "UIcons.h"
#include "UUpdateCheck.h"
#include "UVersion.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace quibo {

TAboutBox::TAboutBox(TForm1& form, TDialogs& dialogs, QWidget* parent) : QDialog(parent), Form(form), Dialogs(dialogs) {
  setObjectName("AboutBox");
  setWindowTitle("About Quibo");
  setModal(true);
  auto* picture = new QLabel;
  picture->setPixmap(QuiboIcon().pixmap(64, 64));
  auto* name = new QLabel("Quibo dederazu ");
  QFont bigger = name->font();
  bigger.setPointSizeF(bigger.pointSizeF() * 1.4);
  bigger.setBold(true);
  name->setFont(bigger);
  const QString version = QString("Version ") + kVersionString;
  auto* versionLabel = Named(new QLabel(version), "Version", version);
  auto* link = Named(new QLabel(QString("<a href=\"%1\">%1</a>").arg(kMakerAddress)), "Link");
  link->setOpenExternalLinks(true); // the system's default handler
  auto* ok = Named(new QPushButton("OK"), "OKButton");
  auto* check = Named(new QPushButton("Check updates"), "BCheckUpdates");
  ok->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(check);
  buttons->addWidget(ok);
  auto* layout = new QGridLayout(this);
  layout->addWidget(picture, 0, 0, 3, 1, Qt::AlignTop);
  layout->addWidget(name, 0, 1);
  layout->addWidget(versionLabel, 1, 1);
  layout->addWidget(link, 2, 1);
  layout->addLayout(buttons, 3, 0, 1, 2);
  layout->setColumnMinimumWidth(1, 260);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(check, &QPushButton::clicked, this, [this] { CheckUpdates(); });
}

void TAboutBox::CheckUpdates() {
  const std::string reply = RequestUpdateInfo(Form.Settings()->UpdateServer, kVersionString, "");
  Dialogs.Inform(QString::fromStdString(PrintableText(reply)));
}

} // namespace quibo
