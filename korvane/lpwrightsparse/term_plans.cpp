// Linear expressions planned once into chains of the steps lin() takes, so that a sum over
// hundreds of thousands of terms reads its columns and coefficients directly instead of walking
// the expression tree and evaluating each subscript per term.
//
// A plan changes how a value is found, never which value or in what order: every step evaluates
// what lin() evaluates, in lin()'s order, with the same floating-point operations. Where a direct
// read cannot decide (an iterator bound over another domain, an absent table entry, a value of
// the wrong kind, a subscript out of range), the node is evaluated by the general code, which
// then returns the same value or raises the same error.
#include <algorithm>
#include <cmath>

#include "model.hpp"

namespace lpsparse {

namespace {

// Deeper expressions go through the general walk, which guards its own recursion.
constexpr int kMaxPlanDepth = 64;
constexpr int kMaxFactorDepth = 8;

}  // namespace

FastIndex Model::plan_index(const Domain& d, int subscript) const {
  const Expr& x = exprs[subscript];
  FastIndex index;
  index.expr = subscript;
  if (x.op == Op::Slot) {
    index.kind = FastIndex::Kind::Slot;
    index.slot = x.ref;
  } else if (x.op == Op::Const) {
    long long p = d.position(x.value);
    if (p >= 0) {
      index.kind = FastIndex::Kind::Fixed;
      index.position = p;
    }
  } else if ((x.op == Op::Add || x.op == Op::Sub) && d.set == nullptr) {
    // i + k, i - k and k + i over a range: i - k is i + (-k) exactly in floating point.
    const Expr& a = exprs[x.a];
    const Expr& b = exprs[x.b];
    if (a.op == Op::Slot && b.op == Op::Const && b.value.is_num()) {
      index.kind = FastIndex::Kind::Shifted;
      index.slot = a.ref;
      index.shift = x.op == Op::Add ? b.value.num : -b.value.num;
    } else if (x.op == Op::Add && a.op == Op::Const && a.value.is_num() && b.op == Op::Slot) {
      index.kind = FastIndex::Kind::Shifted;
      index.slot = b.ref;
      index.shift = a.value.num;
    }
  }
  return index;
}

int Model::plan_factor(int e, int depth) {
  const Expr& x = exprs[e];
  FastFactor f;
  f.expr = e;
  if (depth < kMaxFactorDepth) {
    if (x.op == Op::Const && x.value.is_num()) {
      f.kind = FastFactor::Kind::Number;
      f.number = x.value.num;
    } else if (x.op == Op::Param && x.table != nullptr && x.table->is_dense && x.args.size() == x.table->dims.size()) {
      f.kind = FastFactor::Kind::Entry;
      f.table = x.table;
      for (std::size_t i = 0; i < x.args.size(); ++i) {
        f.subscripts.push_back(plan_index(x.table->dims[i], x.args[i]));
        if (f.subscripts.back().kind == FastIndex::Kind::General) f.kind = FastFactor::Kind::General;
      }
    } else if (x.op == Op::Mul) {
      int left = plan_factor(x.a, depth + 1);
      int right = plan_factor(x.b, depth + 1);
      if (factors_[static_cast<std::size_t>(left)].kind != FastFactor::Kind::General &&
          factors_[static_cast<std::size_t>(right)].kind != FastFactor::Kind::General) {
        f.kind = FastFactor::Kind::Product;
        f.left = left;
        f.right = right;
      }
    }
  }
  factors_.push_back(std::move(f));
  return static_cast<int>(factors_.size()) - 1;
}

// The chains of `e` under the steps already taken above it, in the order lin() adds their terms;
// false when some node needs the general walk.
bool Model::plan_chains(int e, std::vector<std::pair<TermChain::Step, int>>& prefix, TermPlan& plan, int depth) {
  if (depth > kMaxPlanDepth) return false;
  const Expr& x = exprs[e];
  TermChain chain;
  chain.expr = e;
  if (!x.has_var) {
    chain.steps = prefix;
    chain.leaf = TermChain::Leaf::Constant;
    chain.factor = plan_factor(e, 0);
    plan.chains.push_back(std::move(chain));
    return true;
  }
  auto under = [&](TermChain::Step step, int factor, int child) {
    prefix.emplace_back(step, factor);
    bool planned = plan_chains(child, prefix, plan, depth + 1);
    prefix.pop_back();
    return planned;
  };
  switch (x.op) {
    case Op::Var: {
      const VarFamily& f = families[static_cast<std::size_t>(x.ref)];
      if (x.args.size() != f.dims.size()) return false;
      chain.steps = prefix;
      chain.family = &f;
      for (std::size_t i = 0; i < x.args.size(); ++i) chain.subscripts.push_back(plan_index(f.dims[i], x.args[i]));
      plan.chains.push_back(std::move(chain));
      return true;
    }
    case Op::Sum:
      chain.steps = prefix;
      chain.leaf = TermChain::Leaf::Sum;
      plan.chains.push_back(std::move(chain));
      return true;
    case Op::Neg:
      return under(TermChain::Step::Negate, -1, x.a);
    case Op::Add:
      return plan_chains(x.a, prefix, plan, depth + 1) && plan_chains(x.b, prefix, plan, depth + 1);
    case Op::Sub:
      return plan_chains(x.a, prefix, plan, depth + 1) && under(TermChain::Step::Negate, -1, x.b);
    case Op::Mul: {
      bool left_var = exprs[x.a].has_var;
      if (left_var && exprs[x.b].has_var) return false;  // products with a binary: the general walk
      int data = left_var ? x.b : x.a;
      return under(TermChain::Step::Multiply, plan_factor(data, 0), left_var ? x.a : x.b);
    }
    case Op::Div:
      if (exprs[x.b].has_var) return false;
      return under(TermChain::Step::Divide, plan_factor(x.b, 0), x.a);
    default:
      return false;
  }
}

TermPlan Model::kUnplanned;

TermPlan* Model::term_plan(int e) {
  if (!term_plans_enabled) return nullptr;
  if (plan_of_.size() < exprs.size()) plan_of_.resize(exprs.size(), &kUnplanned);
  TermPlan*& known = plan_of_[static_cast<std::size_t>(e)];
  if (known == &kUnplanned) {
    known = nullptr;
    TermPlan plan;
    std::vector<std::pair<TermChain::Step, int>> prefix;
    // A sum is run by its own loop, with its body's plan (see lin).
    if (exprs[e].op != Op::Sum && plan_chains(e, prefix, plan, 0)) known = &plans_.emplace_back(std::move(plan));
  }
  return known;
}

// The position of a subscript in `d`, or -1 when it is not decided here: the caller then
// evaluates the whole reference by the general code. A General subscript is evaluated as the
// general code evaluates it, in the same order.
long long Model::fast_position(FastIndex& index, const Domain& d) {
  switch (index.kind) {
    case FastIndex::Kind::Fixed:
      return index.position;
    case FastIndex::Kind::Slot: {
      auto s = static_cast<std::size_t>(index.slot);
      const Domain* bound = s < slot_domain_.size() ? slot_domain_[s] : nullptr;
      if (bound != nullptr && (bound == index.matched || bound->same_as(d))) {
        index.matched = bound;
        return slot_pos_[s];
      }
      return position_in(d, index.expr);
    }
    case FastIndex::Kind::Shifted: {
      const Value& v = slots[static_cast<std::size_t>(index.slot)];
      if (!v.is_num()) return -1;
      double n = v.num + index.shift;
      if (n != std::floor(n) || n < static_cast<double>(d.lo) || n > static_cast<double>(d.hi)) return -1;
      return static_cast<long long>(n) - d.lo;
    }
    case FastIndex::Kind::General:
      break;
  }
  return position_in(d, index.expr);
}

// The factor's number by direct reads; false when only the general evaluation can tell.
bool Model::factor_value(int factor, double& out) {
  FastFactor& f = factors_[static_cast<std::size_t>(factor)];
  switch (f.kind) {
    case FastFactor::Kind::Number:
      out = f.number;
      return true;
    case FastFactor::Kind::Entry: {
      const Table& t = *f.table;
      std::size_t offset = 0;
      for (std::size_t i = 0; i < f.subscripts.size(); ++i) {
        long long p = fast_position(f.subscripts[i], t.dims[i]);
        if (p < 0) return false;
        offset = offset * t.dims[i].size() + static_cast<std::size_t>(p);
      }
      if (!t.present[offset] || !t.dense[offset].is_num()) return false;
      out = t.dense[offset].num;
      return true;
    }
    case FastFactor::Kind::Product: {
      double left = 0.0, right = 0.0;
      int r = f.right;
      if (!factor_value(f.left, left) || !factor_value(r, right)) return false;
      out = left * right;
      return true;
    }
    case FastFactor::Kind::General:
      break;
  }
  return false;
}

double Model::factor_number(int factor) {
  double v = 0.0;
  if (factor_value(factor, v)) return v;
  return number(factors_[static_cast<std::size_t>(factor)].expr);
}

int Model::chain_column(TermChain& chain) {
  const VarFamily& f = *chain.family;
  std::size_t flat = 0;
  for (std::size_t i = 0; i < chain.subscripts.size(); ++i) {
    long long p = fast_position(chain.subscripts[i], f.dims[i]);
    // Evaluated again from the first subscript, errors included.
    if (p < 0) return column_of(exprs[static_cast<std::size_t>(chain.expr)]);
    flat += static_cast<std::size_t>(p) * f.strides[i];
  }
  return f.first_column + static_cast<int>(flat);
}

// lin(e, scale, out) for the node `plan` was made from.
void Model::add_terms(TermPlan& plan, double scale, LinExpr& out) {
  for (TermChain& chain : plan.chains) {
    if (chain.steps.empty() && chain.leaf == TermChain::Leaf::Column) {  // the most common term
      out.add(chain_column(chain), scale);
      continue;
    }
    double s = scale;
    bool dropped = false;
    for (auto [step, factor] : chain.steps) {
      if (step == TermChain::Step::Negate) {
        s = -s;
        continue;
      }
      double v = factor_number(factor);
      if (step == TermChain::Step::Divide) {
        if (v == 0.0) fail("Division by zero in " + site_text());
        s = s / v;
      } else if (v == 0.0) {  // a zero coefficient adds no term
        dropped = true;
        break;
      } else {
        s = s * v;
      }
    }
    if (dropped) continue;
    switch (chain.leaf) {
      case TermChain::Leaf::Column:
        out.add(chain_column(chain), s);
        break;
      case TermChain::Leaf::Constant:
        if (s != 0.0) out.constant += s * factor_number(chain.factor);
        break;
      case TermChain::Leaf::Sum:
        lin(chain.expr, s, out);
        break;
    }
  }
}

// ---- sums whose terms are affine in the loop's positions ----
//
// In `sum(i in I, j in J) c[i][j] * x[i][j]` every column and table offset is a fixed base plus a
// multiple of each level's position: the loop computes them so, without looking at subscripts.
// Absent or non-numeric entries still go through the general evaluation of their node.

namespace {

constexpr std::size_t kMinAffineTrips = 16;  // below it, setting a sum up costs more than it saves

}  // namespace

struct Model::AffineSum {
  Loop* loop = nullptr;
  const TermPlan* plan = nullptr;
  double scale = 1.0;
  LinExpr* out = nullptr;
  std::array<long long, Affine::kLevels> positions{};
  std::vector<Affine> columns;                  // per chain
  std::vector<std::pair<int, Affine>> entries;  // per table entry factor
};

bool Model::affine_index(const std::vector<FastIndex>& subscripts, const std::vector<Domain>& dims,
                         const std::vector<long long>& strides, const Loop& loop, Affine& out) const {
  out = Affine{};
  for (std::size_t i = 0; i < subscripts.size(); ++i) {
    const FastIndex& index = subscripts[i];
    if (index.kind == FastIndex::Kind::Fixed) {
      out.base += index.position * strides[i];
      continue;
    }
    if (index.kind != FastIndex::Kind::Slot) return false;
    auto level = std::find_if(loop.iters.begin(), loop.iters.end(), [&](const Iter& it) { return it.slot == index.slot; });
    if (level != loop.iters.end()) {
      if (!level->fixed->same_as(dims[i])) return false;
      out.per_level[static_cast<std::size_t>(level - loop.iters.begin())] += strides[i];
      continue;
    }
    // An iterator of an enclosing loop keeps its position while this sum runs.
    auto s = static_cast<std::size_t>(index.slot);
    const Domain* bound = s < slot_domain_.size() ? slot_domain_[s] : nullptr;
    if (bound == nullptr || !bound->same_as(dims[i])) return false;
    out.base += static_cast<long long>(slot_pos_[s]) * strides[i];
  }
  return true;
}

bool Model::affine_factor(int factor, const Loop& loop, AffineSum& run) const {
  const FastFactor& f = factors_[static_cast<std::size_t>(factor)];
  switch (f.kind) {
    case FastFactor::Kind::Entry: {
      const std::vector<Domain>& dims = f.table->dims;
      std::vector<long long> strides(dims.size());
      long long stride = 1;
      for (std::size_t i = dims.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= static_cast<long long>(dims[i].size());
      }
      Affine offset;
      if (!affine_index(f.subscripts, dims, strides, loop, offset)) return false;
      run.entries.emplace_back(factor, offset);
      return true;
    }
    case FastFactor::Kind::Product:
      return affine_factor(f.left, loop, run) && affine_factor(f.right, loop, run);
    case FastFactor::Kind::Number:
    case FastFactor::Kind::General:  // evaluated in full for each term
      return true;
  }
  return false;
}

bool Model::plan_affine(const Loop& loop, const TermPlan& plan, double scale, AffineSum& run) const {
  if (loop.use != Loop::Use::Scan || loop.filter >= 0 || loop.iters.size() > Affine::kLevels) return false;
  std::size_t trips = 1;
  for (const Iter& it : loop.iters) {
    if (!it.fixed || __builtin_mul_overflow(trips, it.fixed->size(), &trips)) return false;
  }
  if (trips < kMinAffineTrips) return false;
  run.plan = &plan;
  run.scale = scale;
  for (const TermChain& chain : plan.chains) {
    if (chain.leaf != TermChain::Leaf::Column) return false;
    for (auto [step, factor] : chain.steps) {
      if (step == TermChain::Step::Divide || (step == TermChain::Step::Multiply && !affine_factor(factor, loop, run))) {
        return false;
      }
    }
    const VarFamily& f = *chain.family;
    std::vector<long long> strides(f.strides.begin(), f.strides.end());
    Affine column;
    if (!affine_index(chain.subscripts, f.dims, strides, loop, column)) return false;
    column.base += f.first_column;
    run.columns.push_back(column);
  }
  return true;
}

// factor_number() inside an affine sum: each node that a direct read cannot settle is evaluated
// by the general code, which evaluates a product's operands in the same order.
double Model::affine_number(int factor, const AffineSum& run) {
  const FastFactor& f = factors_[static_cast<std::size_t>(factor)];
  switch (f.kind) {
    case FastFactor::Kind::Number:
      return f.number;
    case FastFactor::Kind::Entry: {
      for (const auto& [id, offset] : run.entries) {
        if (id != factor) continue;
        auto at = static_cast<std::size_t>(offset.at(run.positions));
        if (f.table->present[at] && f.table->dense[at].is_num()) return f.table->dense[at].num;
        break;
      }
      break;
    }
    case FastFactor::Kind::Product: {
      double left = affine_number(f.left, run);
      return left * affine_number(f.right, run);
    }
    case FastFactor::Kind::General:
      break;
  }
  return number(f.expr);
}

// each_level() of the sum's loop with add_terms() as its body.
void Model::run_affine(AffineSum& run, std::size_t level) {
  const Iter& it = run.loop->iters[level];
  const Domain& d = *it.fixed;
  std::size_t n = d.size();
  count_iterations(n);
  bool innermost = level + 1 == run.loop->iters.size();
  for (std::size_t p = 0; p < n; ++p) {
    bind(it.slot, d, p);
    run.positions[level] = static_cast<long long>(p);
    if (!innermost) {
      run_affine(run, level + 1);
      continue;
    }
    for (std::size_t c = 0; c < run.plan->chains.size(); ++c) {
      double s = run.scale;
      bool dropped = false;
      for (auto [step, factor] : run.plan->chains[c].steps) {
        if (step == TermChain::Step::Negate) {
          s = -s;
          continue;
        }
        double v = affine_number(factor, run);
        if (v == 0.0) {
          dropped = true;
          break;
        }
        s = s * v;
      }
      if (!dropped) run.out->add(static_cast<int>(run.columns[c].at(run.positions)), s);
    }
  }
}

bool Model::add_affine_terms(Loop& loop, const TermPlan& plan, double scale, LinExpr& out) {
  AffineSum run;
  run.loop = &loop;
  run.out = &out;
  if (!plan_affine(loop, plan, scale, run)) return false;
  run_affine(run, 0);
  return true;
}

}  // namespace lpsparse
