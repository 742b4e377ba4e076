// Instantiation of the objective and the constraints into rows, and the linearisations: reified
// comparisons, counts, not-equal and implications with the Gurobi target's encodings. Where the
// Gurobi target writes an indicator constraint, this target writes big-M rows whose M comes from
// the column bounds, so that every row is redundant when its switch is off.
#include <algorithm>
#include <tuple>

#include "common/value_step.hpp"

#include "model.hpp"

namespace lpsparse {

namespace {

Key kObjective{"objective"};
Key kConstraints{"constraints"};
Key kType{"type"};
Key kExpression{"expression"};
Key kLineno{"lineno"};

LinExpr difference(Model& m, int left, int right) {
  LinExpr d;
  m.lin(left, 1.0, d);
  m.lin(right, -1.0, d);
  return d;
}

LinExpr shifted(LinExpr e, double delta) {
  e.constant += delta;
  return e;
}

LinExpr negated(const LinExpr& e) {
  LinExpr out;
  out.add_scaled(e, -1.0);
  return out;
}

LinExpr with(LinExpr e, std::initializer_list<std::pair<int, double>> terms) {
  for (auto [col, coef] : terms) e.add(col, coef);
  return e;
}

LinExpr constant_expr(double v) {
  LinExpr e;
  e.constant = v;
  return e;
}

}  // namespace

// ---- columns and rows ----

void Model::reserve_columns(std::size_t more) {
  std::size_t n = column_names.size() + more;
  for (auto* v : {&lb, &ub, &cost}) v->reserve(n);
  integral.reserve(n);
  mark_.reserve(n);
}

void Model::add_column(std::string_view name, double low, double high, bool integer) {
  column_names.add(name);
  lb.push_back(low);
  ub.push_back(high);
  integral.push_back(integer ? 1 : 0);
  cost.push_back(0.0);
  mark_.push_back(-1);
}

int Model::new_auxiliary(const char* prefix, double low, double high, bool integer) {
  std::string name = std::string("_").append(prefix).append("_").append(std::to_string(++aux_counter_));
  add_column(name, low, high, integer);
  return static_cast<int>(column_names.size()) - 1;
}

int Model::new_binary(const char* prefix) {
  return new_auxiliary(prefix, 0.0, 1.0, true);
}

// Terms of `e` with each column once and no zero coefficient.
void Model::merge_row(const LinExpr& e, std::vector<std::pair<int, double>>& merged) {
  merged.clear();
  for (auto [col, coef] : e.terms) {
    std::int32_t& slot = mark_[col];
    if (slot < 0) {
      slot = static_cast<std::int32_t>(merged.size());
      merged.emplace_back(col, coef);
    } else {
      merged[slot].second += coef;
    }
  }
  for (auto [col, coef] : merged) mark_[col] = -1;
  std::erase_if(merged, [](const auto& term) { return term.second == 0.0; });
}

namespace {

void push_row(RowStore& store, const std::vector<std::pair<int, double>>& terms, double sign, double rhs) {
  for (auto [col, coef] : terms) {
    store.idx.push_back(col);
    store.val.push_back(sign * coef);
  }
  store.ptr.push_back(static_cast<std::int64_t>(store.idx.size()));
  store.rhs.push_back(sign * rhs);
}

}  // namespace

// Arithmetic on large data can overflow to inf (or inf - inf to nan): such a row is refused
// rather than handed to the solver.
void Model::check_finite(const std::vector<std::pair<int, double>>& terms, double constant) {
  bool finite = std::isfinite(constant);
  for (auto [col, coef] : terms) finite = finite && std::isfinite(coef);
  if (!finite) fail("Arithmetic overflow in " + site_text() + ": a coefficient or constant is not a finite number");
}

// The bounds of an integer column hold integers only: rounded inward, with a tolerance for the
// rounding errors of bounds divided out of rows (3 * x >= 0.9 gives 0.30000000000000004).
void Model::round_integer_bounds(int col) {
  std::tie(lb[col], ub[col]) = integer_range(col, lb[col], ub[col]);
}

// low..high as the column can take it: rounded inward for an integer column.
std::pair<double, double> Model::integer_range(int col, double low, double high) const {
  if (!integral[col]) return {low, high};
  auto tolerance = [](double v) { return kBoundTol * std::max(1.0, std::fabs(v)); };
  if (std::isfinite(low)) low = std::ceil(low - tolerance(low));
  if (std::isfinite(high)) high = std::floor(high + tolerance(high));
  return {low, high};
}

// Whether the column keeps a value (an integer one for an integer column) under low..high and
// the bounds it already has.
bool Model::bounds_admit(int col, double low, double high) const {
  auto [l, h] = integer_range(col, std::max(lb[col], low), std::min(ub[col], high));
  return l <= h + 1e-9;
}

// Bounds low..high for a column, tightened by what it already has. Bounds that cross admit no
// point: the column keeps a finite range (later big-M values are computed from it) and an empty
// row that cannot hold makes the solver report the model infeasible.
void Model::tighten_bounds(int col, double low, double high) {
  lb[col] = std::max(lb[col], low);
  ub[col] = std::min(ub[col], high);
  round_integer_bounds(col);
  if (lb[col] <= ub[col] + 1e-9) {
    ub[col] = std::max(lb[col], ub[col]);
    return;
  }
  ub[col] = lb[col];
  add_row(constant_expr(0.0), Sense::Le, -1.0);
}

// e (sense) rhs. A row on one column tightens that column's bounds instead; a row without
// columns is dropped when it holds and kept (empty, so the solver reports the model infeasible)
// when it does not.
void Model::add_row(const LinExpr& e, Sense sense, double rhs) {
  std::vector<std::pair<int, double>>& merged = row_terms_;
  merge_row(e, merged);
  rhs -= e.constant;
  check_finite(merged, rhs);
  if (merged.empty()) {
    bool holds = sense == Sense::Le ? 0.0 <= rhs + 1e-9 : sense == Sense::Ge ? 0.0 >= rhs - 1e-9 : std::fabs(rhs) <= 1e-9;
    if (holds) return;
  } else if (merged.size() == 1) {
    auto [col, coef] = merged[0];
    double bound = rhs / coef;
    bool upper = (sense == Sense::Le) == (coef > 0);
    double low = sense == Sense::Eq || !upper ? bound : -kInf, high = sense == Sense::Eq || upper ? bound : kInf;
    // A bound that would leave the column no value stays a row, so that the conflict it makes
    // with the column's other bounds is visible to whoever explains the infeasibility.
    if (bounds_admit(col, low, high)) {
      bound_rows.push_back({col, low, high, lb[col], ub[col], current_origin});
      return tighten_bounds(col, low, high);
    }
    // The model has no point; the column keeps a finite range all the same, for the big-M
    // values computed later, by shrinking onto the bound the row contradicts.
    if (std::isinf(lb[col]) && std::isfinite(ub[col])) lb[col] = ub[col];
    if (std::isinf(ub[col]) && std::isfinite(lb[col])) ub[col] = lb[col];
  }
  RowStore& store = sense == Sense::Eq ? eq_rows : ub_rows;
  double sign = sense == Sense::Ge ? -1.0 : 1.0;
  if (repeats_last_row(store, merged, sign, rhs)) return;
  push_row(store, merged, sign, rhs);
  if (sense == Sense::Eq) {
    eq_origin.push_back(current_origin);
  } else {
    ub_origin.push_back(current_origin);
    ub_flipped.push_back(sense == Sense::Ge ? 1 : 0);
  }
  if (site.constraint >= 0) {
    auto c = static_cast<std::size_t>(site.constraint);
    if (last_rows_.size() <= c) last_rows_.resize(c + 1);
    last_rows_[c] = {&store, store.rows() - 1};
  }
}

// A loop whose body does not depend on its iterator writes the same row on every pass: the row
// is stored once, as the solver's presolve has been seen to declare valid models with such
// repeated rows infeasible. True when `terms` (sign) rhs is the last row of the constraint
// being instantiated.
bool Model::repeats_last_row(const RowStore& store, const std::vector<std::pair<int, double>>& terms, double sign,
                             double rhs) const {
  if (site.constraint < 0) return false;
  auto c = static_cast<std::size_t>(site.constraint);
  if (c >= last_rows_.size() || last_rows_[c].store != &store) return false;
  std::size_t row = last_rows_[c].row;
  auto begin = static_cast<std::size_t>(store.ptr[row]);
  if (store.ptr[row + 1] - store.ptr[row] != static_cast<std::int64_t>(terms.size()) || store.rhs[row] != sign * rhs) {
    return false;
  }
  for (std::size_t k = 0; k < terms.size(); ++k) {
    if (store.idx[begin + k] != terms[k].first || store.val[begin + k] != sign * terms[k].second) return false;
  }
  return true;
}

// The least amount by which diff is away from zero when it is not zero. Over integer columns
// with coefficients and constant that are multiples of 1/D, diff is a multiple of 1/D: the
// margin is 1/D (1 for integer models), else EPS, the margin that makes strict comparisons
// strict. Such margins stay clear of the solver's integrality tolerance times a big-M, where
// EPS would drown, and keep the rows of integer models free of tiny fractions, which the
// solver's presolve has been seen to mishandle.
double Model::margin(const LinExpr& diff) {
  std::optional<long long> step = step_of(diff.constant);
  std::vector<std::pair<int, double>> merged;
  merge_row(diff, merged);
  for (auto [col, coef] : merged) {
    if (!step || !integral[col]) return kEps;
    step = combined_step(step, step_of(coef));
  }
  return step ? 1.0 / static_cast<double>(*step) : kEps;
}

// diff (op) 0, with strict comparisons shifted by the margin.
void Model::add_comparison(const LinExpr& diff, Cmp op) {
  switch (op) {
    case Cmp::Le:
      return add_row(diff, Sense::Le, 0.0);
    case Cmp::Ge:
      return add_row(diff, Sense::Ge, 0.0);
    case Cmp::Eq:
      return add_row(diff, Sense::Eq, 0.0);
    case Cmp::Lt:
      return add_row(diff, Sense::Le, -margin(diff));
    case Cmp::Gt:
      return add_row(diff, Sense::Ge, margin(diff));
    case Cmp::Ne:
      break;
  }
  fail("Unsupported comparison '!=' in " + site_text());
}

// ---- bounds and big-M ----

std::pair<double, double> Model::interval(const LinExpr& e) {
  std::vector<std::pair<int, double>> merged;
  merge_row(e, merged);
  double lo = e.constant, hi = e.constant;
  for (auto [col, coef] : merged) {
    auto [low, high] = column_interval(col);
    lo += coef > 0 ? coef * low : coef * high;
    hi += coef > 0 ? coef * high : coef * low;
  }
  return {std::isnan(lo) ? -kInf : lo, std::isnan(hi) ? kInf : hi};
}

namespace {

// The M of a reification: the largest magnitude of the difference, or the default when a side
// has no finite bound. `margin` is added where a line carries a margin against its relaxing
// term, so that the line stays redundant at the extreme points.
struct BigM {
  double plain;
  double with_margin;
};

// Equality within EQ_TOL, or exactly for differences known to be multiples of their margin.
double equality_tolerance(double margin) {
  return margin > kEps ? 0.0 : kEqTol;
}

BigM big_m(Model& m, const LinExpr& diff, double margin) {
  auto [lo, hi] = m.interval(diff);
  if (!std::isfinite(lo) || !std::isfinite(hi)) return {kDefaultM, kDefaultM};
  double span = std::max({std::fabs(lo), std::fabs(hi), kMinM});
  return {span, span + margin};
}

}  // namespace

LinExpr Model::truth_of(int e) {
  RecursionGuard guard(" while linearising a boolean expression");
  const Expr& x = exprs[e];
  if (!x.has_var) return constant_expr(truth(e) ? 1.0 : 0.0);
  switch (x.op) {
    case Op::Cmp:
      return reify(difference(*this, x.a, x.b), x.cmp);
    case Op::Not: {
      LinExpr out = constant_expr(1.0);
      out.add_scaled(truth_of(x.a), -1.0);
      return out;
    }
    case Op::And:
    case Op::Or: {
      LinExpr l = truth_of(x.a), r = truth_of(x.b);
      int b = new_binary(x.op == Op::And ? "and" : "or");
      LinExpr both = l;
      both.add_scaled(r, 1.0);
      if (x.op == Op::And) {
        add_row(with(negated(l), {{b, 1.0}}), Sense::Le, 0.0);      // b <= l
        add_row(with(negated(r), {{b, 1.0}}), Sense::Le, 0.0);      // b <= r
        add_row(with(negated(both), {{b, 1.0}}), Sense::Ge, -1.0);  // b >= l + r - 1
      } else {
        add_row(with(negated(l), {{b, 1.0}}), Sense::Ge, 0.0);      // b >= l
        add_row(with(negated(r), {{b, 1.0}}), Sense::Ge, 0.0);      // b >= r
        add_row(with(negated(both), {{b, 1.0}}), Sense::Le, 0.0);  // b <= l + r
      }
      LinExpr out;
      out.add(b, 1.0);
      return out;
    }
    default:
      if (is_boolean_var(e)) {
        LinExpr out;
        lin(e, 1.0, out);
        return out;
      }
      fail("Unsupported boolean expression over decision variables in " + site_text() +
           ": use comparisons, and, or, not or boolean variables");
  }
}

namespace {

// The first column that leaves `e` without a finite bound in the direction `upper`.
int unbounded_column(Model& m, const LinExpr& e, bool upper) {
  for (auto [col, coef] : e.terms) {
    auto [low, high] = m.column_interval(col);
    double bound = (coef > 0) == upper ? high : low;
    if (coef != 0.0 && !std::isfinite(bound)) return col;
  }
  return -1;
}

}  // namespace

// binary == fire_on forces `diff (op) 0`: the big-M rows of an indicator constraint, with M from
// the bounds of diff's columns. Strict comparisons are shifted by the margin.
void Model::indicator(int binary, int fire_on, const LinExpr& diff, Cmp op) {
  if (op == Cmp::Lt) return indicator(binary, fire_on, shifted(diff, margin(diff)), Cmp::Le);
  if (op == Cmp::Gt) return indicator(binary, fire_on, shifted(diff, -margin(diff)), Cmp::Ge);
  if (op == Cmp::Ne) fail("Unsupported comparison '!=' in an indicator of " + site_text());
  auto [lo, hi] = interval(diff);
  // off = 1 - binary when firing on 1, binary when firing on 0: the rows are diff <= M * off
  // and diff >= -M * off.
  double off_coef = fire_on ? -1.0 : 1.0, off_constant = fire_on ? 1.0 : 0.0;
  for (bool upper : {true, false}) {
    if ((upper && op == Cmp::Ge) || (!upper && op == Cmp::Le)) continue;
    double extreme = upper ? hi : lo;
    if (!std::isfinite(extreme)) {
      int col = unbounded_column(*this, diff, upper);
      std::string name(column_names[col]);
      fail("Variable '" + name + "' has no finite " + (upper ? "upper" : "lower") + " bound, which " + site_text() +
           " needs for its big-M encoding, and none follows from the linear constraints: declare the variable with " +
           "'in lo..hi' or add a bound constraint such as " + name + (upper ? " <= 100" : " >= -100"));
    }
    double m = upper ? std::max(0.0, extreme) : std::max(0.0, -extreme);
    if (m == 0.0) continue;  // the comparison holds everywhere
    LinExpr row = diff;
    row.add(binary, upper ? -m * off_coef : m * off_coef);
    double rhs = upper ? m * off_constant : -m * off_constant;
    add_row(row, upper ? Sense::Le : Sense::Ge, rhs);
  }
}

void Model::not_equal(int left, int right) {
  if (is_boolean_var(left) && is_boolean_var(right)) {
    LinExpr sum;
    lin(left, 1.0, sum);
    lin(right, 1.0, sum);
    return add_row(sum, Sense::Eq, 1.0);
  }
  LinExpr diff = difference(*this, left, right);
  std::vector<std::pair<int, double>> merged;
  merge_row(diff, merged);
  if (merged.empty()) {
    if (diff.constant == 0.0) add_row(constant_expr(0.0), Sense::Eq, 1.0);  // equal data: infeasible
    return;
  }
  // Sides that differ are at least the margin apart: 1 for integer sides, else EPS.
  double g = margin(diff);
  auto [lo, hi] = interval(diff);
  double m = std::isfinite(lo) && std::isfinite(hi) ? std::max({hi, -lo, 0.0}) + g : kDefaultM;
  int flag = new_binary("neq_flag");
  add_row(with(diff, {{flag, m}}), Sense::Ge, g);               // flag = 0: left - right >= margin
  add_row(with(negated(diff), {{flag, -m}}), Sense::Ge, g - m);  // flag = 1: right - left >= margin
}

void Model::implication(const Implication& plan) {
  switch (plan.path) {
    case Path::Logical: {
      LinExpr link = truth_of(plan.ante_left);
      link.add_scaled(truth_of(plan.cons_left), -1.0);
      return add_row(link, Sense::Le, 0.0);  // antecedent <= consequent
    }
    case Path::Contrapositive: {
      // The consequent's binary at 0 forces the antecedent false.
      LinExpr diff = difference(*this, plan.ante_left, plan.ante_right);
      int binary = column_of(exprs[plan.binary]);
      return indicator(binary, 0, plan.ante_op == Cmp::Gt ? diff : shifted(diff, margin(diff)), Cmp::Le);
    }
    case Path::Direct:
      return indicator(column_of(exprs[plan.binary]), plan.indicator_value,
                       difference(*this, plan.cons_left, plan.cons_right), plan.cons_op);
    case Path::General:
      break;
  }
  // The flag equals the truth of the antecedent: 1 forces it, 0 forces its negation, each by
  // the margin where the comparison is strict.
  LinExpr ante = difference(*this, plan.ante_left, plan.ante_right);
  double ga = margin(ante);
  int flag = new_binary("impl_flag");
  switch (plan.ante_op) {
    case Cmp::Ge:
      indicator(flag, 1, ante, Cmp::Ge);                 // diff >= 0
      indicator(flag, 0, shifted(ante, ga), Cmp::Le);    // diff <= -margin
      break;
    case Cmp::Gt:
      indicator(flag, 1, shifted(ante, -ga), Cmp::Ge);  // diff >= margin
      indicator(flag, 0, ante, Cmp::Le);                // diff <= 0
      break;
    case Cmp::Le:
      indicator(flag, 1, ante, Cmp::Le);                 // diff <= 0
      indicator(flag, 0, shifted(ante, -ga), Cmp::Ge);   // diff >= margin
      break;
    case Cmp::Lt:
      indicator(flag, 1, shifted(ante, ga), Cmp::Le);  // diff <= -margin
      indicator(flag, 0, ante, Cmp::Ge);               // diff >= 0
      break;
    default: {
      // flag = 1 forces |diff| <= the tolerance, and flag = 0 forces |diff| >= the margin, so
      // that an equality that holds always switches the consequent on.
      double tol = equality_tolerance(ga);
      auto [m, mm] = big_m(*this, ante, ga);
      add_row(with(ante, {{flag, m}}), Sense::Le, tol + m);
      add_row(with(negated(ante), {{flag, m}}), Sense::Le, tol + m);
      int side = new_binary("impl_side");
      add_row(with(ante, {{side, -mm}, {flag, mm}}), Sense::Ge, ga - mm);
      add_row(with(negated(ante), {{side, mm}, {flag, mm}}), Sense::Ge, ga);
      break;
    }
  }
  LinExpr cons = difference(*this, plan.cons_left, plan.cons_right);
  double gc = margin(cons);
  auto [m, mm] = big_m(*this, cons, gc);
  switch (plan.cons_op) {
    case Cmp::Eq: {
      double tol = equality_tolerance(gc);
      add_row(with(cons, {{flag, m}}), Sense::Le, tol + m);
      add_row(with(negated(cons), {{flag, m}}), Sense::Le, tol + m);
      break;
    }
    case Cmp::Ge:
      add_row(with(cons, {{flag, -m}}), Sense::Ge, -m);
      break;
    case Cmp::Gt:
      add_row(with(cons, {{flag, -mm}}), Sense::Ge, gc - mm);
      break;
    case Cmp::Le:
      add_row(with(cons, {{flag, m}}), Sense::Le, m);
      break;
    case Cmp::Lt:
      add_row(with(cons, {{flag, mm}}), Sense::Le, mm - gc);
      break;
    case Cmp::Ne:
      fail("Unsupported comparison '!=' in " + site_text());
  }
}

// ---- the walk ----

namespace {

// The passes of a forall over fixed domains without a filter; 0 when not known before it runs.
std::size_t known_passes(const Loop& loop) {
  if (loop.filter >= 0) return 0;
  std::size_t n = 1;
  for (const Iter& it : loop.iters) {
    if (!it.fixed || __builtin_mul_overflow(n, it.fixed->size(), &n)) return 0;
  }
  return n;
}

// Room for `passes - 1` more passes like the one that grew `v` from `before` elements, so that
// the store is allocated once instead of doubled and copied as it fills; a pass that adds
// nothing, or an estimate beyond kMaxReserve elements, reserves nothing.
constexpr std::size_t kMaxReserve = std::size_t{1} << 24;

template <class V>
void reserve_passes(V& v, std::size_t before, std::size_t passes) {
  std::size_t more = 0;
  std::size_t added = v.size() - before;
  if (added == 0 || __builtin_mul_overflow(added, passes - 1, &more) || more > kMaxReserve) return;
  // At least doubled when it grows: a forall nested in another reserves on every outer pass.
  if (v.size() + more > v.capacity()) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

// The sizes of the stores a forall's body grows, taken before its first pass.
struct StoreSizes {
  std::size_t ub_terms, ub_rows, eq_terms, eq_rows, origins, origin_values;
  explicit StoreSizes(const Model& m)
      : ub_terms(m.ub_rows.idx.size()), ub_rows(m.ub_rows.rows()), eq_terms(m.eq_rows.idx.size()),
        eq_rows(m.eq_rows.rows()), origins(m.origins.size()), origin_values(m.origin_values.size()) {}

  void reserve_rest(Model& m, std::size_t passes) const {
    for (auto [store, terms, rows] : {std::tuple{&m.ub_rows, ub_terms, ub_rows}, std::tuple{&m.eq_rows, eq_terms, eq_rows}}) {
      reserve_passes(store->idx, terms, passes);
      reserve_passes(store->val, terms, passes);
      reserve_passes(store->ptr, rows + 1, passes);
      reserve_passes(store->rhs, rows, passes);
    }
    reserve_passes(m.ub_origin, ub_rows, passes);
    reserve_passes(m.ub_flipped, ub_rows, passes);
    reserve_passes(m.eq_origin, eq_rows, passes);
    reserve_passes(m.origins, origins, passes);
    reserve_passes(m.origin_values, origin_values, passes);
  }
};

}  // namespace

void Model::instantiate(int c, bool bounds_only) {
  const Constraint& k = constraints[c];
  if (k.kind == CKind::Forall) {
    if (bounds_only ? !k.any_candidate : k.all_candidates) return;
    Site saved = site;
    site = {c, k.lineno};
    open_loops.push_back(k.loop);
    std::size_t passes = bounds_only ? 0 : known_passes(loops[k.loop]);
    StoreSizes before(*this);
    bool first = passes > 1;
    for_each(k.loop, [&] {
      for (int child : k.body) instantiate(child, bounds_only);
      if (first) before.reserve_rest(*this, passes);
      first = false;
    });
    open_loops.pop_back();
    site = saved;
    return;
  }
  if (bounds_only != (k.kind == CKind::Compare && k.bound_candidate)) return;
  open_origin(c);
  Site saved = site;
  site = {c, k.lineno};
  if (is_constant_constraint(k)) {
    check_constant_constraint(k);
    site = saved;
    return;
  }
  switch (k.kind) {
    case CKind::Compare: {
      Direction direction(*this, k.cmp == Cmp::Le || k.cmp == Cmp::Lt ? 1 : k.cmp == Cmp::Eq ? 0 : -1);
      scratch_.clear();
      lin(k.left, 1.0, scratch_);
      lin(k.right, -1.0, scratch_);
      add_comparison(scratch_, k.cmp);
      break;
    }
    case CKind::NotEqual:
      not_equal(k.left, k.right);
      break;
    case CKind::Implication:
      implication(implications[k.implication]);
      break;
    case CKind::Logical:
      logical(k.left);
      break;
    case CKind::Forall:
      break;
  }
  site = saved;
}

void Model::build() {
  load_declarations();
  model_columns = column_names.size();
  Ref objective = item(ast_, kObjective);
  Ref objective_line = get(objective, kLineno);
  compile_line = is_int(objective_line) ? PyLong_AsLong(objective_line.get()) : 0;
  maximize = eq(get(objective, kType), py_str("maximize"));
  int objective_expr = compile_expr(item(objective, kExpression));
  std::vector<int> top;
  Ref none_given = new_list();
  for (Ref& node : Iterate(get(ast_, kConstraints, none_given))) top.push_back(compile_constraint(node));
  top_constraints = top;
  slots.assign(static_cast<std::size_t>(slot_count), Value{});
  // Constraints on a single column become bounds first, so that every big-M below is computed
  // from the tightest bounds the model states.
  for (int c : top) {
    iterations_ = 0;
    instantiate(c, true);
  }
  for (int col = 0; col < static_cast<int>(model_columns); ++col) tighten_bounds(col, -kInf, kInf);
  site = {-1, compile_line};
  iterations_ = 0;
  LinExpr obj;
  {
    Direction direction(*this, maximize ? -1 : 1);
    lin(objective_expr, 1.0, obj);
  }
  std::vector<std::pair<int, double>> merged;
  merge_row(obj, merged);
  check_finite(merged, obj.constant);
  for (auto [col, coef] : merged) cost[col] += coef;
  objective_constant = obj.constant;
  for (int c : top) {
    iterations_ = 0;
    instantiate(c, false);
  }
}

}  // namespace lpsparse
