// The log writers: main log with daily rotation and a window of kept files,
// mail (acceptance) lines, trace lines, the debug log, and the SMTP traffic
// taps. Called from every thread; each line is one open-append-close under
// one writer mutex so lines never interleave. The screen log lives on the
// window thread: lines for it leave through the ScreenLine hook. Every text
// is written as one printable line (PrintableText), so no text can start a
// log line of its own. Errors never reach the caller: file errors become a
// "Log Exception: " screen line.
#pragma once

#include "UClock.h"
#include "UVisibleCriticalSection.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace quibo {

// The connection a line belongs to: its thread id, the peer's address and,
// inside a mail transaction, the transaction's id.
struct TLogConnection {
  TLogConnection() = default;
  TLogConnection(long threadId, std::string peerIp, std::string transactionId = {})
      : ThreadId(threadId), PeerIp(std::move(peerIp)), TransactionId(std::move(transactionId)) {}

  long ThreadId = 0;
  std::string PeerIp;
  std::string TransactionId; // empty outside a transaction
};

// Switches read at every call; the window thread sets them from the settings.
struct TLogSwitches {
  std::atomic<bool> MailLogging{false}; // CBMailLogging
  std::atomic<bool> Screen{false};      // CBScreen
  std::atomic<bool> Rotation{false};    // CBLogFileRotation
  std::atomic<bool> DebugBox{false};    // CBDebug
  std::atomic<bool> ClearCountersOnRotate{false};
  std::atomic<bool> AutoLearn{true}; // CBAutoLearn
  std::atomic<int> WindowSize{7};    // SERotation
  std::atomic<int> DebugLevel{0};
};

enum class TTrafficDirection { ServerReceived, ServerSent, ClientReceived, ClientSent };

struct TLogHooks {
  std::function<void(std::string line)> ScreenLine; // hand a line to the screen log
  std::function<void()> ClearCountersOnRotate;      // connection counters at rotation
  std::function<void()> AutoLearn;                  // "Learn now" after the first line of a day
};

class TLogger {
public:
  TLogger(std::filesystem::path programFolder, const TClock& clock, TVisibleCriticalSection& logLock, TLogHooks hooks);

  TLogSwitches& Switches() { return Flags; }

  // False when the line could not be written (the reason goes to the screen).
  bool WriteLog(std::string text, bool showOnScreen, const TLogConnection* connection = nullptr);
  void WriteMailLog(std::string text, const TLogConnection* connection = nullptr);
  void WriteTraceLog(std::string text, bool showOnScreen, const TLogConnection* connection = nullptr);
  void WriteDebugLog(std::string text);
  // One chunk of SMTP traffic as read or written, labelled by direction.
  void WriteTraffic(TTrafficDirection direction, long threadId, std::string_view chunk);

  std::filesystem::path MainLogPath() const { return LogFolder / "Quibo.log"; }
  std::filesystem::path DebugLogPath() const { return LogFolder / "Debug.log"; }
  // "log/Quibo." + yymmdd of the given day + ".log".
  std::filesystem::path DatedLogName(TTimePoint day) const;

  // Rotation state, exposed for the start-up sequence and tests.
  void ResetDayMarkers();
  TTimePoint NextRotationDay() const;

private:
  // lastWritten receives the main log's modification time.
  bool IsRotationDue(TTimePoint now, TTimePoint& lastWritten);
  void RotateLogFile(TTimePoint now, TTimePoint lastWritten);
  void SweepOldLogs(TTimePoint now);
  std::string FormatLine(TTimePoint now, const std::string& text, const TLogConnection* connection) const;
  void SendToScreen(std::string line);

  std::filesystem::path LogFolder;
  const TClock& Clock;
  TVisibleCriticalSection& LogLock;
  TLogHooks Hooks;
  TLogSwitches Flags;
  mutable std::mutex WriterMutex; // guards the files and the day markers
  TTimePoint NextRotation;
  TTimePoint LastLogDay;
};

} // namespace quibo
