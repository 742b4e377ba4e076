// How the model parser words and places its errors: the column of the token an error is about,
// what a missing ';' ends, "did you mean" for misspelt words, and too deep nesting as a line.
#include <algorithm>

#include "parser.hpp"
#include "suggest.hpp"

namespace oplparse {
namespace {

bool is_punct(const Token& t, std::string_view text) {
  return t.kind == Tok::Punct && t.text == text;
}

bool is_declaration_word(std::string_view word) {
  static constexpr std::string_view kWords[] = {"int",  "float", "string", "boolean",
                                                "dvar", "dexpr", "range",  "tuple"};
  return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

// Words of the full modelling language that this compiler does not take, with what to write
// instead: met where a name or an operator should be, they are named as such.
struct Unsupported {
  std::string_view word;
  std::string_view advice;
};
constexpr Unsupported kUnsupportedWords[] = {
    {"infinity", "give a finite bound, or leave that side unbounded (float+ for x >= 0)"},
    {"maxint", "write a finite number"},
    {"with", "references between sets of tuples are not supported"},
    {"ordered", "write 'i in R, j in R : i < j' instead"},
    {"union", "set operations are not supported; list the set's elements in the .dat file"},
    {"inter", "set operations are not supported; list the set's elements in the .dat file"},
    {"diff", "set operations are not supported; list the set's elements in the .dat file"},
    {"symdiff", "set operations are not supported; list the set's elements in the .dat file"},
    {"prod", "products over iterators are not supported"},
    {"allDifferent", "constraint-programming constraints are not supported; only linear and mixed-integer models are"},
    {"mod", "the modulo operator is not supported; compute the value in the data"},
};

const Unsupported* unsupported_word(std::string_view word) {
  for (const Unsupported& u : kUnsupportedWords) {
    if (u.word == word) return &u;
  }
  return nullptr;
}

// The name between the first pair of single quotes of a message ("Undeclared symbol 'y'").
std::string quoted_name(const std::string& message) {
  std::size_t open = message.find('\'');
  if (open == std::string::npos) return {};
  std::size_t close = message.find('\'', open + 1);
  return close == std::string::npos ? std::string() : message.substr(open + 1, close - open - 1);
}

}  // namespace

Ref ModelParser::parse_reporting_depth() {
  try {
    return parse();
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
  }
  // The walk stopped at the deepest token it reached; that line is where the nesting must go.
  source_.fail_too_deep(peek().offset, "simplify the expression or split it with a decision expression");
}

std::vector<std::string> ModelParser::known_words() const {
  std::vector<std::string> words = language_words();
  for (const auto& [name, symbol] : symbols_) words.push_back(name);
  for (const Iterator& it : scope_) words.push_back(it.name);
  return words;
}

std::string ModelParser::did_you_mean(const std::string& word) const {
  if (word.size() < 3) return {};  // one letter off a two-letter name is a different name
  std::string match = closest_word(word, known_words());
  return match.empty() ? std::string() : " Hint: did you mean '" + match + "'?";
}

std::string ModelParser::hint_for_token(const Token& at) const {
  if (is_punct(at, "%")) return " Hint: the modulo operator is not supported; compute the value in the data.";
  if (at.kind == Tok::Ident && at.text == "in") {
    return " Hint: write 'x in a..b' as two constraints, 'x >= a' and 'x <= b', or as bounds of the declaration.";
  }
  if (at.kind == Tok::Ident && !symbols_.count(std::string(at.text))) return did_you_mean(std::string(at.text));
  if (is_punct(at, "=")) return " Hint: write '==' for an equality; '=' only gives values in declarations.";
  if (is_punct(at, ";")) return " Hint: the statement ends too early: look for a missing operand or an unclosed '(' or '['.";
  if (at.kind == Tok::Invalid && at.text.substr(0, 2) == "/*") return " Hint: close the comment with '*/'.";
  if (at.kind == Tok::Invalid && at.text.substr(0, 1) == "\"") return " Hint: close the string with '\"' on the same line.";
  if (at.kind == Tok::Invalid) return " Hint: '" + std::string(at.text) + "' is not part of the model language; remove it.";
  return {};
}

void ModelParser::fail_if_unsupported(const Token& at) const {
  if (at.kind != Tok::Ident) return;
  if (const Unsupported* u = unsupported_word(at.text)) {
    source_.fail_at("Unsupported construct '" + std::string(u->word) + "': " + std::string(u->advice), at.offset);
  }
}

void ModelParser::syntax_error(const Token& at) const {
  fail_if_unsupported(at);
  if (at.kind == Tok::End) source_.fail_at("Syntax error at end of file", source_.end_of_content());
  source_.fail_at("Syntax error at or near token '" + std::string(at.text) + "'" + hint_for_token(at), at.offset);
}

void ModelParser::fail(const std::string& message, int line) const {
  fail_if_better_said(message, line);
  source_.fail(message + typo_hint(message), line, column_for(message, line));
}

// Messages about a name that is really a construct of the full language we do not take.
void ModelParser::fail_if_better_said(const std::string& message, int line) const {
  bool names_a_word = message.rfind("Undeclared symbol '", 0) == 0 || message.rfind("Unsupported function '", 0) == 0;
  if (const Unsupported* u = names_a_word ? unsupported_word(quoted_name(message)) : nullptr) {
    std::string better = "Unsupported construct '" + std::string(u->word) + "': " + std::string(u->advice);
    source_.fail(better, line, column_for(message, line));
  }
  if (message.rfind("Unsupported initializer", 0) == 0) {  // a value computed with a word we do not take
    for (const Token& t : tokens_) {
      if (t.line == line) fail_if_unsupported(t);
    }
  }
  if (const Token* name = names_a_word ? declared_with_iterator(quoted_name(message), line) : nullptr) {
    source_.fail_at("Unsupported dimension '" + std::string(name->text) +
                        " in ...' in a declaration: write the range or set alone, as in 'x[R]'; computed values "
                        "belong in the .dat file",
                    name->offset);
  }
}

std::string ModelParser::typo_hint(const std::string& message) const {
  std::size_t tuple_type = message.find("': tuple type '");
  if (message.rfind("Unknown symbol '", 0) == 0 && tuple_type != std::string::npos) return field_hint(message, tuple_type);
  bool typo_possible = message.rfind("Undeclared symbol '", 0) == 0 || message.rfind("Unsupported function '", 0) == 0 ||
                       message.rfind("Unsupported decision variable type '", 0) == 0;
  if (!typo_possible || message.find("Hint:") != std::string::npos) return {};
  std::string hint = did_you_mean(quoted_name(message));
  return hint.empty() ? hint : hint + " Otherwise declare the name in the model or give it in the data.";
}

// "Unknown symbol 'cots': tuple type 'T' has no such field": the fields there are, nearest first.
std::string ModelParser::field_hint(const std::string& message, std::size_t tuple_type) const {
  auto type = symbols_.find(quoted_name(message.substr(tuple_type + 2)));
  if (type == symbols_.end() || type->second.fields.empty()) return {};
  std::vector<std::string> names;
  for (const TupleField& f : type->second.fields) names.push_back(f.name);
  std::string match = closest_word(quoted_name(message), names);
  std::string listed;
  for (const std::string& name : names) listed += (listed.empty() ? "'" : ", '") + name + "'";
  return " Hint: " + (match.empty() ? std::string() : "did you mean '" + match + "'? ") + "The fields of '" +
         type->first + "' are " + listed + ".";
}

void ModelParser::missing(std::string_view expected) const {
  const Token& at = peek();
  if (at.kind == Tok::Invalid || is_punct(at, "=")) syntax_error(at);  // their own hints say more
  fail_if_unsupported(at);
  if (pos_ > 0) fail_if_unsupported(tokens_[pos_ - 1]);
  std::string near = at.kind == Tok::End ? "Syntax error at end of file"
                                         : "Syntax error at or near token '" + std::string(at.text) + "'";
  std::string want = std::string(expected);
  // A statement left open is reported where it ends, not at the next line's first token.
  if (expected == ";" && pos_ > 0 && (at.kind == Tok::End || is_punct(at, "}") || at.line > tokens_[pos_ - 1].line)) {
    const Token& last = tokens_[pos_ - 1];
    std::size_t start = statement_start(pos_ - 1);
    std::string what = statement_kind(start);
    source_.fail_at(near + ": expected ';' after " + what + " that starts at line " +
                        std::to_string(tokens_[start].line) + ". Hint: end " + what + " with ';'.",
                    last.offset + last.text.size());
  }
  if (at.kind == Tok::End) source_.fail_at(near + ": expected '" + want + "'", source_.end_of_content());
  std::string hint = hint_for_token(at);
  if (hint.empty() && expected == ";" && at.kind == Tok::Punct && is_comparison_op(at.text)) {
    hint = " Hint: a constraint has one comparison; write 'a <= x <= b' as two constraints, 'a <= x' and 'x <= b'.";
  }
  if (hint.empty()) hint = " Hint: insert '" + want + "' before '" + std::string(at.text) + "', or remove what does not belong.";
  source_.fail_at(near + ": expected '" + want + "'" + hint, at.offset);
}

// The first token of the statement that ends with tokens_[last]: after the ';' before it, or after
// the '{' of the block around it. Brackets, parentheses and set literals are stepped over whole.
std::size_t ModelParser::statement_start(std::size_t last) const {
  int depth = 0;
  for (std::size_t j = last + 1; j-- > 0;) {
    const Token& t = tokens_[j];
    if (t.kind != Tok::Punct) continue;
    if (t.text == ")" || t.text == "]" || t.text == "}") {
      if (t.text == "}" && depth == 0 && j != last && closes_block(j)) return j + 1;
      ++depth;
    } else if (t.text == "(" || t.text == "[" || t.text == "{") {
      if (depth == 0) return j + 1;
      --depth;
    } else if (t.text == ";" && depth == 0) {
      return j + 1;
    }
  }
  return 0;
}

// Whether the '}' at `close` ends a block (subject to, forall, tuple) rather than a set literal or
// a set type: a block's '{' follows a word or a ')'.
bool ModelParser::closes_block(std::size_t close) const {
  int depth = 0;
  for (std::size_t j = close; j-- > 0;) {
    if (is_punct(tokens_[j], "}")) ++depth;
    if (is_punct(tokens_[j], "{") && depth-- == 0) {
      return j > 0 && (tokens_[j - 1].kind == Tok::Ident || is_punct(tokens_[j - 1], ")"));
    }
  }
  return false;
}

// The token `name` on `line` when it is followed by 'in' inside the brackets of a declaration,
// as in 'dvar float x[i in R]', which declares dimensions the way a comprehension would.
const Token* ModelParser::declared_with_iterator(const std::string& name, int line) const {
  for (std::size_t j = 0; j + 1 < tokens_.size(); ++j) {
    const Token& t = tokens_[j];
    if (t.line == line && t.text == name && t.kind == Tok::Ident && tokens_[j + 1].text == "in" && j > 0 &&
        (is_punct(tokens_[j - 1], "[") || is_punct(tokens_[j - 1], ",")) && scope_.empty()) {
      std::size_t start = j;
      while (start > 0 && !is_punct(tokens_[start - 1], ";") && !is_punct(tokens_[start - 1], "}")) --start;
      if (is_declaration_word(tokens_[start].text) && tokens_[start].text != "dexpr") return &t;
    }
  }
  return nullptr;
}

// "the declaration of 'n'", "the objective", "the forall", "the constraint 'cap'", "the constraint".
std::string ModelParser::statement_kind(std::size_t start) const {
  const Token& first = tokens_[start];
  bool tuple_array = first.kind == Tok::Ident && symbols_.count(std::string(first.text)) &&
                     symbols_.at(std::string(first.text)).kind == Kind::TupleType;
  if (is_punct(first, "{") || (first.kind == Tok::Ident && is_declaration_word(first.text)) || tuple_array) {
    for (std::size_t j = start + 1; j < tokens_.size() && j <= pos_; ++j) {
      const Token& t = tokens_[j];
      if (t.kind == Tok::Ident && !is_declaration_word(t.text)) return "the declaration of '" + std::string(t.text) + "'";
    }
    return "the declaration";
  }
  if (first.text == "minimize" || first.text == "maximize") return "the objective";
  if (first.text == "forall") return "the forall";
  if (first.kind == Tok::Ident && start + 1 < tokens_.size() && is_punct(tokens_[start + 1], ":")) {
    return "the constraint '" + std::string(first.text) + "'";
  }
  return "the constraint";
}

// The column of the token an error on `line` is about: the token the message names in quotes,
// nearest to where the parser stands, else the token the parser stands at, else the line's first.
int ModelParser::column_for(const std::string& message, int line) const {
  std::string name = quoted_name(message);
  std::size_t here = std::min(pos_, tokens_.size() - 1);
  const Token* nearest = nullptr;
  const Token* named = nullptr;
  for (std::size_t j = here + 1; j-- > 0 && tokens_[j].line >= line;) {
    const Token& t = tokens_[j];
    if (t.line != line) continue;
    if (!nearest) nearest = &t;
    if (!name.empty() && t.text == name) {
      named = &t;
      break;
    }
  }
  for (std::size_t j = here + 1; !named && j < tokens_.size() && tokens_[j].line <= line; ++j) {
    if (tokens_[j].line == line && !name.empty() && tokens_[j].text == name) named = &tokens_[j];
    if (tokens_[j].line == line && !nearest) nearest = &tokens_[j];
  }
  if (!named && !nearest) {
    auto first = std::find_if(tokens_.begin(), tokens_.end(), [&](const Token& t) { return t.line == line; });
    if (first != tokens_.end()) nearest = &*first;
  }
  const Token* chosen = named ? named : nearest;
  return chosen ? source_.column_at(chosen->offset) : 0;
}

}  // namespace oplparse
