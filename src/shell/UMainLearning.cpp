// TForm1, the classifier page: "Learn now" (and the midnight autolearn) and
// the classifier's statistics. Window thread; the classifier bridge never throws.
#include "UMain.h"

namespace quibo {
namespace fs = std::filesystem;

TClassifierBridge TForm1::Classifier() {
  return TClassifierBridge(Folder, Logger, EditableSettings.HeurasticCheckTimeOut, EditableSettings.Multidomainprefix);
}

void TForm1::LearnNow() {
  Logger.WriteLog("Autolearning started...", true);
  const TClassifierBridge classifier = Classifier();
  for (const bool spam : {false, true}) {
    std::string& label = spam ? LblSpam : LblHam;
    label = "Now learning.....";
    const TLearnResult learned = classifier.Learn(spam);
    label = "Learned " + std::to_string(learned.Learned) + " from " + std::to_string(learned.Total) + " total";
    if (!EditableSettings.CBDeleteAfterLearn) continue;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Folder / (spam ? "spam" : "ham"), error))
      if (entry.is_regular_file(error)) fs::remove(entry.path(), error);
  }
  Logger.WriteLog("Autolearning finished...", true);
}

TClassifierStatistics TForm1::RenewHeurasticStatistics() {
  std::vector<std::string> dump;
  Classifier().DumpStatistics(dump);
  return ParseStatistics(dump);
}

} // namespace quibo
