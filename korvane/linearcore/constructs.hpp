// Planners for logical constraints, products with a binary, and piecewise-linear functions, over
// the same algebra as the other planners (plan.hpp).
#pragma once

#include "plan.hpp"

namespace linearcore {

// ---- logical conditions (logic.cpp) ----

enum class Cmp { Eq, Ne, Le, Ge, Lt, Gt };

// The margins of the comparisons: a strict comparison is held `margin` away from holding the
// other way, the step of the grid its difference lives on (1 between integer sides) or EPS when
// nothing is known; an equality over such a grid is exact, over floats within EQ_TOL.
inline constexpr double kEps = 1e-5;
inline constexpr double kEqTol = 1e-6;
// M of a reified comparison whose difference has no finite interval.
inline constexpr double kDefaultM = 1e6;

// A condition over decision variables: a comparison `diff (op) 0`, a literal, or a combination.
struct Condition {
  enum class Kind { Compare, Literal, And, Or, Not, Equivalent };
  Kind kind = Kind::Literal;
  LinExpr diff;
  Cmp op = Cmp::Eq;
  double margin = kEps;  // Compare: the least |diff| when diff is not zero
  bool value = true;     // Literal
  std::vector<Condition> operands;

  static Condition compare(LinExpr diff, Cmp op, double margin) {
    Condition c;
    c.kind = Kind::Compare;
    c.diff = std::move(diff);
    c.op = op;
    c.margin = margin;
    return c;
  }
  static Condition literal(bool value) {
    Condition c;
    c.value = value;
    return c;
  }
  static Condition combine(Kind kind, std::vector<Condition> operands) {
    Condition c;
    c.kind = kind;
    c.operands = std::move(operands);
    return c;
  }
};

// The condition must hold.
void plan_holds(Plan& plan, const Condition& condition);

// A 0/1 expression equal to the truth of the condition, both ways.
LinExpr plan_truth(Plan& plan, const Condition& condition);

// ---- products (products.cpp) ----

// An expression equal to binary * e, exact over the finite interval of e (Unbounded otherwise).
LinExpr plan_product(Plan& plan, Var binary, const LinExpr& e);

// ---- piecewise-linear functions (piecewise.cpp) ----

// The function with `slopes` (one more than `breakpoints`, which increase strictly) that passes
// through (anchor_x, anchor_y); the first and last slopes go on without end.
struct Piecewise {
  std::vector<double> slopes;
  std::vector<double> breakpoints;
  double anchor_x = 0.0, anchor_y = 0.0;

  double value_at(double x) const;
  bool convex() const;
  bool concave() const;
};

// An expression equal to f(e) (Use::Upper with a convex f: at least f(e); Use::Lower with a
// concave f: at most f(e)). Elsewhere exact: the solver's piecewise-linear constraint where the
// plan allows general constraints, else one binary per inner breakpoint over the finite interval
// of e (Unbounded when it has none).
LinExpr plan_piecewise(Plan& plan, const Piecewise& f, const LinExpr& e, Use use);

}  // namespace linearcore
