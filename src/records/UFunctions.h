// Small text helpers shared by every unit: trimming, case-insensitive
// comparison of ASCII text, decimal numbers, and the one function that makes
// peer text printable. Pure functions, any thread, never fail.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quibo {

// Without leading and trailing blanks, tabs, CRs and LFs.
std::string Trimmed(std::string_view text);
std::string Lowered(std::string text);
std::string Uppered(std::string text);
bool SameText(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// The items with the separator between them.
std::string JoinText(const std::vector<std::string>& items, std::string_view separator);
// Every occurrence of what (compared without regard to case) replaced by by.
std::string ReplaceNoCase(const std::string& text, const std::string& what, const std::string& by);
// A decimal number with "." as separator and an optional sign; false when the
// (trimmed) text is not one.
bool ParseDecimal(std::string_view text, double& value);

// Text from a peer (client commands, next-hop replies, child program output,
// DNS names, decoded headers) made safe for a reply, a log line or a header:
// CR and LF become blanks, every other control character (DEL included)
// becomes \xNN. Bytes from 0x80 on are kept.
std::string PrintableText(std::string_view text);
// At most limit bytes of the text, never ending inside a UTF-8 sequence.
std::string Bounded(std::string_view text, size_t limit);

} // namespace quibo
