// abs, max and min over decision variables, planned by the shared linearisation core and rendered
// here as columns and rows; and the implied bounds that the big-M encodings fall back on when a
// column has no declared bound on the side they need.
#include <variant>

#include "common/value_step.hpp"

#include "model.hpp"

namespace lpsparse {

namespace lc = linearcore;

namespace {

// The column bounds the plans see: declared ones, and implied ones where those are infinite.
class ColumnBounds : public lc::BoundSource {
 public:
  explicit ColumnBounds(Model& m) : m_(m) {}
  lc::Interval bounds(lc::Var col) const override {
    auto [lo, hi] = m_.column_interval(col);
    return {lo, hi};
  }

 private:
  Model& m_;
};

Sense to_sense(lc::Sense s) {
  return s == lc::Sense::Le ? Sense::Le : s == lc::Sense::Ge ? Sense::Ge : Sense::Eq;
}

Cmp to_cmp(lc::Sense s) {
  return s == lc::Sense::Le ? Cmp::Le : s == lc::Sense::Ge ? Cmp::Ge : Cmp::Eq;
}

}  // namespace

lc::LinExpr to_core(const LinExpr& e) {
  lc::LinExpr out;
  out.constant = e.constant;
  for (auto [col, coef] : e.terms) out.add(col, coef);
  return out;
}

// The use of a construct met at `scale` in a row whose terms want to be small (+1), large (-1),
// or exact (0).
lc::Use use_at(int direction, double scale) {
  int sign = direction * (scale > 0 ? 1 : scale < 0 ? -1 : 0);
  return sign > 0 ? lc::Use::Upper : sign < 0 ? lc::Use::Lower : lc::Use::Exact;
}


// The step D of the grid that e's values lie on (see margin()), when e reads integer columns only.
std::optional<long long> Model::grid_of(const LinExpr& e) {
  std::optional<long long> step = step_of(e.constant);
  for (auto [col, coef] : e.terms) {
    if (!integral[col]) return std::nullopt;
    step = combined_step(step, step_of(coef));
  }
  return step;
}

// Runs a planner over `pieces` scaled onto whole numbers when they lie on a common grid, so that
// the auxiliaries are integer columns and comparisons of the result keep a whole-step margin; the
// result is scaled back.
template <class Planner>
LinExpr Model::planned_on_grid(const char* what, std::vector<LinExpr> pieces, Planner&& planner) {
  std::optional<long long> grid = 1;
  for (const LinExpr& p : pieces) grid = combined_step(grid, grid_of(p));
  double scale = grid ? static_cast<double>(*grid) : 1.0;
  std::vector<lc::LinExpr> scaled;
  for (const LinExpr& p : pieces) {
    LinExpr q;
    q.add_scaled(p, scale);
    scaled.push_back(to_core(q));
  }
  lc::Kind kind = grid ? lc::Kind::Integer : lc::Kind::Continuous;
  LinExpr result = planned(what, [&](lc::Plan& plan) { return planner(plan, scaled, kind); });
  LinExpr out;
  out.add_scaled(result, 1.0 / scale);
  return out;
}

Model::Direction::Direction(Model& m, int direction) : m_(m), saved_(m.lin_direction) {
  m.lin_direction = direction;
}

Model::Direction::~Direction() {
  m_.lin_direction = saved_;
}

// ---- rendering a plan ----

LinExpr Model::render(const lc::Plan& plan, const lc::LinExpr& result) {
  std::vector<int> columns;
  for (const lc::Aux& a : plan.auxiliaries) {
    columns.push_back(new_auxiliary(a.prefix.c_str(), a.lo, a.hi, a.kind != lc::Kind::Continuous));
  }
  auto column = [&](lc::Var v) { return lc::is_aux(v) ? columns[static_cast<std::size_t>(lc::aux_index(v))] : v; };
  auto convert = [&](const lc::LinExpr& e) {
    LinExpr out;
    out.constant = e.constant;
    for (const lc::Term& t : e.terms) out.add(column(t.var), t.coef);
    return out;
  };
  for (const lc::Step& step : plan.steps) {
    if (const auto* row = std::get_if<lc::Row>(&step)) {
      add_row(convert(row->expr), to_sense(row->sense), row->rhs);
    } else if (const auto* ind = std::get_if<lc::Indicator>(&step)) {
      LinExpr diff = convert(ind->row.expr);
      diff.constant -= ind->row.rhs;
      indicator(column(ind->binary), ind->value, diff, to_cmp(ind->row.sense));
    } else {
      fail("Internal error in " + site_text() + ": a general constraint in a plan for the SciPy target");
    }
  }
  return convert(result);
}

// Runs a planner and renders its plan; a bound the encoding lacks becomes the error that names
// the column and the constraint.
template <class Planner>
LinExpr Model::planned(const char* what, Planner&& planner) {
  ColumnBounds bounds(*this);
  lc::Plan plan(bounds, {});
  try {
    lc::LinExpr result = planner(plan);
    return render(plan, result);
  } catch (const lc::Unbounded& u) {
    std::string name(column_names[static_cast<std::size_t>(u.var)]);
    fail("Variable '" + name + "' has no finite " + (u.upper ? "upper" : "lower") + " bound, which " + what + " in " +
         site_text() + " needs for its exact encoding, and none follows from the linear constraints: declare the " +
         "variable with 'in lo..hi' or add a bound constraint such as " + name + (u.upper ? " <= 100" : " >= -100"));
  }
}

LinExpr Model::planned_by(const char* what, const std::function<lc::LinExpr(lc::Plan&)>& planner) {
  return planned(what, planner);
}

void Model::lin_abs(const Expr& x, double scale, LinExpr& out) {
  lc::Use use = use_at(lin_direction, scale);
  LinExpr arg;
  {
    Direction exact(*this, 0);
    lin(x.args[0], 1.0, arg);
  }
  auto plan_abs = [&](lc::Plan& p, const std::vector<lc::LinExpr>& pieces, lc::Kind kind) {
    return lc::plan_abs(p, pieces[0], use, kind);
  };
  out.add_scaled(planned_on_grid("abs()", {arg}, plan_abs), scale);
}

void Model::lin_extreme(const Expr& x, double scale, LinExpr& out) {
  bool maximum = x.op == Op::Max;
  lc::Use use = use_at(lin_direction, scale);
  bool relaxed = use == (maximum ? lc::Use::Upper : lc::Use::Lower);
  // Relaxed, each piece only has to stay below t (max) or above it (min).
  Direction pieces_direction(*this, relaxed ? (maximum ? 1 : -1) : 0);
  std::vector<LinExpr> pieces;
  auto piece = [&](int e) {
    LinExpr p;
    lin(e, 1.0, p);
    pieces.push_back(std::move(p));
  };
  if (x.loop >= 0) {
    for_each(x.loop, [&] { piece(x.a); });
    if (pieces.empty())
      fail(std::string("Unsupported ") + (maximum ? "max" : "min") + " over an empty set in " + site_text());
  } else {
    for (int arg : x.args) piece(arg);
  }
  const char* what = maximum ? "max()" : "min()";
  auto plan_extreme = [&](lc::Plan& p, const std::vector<lc::LinExpr>& scaled, lc::Kind kind) {
    return lc::plan_extreme(p, maximum, scaled, use, kind);
  };
  out.add_scaled(planned_on_grid(what, std::move(pieces), plan_extreme), scale);
}

// ---- implied bounds ----

std::pair<double, double> Model::column_interval(int col) {
  double lo = lb[col], hi = ub[col];
  if ((std::isfinite(lo) && std::isfinite(hi)) || static_cast<std::size_t>(col) >= model_columns) return {lo, hi};
  if (!implied_) compute_implied_bounds();
  const lc::Interval& b = (*implied_)[static_cast<std::size_t>(col)];
  return {std::max(lo, b.lo), std::min(hi, b.hi)};
}

// True when instantiating e adds no column and no row: no comparison, abs, max or min over
// variables inside.
bool Model::plain_linear(int e) const {
  const Expr& x = exprs[e];
  if (!x.has_var) return true;
  switch (x.op) {
    case Op::Var:
      return true;
    case Op::Neg:
    case Op::Sum:
      return plain_linear(x.a);
    case Op::Add:
    case Op::Sub:
      return plain_linear(x.a) && plain_linear(x.b);
    case Op::Mul:
      return !(exprs[x.a].has_var && exprs[x.b].has_var) && plain_linear(x.a) && plain_linear(x.b);
    case Op::Div:
      return !exprs[x.b].has_var && plain_linear(x.a);
    case Op::Cond:
      return !exprs[x.a].has_var && plain_linear(x.b) && plain_linear(x.c);
    default:
      return false;
  }
}

void Model::collect_linear_rows(int c, std::vector<lc::Row>& rows) {
  const Constraint& k = constraints[c];
  if (k.kind == CKind::Forall) {
    for_each(k.loop, [&] {
      for (int child : k.body) collect_linear_rows(child, rows);
    });
    return;
  }
  if (k.kind != CKind::Compare || k.cmp == Cmp::Ne || !plain_linear(k.left) || !plain_linear(k.right)) return;
  LinExpr diff;
  lin(k.left, 1.0, diff);
  lin(k.right, -1.0, diff);
  // A strict comparison implies the non-strict one, which is all a bound needs.
  lc::Sense sense = k.cmp == Cmp::Eq                         ? lc::Sense::Eq
                    : (k.cmp == Cmp::Le || k.cmp == Cmp::Lt) ? lc::Sense::Le
                                                             : lc::Sense::Ge;
  rows.push_back({to_core(diff), sense, 0.0});
}

// Once per run, on the first need: the linear constraints instantiated once more into a list of
// rows, and the declared bounds propagated through them. The loops of the constraint being
// instantiated when the need arises are saved around that walk.
void Model::compute_implied_bounds() {
  std::vector<Value> saved_slots = slots;
  std::vector<const Domain*> saved_domains = slot_domain_;
  std::vector<std::uint32_t> saved_positions = slot_pos_;
  Site saved_site = site;
  std::size_t saved_iterations = iterations_;
  std::vector<lc::Row> rows;
  for (int c : top_constraints) {
    iterations_ = 0;
    site = {c, constraints[c].lineno};
    collect_linear_rows(c, rows);
  }
  slots = std::move(saved_slots);
  slot_domain_ = std::move(saved_domains);
  slot_pos_ = std::move(saved_positions);
  site = saved_site;
  iterations_ = saved_iterations;
  std::vector<lc::Interval> bounds;
  std::vector<bool> integer;
  for (std::size_t col = 0; col < model_columns; ++col) {
    bounds.push_back({lb[col], ub[col]});
    integer.push_back(integral[col] != 0);
  }
  // Rows that admit no point bound nothing usable; the solver reports the model infeasible.
  if (!lc::propagate_bounds(rows, bounds, integer)) {
    for (std::size_t col = 0; col < model_columns; ++col) bounds[col] = {lb[col], ub[col]};
  }
  implied_ = std::move(bounds);
}

}  // namespace lpsparse
