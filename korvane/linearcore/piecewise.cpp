// Piecewise-linear functions of a linear expression.
//
// A convex function that only has to be small is the largest of its lines, a concave one that
// only has to be large the smallest: one row per line, no binary. Anything else is exact: the
// solver's own piecewise-linear constraint where it has one, else the incremental formulation
// over the interval of the argument, which fills the segments from left to right (a binary per
// inner breakpoint says the segment before it is full), so no SOS2 is needed.
#include <algorithm>

#include "constructs.hpp"

namespace linearcore {

namespace {

// The segment of x: the number of breakpoints at or below it.
std::size_t segment_of(const Piecewise& f, double x) {
  return static_cast<std::size_t>(std::upper_bound(f.breakpoints.begin(), f.breakpoints.end(), x) - f.breakpoints.begin());
}

// Line k of f as (value at 0, slope).
std::pair<double, double> line(const Piecewise& f, std::size_t k) {
  double at = k < f.breakpoints.size() ? f.breakpoints[k] : f.breakpoints.back();
  double slope = f.slopes[k];
  return {f.value_at(at) - slope * at, slope};
}

// t >= every line (convex, at least f) or t <= every line (concave, at most f).
LinExpr bound_by_lines(Plan& plan, const Piecewise& f, const LinExpr& e, Sense sense) {
  Interval range = plan.interval(e);
  double lo = -kInf, hi = kInf;
  if (range.finite()) {
    // A convex function is largest, a concave one smallest, at an end of the interval.
    double at_lo = f.value_at(range.lo), at_hi = f.value_at(range.hi);
    if (sense == Sense::Ge) hi = std::max(at_lo, at_hi);
    if (sense == Sense::Le) lo = std::min(at_lo, at_hi);
  }
  Var t = plan.add_aux(Kind::Continuous, lo, hi, "pwl");
  for (std::size_t k = 0; k < f.slopes.size(); ++k) {
    auto [intercept, slope] = line(f, k);
    plan.add_row(LinExpr::of(t).add_scaled(e, -slope), sense, intercept);  // t (sense) intercept + slope * e
  }
  return LinExpr::of(t);
}

// The solver's constraint y = f(x): the breakpoints, and one point beyond each end so that the
// first and last segments go on with their slopes.
LinExpr solver_piecewise(Plan& plan, const Piecewise& f, const LinExpr& e) {
  Var x = as_variable(plan, e, Kind::Continuous, "pwlarg");
  std::vector<double> xs{f.breakpoints.front() - 1.0};
  xs.insert(xs.end(), f.breakpoints.begin(), f.breakpoints.end());
  xs.push_back(f.breakpoints.back() + 1.0);
  std::vector<double> ys;
  for (double v : xs) ys.push_back(f.value_at(v));
  Interval range = plan.interval(e);
  double lo = -kInf, hi = kInf;
  if (range.finite()) {
    // f is largest and smallest at an end of the interval or at a breakpoint inside it.
    lo = std::min(f.value_at(range.lo), f.value_at(range.hi));
    hi = std::max(f.value_at(range.lo), f.value_at(range.hi));
    for (double v : xs) {
      double at = std::clamp(v, range.lo, range.hi);
      lo = std::min(lo, f.value_at(at));
      hi = std::max(hi, f.value_at(at));
    }
  }
  Var y = plan.add_aux(Kind::Continuous, lo, hi, "pwl");
  plan.add_piecewise(x, y, std::move(xs), std::move(ys));
  return LinExpr::of(y);
}

// x = lo + d_1 + ... + d_n over the segments between lo, the breakpoints inside (lo, hi) and hi,
// each d_k in [0, width_k]; binary z_k = 1 says segment k is full and lets segment k+1 begin.
// f(x) = f(lo) + sum of slope_k * d_k.
LinExpr incremental(Plan& plan, const Piecewise& f, const LinExpr& e) {
  Interval range = plan.finite_interval(e);
  std::vector<double> points{range.lo};
  for (double b : f.breakpoints) {
    if (b > range.lo && b < range.hi) points.push_back(b);
  }
  points.push_back(range.hi);
  LinExpr value = LinExpr::number(f.value_at(range.lo));
  LinExpr filled = LinExpr(e);
  filled.constant -= range.lo;
  Var previous_full = -1;
  bool has_previous = false;
  for (std::size_t k = 0; k + 1 < points.size(); ++k) {
    double width = points[k + 1] - points[k];
    if (width <= 0.0) continue;
    Var d = plan.add_aux(Kind::Continuous, 0.0, width, "pwl_fill");
    filled.add(d, -1.0);
    value.add(d, f.slopes[segment_of(f, points[k])]);
    if (has_previous) plan.add_row(LinExpr::of(d).add(previous_full, -width), Sense::Le, 0.0);  // d_k <= width * z_{k-1}
    if (k + 2 < points.size()) {
      Var full = plan.add_aux(Kind::Binary, 0.0, 1.0, "pwl_full");
      plan.add_row(LinExpr::of(d).add(full, -width), Sense::Ge, 0.0);  // d_k >= width * z_k
      previous_full = full;
      has_previous = true;
    }
  }
  plan.add_row(std::move(filled), Sense::Eq, 0.0);  // e - lo = sum of the fills
  return value;
}

}  // namespace

double Piecewise::value_at(double x) const {
  // From the anchor, along the slopes of the segments between it and x.
  std::size_t from = std::upper_bound(breakpoints.begin(), breakpoints.end(), anchor_x) - breakpoints.begin();
  std::size_t to = std::upper_bound(breakpoints.begin(), breakpoints.end(), x) - breakpoints.begin();
  double y = anchor_y, at = anchor_x;
  while (from < to) {
    y += slopes[from] * (breakpoints[from] - at);
    at = breakpoints[from++];
  }
  while (from > to) {
    y -= slopes[from] * (at - breakpoints[from - 1]);
    at = breakpoints[--from];
  }
  return y + slopes[to] * (x - at);
}

bool Piecewise::convex() const {
  return std::is_sorted(slopes.begin(), slopes.end());
}

bool Piecewise::concave() const {
  return std::is_sorted(slopes.rbegin(), slopes.rend());
}

LinExpr plan_piecewise(Plan& plan, const Piecewise& f, const LinExpr& expression, Use use) {
  LinExpr e = expression.merged();
  if (e.terms.empty()) return LinExpr::number(f.value_at(e.constant));
  if (f.breakpoints.empty()) {
    // One line: f(e) = anchor_y + slope * (e - anchor_x).
    return LinExpr::number(f.anchor_y - f.slopes[0] * f.anchor_x).add_scaled(e, f.slopes[0]);
  }
  if (use == Use::Upper && f.convex()) return bound_by_lines(plan, f, e, Sense::Ge);
  if (use == Use::Lower && f.concave()) return bound_by_lines(plan, f, e, Sense::Le);
  if (plan.options().general_constraints) return solver_piecewise(plan, f, e);
  return incremental(plan, f, e);
}

}  // namespace linearcore
