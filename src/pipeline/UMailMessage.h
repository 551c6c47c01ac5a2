// TMailMessage: one stored message as header lines and body lines exactly as
// received (still dot-stuffed), with what the pipeline reads from it (the
// decoded subject, the From address, the Message-Id) and the header changes
// it makes (set with folding, remove, insert first). Only the first
// MaxHeaderBytes of the header section are parsed; the rest travels on as
// it came. Decoding and folding take time in proportion to the text. Used on
// connection threads; parsing never fails (a message without headers has none).
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace quibo {

class TMailMessage {
public:
  static constexpr size_t kUnbounded = static_cast<size_t>(-1);
  static TMailMessage Parse(std::istream& stored, size_t maxHeaderBytes = kUnbounded);

  // Header entries in order; an entry is one physical line (a continuation
  // line is an entry of its own) or a header this program inserted whole.
  std::vector<std::string> Headers;
  // The header lines past the parsed part, each ended by CR LF; they follow
  // Headers unchanged (except that RemoveHeader takes its name from them too).
  std::string UnparsedHeaders;
  std::string Body; // the body lines as stored, each ended by CR LF; never changed here

  // The unfolded value of the first header of that name ("" when missing).
  std::string HeaderValue(const std::string& name) const;
  std::string Subject() const; // encoded words decoded to UTF-8
  std::string FromAddress() const;
  std::string MessageId() const;

  // Replaces the first header of that name with its continuation lines, or
  // appends it; an empty value removes it. The value is made printable, and
  // RFC 2047 encoded when it is not ASCII or could not be folded.
  void SetHeader(const std::string& name, const std::string& value);
  // Removes every header of that name.
  void RemoveHeader(const std::string& name);
  void InsertFirst(const std::string& header) { Headers.insert(Headers.begin(), header); }

  // Headers, an empty line, the body: the DATA of a relay, without the final ".".
  std::string WireText() const;

private:
  // [first, end) of the first header of that name with its continuation lines.
  bool FindHeader(const std::string& name, size_t& first, size_t& end) const;
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
