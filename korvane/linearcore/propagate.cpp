// Implied bounds by single-row interval propagation, as MIP presolvers do: in a row
// sum a_j x_j <= r, each x_k is bounded by what the row leaves it once every other term sits
// at its least value. A few passes let bounds flow along chains of rows.
#include <algorithm>

#include "plan.hpp"

namespace linearcore {

namespace {

constexpr double kRelativeSlack = 1e-9;

double slack(double value, double magnitude) {
  return kRelativeSlack * (1.0 + std::fabs(value) + magnitude);
}

struct Tightener {
  std::vector<Interval>& bounds;
  const std::vector<bool>& integral;
  bool changed = false;

  // Only a clear improvement counts, so that loosened bounds cannot creep forever.
  void upper(Var v, double value) {
    Interval& b = bounds[static_cast<std::size_t>(v)];
    if (integral[static_cast<std::size_t>(v)]) value = std::floor(value + slack(value, 0.0));
    if (value < b.hi - 1e-7 * (1.0 + std::fabs(b.hi)) || (std::isinf(b.hi) && std::isfinite(value))) {
      b.hi = value;
      changed = true;
    }
  }
  void lower(Var v, double value) {
    Interval& b = bounds[static_cast<std::size_t>(v)];
    if (integral[static_cast<std::size_t>(v)]) value = std::ceil(value - slack(value, 0.0));
    if (value > b.lo + 1e-7 * (1.0 + std::fabs(b.lo)) || (std::isinf(b.lo) && std::isfinite(value))) {
      b.lo = value;
      changed = true;
    }
  }

  // sign * (sum of terms) <= rhs.
  void at_most(const std::vector<Term>& terms, double sign, double rhs) {
    double least = 0.0, magnitude = 0.0;
    int open = 0;
    int open_at = -1;
    std::vector<double> mins(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) {
      double a = sign * terms[i].coef;
      const Interval& b = bounds[static_cast<std::size_t>(terms[i].var)];
      mins[i] = a > 0 ? a * b.lo : a * b.hi;
      if (std::isfinite(mins[i])) {
        least += mins[i];
        magnitude += std::fabs(mins[i]);
      } else {
        ++open;
        open_at = static_cast<int>(i);
      }
    }
    if (open > 1) return;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      if (open == 1 && static_cast<int>(i) != open_at) continue;
      double rest = open == 1 ? least : least - mins[i];
      double a = sign * terms[i].coef;
      double bound = (rhs - rest) / a;
      double loose = slack(bound, magnitude / std::fabs(a) + std::fabs(rhs / a));
      if (!std::isfinite(bound)) continue;
      if (a > 0) {
        upper(terms[i].var, bound + loose);
      } else {
        lower(terms[i].var, bound - loose);
      }
    }
  }
};

}  // namespace

bool propagate_bounds(const std::vector<Row>& rows, std::vector<Interval>& bounds, const std::vector<bool>& integral,
                      int rounds) {
  Tightener t{bounds, integral};
  for (int round = 0; round < rounds; ++round) {
    t.changed = false;
    for (const Row& row : rows) {
      LinExpr e = row.expr.merged();
      double rhs = row.rhs - e.constant;
      if (e.terms.empty()) continue;
      if (row.sense != Sense::Ge) t.at_most(e.terms, 1.0, rhs);
      if (row.sense != Sense::Le) t.at_most(e.terms, -1.0, -rhs);
    }
    for (const Interval& b : bounds) {
      if (b.lo > b.hi + 1e-9 * (1.0 + std::fabs(b.lo))) return false;
    }
    if (!t.changed) break;
  }
  return true;
}

}  // namespace linearcore
