#include "URspamdHeaders.h"

#include "UFunctions.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>

namespace quibo {
namespace {

using TJson = nlohmann::ordered_json;

constexpr size_t kMaxNameLength = 100;
constexpr size_t kMaxLineLength = 998; // of a header line, without its CR LF
constexpr long kLargestOrder = 1000000;
const std::string kSignatureName = "DKIM-Signature";

// A field name: printable ASCII without blanks and without ":".
bool IsHeaderName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7f && c != ':'; });
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && c != '\t') || byte == 0x7f;
}

// The value with each fold (LF or CR LF before a blank) as CR LF; std::nullopt and why when
// a line break would end the header or begin another, or a line has a control byte.
std::optional<std::string> FoldedValue(std::string_view value, std::string& why) {
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
    value.remove_suffix(1);
  std::string folded;
  for (size_t start = 0, line = 0;; ++line) {
    const size_t end = value.find('\n', start);
    std::string_view text = value.substr(start, end == std::string_view::npos ? end : end - start);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (line > 0) {
      if (text.empty() || (text[0] != ' ' && text[0] != '\t')) {
        why = "a line break that would begin a header of its own";
        return std::nullopt;
      }
      if (text.find_first_not_of(" \t") == std::string_view::npos) {
        why = "an empty folded line";
        return std::nullopt;
      }
      folded += "\r\n";
    }
    if (const auto control = std::find_if(text.begin(), text.end(), IsControl); control != text.end()) {
      why = *control == '\r' ? "a bare CR" : "a control character";
      return std::nullopt;
    }
    folded += text;
    if (end == std::string_view::npos) return folded;
    start = end + 1;
  }
}

bool HasLongLine(const std::string& text) {
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find("\r\n", start), text.size());
    if (end - start > kMaxLineLength) return true;
    start = end + 2;
  }
  return false;
}

// rspamd's order as a whole number; -1 (the end) when it gives none.
long OrderOf(const TJson& entry) {
  const auto order = entry.find("order");
  if (order == entry.end() || !order->is_number()) return -1;
  const double value = order->get<double>();
  if (!std::isfinite(value)) return -1;
  return static_cast<long>(std::clamp<double>(value, -kLargestOrder, kLargestOrder));
}

class TEditReader {
public:
  explicit TEditReader(THeaderEdits& edits) : Edits(edits) {}

  // One add_headers entry: a string, {"value", "order"}, or (at the first level) an array of these.
  void AddEntry(const std::string& name, const TJson& entry, bool nested = false) {
    if (entry.is_string()) return Add(name, entry.get_ref<const std::string&>(), -1);
    if (entry.is_object()) {
      const auto value = entry.find("value");
      if (value == entry.end() || !value->is_string()) return Refuse(name, "no text value");
      return Add(name, value->get_ref<const std::string&>(), OrderOf(entry));
    }
    if (entry.is_array() && !nested) {
      for (const auto& item : entry)
        AddEntry(name, item, true);
      return;
    }
    Refuse(name, "no text value");
  }

  // "dkim-signature": a string or an array of strings.
  void Signatures(const TJson& value) {
    if (value.is_string()) return Sign(value.get_ref<const std::string&>());
    if (!value.is_array()) return Refuse(kSignatureName, "no text value");
    for (const auto& item : value)
      if (item.is_string())
        Sign(item.get_ref<const std::string&>());
      else
        Refuse(kSignatureName, "no text value");
  }

  // {"Name": n} or {"Name": [n, ...]}.
  void Removals(const TJson& block) {
    for (const auto& item : block.items()) {
      const std::string& name = item.key();
      const TJson& indexes = item.value();
      const auto take = [&](const TJson& index) {
        if (!IsHeaderName(name)) return Refuse(name, "not a header name");
        if (!index.is_number_integer()) return Refuse(name, "a removal without a whole number");
        if (Edits.Removed.size() >= THeaderEdits::kMaxHeaders) return Refuse(name, "more than 64 removals");
        Edits.Removed.push_back(
            {name, static_cast<long>(std::clamp<int64_t>(index.get<int64_t>(), -kLargestOrder, kLargestOrder))});
      };
      if (!indexes.is_array()) {
        take(indexes);
        continue;
      }
      for (const auto& index : indexes)
        take(index);
    }
  }

private:
  void Add(const std::string& name, const std::string& value, long order) {
    if (auto text = Checked(name, value)) Edits.Added.push_back({std::move(*text), order});
  }
  void Sign(const std::string& value) {
    if (auto text = Checked(kSignatureName, value)) Edits.Signatures.push_back(std::move(*text));
  }
  // The whole header, counted against the bounds; std::nullopt (and the reason kept) when it cannot go in.
  std::optional<std::string> Checked(const std::string& name, const std::string& value) {
    std::string why;
    if (!IsHeaderName(name)) return Refuse(name, "not a header name"), std::nullopt;
    const auto folded = FoldedValue(value, why);
    if (!folded) return Refuse(name, why), std::nullopt;
    if (Edits.Added.size() + Edits.Signatures.size() >= THeaderEdits::kMaxHeaders)
      return Refuse(name, "more than 64 headers"), std::nullopt;
    std::string text = name + ": " + *folded;
    if (HasLongLine(text)) return Refuse(name, "a line longer than 998 characters"), std::nullopt;
    if (Bytes + text.size() + 2 > THeaderEdits::kMaxBytes)
      return Refuse(name, "more than 16 KB of headers"), std::nullopt;
    Bytes += text.size() + 2;
    return text;
  }
  void Refuse(const std::string& name, const std::string& why) {
    Edits.Refused.push_back("rspamd's header " + PrintableText(Bounded(name, kMaxNameLength)) + " left out: " + why);
  }

  THeaderEdits& Edits;
  size_t Bytes = 0;
};

} // namespace

THeaderEdits ReadHeaderEdits(const TJson& answer) {
  THeaderEdits edits;
  TEditReader reader(edits);
  const auto milter = answer.find("milter");
  if (milter != answer.end() && milter->is_object()) {
    const auto removals = milter->find("remove_headers");
    if (removals != milter->end() && removals->is_object()) reader.Removals(*removals);
    const auto additions = milter->find("add_headers");
    if (additions != milter->end() && additions->is_object())
      for (const auto& [name, entry] : additions->items())
        reader.AddEntry(name, entry);
  }
  const auto signatures = answer.find("dkim-signature");
  if (signatures != answer.end()) reader.Signatures(*signatures);
  return edits;
}

} // namespace quibo
