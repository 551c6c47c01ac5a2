#include "UConsoleLogs.h"

#include "UFunctions.h"

#include <algorithm>
#include <fstream>
#include <map>

namespace quibo {
namespace fs = std::filesystem;
namespace {

constexpr std::streamoff kTailBytes = 4 * 1024 * 1024;
constexpr uintmax_t kTrackingBytes = 256ull * 1024 * 1024; // read at most this much of the logs per search
constexpr size_t kLinesPerTransaction = 200;
constexpr size_t kTransactionsKept = 20000; // the oldest are forgotten past this while reading
constexpr size_t kStampLength = 19;         // "yyyy-mm-dd hh:nn:ss"
constexpr size_t kIdLength = 12;

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.pop_back();
  return line;
}

// Where a connection line's text begins: after "<stamp> : [<thread>] <peer> "; npos when it is no connection line.
size_t ConnectionTextStart(const std::string& line) {
  if (line.size() < kStampLength + 4 || line.compare(kStampLength, 4, " : [") != 0) return std::string::npos;
  const size_t thread = line.find("] ", kStampLength + 4);
  if (thread == std::string::npos) return std::string::npos;
  const size_t peerEnd = line.find(' ', thread + 2);
  return peerEnd == std::string::npos ? std::string::npos : peerEnd + 1;
}

// "from <sender> sent to <a,b>" anywhere in the text.
void ReadEnvelope(const std::string& text, TTrackedTransaction& transaction) {
  const size_t from = text.rfind(" from <");
  if (from == std::string::npos) return;
  const size_t senderEnd = text.find("> sent to <", from);
  if (senderEnd == std::string::npos || text.back() != '>') return;
  transaction.Sender = text.substr(from + 7, senderEnd - from - 7);
  const size_t first = senderEnd + 11;
  const std::string list = text.substr(first, text.size() - 1 - first);
  transaction.Recipients.clear();
  for (size_t start = 0; start <= list.size();) {
    const size_t comma = std::min(list.find(',', start), list.size());
    if (comma > start) transaction.Recipients.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
}

bool Contains(const std::string& text, const std::string& part) {
  return Lowered(text).find(Lowered(part)) != std::string::npos;
}

bool Matches(const TTrackedTransaction& transaction, const TTrackingQuery& query, const std::string& since) {
  if (!since.empty() && transaction.Began.compare(0, since.size(), since) < 0) return false;
  if (!query.Sender.empty() && !Contains(transaction.Sender, query.Sender)) return false;
  if (query.Recipient.empty()) return true;
  return std::any_of(transaction.Recipients.begin(), transaction.Recipients.end(),
                     [&query](const std::string& recipient) { return Contains(recipient, query.Recipient); });
}

// The query's time as a stamp prefix: "2026-12-09T10:00" becomes "2026-12-09 10:00".
std::string SinceStamp(std::string since) {
  since = Trimmed(since).substr(0, kStampLength);
  std::replace(since.begin(), since.end(), 'T', ' ');
  return since;
}

} // namespace

std::vector<std::string> TailLines(const fs::path& file, size_t count) {
  std::ifstream in(file, std::ios::binary);
  if (!in || count == 0) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff start = std::max<std::streamoff>(0, size - kTailBytes);
  in.seekg(start);
  std::string text(static_cast<size_t>(size - start), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  std::vector<std::string> lines;
  size_t end = text.size();
  while (end > 0 && lines.size() < count) {
    const size_t lineEnd = text.find_last_not_of("\r\n", end - 1);
    if (lineEnd == std::string::npos) break;
    const size_t begin = text.rfind('\n', lineEnd);
    const size_t first = begin == std::string::npos ? 0 : begin + 1;
    if (first == 0 && start > 0) break; // a line cut by the read window is left out
    lines.push_back(text.substr(first, lineEnd + 1 - first));
    end = first;
  }
  std::reverse(lines.begin(), lines.end());
  return lines;
}

std::string TransactionIdOf(const std::string& line) {
  const size_t text = ConnectionTextStart(line);
  if (text == std::string::npos || line.size() < text + kIdLength + 2) return {};
  if (line.compare(text + kIdLength, 2, ": ") != 0) return {};
  const std::string id = line.substr(text, kIdLength);
  const bool hex =
      std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
  return hex ? id : std::string();
}

std::vector<TTrackedTransaction> FindTransactions(const std::vector<fs::path>& files, const TTrackingQuery& query,
                                                  size_t most) {
  std::map<std::string, TTrackedTransaction> byId;
  std::map<uint64_t, std::string> order; // first appearance -> id
  uint64_t seen = 0;
  uintmax_t budget = kTrackingBytes;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    for (std::string line; budget > 0 && std::getline(in, line);) {
      budget -= std::min<uintmax_t>(budget, line.size() + 1);
      line = WithoutLineEnd(std::move(line));
      const std::string id = TransactionIdOf(line);
      if (id.empty()) continue;
      auto [entry, added] = byId.try_emplace(id);
      TTrackedTransaction& transaction = entry->second;
      if (added) {
        transaction.Id = id;
        transaction.Began = line.substr(0, kStampLength);
        order[seen++] = id;
        if (byId.size() > kTransactionsKept) {
          const auto oldest = order.begin();
          byId.erase(oldest->second);
          order.erase(oldest);
        }
      }
      ReadEnvelope(line, transaction);
      if (transaction.Lines.size() < kLinesPerTransaction) transaction.Lines.push_back(line);
    }
  }
  const std::string since = SinceStamp(query.Since);
  std::vector<TTrackedTransaction> found;
  for (auto position = order.rbegin(); position != order.rend() && found.size() < most; ++position) {
    const TTrackedTransaction& transaction = byId[position->second];
    if (Matches(transaction, query, since)) found.push_back(transaction);
  }
  return found;
}

std::vector<fs::path> TrackingFiles(const fs::path& logFolder, const std::string& since) {
  // Rotated logs are "Quibo.yymmdd.log", named after the last day they hold.
  const std::string sinceDay = since.size() >= 10 ? since.substr(2, 2) + since.substr(5, 2) + since.substr(8, 2) : "";
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(logFolder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 16 || name.rfind("Quibo.", 0) != 0 || name.compare(12, 4, ".log") != 0) continue;
    if (name.substr(6, 6) >= sinceDay) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  files.push_back(logFolder / "Quibo.log");
  return files;
}

} // namespace quibo
