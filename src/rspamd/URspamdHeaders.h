// rspamd's header changes for a scored message, read from its answer: the
// "milter" block (add_headers in each of the shapes rspamd sends: a string,
// an object with value and order, an array of those; remove_headers by
// index) and "dkim-signature" (a string or an array). Each added header is
// checked here and made whole ("Name: value", folds as CR LF), so that
// nothing rspamd sends can break a header or open one of its own; a header
// that fails a check, or that goes past 64 headers or 16 KB in all, is left
// out and the reason kept for the log. Pure functions; any thread; nothing
// here throws on any answer.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quibo {

// One header rspamd adds, ready to go into the message as it stands.
struct TAddedHeader {
  std::string Text; // "Name: value", continuation lines after CR LF, without a final CR LF
  // rspamd's order: n >= 0 goes n headers from the top; -1 at the end; below -1 counted from the end.
  long Order = -1;
};

// One removal: Index 0 removes every header of the name, n the nth, -n the nth from the end.
struct TRemovedHeader {
  std::string Name;
  long Index = 0;
};

struct THeaderEdits {
  static constexpr size_t kMaxHeaders = 64;
  static constexpr size_t kMaxBytes = 16 * 1024;

  std::vector<TRemovedHeader> Removed; // in rspamd's order, done first
  std::vector<TAddedHeader> Added;     // in rspamd's order, each placed as it comes
  std::vector<std::string> Signatures; // DKIM-Signature headers, for the top, in their order
  std::vector<std::string> Refused;    // why each header left out was left out (printable)

  bool Empty() const { return Removed.empty() && Added.empty() && Signatures.empty() && Refused.empty(); }
};

// The edits an answer of /checkv2 asks for (none when it has neither block).
THeaderEdits ReadHeaderEdits(const nlohmann::ordered_json& answer);

} // namespace quibo
