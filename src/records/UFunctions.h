// Small text helpers shared by every unit: trimming and case-insensitive
// comparison of ASCII text. Pure functions, any thread, never fail.
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

// Peer text made safe for a reply, a log line or a header: CR and LF become
// blanks, other control characters "\xNN".
std::string PrintableText(std::string_view text);

} // namespace quibo
