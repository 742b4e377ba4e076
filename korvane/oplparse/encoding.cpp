// Files as editors save them: a UTF-8 byte order mark is skipped, and comments may hold bytes
// that are not UTF-8 (Latin-1 and GBK comments are common in course material). Anywhere else such
// a byte is an error with its line, since it would end up in a name or a string.
#include <cstdint>
#include <cstdio>
#include <cstring>

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

enum class At { Code, LineComment, BlockComment, String };

// Whether any of the eight bytes of `word` is `byte`.
bool has_byte(std::uint64_t word, unsigned char byte) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  std::uint64_t x = word ^ (kOnes * byte);
  return ((x - kOnes) & ~x & kHighs) != 0;
}

// Where the bytes from `i` on stop being plain: bytes that neither change the state nor need
// checking, passed over eight at a time. Plain are ASCII other than what opens a comment or a
// string in code, ASCII other than what ends or escapes in a string, and anything but the end of
// a comment in one (no valid UTF-8 sequence holds an ASCII byte, so stepping over a comment byte
// by byte ends it where stepping whole sequences would).
std::size_t skip_plain(std::string_view text, std::size_t i, At at) {
  if (at == At::LineComment || at == At::BlockComment) {
    std::size_t end = text.find(at == At::LineComment ? '\n' : '*', i);
    return end == std::string_view::npos ? text.size() : end;
  }
  // Code stops at '/' and '"'; a string at '"', '\n' and '\\'.
  bool code = at == At::Code;
  unsigned char first = code ? '/' : '\n', second = '"', third = code ? '"' : '\\';
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & 0x8080808080808080ULL) != 0 || has_byte(word, first) || has_byte(word, second) ||
        has_byte(word, third)) {
      break;
    }
  }
  for (; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80 || c == first || c == second || c == third) break;
  }
  return i;
}

}  // namespace

std::string_view without_bom(std::string_view text) {
  return text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text;
}

void check_encoding(const Source& source) {
  std::string_view text = source.text;
  At at = At::Code;
  for (std::size_t i = 0; i < text.size();) {
    i = skip_plain(text, i, at);
    if (i == text.size()) break;
    char c = text[i];
    std::string_view two = text.substr(i, 2);
    if (at == At::Code && two == "//") at = At::LineComment;
    else if (at == At::Code && two == "/*") {
      at = At::BlockComment;  // its '*' cannot also close it: "/*/" opens a comment, as the lexers read it
      i += 2;
      continue;
    }
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
