// Plans for |e| and for the largest or smallest of several linear expressions.
//
// A convex function bounded from above needs no binary: t >= each piece, and whatever pushes t
// down stops at the function's value. Elsewhere the encodings are exact: one binary per piece
// chooses the piece t equals, with M taken from the intervals of the pieces, so that every row
// of an unchosen piece is redundant at the extreme points and tight where the intervals touch.
#include <algorithm>

#include "plan.hpp"

namespace linearcore {

// A variable equal to e: e itself when it is one variable, else a new auxiliary of `kind`.
Var as_variable(Plan& plan, const LinExpr& e, Kind kind, const char* prefix) {
  LinExpr m = e.merged();
  if (m.constant == 0.0 && m.terms.size() == 1 && m.terms[0].coef == 1.0 && plan.is_variable(m.terms[0].var)) {
    return m.terms[0].var;
  }
  Interval range = plan.interval(m);
  Var v = plan.add_aux(kind, range.lo, range.hi, prefix);
  plan.add_row(LinExpr::of(v).minus(m), Sense::Eq, 0.0);
  return v;
}

LinExpr plan_abs(Plan& plan, const LinExpr& expression, Use use, Kind kind) {
  LinExpr e = expression.merged();
  if (e.terms.empty()) return LinExpr::number(std::fabs(e.constant));
  Interval range = plan.interval(e);
  if (range.lo >= 0.0) return e;
  if (range.hi <= 0.0) return LinExpr::number(0.0).minus(e);
  double top = std::max(-range.lo, range.hi);
  // Only a use that wants |e| small may drop the binary.
  bool exact = use != Use::Upper;
  if (exact && plan.options().general_constraints) {
    Var arg = as_variable(plan, e, kind, "absarg");
    Var t = plan.add_aux(kind, 0.0, top, "abs");
    plan.add_general(General::Abs, t, {arg});
    return LinExpr::of(t);
  }
  if (exact) range = plan.finite_interval(e);
  Var t = plan.add_aux(kind, 0.0, top, "abs");
  plan.add_row(LinExpr::of(t).minus(e), Sense::Ge, 0.0);            // t >= e
  plan.add_row(LinExpr::of(t).add_scaled(e, 1.0), Sense::Ge, 0.0);  // t >= -e
  if (!exact) return LinExpr::of(t);
  // b = 1 makes t = e, b = 0 makes t = -e; the other row then has to let t reach |e| from the
  // far side of zero: -2 * lo and 2 * hi.
  Var b = plan.add_aux(Kind::Binary, 0.0, 1.0, "abs_sign");
  double m_positive = -2.0 * range.lo, m_negative = 2.0 * range.hi;
  plan.add_row(LinExpr::of(t).minus(e).add(b, m_positive), Sense::Le, m_positive);      // b = 1: t <= e
  plan.add_row(LinExpr::of(t).add_scaled(e, 1.0).add(b, -m_negative), Sense::Le, 0.0);  // b = 0: t <= -e
  return LinExpr::of(t);
}

LinExpr plan_extreme(Plan& plan, bool maximum, const std::vector<LinExpr>& args, Use use, Kind kind) {
  // Data pieces fold into one number; the pieces over variables stay.
  std::optional<double> folded;
  std::vector<LinExpr> pieces;
  for (const LinExpr& arg : args) {
    LinExpr m = arg.merged();
    if (m.terms.empty()) {
      folded = !folded ? m.constant : maximum ? std::max(*folded, m.constant) : std::min(*folded, m.constant);
    } else {
      pieces.push_back(std::move(m));
    }
  }
  if (pieces.empty()) return LinExpr::number(folded.value_or(0.0));
  if (pieces.size() == 1 && !folded) return pieces[0];
  std::vector<Interval> ranges;
  for (const LinExpr& p : pieces) ranges.push_back(plan.interval(p));
  if (folded) {
    pieces.push_back(LinExpr::number(*folded));
    ranges.push_back({*folded, *folded});
  }
  // t lies between the largest lower and the largest upper end (mirrored for min).
  double lo = maximum ? -kInf : kInf, hi = maximum ? -kInf : kInf;
  for (const Interval& r : ranges) {
    lo = maximum ? std::max(lo, r.lo) : std::min(lo, r.lo);
    hi = maximum ? std::max(hi, r.hi) : std::min(hi, r.hi);
  }
  const char* name = maximum ? "max" : "min";
  bool relaxed = use == (maximum ? Use::Upper : Use::Lower);
  if (!relaxed && plan.options().general_constraints) {
    std::vector<Var> vars;
    std::size_t variable_pieces = pieces.size() - (folded ? 1 : 0);
    for (std::size_t i = 0; i < variable_pieces; ++i)
      vars.push_back(as_variable(plan, pieces[i], kind, maximum ? "maxarg" : "minarg"));
    Var t = plan.add_aux(kind, lo, hi, name);
    plan.add_general(maximum ? General::Max : General::Min, t, std::move(vars), folded);
    return LinExpr::of(t);
  }
  Sense outer = maximum ? Sense::Ge : Sense::Le;
  if (!relaxed) {
    for (const LinExpr& p : pieces) plan.finite_interval(p);
  }
  Var t = plan.add_aux(kind, lo, hi, name);
  for (const LinExpr& p : pieces) plan.add_row(LinExpr::of(t).minus(p), outer, 0.0);  // t >= piece (max)
  if (relaxed) return LinExpr::of(t);
  // Exactly one chosen piece; t does not exceed it (max), so t equals it. An unchosen piece's
  // row only has to let t reach the far end of t's own range: M = hi - lo_i (max).
  LinExpr choices;
  std::vector<Var> picks;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Var b = plan.add_aux(Kind::Binary, 0.0, 1.0, maximum ? "max_pick" : "min_pick");
    choices.add(b, 1.0);
    double m = maximum ? hi - ranges[i].lo : ranges[i].hi - lo;
    if (maximum) {
      plan.add_row(LinExpr::of(t).minus(pieces[i]).add(b, m), Sense::Le, m);  // b = 1: t <= piece
    } else {
      plan.add_row(LinExpr::of(t).minus(pieces[i]).add(b, -m), Sense::Ge, -m);  // b = 1: t >= piece
    }
  }
  plan.add_row(std::move(choices), Sense::Eq, 1.0);
  return LinExpr::of(t);
}

}  // namespace linearcore
