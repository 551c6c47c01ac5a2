// What the console reads of the log files: the tail of the main log, and the
// tracking search, which groups the lines of each transaction by the id the
// logger writes after the peer ("<stamp> : [<thread>] <peer> <ID>: <text>")
// and matches the sender and recipients of its "from <...> sent to <...>"
// line. Reads the files on the caller's thread (a console request), with
// bounds on what is read and kept; a missing or unreadable file reads as empty.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quibo {

// The last lines of a file (without their line ends), at most count, read from at most the file's last 4 MB.
std::vector<std::string> TailLines(const std::filesystem::path& file, size_t count);

struct TTrackingQuery {
  std::string Sender;    // part of the sender address, any case; empty: any
  std::string Recipient; // part of a recipient address, any case; empty: any
  std::string Since;     // "yyyy-mm-dd[ hh:mm[:ss]]" (or with a "T"): transactions that began then or later
};

struct TTrackedTransaction {
  std::string Id;
  std::string Began; // the stamp of its first line
  std::string Sender;
  std::vector<std::string> Recipients;
  std::vector<std::string> Lines;
};

// The transaction id of a log line; empty when the line has none.
std::string TransactionIdOf(const std::string& line);
// The matching transactions of the files (oldest file first), newest first, at most most.
std::vector<TTrackedTransaction> FindTransactions(const std::vector<std::filesystem::path>& files,
                                                  const TTrackingQuery& query, size_t most = 100);
// The main log and the rotated logs that may hold lines since the query's day (all kept ones without one), oldest
// first.
std::vector<std::filesystem::path> TrackingFiles(const std::filesystem::path& logFolder, const std::string& since);

} // namespace quibo
