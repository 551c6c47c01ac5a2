// TBackgroundJobs: the operator's long actions, each on a background task of
// its own so that the window never waits: learning ("Learn now" and the
// midnight autolearn), the classifier's statistics ("Renew statistics"), the
// VirusCheck page's scanner test and the Debug page's test mail. Each takes
// the settings of the moment it is asked for; its results reach the labels
// and the done callbacks on the window thread. A start while the same job
// runs does nothing. Owned by TForm1; every call is made on the window
// thread. The classifier and scanner bridges never throw; a test mail's
// failure other than an error reply goes to the error report.
#pragma once

#include "UBackgroundTask.h"
#include "UClamdScanner.h"
#include "UEventQueue.h"
#include "UHeurastic.h"
#include "ULog.h"
#include "USettingsModel.h"
#include "UTestMail.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quibo {

class TBackgroundJobs {
public:
  struct TTestMailTarget {
    std::string Host;
    int Port = 25;
  };
  struct TWiring {
    std::filesystem::path ProgramFolder;
    std::function<TTestMailTarget()> TestMailTarget; // the listener's own address and port
    std::function<void(const std::string&)> ReportError;
  };

  TBackgroundJobs(TEventQueue& events, TLogger& log, const TSettingsModel& settings, TClamdPool& clamd, TWiring wiring);

  void LearnNow(); // "Learn now", and after midnight with autolearning on
  bool LearningRunning() const { return Learning.Running(); }
  const std::string& HamLearnLabel() const { return LblHam; }
  const std::string& SpamLearnLabel() const { return LblSpam; }

  // "Renew statistics": done gets the page's six values.
  void RenewHeurasticStatistics(std::function<void(const TClassifierStatistics&)> done);
  bool StatisticsRunning() const { return ClassifierStatistics.Running(); }

  using TScanDone = std::function<void(const std::vector<std::string>& lines)>;
  // With ClamdSocket set clamd is asked about the anti-virus test text and
  // the file is not used; else the scanner program reads the file.
  void VirusCheckTest(const std::filesystem::path& file, TScanDone done);
  bool VirusCheckAsksClamd() const { return !Settings.Generation()->Settings->ClamdSocket.empty(); }
  bool VirusCheckRunning() const { return ScannerTest.Running(); }

  // To the listener's own address (127.0.0.1 when it listens on all) and port.
  void SendTestMail(TTestMail mail, std::function<void(const TTestMailResult&)> done);
  bool TestMailRunning() const { return TestMail.Running(); }

  // At close: ends the runs in progress and refuses later starts.
  void CancelAll();

private:
  TClassifierBridge Classifier() const;

  TEventQueue& Events;
  TLogger& Log;
  const TSettingsModel& Settings;
  TClamdPool& ClamdConnections;
  TWiring Wiring;
  std::string LblHam;
  std::string LblSpam;
  TBackgroundTask Learning{Events};
  TBackgroundTask ClassifierStatistics{Events};
  TBackgroundTask ScannerTest{Events};
  TBackgroundTask TestMail{Events};
};

} // namespace quibo
