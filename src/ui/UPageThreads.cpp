// The "Threads" page: the live connection monitor list LBThreads (refreshed
// whenever the window thread has handled posted work while the page is
// shown), "Terminate", the history of a connection on a double click, and
// "Active Connections".
#include "UPages.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace quibo {

TThreadsPage::TThreadsPage(TPageContext& context)
    : TPage(context, "Threads"), LBThreads(Named(new QListWidget, "LBThreads")) {
  auto* terminate = Named(new QPushButton("Terminate"), "BTerminate");
  auto* active = Named(new QPushButton("Active Connections"), "Button10");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(terminate);
  buttons->addWidget(active);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(LBThreads, 1);
  layout->addLayout(buttons);
  connect(terminate, &QPushButton::clicked, this, [this] {
    Form().Guarded([this] { Form().TerminateConnection(LBThreads->currentRow()); });
    Refresh();
  });
  connect(LBThreads, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    Dialogs().Inform(QString::fromStdString(Form().ThreadDetails(LBThreads->row(item))));
  });
  connect(active, &QPushButton::clicked, this,
          [this] { Dialogs().Inform(QString::fromStdString(Form().ActiveConnections())); });
}

void TThreadsPage::Refresh() {
  if (!isVisible()) return;
  const auto lines = Form().Connections().LineTexts();
  const int selected = LBThreads->currentRow();
  LBThreads->clear();
  for (const auto& line : lines)
    LBThreads->addItem(QString::fromStdString(line));
  LBThreads->setCurrentRow(selected < LBThreads->count() ? selected : -1);
}

} // namespace quibo
