#include "UThreadController.h"

#include "UFunctions.h"

#include <algorithm>

namespace quibo {
namespace {

constexpr size_t kMaxHistory = 1000;

} // namespace

bool IsLocalIp(const std::string& ip, const std::vector<std::string>& localIps) {
  return std::any_of(localIps.begin(), localIps.end(), [&ip](const std::string& entry) {
    return !entry.empty() && StartsWithNoCase(ip, entry); // an empty entry never matches
  });
}

void TThreadController::SetRecipientDomain(const std::string& address) {
  const auto at = address.find('@');
  RecipientDomain = at == std::string::npos ? address : address.substr(at + 1);
}

void TThreadController::NoteRecipient(const std::string& address) {
  if (RecipientDomain.empty()) SetRecipientDomain(address);
}

void TThreadController::SetForwardClient(std::shared_ptr<TForwardClientHandle> client) {
  std::lock_guard lock(ForwardClientLock);
  Forwarding = std::move(client);
}

std::shared_ptr<TForwardClientHandle> TThreadController::ForwardClient() const {
  std::lock_guard lock(ForwardClientLock);
  return Forwarding;
}

std::string TConnectionRegistry::LineText(const TPeerConnection& peer, const std::string& status) const {
  return "[" + std::to_string(peer.ThreadId()) + "] IP: " + peer.PeerIp() + " Command: " + status +
         " Time: " + FormatStamp(Clock.Now());
}

std::shared_ptr<TThreadController> TConnectionRegistry::RecordStatus(const std::shared_ptr<TPeerConnection>& peer,
                                                                     const std::string& status, bool remove) {
  try {
    std::lock_guard lock(ThreadListLock);
    auto line = std::find_if(Lines.begin(), Lines.end(),
                             [&peer](const TLine& l) { return l.Record && l.Record->PeerThread == peer; });
    if (remove) {
      if (line != Lines.end()) Lines.erase(line);
      return nullptr;
    }
    std::string text = LineText(*peer, status);
    if (line == Lines.end()) {
      Lines.push_back({text, std::make_shared<TThreadController>(peer)});
      line = Lines.end() - 1;
      line->Record->ChangeSummary([this](TConnectionSummary& summary) { summary.Since = Clock.Now(); });
    } else {
      line->Text = text;
    }
    TThreadController& record = *line->Record;
    record.LastActivity = Clock.Now();
    if (record.History.size() >= kMaxHistory) record.History.erase(record.History.begin());
    record.History.push_back(std::move(text));
    return line->Record;
  } catch (...) {
    return nullptr;
  }
}

int TConnectionRegistry::FindControllerIndex(const TPeerConnection* peer) const {
  std::lock_guard lock(ThreadListLock);
  for (size_t i = 0; i < Lines.size(); ++i)
    if (Lines[i].Record && Lines[i].Record->PeerThread.get() == peer) return static_cast<int>(i);
  return -1;
}

std::shared_ptr<TThreadController> TConnectionRegistry::FindController(const TPeerConnection* peer) const {
  std::lock_guard lock(ThreadListLock);
  for (const auto& line : Lines)
    if (line.Record && line.Record->PeerThread.get() == peer) return line.Record;
  return nullptr;
}

size_t TConnectionRegistry::Count() const {
  std::lock_guard lock(ThreadListLock);
  return Lines.size();
}

size_t TConnectionRegistry::InEndOfDataCount() const {
  std::lock_guard lock(ThreadListLock);
  return static_cast<size_t>(std::count_if(
      Lines.begin(), Lines.end(), [](const TLine& line) { return line.Record && line.Record->InEndOfData.load(); }));
}

std::vector<std::string> TConnectionRegistry::LineTexts() const {
  std::lock_guard lock(ThreadListLock);
  std::vector<std::string> texts;
  for (const auto& line : Lines)
    texts.push_back(line.Text);
  return texts;
}

std::vector<TConnectionRegistry::TRow> TConnectionRegistry::Rows() const {
  std::lock_guard lock(ThreadListLock);
  std::vector<TRow> rows;
  for (const auto& line : Lines)
    if (line.Record && line.Record->PeerThread)
      rows.push_back(
          {line.Record->PeerThread->ThreadId(), line.Record->PeerThread->PeerIp(), line.Record->SummaryCopy()});
  return rows;
}

std::vector<std::shared_ptr<TThreadController>> TConnectionRegistry::TakeAll() {
  std::lock_guard lock(ThreadListLock);
  std::vector<std::shared_ptr<TThreadController>> records;
  for (auto line = Lines.rbegin(); line != Lines.rend(); ++line)
    records.push_back(line->Record);
  Lines.clear();
  return records;
}

void TConnectionRegistry::Clear() {
  std::lock_guard lock(ThreadListLock);
  Lines.clear();
}

std::string TConnectionRegistry::ThreadDetails(int index) const {
  std::lock_guard lock(ThreadListLock);
  if (index < 0 || static_cast<size_t>(index) >= Lines.size()) return {};
  const auto& record = Lines[static_cast<size_t>(index)].Record;
  const bool running = record && record->PeerThread && record->PeerThread->Running();
  std::string text = std::string("ThreadStatus: ") + (running ? "Running" : "Stopped") + "\n";
  if (record)
    for (const auto& entry : record->History)
      text += "\"" + entry + "\"\n";
  return text;
}

std::string TConnectionRegistry::ActiveConnectionsText() const {
  std::lock_guard lock(ThreadListLock);
  const auto clients = std::count_if(Lines.begin(), Lines.end(), [](const TLine& line) {
    return line.Record && line.Record->ForwardClient() != nullptr;
  });
  return std::to_string(Lines.size()) + " active server connections.\n" + std::to_string(clients) +
         " active client connections.";
}

} // namespace quibo
