#include "UClamdScanner.h"

#include "UDescriptor.h"
#include "UFunctions.h"

#include <fcntl.h>

namespace quibo {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// clamd's answer as a verdict: "stream: <name> FOUND", "stream: OK"
// ("fd[N]: ..." for a file), anything else is no verdict.
void ReadVerdict(const std::string& answer, uint64_t size, TScanResult& result) {
  result.Output = PrintableText(answer);
  if (EndsWith(answer, " FOUND")) {
    result.Found = true;
  } else if (answer.find("size limit exceeded") != std::string::npos) {
    result.Failure = "the message (" + std::to_string(size) + " bytes) is over clamd's StreamMaxLength";
  } else if (!EndsWith(answer, ": OK")) {
    result.Failure = "clamd answered " + result.Output;
  }
}

// The message file opened for clamd, or nothing (stream the message instead).
TDescriptor OpenForClamd(const std::filesystem::path& file) {
  return TDescriptor(file.empty() ? -1 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC));
}

} // namespace

std::unique_ptr<TClamdConnection> TClamdPool::Take(const std::string& address) {
  std::vector<std::unique_ptr<TClamdConnection>> closing; // closed after the lock
  std::lock_guard lock(Lock);
  const auto now = std::chrono::steady_clock::now();
  for (auto& [where, idle] : Idle) // sessions of an address no longer asked are closed too
    std::erase_if(idle, [&](TIdle& entry) {
      if (now - entry.Since < kIdleLimit) return false;
      closing.push_back(std::move(entry.Connection));
      return true;
    });
  auto& idle = Idle[address];
  while (!idle.empty()) {
    TIdle entry = std::move(idle.back()); // the most recent: the least likely to be timed out
    idle.pop_back();
    if (entry.Connection->Quiet()) return std::move(entry.Connection);
    closing.push_back(std::move(entry.Connection));
  }
  return nullptr;
}

void TClamdPool::Give(const std::string& address, std::unique_ptr<TClamdConnection> connection) {
  std::lock_guard lock(Lock);
  auto& idle = Idle[address];
  if (idle.size() < kIdlePerAddress) idle.push_back({std::move(connection), std::chrono::steady_clock::now()});
}

uint64_t TClamdPool::StreamedUpTo(const std::string& address) {
  std::lock_guard lock(Lock);
  const auto found = StreamLimit.find(address);
  return found == StreamLimit.end() ? 0 : found->second;
}

void TClamdPool::Streamed(const std::string& address, uint64_t size) {
  std::lock_guard lock(Lock);
  auto& largest = StreamLimit[address];
  largest = std::max(largest, size);
}

void TClamdPool::Forget(const std::string& address) {
  std::lock_guard lock(Lock);
  StreamLimit.erase(address);
  Idle.erase(address);
}

TScanResult ScanWithClamd(TClamdPool& pool, const std::string& clamdSocket, const std::filesystem::path& programFolder,
                          const TStoredMessage& message, const std::filesystem::path& file, int timeoutMs,
                          TCancellation* cancel) {
  TScanResult result;
  result.ByClamd = true;
  TClamdAddress address;
  if (!ParseClamdAddress(clamdSocket, programFolder, address, result.Failure)) return result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(1, timeoutMs));
  const uint64_t size = message.Size();
  const TDescriptor handedOver =
      OpenForClamd(address.Local() && size <= pool.StreamedUpTo(clamdSocket) ? file : std::filesystem::path());
  try {
    while (true) {
      auto connection = pool.Take(clamdSocket);
      const bool kept = connection != nullptr;
      if (!kept) {
        try {
          connection = TClamdConnection::Open(address, deadline);
        } catch (const std::exception&) {
          pool.Forget(clamdSocket);
          throw;
        }
      }
      connection->SetDeadline(deadline);
      std::string answer;
      {
        const TCancellationScope scope(cancel, [&connection = *connection] { connection.Cut(); });
        if (!scope.MayWait()) throw std::runtime_error("cancelled");
        try {
          answer = handedOver.Valid() ? connection->ScanDescriptor(handedOver.Get()) : connection->ScanStream(message);
        } catch (const TClamdClosed&) {
          if (kept) continue; // clamd dropped the kept session meanwhile: a new one takes the message
          throw;
        }
      }
      ReadVerdict(answer, size, result);
      if (!result.Failure.empty()) return result; // clamd closes a session after an error
      if (!handedOver.Valid()) pool.Streamed(clamdSocket, size);
      pool.Give(clamdSocket, std::move(connection));
      return result;
    }
  } catch (const std::exception& error) {
    result.Failure = error.what();
  }
  return result;
}

} // namespace quibo
