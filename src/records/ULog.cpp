#include "ULog.h"

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

bool ContainsCrLf(const std::string& text) { return text.find("\r\n") != std::string::npos; }

std::string WithoutCrLf(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
    text.erase(at, 2);
  return text;
}

// Makes sure the log folder exists; returns the error text or "".
std::string EnsureFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) return {};
  return std::strerror(errno);
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

std::string AppendToFile(const fs::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  std::string error;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      break;
    }
    done += static_cast<size_t>(wrote);
  }
  ::close(fd);
  return error;
}

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
  if (connection) line += "[" + std::to_string(connection->ThreadId) + "] " + connection->PeerIp + " ";
  line += text;
  return line;
}

void TLogger::SendToScreen(std::string line) {
  if (Hooks.ScreenLine) Hooks.ScreenLine(std::move(line));
}

void TLogger::WriteLog(std::string text, bool showOnScreen, const TLogConnection* connection) {
  TVisibleGuard busy(LogLock);
  bool firstOfNewDay = false;
  {
    std::lock_guard lock(WriterMutex);
    const TTimePoint now = Clock.Now();
    if (LocalDayNumber(now) > LocalDayNumber(LastLogDay)) {
      LastLogDay = now;
      firstOfNewDay = true;
    }
    std::string failure = EnsureFolder(LogFolder);
    if (failure.empty()) {
      if (Flags.Rotation.load() && IsRotationDue(now)) RotateLogFile(now);
      std::string line = FormatLine(now, text, connection);
      if (showOnScreen) SendToScreen(WithoutCrLf(line));
      if (!ContainsCrLf(line)) line += "\r\n";
      failure = AppendToFile(MainLogPath(), line);
    }
    if (!failure.empty()) SendToScreen("Log Exception: " + failure);
  }
  if (firstOfNewDay && Flags.AutoLearn.load() && Hooks.AutoLearn) Hooks.AutoLearn();
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
  if (!EnsureFolder(LogFolder).empty()) return;
  std::string line = FormatStamp(Clock.Now()) + " : " + text;
  if (!ContainsCrLf(line)) line += "\r\n";
  AppendToFile(DebugLogPath(), line);
}

void TLogger::WriteTraffic(TTrafficDirection direction, long threadId, std::string_view chunk) {
  std::string text = "[" + std::to_string(threadId) + TrafficLabel(direction);
  text.append(chunk);
  WriteLog(std::move(text), Flags.Screen.load(), nullptr);
}

bool TLogger::IsRotationDue(TTimePoint now) {
  const long nextDay = LocalDayNumber(NextRotation);
  bool due = LocalDayNumber(now) == nextDay;
  if (!due) {
    bool known = false;
    const TTimePoint fileTime = FileModificationTime(MainLogPath(), known);
    if (!known) return true; // no file date: due, and the plan stays as it is
    due = !(nextDay - 2 < LocalDayNumber(fileTime));
  }
  if (due) NextRotation = now + kOneDay;
  return due;
}

void TLogger::RotateLogFile(TTimePoint now) {
  if (Flags.ClearCountersOnRotate.load() && Hooks.ClearCountersOnRotate) Hooks.ClearCountersOnRotate();
  const fs::path source = MainLogPath();
  const fs::path target = DatedLogName(now - kOneDay);
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
