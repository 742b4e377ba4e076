// The shared linearisation core: each non-linear or logical construct over decision variables is
// planned here once, as auxiliary variables and rows over a small algebra, and each target
// renders the plan in its own medium. Neither Python nor a target's data structures appear here.
//
// Variables are opaque handles (`Var`). A handle >= 0 is a variable of the target (a column of
// the SciPy target, an entry of the gurobipy target's table of variable texts); a handle < 0 is
// the plan's own auxiliary number aux_index(v), created by Plan::add_aux.
//
// A target renders a plan in this order:
//   1. every entry of `plan.auxiliaries`, in order, as a new variable (kind, bounds, a name made
//      from its prefix), remembering which target variable each auxiliary became;
//   2. every entry of `plan.steps`, in order: a Row as `expr (sense) rhs`; an Indicator as
//      "binary == value forces the row" (an indicator constraint, or big-M rows over the row's
//      interval); a GeneralConstraint as the solver's own max/min/abs constraint. Only plans
//      made with general constraints allowed (Plan::Options) hold GeneralConstraint steps.
// The planners return the expression that stands for the construct (usually one auxiliary),
// which the target puts where the construct stood.
//
// Bounds: the planner asks the target for the interval of each of its variables (BoundSource).
// When an exact encoding needs a bound that is infinite, the planner throws `Unbounded`, naming
// the variable and the side; the target turns it into its own error naming the constraint.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace linearcore {

inline constexpr double kInf = HUGE_VAL;

using Var = int;
inline constexpr bool is_aux(Var v) {
  return v < 0;
}
inline constexpr int aux_index(Var v) {
  return -1 - v;
}
inline constexpr Var aux_var(int index) {
  return -1 - index;
}

struct Term {
  Var var;
  double coef;
};

// constant + sum of coef * var.
struct LinExpr {
  std::vector<Term> terms;
  double constant = 0.0;

  static LinExpr of(Var v, double coef = 1.0) { return LinExpr{{{v, coef}}, 0.0}; }
  static LinExpr number(double c) { return LinExpr{{}, c}; }
  LinExpr& add(Var v, double coef) {
    terms.push_back({v, coef});
    return *this;
  }
  LinExpr& add_scaled(const LinExpr& e, double scale) {
    constant += scale * e.constant;
    for (const Term& t : e.terms) terms.push_back({t.var, t.coef * scale});
    return *this;
  }
  LinExpr minus(const LinExpr& e) const {
    LinExpr out = *this;
    return out.add_scaled(e, -1.0);
  }
  // Terms merged per variable, zero coefficients dropped.
  LinExpr merged() const;
  bool is_constant() const { return merged().terms.empty(); }
};

struct Interval {
  double lo = -kInf;
  double hi = kInf;
  bool finite() const { return std::isfinite(lo) && std::isfinite(hi); }
};

enum class Sense { Le, Ge, Eq };
enum class Kind { Binary, Integer, Continuous };

struct Aux {
  Kind kind;
  double lo, hi;
  std::string prefix;  // the target names the variable from it, e.g. "_abs_" + a counter
};

// expr (sense) rhs
struct Row {
  LinExpr expr;
  Sense sense;
  double rhs;
};

// binary == value forces the row.
struct Indicator {
  Var binary;
  int value;
  Row row;
};

enum class General { Abs, Max, Min };

// result = |args[0]| (Abs), or the max / min of args and, when present, the constant.
struct GeneralConstraint {
  General kind;
  Var result;
  std::vector<Var> args;
  std::optional<double> constant;
};

// y = f(x) for the piecewise-linear f through the points (xs[i], ys[i]), xs increasing, whose
// first and last two points go on as rays (the solver's own piecewise-linear constraint).
struct PiecewiseConstraint {
  Var x;
  Var y;
  std::vector<double> xs, ys;
};

using Step = std::variant<Row, Indicator, GeneralConstraint, PiecewiseConstraint>;

// How the construct's value is used where it stands. Upper: every place it appears only needs
// it small (minimised, or on the smaller side of <=), so a convex construct may be relaxed to
// t >= f(x); Lower: the mirror image, for concave constructs; Exact: anything else.
enum class Use { Upper, Lower, Exact };

// Thrown when an exact encoding needs a finite bound that `var` lacks on side `upper`.
struct Unbounded {
  Var var;
  bool upper;
};

// What the planners ask the target about its handles.
class BoundSource {
 public:
  virtual ~BoundSource() = default;
  virtual Interval bounds(Var target_var) const = 0;
  // False when the handle stands for an expression rather than one solver variable: a general
  // constraint then takes an auxiliary equal to it.
  virtual bool is_variable(Var /*target_var*/) const { return true; }
};

class Plan {
 public:
  struct Options {
    bool general_constraints = false;  // the target has the solver's max/min/abs constraints
  };

  Plan(const BoundSource& target, Options options) : target_(target), options_(options) {}

  Var add_aux(Kind kind, double lo, double hi, std::string prefix);
  void add_row(LinExpr expr, Sense sense, double rhs) { steps.emplace_back(Row{std::move(expr), sense, rhs}); }
  void add_indicator(Var binary, int value, LinExpr expr, Sense sense, double rhs) {
    steps.emplace_back(Indicator{binary, value, Row{std::move(expr), sense, rhs}});
  }
  void add_general(General kind, Var result, std::vector<Var> args, std::optional<double> constant = std::nullopt) {
    steps.emplace_back(GeneralConstraint{kind, result, std::move(args), constant});
  }

  void add_piecewise(Var x, Var y, std::vector<double> xs, std::vector<double> ys) {
    steps.emplace_back(PiecewiseConstraint{x, y, std::move(xs), std::move(ys)});
  }

  Interval bounds(Var v) const;
  bool is_variable(Var v) const { return is_aux(v) || target_.is_variable(v); }
  Interval interval(const LinExpr& e) const;
  // The interval of e, or Unbounded naming a variable that leaves it open.
  Interval finite_interval(const LinExpr& e) const;
  const Options& options() const { return options_; }

  std::vector<Aux> auxiliaries;
  std::vector<Step> steps;

 private:
  const BoundSource& target_;
  Options options_;
};

// ---- planners (planners.cpp) ----

// A variable equal to e: e itself when it is one variable, else a new auxiliary of `kind`.
Var as_variable(Plan& plan, const LinExpr& e, Kind kind, const char* prefix);

// An expression equal to |e| (Use::Upper: at least |e|; Use::Lower is exact, as |e| is convex).
// `kind`: the kind of the auxiliaries that hold values of e; Kind::Integer when e only takes
// whole values, so that comparisons of the result keep a margin of 1 rather than EPS.
LinExpr plan_abs(Plan& plan, const LinExpr& e, Use use, Kind kind = Kind::Continuous);

// An expression equal to max(args) (maximum) or min(args) (Use::Upper for max and Use::Lower for
// min relax it to a bound on the right side). `args` is not empty; `kind` as for plan_abs.
LinExpr plan_extreme(Plan& plan, bool maximum, const std::vector<LinExpr>& args, Use use, Kind kind = Kind::Continuous);

// ---- implied bounds (propagate.cpp) ----

// Tightens `bounds` (one interval per variable, indexed by handle) by single-row interval
// propagation over `rows`, at most `rounds` passes. Integer variables' bounds are rounded
// inward. Each derived bound holds at every point that satisfies all rows and the starting
// bounds; derived bounds are loosened by a relative 1e-9 against rounding errors. Returns false
// when some variable's interval became empty (the rows admit no point).
bool propagate_bounds(const std::vector<Row>& rows, std::vector<Interval>& bounds, const std::vector<bool>& integral,
                      int rounds = 8);

}  // namespace linearcore
