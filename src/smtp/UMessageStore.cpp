#include "UMessageStore.h"

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

TMessageStore::~TMessageStore() {
  if (Descriptor >= 0) ::close(Descriptor);
}

bool TMessageStore::CreateFile() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string name = (Folder / "QuiboXXXXXX").string();
    Descriptor = ::mkostemp(name.data(), O_CLOEXEC);
    if (Descriptor >= 0) {
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
  if (Descriptor < 0) {
    if (Written <= SpillBytes) return; // small: memory is enough
    if (!CreateFile()) return;
  }
  if (Buffer.size() >= kWriteBlock) Flush();
}

void TMessageStore::Flush() {
  size_t done = 0;
  while (!Failed() && done < Buffer.size()) {
    const ssize_t wrote = ::write(Descriptor, Buffer.data() + done, Buffer.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0)
      FailureCode = wrote < 0 ? errno : ENOSPC;
    else
      done += static_cast<size_t>(wrote);
  }
  Buffer.clear();
}

bool TMessageStore::Finish() {
  if (Descriptor >= 0) Flush();
  return !Failed();
}

const TStoredMessage& TMessageStore::Message() {
  if (!Stored) {
    if (Descriptor >= 0)
      Stored = std::make_unique<TFileMessage>(Descriptor, Written);
    else
      Stored = std::make_unique<TTextMessage>(std::move(Buffer));
  }
  return *Stored;
}

void TMessageStore::Discard(bool keepFile) {
  if (Descriptor < 0 || keepFile) return;
  std::error_code error;
  fs::remove(File, error);
}

} // namespace quibo
