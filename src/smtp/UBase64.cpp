#include "UBase64.h"

#include <array>

namespace quibo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> DecodeTable() {
  std::array<int, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

} // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned value = unsigned(static_cast<unsigned char>(bytes[i])) << 16 |
                           unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6)
      out += kAlphabet[(value >> shift) & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned value = unsigned(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) value |= unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
    out += rest == 2 ? kAlphabet[(value >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  static constexpr auto kTable = DecodeTable();
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    int values[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<size_t>(k)];
      const bool lastGroup = i + 4 == text.size();
      if (c == '=' && lastGroup && k >= 2) {
        values[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt; // data after padding
      values[k] = kTable[static_cast<unsigned char>(c)];
      if (values[k] < 0) return std::nullopt;
    }
    const unsigned group =
        unsigned(values[0]) << 18 | unsigned(values[1]) << 12 | unsigned(values[2]) << 6 | unsigned(values[3]);
    out += static_cast<char>(group >> 16);
    if (padding < 2) out += static_cast<char>((group >> 8) & 255);
    if (padding < 1) out += static_cast<char>(group & 255);
  }
  return out;
}

} // namespace quibo
