#include "util/debug.hpp"

namespace ostrand {
namespace {

// Control characters and invisible format characters are escaped so that a debug text shows every
// character of the original.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return false;
  if (c == 0xad) return false;                   // soft hyphen
  if (c >= 0x200b && c <= 0x200f) return false;  // zero-width characters, direction marks
  if (c >= 0x2028 && c <= 0x202e) return false;  // line/paragraph separators, embeddings
  if (c >= 0x2060 && c <= 0x2064) return false;  // word joiner, invisible operators
  if (c == 0xfeff) return false;                 // byte-order mark
  if (c >= 0xfff9 && c <= 0xfffb) return false;  // interlinear annotation
  if (c == 0xfffe || c == 0xffff) return false;  // noncharacters
  return true;
}

// Decodes one UTF-8 sequence at text[i]; returns the code point and its length, or length 0 when
// the bytes there are not valid UTF-8.
std::pair<char32_t, std::size_t> decode(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if ((lead & 0xe0) == 0xc0) {
    length = 2, c = lead & 0x1f, minimum = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, c = lead & 0x0f, minimum = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    return {0, 0};
  }
  if (i + length > text.size()) return {0, 0};
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return {0, 0};
    c = (c << 6) | (byte(i + k) & 0x3f);
  }
  if (c < minimum || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return {0, 0};
  return {c, length};
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto [c, length] = decode(text, i);
    if (length == 0) {
      out.append("\xef\xbf\xbd");  // U+FFFD REPLACEMENT CHARACTER
      ++i;
      continue;
    }
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '"':
        out.append("\\\"");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\0':
        out.append("\\0");
        break;
      default:
        if (is_printable(c)) {
          out.append(text.substr(i, length));
        } else {
          fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        }
    }
    i += length;
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

}  // namespace ostrand
