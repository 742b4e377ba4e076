// "Did you mean ...?": the nearest known word to a misspelt one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace oplparse {

// The candidate nearest to `word` by edit distance (insertions, deletions, substitutions and
// swaps of two neighbouring letters), when it is near enough to be a likely typo: one edit for
// words of up to four letters, two for longer ones. Empty when none is.
std::string closest_word(std::string_view word, const std::vector<std::string>& candidates);

// Words of the model language a user may misspell, as written ("subject to" with its blank).
const std::vector<std::string>& language_words();

}  // namespace oplparse
