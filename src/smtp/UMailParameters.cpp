#include "UMailParameters.h"

#include "UFunctions.h"

#include <algorithm>
#include <charconv>

namespace quibo {
namespace {

bool ParseSize(std::string_view value, uint64_t& size) {
  if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
  return error == std::errc() && end == value.data() + value.size();
}

} // namespace

TParameterCheck ParseMailParameters(std::string_view text, TMailParameters& parameters) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const size_t end = std::min(text.find_first_of(" \t", start), text.size());
    const std::string_view parameter = text.substr(start, end - start);
    at = end;
    const size_t equals = parameter.find('=');
    const std::string keyword = Uppered(std::string(parameter.substr(0, equals)));
    const bool valued = equals != std::string_view::npos;
    const std::string_view value = valued ? parameter.substr(equals + 1) : std::string_view();
    if (keyword == "SIZE" && valued) {
      uint64_t size = 0;
      if (!ParseSize(value, size)) return TParameterCheck::BadValue;
      parameters.Size = size;
    } else if (keyword == "BODY" && valued) {
      const std::string body = Uppered(std::string(value));
      if (body != "7BIT" && body != "8BITMIME") return TParameterCheck::Unknown;
      parameters.Body = body;
    } else if (keyword == "SMTPUTF8" && !valued) {
      parameters.SmtpUtf8 = true;
    } else {
      return TParameterCheck::Unknown;
    }
  }
  return TParameterCheck::Taken;
}

TPathAndParameters SplitPath(std::string_view text) {
  const std::string value = Trimmed(text);
  if (!value.empty() && value[0] == '<') {
    const auto close = value.find('>');
    if (close == std::string::npos) return {Trimmed(value.substr(1)), {}};
    return {Trimmed(value.substr(1, close - 1)), Trimmed(value.substr(close + 1))};
  }
  const auto blank = value.find_first_of(" \t");
  if (blank == std::string::npos) return {value, {}};
  return {value.substr(0, blank), Trimmed(value.substr(blank + 1))};
}

bool IsInternational(std::string_view address) {
  return std::any_of(address.begin(), address.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

} // namespace quibo
