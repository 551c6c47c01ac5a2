#include "UMessageStore.h"

#include "UWriteAll.h"

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace quibo {
namespace fs = std::filesystem;
namespace {
constexpr size_t kWriteBlock = 65536;
} // namespace

TMessageStore::TMessageStore(fs::path folder, bool fileNow, uint64_t spillBytes)
    : Folder(std::move(folder)), FileNow(fileNow), SpillBytes(spillBytes) {}

bool TMessageStore::CreateFile() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string name = (Folder / "QuiboXXXXXX").string();
    Descriptor.Reset(::mkostemp(name.data(), O_CLOEXEC));
    if (Descriptor.Valid()) {
      File = name;
      FailureCode = 0;
      return true;
    }
    FailureCode = errno;
    if (FailureCode != ENOENT) break;
    std::error_code error;
    fs::create_directories(Folder, error); // first message, or the folder was removed
  }
  return false;
}

bool TMessageStore::Open() { return !FileNow || CreateFile(); }

void TMessageStore::Put(const std::string& bytes) {
  if (Failed()) return; // the rest is dropped; the session answers the failure
  Written += bytes.size();
  Buffer += bytes;
  if (!Descriptor.Valid()) {
    if (Written <= SpillBytes) return; // small: memory is enough
    if (!CreateFile()) return;
  }
  if (Buffer.size() >= kWriteBlock) Flush();
}

void TMessageStore::Flush() {
  if (!Failed()) FailureCode = WriteAll(Descriptor.Get(), Buffer);
  Buffer.clear();
}

bool TMessageStore::Finish() {
  if (Descriptor.Valid()) Flush();
  return !Failed();
}

const TStoredMessage& TMessageStore::Message() {
  if (!Stored) {
    if (Descriptor.Valid())
      Stored = std::make_unique<TFileMessage>(Descriptor.Get(), Written);
    else
      Stored = std::make_unique<TTextMessage>(std::move(Buffer));
  }
  return *Stored;
}

void TMessageStore::Discard(bool keepFile) {
  if (!Descriptor.Valid() || keepFile) return;
  std::error_code error;
  fs::remove(File, error);
}

} // namespace quibo
