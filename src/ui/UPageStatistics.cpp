// The "Statistics" page: the counters since the last reset and their
// lifetime totals, the start and reset stamps, one row per blacklist server,
// "Reset Counters", "Update" and "Save statistics". The labels are rewritten
// when the page is shown and on "Update", not in between.
#include "UPages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace quibo {
namespace {

struct TCounterRow {
  const char* Caption;
  const char* Since;
  const char* Lifetime;
};

// In the order of TStatCounter.
const TCounterRow kRows[StatCounterCount] = {
    {"Total connections served:", "LTotal", "LTTotal"},
    {"Total mailmessages found positive:", "LRefused", "LTRefused"},
    {"Total mailmessages passed through:", "LPassed", "LTPassed"},
    {"Blocked for relaying:", "LNoRelay", "LTNoRelay"},
    {"Blacklisted positives:", "LBlackListed", "LTBlackListed"},
    {"Viruses found:", "LVirus", "LTVirus"},
    {"Heurastic positives:", "LHeurastic", "LTHeurastic"},
    {"Heurastic messages dropped:", "LHeurasticDropped", "LTHeurasticDropped"},
};

} // namespace

TStatisticsPage::TStatisticsPage(TPageContext& context)
    : TPage(context, "Statistics"), LQuiboStart(Named(new QLabel, "LQuiboStart")),
      LQuiboCleared(Named(new QLabel, "LQuiboCleared")), StatGrid(Named(new QTableWidget(0, 4), "StatGrid")) {
  auto* counters = new QGridLayout;
  counters->addWidget(new QLabel("<b>Since last reset</b>"), 0, 1, Qt::AlignRight);
  counters->addWidget(new QLabel("<b>Total</b>"), 0, 2, Qt::AlignRight);
  for (size_t i = 0; i < StatCounterCount; ++i) {
    const int row = static_cast<int>(i) + 1;
    counters->addWidget(new QLabel(kRows[i].Caption), row, 0);
    counters->addWidget(Since[i] = Named(new QLabel, kRows[i].Since), row, 1, Qt::AlignRight);
    counters->addWidget(Lifetime[i] = Named(new QLabel, kRows[i].Lifetime), row, 2, Qt::AlignRight);
  }
  counters->addWidget(new QLabel("Quibo started on:"), StatCounterCount + 1, 0);
  counters->addWidget(LQuiboStart, StatCounterCount + 1, 1, 1, 2, Qt::AlignRight);
  counters->addWidget(new QLabel("Last time cleared counters:"), StatCounterCount + 2, 0);
  counters->addWidget(LQuiboCleared, StatCounterCount + 2, 1, 1, 2, Qt::AlignRight);
  counters->setColumnStretch(3, 1);

  StatGrid->setHorizontalHeaderLabels({"Hostname", "TotalChecks", "Timeout", "Listed"});
  StatGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  StatGrid->verticalHeader()->hide();
  StatGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  auto* reset = Named(new QPushButton("Reset Counters"), "Button11");
  auto* update = Named(new QPushButton("Update"), "Button12");
  auto* save = Named(new QCheckBox("Save statistics"), "CBSaveStats");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(reset);
  buttons->addWidget(update);
  buttons->addStretch();
  buttons->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(counters);
  layout->addWidget(StatGrid, 1);
  layout->addLayout(buttons);

  Bindings().Bind(save, &TSettings::CBSaveStats);
  connect(reset, &QPushButton::clicked, this, [this] {
    Form().ResetCounters();
    ShowStatistics();
  });
  connect(update, &QPushButton::clicked, this, [this] { ShowStatistics(); });
  ShowStatistics();
}

void TStatisticsPage::ShowStatistics() {
  const TStats& stats = Form().Stats();
  for (size_t i = 0; i < StatCounterCount; ++i) {
    Since[i]->setText(QString::number(stats.SinceReset()[i]));
    Lifetime[i]->setText(QString::number(stats.Totals()[i]));
  }
  LQuiboStart->setText(QString::fromStdString(Form().StartTimeText()));
  LQuiboCleared->setText(QString::fromStdString(Form().LastClearedText()));
  const auto& servers = stats.BlacklistServers();
  StatGrid->setRowCount(static_cast<int>(servers.size()));
  for (size_t i = 0; i < servers.size(); ++i) {
    const QString cells[] = {QString::fromStdString(servers[i].HostName), QString::number(servers[i].TotalChecks),
                             QString::number(servers[i].Timeout), QString::number(servers[i].Listed)};
    for (int column = 0; column < 4; ++column)
      StatGrid->setItem(static_cast<int>(i), column, new QTableWidgetItem(cells[column]));
  }
}

} // namespace quibo
