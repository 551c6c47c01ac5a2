// TForm1, the Threads, Status and Statistics pages: terminating a
// connection, resetting the connection counters (which also runs the reload
// check) and the statistics, and the hourly tick with the weekly counter of
// the update check. Window thread; a failing reload throws to the caller.
#include "UMain.h"

#include "UFunctions.h"

namespace quibo {
namespace fs = std::filesystem;

void TForm1::TerminateConnection(int index) {
  Registry.Terminate(index, [this](const std::string& text) { Logger.WriteDebugLog(text); });
}

bool TForm1::TerminateThread(long threadId) {
  return Registry.TerminateThread(threadId, [this](const std::string& text) { Logger.WriteDebugLog(text); });
}

void TForm1::ResetCounters() {
  LQuiboCleared = FormatLongDate(TimeSource.Now());
  Statistics.ResetStatistics();
}

void TForm1::ResetConnectionCounters() {
  Counters.Reset();
  CheckSettingsReload();
  AdvanceWeeklyCounter();
}

void TForm1::HourlyTick() {
  CheckSettingsReload();
  AdvanceWeeklyCounter();
}

void TForm1::AdvanceWeeklyCounter() {
  if (++UpdateHours != 168) return;
  UpdateHours = 0;
  if (View) View->WeeklyUpdateCheck();
}

} // namespace quibo
