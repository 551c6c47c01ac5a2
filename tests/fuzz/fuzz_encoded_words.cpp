// Fuzz target: the encoded-word decoder, the encoder and PrintableText.
// Checks that text that is not ASCII survives encoding and decoding, that
// encoded text is ASCII, and that printable text holds no control
// character. Runs with libFuzzer.
#include "UFunctions.h"
#include "UMailMessage.h"

#include <cstdlib>

using namespace quibo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = DecodeEncodedWords(text);
  const std::string printable = PrintableText(decoded);
  for (const char c : printable)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) std::abort();
  const std::string encoded = EncodeWords(printable);
  bool ascii = true;
  for (const char c : encoded)
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
  if (!ascii) std::abort();
  if (encoded != printable && DecodeEncodedWords(encoded) != printable) std::abort();
  return 0;
}
