// The "VirusCheck" page: the scanner's command and infected exit code, and
// "VirusCheckTest", which runs the scanner in the background on a file the
// operator picks and adds its verdict to Memo2. With ClamdSocket set in the
// file, the page names clamd's socket instead and the test asks clamd about
// the anti-virus test text, without a file.
#include "UPages.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quibo {

TVirusCheckPage::TVirusCheckPage(TPageContext& context)
    : TPage(context, "VirusCheck"), BVirusCheck(Named(new QPushButton("VirusCheckTest"), "BVirusCheck")),
      Memo2(Named(new QPlainTextEdit, "Memo2")) {
  auto* enabled = Named(new QCheckBox("Enable viruschecking"), "CBVirusScan");
  auto* program = Named(new QLineEdit, "EVirusProgram");
  auto* resultCode = Named(new QSpinBox, "SEVirusErrorlevel");
  resultCode->setRange(-1, 999);
  Memo2->setReadOnly(true);
  auto* clamd = Named(new QLabel, "LClamdSocket");
  auto* form = new QFormLayout;
  form->addRow("Virusprogram", program);
  form->addRow("Resulting errorcode:", resultCode);
  form->addRow(clamd);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(enabled);
  layout->addLayout(form);
  layout->addWidget(BVirusCheck, 0, Qt::AlignLeft);
  layout->addWidget(Memo2, 1);

  Bindings().Bind(enabled, &TSettings::CBVirusScan);
  Bindings().Bind(program, &TSettings::EVirusProgram);
  Bindings().Bind(resultCode, &TSettings::SEVirusErrorlevel);
  Bindings().AddRule([this, program, resultCode, clamd] {
    const bool on = Form().Editable().CBVirusScan;
    const bool asksClamd = Form().Jobs().VirusCheckAsksClamd();
    clamd->setVisible(asksClamd);
    clamd->setText(QString::fromStdString("Scanning with clamd at " + Form().Settings()->ClamdSocket +
                                          " (ClamdSocket); the test sends the EICAR test text"));
    program->setEnabled(on && !asksClamd);
    resultCode->setEnabled(on && !asksClamd);
    Memo2->setEnabled(on);
    Refresh();
  });
  connect(BVirusCheck, &QPushButton::clicked, this, [this] {
    const QString file = Form().Jobs().VirusCheckAsksClamd() ? QString() : Dialogs().PickFile();
    if (file.isEmpty() && !Form().Jobs().VirusCheckAsksClamd()) return;
    Form().Jobs().VirusCheckTest(file.toStdString(), [page = QPointer(this)](const std::vector<std::string>& lines) {
      if (!page) return;
      for (const auto& line : lines)
        page->Memo2->appendPlainText(QString::fromStdString(line));
    });
    Refresh();
  });
}

void TVirusCheckPage::Refresh() {
  BVirusCheck->setEnabled(Form().Editable().CBVirusScan && !Form().Jobs().VirusCheckRunning());
}

} // namespace quibo
