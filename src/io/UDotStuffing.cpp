#include "UDotStuffing.h"

namespace quibo {
namespace {

bool IsFinalDotLine(std::string_view line) { return line == "." || line == ".\r"; }

} // namespace

std::string UnstuffedMessage(std::string_view wire) {
  std::string message;
  message.reserve(wire.size());
  size_t start = 0;
  while (start < wire.size()) {
    const size_t newline = wire.find('\n', start);
    const size_t end = newline == std::string_view::npos ? wire.size() : newline + 1;
    std::string_view line = wire.substr(start, end - start);
    const std::string_view content = line.substr(0, line.find('\n'));
    if (end == wire.size() && IsFinalDotLine(content)) break;
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    message.append(line);
    start = end;
  }
  return message;
}

} // namespace quibo
