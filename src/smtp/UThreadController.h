// The connection registry: the monitor list with one line and one
// TThreadController record per live SMTP connection, and the operator's
// "Threads" page operations on it. Every change of the list runs under the
// one thread-list lock; records are shared so a session never loses its
// record under its feet. Any thread; errors are swallowed as the callers
// expect.
#pragma once

#include "UCancellation.h"
#include "UClock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quibo {

// A live incoming connection, as the registry and the operator see it.
class TPeerConnection {
public:
  virtual ~TPeerConnection() = default;
  virtual long ThreadId() const = 0;
  virtual const std::string& PeerIp() const = 0;
  virtual void Disconnect() = 0; // wakes the connection's thread; it ends its session
  virtual bool Running() const = 0;
  // Waits until the connection's thread has left the session; false on time-out.
  virtual bool WaitEnded(int milliseconds) = 0;
};

// An outgoing relay connection that can be cut from another thread.
class TForwardClientHandle {
public:
  virtual ~TForwardClientHandle() = default;
  virtual void Disconnect() = 0;
};

// What the web console's monitor shows of a connection beyond its line: the
// connection thread writes it, any thread reads a copy.
struct TConnectionSummary {
  std::string State; // the last command's word
  std::string Helo;
  std::string Sender;
  std::vector<std::string> Recipients; // accepted in the current transaction
  uint64_t Bytes = 0;                  // of the last message's data
  TTimePoint Since{};                  // when the connection was registered
};

struct TRspamdAdvice;

// Whether an address begins with one of the [LocalIP] prefixes.
bool IsLocalIp(const std::string& ip, const std::vector<std::string>& localIps);

class TThreadController {
public:
  explicit TThreadController(std::shared_ptr<TPeerConnection> peer) : PeerThread(std::move(peer)) {}

  std::string SenderAddress;
  std::string RecipientDomain;
  bool Whitelisted = false;
  bool Blacklisted = false;
  TTimePoint LastActivity{};
  bool SenderIsLocal = false;
  std::shared_ptr<TPeerConnection> PeerThread;
  std::vector<std::string> History;
  std::string SpamScore = "0";
  std::string CheckReason;                               // why the host is blacklisted, from the sender check at MAIL
  std::string ClassifierTests;                           // the classifier's tests of the message, or why it did not run
  std::shared_ptr<const TRspamdAdvice> ClassifierAdvice; // rspamd's action and header changes for the message
  // Set by the connection thread from the end of a message's data until its
  // reply is written; a graceful stop waits for these.
  std::atomic<bool> InEndOfData{false};
  // Ends the connection's scanner, classifier or relay on a forced disconnect.
  TCancellation Cancellation;

  void SetRecipientDomain(const std::string& address);
  // The first recipient of the connection names RecipientDomain; later ones leave it.
  void NoteRecipient(const std::string& address);

  // The window thread reads it while the connection thread sets and clears it.
  void SetForwardClient(std::shared_ptr<TForwardClientHandle> client);
  std::shared_ptr<TForwardClientHandle> ForwardClient() const;

  // The connection thread changes the summary through change; readers take a copy.
  template <class TChange> void ChangeSummary(TChange&& change) {
    std::lock_guard lock(SummaryLock);
    change(Summary);
  }
  TConnectionSummary SummaryCopy() const {
    std::lock_guard lock(SummaryLock);
    return Summary;
  }

private:
  mutable std::mutex SummaryLock;
  TConnectionSummary Summary;
  mutable std::mutex ForwardClientLock;
  std::shared_ptr<TForwardClientHandle> Forwarding;
};

class TConnectionRegistry {
public:
  explicit TConnectionRegistry(const TClock& clock) : Clock(clock) {}

  // Adds or updates the connection's line (or removes it with remove set);
  // returns the connection's record (null after a removal or a failure).
  std::shared_ptr<TThreadController> RecordStatus(const std::shared_ptr<TPeerConnection>& peer,
                                                  const std::string& status, bool remove);
  int FindControllerIndex(const TPeerConnection* peer) const;
  std::shared_ptr<TThreadController> FindController(const TPeerConnection* peer) const;

  size_t Count() const;
  // Connections between the end of a message's data and its reply.
  size_t InEndOfDataCount() const;
  std::vector<std::string> LineTexts() const;
  // The web console's monitor rows, in the order of the lines.
  struct TRow {
    long Id = 0; // the connection's thread id
    std::string PeerIp;
    TConnectionSummary Summary;
  };
  std::vector<TRow> Rows() const;
  // Removes every line and returns the records, last line first (forced disconnect).
  std::vector<std::shared_ptr<TThreadController>> TakeAll();
  void Clear();

  // "Threads" page operations; debugLog receives the debug-log texts.
  template <class TDebugLog> void Terminate(int index, TDebugLog&& debugLog);
  // The same for the line of a thread id; false when no line has it.
  template <class TDebugLog> bool TerminateThread(long threadId, TDebugLog&& debugLog);
  std::string ThreadDetails(int index) const;
  std::string ActiveConnectionsText() const;

private:
  struct TLine {
    std::string Text;
    std::shared_ptr<TThreadController> Record;
  };
  std::string LineText(const TPeerConnection& peer, const std::string& status) const;
  template <class TDebugLog> void TerminateLocked(int index, TDebugLog&& debugLog);

  const TClock& Clock;
  mutable std::mutex ThreadListLock;
  std::vector<TLine> Lines;
};

template <class TDebugLog> void TConnectionRegistry::Terminate(int index, TDebugLog&& debugLog) {
  std::lock_guard lock(ThreadListLock);
  TerminateLocked(index, debugLog);
}

template <class TDebugLog> bool TConnectionRegistry::TerminateThread(long threadId, TDebugLog&& debugLog) {
  std::lock_guard lock(ThreadListLock);
  for (size_t index = 0; index < Lines.size(); ++index)
    if (Lines[index].Record && Lines[index].Record->PeerThread &&
        Lines[index].Record->PeerThread->ThreadId() == threadId) {
      TerminateLocked(static_cast<int>(index), debugLog);
      return true;
    }
  return false;
}

template <class TDebugLog> void TConnectionRegistry::TerminateLocked(int index, TDebugLog&& debugLog) {
  debugLog("itemindex: " + std::to_string(index));
  if (index < 0 || static_cast<size_t>(index) >= Lines.size()) return;
  debugLog(std::string("Determining Objectpointer"));
  auto& record = Lines[static_cast<size_t>(index)].Record;
  if (record && record->PeerThread) {
    record->PeerThread->Disconnect();
    debugLog(std::string("Disconnecting.."));
    return;
  }
  Lines.erase(Lines.begin() + index);
  debugLog("Deleting: " + std::to_string(index));
}

} // namespace quibo
