// The .dat parser: `name = value;` assignments into a dictionary.
//
// Data files can be large (matrices of a million entries), so this parser scans the bytes
// directly instead of going through a token list: numbers are read in place with from_chars,
// ASCII strings are copied straight into new str objects, and the elements of a container are
// collected on one shared stack and moved into a list of the right size in one go. Line numbers
// are only computed when an error is reported.
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/collector.hpp"
#include "common/prefault.hpp"
#include "shared_values.hpp"
#include "source.hpp"

namespace oplparse {
namespace {

constexpr std::string_view kDatSyntaxError = "Syntax error in .dat file at or near token '";

bool is_ident_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident_char(char c) {
  return is_ident_start(c) || (c >= '0' && c <= '9');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Characters that may start a token of a .dat file; anything else is reported as illegal.
bool is_legal_start(char c) {
  return is_ident_char(c) || (c != '\0' && std::strchr("\"-+.=;,:[]{}<>#/", c) != nullptr);
}

// How a container's elements are kept: lists for values, tuples inside the keys of keyed arrays
// (dictionary keys must be hashable).
enum class Shape { Value, Key };

// The elements of one set literal, for the check that none repeats. An element written <...> is a
// list here and stands for the tuple of its items: it is hashed and compared as that tuple would
// be (so 1, 1.0 and true are one element, as in Python), without building the tuple. The elements
// stay on the parser's stack until the set is complete; the table refers to them by their
// position there, in 8-byte slots, so that a set of a million elements keeps its table small.
class ElementSet {
 public:
  ElementSet(const PopulatedVector<Ref>& stack, std::size_t base) : stack_(stack), base_(base) {}

  // False when an equal element is already in; elements that cannot be keys (keyed arrays) are
  // never equal to anything. The element is the one on top of the stack.
  bool insert_last() {
    PyObject* element = stack_.back().get();
    std::optional<Py_hash_t> hash = hash_of(element);
    if (!hash) return true;
    if (4 * (count_ + 1) > 3 * slots_.size()) grow();
    std::uint64_t mixed = static_cast<std::uint64_t>(*hash) * 0x9e3779b97f4a7c15ULL;
    auto check = static_cast<std::uint32_t>(mixed ^ (mixed >> 32));
    std::size_t mask = slots_.size() - 1, i = check & mask;
    for (; slots_[i].position != 0; i = (i + 1) & mask) {
      if (slots_[i].check == check && equal(element_at(slots_[i]), element)) return false;
    }
    slots_[i] = {check, static_cast<std::uint32_t>(stack_.size() - base_)};
    ++count_;
    return true;
  }

 private:
  struct Slot {
    std::uint32_t check = 0;     // the element's hash, mixed; its low bits choose the slot
    std::uint32_t position = 0;  // 1 + the element's place in the set; 0 for a free slot
  };

  PyObject* element_at(Slot s) const { return stack_[base_ + s.position - 1].get(); }

  static std::optional<Py_hash_t> hash_of(PyObject* element) {
    if (PyDict_Check(element)) return std::nullopt;
    if (!PyList_Check(element)) {
      Py_hash_t h = PyObject_Hash(element);
      if (h == -1 && PyErr_Occurred()) throw PyErrorSet{};
      return h;
    }
    RecursionGuard guard(" while parsing .dat data");
    auto h = static_cast<std::size_t>(PyList_GET_SIZE(element)) + 0x345678;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(element); ++i) {
      std::optional<Py_hash_t> part = hash_of(PyList_GET_ITEM(element, i));
      if (!part) return std::nullopt;
      h = (h ^ static_cast<std::size_t>(*part)) * 0x9e3779b97f4a7c15ULL;
      h ^= h >> 29;
    }
    return static_cast<Py_hash_t>(h);
  }

  static bool equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyList_Check(a) != PyList_Check(b)) return false;
    if (!PyList_Check(a)) {
      int same = PyObject_RichCompareBool(a, b, Py_EQ);
      check_status(same);
      return same == 1;
    }
    if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return false;
    RecursionGuard guard(" while parsing .dat data");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a); ++i) {
      if (!equal(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i))) return false;
    }
    return true;
  }

  void grow() {
    PopulatedVector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.position == 0) continue;
      std::size_t i = s.check & mask;
      while (slots_[i].position != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  const PopulatedVector<Ref>& stack_;
  std::size_t base_;
  PopulatedVector<Slot> slots_;
  std::size_t count_ = 0;
};

class DataParser {
 public:
  DataParser(const Source& source, DataLocations* where)
      : source_(source), where_(where), begin_(source.text.data()), p_(begin_), end_(begin_ + source.text.size()) {
    stack_.reserve(1024);
  }

  // The data dictionary; nesting deeper than the interpreter allows is reported at its line.
  Ref parse() {
    try {
      return assignments();
    } catch (const PyErrorSet&) {
      if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
    }
    source_.fail_too_deep(static_cast<std::size_t>(p_ - begin_), "write the values with fewer levels of brackets");
  }

  // The offsets of the items of the value assigned at `start`, read again (the file was read
  // without an error before).
  std::vector<std::size_t> item_offsets(std::size_t start) {
    std::vector<std::size_t> items;
    items_ = &items;
    p_ = begin_ + start;
    identifier();
    expect('=');
    assigned_value();
    return items;
  }

 private:
  Ref assignments() {
    Ref data = new_dict();
    std::unordered_map<std::string_view, std::size_t> first;  // of each name, for the error of a repeat
    for (skip_space(); p_ != end_; skip_space()) {
      if (!is_ident_start(*p_)) fail_here();
      std::size_t start = offset();
      Ref name = interned(identifier());
      name_ = utf8(name);
      if (auto [seen, added] = first.try_emplace(name_, start); !added) {
        fail_at("Data item '" + std::string(name_) + "' is assigned twice (first at line " +
                    std::to_string(source_.line_at(seen->second)) +
                    ") Hint: give each name one value; remove or rename the other assignment.",
                start);
      }
      if (where_ != nullptr) where_->names[std::string(name_)] = start;
      refuse_connection(name_, begin_ + start);
      skip_space();
      if (p_ != end_ && is_ident_start(*p_)) {
        const char* word_start = p_;
        Ref direction = identifier();
        if (utf8(direction) == "from" || utf8(direction) == "to") refuse("name " + text(direction) + " ...", begin_ + start);
        p_ = word_start;
        fail_here();
      }
      expect('=');
      Ref value = assigned_value();
      end_assignment(begin_ + start);
      check_status(PyDict_SetItem(data.get(), name.get(), value.get()));
    }
    return data;
  }

  // Names repeat across files and become dictionary keys: share one object per name.
  static Ref interned(Ref name) {
    PyObject* raw = name.release();
    PyUnicode_InternInPlace(&raw);  // swaps in the interned object, references accounted for
    return Ref::steal(raw);
  }

  void skip_space() {
    while (p_ != end_) {
      char c = *p_;
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
        ++p_;
      } else if (c == '/' && p_ + 1 != end_ && p_[1] == '/') {
        const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
        p_ = nl ? static_cast<const char*>(nl) : end_;
      } else if (c == '/' && p_ + 1 != end_ && p_[1] == '*') {
        std::string_view rest(p_ + 2, static_cast<std::size_t>(end_ - p_ - 2));
        std::size_t close = rest.find("*/");
        if (close == std::string_view::npos) fail_here();
        p_ += 2 + close + 2;
      } else {
        return;
      }
    }
  }

  bool at(char c) {
    skip_space();
    return p_ != end_ && *p_ == c;
  }

  void expect(char c) {
    if (!at(c)) fail_here();
    ++p_;
  }

  // Spreadsheets and databases are read by the modelling environment, not by this compiler.
  [[noreturn]] void refuse(std::string_view word, const char* at) const {
    source_.fail("Unsupported '" + std::string(word) +
                     "' in the .dat file: reading data from spreadsheets and databases is not supported; write the "
                     "values in the .dat file instead",
                 source_.line_at(static_cast<std::size_t>(at - begin_)));
  }

  void refuse_connection(std::string_view word, const char* at) const {
    for (std::string_view w : {"SheetConnection", "DBConnection", "SheetRead", "DBRead", "SheetWrite", "DBWrite",
                               "DBExecute", "DBUpdate"}) {
      if (word == w) refuse(word, at);
    }
  }

  // The value of an assignment: any value, or a range `a..b`.
  Ref assigned_value() {
    skip_space();
    if (p_ != end_ && (is_digit(*p_) || *p_ == '-')) {
      Ref first = number();
      skip_space();
      if (end_ - p_ >= 2 && p_[0] == '.' && p_[1] == '.') {
        p_ += 2;
        skip_space();
        if (p_ == end_ || !(is_digit(*p_) || *p_ == '-')) fail_here();
        Ref last = number();
        return node(K::range_data, {{K::start, first}, {K::end, last}});
      }
      return first;
    }
    return value(Shape::Value);
  }

  Ref value(Shape shape) {
    skip_space();
    if (p_ == end_) fail_here();
    switch (*p_) {
      case '[':
        return container(']', shape);
      case '{':
        return container('}', shape);
      case '<':
        return container('>', shape);
      case '#':
        // A keyed array is a dictionary, which cannot be the key of another one.
        if (shape == Shape::Value && p_ + 1 != end_ && p_[1] == '[') return keyed_array(shape);
        fail_here();
      case '"':
        return string();
      case '-':
        return number();
      case '.':
        if (p_ + 1 != end_ && is_digit(p_[1])) return number();
        fail_here();
      default:
        if (is_digit(*p_)) return number();
        if (is_ident_start(*p_)) return word();
        fail_here();
    }
  }

  // `[...]`, `{...}` and `<...>`; commas between elements are optional. A set holds each element
  // once: a repeated one is an error rather than silently merged.
  Ref container(char close, Shape shape) {
    RecursionGuard guard(" while parsing .dat data");
    Depth depth(depth_);
    ++p_;
    std::size_t base = stack_.size();
    std::optional<ElementSet> seen;
    if (close == '}') seen.emplace(stack_, base);
    while (!at(close)) {
      std::size_t start = record_item();
      stack_.push_back(value(shape));
      if (range_follows()) {
        expand_range(close, start, seen);
      } else if (seen) {
        add_element(*seen, start);
      }
      skip_separator();
    }
    ++p_;
    return pop_items(base, shape);
  }

  bool range_follows() {
    skip_space();
    return end_ - p_ >= 2 && p_[0] == '.' && p_[1] == '.';
  }

  // `{1..5}` in a set: the integers from the element just read to the one after `..`. In a list
  // the number of values would depend on the bounds, so a range there is refused by name.
  void expand_range(char close, std::size_t start, std::optional<ElementSet>& seen) {
    if (close != '}') {
      fail_at("Unsupported range 'a..b' inside " + std::string(close == ']' ? "a list" : "a tuple") + " of '" +
                  std::string(name_) + "' in the .dat file Hint: write the values one by one, or use a set {a..b}.",
              start);
    }
    Ref first = std::move(stack_.back());
    stack_.pop_back();
    p_ += 2;
    skip_space();
    if (p_ == end_ || !(is_digit(*p_) || *p_ == '-')) fail_here();
    Ref last = number();
    if (is_bool(first) || !is_int(first) || !is_int(last)) {
      fail_at("Unsupported range in the set of '" + std::string(name_) +
                  "': the bounds of a..b must be integers Hint: write the elements one by one.",
              start);
    }
    long long lo = PyLong_AsLongLong(first.get()), hi = PyLong_AsLongLong(last.get());
    if (PyErr_Occurred()) throw PyErrorSet{};
    if (hi - lo >= 10000000) fail_at("Range of more than 10,000,000 elements in the set of '" + std::string(name_) + "'", start);
    for (long long k = lo; k <= hi; ++k) {
      stack_.push_back(py_int(k));
      add_element(*seen, start);
    }
  }

  // The element on top of the stack, checked against those read before it in the same set.
  void add_element(ElementSet& seen, std::size_t start) {
    if (seen.insert_last()) return;
    fail_at("Duplicate element " + repr_text(stack_.back()) + " in the set of '" + std::string(name_) +
                "' Hint: list each element of a set once.",
            start);
  }

  // The offset of the element or key about to be read, recorded when it is an item of a value
  // assigned at the top level.
  std::size_t record_item() {
    skip_space();
    std::size_t at = offset();
    if (items_ != nullptr && depth_ == 1) items_->push_back(at);
    return at;
  }

  // An optional comma, also after the last element.
  void skip_separator() {
    if (at(',')) ++p_;
  }

  Ref pop_items(std::size_t base, Shape shape) {
    auto n = static_cast<Py_ssize_t>(stack_.size() - base);
    Ref out = check(shape == Shape::Key ? PyTuple_New(n) : PyList_New(n));
    if (shape == Shape::Value && n * sizeof(PyObject*) >= kPopulateFrom) {
      populate(reinterpret_cast<PyListObject*>(out.get())->ob_item, n * sizeof(PyObject*));  // a fresh block
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* element = stack_[base + static_cast<std::size_t>(i)].release();
      if (shape == Shape::Key) {
        PyTuple_SET_ITEM(out.get(), i, element);
      } else {
        PyList_SET_ITEM(out.get(), i, element);
      }
    }
    stack_.resize(base);
    return out;
  }

  // `#[ key: value, ... ]#`: a dictionary; tuple keys become Python tuples.
  Ref keyed_array(Shape shape) {
    RecursionGuard guard(" while parsing .dat data");
    Depth depth(depth_);
    p_ += 2;
    Ref out = new_dict();
    while (!(at(']') && p_ + 1 != end_ && p_[1] == '#')) {
      std::size_t start = record_item();
      Ref key = value(Shape::Key);
      int present = PyDict_Contains(out.get(), key.get());
      check_status(present);
      if (present) {
        fail_at("Duplicate key " + repr_text(key) + " in the keyed array of '" + std::string(name_) +
                    "' Hint: give each key one value.",
                start);
      }
      expect(':');
      Ref entry = value(shape);
      check_status(PyDict_SetItem(out.get(), key.get(), entry.get()));
      skip_separator();
    }
    p_ += 2;
    return out;
  }

  // true, false, or an unquoted name, which stands for the string of its letters: {GARY CLEV}.
  Ref word() {
    const char* start = p_;
    while (p_ != end_ && is_ident_char(*p_)) ++p_;
    std::string_view text(start, static_cast<std::size_t>(p_ - start));
    if (text == "true") return py_bool(true);
    if (text == "false") return py_bool(false);
    refuse_connection(text, start);
    return strings_.get(text);
  }

  Ref identifier() {
    const char* start = p_;
    while (p_ != end_ && is_ident_char(*p_)) ++p_;
    return py_str(std::string_view(start, static_cast<std::size_t>(p_ - start)));
  }

  // An int stays an int (of any size); a number with a fraction or an exponent is a float.
  Ref number() {
    const char* start = p_;
    bool detached_sign = false;
    if (*p_ == '-') {
      ++p_;
      skip_space();
      detached_sign = p_ != start + 1;
    }
    const char* digits = p_;
    while (p_ != end_ && is_digit(*p_)) ++p_;
    bool fraction_only = p_ == digits && p_ + 1 < end_ && *p_ == '.' && is_digit(p_[1]);  // .5
    if (p_ == digits && !fraction_only) fail_here();
    bool is_float = false;
    if (p_ != end_ && *p_ == '.' && !(p_ + 1 != end_ && p_[1] == '.')) {
      is_float = true;
      ++p_;
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      const char* q = p_ + 1;
      if (q != end_ && (*q == '+' || *q == '-')) ++q;
      if (q != end_ && is_digit(*q)) {
        is_float = true;
        for (p_ = q; p_ != end_ && is_digit(*p_);) ++p_;
      }
    }
    const char* first = detached_sign ? digits : start;
    Ref value = source_.number(std::string_view(first, static_cast<std::size_t>(p_ - first)), is_float);
    return detached_sign ? check(PyNumber_Negative(value.get())) : std::move(value);
  }

  // A string ends on its line, as the encoding check and the model's strings have it (a newline
  // is written \n, or escaped with a backslash); one left open there is an error at its quote.
  Ref string() {
    const char* start = ++p_;
    bool escaped = false;
    unsigned char high = 0;
    while (p_ != end_ && *p_ != '"' && *p_ != '\n') {
      if (*p_ == '\\') {
        escaped = true;
        if (++p_ == end_) break;
      }
      high |= static_cast<unsigned char>(*p_++);
    }
    if (p_ == end_) fail_here();
    if (*p_ == '\n') {
      p_ = start - 1;
      fail_here();
    }
    std::string_view body(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    if (high >= 0x80 || escaped) return string_from_literal(body);
    return strings_.get(body);
  }

  std::size_t offset() const { return static_cast<std::size_t>(p_ - begin_); }

  [[noreturn]] void fail_at(const std::string& message, std::size_t at) const { source_.fail_at(message, at); }

  // Counts the containers open around the value being read.
  struct Depth {
    int& depth;
    explicit Depth(int& d) : depth(++d) {}
    ~Depth() { --depth; }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
  };

  // The ';' after the assignment that starts at `start`. One left out is reported where the
  // value ends, naming the assignment, rather than at the next line's name.
  void end_assignment(const char* start) {
    if (at(';')) {
      ++p_;
      return;
    }
    auto offset_of = [&](const char* p) { return static_cast<std::size_t>(p - begin_); };
    const char* value_end = p_;
    while (value_end > start && std::strchr(" \t\r\n", value_end[-1]) != nullptr) --value_end;
    if (p_ != end_ && source_.line_at(offset_of(p_)) == source_.line_at(offset_of(value_end))) fail_here();
    std::string near = p_ == end_ ? "at end of file" : "at or near token '" + std::string(token_text(offset_of(p_))) + "'";
    source_.fail_at("Syntax error in .dat file " + near + ": expected ';' after the assignment to '" +
                        std::string(token_text(offset_of(start))) + "' that starts at line " +
                        std::to_string(source_.line_at(offset_of(start))) + ". Hint: end the assignment with ';'.",
                    offset_of(value_end));
  }

  // Reports the position p_ stands at: end of file, an illegal character, or the token there.
  [[noreturn]] void fail_here() {
    auto offset = static_cast<std::size_t>(p_ - begin_);
    if (p_ == end_) source_.fail_at("Syntax error in .dat file at end of file", source_.end_of_content());
    if (!is_legal_start(*p_)) {
      source_.fail_at("Illegal character in .dat file: '" + std::string(char_at(source_.text, offset)) + "'", offset);
    }
    source_.fail_at(std::string(kDatSyntaxError) + std::string(token_text(offset)) + "'", offset);
  }

  std::string_view token_text(std::size_t offset) const {
    std::string_view rest = source_.text.substr(offset);
    std::size_t n = 1;
    if (is_ident_char(rest[0])) {
      while (n < rest.size() && (is_ident_char(rest[n]) || (is_digit(rest[0]) && rest[n] == '.' &&
                                                            !(n + 1 < rest.size() && rest[n + 1] == '.')))) {
        ++n;
      }
    } else if (rest[0] == '"') {
      std::size_t close = rest.find_first_of("\"\n", 1);
      n = close == std::string_view::npos ? rest.size() : rest[close] == '"' ? close + 1 : close;
    } else if (rest.substr(0, 2) == ".." || rest.substr(0, 2) == "#[" || rest.substr(0, 2) == "]#") {
      n = 2;
    }
    return rest.substr(0, n);
  }

  const Source& source_;
  DataLocations* where_;
  std::vector<std::size_t>* items_ = nullptr;  // the item offsets of the value being read, when wanted
  std::string_view name_;                      // the name being assigned, for messages
  int depth_ = 0;
  const char* begin_;
  const char* p_;
  const char* end_;
  PopulatedVector<Ref> stack_;                             // elements of the containers being read, innermost last
  SharedStrings strings_;                              // ASCII strings read so far, by their text
};

}  // namespace

std::size_t DataLocations::offset_of(const std::string& name, std::size_t index) const {
  auto it = names.find(name);
  if (it == names.end()) return SIZE_MAX;
  if (index == SIZE_MAX || source == nullptr) return it->second;
  PauseCollector pause;
  std::vector<std::size_t> items;
  try {
    items = DataParser(*source, nullptr).item_offsets(it->second);
  } catch (const PyErrorSet&) {
    PyErr_Clear();  // not read again (nested too deep for the stack left here): the name points
  }
  return index < items.size() ? items[index] : it->second;
}

Ref parse_data_text(const Source& source, DataLocations* where) {
  // Nothing built here can be part of a reference cycle until it is returned, so the cyclic
  // collector has nothing to find while a large file is read; it would still walk every new list
  // again and again. It is paused for the parse and resumed as it was.
  PauseCollector pause;
  if (where != nullptr) where->source = &source;
  return DataParser(source, where).parse();
}

}  // namespace oplparse
