// Control characters of outside names made visible before they are printed.
#include "text/printable_text.h"

#include <cstdint>

namespace text {
namespace {

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

bool IsControl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Unicode's Bidi_Control characters (the marks, embeddings, overrides and
// isolates), which reorder the text around them, and the line and paragraph
// separators, which a terminal or a log viewer may break a line at.
bool IsLayoutControl(uint32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendHex(std::wstring& out, uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHexDigits[(value >> shift) & 0xF];
}

}  // namespace

std::wstring PrintableText(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t character : text) {
    const auto c = static_cast<uint32_t>(character);
    if (IsControl(c)) {
      out += L"\\x";
      AppendHex(out, c, 2);
    } else if (IsLayoutControl(c)) {
      out += L"\\u{";
      AppendHex(out, c, 4);
      out += L'}';
    } else {
      out += character;
    }
  }
  return out;
}

}  // namespace text
