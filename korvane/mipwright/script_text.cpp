// The final rewrite of the script text: the model language spells booleans true/false, Python
// spells them True/False.
//
// A bare word is rewritten when neither neighbour is a word character, a quote or a backslash
// (the look-around rules of (?<![\w"'\\])true(?![\w"'\\])). String literals, as repr() and
// json.dumps() write them, are copied unchanged, so data such as 'it is true' survives. Word
// characters are classified by the interpreter itself, as its regular-expression engine does.
#include <vector>

#include "generator.hpp"

namespace mipwright {
namespace {

class Scanner {
 public:
  explicit Scanner(PyObject* text)
      : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), size_(PyUnicode_GET_LENGTH(text)) {}

  Py_ssize_t size() const { return size_; }
  Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

  // True when a neighbour at position i keeps the word from being rewritten.
  bool blocks(Py_ssize_t i) const {
    if (i < 0 || i >= size_) return false;
    Py_UCS4 ch = at(i);
    return ch == '"' || ch == '\'' || ch == '\\' || ch == '_' || Py_UNICODE_ISALNUM(ch);
  }

  bool word_at(Py_ssize_t i, std::string_view word) const {
    if (i + static_cast<Py_ssize_t>(word.size()) > size_) return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
      if (at(i + static_cast<Py_ssize_t>(k)) != static_cast<Py_UCS4>(word[k])) return false;
    }
    return !blocks(i - 1) && !blocks(i + static_cast<Py_ssize_t>(word.size()));
  }

 private:
  int kind_;
  const void* data_;
  Py_ssize_t size_;
};

// Positions of the first letters of the bare words to capitalise.
std::vector<Py_ssize_t> find_boolean_words(const Scanner& s) {
  std::vector<Py_ssize_t> hits;
  Py_UCS4 quote = 0;  // the quote character of the string literal being read, or 0
  for (Py_ssize_t i = 0; i < s.size(); ++i) {
    Py_UCS4 ch = s.at(i);
    if (ch == '\n') {  // generated literals never span lines
      quote = 0;
    } else if (quote != 0) {
      if (ch == '\\' && i + 1 < s.size() && s.at(i + 1) != '\n') {
        ++i;
      } else if (ch == quote) {
        quote = 0;
      }
    } else if (ch == '\'' || ch == '"') {
      quote = ch;
    } else if (ch == 't' && s.word_at(i, "true")) {
      hits.push_back(i);
      i += 3;
    } else if (ch == 'f' && s.word_at(i, "false")) {
      hits.push_back(i);
      i += 4;
    }
  }
  return hits;
}

}  // namespace

Ref rewrite_boolean_words(Handle text) {
  if (!PyUnicode_Check(text.get())) raise(PyExc_TypeError, "script text must be str");
  Scanner scanner(text);
  std::vector<Py_ssize_t> hits = find_boolean_words(scanner);
  if (hits.empty()) return Ref::borrow(text);
  Ref out = check(PyUnicode_New(scanner.size(), PyUnicode_MAX_CHAR_VALUE(text.get())));
  if (PyUnicode_CopyCharacters(out.get(), 0, text, 0, scanner.size()) < 0) throw PyErrorSet{};
  for (Py_ssize_t at : hits) {
    check_status(PyUnicode_WriteChar(out.get(), at, scanner.at(at) == 't' ? 'T' : 'F'));
  }
  return out;
}

}  // namespace mipwright
