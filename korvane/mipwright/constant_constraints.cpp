// Comparison constraints without decision variables. Handed to the solver they would be a bare
// True or False, which gurobipy cannot take as a constraint. Their truth is known without the
// solver: one over literals alone is decided here (true: dropped with a note; false: an error
// naming it); one that reads data or loop variables is checked by the script when it runs, which
// stops with the same error instead of building a model that cannot be solved.
#include "constant_constraints.hpp"

namespace mipwright {
namespace {

// An expression of literals and operators only: its value is the same in every script.
bool literal_only(Handle node) {
  if (!is_dict(node)) return false;
  RecursionGuard guard(" while inspecting an expression");
  Ref type = get(node, K::type);
  if (str_in(type, {"number", "boolean_literal", "string_literal"})) return true;
  if (str_in(type, {"binop", "and", "or"})) return literal_only(get(node, K::left)) && literal_only(get(node, K::right));
  if (str_in(type, {"uminus", "not"})) return literal_only(get(node, K::value));
  if (str_is(type, "parenthesized_expression")) return literal_only(get(node, K::expression));
  if (str_is(type, "conditional")) {
    return literal_only(get(node, K::condition)) && literal_only(get(node, K::then)) &&
           literal_only(get(node, K::else_));
  }
  return false;
}

bool contains_sum(Handle node) {
  if (is_list(node)) {
    for (Ref& item : Iterate(node)) {
      if (contains_sum(item)) return true;
    }
    return false;
  }
  if (!is_dict(node)) return false;
  RecursionGuard guard(" while inspecting an expression");
  if (str_is(get(node, K::type), "sum")) return true;
  for (Ref& value : Iterate(check(PyDict_Values(node)))) {
    if (contains_sum(value)) return true;
  }
  return false;
}

// The script text of one side, as a number the script can compare. A sum is written with
// gp.quicksum, whose result is an expression object even over data alone; its constant is the
// number.
std::string side_text(const Gen& g, Handle side, Handle iterators) {
  std::string text_of_side = text(g.traverse_symbolic(side, iterators));
  if (!contains_sum(side)) return "(" + text_of_side + ")";
  return "(lambda v: v.getConstant() if hasattr(v, 'getConstant') else v)(" + text_of_side + ")";
}

// The value of the script's own text for an expression of literals: Python decides, as it would
// when the script runs.
bool evaluate_literal_condition(const std::string& condition) {
  Ref builtins = import("builtins");
  Ref no_names = new_dict();
  set_item(no_names, py_str("__builtins__"), new_dict());
  return truthy(call(attr(builtins, "eval"), py_str(condition), no_names));
}

}  // namespace

bool settle_constant_constraint(const Gen& g, Handle node, Handle prefix, Handle iterators) {
  if (!has_type(node, {"constraint"}) || !contains(node, K::left) || !contains(node, K::right)) return false;
  Ref left = item(node, K::left), right = item(node, K::right);
  for (Handle side : {Handle(left), Handle(right)}) {
    if (truthy(call_method(g.self(), K::expr_depends_on_decision_var, side))) return false;
  }
  std::string condition = side_text(g, left, iterators);
  condition.append(" ").append(text(item(node, K::op))).append(" ").append(side_text(g, right, iterators));
  std::string name = text(call_method(g.self(), K::format_name_expr, prefix));
  if (!literal_only(left) || !literal_only(right)) {
    g.emit("if not (" + condition + "):");
    g.indent(1);
    g.emit("raise ValueError('Constraint ' + " + name + " + ' can never hold: it has no decision variables, and ' + " +
           repr_text(py_str(condition)) + " + ' is false.')");
    g.indent(-1);
    return true;
  }
  if (!evaluate_literal_condition(condition)) {
    g.semantic_error("Constraint " + name + " can never hold: it has no decision variables, and " + condition +
                         " is false.",
                     get(node, K::lineno));
  }
  g.emit("# Constraint " + name + " has no decision variables and always holds: dropped.");
  g.info("Constraint %s has no decision variables and always holds: dropped.", py_str(name));
  return true;
}

}  // namespace mipwright
