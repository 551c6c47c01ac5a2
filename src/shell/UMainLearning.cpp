// TForm1, the classifier page: "Learn now" (and the midnight autolearn) and
// the classifier's statistics. Both run the classifier on a background task,
// with the settings of the moment they were asked for; the labels change on
// the window thread. The classifier bridge never throws; a run that is
// still going when the program closes is cancelled.
#include "UMain.h"

namespace quibo {
namespace fs = std::filesystem;

TClassifierBridge TForm1::Classifier() {
  return TClassifierBridge(Folder, Logger, Model.Editable().HeurasticCheckTimeOut, Model.Editable().Multidomainprefix);
}

void TForm1::LearnNow() {
  const bool deleteAfterLearning = Model.Editable().CBDeleteAfterLearn;
  Learning.Start([this, classifier = Classifier(), deleteAfterLearning](TCancellation& cancel) {
    Logger.WriteLog("Autolearning started...", true);
    for (const bool spam : {false, true}) {
      std::string& label = spam ? LblSpam : LblHam;
      Events.PostTask([&label] { label = "Now learning....."; });
      const TLearnResult learned = classifier.Learn(spam, &cancel);
      Events.PostTask([&label, learned] {
        label = "Learned " + std::to_string(learned.Learned) + " from " + std::to_string(learned.Total) + " total";
      });
      if (!deleteAfterLearning || cancel.Cancelled()) continue;
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(Folder / (spam ? "spam" : "ham"), error))
        if (entry.is_regular_file(error)) fs::remove(entry.path(), error);
    }
    Logger.WriteLog("Autolearning finished...", true);
    return std::function<void()>();
  });
}

void TForm1::RenewHeurasticStatistics(std::function<void(const TClassifierStatistics&)> done) {
  ClassifierStatistics.Start([classifier = Classifier(), done = std::move(done)](TCancellation& cancel) {
    std::vector<std::string> dump;
    classifier.DumpStatistics(dump, &cancel);
    return std::function<void()>([done, statistics = ParseStatistics(dump)] { done(statistics); });
  });
}

} // namespace quibo
