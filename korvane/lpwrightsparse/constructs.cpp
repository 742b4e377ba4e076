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

// b * e with b a boolean variable (either side).
void Model::lin_product(const Expr& x, double scale, LinExpr& out) {
  bool binary_left = is_boolean_var(x.a);
  LinExpr binary, other;
  Direction exact(*this, 0);
  lin(binary_left ? x.a : x.b, 1.0, binary);
  lin(binary_left ? x.b : x.a, 1.0, other);
  int column = binary.terms.front().first;
  out.add_scaled(planned_by("a product with a binary", [&](lc::Plan& p) { return lc::plan_product(p, column, to_core(other)); }),
                 scale);
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
