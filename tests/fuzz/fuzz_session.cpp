// Fuzz target: one whole SMTP session over the in-memory channel, with hooks
// that accept every sender and recipient. Checks that every reply is one
// line with a code, and that nothing a client sends leaves a bare CR, a NUL
// or an escape in a reply. Runs with libFuzzer; message files go to a
// folder of its own under the system's temporary folder.
#include "TMemoryChannel.h"
#include "USmtpSession.h"

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdlib.h>

using namespace quibo;

namespace {

class TAcceptingHooks final : public TSessionHooks {
public:
  std::shared_ptr<TThreadController> OnConnect(TSmtpSession&) override {
    return std::make_shared<TThreadController>(nullptr);
  }
  void BeforeCommand(TSmtpSession&, const std::string&) override {}
  TVerdict OnMail(TSmtpSession&, const std::string& address) override { return AddressOkay(address); }
  std::vector<TVerdict> OnRcpt(TSmtpSession&, const std::vector<std::string>& addresses) override {
    std::vector<TVerdict> verdicts;
    for (const auto& address : addresses)
      verdicts.push_back(AddressOkay(address));
    return verdicts;
  }
  bool NeedsMessageFile(TSmtpSession&) override { return false; }
  std::optional<TVerdict> CheckMessage(TSmtpSession&, const std::filesystem::path&, const TStoredMessage&) override {
    return std::nullopt;
  }
  TVerdict Server1ReceiveRaw(TSmtpSession&, const TStoredMessage& message, const std::vector<std::string>&) override {
    std::string stored(message.Size(), '\0');
    stored.resize(message.ReadAt(0, stored.data(), stored.size()));
    // The stored message ends with the only end of data in it.
    if (stored.size() < 3 || stored.compare(stored.size() - 3, 3, ".\r\n") != 0) std::abort();
    return {250, "Ok " + stored.substr(0, 40)}; // peer text in a verdict
  }
  std::vector<std::filesystem::path> LearningCopies(TSmtpSession&) override { return {}; }
  void OnTlsStarted(TSmtpSession&) override {}
  void OnDisconnect(TSmtpSession&) override {}
};

const std::filesystem::path& TempFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "quibo-fuzz-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  return folder;
}

void CheckReplies(const std::string& output) {
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find("\r\n", start);
    if (end == std::string::npos) std::abort(); // every reply ends with CR LF
    const std::string line = output.substr(start, end - start);
    if (line.size() < 4 || line.find_first_not_of("0123456789", 0) != 3 || (line[3] != ' ' && line[3] != '-'))
      std::abort();
    for (const char c : line)
      if (c == '\r' || c == '\n' || c == '\0' || c == '\x1b') std::abort();
    start = end + 2;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  test::TMemoryChannel channel(std::string(reinterpret_cast<const char*>(data), size));
  TAcceptingHooks hooks;
  TSessionSetup setup{"Welcome", "1.0.0.1", TempFolder(), false, 1 << 20};
  TSmtpSession session(channel, hooks, setup, 1, "127.0.0.1");
  session.Run();
  CheckReplies(channel.Output);
  return 0;
}
