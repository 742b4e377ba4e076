#include "suggest.hpp"

#include <algorithm>

namespace oplparse {
namespace {

// Optimal string alignment distance: Levenshtein plus transpositions of neighbours, the most
// common typing slip ("fro" for "for").
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::string without_blanks(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != ' ') out += c;
  }
  return out;
}

}  // namespace

std::string closest_word(std::string_view word, const std::vector<std::string>& candidates) {
  // Long names are compared letter by letter, so a cap keeps a pathological name cheap.
  if (word.empty() || word.size() > 64) return {};
  std::size_t allowed = word.size() <= 4 ? 1 : 2;
  std::string best;
  std::size_t best_distance = allowed + 1;
  for (const std::string& candidate : candidates) {
    if (candidate == word || candidate.size() > word.size() + allowed + 1) continue;
    std::size_t distance = edit_distance(word, without_blanks(candidate));
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return best;
}

const std::vector<std::string>& language_words() {
  static const std::vector<std::string> words = {
      "int",    "float", "string", "boolean", "dvar", "dexpr",      "range", "tuple", "maximize", "minimize",
      "subject to", "forall", "sum", "min",   "max",  "in",         "true",  "false", "and",      "or",
      "not",    "key",   "constraints", "abs"};
  return words;
}

}  // namespace oplparse
