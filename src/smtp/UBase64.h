// Base64 for the AUTH LOGIN exchange. Pure functions, any thread. Decode
// reports malformed input by returning std::nullopt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quibo {

std::string Base64Encode(std::string_view bytes);
std::optional<std::string> Base64Decode(std::string_view text);

} // namespace quibo
