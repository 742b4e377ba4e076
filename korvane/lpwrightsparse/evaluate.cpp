// Evaluation of compiled expressions: data values under the current iterator bindings, and
// linear expressions accumulated term by term into a LinExpr.
#include <algorithm>

#include "model.hpp"

namespace lpsparse {

namespace {

constexpr std::size_t kMaxDims = 16;

const char* op_text(Cmp op) {
  switch (op) {
    case Cmp::Eq:
      return "==";
    case Cmp::Ne:
      return "!=";
    case Cmp::Le:
      return "<=";
    case Cmp::Ge:
      return ">=";
    case Cmp::Lt:
      return "<";
    case Cmp::Gt:
      return ">";
  }
  return "?";
}

// The first decision variable an expression mentions: names the factors of a product that is
// not linear.
std::string variable_in(const Model& m, int root) {
  std::vector<int> pending{root};
  while (!pending.empty()) {
    int e = pending.back();
    pending.pop_back();
    if (e < 0 || !m.exprs[e].has_var) continue;
    const Expr& x = m.exprs[e];
    if (x.op == Op::Var) return m.families[x.ref].name + (x.args.empty() ? "" : "[...]");
    for (int child : {x.c, x.b, x.a}) pending.push_back(child);
  }
  return "?";
}

}  // namespace

std::string Model::site_text() const {
  if (!declaration_site.empty()) return declaration_site;
  if (site.constraint < 0) return "the objective";
  const Constraint& k = constraints[site.constraint];
  std::string out;
  if (k.label.empty()) {
    out = "the constraint at line " + std::to_string(k.lineno);
  } else {
    out = "constraint '" + k.label;
    if (!k.label_slots.empty()) {
      out += "[";
      for (std::size_t i = 0; i < k.label_slots.size(); ++i) {
        if (i > 0) out += ',';
        out += value_text(slots[k.label_slots[i]]);
      }
      out += "]";
    }
    out += "'";
  }
  return out;
}

// A loop range's bound; the message naming the constraint is only built when the bound is bad.
long long Model::loop_bound(int e) {
  Value v = eval(e);
  if (v.is_num()) {
    if (auto n = exact_integer(v.num)) return *n;
  }
  return integer_bound(v, "Range bounds must be integer-valued in " + site_text(), site.lineno);
}

// Counts `n` more iterations of the loops of the current constraint against the term limit, before
// they run, so that an astronomically large range fails at once.
void Model::count_iterations(std::size_t n) {
  if (n <= term_limit - std::min(iterations_, term_limit) && (iterations_ += n) <= term_limit) return;
  fail("Too many terms: " + site_text() + " instantiates more than " + std::to_string(term_limit) +
       " loop iterations (sums and foralls); make the ranges smaller or raise the generator's term_limit");
}

// A loop over several iterators visits every combination before its filter can drop one: the
// product of the sizes known when it opens is checked first, so that a filtered loop over
// astronomically many combinations fails at once instead of after the limit's worth of work.
void Model::check_loop_size(const Loop& loop) {
  std::size_t known = 1;
  for (const Iter& it : loop.iters) {
    std::size_t n = 0;
    if (it.fixed) {
      n = it.fixed->size();
    } else if (!it.own_bounds) {
      long long first = loop_bound(it.start);
      long long last = loop_bound(it.end);
      n = last >= first ? static_cast<std::size_t>(last - first) + 1 : 0;
    } else {
      continue;
    }
    if (__builtin_mul_overflow(known, n, &known)) known = SIZE_MAX;
  }
  if (known > term_limit - std::min(iterations_, term_limit)) count_iterations(known);
}

namespace {

std::string key_text(const Model& m, std::span<const Value> key) {
  std::string out = "[";
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (i > 0) out += ", ";
    const Value& v = key[i];
    const char* quotes = v.kind == Value::Kind::Str ? "''" : v.kind == Value::Kind::Tup ? "<>" : nullptr;
    if (quotes) out += quotes[0];
    out += m.value_text(v);
    if (quotes) out += quotes[1];
  }
  return out + "]";
}

}  // namespace

// Positions are found before any error is reported: an error evaluating a later subscript wins
// over an earlier subscript out of range, as when every subscript is evaluated first.
int Model::column_of(const Expr& x) {
  const VarFamily& f = families[x.ref];
  if (f.dims.empty()) return f.first_column;
  long long positions[kMaxDims];
  for (std::size_t i = 0; i < x.args.size(); ++i) positions[i] = position_in(f.dims[i], x.args[i]);
  std::size_t flat = 0;
  for (std::size_t i = 0; i < x.args.size(); ++i) {
    if (positions[i] < 0) {
      Value key[kMaxDims];
      for (std::size_t j = 0; j < x.args.size(); ++j) key[j] = eval(x.args[j]);
      fail("Index out of range: variable '" + f.name + "' has no element " + key_text(*this, {key, x.args.size()}) +
           " (dimension " + std::to_string(i + 1) + " runs over '" + f.dims[i].name + "') in " + site_text());
    }
    flat += static_cast<std::size_t>(positions[i]) * f.strides[i];
  }
  return f.first_column + static_cast<int>(flat);
}

const Value* Model::parameter(const Expr& x) {
  const Table& t = *x.table;
  if (t.is_dense) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < t.dims.size(); ++i) {
      long long p = position_in(t.dims[i], x.args[i]);
      if (p < 0) return nullptr;
      offset = offset * t.dims[i].size() + static_cast<std::size_t>(p);
    }
    return t.present[offset] ? &t.dense[offset] : nullptr;
  }
  Value key[kMaxDims];
  for (std::size_t i = 0; i < x.args.size(); ++i) key[i] = eval(x.args[i]);
  return t.find({key, x.args.size()});
}

namespace {

int compare_values(const Model& m, const Value& a, const Value& b, Cmp op) {
  if (a.is_num() && b.is_num()) {
    switch (op) {
      case Cmp::Eq:
        return a.num == b.num;
      case Cmp::Ne:
        return a.num != b.num;
      case Cmp::Le:
        return a.num <= b.num;
      case Cmp::Ge:
        return a.num >= b.num;
      case Cmp::Lt:
        return a.num < b.num;
      case Cmp::Gt:
        return a.num > b.num;
    }
  }
  if (op == Cmp::Eq) return a == b;
  if (op == Cmp::Ne) return !(a == b);
  if (a.kind == Value::Kind::Str && b.kind == Value::Kind::Str) {
    int c = m.interner.text_of(a).compare(m.interner.text_of(b));
    switch (op) {
      case Cmp::Le:
        return c <= 0;
      case Cmp::Ge:
        return c >= 0;
      case Cmp::Lt:
        return c < 0;
      default:
        return c > 0;
    }
  }
  return -1;
}

}  // namespace

Value Model::eval(int e) {
  const Expr& x = exprs[e];
  switch (x.op) {
    case Op::Const:
      return x.value;
    case Op::Slot:
      return slots[x.ref];
    case Op::Param:
    case Op::Record: {
      const Value* v = parameter(x);
      if (v == nullptr) {
        Value key[kMaxDims];
        for (std::size_t i = 0; i < x.args.size(); ++i) key[i] = eval(x.args[i]);
        fail("Parameter '" + x.text + "' not found for index " + key_text(*this, {key, x.args.size()}) + " in " +
             site_text());
      }
      return *v;
    }
    case Op::Field: {
      Value base = eval(x.a);
      if (base.kind != Value::Kind::Tup) fail("Field access '." + x.text + "' on a value that is not a tuple in " + site_text());
      int type = interner.type_of(base);
      if (type < 0) fail("Field access '." + x.text + "' on a tuple of unknown type in " + site_text());
      int at = x.field_at[static_cast<std::size_t>(type)];
      if (at < 0) fail("Tuple type '" + tuple_types[type].name + "' has no field '" + x.text + "'");
      const std::vector<Value>& items = interner.items_of(base);
      auto k = static_cast<std::size_t>(at);
      if (k >= items.size()) fail("A tuple of type '" + tuple_types[type].name + "' has no value for field '" + x.text + "'");
      return items[k];
    }
    case Op::TupleLit: {
      std::vector<Value> items;
      items.reserve(x.args.size());
      for (int arg : x.args) items.push_back(eval(arg));
      return interner.tuple(std::move(items), -1);
    }
    case Op::Var:
      if (solution) return (*solution)[static_cast<std::size_t>(column_of(x))];
      break;
    case Op::Sum: {
      if (x.has_var && !solution) break;
      double total = 0.0;
      bool integral = true;
      for_each(x.loop, [&] {
        Value v = eval(x.a);
        if (!v.is_num()) fail("Type mismatch in arithmetic: a sum of values that are not numbers in " + site_text());
        total += v.num;
        integral = integral && v.integral;
      });
      return Value::number(total, integral);
    }
    case Op::Cmp: {
      if (x.has_var && !solution) break;
      int result = compare_values(*this, eval(x.a), eval(x.b), x.cmp);
      if (result < 0) fail(std::string("Type mismatch in comparison '") + op_text(x.cmp) + "' in " + site_text());
      return Value::integer(result);
    }
    case Op::And:
      if (x.has_var && !solution) break;
      return Value::integer(truth(x.a) && truth(x.b));
    case Op::Or:
      if (x.has_var && !solution) break;
      return Value::integer(truth(x.a) || truth(x.b));
    case Op::Not:
      if (x.has_var && !solution) break;
      return Value::integer(!truth(x.a));
    case Op::Equiv:
      if (x.has_var) break;
      return Value::integer(truth(x.a) == truth(x.b));
    case Op::Piecewise:
      if (x.has_var) break;
      return Value::number(piecewise_functions[static_cast<std::size_t>(x.ref)].value_at(number(x.a)));
    case Op::Cond:
      if (exprs[x.a].has_var && !solution) break;
      return truth(x.a) ? eval(x.b) : eval(x.c);
    case Op::Neg: {
      if (x.has_var && !solution) break;
      Value v = numeric(x.a);
      return Value::number(-v.num, v.integral);
    }
    case Op::Add:
    case Op::Sub:
    case Op::Mul: {
      if (x.has_var && !solution) break;
      Value l = numeric(x.a), r = numeric(x.b);
      double v = x.op == Op::Add ? l.num + r.num : x.op == Op::Sub ? l.num - r.num : l.num * r.num;
      return Value::number(v, l.integral && r.integral);
    }
    case Op::Div: {
      if (x.has_var && !solution) break;
      double l = number(x.a), r = number(x.b);
      if (r == 0.0) fail("Division by zero in " + site_text());
      return Value::number(l / r);
    }
    case Op::Sqrt: {
      if (x.has_var && !solution) break;
      double v = number(x.args[0]);
      if (v < 0) fail("Unsupported square root of a negative number in " + site_text());
      return Value::number(std::sqrt(v));
    }
    case Op::Prod:
      return aggregate(x);
    case Op::Min:
    case Op::Max: {
      if (x.has_var && !solution) break;
      if (x.loop >= 0) return aggregate(x);
      Value best = eval(x.args[0]);
      for (std::size_t i = 1; i < x.args.size(); ++i) {
        Value v = eval(x.args[i]);
        int better = compare_values(*this, v, best, x.op == Op::Min ? Cmp::Lt : Cmp::Gt);
        if (better < 0) fail("Type mismatch in comparison of min/max arguments in " + site_text());
        if (better) best = v;
      }
      return best;
    }
    case Op::Math: {
      if (x.has_var && !solution) break;
      Value v = numeric(x.args[0]);
      double r = x.math(v.num);
      if (std::isnan(r)) fail("Unsupported argument " + value_text(v) + " of '" + x.text + "' in " + site_text());
      bool integral = x.text == "abs" || x.text == "sgn" ? v.integral : x.text != "exp" && x.text != "log" && x.text != "frac";
      return Value::number(r, integral);
    }
    case Op::Pow: {
      if (x.has_var && !solution) break;
      Value base = numeric(x.a), exponent = numeric(x.b);
      double r = std::pow(base.num, exponent.num);
      if (std::isnan(r)) fail("Unsupported power " + value_text(base) + " ^ " + value_text(exponent) + " in " + site_text());
      return Value::number(r, base.integral && exponent.integral && exponent.num >= 0 && std::fabs(r) < 9.0e15);
    }
    case Op::Mod:
    case Op::IntDiv: {
      if (x.has_var && !solution) break;
      Value l = numeric(x.a), r = numeric(x.b);
      const char* name = x.op == Op::Mod ? "mod" : "div";
      if (!l.integral || !r.integral) fail(std::string("Type mismatch: '") + name + "' takes integers in " + site_text());
      if (r.num == 0.0) fail("Division by zero in " + site_text());
      return Value::number(x.op == Op::Mod ? std::fmod(l.num, r.num) : std::trunc(l.num / r.num), true);
    }
    case Op::SetFn:
      if (x.has_var && !solution) break;
      return set_function(x);
  }
  fail("Unsupported use of decision variables where a data value is needed in " + site_text());
}

// sum's siblings over data: the product, the smallest or the largest value of the body. Over
// nothing, a product is 1 and a minimum (maximum) is infinity (minus infinity).
Value Model::aggregate(const Expr& x) {
  if (x.has_var && !solution) fail("Unsupported use of decision variables where a data value is needed in " + site_text());
  bool any = false, integral = true;
  double result = x.op == Op::Prod ? 1.0 : x.op == Op::Min ? kInf : -kInf;
  for_each(x.loop, [&] {
    Value v = numeric(x.a);
    integral = integral && v.integral;
    if (x.op == Op::Prod) {
      result *= v.num;
    } else if (!any || (x.op == Op::Min ? v.num < result : v.num > result)) {
      result = v.num;
    }
    any = true;
  });
  return Value::number(result, integral && std::isfinite(result));
}

Value Model::set_function(const Expr& x) {
  const Domain& d = set_args[static_cast<std::size_t>(x.ref)];
  const std::string& f = x.text;
  long long n = static_cast<long long>(d.size());
  if (f == "card") return Value::integer(n);
  if (f == "first" || f == "last") {
    if (n == 0) fail("Unsupported '" + f + "' of the empty set '" + d.name + "' in " + site_text());
    return d.at(f == "first" ? 0 : static_cast<std::size_t>(n - 1));
  }
  Value arg = eval(x.args[0]);
  if (f == "item") {
    if (!arg.is_num() || arg.num != std::floor(arg.num) || arg.num < 0 || arg.num >= static_cast<double>(n)) {
      fail("Index out of range: item(" + d.name + ", " + value_text(arg) + ") of a set of " + std::to_string(n) +
           " elements (positions start at 0) in " + site_text());
    }
    return d.at(static_cast<std::size_t>(arg.num));
  }
  long long p = d.position(arg);
  if (f == "in") return Value::integer(p >= 0);
  if (p < 0) {
    std::string element = value_text(arg);
    fail("'" + element + "' is not an element of '" + d.name + "' in " + f + "() in " + site_text());
  }
  if (f == "ord") return Value::integer(p);
  long long step = f == "next" || f == "nextc" ? 1 : -1;
  long long q = p + step;
  if (f == "nextc" || f == "prevc") q = (q % n + n) % n;
  if (q < 0 || q >= n) {
    fail("Unsupported '" + f + "' of the " + (step > 0 ? "last" : "first") + " element '" + value_text(arg) + "' of '" +
         d.name + "' in " + site_text() + ": use " + f + "c to wrap around");
  }
  return d.at(static_cast<std::size_t>(q));
}

Value Model::numeric(int e) {
  Value v = eval(e);
  if (!v.is_num()) {
    fail("Type mismatch in arithmetic: '" + value_text(v) + "' is not a number in " + site_text());
  }
  return v;
}

double Model::number(int e) {
  return numeric(e).num;
}

bool Model::truth(int e) {
  Value v = eval(e);
  if (v.kind == Value::Kind::Str) return !interner.text_of(v).empty();
  if (v.kind == Value::Kind::Tup) return !interner.items_of(v).empty();
  return v.num != 0.0;
}

void Model::lin(int e, double scale, LinExpr& out) {
  const Expr& x = exprs[e];
  if (!x.has_var) {
    if (scale != 0.0) out.constant += scale * number(e);
    return;
  }
  if (TermPlan* plan = term_plan(e)) return add_terms(*plan, scale, out);
  switch (x.op) {
    case Op::Var:
      out.add(column_of(x), scale);
      return;
    case Op::Neg:
      lin(x.a, -scale, out);
      return;
    case Op::Add:
      lin(x.a, scale, out);
      lin(x.b, scale, out);
      return;
    case Op::Sub:
      lin(x.a, scale, out);
      lin(x.b, -scale, out);
      return;
    case Op::Mul:
      if (double coef; exprs[x.a].has_var && exprs[x.b].has_var &&
                       (binary_factor(x.a, coef) >= 0 || binary_factor(x.b, coef) >= 0)) {
        return lin_product(x, scale, out);
      }
      if (exprs[x.a].has_var && exprs[x.b].has_var) {
        fail("Unsupported non-linear expression in " + site_text() + ": a product of two expressions over decision " +
             "variables, '" + variable_in(*this, x.a) + "' times '" + variable_in(*this, x.b) +
             "' (the SciPy target takes linear models only)");
      }
      if (exprs[x.a].has_var) {
        double v = number(x.b);
        if (v != 0.0) lin(x.a, scale * v, out);
      } else {
        double v = number(x.a);
        if (v != 0.0) lin(x.b, scale * v, out);
      }
      return;
    case Op::Div: {
      if (exprs[x.b].has_var) {
        fail("Unsupported non-linear expression in " + site_text() + ": a division by an expression over decision variables");
      }
      double v = number(x.b);
      if (v == 0.0) fail("Division by zero in " + site_text());
      lin(x.a, scale / v, out);
      return;
    }
    case Op::Sum:
      if (TermPlan* body = term_plan(x.a)) return for_each_term(x.loop, *body, scale, out);
      for_each(x.loop, [&] { lin(x.a, scale, out); });
      return;
    case Op::Cond:
      if (exprs[x.a].has_var) {
        fail("Unsupported non-linear expression in " + site_text() + ": a condition over decision variables");
      }
      lin(truth(x.a) ? x.b : x.c, scale, out);
      return;
    case Op::Cmp:
    case Op::And:
    case Op::Or:
    case Op::Not: {
      Direction exact(*this, 0);
      out.add_scaled(truth_of(e), scale);
      return;
    }
    case Op::Math:
      if (x.text == "abs") return lin_abs(x, scale, out);
      break;
    case Op::Min:
    case Op::Max:
      return lin_extreme(x, scale, out);
    case Op::Piecewise:
      return lin_piecewise(x, scale, out);
    default:
      break;
  }
  fail("Unsupported non-linear expression in " + site_text() +
       ": sqrt, functions other than abs, subscripts and fields take data only, not decision variables");
}

}  // namespace lpsparse
