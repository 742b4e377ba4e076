// What every part of the parser shares: the text being parsed, how errors are raised against it,
// and the builder for tree nodes.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/module.hpp"
#include "common/recursion.hpp"
#include "keys.hpp"

namespace oplparse {

using namespace kv;

// One text being parsed: its UTF-8 bytes (borrowed from the str the caller passed), the file name
// given for it (None or any object) and the module, whose globals hold SemanticError.
struct Source {
  std::string_view text;
  PyObject* filename;
  PyObject* module;

  // 1-based line of the byte at `offset`.
  int line_at(std::size_t offset) const;
  // Line of the last character that is not white space: where "end of file" errors point.
  int last_line() const;

  // raise SemanticError(message, lineno=line), with the file name attached as `filename`.
  [[noreturn]] void fail(const std::string& message, int line) const;
};

// The text of the character that starts at `offset` (a whole UTF-8 sequence).
std::string_view char_at(std::string_view text, std::size_t offset);

// The number written as `text` (digits with an optional sign, fraction and exponent): an int of
// any size, or a float when `is_float`, with Python's own results for overflow and underflow.
Ref number_from_text(std::string_view text, bool is_float);

// The str written between the quotes of a string literal, with its escapes (\n \t \r \" \\ \')
// resolved; any other backslash is kept as written.
Ref string_from_literal(std::string_view body);

struct Field {
  const Key& key;
  Handle value;
};

// {"type": type, key: value, ...} with the keys in the order given.
Ref node(const Key& type, std::initializer_list<Field> fields);

// A copy of a tree of dicts and lists, so that one subtree can appear in several places without
// callers seeing a change in one place show up in another. Other objects are shared.
Ref deep_copy(Handle tree);

// The text after a UTF-8 byte order mark, if it starts with one (encoding.cpp).
std::string_view without_bom(std::string_view text);

// Raises SemanticError at the first byte that is not UTF-8 outside comments (encoding.cpp).
void check_encoding(const Source& source);

// Entry points, one per file kind.
Ref parse_model_text(const Source& source);
Ref parse_data_text(const Source& source);

// (model tree, data) for the generators from a syntax tree and its data (instantiate.cpp); the
// source names the model file in errors.
Ref instantiate_model(const Source& source, Handle tree, Handle data);

}  // namespace oplparse
