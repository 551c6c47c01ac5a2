// TMailMessage: one stored message as its parsed header lines, exactly as
// received, and the rest of it (the body, still dot-stuffed, and any header
// lines past the bound), which stays in the stored message and is streamed
// from there in blocks when the message is relayed. What the pipeline reads
// from it: the decoded subject, the From address, the Message-Id; the header
// changes it makes: set with folding, remove (all or one by index), insert
// first or at a position. Only the first maxHeaderBytes of the header
// section are parsed; the rest travels on as it came, but for the headers
// removed. Decoding and folding take time in proportion to the text. Used on
// connection threads; parsing never fails (a message without headers has
// none). The stored message must outlive it.
#pragma once

#include "UStoredMessage.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quibo {

class TMailMessage {
public:
  static constexpr size_t kUnbounded = static_cast<size_t>(-1);
  static TMailMessage Parse(const TStoredMessage& stored, size_t maxHeaderBytes = kUnbounded);

  // Header entries in order; an entry is one physical line (a continuation
  // line is an entry of its own) or a header this program inserted whole.
  std::vector<std::string> Headers;

  // The unfolded value of the first header of that name ("" when missing).
  std::string HeaderValue(const std::string& name) const;
  std::string Subject() const; // encoded words decoded to UTF-8
  std::string FromAddress() const;
  std::string MessageId() const;

  // Replaces the first header of that name with its continuation lines, or
  // appends it; an empty value removes it. The value is made printable, and
  // RFC 2047 encoded when it is not ASCII or could not be folded.
  void SetHeader(const std::string& name, const std::string& value);
  // Removes every header of that name, past the parsed part too.
  void RemoveHeader(const std::string& name);
  void InsertFirst(const std::string& header) { Headers.insert(Headers.begin(), header); }
  // A whole header placed by position among the parsed headers: n >= 0 before the nth (0: first,
  // past the last: at the end), -1 at the end, -n - 1 before the nth from the end.
  void InsertAt(long position, const std::string& header);
  // The nth header of that name (1: the first), or with a negative n the nth from the end, counted among the
  // parsed headers; 0 removes every one, past the parsed part too. Nothing when there is no such header.
  void RemoveAt(const std::string& name, long index);

  // Headers, an empty line, the body: the DATA of a relay, without the final
  // ".", handed to the sink in pieces (the stored part in blocks of 64 KB).
  void StreamWire(const std::function<void(std::string_view)>& sink) const;
  // The same as one text (tests, and messages known to be small).
  std::string WireText() const;
  // The header lines past the parsed part, each ended by CR LF, as they will go out.
  std::string UnparsedHeaders() const;

private:
  // Streams the unparsed header lines (from Tail on) without the removed
  // headers; returns the offset where the body begins, or the content's end.
  uint64_t StreamUnparsedHeaders(const std::function<void(std::string_view)>& sink) const;

  const TStoredMessage* Stored = nullptr;
  uint64_t Tail = 0;                // where the unparsed rest begins in the stored message
  uint64_t TailEnd = 0;             // the stored message's end, without its final "." line
  bool TailHasHeaders = false;      // the rest begins with header lines past the bound
  std::vector<std::string> Removed; // header names taken out of the unparsed part

  // [first, end) of the first header of that name with its continuation lines.
  bool FindHeader(const std::string& name, size_t& first, size_t& end) const;
  // The index of the first line of each header (of that name, when one is given).
  std::vector<size_t> HeaderStarts(const std::string* name = nullptr) const;
  // The index past a header's last continuation line.
  size_t HeaderEnd(size_t first) const;
};

// "Name: value" folded at white space to lines of at most 78 characters.
std::vector<std::string> FoldHeader(const std::string& name, const std::string& value);
// RFC 2047 encoded words (B and Q) decoded, charsets converted to UTF-8.
std::string DecodeEncodedWords(const std::string& text);
// Text that is not ASCII, or that has a word too long to fold, as RFC 2047
// encoded words (UTF-8, B, at most 60 characters each); other text as it is.
std::string EncodeWords(const std::string& text);
// The address inside a header value such as "Name <a@b>" or "a@b (Name)".
std::string AddressOf(const std::string& headerValue);

} // namespace quibo
