// The "Filtering" page: the classifier's options (threshold, size limit,
// subject, drop score, forward mailbox), its statistics ("Renew statistics")
// and its learning ("Learn now", autolearn at midnight). Learning and the
// statistics run in the background; their buttons wait until they are done.
#include "UPages.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quibo {
namespace {

QSpinBox* Spin(const char* name, int maximum) {
  auto* spin = Named(new QSpinBox, name);
  spin->setRange(0, maximum);
  return spin;
}

} // namespace

TFilteringPage::TFilteringPage(TPageContext& context)
    : TPage(context, "Filtering"), BLearn(Named(new QPushButton("Learn now"), "BLearn")),
      BHeurasticStats(Named(new QPushButton("Renew statistics"), "BHeurasticStats")),
      LblHam(Named(new QLabel, "LblHam")), LblSpam(Named(new QLabel, "LblSpam")) {
  auto* enabled = Named(new QCheckBox("Enable heurastic filtering"), "CBHeurastic");
  auto* threshold = Named(new QLineEdit, "ESpamThreshold");
  auto* maxSize = Spin("SEHeurasticMaxSize", 1000000);
  auto* modifySubject = Named(new QCheckBox("Modify subject if spam"), "CBHeurasticSubject");
  auto* subjectCaption = new QLabel("Modified subject suspected spam:");
  auto* subject = Named(new QLineEdit, "EHeurasticSubject");
  auto* drop = Named(new QCheckBox("Drop message if score is higher as:"), "CBDropScore");
  auto* dropThreshold = Spin("SEDropThreshold", 1000);
  auto* forward = Named(new QCheckBox("Forward to mailbox"), "CBHeurasticForward");
  auto* forwardCaption = new QLabel("Forward mailbox");
  auto* forwardAddress = Named(new QLineEdit, "EHeurasticForward");

  auto* options = new QGridLayout;
  options->addWidget(new QLabel("Mark as spam threshold level:"), 0, 0);
  options->addWidget(threshold, 0, 1);
  options->addWidget(new QLabel("Skip Mailmessages larger as:"), 1, 0);
  auto* size = new QHBoxLayout;
  size->addWidget(maxSize);
  size->addWidget(new QLabel("KB"));
  options->addLayout(size, 1, 1);
  options->addWidget(modifySubject, 2, 0, 1, 2);
  options->addWidget(subjectCaption, 3, 0);
  options->addWidget(subject, 3, 1);
  options->addWidget(drop, 4, 0);
  options->addWidget(dropThreshold, 4, 1);
  options->addWidget(forward, 5, 0, 1, 2);
  options->addWidget(forwardCaption, 6, 0);
  options->addWidget(forwardAddress, 6, 1);
  options->setColumnStretch(1, 1);
  auto* optionsGroup = Named(Group("", options), "GBHeurastic");
  Q_UNUSED(optionsGroup);

  auto* statistics = new QFormLayout;
  const std::pair<const char*, const char*> values[] = {
      {"Spam messages:", "LSpamMessages"}, {"Ham messages:", "LHamMessages"}, {"Tokens:", "LTokens"},
      {"Oldest token:", "LOldestToken"},   {"Newest token:", "LNewestToken"}, {"Last sync:", "LLastSync"}};
  for (size_t i = 0; i < 6; ++i)
    statistics->addRow(values[i].first, ClassifierValues[i] = Named(new QLabel("NA"), values[i].second));
  statistics->addRow(BHeurasticStats);
  auto* autoLearn = Named(new QCheckBox("Autolearn at midnight"), "CBAutoLearn");
  auto* deleteAfter = Named(new QCheckBox("Delete files after learning"), "CBDeleteAfterLearn");
  auto* learning = new QFormLayout;
  learning->addRow("Ham:", LblHam);
  learning->addRow("Spam:", LblSpam);
  learning->addRow(autoLearn);
  learning->addRow(deleteAfter);
  learning->addRow(BLearn);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(Group("Heurastic statistics", statistics), 1);
  bottom->addWidget(Group("Heurastic learning", learning), 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(enabled);
  layout->addWidget(optionsGroup);
  layout->addLayout(bottom);
  layout->addStretch();

  auto& bindings = Bindings();
  bindings.Bind(enabled, &TSettings::CBHeurastic);
  bindings.Bind(threshold, &TSettings::ESpamThreshold);
  bindings.Bind(maxSize, &TSettings::SEHeurasticMaxSize);
  bindings.Bind(modifySubject, &TSettings::CBHeurasticSubject);
  bindings.Bind(subject, &TSettings::EHeurasticSubject);
  bindings.Bind(drop, &TSettings::CBDropScore);
  bindings.Bind(dropThreshold, &TSettings::SEDropThreshold);
  bindings.Bind(forward, &TSettings::CBHeurasticForward);
  bindings.Bind(forwardAddress, &TSettings::EHeurasticForward);
  bindings.Bind(autoLearn, &TSettings::CBAutoLearn);
  bindings.Bind(deleteAfter, &TSettings::CBDeleteAfterLearn);
  // The threshold field is always enabled; the other options follow their switches.
  bindings.AddRule([=, this] {
    const TSettings& settings = Form().Editable();
    const bool on = settings.CBHeurastic;
    for (QWidget* option : std::initializer_list<QWidget*>{maxSize, modifySubject, drop, forward})
      option->setEnabled(on);
    subjectCaption->setEnabled(on && settings.CBHeurasticSubject);
    subject->setEnabled(on && settings.CBHeurasticSubject);
    dropThreshold->setEnabled(on && settings.CBDropScore);
    forwardCaption->setEnabled(on && settings.CBHeurasticForward);
    forwardAddress->setEnabled(on && settings.CBHeurasticForward);
  });
  connect(threshold, &QLineEdit::editingFinished, this, [this, threshold] {
    Form().SettingsModel().ThresholdEdited();
    threshold->setText(QString::fromStdString(Form().Editable().ESpamThreshold));
  });
  connect(BLearn, &QPushButton::clicked, this, [this] {
    Form().Jobs().LearnNow();
    Refresh();
  });
  connect(BHeurasticStats, &QPushButton::clicked, this, [this] {
    Form().Jobs().RenewHeurasticStatistics([page = QPointer(this)](const TClassifierStatistics& statistics) {
      if (!page) return;
      const std::string* texts[] = {&statistics.Spam,   &statistics.Ham,    &statistics.Tokens,
                                    &statistics.Oldest, &statistics.Newest, &statistics.Journal};
      for (size_t i = 0; i < 6; ++i)
        page->ClassifierValues[i]->setText(QString::fromStdString(*texts[i]));
    });
    Refresh();
  });
}

void TFilteringPage::Refresh() {
  LblHam->setText(QString::fromStdString(Form().HamLearnLabel()));
  LblSpam->setText(QString::fromStdString(Form().SpamLearnLabel()));
  BLearn->setEnabled(!Form().Jobs().LearningRunning());
  BHeurasticStats->setEnabled(!Form().Jobs().StatisticsRunning());
}

} // namespace quibo
