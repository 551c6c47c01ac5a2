#include "UWireMessage.h"

#include "UDotStuffing.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <stdlib.h>
#include <unistd.h>

namespace quibo::hcheck {
namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

std::string ReadStoredMessage(const std::filesystem::path& file, size_t maxBytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw SystemError("cannot read " + file.string());
  std::string wire;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    wire.append(chunk, static_cast<size_t>(in.gcount()));
    if (wire.size() > maxBytes)
      throw std::runtime_error(file.string() + " is larger than " + std::to_string(maxBytes) + " bytes");
  }
  return UnstuffedMessage(wire);
}

TLearningCopies::TLearningCopies(const std::filesystem::path& folder, size_t maxBytesPerFile) {
  std::string pattern = (std::filesystem::temp_directory_path() / "HCheck-learn-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw SystemError("cannot make a temporary folder");
  Copies = pattern;
  try {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) throw std::runtime_error("cannot list " + folder.string() + ": " + error.message());
    for (const auto& entry : entries) {
      if (!entry.is_regular_file()) continue;
      if (entry.file_size() > maxBytesPerFile) {
        ++Skipped;
        continue;
      }
      const std::string message = ReadStoredMessage(entry.path(), maxBytesPerFile);
      std::ofstream copy(Copies / std::to_string(++Files), std::ios::binary);
      if (!copy.write(message.data(), static_cast<std::streamsize>(message.size())))
        throw std::runtime_error("cannot write a copy of " + entry.path().string());
    }
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(Copies, ignored);
    throw;
  }
}

TLearningCopies::~TLearningCopies() {
  std::error_code ignored;
  std::filesystem::remove_all(Copies, ignored);
}

} // namespace quibo::hcheck
