// The plan's own bookkeeping: auxiliaries, and intervals of expressions over the target's bounds
// and the auxiliaries' own.
#include <algorithm>
#include <unordered_map>

#include "plan.hpp"

namespace linearcore {

LinExpr LinExpr::merged() const {
  LinExpr out;
  out.constant = constant;
  std::unordered_map<Var, std::size_t> at;
  for (const Term& t : terms) {
    auto [it, fresh] = at.emplace(t.var, out.terms.size());
    if (fresh) {
      out.terms.push_back(t);
    } else {
      out.terms[it->second].coef += t.coef;
    }
  }
  std::erase_if(out.terms, [](const Term& t) { return t.coef == 0.0; });
  return out;
}

Var Plan::add_aux(Kind kind, double lo, double hi, std::string prefix) {
  if (kind == Kind::Binary) {
    lo = std::max(lo, 0.0);
    hi = std::min(hi, 1.0);
  }
  auxiliaries.push_back({kind, lo, hi, std::move(prefix)});
  return aux_var(static_cast<int>(auxiliaries.size()) - 1);
}

Interval Plan::bounds(Var v) const {
  if (!is_aux(v)) return target_.bounds(v);
  const Aux& a = auxiliaries[static_cast<std::size_t>(aux_index(v))];
  return {a.lo, a.hi};
}

Interval Plan::interval(const LinExpr& e) const {
  Interval out{e.constant, e.constant};
  for (const Term& t : e.merged().terms) {
    Interval b = bounds(t.var);
    out.lo += t.coef > 0 ? t.coef * b.lo : t.coef * b.hi;
    out.hi += t.coef > 0 ? t.coef * b.hi : t.coef * b.lo;
  }
  // inf - inf: a side that nothing bounds.
  if (std::isnan(out.lo)) out.lo = -kInf;
  if (std::isnan(out.hi)) out.hi = kInf;
  return out;
}

Interval Plan::finite_interval(const LinExpr& e) const {
  Interval out = interval(e);
  if (out.finite()) return out;
  for (const Term& t : e.merged().terms) {
    Interval b = bounds(t.var);
    if (!std::isfinite(out.hi) && !std::isfinite(t.coef > 0 ? b.hi : b.lo)) throw Unbounded{t.var, t.coef > 0};
    if (!std::isfinite(out.lo) && !std::isfinite(t.coef > 0 ? b.lo : b.hi)) throw Unbounded{t.var, t.coef < 0};
  }
  throw Unbounded{e.terms.empty() ? 0 : e.terms.front().var, true};  // overflow of finite bounds
}

}  // namespace linearcore
