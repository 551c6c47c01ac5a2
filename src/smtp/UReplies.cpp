#include "UReplies.h"

#include "UFunctions.h"

namespace quibo {
namespace {

void AppendLine(std::string& bytes, int code, char separator, const std::string& text) {
  bytes += std::to_string(code);
  bytes += separator;
  bytes += PrintableText(text); // replies echo what peers sent: nothing may end the line early
  bytes += "\r\n";
}

} // namespace

std::string OneLine(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 1))
    text.replace(at, 2, " ");
  return text;
}

std::string FormatText(std::string_view text, std::initializer_list<std::string_view> arguments) {
  std::string formatted;
  formatted.reserve(text.size());
  auto next = arguments.begin();
  for (size_t at = 0; at < text.size();) {
    const size_t mark = text.find("%s", at);
    formatted.append(text.substr(at, mark == std::string_view::npos ? std::string_view::npos : mark - at));
    if (mark == std::string_view::npos) break;
    if (next != arguments.end()) formatted.append(*next++);
    at = mark + 2;
  }
  return formatted;
}

TVerdict Reply(const TReplyText& entry, std::initializer_list<std::string_view> arguments) {
  return Reply(entry.Code, entry, arguments);
}

TVerdict Reply(int code, const TReplyText& entry, std::initializer_list<std::string_view> arguments) {
  return TVerdict{code, FormatText(entry.Text, arguments), entry.Close};
}

TVerdict EhloReply(const std::vector<std::string>& extensions) {
  TVerdict reply{250, std::string(Replies::EhloLastLine)};
  reply.LeadingLines.emplace_back(Replies::EhloFirstLine);
  reply.LeadingLines.insert(reply.LeadingLines.end(), extensions.begin(), extensions.end());
  return reply;
}

std::string ReplyBytes(const TVerdict& verdict) {
  std::string bytes;
  if (verdict.Code <= 0) return bytes;
  for (const auto& line : verdict.LeadingLines)
    AppendLine(bytes, verdict.Code, '-', line);
  AppendLine(bytes, verdict.Code, ' ', verdict.Text);
  return bytes;
}

} // namespace quibo
