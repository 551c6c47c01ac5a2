// The ten pages of the main window, in tab order. Each shows its part of the
// settings model and of the running filter and turns the operator's actions
// into TForm1 calls; none touches the lists, the registry or the statistics
// on its own. One unit per page (UPageStatus.cpp, UPageMail.cpp, ...), the
// three list pages together in UPageLists.cpp. Window thread only.
#pragma once

#include "UPage.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace quibo {

class TForwarderGrid;
class TListEditor;

class TStatusPage : public TPage {
public:
  explicit TStatusPage(TPageContext& context);
  void Refresh() override;

private:
  QPlainTextEdit* Memo1;
  QLabel *LSC, *LSD, *LCC, *LCD;
  QCheckBox* CBDebug;
  uint64_t SeenLines = 0;
};

class TMailPage : public TPage {
public:
  explicit TMailPage(TPageContext& context);
  void Refresh() override;

private:
  QPushButton* Button6;
  TForwarderGrid* Forwarders;
};

class TBlacklistPage : public TPage {
public:
  explicit TBlacklistPage(TPageContext& context);
};

class TWhitelistPage : public TPage {
public:
  explicit TWhitelistPage(TPageContext& context);
};

class TFilteringPage : public TPage {
public:
  explicit TFilteringPage(TPageContext& context);
  void Refresh() override;

private:
  QPushButton *BLearn, *BHeurasticStats;
  QLabel *LblHam, *LblSpam;
  QLabel* ClassifierValues[6]; // LSpamMessages, LHamMessages, LTokens, LOldestToken, LNewestToken, LLastSync
};

class TRelayingPage : public TPage {
public:
  explicit TRelayingPage(TPageContext& context);
};

class TVirusCheckPage : public TPage {
public:
  explicit TVirusCheckPage(TPageContext& context);
  void Refresh() override;

private:
  QPushButton* BVirusCheck;
  QPlainTextEdit* Memo2;
};

class TDebugPage : public TPage {
public:
  explicit TDebugPage(TPageContext& context);
  void Refresh() override;

private:
  void SendMail();
  QPushButton *SendButton, *CheckButton;
  QLabel* Label10;
};

class TThreadsPage : public TPage {
public:
  explicit TThreadsPage(TPageContext& context);
  void Refresh() override;
  void Shown() override { Refresh(); }

private:
  QListWidget* LBThreads;
};

class TStatisticsPage : public TPage {
public:
  explicit TStatisticsPage(TPageContext& context);
  void Shown() override { ShowStatistics(); }

private:
  void ShowStatistics();
  QLabel* Since[StatCounterCount];
  QLabel* Lifetime[StatCounterCount];
  QLabel *LQuiboStart, *LQuiboCleared;
  QTableWidget* StatGrid;
};

} // namespace quibo
