// TMessageStore: where the DATA of one incoming message goes while it
// arrives. It stays in memory while it is small and nothing needs a file;
// it is written to a new file in temp/ (name "Quibo" + six characters, the
// same bytes) when a file is asked for at the start, or once it grows past
// the spill size. Used by the session on its connection thread. Failures to
// create or write the file are remembered (Failed, Error) for the session to
// answer; the store never throws.
#pragma once

#include "UDescriptor.h"
#include "UStoredMessage.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace quibo {

class TMessageStore {
public:
  // With fileNow the file is made by Open; else only past spillBytes.
  TMessageStore(std::filesystem::path folder, bool fileNow, uint64_t spillBytes);
  TMessageStore(const TMessageStore&) = delete;
  TMessageStore& operator=(const TMessageStore&) = delete;

  // False, with Error set, when the file asked for cannot be made.
  bool Open();
  void Put(const std::string& bytes);
  // Writes what is buffered; false when anything could not be stored.
  bool Finish();
  bool Failed() const { return Error() != 0; }
  int Error() const { return FailureCode; }
  uint64_t Size() const { return Written; }

  bool HasFile() const { return Descriptor.Valid(); }
  const std::filesystem::path& Path() const { return File; } // empty without a file
  // The stored message, after Finish.
  const TStoredMessage& Message();
  // Removes the file (if any) unless it is to be kept.
  void Discard(bool keepFile);

private:
  bool CreateFile();
  void Flush();

  std::filesystem::path Folder;
  bool FileNow;
  uint64_t SpillBytes;
  TDescriptor Descriptor;
  std::filesystem::path File;
  std::string Buffer; // all of the message while in memory, else what waits for the next write
  uint64_t Written = 0;
  int FailureCode = 0;
  std::unique_ptr<TStoredMessage> Stored;
};

} // namespace quibo
