#include "ULog.h"

#include "UDescriptor.h"
#include "UWriteAll.h"

#include "UFunctions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <stdio.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;

namespace {

// A log text as one printable line: the line end is the log's own, so the
// text's trailing line breaks go, and what is left cannot start a line of its own.
std::string LogText(const std::string& text) {
  const auto last = text.find_last_not_of("\r\n");
  return PrintableText(std::string_view(text).substr(0, last == std::string::npos ? 0 : last + 1));
}

// Appends bytes to a file in one write, creating it when missing; 0 or the error number.
int AppendBytes(const fs::path& file, std::string_view bytes) {
  const TDescriptor out(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  return out.Valid() ? WriteAll(out.Get(), bytes) : errno;
}

// Appends to a file of the log folder, making the folder when it is missing (looked at only then, so a line
// costs one open, one write and one close). Returns the error text or "".
std::string AppendToLogFile(const fs::path& file, std::string_view bytes) {
  int error = AppendBytes(file, bytes);
  if (error == ENOENT) {
    error = ::mkdir(file.parent_path().c_str(), 0755) == 0 || errno == EEXIST ? 0 : errno;
    if (error == 0) error = AppendBytes(file, bytes);
  }
  return error == 0 ? std::string() : std::strerror(error);
}

TTimePoint FileModificationTime(const fs::path& file, bool& ok) {
  struct stat info {};
  ok = ::stat(file.c_str(), &info) == 0;
  if (!ok) return {};
  return TTimePoint{std::chrono::duration_cast<TTimePoint::duration>(std::chrono::seconds{info.st_mtim.tv_sec} +
                                                                     std::chrono::nanoseconds{info.st_mtim.tv_nsec})};
}

const char* TrafficLabel(TTrafficDirection direction) {
  switch (direction) {
  case TTrafficDirection::ServerReceived: return "] Server received: ";
  case TTrafficDirection::ServerSent: return "] Server sent: ";
  case TTrafficDirection::ClientReceived: return "] Client received: ";
  case TTrafficDirection::ClientSent: return "] Client sent: ";
  }
  return "] ";
}

} // namespace

TLogger::TLogger(fs::path programFolder, const TClock& clock, TVisibleCriticalSection& logLock, TLogHooks hooks)
    : LogFolder(std::move(programFolder) / "log"), Clock(clock), LogLock(logLock), Hooks(std::move(hooks)) {
  ResetDayMarkers();
}

void TLogger::ResetDayMarkers() {
  std::lock_guard lock(WriterMutex);
  const TTimePoint now = Clock.Now();
  NextRotation = now + kOneDay;
  LastLogDay = now;
}

TTimePoint TLogger::NextRotationDay() const {
  std::lock_guard lock(WriterMutex);
  return NextRotation;
}

fs::path TLogger::DatedLogName(TTimePoint day) const { return LogFolder / ("Quibo." + FormatShortDate(day) + ".log"); }

std::string TLogger::FormatLine(TTimePoint now, const std::string& text, const TLogConnection* connection) const {
  std::string line = FormatStamp(now) + " : ";
  if (connection) {
    line += "[" + std::to_string(connection->ThreadId) + "] " + connection->PeerIp + " ";
    if (!connection->TransactionId.empty()) line += connection->TransactionId + ": ";
  }
  line += text;
  return line;
}

void TLogger::SendToScreen(std::string line) {
  if (Hooks.ScreenLine) Hooks.ScreenLine(std::move(line));
}

bool TLogger::WriteLog(std::string text, bool showOnScreen, const TLogConnection* connection) {
  TVisibleGuard busy(LogLock);
  bool firstOfNewDay = false;
  bool written = false;
  {
    std::lock_guard lock(WriterMutex);
    const TTimePoint now = Clock.Now();
    if (LocalDayNumber(now) > LocalDayNumber(LastLogDay)) {
      LastLogDay = now;
      firstOfNewDay = true;
    }
    TTimePoint lastWritten;
    if (Flags.Rotation.load() && IsRotationDue(now, lastWritten)) RotateLogFile(now, lastWritten);
    const std::string line = FormatLine(now, LogText(text), connection);
    if (showOnScreen) SendToScreen(line);
    const std::string failure = AppendToLogFile(MainLogPath(), line + "\r\n");
    written = failure.empty();
    if (!written) SendToScreen("Log Exception: " + failure);
  }
  if (firstOfNewDay && Flags.AutoLearn.load() && Hooks.AutoLearn) Hooks.AutoLearn();
  return written;
}

void TLogger::WriteMailLog(std::string text, const TLogConnection* connection) {
  if (Flags.MailLogging.load()) WriteLog(std::move(text), Flags.Screen.load(), connection);
}

void TLogger::WriteTraceLog(std::string text, bool showOnScreen, const TLogConnection* connection) {
  if (Flags.DebugBox.load()) WriteLog(std::move(text), showOnScreen, connection);
}

void TLogger::WriteDebugLog(std::string text) {
  if (Flags.DebugLevel.load() <= 0) return;
  std::lock_guard lock(WriterMutex);
  AppendToLogFile(DebugLogPath(), FormatStamp(Clock.Now()) + " : " + LogText(text) + "\r\n");
}

void TLogger::WriteTraffic(TTrafficDirection direction, long threadId, std::string_view chunk) {
  std::string text = "[" + std::to_string(threadId) + TrafficLabel(direction);
  text.append(chunk);
  WriteLog(std::move(text), Flags.Screen.load(), nullptr);
}

bool TLogger::IsRotationDue(TTimePoint now, TTimePoint& lastWritten) {
  bool known = false;
  lastWritten = FileModificationTime(MainLogPath(), known);
  if (!known) return true; // no file date: due, and the plan stays as it is
  // The planned day has come, or the file holds lines of an earlier day (the
  // first line after start-up, or after days without any line).
  const bool due =
      LocalDayNumber(now) >= LocalDayNumber(NextRotation) || LocalDayNumber(lastWritten) < LocalDayNumber(now);
  if (due) NextRotation = now + kOneDay;
  return due;
}

void TLogger::RotateLogFile(TTimePoint now, TTimePoint lastWritten) {
  if (Flags.ClearCountersOnRotate.load() && Hooks.ClearCountersOnRotate) Hooks.ClearCountersOnRotate();
  const fs::path source = MainLogPath();
  // Named after the last day it holds lines of: yesterday, unless days went by without a line.
  const TTimePoint day = LocalDayNumber(lastWritten) < LocalDayNumber(now) ? lastWritten : now - kOneDay;
  const fs::path target = DatedLogName(day);
  for (int attempt = 1; attempt <= 6; ++attempt) {
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) break;
    if (errno == ENOENT) break; // nothing to rename: waiting cannot help
    if (attempt < 6) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  SweepOldLogs(now);
}

void TLogger::SweepOldLogs(TTimePoint now) {
  std::set<std::string> kept;
  const int window = Flags.WindowSize.load();
  for (int k = 0; k <= window; ++k)
    kept.insert(Lowered(DatedLogName(now - k * kOneDay).string()));
  // The live log keeps its undated name when every rename failed; it is never swept.
  kept.insert(Lowered(MainLogPath().string()));
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(LogFolder, error)) {
    const fs::path& file = entry.path();
    if (Lowered(file.extension().string()) != ".log") continue;
    if (kept.count(Lowered(file.string())) == 0) fs::remove(file, error);
  }
}

} // namespace quibo
