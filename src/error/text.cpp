#include "error/text.hpp"

#include <cstdint>

namespace vantrel {

bool decode_utf8(std::string_view text, std::size_t i, char32_t& cp, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    cp = b0;
    len = 1;
    return true;
  }
  std::size_t need;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    need = 1;
    min = 0x80;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2;
    min = 0x800;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3;
    min = 0x10000;
    cp = b0 & 0x07;
  } else {
    return false;
  }
  if (text.size() - i <= need) return false;
  for (std::size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  len = need + 1;
  return true;
}

namespace {

// Characters written as \u{...}: controls, format characters, separators
// other than the space, private use and non-characters.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  if (c == 0xAD || c == 0x61C || c == 0x6DD || c == 0x70F || c == 0x180E || c == 0xFEFF) return false;
  if (c >= 0x600 && c <= 0x605) return false;
  if (c >= 0x200B && c <= 0x200F) return false;
  if (c >= 0x2028 && c <= 0x202E) return false;
  if (c >= 0x2060 && c <= 0x206F) return false;
  if (c >= 0xE000 && c <= 0xF8FF) return false;
  if (c >= 0xFFF9 && c <= 0xFFFB) return false;
  if ((c & 0xFFFE) == 0xFFFE) return false;
  if (c >= 0xF0000) return false;
  return true;
}

void append_hex_escape(std::string& out, char32_t c) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += "\\u{";
  int shift = 28;
  while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out.push_back(HEX[(c >> shift) & 0xF]);
  out.push_back('}');
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c;
    std::size_t len;
    if (!decode_utf8(text, i, c, len)) {
      append_hex_escape(out, 0xFFFD);
      ++i;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (is_printable(c)) {
          out.append(text.substr(i, len));
        } else {
          append_hex_escape(out, c);
        }
    }
    i += len;
  }
  out.push_back('"');
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Fast path over ASCII.
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t c;
    std::size_t len;
    if (!decode_utf8(text, i, c, len)) return false;
    i += len;
  }
  return true;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode(std::string_view text) {
  // Leading white space.
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    std::size_t len;
    if (!decode_utf8(text, begin, c, len) || !is_unicode_space(c)) break;
    begin += len;
  }
  // Trailing white space: step back to the start of each code point.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    char32_t c;
    std::size_t len;
    if (!decode_utf8(text, start, c, len) || start + len != end || !is_unicode_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view strip_quotes(std::string_view text) {
  while (!text.empty() && text.front() == '"') text.remove_prefix(1);
  while (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return text;
}

}  // namespace vantrel
