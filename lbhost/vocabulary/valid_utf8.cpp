#include "lbhost/vocabulary/valid_utf8.h"

std::string ValidUtf8(const std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    }
    bool valid = length > 0 && i + length <= size;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const unsigned char c = bytes[i + k];
      valid = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}
