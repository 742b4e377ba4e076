// Whether an expression can only take integer values. Two integer values that differ differ by
// at least 1, so "not equal" between them needs a gap of 1; between other values it needs only
// the EPS margin that makes strict comparisons strict, and a gap of 1 would cut off solutions.
#pragma once

#include <cmath>

#include "counting.hpp"

namespace mipwright {

namespace integrality_detail {

// A loop variable of the script runs over integers when its loop is over a range.
inline bool integer_loop_variable(const Gen& g, Handle name) {
  Ref no_ranges = new_dict();
  Ref ranges = getattr(g.self(), K::active_iterator_ranges, no_ranges);
  Ref range = get(ranges, name);
  return is_str(range) && std::string_view(utf8(range)).starts_with("range(");
}

inline bool integer_declaration(const Gen& g, Handle name) {
  Ref decl = g.find_declaration(name);
  if (is_none(decl)) return false;
  if (is_decision_variable(decl)) return str_in(get(decl, K::var_type), {"int", "int+", "boolean"});
  return str_is(get(decl, K::value_type), "int");
}

}  // namespace integrality_detail

// Read from the tree: integer and boolean variables, integer parameters and literals, loop
// variables over ranges, truths of comparisons, and sums, differences and products of these.
// False whenever it cannot tell.
inline bool integer_valued(const Gen& g, Handle node, Handle iterators) {
  using namespace integrality_detail;
  if (!is_dict(node)) return false;
  RecursionGuard guard(" while inspecting an expression");
  auto child = [&](Handle key) { return integer_valued(g, get(node, key), iterators); };
  Ref type = get(node, K::type);
  if (str_is(type, "number")) {
    Ref value = get(node, K::value);
    if (is_int(value)) return true;
    return PyFloat_Check(value.get()) && std::isfinite(as_double(value)) && as_double(value) == std::floor(as_double(value));
  }
  if (str_is(type, "boolean_literal")) return true;
  if (str_is(type, "name")) {
    Ref name = get(node, K::value);
    if (contains(iterators, name)) return integer_loop_variable(g, name);
    return integer_declaration(g, name);
  }
  if (str_is(type, "indexed_name")) return integer_declaration(g, get(node, K::name));
  if (str_is(type, "parenthesized_expression")) return child(K::expression);
  if (str_is(type, "uminus")) return child(K::value);
  if (str_is(type, "sum")) return child(K::expression);
  if (is_counted_comparison(node) || (has_type(node, {"binop", "constraint"}) && str_is(get(node, K::op), "!="))) {
    return true;
  }
  if (has_type(node, {"binop"}) && str_in(get(node, K::op), {"+", "-", "*"})) return child(K::left) && child(K::right);
  return false;
}

}  // namespace mipwright
