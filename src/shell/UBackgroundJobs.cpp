// TBackgroundJobs: learning and the classifier's statistics, the scanner
// test and the test mail, each run on its background task. Window thread;
// the work itself on the task's thread.
#include "UBackgroundJobs.h"

#include "UVirusCheck.h"

namespace quibo {
namespace fs = std::filesystem;
namespace {

// The anti-virus test file's text, which every scanner reports as a virus.
const char* const kEicarTestText = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

} // namespace

TBackgroundJobs::TBackgroundJobs(TEventQueue& events, TLogger& log, const TSettingsModel& settings, TClamdPool& clamd,
                                 TWiring wiring)
    : Events(events), Log(log), Settings(settings), ClamdConnections(clamd), Wiring(std::move(wiring)) {}

void TBackgroundJobs::CancelAll() {
  for (TBackgroundTask* task : {&Learning, &ClassifierStatistics, &ScannerTest, &TestMail})
    task->Cancel();
}

TClassifierBridge TBackgroundJobs::Classifier() const {
  const TSettings& settings = Settings.Editable();
  return TClassifierBridge(Wiring.ProgramFolder, Log, settings.HeurasticCheckTimeOut, settings.Multidomainprefix);
}

void TBackgroundJobs::LearnNow() {
  const bool deleteAfterLearning = Settings.Editable().CBDeleteAfterLearn;
  Learning.Start([this, classifier = Classifier(), deleteAfterLearning](TCancellation& cancel) {
    Log.WriteLog("Autolearning started...", true);
    for (const bool spam : {false, true}) {
      std::string& label = spam ? LblSpam : LblHam;
      Events.PostTask([&label] { label = "Now learning....."; });
      const TLearnResult learned = classifier.Learn(spam, &cancel);
      Events.PostTask([&label, learned] {
        label = "Learned " + std::to_string(learned.Learned) + " from " + std::to_string(learned.Total) + " total";
      });
      if (!deleteAfterLearning || cancel.Cancelled()) continue;
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(Wiring.ProgramFolder / (spam ? "spam" : "ham"), error))
        if (entry.is_regular_file(error)) fs::remove(entry.path(), error);
    }
    Log.WriteLog("Autolearning finished...", true);
    return std::function<void()>();
  });
}

void TBackgroundJobs::RenewHeurasticStatistics(std::function<void(const TClassifierStatistics&)> done) {
  ClassifierStatistics.Start([classifier = Classifier(), done = std::move(done)](TCancellation& cancel) {
    std::vector<std::string> dump;
    classifier.DumpStatistics(dump, &cancel);
    return std::function<void()>([done, statistics = ParseStatistics(dump)] { done(statistics); });
  });
}

void TBackgroundJobs::VirusCheckTest(const fs::path& file, TScanDone done) {
  ScannerTest.Start(
      [this, settings = Settings.Generation()->Settings, file, done = std::move(done)](TCancellation& cancel) {
        const fs::path& folder = Wiring.ProgramFolder;
        const TScanResult result =
            settings->ClamdSocket.empty()
                ? ScanFile(settings->EVirusProgram, file, settings->SEVirusErrorlevel, settings->VirusCheckTimeOut,
                           folder, &cancel)
                : ScanWithClamd(ClamdConnections, settings->ClamdSocket, folder, TTextMessage(kEicarTestText), {},
                                settings->VirusCheckTimeOut, &cancel);
        const auto lines = VirusCheckTestLines(result);
        for (const auto& line : lines)
          Log.WriteMailLog(line);
        return std::function<void()>([done, lines] { done(lines); });
      });
}

void TBackgroundJobs::SendTestMail(TTestMail mail, std::function<void(const TTestMailResult&)> done) {
  const TTestMailTarget target = Wiring.TestMailTarget();
  const int timeout = Settings.Generation()->Settings->ForwardTimeout;
  TestMail.Start([mail = std::move(mail), target, timeout, done = std::move(done), this](TCancellation& cancel) {
    const TTestMailResult result = quibo::SendTestMail(mail, target.Host, target.Port, timeout, cancel);
    return std::function<void()>([this, done, result] {
      if (!result.Failure.empty()) Wiring.ReportError(result.Failure);
      done(result);
    });
  });
}

} // namespace quibo
