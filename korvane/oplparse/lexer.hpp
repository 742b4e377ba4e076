// Tokens of a .mod file. Model files are small, so the whole file is split into tokens first and
// the parser looks ahead freely.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace oplparse {

enum class Tok {
  Ident,
  Number,
  String,
  Punct,
  Invalid,  // a character or an unterminated comment or string; never expected by the parser
  End,
};

struct Token {
  Tok kind;
  std::string_view text;  // as written (strings with their quotes)
  int line;
  std::size_t offset;  // of the first byte in the text: where errors point, with a column
};

// Always ends with one End token.
std::vector<Token> tokenize(std::string_view text);

// Moves `pos` past blanks and comments (// to the end of the line, /* ... */), counting the lines
// it passes in `line`. False at the end of the text; true at any other character, or at a /* that
// is never closed, which each lexer reports in its own way.
inline bool skip_blanks(std::string_view text, std::size_t& pos, int& line) {
  while (pos < text.size()) {
    char c = text[pos];
    if (c == '\n') {
      ++line;
      ++pos;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++pos;
    } else if (text.substr(pos, 2) == "//") {
      while (pos < text.size() && text[pos] != '\n') ++pos;
    } else if (text.substr(pos, 2) == "/*") {
      std::size_t close = text.find("*/", pos + 2);
      if (close == std::string_view::npos) return true;
      for (; pos < close + 2; ++pos) line += text[pos] == '\n';
    } else {
      return true;
    }
  }
  return false;
}

}  // namespace oplparse
