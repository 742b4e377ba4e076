// Tokens of a script block: JavaScript's, as far as the script subset needs them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace oplparse::script {

enum class STok { Ident, Number, String, Punct, End };

struct SToken {
  STok kind;
  std::string_view text;  // as written; strings with their quotes
  int line;
  std::size_t offset;
  std::string value;  // String: the text with its escapes resolved
};

// The tokens from `offset` of `text` (on `line`) through the brace that closes the first block,
// then one End token. Errors (an unterminated string, comment or block, a stray character) are
// ModelErrors with their line.
std::vector<SToken> tokenize_block(std::string_view text, std::size_t offset, int line);

}  // namespace oplparse::script
