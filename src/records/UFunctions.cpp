#include "UFunctions.h"

#include <algorithm>
#include <cctype>

namespace quibo {

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

std::string Lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Uppered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string JoinText(const std::vector<std::string>& items, std::string_view separator) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i)
    (i ? text.append(separator) : text).append(items[i]);
  return text;
}

std::string ReplaceNoCase(const std::string& text, const std::string& what, const std::string& by) {
  if (what.empty()) return text;
  const std::string lowText = Lowered(text), lowWhat = Lowered(what);
  std::string result;
  size_t from = 0;
  for (size_t at = lowText.find(lowWhat); at != std::string::npos; at = lowText.find(lowWhat, from)) {
    result.append(text, from, at - from).append(by);
    from = at + what.size();
  }
  return result.append(text, from);
}

std::string PrintableText(std::string_view text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n') {
      out += ' ';
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  return out;
}

} // namespace quibo
