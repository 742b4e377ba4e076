// Logical constraints, products with a binary and piecewise-linear functions, planned by the
// shared linearisation core and rendered as columns and rows (linearise.cpp).
#include "model.hpp"

namespace lpsparse {

namespace lc = linearcore;

namespace {

lc::Cmp core_cmp(Cmp op) {
  switch (op) {
    case Cmp::Eq:
      return lc::Cmp::Eq;
    case Cmp::Ne:
      return lc::Cmp::Ne;
    case Cmp::Le:
      return lc::Cmp::Le;
    case Cmp::Ge:
      return lc::Cmp::Ge;
    case Cmp::Lt:
      return lc::Cmp::Lt;
    case Cmp::Gt:
      break;
  }
  return lc::Cmp::Gt;
}

}  // namespace

// A 0/1 expression equal to the truth of `diff (op) 0`, tied both ways by the core's reification
// with the margin of diff.
LinExpr Model::reify(const LinExpr& diff, Cmp op) {
  lc::Condition c = lc::Condition::compare(to_core(diff), core_cmp(op), margin(diff));
  return planned_by("a comparison", [&](lc::Plan& p) { return lc::plan_truth(p, c); });
}

void Model::lin_piecewise(const Expr& x, double scale, LinExpr& out) {
  lc::Use use = use_at(lin_direction, scale);
  LinExpr arg;
  {
    Direction exact(*this, 0);
    lin(x.a, 1.0, arg);
  }
  const lc::Piecewise& f = piecewise_functions[static_cast<std::size_t>(x.ref)];
  out.add_scaled(planned_by("a piecewise-linear function", [&](lc::Plan& p) { return lc::plan_piecewise(p, f, to_core(arg), use); }),
                 scale);
}

// The boolean variable of a factor b or c * b (c on the data only), with c in `coef`; -1 when
// the factor is neither.
int Model::binary_factor(int e, double& coef) {
  coef = 1.0;
  if (is_boolean_var(e)) return e;
  const Expr& x = exprs[e];
  if (x.op != Op::Mul) return -1;
  for (auto [data, binary] : {std::pair{x.a, x.b}, std::pair{x.b, x.a}}) {
    if (!exprs[data].has_var && is_boolean_var(binary)) {
      coef = number(data);
      return binary;
    }
  }
  return -1;
}

// b * e, with b a boolean variable (or a data multiple of one) on either side.
void Model::lin_product(const Expr& x, double scale, LinExpr& out) {
  double coef = 1.0;
  int binary_expr = binary_factor(x.a, coef);
  int other_expr = x.b;
  if (binary_expr < 0) {
    binary_expr = binary_factor(x.b, coef);
    other_expr = x.a;
  }
  LinExpr binary, other;
  Direction exact(*this, 0);
  lin(binary_expr, 1.0, binary);
  lin(other_expr, 1.0, other);
  int column = binary.terms.front().first;
  out.add_scaled(planned_by("a product with a binary", [&](lc::Plan& p) { return lc::plan_product(p, column, to_core(other)); }),
                 scale * coef);
}

// The condition a boolean expression states, comparisons with the margin of their difference.
lc::Condition Model::condition_of(int e) {
  RecursionGuard guard(" while linearising a logical constraint");
  const Expr& x = exprs[e];
  using K = lc::Condition::Kind;
  if (!x.has_var) return lc::Condition::literal(truth(e));
  switch (x.op) {
    case Op::Cmp: {
      LinExpr diff;
      {
        Direction exact(*this, 0);
        lin(x.a, 1.0, diff);
        lin(x.b, -1.0, diff);
      }
      return lc::Condition::compare(to_core(diff), core_cmp(x.cmp), margin(diff));
    }
    case Op::Not:
      return lc::Condition::combine(K::Not, {condition_of(x.a)});
    case Op::And:
    case Op::Or:
    case Op::Equiv: {
      K kind = x.op == Op::And ? K::And : x.op == Op::Or ? K::Or : K::Equivalent;
      lc::Condition left = condition_of(x.a);
      return lc::Condition::combine(kind, {std::move(left), condition_of(x.b)});
    }
    default:
      if (is_boolean_var(e)) {
        LinExpr b;
        lin(e, 1.0, b);
        b.constant -= 1.0;
        return lc::Condition::compare(to_core(b), lc::Cmp::Eq, 1.0);
      }
      fail("Unsupported condition over decision variables in " + site_text() +
           ": use comparisons, and, or, not or boolean variables");
  }
}

void Model::logical(int condition) {
  lc::Condition c = condition_of(condition);
  planned_by("a logical constraint", [&](lc::Plan& p) {
    lc::plan_holds(p, c);
    return lc::LinExpr::number(0.0);
  });
}

}  // namespace lpsparse
