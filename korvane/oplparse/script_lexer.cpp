#include "script_lexer.hpp"

#include <array>

#include "lexer.hpp"
#include "script.hpp"

namespace oplparse::script {
namespace {

bool ident_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}

// Longest first.
constexpr std::array<std::string_view, 17> kMulti = {"===", "!==", "==", "!=", "<=", ">=", "&&", "||", "++",
                                                     "--",  "+=",  "-=", "*=", "/=", "%=", "..", "=>"};
constexpr std::string_view kSingle = "+-*/%<>=!?:;,.()[]{}&|";

class BlockLexer {
 public:
  BlockLexer(std::string_view text, std::size_t offset, int line)
      : text_(text), pos_(offset), line_(line), start_line_(line) {}

  std::vector<SToken> run() {
    std::vector<SToken> tokens;
    int depth = 0;
    bool opened = false;
    while (skip_space()) {
      SToken t = next();
      if (t.kind == STok::Punct && t.text == "{") {
        ++depth;
        opened = true;
      } else if (t.kind == STok::Punct && t.text == "}") {
        --depth;
      }
      tokens.push_back(std::move(t));
      if (opened && depth == 0) break;
    }
    if (!opened || depth != 0) throw ModelError{"Unterminated script block: a closing '}' is missing", start_line_};
    tokens.push_back({STok::End, text_.substr(pos_, 0), line_, pos_, {}});
    return tokens;
  }

 private:
  bool skip_space() {
    if (!skip_blanks(text_, pos_, line_)) return false;
    if (text_.substr(pos_, 2) == "/*") throw ModelError{"Unterminated comment in a script block", line_};
    return true;
  }

  void advance_to(std::size_t end) {
    for (; pos_ < end; ++pos_) line_ += text_[pos_] == '\n';
  }

  SToken make(STok kind, std::size_t size, std::string value = {}) {
    SToken t{kind, text_.substr(pos_, size), line_, pos_, std::move(value)};
    advance_to(pos_ + size);
    return t;
  }

  SToken next() {
    char c = text_[pos_];
    if (ident_start(c)) {
      std::size_t end = pos_;
      while (end < text_.size() && (ident_start(text_[end]) || digit(text_[end]))) ++end;
      return make(STok::Ident, end - pos_);
    }
    if (digit(c) || (c == '.' && pos_ + 1 < text_.size() && digit(text_[pos_ + 1]))) return make(STok::Number, number_length());
    if (c == '"' || c == '\'') return string(c);
    for (std::string_view p : kMulti) {
      if (text_.substr(pos_, p.size()) == p) return make(STok::Punct, p.size());
    }
    if (kSingle.find(c) != std::string_view::npos) return make(STok::Punct, 1);
    throw ModelError{"Unexpected character '" + std::string(char_at(text_, pos_)) + "' in a script block", line_};
  }

  std::size_t number_length() const {
    std::size_t end = pos_;
    while (end < text_.size() && digit(text_[end])) ++end;
    if (end < text_.size() && text_[end] == '.' && !(end + 1 < text_.size() && text_[end + 1] == '.')) {
      ++end;
      while (end < text_.size() && digit(text_[end])) ++end;
    }
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
      std::size_t exp = end + 1;
      if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
      if (exp < text_.size() && digit(text_[exp])) {
        end = exp;
        while (end < text_.size() && digit(text_[end])) ++end;
      }
    }
    return end - pos_;
  }

  SToken string(char quote) {
    std::string value;
    std::size_t end = pos_ + 1;
    for (;; ++end) {
      if (end >= text_.size() || text_[end] == '\n') throw ModelError{"Unterminated string in a script block", line_};
      char c = text_[end];
      if (c == quote) break;
      if (c != '\\' || end + 1 >= text_.size()) {
        value += c;
        continue;
      }
      char e = text_[++end];
      switch (e) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case '\n': break;  // a continued line
        default: value += e;
      }
    }
    return make(STok::String, end + 1 - pos_, std::move(value));
  }

  std::string_view text_;
  std::size_t pos_;
  int line_;
  int start_line_;
};

}  // namespace

std::vector<SToken> tokenize_block(std::string_view text, std::size_t offset, int line) {
  return BlockLexer(text, offset, line).run();
}

}  // namespace oplparse::script
