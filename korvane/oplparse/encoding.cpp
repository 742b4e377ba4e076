// Files as editors save them: a UTF-8 byte order mark is skipped, and comments may hold bytes
// that are not UTF-8 (Latin-1 and GBK comments are common in course material). Anywhere else such
// a byte is an error with its line, since it would end up in a name or a string.
#include <cstdio>

#include "source.hpp"

namespace oplparse {
namespace {

// The length of the valid UTF-8 sequence at `i`, or 0 when the bytes there are not one.
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t n = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F)) {
    return 0;  // overlong forms, surrogates and code points beyond U+10FFFF
  }
  return n;
}

}  // namespace

std::string_view without_bom(std::string_view text) {
  return text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text;
}

void check_encoding(const Source& source) {
  std::string_view text = source.text;
  enum class At { Code, LineComment, BlockComment, String } at = At::Code;
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    std::string_view two = text.substr(i, 2);
    if (at == At::Code && two == "//") at = At::LineComment;
    else if (at == At::Code && two == "/*") at = At::BlockComment;
    else if (at == At::LineComment && c == '\n') at = At::Code;
    else if (at == At::BlockComment && two == "*/") {
      at = At::Code;
      i += 2;
      continue;
    } else if (at == At::Code && c == '"') {
      at = At::String;
    } else if (at == At::String && (c == '"' || c == '\n')) {
      at = At::Code;
    } else if (at == At::String && c == '\\') {
      ++i;
    }
    std::size_t n = i < text.size() ? utf8_sequence(text, i) : 1;
    if (n == 0 && at != At::LineComment && at != At::BlockComment) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(text[i]));
      source.fail(std::string("Invalid byte ") + hex + " (not UTF-8) outside a comment: save the file as UTF-8",
                  source.line_at(i));
    }
    i += n == 0 ? 1 : n;
  }
}

}  // namespace oplparse
