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

}  // namespace oplparse
