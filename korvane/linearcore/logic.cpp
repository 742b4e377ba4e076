// Logical conditions over decision variables: a condition that must hold, a binary that forces a
// condition, and a binary equal to a condition's truth.
//
// A condition that must hold needs the fewest binaries: its conjuncts hold each on its own, and a
// disjunction only needs one binary per alternative that forces it (an indicator), with the
// binaries summing to at least one. Only an equivalence compares truths, and reifies both sides:
// a binary that stands for a comparison both ways, held away from the other side by the margin.
#include <algorithm>

#include "constructs.hpp"

namespace linearcore {

namespace {

using CKind = Condition::Kind;

// A difference whose sides are one and the same point still gets an M above zero.
constexpr double kMinM = 1e-9;

Cmp opposite(Cmp op) {
  switch (op) {
    case Cmp::Eq:
      return Cmp::Ne;
    case Cmp::Ne:
      return Cmp::Eq;
    case Cmp::Le:
      return Cmp::Gt;
    case Cmp::Gt:
      return Cmp::Le;
    case Cmp::Ge:
      return Cmp::Lt;
    case Cmp::Lt:
      break;
  }
  return Cmp::Ge;
}

// The negation, moved down to the comparisons.
Condition negated(const Condition& c) {
  switch (c.kind) {
    case CKind::Compare:
      return Condition::compare(c.diff, opposite(c.op), c.margin);
    case CKind::Literal:
      return Condition::literal(!c.value);
    case CKind::Not:
      return c.operands[0];
    case CKind::And:
    case CKind::Or: {
      std::vector<Condition> parts;
      for (const Condition& o : c.operands) parts.push_back(negated(o));
      return Condition::combine(c.kind == CKind::And ? CKind::Or : CKind::And, std::move(parts));
    }
    case CKind::Equivalent:
      break;
  }
  return Condition::combine(CKind::Equivalent, {negated(c.operands[0]), c.operands[1]});
}

// diff != 0 is diff > 0 or diff < 0 (each the margin away from 0).
Condition not_equal_as_or(const Condition& c) {
  return Condition::combine(CKind::Or, {Condition::compare(c.diff, Cmp::Gt, c.margin), Condition::compare(c.diff, Cmp::Lt, c.margin)});
}

// The row that a comparison is, strict ones moved by the margin: expr (sense) rhs.
Row comparison_row(const Condition& c) {
  switch (c.op) {
    case Cmp::Le:
      return {c.diff, Sense::Le, 0.0};
    case Cmp::Lt:
      return {c.diff, Sense::Le, -c.margin};
    case Cmp::Ge:
      return {c.diff, Sense::Ge, 0.0};
    case Cmp::Gt:
      return {c.diff, Sense::Ge, c.margin};
    default:
      return {c.diff, Sense::Eq, 0.0};
  }
}

Var new_binary(Plan& plan, const char* prefix) {
  return plan.add_aux(Kind::Binary, 0.0, 1.0, prefix);
}

void plan_implied(Plan& plan, Var b, const Condition& c);

// One binary per alternative forces it; `switch_on` (a binary, or the constant 1) is at most
// their sum.
void plan_alternatives(Plan& plan, const std::vector<Condition>& alternatives, const LinExpr& switch_on) {
  LinExpr chosen = LinExpr::number(0.0).minus(switch_on);
  for (const Condition& alternative : alternatives) {
    Var b = new_binary(plan, "or_pick");
    chosen.add(b, 1.0);
    plan_implied(plan, b, alternative);
  }
  plan.add_row(std::move(chosen), Sense::Ge, 0.0);
}

// t1 == t2 while `on` is 1 (on: a binary, or the constant 1).
void plan_same_truth(Plan& plan, const Condition& c, const LinExpr& on) {
  LinExpr left = plan_truth(plan, c.operands[0]), right = plan_truth(plan, c.operands[1]);
  LinExpr diff = left.minus(right);
  plan.add_row(LinExpr(diff).add_scaled(on, 1.0), Sense::Le, 1.0);                          // t1 - t2 <= 1 - on
  plan.add_row(LinExpr::number(0.0).minus(diff).add_scaled(on, 1.0), Sense::Le, 1.0);       // t2 - t1 <= 1 - on
}

// b = 1 forces the condition; b = 0 leaves it free.
void plan_implied(Plan& plan, Var b, const Condition& c) {
  switch (c.kind) {
    case CKind::Literal:
      if (!c.value) plan.add_row(LinExpr::of(b), Sense::Le, 0.0);
      return;
    case CKind::Compare: {
      if (c.op == Cmp::Ne) return plan_implied(plan, b, not_equal_as_or(c));
      Row row = comparison_row(c);
      plan.add_indicator(b, 1, std::move(row.expr), row.sense, row.rhs);
      return;
    }
    case CKind::Not:
      return plan_implied(plan, b, negated(c.operands[0]));
    case CKind::And:
      for (const Condition& o : c.operands) plan_implied(plan, b, o);
      return;
    case CKind::Or:
      return plan_alternatives(plan, c.operands, LinExpr::of(b));
    case CKind::Equivalent:
      return plan_same_truth(plan, c, LinExpr::of(b));
  }
}

// A binary a equal to the truth of diff (op) 0: one row forces the comparison while a is 1, the
// other its negation, by the margin, while a is 0. M is the largest magnitude of diff (plus the
// margin where a row carries one), so that each row is redundant when switched off.
LinExpr reified(Plan& plan, const Condition& c) {
  if (c.op == Cmp::Ne) return LinExpr::number(1.0).minus(reified(plan, negated(c)));
  LinExpr diff = c.diff.merged();
  if (diff.terms.empty()) {
    double d = diff.constant;
    bool holds = c.op == Cmp::Eq ? d == 0 : c.op == Cmp::Le ? d <= 0 : c.op == Cmp::Ge ? d >= 0 : c.op == Cmp::Lt ? d < 0 : d > 0;
    return LinExpr::number(holds ? 1.0 : 0.0);
  }
  Var a = new_binary(plan, "cmp");
  double g = c.margin;
  Interval range = plan.interval(diff);
  double m = kDefaultM, mm = kDefaultM;
  if (range.finite()) {
    m = std::max({std::fabs(range.lo), std::fabs(range.hi), kMinM});
    mm = m + g;
  }
  auto with = [&](const LinExpr& e, std::initializer_list<Term> terms) {
    LinExpr out = e;
    for (const Term& t : terms) out.add(t.var, t.coef);
    return out;
  };
  switch (c.op) {
    case Cmp::Ge:
      plan.add_row(with(diff, {{a, -m}}), Sense::Ge, -m);   // a = 1: diff >= 0
      plan.add_row(with(diff, {{a, -mm}}), Sense::Le, -g);  // a = 0: diff <= -margin
      break;
    case Cmp::Gt:
      plan.add_row(with(diff, {{a, -mm}}), Sense::Ge, g - mm);  // a = 1: diff >= margin
      plan.add_row(with(diff, {{a, -m}}), Sense::Le, 0.0);      // a = 0: diff <= 0
      break;
    case Cmp::Le:
      plan.add_row(with(diff, {{a, m}}), Sense::Le, m);   // a = 1: diff <= 0
      plan.add_row(with(diff, {{a, mm}}), Sense::Ge, g);  // a = 0: diff >= margin
      break;
    case Cmp::Lt:
      plan.add_row(with(diff, {{a, mm}}), Sense::Le, mm - g);  // a = 1: diff <= -margin
      plan.add_row(with(diff, {{a, m}}), Sense::Ge, 0.0);      // a = 0: diff >= 0
      break;
    default: {
      double tol = g > kEps ? 0.0 : kEqTol;
      plan.add_row(with(diff, {{a, m}}), Sense::Le, tol + m);    // a = 1: diff <= tolerance
      plan.add_row(with(diff, {{a, -m}}), Sense::Ge, -tol - m);  // a = 1: diff >= -tolerance
      Var side = new_binary(plan, "cmp_side");
      LinExpr reverse = LinExpr::number(0.0).minus(diff);
      plan.add_row(with(diff, {{side, -mm}, {a, mm}}), Sense::Ge, g - mm);  // a = 0, side = 1: diff >= margin
      plan.add_row(with(reverse, {{side, mm}, {a, mm}}), Sense::Ge, g);     // a = 0, side = 0: diff <= -margin
      break;
    }
  }
  return LinExpr::of(a);
}

}  // namespace

void plan_holds(Plan& plan, const Condition& c) {
  switch (c.kind) {
    case CKind::Literal:
      if (!c.value) {
        // A row without variables would be a constant; a binary that must be both 0 and 1 is not.
        Var never = new_binary(plan, "false");
        plan.add_row(LinExpr::of(never), Sense::Le, 0.0);
        plan.add_row(LinExpr::of(never), Sense::Ge, 1.0);
      }
      return;
    case CKind::Compare: {
      if (c.op == Cmp::Ne) return plan_holds(plan, not_equal_as_or(c));
      Row row = comparison_row(c);
      plan.add_row(std::move(row.expr), row.sense, row.rhs);
      return;
    }
    case CKind::Not:
      return plan_holds(plan, negated(c.operands[0]));
    case CKind::And:
      for (const Condition& o : c.operands) plan_holds(plan, o);
      return;
    case CKind::Or:
      return plan_alternatives(plan, c.operands, LinExpr::number(1.0));
    case CKind::Equivalent:
      return plan_same_truth(plan, c, LinExpr::number(1.0));
  }
}

LinExpr plan_truth(Plan& plan, const Condition& c) {
  switch (c.kind) {
    case CKind::Literal:
      return LinExpr::number(c.value ? 1.0 : 0.0);
    case CKind::Compare:
      return reified(plan, c);
    case CKind::Not:
      return LinExpr::number(1.0).minus(plan_truth(plan, c.operands[0]));
    case CKind::And:
    case CKind::Or: {
      bool all = c.kind == CKind::And;
      std::vector<LinExpr> parts;
      for (const Condition& o : c.operands) parts.push_back(plan_truth(plan, o));
      Var b = new_binary(plan, all ? "and" : "or");
      LinExpr total = LinExpr::of(b);
      for (const LinExpr& p : parts) {
        plan.add_row(LinExpr::of(b).minus(p), all ? Sense::Le : Sense::Ge, 0.0);  // and: b <= p; or: b >= p
        total.add_scaled(p, -1.0);
      }
      // and: b >= sum - (n - 1); or: b <= sum.
      double n = static_cast<double>(parts.size());
      plan.add_row(std::move(total), all ? Sense::Ge : Sense::Le, all ? 1.0 - n : 0.0);
      return LinExpr::of(b);
    }
    case CKind::Equivalent:
      break;
  }
  // t = 1 exactly when both truths agree.
  LinExpr left = plan_truth(plan, c.operands[0]), right = plan_truth(plan, c.operands[1]);
  Var t = new_binary(plan, "equiv");
  LinExpr sum = LinExpr(left).add_scaled(right, 1.0), diff = left.minus(right);
  plan.add_row(LinExpr::of(t).add_scaled(sum, 1.0), Sense::Ge, 1.0);                       // t >= 1 - l - r
  plan.add_row(LinExpr::of(t).minus(sum), Sense::Ge, -1.0);                                // t >= l + r - 1
  plan.add_row(LinExpr::of(t).add_scaled(diff, -1.0), Sense::Le, 1.0);                     // t <= 1 + l - r
  plan.add_row(LinExpr::of(t).add_scaled(diff, 1.0), Sense::Le, 1.0);                      // t <= 1 - l + r
  return LinExpr::of(t);
}

}  // namespace linearcore
