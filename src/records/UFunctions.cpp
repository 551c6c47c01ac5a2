#include "UFunctions.h"

#include <algorithm>
#include <cctype>
#include <charconv>

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

bool ParseDecimal(std::string_view text, double& value) {
  const std::string trimmed = Trimmed(text);
  const char* begin = trimmed.data();
  const char* const end = begin + trimmed.size();
  if (begin != end && *begin == '+') { // from_chars takes only "-"
    ++begin;
    if (begin != end && *begin == '-') return false;
  }
  if (begin == end) return false;
  const auto [stop, error] = std::from_chars(begin, end, value);
  return error == std::errc{} && stop == end;
}

std::string PrintableText(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string printable;
  printable.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n') {
      printable += ' ';
    } else if (byte < 0x20 || byte == 0x7f) {
      printable += "\\x";
      printable += kHex[byte >> 4];
      printable += kHex[byte & 0xf];
    } else {
      printable += c;
    }
  }
  return printable;
}

std::string Bounded(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end; // text[end] continues a sequence that starts before it
  return std::string(text.substr(0, end));
}

} // namespace quibo
