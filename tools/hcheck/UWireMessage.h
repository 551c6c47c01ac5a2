// The stored message file (the DATA lines as received, dot-stuffed, ending in
// a "." line) turned into the message the next hop will see, for the
// classifier: in memory for scoring, as un-stuffed copies of a training
// folder for learning. Used by HCheck on its only thread. Failures throw
// std::runtime_error with a readable text.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quibo::hcheck {

// The un-stuffed message of a file of at most maxBytes.
std::string ReadStoredMessage(const std::filesystem::path& file, size_t maxBytes);

// Un-stuffed copies of the regular files directly inside a folder, in a fresh
// temporary folder that goes away with this object. Files above the size
// limit are left out and counted.
class TLearningCopies {
public:
  TLearningCopies(const std::filesystem::path& folder, size_t maxBytesPerFile);
  TLearningCopies(const TLearningCopies&) = delete;
  TLearningCopies& operator=(const TLearningCopies&) = delete;
  ~TLearningCopies();
  const std::filesystem::path& Folder() const { return Copies; }
  size_t Count() const { return Files; }
  size_t SkippedCount() const { return Skipped; }

private:
  std::filesystem::path Copies;
  size_t Files = 0, Skipped = 0;
};

} // namespace quibo::hcheck
