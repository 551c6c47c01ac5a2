// The "Status" page: the screen log Memo1 (at most 1001 lines, new lines
// appended as they reach the window thread), "Clear", the connection
// counters of server and client, "Reset " and the hidden "Debug" box.
#include "UPages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quibo {

TStatusPage::TStatusPage(TPageContext& context)
    : TPage(context, "Status"), Memo1(Named(new QPlainTextEdit, "Memo1")), LSC(Named(new QLabel, "LSC")),
      LSD(Named(new QLabel, "LSD")), LCC(Named(new QLabel, "LCC")), LCD(Named(new QLabel, "LCD")),
      CBDebug(Named(new QCheckBox("Debug"), "CBDebug")) {
  Memo1->setReadOnly(true);
  Memo1->setMaximumBlockCount(static_cast<int>(TScreenLog::kMaxLines));
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto* clear = Named(new QPushButton("Clear"), "Button1");
  auto* reset = Named(new QPushButton("Reset "), "Button3");
  auto* server = new QVBoxLayout;
  server->addWidget(LSC);
  server->addWidget(LSD);
  auto* client = new QVBoxLayout;
  client->addWidget(LCC);
  client->addWidget(LCD);
  auto* counters = new QGridLayout;
  counters->addWidget(Group("Server", server), 0, 0);
  counters->addWidget(Group("Client", client), 0, 1);
  counters->addWidget(reset, 0, 2, Qt::AlignBottom);
  counters->addWidget(CBDebug, 0, 3, Qt::AlignBottom);
  counters->setColumnStretch(4, 1);
  counters->addWidget(clear, 0, 5, Qt::AlignBottom);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Memo1, 1);
  layout->addLayout(counters);

  connect(clear, &QPushButton::clicked, this, [this] {
    Form().ClearScreenLog();
    Memo1->clear();
    SeenLines = Form().ScreenLog().Appended();
  });
  connect(reset, &QPushButton::clicked, this, [this] {
    Form().Guarded([this] { Form().ResetConnectionCounters(); });
    Refresh();
  });
  connect(CBDebug, &QCheckBox::toggled, this, [this](bool checked) { Form().SetDebugBox(checked); });
  Bindings().AddRule([this] { CBDebug->setVisible(Form().Editable().DebugLevel == 3); });
  Refresh();
}

void TStatusPage::Refresh() {
  const TScreenLog& screen = Form().ScreenLog();
  const auto& lines = screen.Contents();
  const uint64_t fresh = screen.Appended() - SeenLines;
  if (fresh > 0) {
    const size_t first = fresh >= lines.size() ? 0 : lines.size() - static_cast<size_t>(fresh);
    if (first == 0) Memo1->clear();
    for (size_t i = first; i < lines.size(); ++i)
      Memo1->appendPlainText(QString::fromStdString(lines[i]));
    SeenLines = screen.Appended();
  }
  const TConnectionCounters& counters = Form().ConnectionCounters();
  LSC->setText(Counted("Connects: ", counters.ServerConnects));
  LSD->setText(Counted("Disconnects: ", counters.ServerDisconnects));
  LCC->setText(Counted("Connects: ", counters.ClientConnects));
  LCD->setText(Counted("Disconnects: ", counters.ClientDisconnects));
}

} // namespace quibo
