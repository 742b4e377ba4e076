// Logical constraints: an implication between two conditions, rewritten into binaries, indicator
// constraints and big-M lines, the only forms the solver takes.
//
// Three encodings, tried in order. A side that combines conditions with and/or/not, or says
// "not equal", turns both sides into binaries equal to their truth, and one line links the two.
// A consequent that fixes a binary variable to 1, or an antecedent that tests one against a
// literal, needs a single indicator constraint.
// Anything else gets a flag binary equal to the truth of the antecedent, which switches big-M
// lines that enforce the consequent.
//
// A binary stands for its condition both ways: one that may be 0 while its condition holds lets
// the solver escape the implication. A failing comparison is held away from holding by a margin:
// the step of the values of integer sides (1) and of sides on a grid of fractions, else EPS.
// Indicator constraints take EPS: the solver holds them exactly once their binary is set.
#include "big_m.hpp"
#include "integrality.hpp"

namespace mipwright {
namespace {

constexpr const char* kNotConditions = "Implication constraints must be between constraints or binops.";
constexpr const char* kNotComparison = "Unsupported comparison node for boolean linearization";

bool is_boolean_binop(Handle node) {
  return has_type(node, {"binop"}) && str_is(get(node, K::sem_type), "boolean");
}

bool is_comparison_op(Handle op) {
  return str_in(op, {"==", ">=", "<=", ">", "<"});
}

struct Operands {
  Ref left;
  Ref right;
  Ref op;
};

Operands operands_of(Handle node) {
  return {item(node, K::left), item(node, K::right), item(node, K::op)};
}

bool is_true_literal(Handle node) {
  return has_type(node, {"boolean_literal"}) && get(node, K::value).get() == Py_True;
}

// `(comparison) == true` stands for the comparison (the parser writes a parenthesised condition
// used as a constraint that way). Compared with anything else, the comparison is a number, its
// truth, and the outer comparison is the condition.
Operands comparison_operands(Handle node, const char* unsupported) {
  if (has_type(node, {"binop"})) return operands_of(node);
  if (!has_type(node, {"constraint"})) raise(PyExc_ValueError, unsupported);
  Ref left = item(node, K::left);
  if (has_type(left, {"parenthesized_expression"})) left = item(left, K::expression);
  if (is_boolean_binop(left) && str_is(get(node, K::op), "==") && is_true_literal(get(node, K::right))) {
    return operands_of(left);
  }
  return operands_of(node);
}

// A condition l != r: it has no indicator or flag form, only the logical one.
bool is_not_equal_condition(Handle node) {
  return has_type(node, {"binop", "constraint"}) &&
         str_is(comparison_operands(node, "").op, "!=");
}

// The context of one implication: where its lines go and what their names are built from.
struct Ctx {
  Gen g;
  PyObject* prefix;
  PyObject* iterators;

  std::string eps() const { return text(g.global(K::EPS)); }
  std::string two_eps() const {
    Ref two = py_int(2);
    return text(num_mul(two, g.global(K::EPS)));
  }
  std::string tol() const { return text(g.global(K::EQ_TOL)); }
  // The margin of a comparison between these sides (comparison_margin).
  Ref margin(Handle left, Handle right, Handle at) const { return comparison_margin(g, left, right, at); }

  std::string expr(Handle node, Handle at) const { return text(g.traverse(node, at)); }
  std::string name(const std::string& suffix) const {
    return text(call_method(g.self(), K::format_name_expr, prefix, py_str(suffix)));
  }

  void constr(const std::string& body, const std::string& suffix) const {
    g.emit("model.addConstr(" + body + ", name=" + name(suffix) + ")");
  }
  // The lines that combine binaries close with " )".
  void link(const std::string& body, const std::string& suffix) const {
    g.emit("model.addConstr(" + body + ", name=" + name(suffix) + " )");
  }
  void indicator(const std::string& binary, const char* value, const std::string& body,
                 const std::string& suffix) const {
    g.emit("model.addGenConstrIndicator(" + binary + ", " + value + ", " + body + ", name=" + name(suffix) + ")");
  }
};

// ---- conditions combined with and / or / not ----

bool is_composite_boolean(Handle node) {
  if (!is_dict(node)) return false;
  Ref type = get(node, K::type);
  if (str_is(type, "parenthesized_expression")) {
    RecursionGuard guard(" while reading a logical condition");
    return is_composite_boolean(get(node, K::expression));
  }
  if (str_in(type, {"and", "or", "not"})) return true;
  if (str_is(type, "constraint") && str_is(get(node, K::op), "==") &&
      has_type(get(node, K::left), {"and", "or", "not"})) {
    Ref right = get(node, K::right);
    return !is_dict(right) || str_is(get(right, K::type), "boolean_literal");
  }
  return false;
}

std::string new_bool_aux(const Ctx& c, const char* kind) {
  Ref one = py_int(1);
  Ref counter = num_add(c.g.attr(K::bool_aux_counter), one);
  c.g.set(K::bool_aux_counter, counter);
  std::string aux = std::string(kind) + "_b" + text(counter) + "_" + text(c.prefix);
  c.g.emit(aux + " = model.addVar(vtype=GRB.BINARY, name='" + aux + "')");
  return aux;
}

// b is 1 when |left - right| <= EQ_TOL and 0 when |left - right| >= the margin, on the side that
// a second binary chooses.
void bind_equality(const Ctx& c, const std::string& b, const std::string& left, const std::string& right,
                   const BigM& m, Handle margin) {
  const std::string diff = left + " - " + right;
  const std::string reverse = right + " - " + left;
  auto write = [&](const std::string& body, int number) {
    c.constr(body, "_aux_eq" + std::to_string(number) + "_" + b);
  };
  equality_tolerance_lines(diff, reverse, c.tol(), m.plain() + " * (1 - " + b + ")", write);
  const std::string side = b + "_side";
  c.g.emit(side + " = model.addVar(vtype=GRB.BINARY, name='" + side + "')  # sign of (" + diff + ") when " + b +
           " is 0");
  equality_separation_lines(diff, reverse, text(margin), m.with_margin(margin), b, side, write);
}

// b is 1 exactly when the comparison holds: the first line of each pair forces the comparison
// when b is 1, the second its negation when b is 0.
void bind_comparison_to_binary(const Ctx& c, const std::string& b, Handle node, Handle iterators) {
  Operands o = comparison_operands(node, kNotComparison);
  std::string left = c.expr(o.left, iterators);
  std::string right = c.expr(o.right, iterators);
  BigM m = BigM::of_difference(c.g, o.left, o.right);
  Ref margin = c.margin(o.left, o.right, iterators);
  const std::string gap = text(margin), mm = m.with_margin(margin);
  const std::string diff = left + " - " + right;
  if (str_is(o.op, ">=")) {
    c.constr(diff + " >= -" + m.plain() + " * (1 - " + b + ")", "_aux_ge_" + b);
    c.constr(diff + " <= -" + gap + " + " + mm + " * " + b, "_aux_ge_relax_" + b);
  } else if (str_is(o.op, ">")) {
    c.constr(diff + " >= " + gap + " - " + mm + " * (1 - " + b + ")", "_aux_gt_" + b);
    c.constr(diff + " <= " + m.plain() + " * " + b, "_aux_gt_relax_" + b);
  } else if (str_is(o.op, "<=")) {
    c.constr(diff + " <= " + m.plain() + " * (1 - " + b + ")", "_aux_le_" + b);
    c.constr(diff + " >= " + gap + " - " + mm + " * " + b, "_aux_le_relax_" + b);
  } else if (str_is(o.op, "<")) {
    c.constr(diff + " <= -" + gap + " + " + mm + " * (1 - " + b + ")", "_aux_lt_" + b);
    c.constr(diff + " >= 0 - " + m.plain() + " * " + b, "_aux_lt_relax_" + b);
  } else if (str_is(o.op, "==")) {
    bind_equality(c, b, left, right, m, margin);
  } else if (str_is(o.op, "!=")) {
    // b is the negation of a binary equal to the truth of left == right.
    std::string equal = new_bool_aux(c, "cmp");
    bind_equality(c, equal, left, right, m, margin);
    c.link(b + " + " + equal + " == 1", "_notlink_" + b);
  } else {
    raise(PyExc_ValueError, "Unsupported comparison operator in boolean linearization: " + text(o.op));
  }
}

// A constraint comparing two values is read as the comparison itself.
Ref comparison_as_binop(Handle node) {
  if (!has_type(node, {"constraint"}) || !is_comparison_op(get(node, K::op))) return Ref::borrow(node);
  Ref binop = new_dict();
  set_item(binop, K::type, K::binop);
  set_item(binop, K::op, item(node, K::op));
  set_item(binop, K::left, item(node, K::left));
  set_item(binop, K::right, item(node, K::right));
  set_item(binop, K::sem_type, py_str("boolean"));
  return binop;
}

std::string boolean_expr_to_binary(const Ctx& c, Handle condition, Handle iterators);

// The binaries of both operands of and/or, left first.
std::pair<std::string, std::string> operand_binaries(const Ctx& c, Handle node, Handle iterators) {
  std::string left = boolean_expr_to_binary(c, item(node, K::left), iterators);
  std::string right = boolean_expr_to_binary(c, item(node, K::right), iterators);
  return {std::move(left), std::move(right)};
}

std::string boolean_expr_to_binary(const Ctx& c, Handle condition, Handle iterators) {
  RecursionGuard guard(" while linearising a logical condition");
  Ref node = comparison_as_binop(condition);
  Ref type = is_dict(node) ? get(node, K::type) : none();
  if (str_is(type, "parenthesized_expression")) return boolean_expr_to_binary(c, item(node, K::expression), iterators);
  if (str_is(type, "constraint") || is_boolean_binop(node)) {
    std::string b = new_bool_aux(c, "cmp");
    bind_comparison_to_binary(c, b, node, iterators);
    return b;
  }
  if (str_is(type, "not")) {
    std::string inner = boolean_expr_to_binary(c, item(node, K::value), iterators);
    std::string b = new_bool_aux(c, "not");
    c.link(b + " + " + inner + " == 1", "_notlink_" + b);
    return b;
  }
  if (str_is(type, "and")) {
    auto [l, r] = operand_binaries(c, node, iterators);
    std::string b = new_bool_aux(c, "and");
    c.link(b + " <= " + l, "_and1_" + b);
    c.link(b + " <= " + r, "_and2_" + b);
    c.link(b + " >= " + l + " + " + r + " - 1", "_and3_" + b);
    return b;
  }
  if (str_is(type, "or")) {
    auto [l, r] = operand_binaries(c, node, iterators);
    std::string b = new_bool_aux(c, "or");
    c.link(b + " >= " + l, "_or1_" + b);
    c.link(b + " >= " + r, "_or2_" + b);
    c.link(b + " <= " + l + " + " + r, "_or3_" + b);
    return b;
  }
  if (str_is(type, "boolean_literal")) {
    std::string b = new_bool_aux(c, "lit");
    c.link(b + " == " + (truthy(get(node, K::value)) ? "1" : "0"), "_lit_" + b);
    return b;
  }
  raise(PyExc_ValueError, "Unsupported boolean expression type for auxiliary binary: " + text(type));
}

void logical_implication(const Ctx& c, Handle antecedent, Handle consequent) {
  std::string a = boolean_expr_to_binary(c, antecedent, c.iterators);
  std::string k = boolean_expr_to_binary(c, consequent, c.iterators);
  c.constr(a + " <= " + k, "_impl_bin");
}

// ---- implications between two comparisons ----

// A literal side becomes the comparison literal == true.
Ref wrap_boolean_literal_as_constraint(Handle node) {
  if (!has_type(node, {"boolean_literal"})) return Ref::borrow(node);
  Ref truth = new_dict();
  set_item(truth, K::type, py_str("boolean_literal"));
  set_item(truth, K::value, Py_True);
  set_item(truth, K::sem_type, py_str("boolean"));
  Ref wrapped = new_dict();
  set_item(wrapped, K::type, K::constraint);
  set_item(wrapped, K::op, py_str("=="));
  set_item(wrapped, K::left, node);
  set_item(wrapped, K::right, truth);
  return wrapped;
}

struct Comparison {
  Operands nodes;
  std::string left;
  std::string right;

  Handle op() const { return nodes.op; }
};

Comparison extract_linear_constraint(const Ctx& c, Handle node) {
  Operands o = comparison_operands(node, kNotConditions);
  std::string left = c.expr(o.left, c.iterators);
  std::string right = c.expr(o.right, c.iterators);
  return {std::move(o), std::move(left), std::move(right)};
}

bool is_binary_var(const Ctx& c, Handle node) {
  if (!has_type(node, {"name", "indexed_name"})) return false;
  Ref decl = c.g.find_declaration(referenced_name(node));
  return is_decision_variable(decl) && str_is(get(decl, K::var_type), "boolean");
}

// float(node.get('value', 0)) of a literal node.
double literal_value(Handle node) {
  Ref zero = py_int(0);
  return as_double(to_float(get(node, K::value, zero)));
}

bool is_one_literal(Handle node) {
  if (has_type(node, {"number"})) return literal_value(node) == 1.0;
  return has_type(node, {"boolean_literal"}) && get(node, K::value).get() == Py_True;
}

// The largest value an integral left side may take while `left >= literal` is false.
std::string below_literal(const Ctx& c, const Comparison& a) {
  std::optional<Ref> limit =
      catching(PyExc_Exception, [&] { return num_sub(py_float(literal_value(a.nodes.right)), c.g.global(K::EPS)); });
  return limit ? text(*limit) : "(" + a.right + " - " + c.eps() + ")";
}

// antecedent => b == 1 is b == 0 => not antecedent, a single indicator when the antecedent
// compares with a literal.
bool contrapositive_indicator(const Ctx& c, const Comparison& a, const Comparison& k) {
  if (!str_is(k.op(), "==") || !is_binary_var(c, k.nodes.left) || !is_one_literal(k.nodes.right)) return false;
  if (!has_type(a.nodes.right, {"number"})) return false;
  if (str_is(a.op(), ">")) {
    c.indicator(k.left, "0", a.left + " <= " + a.right, "_indicator_contra");
    return true;
  }
  if (str_is(a.op(), ">=")) {
    c.indicator(k.left, "0", a.left + " <= " + below_literal(c, a), "_indicator_contra_ge");
    return true;
  }
  return false;
}

// An indicator takes only <=, >= and ==: a strict consequent moves its right side by EPS.
std::string indicator_consequent(const Ctx& c, const Comparison& k) {
  if (str_is(k.op(), ">")) return k.left + " >= (" + k.right + ") + " + c.eps();
  if (str_is(k.op(), "<")) return k.left + " <= (" + k.right + ") - " + c.eps();
  return k.left + " " + text(k.op()) + " " + k.right;
}

// The value of the binary for which `binary op literal` holds, when one value alone makes it hold.
const char* tested_value(Handle op, double v) {
  if (str_is(op, "==") && (v == 0.0 || v == 1.0)) return v == 1.0 ? "1" : "0";
  if (str_is(op, ">=") && v == 1.0) return "1";
  if (str_is(op, "<=") && v == 0.0) return "0";
  return nullptr;
}

bool mentions_decision_var(const Ctx& c, const Comparison& k) {
  return truthy(call_method(c.g.self(), K::expr_depends_on_decision_var, k.nodes.left)) ||
         truthy(call_method(c.g.self(), K::expr_depends_on_decision_var, k.nodes.right));
}

// b == v => consequent, for a literal v. Whatever fails here leaves the implication to the
// general encoding, as does a consequent without variables, which no indicator can hold.
bool direct_indicator(const Ctx& c, const Comparison& a, const Comparison& k) {
  if (!str_in(a.op(), {"==", ">=", "<="}) || !is_binary_var(c, a.nodes.left)) return false;
  if (!has_type(a.nodes.right, {"number", "boolean_literal"}) || !mentions_decision_var(c, k)) return false;
  std::optional<Ref> written = catching(PyExc_Exception, [&] {
    const char* value = tested_value(a.op(), literal_value(a.nodes.right));
    if (value == nullptr || !is_comparison_op(k.op())) return py_bool(false);
    c.indicator(a.left, value, indicator_consequent(c, k), "_indicator");
    return py_bool(true);
  });
  return written && truthy(*written);
}

void declare_flag_binary(const Ctx& c, const std::string& binary, const std::string& comment) {
  if (truthy(c.iterators)) {
    c.g.emit(binary + " = model.addVar(vtype=GRB.BINARY)  # " + comment + " (auto-named inside loop)");
  } else {
    c.g.emit(binary + " = model.addVar(vtype=GRB.BINARY, name='" + binary + "')  # " + comment);
  }
}

// The flag is 1 when |diff| <= EQ_TOL; when it is 0 the difference is at least the margin away
// from zero, on the side that a second binary chooses.
void link_equal_antecedent(const Ctx& c, const std::string& flag, const std::string& diff, const BigM& ma,
                           Handle margin) {
  const std::string reverse = "-" + diff;
  auto write = [&](const std::string& body, int number) { c.constr(body, "_ant_eq" + std::to_string(number)); };
  equality_tolerance_lines(diff, reverse, c.tol(), ma.plain() + " * (1 - " + flag + ")", write);
  const std::string side = flag + "_side";
  declare_flag_binary(c, side, "sign of " + diff + " when " + flag + " is 0");
  equality_separation_lines(diff, reverse, text(margin), ma.with_margin(margin), flag, side, write);
}

// The flag equals the truth of the antecedent, in both directions.
void link_antecedent(const Ctx& c, const std::string& flag, const Comparison& a, const BigM& ma) {
  const std::string diff = "(" + a.left + " - " + a.right + ")";
  if (str_is(a.op(), ">=")) {
    c.indicator(flag, "1", diff + " >= -" + c.eps(), "_ant_ge_ind1");
    c.indicator(flag, "0", diff + " <= -" + c.two_eps(), "_ant_ge_ind0");
  } else if (str_is(a.op(), ">")) {
    c.indicator(flag, "1", diff + " >= " + c.eps(), "_ant_gt_ind1");
    c.indicator(flag, "0", diff + " <= 0.0", "_ant_gt_ind0");
  } else if (str_is(a.op(), "<=")) {
    c.indicator(flag, "1", diff + " <= " + c.eps(), "_ant_le_ind1");
    c.indicator(flag, "0", diff + " >= " + c.two_eps(), "_ant_le_ind0");
  } else if (str_is(a.op(), "<")) {
    c.indicator(flag, "1", diff + " <= -" + c.eps(), "_ant_lt_ind1");
    c.indicator(flag, "0", diff + " >= 0.0", "_ant_lt_ind0");
  } else if (str_is(a.op(), "==")) {
    link_equal_antecedent(c, flag, diff, ma, c.margin(a.nodes.left, a.nodes.right, c.iterators));
  } else {
    raise(PyExc_ValueError, "Unsupported antecedent operator in implication: " + text(a.op()));
  }
}

// Big-M lines that hold the consequent while the flag is 1 and are redundant while it is 0.
void enforce_consequent(const Ctx& c, const std::string& flag, const Comparison& k, const BigM& mc) {
  const std::string diff = k.left + " - " + k.right;
  const std::string off = " * (1 - " + flag + ")";
  if (str_is(k.op(), "==") && integer_valued(c.g, k.nodes.left, c.iterators) &&
      integer_valued(c.g, k.nodes.right, c.iterators)) {
    // Integer sides are held equal exactly.
    c.constr(diff + " <= " + mc.plain() + off, "_cons_eq1");
    c.constr(diff + " >= -" + mc.plain() + off, "_cons_eq2");
  } else if (str_is(k.op(), "==")) {
    equality_tolerance_lines(
        diff, k.right + " - " + k.left, c.tol(), mc.plain() + off,
        [&](const std::string& body, int number) { c.constr(body, "_cons_eq" + std::to_string(number)); });
  } else if (str_is(k.op(), ">=")) {
    c.constr(diff + " >= -" + mc.plain() + off, "_cons_ge");
  } else if (str_is(k.op(), ">")) {
    Ref margin = c.margin(k.nodes.left, k.nodes.right, c.iterators);
    c.constr(diff + " >= " + text(margin) + " - " + mc.with_margin(margin) + off, "_cons_gt");
  } else if (str_is(k.op(), "<=")) {
    c.constr(diff + " <= " + mc.plain() + off, "_cons_le");
  } else if (str_is(k.op(), "<")) {
    Ref margin = c.margin(k.nodes.left, k.nodes.right, c.iterators);
    c.constr(diff + " <= -" + text(margin) + " + " + mc.with_margin(margin) + off, "_cons_lt");
  } else {
    raise(PyExc_ValueError, "Unsupported consequent operator in implication: " + text(k.op()));
  }
}

void general_implication(const Ctx& c, const Comparison& a, const Comparison& k, const BigM& ma, const BigM& mc) {
  const std::string flag = "implication_flag_" + text(c.prefix);
  declare_flag_binary(c, flag, "1 if antecedent true");
  link_antecedent(c, flag, a, ma);
  enforce_consequent(c, flag, k, mc);
}

Ref constraint_implication_constraint(const Call& call) {
  auto [self, node, prefix, iterators] =
      call.bind(Params<4>{"GurobiCodeGenerator._constraint_implication_constraint",
                          {"self", "constraint_node", "constr_name_prefix", "current_iterators"},
                          4});
  Ctx c{Gen(call.module, self), prefix, iterators};
  if (!hasattr(self, K::bool_aux_counter)) c.g.set(K::bool_aux_counter, py_int(0));
  Ref antecedent = item(node, K::antecedent);
  Ref consequent = item(node, K::consequent);
  if (is_composite_boolean(antecedent) || is_composite_boolean(consequent) || is_not_equal_condition(antecedent) ||
      is_not_equal_condition(consequent)) {
    logical_implication(c, antecedent, consequent);
    return none();
  }
  Ref wrapped_antecedent = wrap_boolean_literal_as_constraint(antecedent);
  Ref wrapped_consequent = wrap_boolean_literal_as_constraint(consequent);
  Comparison a = extract_linear_constraint(c, wrapped_antecedent);
  Comparison k = extract_linear_constraint(c, wrapped_consequent);
  BigM ma = BigM::of_difference(c.g, a.nodes.left, a.nodes.right);
  BigM mc = BigM::of_difference(c.g, k.nodes.left, k.nodes.right);
  if (contrapositive_indicator(c, a, k) || direct_indicator(c, a, k)) return none();
  general_implication(c, a, k, ma, mc);
  return none();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_constraint_implication_constraint", constraint_implication_constraint,
                "Emit an implication between two conditions as binaries, indicators and big-M lines."),
};

}  // namespace

std::span<PyMethodDef> implication_methods{kMethods};

}  // namespace mipwright
