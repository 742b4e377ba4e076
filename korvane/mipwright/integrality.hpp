// The step of the values an expression can take: the least D for which every value it takes is a
// multiple of 1/D (D = 1: an integer). Two such values that differ differ by 1/D at least, so
// "not equal" between them needs that gap, where EPS (the margin that makes strict comparisons
// strict) would drown in the solver's integrality tolerance once multiplied by a big-M, and a gap
// of 1 would cut off solutions.
#pragma once

#include <optional>

#include "common/value_step.hpp"
#include "counting.hpp"
#include "functions.hpp"

namespace mipwright {

namespace integrality_detail {

// The range text of each loop variable of the enclosing foralls and sums.
inline Ref active_ranges(const Gen& g) {
  Ref no_ranges = new_dict();
  return getattr(g.self(), K::active_iterator_ranges, no_ranges);
}

inline bool is_loop_variable(const Gen& g, Handle name) {
  return contains(active_ranges(g), name);
}

// A loop variable of the script runs over integers when its loop is over a range.
inline bool integer_loop_variable(const Gen& g, Handle name) {
  Ref range = get(active_ranges(g), name);
  return is_str(range) && std::string_view(utf8(range)).starts_with("range(");
}

// Integer and boolean variables, integer parameters, and parameters whose value is known.
inline std::optional<long long> step_of_declared(const Gen& g, Handle name) {
  Ref decl = g.find_declaration(name);
  if (is_none(decl)) return std::nullopt;
  if (is_decision_variable(decl)) {
    if (str_in(get(decl, K::var_type), {"int", "int+", "boolean"})) return 1;
    return std::nullopt;
  }
  if (str_is(get(decl, K::value_type), "int")) return 1;
  Ref value = get(g.attr(K::data_dict), name);
  if (is_int(value)) return 1;
  if (PyFloat_Check(value.get())) return step_of(as_double(value));
  return std::nullopt;
}

}  // namespace integrality_detail

// Read from the tree: literals, variables and parameters, loop variables over ranges, truths of
// comparisons, and sums, differences, products and quotients by whole numbers of these. Nothing
// whenever it cannot tell.
inline std::optional<long long> value_step(const Gen& g, Handle node, Handle iterators) {
  using namespace integrality_detail;
  if (!is_dict(node)) return std::nullopt;
  RecursionGuard guard(" while inspecting an expression");
  auto child = [&](Handle key) { return value_step(g, get(node, key), iterators); };
  Ref type = get(node, K::type);
  if (str_is(type, "number")) {
    Ref value = get(node, K::value);
    if (is_int(value)) return 1;
    return PyFloat_Check(value.get()) ? step_of(as_double(value)) : std::nullopt;
  }
  if (str_is(type, "boolean_literal")) return 1;
  if (str_is(type, "name")) {
    Ref name = get(node, K::value);
    if (contains(iterators, name) || is_loop_variable(g, name)) {
      return integer_loop_variable(g, name) ? std::optional<long long>(1) : std::nullopt;
    }
    return step_of_declared(g, name);
  }
  if (str_is(type, "indexed_name")) return step_of_declared(g, get(node, K::name));
  if (str_is(type, "parenthesized_expression")) return child(K::expression);
  if (str_is(type, "uminus")) return child(K::value);
  if (str_is(type, "sum")) return child(K::expression);
  if (is_counted_comparison(node) || (has_type(node, {"binop", "constraint"}) && str_is(get(node, K::op), "!="))) {
    return 1;
  }
  if (is_linearised_function(g, node)) {
    // abs, max and min take values of their operands (or their negations): the operands' grid.
    if (has_type(node, {"max_agg", "min_agg"})) return child(K::expression);
    std::optional<long long> step = 1;
    for (Ref& arg : Iterate(get(node, K::args))) step = combined_step(step, value_step(g, arg, iterators));
    return step;
  }
  if (!has_type(node, {"binop"})) return std::nullopt;
  Ref op = get(node, K::op);
  if (str_in(op, {"+", "-"})) return combined_step(child(K::left), child(K::right), false);
  if (str_is(op, "*")) return combined_step(child(K::left), child(K::right), true);
  // A quotient by a whole number n: the step is n times finer.
  Ref divisor = get(node, K::right);
  if (str_is(op, "/") && has_type(divisor, {"number"}) && is_int(get(divisor, K::value)) &&
      !eq(get(divisor, K::value), py_int(0))) {
    long long n = std::llabs(PyLong_AsLongLong(get(divisor, K::value).get()));
    if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
    return combined_step(child(K::left), n, true);
  }
  return std::nullopt;
}

inline bool integer_valued(const Gen& g, Handle node, Handle iterators) {
  return value_step(g, node, iterators) == 1;
}

// The least amount by which left - right is away from zero when it is not zero: the step of
// the grid both sides are on (1 between integer sides), else EPS. A binary that switches a row
// may sit within the solver's integrality tolerance of its value; times a big-M, that slack
// would swallow an EPS margin, but not a whole step.
inline Ref comparison_margin(const Gen& g, Handle left, Handle right, Handle iterators) {
  std::optional<long long> step = combined_step(value_step(g, left, iterators), value_step(g, right, iterators));
  if (!step) return g.global(K::EPS);
  return *step == 1 ? py_int(1) : py_float(1.0 / static_cast<double>(*step));
}

}  // namespace mipwright
