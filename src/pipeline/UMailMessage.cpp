#include "UMailMessage.h"

#include "UBase64.h"
#include "UFunctions.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace quibo {
namespace {

constexpr size_t kFoldWidth = 78;

bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

std::string WithoutLineBreaks(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string DecodeQ(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += ' ';
    } else if (text[i] == '=' && i + 2 < text.size() + 0 && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Converts to UTF-8; text in an unknown charset is kept as it is.
std::string ToUtf8(const std::string& charset, const std::string& bytes) {
  std::string name = charset.substr(0, charset.find('*')); // RFC 2231 language suffix
  if (SameText(name, "utf-8") || SameText(name, "us-ascii")) return bytes;
  iconv_t converter = ::iconv_open("UTF-8", name.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size(), outLeft = out.size();
  char* outPointer = out.data();
  const size_t converted = ::iconv(converter, &in, &inLeft, &outPointer, &outLeft);
  ::iconv_close(converter);
  if (converted == static_cast<size_t>(-1)) return bytes;
  out.resize(out.size() - outLeft);
  return out;
}

// Decodes "=?charset?enc?text?=" starting at position at; false when it is none.
bool DecodeWord(const std::string& text, size_t at, size_t& end, std::string& decoded) {
  if (text.compare(at, 2, "=?") != 0) return false;
  const size_t charsetEnd = text.find('?', at + 2);
  if (charsetEnd == std::string::npos || charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?') return false;
  const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(text[charsetEnd + 1])));
  const size_t payloadStart = charsetEnd + 3;
  const size_t close = text.find("?=", payloadStart);
  if (close == std::string::npos || (encoding != 'B' && encoding != 'Q')) return false;
  const std::string payload = text.substr(payloadStart, close - payloadStart);
  if (payload.find_first_of(" \t") != std::string::npos) return false;
  std::string bytes;
  if (encoding == 'Q') {
    bytes = DecodeQ(payload);
  } else {
    std::string padded = payload;
    while (padded.size() % 4)
      padded += '=';
    const auto value = Base64Decode(padded);
    if (!value) return false;
    bytes = *value;
  }
  decoded = ToUtf8(text.substr(at + 2, charsetEnd - at - 2), bytes);
  end = close + 2;
  return true;
}

} // namespace

std::string DecodeEncodedWords(const std::string& text) {
  std::string out;
  size_t i = 0;
  bool lastWasEncoded = false;
  while (i < text.size()) {
    size_t end = 0;
    std::string decoded;
    if (DecodeWord(text, i, end, decoded)) {
      out += decoded;
      i = end;
      lastWasEncoded = true;
      continue;
    }
    if (lastWasEncoded && (text[i] == ' ' || text[i] == '\t')) {
      // White space between two encoded words is not part of the text.
      size_t next = text.find_first_not_of(" \t", i);
      if (next != std::string::npos && DecodeWord(text, next, end, decoded)) {
        i = next;
        continue;
      }
    }
    out += text[i++];
    lastWasEncoded = false;
  }
  return out;
}

std::string AddressOf(const std::string& headerValue) {
  const auto open = headerValue.rfind('<');
  if (open != std::string::npos) {
    const auto close = headerValue.find('>', open);
    return Trimmed(headerValue.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
  }
  std::string value = headerValue.substr(0, headerValue.find('('));
  return Trimmed(value);
}

std::vector<std::string> FoldHeader(const std::string& name, const std::string& value) {
  std::vector<std::string> lines;
  std::string rest = name + ": " + WithoutLineBreaks(value);
  const size_t firstBreak = name.size() + 2; // never fold right after the colon
  while (rest.size() > kFoldWidth) {
    size_t at = rest.find_last_of(" \t", kFoldWidth);
    const size_t start = lines.empty() ? firstBreak : 1;
    if (at == std::string::npos || at < start) at = rest.find_first_of(" \t", std::max(start, kFoldWidth));
    if (at == std::string::npos) break; // a word longer than a line stays whole
    lines.push_back(rest.substr(0, at));
    rest = " " + rest.substr(at + 1);
  }
  lines.push_back(rest);
  return lines;
}

TMailMessage TMailMessage::Parse(std::istream& stored) {
  TMailMessage message;
  std::string line;
  bool inHeaders = true;
  while (std::getline(stored, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == ".") break; // the end of data: stuffed dots are ".."
    if (inHeaders && line.empty()) {
      inHeaders = false;
      continue;
    }
    if (inHeaders)
      message.Headers.push_back(line);
    else
      message.Body.append(line).append("\r\n");
  }
  return message;
}

bool TMailMessage::FindHeader(const std::string& name, size_t& first, size_t& end) const {
  for (size_t i = 0; i < Headers.size(); ++i) {
    const std::string& line = Headers[i];
    const auto colon = line.find(':');
    if (IsContinuation(line) || colon == std::string::npos || !SameText(Trimmed(line.substr(0, colon)), name)) continue;
    first = i;
    end = i + 1;
    while (end < Headers.size() && IsContinuation(Headers[end]))
      ++end;
    return true;
  }
  return false;
}

std::string TMailMessage::HeaderValue(const std::string& name) const {
  size_t first = 0, end = 0;
  if (!FindHeader(name, first, end)) return {};
  std::string value = Headers[first].substr(Headers[first].find(':') + 1);
  for (size_t i = first + 1; i < end; ++i)
    value += Headers[i];
  return Trimmed(WithoutLineBreaks(value));
}

std::string TMailMessage::Subject() const { return DecodeEncodedWords(HeaderValue("Subject")); }
std::string TMailMessage::FromAddress() const { return AddressOf(HeaderValue("From")); }
std::string TMailMessage::MessageId() const { return HeaderValue("Message-Id"); }

void TMailMessage::SetHeader(const std::string& name, const std::string& value) {
  size_t first = 0, end = 0;
  const bool found = FindHeader(name, first, end);
  std::vector<std::string> lines;
  if (!value.empty()) lines = FoldHeader(name, value);
  if (!found) {
    Headers.insert(Headers.end(), lines.begin(), lines.end());
    return;
  }
  Headers.erase(Headers.begin() + static_cast<std::ptrdiff_t>(first),
                Headers.begin() + static_cast<std::ptrdiff_t>(end));
  Headers.insert(Headers.begin() + static_cast<std::ptrdiff_t>(first), lines.begin(), lines.end());
}

std::string TMailMessage::WireText() const {
  size_t size = 2 + Body.size();
  for (const auto& line : Headers)
    size += line.size() + 2;
  std::string text;
  text.reserve(size + 3); // room for the final "." the relay appends
  for (const auto& line : Headers)
    text.append(line).append("\r\n");
  return text.append("\r\n").append(Body);
}

} // namespace quibo
