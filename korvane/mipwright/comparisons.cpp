// Comparison constraints: one model.addConstr line for an ordinary comparison, and the special
// forms that link binaries to comparisons, bound counts of true comparisons, and forbid equality.
#include "big_m.hpp"
#include "functions.hpp"
#include "integrality.hpp"

namespace mipwright {
namespace {

struct ComparisonArgs {
  Gen g;
  PyObject* prefix;
  PyObject* iterators;

  std::string expr(Handle node) const { return text(g.traverse(node, iterators)); }
  std::string reified(Handle node) const {
    return text(call_method(g.self(), K::reify_scoped_comparison, node, iterators));
  }
  std::string name() const { return text(call_method(g.self(), K::format_name_expr, prefix)); }
  std::string name(const char* suffix) const {
    return text(call_method(g.self(), K::format_name_expr, prefix, py_str(suffix)));
  }
  void emit(const std::string& line) const { g.emit(line); }
};

bool is_true_literal(Handle node) {
  return is_dict(node) && str_is(get(node, K::type), "boolean_literal") && get(node, K::value).get() == Py_True;
}

bool is_bool_var(const Gen& g, Handle node) {
  if (!has_type(node, {"name", "indexed_name"})) return false;
  Ref decl = g.find_declaration(referenced_name(node));
  return !is_none(decl) && str_is(get(decl, K::var_type), "boolean");
}

bool is_sum_of_comparisons(Handle node) {
  Ref sum = without_parentheses(node);
  return has_type(sum, {"sum"}) && is_counted_comparison(without_parentheses(get(sum, K::expression)));
}

// The record of the comparison list of sum `s`, translating the sum once to build it if need be.
// Only the record matters here: a failed translation leaves none, and the constraint then falls
// to the later rules.
Ref comparison_list_of(const ComparisonArgs& a, Handle s) {
  if (!hasattr(a.g.self(), K::comparison_sum_meta)) a.g.set(K::comparison_sum_meta, new_dict());
  Ref id = identity(s);
  Ref known = get(a.g.attr(K::comparison_sum_meta), id);
  if (!list_readable_here(a.g, known, a.iterators)) {
    catching(PyExc_Exception, [&] { return a.g.traverse(s, a.iterators); });
  }
  return get(a.g.attr(K::comparison_sum_meta), id);
}

bool is_whole(Handle k) {
  return is_int(k) || (PyFloat_Check(k.get()) && as_double(k) == std::floor(as_double(k)));
}

// The least integer above k, for a count of true comparisons: k + 1 for a whole k.
Ref next_whole_above(Handle k) {
  Ref one = py_int(1);
  if (is_whole(k)) return num_add(k, one);
  return py_int(static_cast<long long>(std::floor(as_double(k))) + 1);
}

// The greatest integer below k: k - 1 for a whole k.
Ref next_whole_below(Handle k) {
  Ref one = py_int(1);
  if (is_whole(k)) return num_sub(k, one);
  return py_int(static_cast<long long>(std::ceil(as_double(k))) - 1);
}

// The least integer at or above k.
Ref whole_at_least(Handle k) {
  if (is_whole(k)) return Ref::borrow(k);
  return py_int(static_cast<long long>(std::ceil(as_double(k))));
}

// count op k, with the count of true comparisons an integer.
bool bound_count(const ComparisonArgs& a, Handle op, Handle left, Handle right) {
  Ref meta = comparison_list_of(a, without_parentheses(left));
  if (!truthy(meta)) return false;
  Ref k = get(right, K::value);
  std::string list = text(item(call_method(a.g.self(), K::comparison_sum_accessors, meta, a.iterators), 0));
  std::string relation;
  if (str_is(op, ">")) {
    relation = ") >= " + text(next_whole_above(k));
  } else if (str_is(op, ">=")) {
    relation = ") >= " + text(k);
  } else if (str_is(op, "==")) {
    relation = ") == " + text(k);
  } else if (str_is(op, "<=")) {
    relation = ") <= " + text(k);
  } else {
    relation = ") <= " + text(next_whole_below(k));
  }
  a.emit("model.addConstr(gp.quicksum(" + list + relation + ", name=" + a.name("_card") + ")");
  return true;
}

// b == (count >= k): b is 1 exactly when at least k of the comparisons hold, with k whole. An
// integer b other than a boolean is held to 0..1 first.
bool reified_count(const ComparisonArgs& a, Handle left, Handle inner, const char* comment) {
  Ref k = get(get(inner, K::right), K::value);
  k = str_is(get(inner, K::op), ">") ? next_whole_above(k) : whole_at_least(k);
  Ref meta = comparison_list_of(a, without_parentheses(get(inner, K::left)));
  if (!truthy(meta)) return false;
  Ref accessors = call_method(a.g.self(), K::comparison_sum_accessors, meta, a.iterators);
  std::string list = text(item(accessors, 0));
  Ref count = item(accessors, 1);
  std::string n = truthy(count) ? text(count) : "len(" + list + ")";
  std::string b = a.expr(left);
  if (!is_bool_var(a.g, left)) {
    a.emit("model.addConstr(" + b + " >= 0, name=" + a.name("_reif_card_lo") + ")");
    a.emit("model.addConstr(" + b + " <= 1, name=" + a.name("_reif_card_hi") + ")");
  }
  std::string kt = text(k);
  a.emit(comment + b + " == (sum(comparisons) >= " + kt + ")");
  a.emit("model.addConstr(" + kt + " * " + b + " - gp.quicksum(" + list + ") <= 0, name=" + a.name("_reif_card1") +
         ")");
  a.emit("model.addConstr(gp.quicksum(" + list + ") - (" + kt + "-1) - (" + n + " - " + kt + " + 1) * " + b +
         " <= 0, name=" + a.name("_reif_card2") + ")");
  return true;
}

// The inner comparison of `b == (sum >= k)` when `right` has that shape, of the node type given.
Ref count_comparison(Handle right, const char* type) {
  Ref inner = without_parentheses(right);
  if (!has_type(inner, {type}) || !str_in(get(inner, K::op), {">=", ">"})) return none();
  if (!has_type(get(inner, K::right), {"number"})) return none();
  if (!has_type(without_parentheses(get(inner, K::left)), {"sum"})) return none();
  return inner;
}

// The big-M of l != r: the largest amount either side can exceed the other by, plus the gap.
Ref not_equal_big_m(const Gen& g, Handle left, Handle right, Handle gap) {
  std::optional<SideBounds> b = side_bounds(g, left, right);
  if (!b) return py_float(kDefaultBigM);
  Ref zero = py_float(0.0);
  Ref left_over = num_max(num_sub(b->left_high, b->right_low), zero);
  Ref right_over = num_max(num_sub(b->right_high, b->left_low), zero);
  Ref margin = py_float(as_double(gap));
  return num_max(num_add(num_max(left_over, right_over), margin), margin);
}

void not_equal(const ComparisonArgs& a, Handle left, Handle right) {
  std::string l = a.expr(left);
  std::string r = a.expr(right);
  if (is_bool_var(a.g, left) && is_bool_var(a.g, right)) {
    a.emit("model.addConstr(" + l + " + " + r + " == 1, name='" + str_text(a.prefix) + "_xor')");
    return;
  }
  // Either l - r >= gap or r - l >= gap, chosen by one binary flag: sides whose values are
  // multiples of 1/D differ by 1/D at least (1 for integer sides); others by EPS, as in strict
  // comparisons.
  Ref gap = comparison_margin(a.g, left, right, a.iterators);
  std::string flag = "neq_flag_" + str_text(a.prefix);
  if (truthy(a.iterators)) {
    a.emit(flag + " = model.addVar(vtype=GRB.BINARY)");
  } else {
    a.emit(flag + " = model.addVar(vtype=GRB.BINARY, name='" + flag + "')");
  }
  std::string m = text(not_equal_big_m(a.g, left, right, gap));
  a.emit("model.addConstr(" + l + " - " + r + " + " + m + " * " + flag + " >= " + text(gap) + ", name=" +
         a.name("_neq1") + ")");
  a.emit("model.addConstr(" + r + " - " + l + " + " + m + " * (1 - " + flag + ") >= " + text(gap) + ", name=" +
         a.name("_neq2") + ")");
}

// gurobipy takes only <=, >= and ==: a strict comparison moves its right side by EPS, which for
// integral sides is exactly the strict comparison.
void ordinary(const ComparisonArgs& a, Handle op, Handle left, Handle right) {
  // The smaller side's terms only need to be small, the larger side's only large.
  int left_sign = str_in(op, {"<=", "<"}) ? 1 : str_in(op, {">=", ">"}) ? -1 : 0;
  if (left_sign != 0) {
    record_linear_uses(a.g, left, left_sign);
    record_linear_uses(a.g, right, -left_sign);
  }
  std::string l = a.expr(left);
  std::string r = a.expr(right);
  std::string eps = text(a.g.global(K::EPS));
  std::string relation;
  if (str_is(op, ">")) {
    relation = " >= (" + r + ") + " + eps;
  } else if (str_is(op, "<")) {
    relation = " <= (" + r + ") - " + eps;
  } else {
    std::string op_text = text(op);
    relation = " " + op_text + " " + r;
  }
  a.emit("model.addConstr(" + l + relation + ", name=" + a.name() + ")");
}

Ref constraint_constraint(const Call& c) {
  auto [self, node, prefix, iterators] =
      c.bind(Params<4>{"GurobiCodeGenerator._constraint_constraint",
                       {"self", "constraint_node", "constr_name_prefix", "current_iterators"},
                       4});
  ComparisonArgs a{Gen(c.module, self), prefix, iterators};
  Ref op = item(node, K::op);
  Ref left = item(node, K::left);
  Ref right = item(node, K::right);
  Ref l = without_parentheses(left);
  Ref r = without_parentheses(right);
  // (comparison) == true is the comparison itself.
  Ref comparison = none();
  if (str_is(op, "==") && is_true_literal(r) && is_counted_comparison(l)) comparison = l.copy();
  if (str_is(op, "==") && is_true_literal(l) && is_counted_comparison(r)) comparison = r.copy();
  if (!is_none(comparison)) {
    op = item(comparison, K::op);
    left = item(comparison, K::left);
    right = item(comparison, K::right);
    l = without_parentheses(left);
    r = without_parentheses(right);
  }
  if (str_in(op, {"==", "<=", ">="})) {
    if (is_bool_var(a.g, left) && is_counted_comparison(r)) {
      std::string b = a.expr(left);
      a.emit("model.addConstr(" + b + " " + text(op) + " " + a.reified(r) + ", name=" + a.name() + ")");
      return none();
    }
    if (is_counted_comparison(l) && is_bool_var(a.g, right)) {
      std::string truth = a.reified(l);
      a.emit("model.addConstr(" + truth + " " + text(op) + " " + a.expr(right) + ", name=" + a.name() + ")");
      return none();
    }
  }
  bool strict_or_not = str_in(op, {">", ">=", "==", "<=", "<"});
  if (strict_or_not && has_type(right, {"number"}) && is_sum_of_comparisons(left) && bound_count(a, op, left, right)) {
    return none();
  }
  if (str_is(op, "==") && has_type(left, {"name", "indexed_name"}) && integer_valued(a.g, left, a.iterators)) {
    Ref inner = count_comparison(right, "constraint");
    if (!is_none(inner) && reified_count(a, left, inner, "# Reified cardinality: ")) return none();
    inner = count_comparison(right, "binop");
    if (!is_none(inner) && reified_count(a, left, inner, "# Reified cardinality (binop): ")) return none();
  }
  if (str_is(op, "!=")) {
    not_equal(a, left, right);
  } else if (strict_or_not) {
    ordinary(a, op, left, right);
  }
  return none();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_constraint_constraint", constraint_constraint, "Emit a comparison constraint."),
};

}  // namespace

std::span<PyMethodDef> comparison_methods{kMethods};

}  // namespace mipwright
