#include "lexer.hpp"

#include <algorithm>
#include <array>

namespace oplparse {
namespace {

bool is_ident_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_ident_char(char c) {
  return is_ident_start(c) || is_digit(c);
}

// Longest first, so that "..." wins over ".." and "<=" over "<".
constexpr std::array<std::string_view, 10> kMultiPunct = {"...", "..", "==", "!=", "<=", ">=", "=>", "->", "&&", "||"};
constexpr std::string_view kSinglePunct = "+-*/%<>=!?:;,.()[]{}#|";

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  std::vector<Token> run() {
    std::vector<Token> tokens;
    while (skip_space_and_comments()) tokens.push_back(next());
    tokens.push_back({Tok::End, text_.substr(text_.size()), line_, text_.size()});
    return tokens;
  }

 private:
  // False at the end of the text. An unterminated block comment becomes an Invalid token.
  bool skip_space_and_comments() { return skip_blanks(text_, pos_, line_); }

  bool starts_with(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

  void count_lines(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) line_ += text_[i] == '\n';
  }

  Token make(Tok kind, std::size_t size) {
    Token t{kind, text_.substr(pos_, size), line_, pos_};
    count_lines(pos_, pos_ + size);
    pos_ += size;
    return t;
  }

  Token next() {
    char c = text_[pos_];
    if (starts_with("/*")) return make(Tok::Invalid, 2);
    if (is_ident_start(c)) return make(Tok::Ident, run_length(is_ident_char));
    if (is_digit(c)) return make(Tok::Number, number_length());
    if (c == '"') return string_token();
    for (std::string_view p : kMultiPunct) {
      if (starts_with(p)) return make(Tok::Punct, p.size());
    }
    if (kSinglePunct.find(c) != std::string_view::npos) return make(Tok::Punct, 1);
    return make(Tok::Invalid, utf8_length(c));
  }

  std::size_t run_length(bool (*member)(char)) const {
    std::size_t end = pos_;
    while (end < text_.size() && member(text_[end])) ++end;
    return end - pos_;
  }

  // Digits, an optional fraction (a dot not followed by a second dot, so 1..n is a range) and an
  // optional exponent.
  std::size_t number_length() const {
    std::size_t end = pos_;
    auto digits = [&] {
      while (end < text_.size() && is_digit(text_[end])) ++end;
    };
    digits();
    if (end < text_.size() && text_[end] == '.' && !(end + 1 < text_.size() && text_[end + 1] == '.')) {
      ++end;
      digits();
    }
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
      std::size_t exp = end + 1;
      if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
      if (exp < text_.size() && is_digit(text_[exp])) {
        end = exp;
        digits();
      }
    }
    return end - pos_;
  }

  Token string_token() {
    std::size_t end = pos_ + 1;
    while (end < text_.size() && text_[end] != '"' && text_[end] != '\n') end += text_[end] == '\\' ? 2 : 1;
    if (end >= text_.size() || text_[end] != '"') return make(Tok::Invalid, std::min(end, text_.size()) - pos_);
    return make(Tok::String, end + 1 - pos_);
  }

  std::size_t utf8_length(char lead) const {
    auto b = static_cast<unsigned char>(lead);
    std::size_t n = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return std::min(n, text_.size() - pos_);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

std::vector<Token> tokenize(std::string_view text) {
  return Lexer(text).run();
}

}  // namespace oplparse
