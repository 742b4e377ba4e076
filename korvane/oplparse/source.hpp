// What every part of the parser shares: the text being parsed, how errors are raised against it,
// and the builder for tree nodes.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

  // 1-based column of the byte at `offset`, counted in characters from the start of its line.
  int column_at(std::size_t offset) const;
  // Just past the last character that is not white space: where "end of file" errors point.
  std::size_t end_of_content() const;

  // raise SemanticError(message, lineno=line, filename=..., col=col); a column of 0 is unknown.
  [[noreturn]] void fail(const std::string& message, int line, int col = 0) const;
  // The same at the line and column of the byte at `offset`.
  [[noreturn]] void fail_at(const std::string& message, std::size_t offset) const;
  // Replaces the pending RecursionError with one that names the line of `offset`, where nesting
  // went too deep, and carries `filename`, `lineno` and `col` like a SemanticError.
  [[noreturn]] void fail_too_deep(std::size_t offset, const std::string& advice) const;

  // The number `written` (a view into this text) as number_from_text reads it; a float literal
  // too large to be finite is an error at its line, so that no inf reaches a model.
  Ref number(std::string_view written, bool is_float) const;
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

// Decision expressions of ordinary models expand to some thousands of nodes; the limit is far
// beyond them and is reached within seconds when nested expressions double at every level.
inline constexpr long long kDefaultExpansionLimit = 250000;

// Where the values of a .dat file stand, kept beside the data dictionary (never in it): the byte
// offset of each assigned name, and the source read. The offsets of the elements or keys of a
// value are found again, by reading its assignment once more, only when an error points at one:
// a large file has hundreds of thousands of them and almost never an error. Lines are computed
// from the offsets only when an error is reported.
struct DataLocations {
  std::unordered_map<std::string, std::size_t> names;
  const Source* source = nullptr;

  // The byte offset of item `index` of `name`'s value when that value is a list, a set or a
  // keyed array (in the order written, which is the order of the list or dictionary), or of the
  // name itself when there is no such item; SIZE_MAX when the name is unknown. Errors take their
  // line and column from it.
  std::size_t offset_of(const std::string& name, std::size_t index = SIZE_MAX) const;
};

// Entry points, one per file kind. With `where`, the data parser records the locations of the
// values it reads.
Ref parse_model_text(const Source& source);
Ref parse_data_text(const Source& source, DataLocations* where = nullptr);

// Checks data read from a .dat file against the declarations of a model tree: values of int
// parameters are integers, and the keys of keyed arrays (parameters and tuple arrays) are elements
// of the declared index sets
// (where those sets are known from the model or the data alone). The first fault raises
// SemanticError with the .dat file's name and the line of the offending value.
void check_data(const Source& data_source, const DataLocations& where, Handle tree, Handle data);

// (model tree, data) for the generators from a syntax tree and its data (instantiate.cpp); the
// source names the model file in errors.
Ref instantiate_model(const Source& source, Handle tree, Handle data);

// The data of an instantiated model after its solve, with the declarations that read the solution
// (variable name -> value) computed over it, and the model's core declarations with those
// declarations' own, and the solution as bound, integer variables rounded: (data, declarations,
// solution) (instantiate.cpp).
Ref evaluate_after_solve(const Source& source, Handle tree, Handle data, Handle solution);

// post_process(tree, data, solution, objective, filename=None) -> (log, values) (post_process.cpp)
Ref post_process(const Call& c);

}  // namespace oplparse
