// Logical constraints, products with a binary and piecewise-linear functions over decision
// variables, planned by the shared linearisation core and written as script lines
// (functions.cpp renders plans): comparison sides, factors and arguments are the plan's handles.
#include "functions.hpp"
#include "integrality.hpp"
#include "numbers.hpp"

namespace mipwright {

namespace lc = linearcore;

namespace {

// ---- piecewise-linear functions ----

std::vector<double> numbers_under(const Gen& g, Handle node, Handle key) {
  Ref list = get(node, key);
  if (!is_list(list)) g.semantic_error("A piecewise-linear function needs a list of numbers under '" + text(key) + "'");
  std::vector<double> out;
  for (Ref& v : Iterate(list)) {
    if (!is_int(v) && !PyFloat_Check(v.get())) {
      g.semantic_error("A piecewise-linear function has a value under '" + text(key) + "' that is not a number");
    }
    out.push_back(as_double(v));
    if (!std::isfinite(out.back())) g.semantic_error("A piecewise-linear function has a value that is not finite");
  }
  return out;
}

lc::Piecewise piecewise_of(const Gen& g, Handle node) {
  lc::Piecewise f;
  f.slopes = numbers_under(g, node, K::slopes);
  f.breakpoints = numbers_under(g, node, K::breakpoints);
  std::vector<double> anchor = numbers_under(g, node, K::anchor);
  if (f.slopes.size() != f.breakpoints.size() + 1 || anchor.size() != 2 ||
      !std::is_sorted(f.breakpoints.begin(), f.breakpoints.end(), std::less_equal<>())) {
    g.semantic_error("A piecewise-linear function needs one slope more than breakpoints, breakpoints that increase "
                     "strictly, and an anchor of two numbers");
  }
  f.anchor_x = anchor[0];
  f.anchor_y = anchor[1];
  return f;
}

Ref expr_piecewise(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_piecewise");
  if (truthy(a.symbolic)) {
    raise(PyExc_NotImplementedError, "Expression type 'piecewise' is not supported by the Gurobi code generator.");
  }
  lc::Piecewise f = piecewise_of(a.g, a.node);
  std::vector<Ref> operands;
  operands.push_back(item(a.node, K::argument));
  return linearise_planned(a, operands, [&](lc::Plan& plan, const std::vector<lc::LinExpr>& x, lc::Use use) {
    return lc::plan_piecewise(plan, f, x[0], use);
  });
}

// ---- logical constraints ----

lc::Cmp core_cmp(Handle op) {
  static const std::pair<const char*, lc::Cmp> kOps[] = {{"==", lc::Cmp::Eq}, {"!=", lc::Cmp::Ne}, {"<=", lc::Cmp::Le},
                                                         {">=", lc::Cmp::Ge}, {"<", lc::Cmp::Lt},  {">", lc::Cmp::Gt}};
  for (auto [text_op, cmp] : kOps) {
    if (str_is(op, text_op)) return cmp;
  }
  raise(PyExc_ValueError, "Unsupported comparison operator in a logical constraint: " + text(op));
}

// The sides of every comparison of a condition, left to right, and each comparison's margin.
// A second walk (build) makes the condition over the plan's handles of those sides.
class ConditionReader {
 public:
  ConditionReader(const Gen& g, Handle iterators) : g_(g), iterators_(iterators) {}

  void collect(Handle node) {
    RecursionGuard guard(" while reading a logical constraint");
    Ref type = get(node, K::type);
    if (str_is(type, "parenthesized_expression")) return collect(item(node, K::expression));
    if (str_in(type, {"and", "or", "equivalent"})) {
      collect(item(node, K::left));
      return collect(item(node, K::right));
    }
    if (str_is(type, "not")) return collect(item(node, K::value));
    if (str_is(type, "boolean_literal")) return;
    if (!has_type(node, {"binop", "constraint"})) {
      raise(PyExc_ValueError, "Unsupported boolean expression type in a logical constraint: " + text(type));
    }
    core_cmp(get(node, K::op));
    Ref left = item(node, K::left), right = item(node, K::right);
    if (!depends_on_decision_var(g_, left) && !depends_on_decision_var(g_, right)) {
      g_.semantic_error("Unsupported comparison of data only inside a logical constraint: decide it in the filter of "
                        "the forall, or with an 'if' on the data");
    }
    sides.push_back(left.copy());
    sides.push_back(std::move(right));
    margins.push_back(as_double(to_float(comparison_margin(g_, sides[sides.size() - 2], sides.back(), iterators_))));
  }

  lc::Condition build(Handle node, const std::vector<lc::LinExpr>& handles) {
    next_ = 0;
    return condition(node, handles);
  }

  std::vector<Ref> sides;
  std::vector<double> margins;

 private:
  lc::Condition condition(Handle node, const std::vector<lc::LinExpr>& handles) {
    RecursionGuard guard(" while reading a logical constraint");
    using CK = lc::Condition::Kind;
    Ref type = get(node, K::type);
    if (str_is(type, "parenthesized_expression")) return condition(item(node, K::expression), handles);
    if (str_in(type, {"and", "or", "equivalent"})) {
      CK kind = str_is(type, "and") ? CK::And : str_is(type, "or") ? CK::Or : CK::Equivalent;
      lc::Condition left = condition(item(node, K::left), handles);
      return lc::Condition::combine(kind, {std::move(left), condition(item(node, K::right), handles)});
    }
    if (str_is(type, "not")) return lc::Condition::combine(CK::Not, {condition(item(node, K::value), handles)});
    if (str_is(type, "boolean_literal")) return lc::Condition::literal(truthy(get(node, K::value)));
    std::size_t k = next_++;
    return lc::Condition::compare(handles[2 * k].minus(handles[2 * k + 1]), core_cmp(get(node, K::op)), margins[k]);
  }

  const Gen& g_;
  Handle iterators_;
  std::size_t next_ = 0;
};

Ref constraint_logical_constraint(const Call& c) {
  auto [self, node, prefix, iterators] =
      c.bind(Params<4>{"GurobiCodeGenerator._constraint_logical_constraint",
                       {"self", "constraint_node", "constr_name_prefix", "current_iterators"},
                       4});
  ExprArgs a{Gen(c.module, self), node, iterators, Py_False};
  Ref condition = item(node, K::condition);
  ConditionReader reader(a.g, iterators);
  reader.collect(condition);
  linearise_planned(a, reader.sides, [&](lc::Plan& plan, const std::vector<lc::LinExpr>& sides, lc::Use) {
    lc::plan_holds(plan, reader.build(condition, sides));
    return lc::LinExpr::number(0.0);
  });
  return none();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_expr_piecewise", expr_piecewise, "Translate a piecewise-linear function of an expression."),
    KV_FUNCTION("_constraint_logical_constraint", constraint_logical_constraint,
                "Emit a logical constraint (a condition that must hold) as binaries, indicators and rows."),
};

}  // namespace

// b * e with b a boolean decision variable: exact over the interval of e.
Ref linearise_product(const ExprArgs& a, Handle binary, Handle other) {
  std::vector<Ref> operands;
  operands.push_back(Ref::borrow(binary));
  operands.push_back(Ref::borrow(other));
  return linearise_planned(a, operands, [&](lc::Plan& plan, const std::vector<lc::LinExpr>& factors, lc::Use) {
    return lc::plan_product(plan, factors[0].terms.front().var, factors[1]);
  });
}

std::span<PyMethodDef> construct_methods{kMethods};

}  // namespace mipwright
