#include "UMailMessage.h"

#include "UBase64.h"
#include "UFunctions.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <memory>

namespace quibo {
namespace {

constexpr size_t kFoldWidth = 78;
constexpr size_t kLongestWord = 900; // and room for a header's name before it
constexpr size_t kEncodedChunk = 36; // bytes per encoded word: 48 Base64 characters, 60 in all

bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A run without blanks that no folding could bring under the 998 characters a line may have.
bool HasUnfoldableWord(const std::string& text) {
  size_t run = 0;
  for (const char c : text) {
    run = c == ' ' || c == '\t' ? 0 : run + 1;
    if (run > kLongestWord) return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string DecodeQ(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += ' ';
    } else if (text[i] == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Converts decoded words to UTF-8, keeping one converter open for a run of
// words in the same charset; text in an unknown charset is kept as it is.
class TUtf8Converter {
public:
  ~TUtf8Converter() { Close(); }
  std::string Convert(const std::string& charset, const std::string& bytes) {
    const std::string name = charset.substr(0, charset.find('*')); // RFC 2231 language suffix
    if (SameText(name, "utf-8") || SameText(name, "us-ascii")) return bytes;
    if (!Tried || !SameText(name, OpenCharset)) {
      Close();
      Tried = true;
      OpenCharset = name;
      Converter = ::iconv_open("UTF-8", name.c_str());
      Open = Converter != reinterpret_cast<iconv_t>(-1);
    }
    if (!Open) return bytes;
    ::iconv(Converter, nullptr, nullptr, nullptr, nullptr); // a fresh shift state
    std::string out(bytes.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size(), outLeft = out.size();
    char* outPointer = out.data();
    if (::iconv(Converter, &in, &inLeft, &outPointer, &outLeft) == static_cast<size_t>(-1)) return bytes;
    out.resize(out.size() - outLeft);
    return out;
  }

private:
  void Close() {
    if (Open) ::iconv_close(Converter);
    Open = Tried = false;
  }
  std::string OpenCharset;
  iconv_t Converter{};
  bool Tried = false;
  bool Open = false;
};

// The encoded words of one text, in one pass: the searches for a word's end
// and for the next blank remember what they found, so that a text full of
// "=?" without any "?=" is still read once, not once per "=?".
class TEncodedWordReader {
public:
  explicit TEncodedWordReader(const std::string& text) : Text(text) {}

  // Decodes "=?charset?enc?text?=" starting at position at; false when it is none.
  bool Decode(size_t at, size_t& end, std::string& decoded) {
    if (Text.compare(at, 2, "=?") != 0) return false;
    const size_t charsetEnd = Text.find('?', at + 2);
    if (charsetEnd == std::string::npos || charsetEnd + 2 >= Text.size() || Text[charsetEnd + 2] != '?') return false;
    const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(Text[charsetEnd + 1])));
    if (encoding != 'B' && encoding != 'Q') return false;
    const size_t payloadStart = charsetEnd + 3;
    const size_t close = Next(Close, payloadStart, [this](size_t from) { return Text.find("?=", from); });
    if (close == std::string::npos) return false;
    const size_t blank = Next(Blank, payloadStart, [this](size_t from) { return Text.find_first_of(" \t", from); });
    if (blank < close) return false; // an encoded word holds no white space
    const std::string_view payload = std::string_view(Text).substr(payloadStart, close - payloadStart);
    std::string bytes;
    if (encoding == 'Q') {
      bytes = DecodeQ(payload);
    } else {
      std::string padded(payload);
      while (padded.size() % 4)
        padded += '=';
      const auto value = Base64Decode(padded);
      if (!value) return false;
      bytes = *value;
    }
    decoded = Converter.Convert(Text.substr(at + 2, charsetEnd - at - 2), bytes);
    end = close + 2;
    return true;
  }

private:
  struct TSearch {
    size_t From = std::string::npos; // where the last search started (npos: none yet)
    size_t Found = 0;
  };
  // The first match at or after from, searching again only when the last
  // search cannot answer: it started later, or found something before from.
  template <typename TFind> size_t Next(TSearch& search, size_t from, TFind find) {
    const bool known = search.From != std::string::npos && search.From <= from &&
                       (search.Found == std::string::npos || search.Found >= from);
    if (!known) search = {from, find(from)};
    return search.Found;
  }

  const std::string& Text;
  TSearch Close;
  TSearch Blank;
  TUtf8Converter Converter;
};

// The index of the last blank or tab in [first, last] of text, or npos.
size_t LastBlank(const std::string& text, size_t first, size_t last) {
  for (size_t at = std::min(last, text.size() - 1) + 1; at-- > first;)
    if (text[at] == ' ' || text[at] == '\t') return at;
  return std::string::npos;
}

// Whether a header's first line has that name.
bool HeaderNamed(std::string_view line, const std::string& name) {
  const auto colon = line.find(':');
  return colon != std::string_view::npos && SameText(Trimmed(line.substr(0, colon)), name);
}

} // namespace

std::string DecodeEncodedWords(const std::string& text) {
  TEncodedWordReader reader(text);
  std::string out;
  size_t i = 0;
  bool lastWasEncoded = false;
  while (i < text.size()) {
    size_t end = 0;
    std::string decoded;
    if (reader.Decode(i, end, decoded)) {
      out += decoded;
      i = end;
      lastWasEncoded = true;
      continue;
    }
    if (lastWasEncoded && (text[i] == ' ' || text[i] == '\t')) {
      // White space between two encoded words is not part of the text.
      size_t next = text.find_first_not_of(" \t", i);
      if (next != std::string::npos && reader.Decode(next, end, decoded)) {
        i = next;
        continue;
      }
    }
    out += text[i++];
    lastWasEncoded = false;
  }
  return out;
}

std::string EncodeWords(const std::string& text) {
  if (IsAscii(text) && !HasUnfoldableWord(text)) return text;
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const std::string chunk = Bounded(std::string_view(text).substr(at), kEncodedChunk);
    const size_t taken = chunk.empty() ? std::min(kEncodedChunk, text.size() - at) : chunk.size();
    if (!out.empty()) out += ' ';
    out += "=?UTF-8?B?" + Base64Encode(std::string_view(text).substr(at, taken)) + "?=";
    at += taken;
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
  const std::string text = name + ": " + value;
  std::vector<std::string> lines;
  size_t begin = 0;               // where the current line starts; a later line's first byte is the blank it broke at
  size_t start = name.size() + 2; // the first break allowed, from begin: never right after the colon
  while (text.size() - begin > kFoldWidth) {
    size_t at = LastBlank(text, begin + start, begin + kFoldWidth);
    if (at == std::string::npos) at = text.find_first_of(" \t", begin + std::max(start, kFoldWidth));
    if (at == std::string::npos) break; // a word longer than a line stays whole
    lines.push_back(lines.empty() ? text.substr(0, at) : " " + text.substr(begin + 1, at - begin - 1));
    begin = at;
    start = 1;
  }
  lines.push_back(lines.empty() ? text : " " + text.substr(begin + 1));
  return lines;
}

TMailMessage TMailMessage::Parse(const TStoredMessage& stored, size_t maxHeaderBytes) {
  TMailMessage message;
  message.Stored = &stored;
  message.TailEnd = stored.ContentEnd();
  TStoredLineReader reader(stored, 0, message.TailEnd);
  std::vector<uint64_t> starts; // of each parsed header line
  size_t headerBytes = 0;
  std::string line;
  while (true) {
    const uint64_t lineStart = reader.Offset();
    if (!reader.Next(line)) {
      message.Tail = message.TailEnd; // headers only
      break;
    }
    if (line.empty()) {
      message.Tail = reader.Offset(); // the body follows the empty line
      break;
    }
    if (headerBytes + line.size() + 2 > maxHeaderBytes) {
      // The header this line continues goes with it, so nothing set later can come between them.
      size_t first = message.Headers.size();
      if (IsContinuation(line)) {
        while (first > 0 && IsContinuation(message.Headers[first - 1]))
          --first;
        if (first > 0) --first;
      }
      message.Tail = first < starts.size() ? starts[first] : lineStart;
      message.Headers.resize(first);
      message.TailHasHeaders = true;
      break;
    }
    headerBytes += line.size() + 2;
    starts.push_back(lineStart);
    message.Headers.push_back(line);
  }
  return message;
}

bool TMailMessage::FindHeader(const std::string& name, size_t& first, size_t& end) const {
  for (size_t i = 0; i < Headers.size(); ++i) {
    if (IsContinuation(Headers[i]) || !HeaderNamed(Headers[i], name)) continue;
    first = i;
    end = HeaderEnd(i);
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
  std::replace(value.begin(), value.end(), '\t', ' '); // folding white space
  return Trimmed(value);
}

std::string TMailMessage::Subject() const { return DecodeEncodedWords(HeaderValue("Subject")); }
std::string TMailMessage::FromAddress() const { return AddressOf(HeaderValue("From")); }
std::string TMailMessage::MessageId() const { return HeaderValue("Message-Id"); }

void TMailMessage::SetHeader(const std::string& name, const std::string& value) {
  size_t first = 0, end = 0;
  const bool found = FindHeader(name, first, end);
  std::vector<std::string> lines;
  if (!value.empty()) lines = FoldHeader(name, EncodeWords(PrintableText(value)));
  if (!found) {
    Headers.insert(Headers.end(), lines.begin(), lines.end());
    return;
  }
  Headers.erase(Headers.begin() + static_cast<std::ptrdiff_t>(first),
                Headers.begin() + static_cast<std::ptrdiff_t>(end));
  Headers.insert(Headers.begin() + static_cast<std::ptrdiff_t>(first), lines.begin(), lines.end());
}

std::vector<size_t> TMailMessage::HeaderStarts(const std::string* name) const {
  std::vector<size_t> starts;
  for (size_t i = 0; i < Headers.size(); ++i)
    if (!IsContinuation(Headers[i]) && (!name || HeaderNamed(Headers[i], *name))) starts.push_back(i);
  return starts;
}

size_t TMailMessage::HeaderEnd(size_t first) const {
  size_t end = first + 1;
  while (end < Headers.size() && IsContinuation(Headers[end]))
    ++end;
  return end;
}

void TMailMessage::InsertAt(long position, const std::string& header) {
  const std::vector<size_t> starts = HeaderStarts();
  const auto count = static_cast<long>(starts.size());
  const long before = position >= 0 ? std::min(position, count) : std::max(0L, count + position + 1);
  const size_t at = before < count ? starts[static_cast<size_t>(before)] : Headers.size();
  Headers.insert(Headers.begin() + static_cast<std::ptrdiff_t>(at), header);
}

void TMailMessage::RemoveAt(const std::string& name, long index) {
  if (index == 0) return RemoveHeader(name);
  const std::vector<size_t> starts = HeaderStarts(&name);
  const auto count = static_cast<long>(starts.size());
  const long which = index > 0 ? index - 1 : count + index;
  if (which < 0 || which >= count) return;
  const size_t first = starts[static_cast<size_t>(which)];
  Headers.erase(Headers.begin() + static_cast<std::ptrdiff_t>(first),
                Headers.begin() + static_cast<std::ptrdiff_t>(HeaderEnd(first)));
}

void TMailMessage::RemoveHeader(const std::string& name) {
  // One pass: a header's continuation lines go with it.
  bool dropping = false;
  std::erase_if(Headers, [&](const std::string& line) {
    if (!IsContinuation(line)) dropping = HeaderNamed(line, name);
    return dropping;
  });
  if (TailHasHeaders) Removed.push_back(name);
}

uint64_t TMailMessage::StreamUnparsedHeaders(const std::function<void(std::string_view)>& sink) const {
  TStoredLineReader reader(*Stored, Tail, TailEnd);
  std::string line;
  bool dropping = false;
  for (uint64_t lineStart = reader.Offset(); reader.Next(line); lineStart = reader.Offset()) {
    if (line.empty()) return lineStart; // the empty line goes out with the body
    if (!IsContinuation(line))
      dropping = std::any_of(Removed.begin(), Removed.end(),
                             [&line](const std::string& name) { return HeaderNamed(line, name); });
    if (!dropping) sink(line + "\r\n");
  }
  return TailEnd;
}

void TMailMessage::StreamWire(const std::function<void(std::string_view)>& sink) const {
  std::string headers;
  for (const auto& line : Headers)
    headers.append(line).append("\r\n");
  sink(headers);
  uint64_t from = Tail;
  if (Stored && TailHasHeaders) from = StreamUnparsedHeaders(sink);
  if (!Stored || !TailHasHeaders || from >= TailEnd) sink("\r\n"); // else the stored empty line comes next
  if (!Stored || from >= TailEnd) return;
  constexpr uint64_t kBlock = 65536;
  const auto blockSize = static_cast<size_t>(std::min(kBlock, TailEnd - from));
  const std::unique_ptr<char[]> block(new char[blockSize]); // not zero-filled: every byte is read over
  while (from < TailEnd) {
    const size_t got =
        Stored->ReadAt(from, block.get(), static_cast<size_t>(std::min<uint64_t>(blockSize, TailEnd - from)));
    if (got == 0) break;
    sink(std::string_view(block.get(), got));
    from += got;
  }
}

std::string TMailMessage::WireText() const {
  std::string text;
  StreamWire([&text](std::string_view piece) { text.append(piece); });
  return text;
}

std::string TMailMessage::UnparsedHeaders() const {
  std::string text;
  if (Stored && TailHasHeaders) StreamUnparsedHeaders([&text](std::string_view piece) { text.append(piece); });
  return text;
}

} // namespace quibo
