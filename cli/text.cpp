#include "text.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at s[0..n), with its code point, or 0: overlong
// forms, surrogates and code points past U+10FFFF are not text.
size_t decode(const unsigned char* s, size_t n, unsigned& code) {
  unsigned char c = s[0];
  size_t length = c < 0x80                 ? 1
                  : c >= 0xC2 && c <= 0xDF ? 2
                  : c >= 0xE0 && c <= 0xEF ? 3
                  : c >= 0xF0 && c <= 0xF4 ? 4
                                           : 0;
  if (length == 0 || length > n) return 0;
  code = length == 1 ? c : c & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (s[i] & 0x3Fu);
  }
  static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

bool acts(unsigned code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x200E || code == 0x200F ||
         code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string escape_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned code = 0;
    size_t length = decode(s + i, text.size() - i, code);
    if (length > 0 && !acts(code)) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    unsigned value = length == 0 ? s[i] : code;  // a byte that is not text, or the character
    char shown[16];
    if (value < 0x100)
      std::snprintf(shown, sizeof shown, "\\x%02x", value);
    else
      std::snprintf(shown, sizeof shown, "\\u%04x", value);
    out += shown;
    i += length > 0 ? length : 1;
  }
  return out;
}

std::string ansi_shown(const std::string& text) {
  std::string native;
  return ansi_to_native(text, native) ? native : text;
}
