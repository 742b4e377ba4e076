// The product of a binary and a bounded expression, exact with four rows (McCormick's envelope,
// which is the product itself while the binary is 0 or 1).
#include <algorithm>

#include "constructs.hpp"

namespace linearcore {

LinExpr plan_product(Plan& plan, Var binary, const LinExpr& expression) {
  LinExpr e = expression.merged();
  if (e.terms.empty()) return LinExpr::of(binary, e.constant);
  Interval range = plan.finite_interval(e);
  double lo = range.lo, hi = range.hi;
  Var z = plan.add_aux(Kind::Continuous, std::min(0.0, lo), std::max(0.0, hi), "prod");
  plan.add_row(LinExpr::of(z).add(binary, -hi), Sense::Le, 0.0);                 // z <= hi * b
  plan.add_row(LinExpr::of(z).add(binary, -lo), Sense::Ge, 0.0);                 // z >= lo * b
  plan.add_row(LinExpr::of(z).minus(e).add(binary, -lo), Sense::Le, -lo);         // z <= e - lo * (1 - b)
  plan.add_row(LinExpr::of(z).minus(e).add(binary, -hi), Sense::Ge, -hi);         // z >= e - hi * (1 - b)
  return LinExpr::of(z);
}

}  // namespace linearcore
