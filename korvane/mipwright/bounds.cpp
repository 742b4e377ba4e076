// Bounds analysis: intervals of linear expressions, from the declared domains of the variables
// and from simple bound constraints of the model, for the big-M values of the linearisations.
//
// Collected bounds are kept per identifier (x, not x[3]), the loosest value seen per direction.
// Such a value is only safe for every element of x when some bound constraint in that direction
// covers every element; otherwise a bound stated for x[3] alone would become a big-M for x[1] and
// cut off its feasible values. The identifiers and directions with such a covering constraint are
// kept beside the collected values (_lbs_for_every_element, _ubs_for_every_element), and only
// those collected values are used.
#include <charconv>
#include <cmath>

#include "functions.hpp"
#include "numbers.hpp"

namespace mipwright {
namespace {

// A bound pair (lo, hi), either side None; "no bound can be computed" is the empty optional.
struct Pair {
  Ref lo;
  Ref hi;
};
using MaybePair = std::optional<Pair>;

Pair unbounded() {
  return {none(), none()};
}

Ref to_python(const MaybePair& p) {
  return p ? tuple_of(p->lo, p->hi) : none();
}

bool is_variable_node(Handle node) {
  return has_type(node, {"name", "indexed_name"});
}

// ---- collecting ----

// The foralls around a constraint, as far as coverage of all elements is concerned.
struct Enclosing {
  std::vector<std::pair<Ref, Ref>> iterators;  // (name, range node), outermost first
  bool covers_all = true;                      // no index filter, and every iterator is readable
};

Enclosing inside_forall(const Enclosing& outer, Handle forall) {
  Enclosing inner;
  inner.covers_all = outer.covers_all && is_none(get(forall, K::index_constraint));
  for (const auto& [name, range] : outer.iterators) inner.iterators.emplace_back(name.copy(), range.copy());
  Ref entries = get(forall, K::iterators);
  if (!is_list(entries)) {
    inner.covers_all = false;
    return inner;
  }
  for (Ref& entry : Iterate(entries)) {
    if (!is_dict(entry) || !is_str(get(entry, K::iterator)) || !is_dict(get(entry, K::range))) {
      inner.covers_all = false;
      continue;
    }
    inner.iterators.emplace_back(get(entry, K::iterator), get(entry, K::range));
  }
  return inner;
}

bool is_number_node(Handle node) {
  return has_type(node, {"number"});
}

bool same_number(Handle a, Handle b) {
  return is_number_node(a) && is_number_node(b) && eq(get(a, K::value), get(b, K::value));
}

// True when a forall range runs over exactly the values of a declared dimension: the same named
// range or set, or the same literal bounds.
bool same_index_range(Handle range, Handle dim) {
  if (!is_dict(dim)) return false;
  Ref range_type = get(range, K::type);
  Ref dim_type = get(dim, K::type);
  if (str_in(range_type, {"named_range", "named_set", "named_set_dimension"}) &&
      str_in(dim_type, {"named_range_dimension", "named_set_dimension"})) {
    return is_str(get(range, K::name)) && eq(get(range, K::name), get(dim, K::name));
  }
  return str_is(range_type, "range_specifier") && str_is(dim_type, "range_index") &&
         same_number(get(range, K::start), get(dim, K::start)) && same_number(get(range, K::end), get(dim, K::end));
}

// The loop variable a subscript names, when it is a plain name.
Ref subscript_name(Handle subscript) {
  if (!is_dict(subscript)) return none();
  Ref type = get(subscript, K::type);
  if (str_is(type, "name_reference_index")) return get(subscript, K::name);
  if (str_is(type, "name")) return get(subscript, K::value);
  return none();
}

bool subscripts_cover_all(const Gen& g, Handle node, const Enclosing& e) {
  Ref subscripts = get(node, K::dimensions);
  if (!is_list(subscripts) || len(subscripts) != static_cast<Py_ssize_t>(e.iterators.size())) return false;
  Ref decl = g.find_declaration(get(node, K::name));
  if (!is_dict(decl) || !str_is(get(decl, K::type), "dvar_indexed")) return false;
  Ref dims = get(decl, K::dimensions);
  if (!is_list(dims) || len(dims) != len(subscripts)) return false;
  Ref seen = new_set();
  for (Py_ssize_t d = 0; d < len(subscripts); ++d) {
    Ref var = subscript_name(item(subscripts, d));
    if (!is_str(var) || contains(seen, var)) return false;
    check_status(PySet_Add(seen.get(), var.get()));
    const std::pair<Ref, Ref>* loop = nullptr;
    for (const auto& entry : e.iterators) {
      if (eq(entry.first, var)) {
        if (loop != nullptr) return false;  // two enclosing loops over one name
        loop = &entry;
      }
    }
    if (loop == nullptr || !same_index_range(loop->second, item(dims, d))) return false;
  }
  return true;
}

// True when a bound constraint on `node`, inside the foralls `e`, constrains every element of the
// variable (or the scalar variable itself on every path).
bool holds_for_every_element(const Gen& g, Handle node, const Enclosing& e) {
  if (!e.covers_all) return false;
  if (str_is(get(node, K::type), "indexed_name")) return subscripts_cover_all(g, node, e);
  Ref key = referenced_name(node);
  for (const auto& entry : e.iterators) {
    if (eq(entry.first, key)) return false;  // the name is a loop variable here, not the variable
  }
  return true;
}

class Collector {
 public:
  explicit Collector(const Gen& g)
      : g_(g),
        lbs_(g.attr(K::collected_lbs)),
        ubs_(g.attr(K::collected_ubs)),
        lbs_everywhere_(g.attr(K::lbs_for_every_element)),
        ubs_everywhere_(g.attr(K::ubs_for_every_element)) {}

  void walk(Handle node, const Enclosing& e) {
    if (!is_dict(node)) return;
    RecursionGuard guard(" while collecting variable bounds");
    Ref type = get(node, K::type);
    if (str_is(type, "constraint")) {
      bound_constraint(node, e);
    } else if (str_is(type, "forall_constraint")) {
      Enclosing inner = inside_forall(e, node);
      if (contains(node, K::constraint)) walk(item(node, K::constraint), inner);
      if (contains(node, K::constraints)) {
        for (Ref& child : Iterate(item(node, K::constraints))) walk(child, inner);
      }
    }
  }

 private:
  void bound_constraint(Handle node, const Enclosing& e) {
    Ref op = get(node, K::op);
    if (!str_in(op, {">=", "<=", "=="})) return;
    Ref left = get(node, K::left);
    Ref right = get(node, K::right);
    if (!is_dict(left) || !is_dict(right)) return;
    if (is_number_node(right) && is_variable_node(left)) {
      record_guarded(left, op, right, e);
    } else if (is_number_node(left) && is_variable_node(right)) {
      // 5 >= y bounds y from above.
      Ref mirrored = py_str(str_is(op, ">=") ? "<=" : str_is(op, "<=") ? ">=" : "==");
      record_guarded(right, mirrored, left, e);
    }
  }

  // A literal that does not convert, or anything else that fails here, contributes nothing.
  void record_guarded(Handle var_node, Handle op, Handle number_node, const Enclosing& e) {
    if (!ignoring_errors([&] { record(var_node, op, to_float(item(number_node, K::value))); })) return;
    bool everywhere = false;
    ignoring_errors([&] { everywhere = holds_for_every_element(g_, var_node, e); });
    if (!everywhere) return;
    Ref key = referenced_name(var_node);
    if (str_in(op, {">=", "=="})) check_status(PySet_Add(lbs_everywhere_.get(), key.get()));
    if (str_in(op, {"<=", "=="})) check_status(PySet_Add(ubs_everywhere_.get(), key.get()));
  }

  template <class Body>
  static bool ignoring_errors(Body&& body) {
    return catching(PyExc_Exception,
                    [&] {
                      body();
                      return none();
                    })
        .has_value();
  }

  // The loosest bound wins: the collected value must hold wherever any of the constraints does.
  void record(Handle var_node, Handle op, Handle value) {
    Ref key = referenced_name(var_node);
    if (str_in(op, {">=", "=="}) && (!contains(lbs_, key) || num_lt(value, item(lbs_, key)))) {
      set_item(lbs_, key, value);
    }
    if (str_in(op, {"<=", "=="}) && (!contains(ubs_, key) || num_gt(value, item(ubs_, key)))) {
      set_item(ubs_, key, value);
    }
  }

  const Gen& g_;
  Ref lbs_, ubs_, lbs_everywhere_, ubs_everywhere_;
};

Ref collect_variable_bounds(const Call& c) {
  auto [self, constraints] =
      c.bind(Params<2>{"GurobiCodeGenerator._collect_variable_bounds", {"self", "constraints"}, 2});
  Gen g(c.module, self);
  // A second run adds to what the first collected.
  if (!hasattr(self, K::collected_lbs)) {
    g.set(K::collected_lbs, new_dict());
    g.set(K::collected_ubs, new_dict());
  }
  if (!hasattr(self, K::lbs_for_every_element)) g.set(K::lbs_for_every_element, new_set());
  if (!hasattr(self, K::ubs_for_every_element)) g.set(K::ubs_for_every_element, new_set());
  Collector collector(g);
  Enclosing top_level;
  for (Ref& node : Iterate(constraints)) collector.walk(node, top_level);
  return none();
}

// ---- queries ----

Ref var_bounds_safe(const Call& c) {
  auto [self, var_node] = c.bind(Params<2>{"GurobiCodeGenerator._var_bounds_safe", {"self", "var_node"}, 2});
  Gen g(c.module, self);
  if (!is_variable_node(var_node)) return tuple_of(Py_None, Py_None);
  Ref decl = g.find_declaration(referenced_name(var_node));
  if (is_none(decl)) return tuple_of(Py_None, Py_None);
  Ref var_type = get(decl, K::var_type);
  Ref zero = py_float(0.0);
  if (str_is(var_type, "boolean")) return tuple_of(zero, py_float(1.0));
  if (str_in(var_type, {"int+", "float+"})) return tuple_of(zero, Py_None);
  return tuple_of(Py_None, Py_None);
}

// A collected value, when it holds for every element of the variable.
Ref collected_bound(const Gen& g, Handle collected, Handle everywhere, Handle key) {
  Ref empty = new_set();
  if (!contains(getattr(g.self(), everywhere, empty), key)) return none();
  return get(g.attr(collected), key);
}

// Collected bounds tightened by the declared domain; nothing when neither side is known.
MaybePair combined_bounds(const Gen& g, Handle node) {
  if (!hasattr(g.self(), K::collected_lbs)) return std::nullopt;
  Ref key = referenced_name(node);
  Ref lo = collected_bound(g, K::collected_lbs, K::lbs_for_every_element, key);
  Ref hi = collected_bound(g, K::collected_ubs, K::ubs_for_every_element, key);
  Ref declared = call_method(g.self(), K::var_bounds_safe, node);
  Ref dlo = item(declared, 0);
  Ref dhi = item(declared, 1);
  if (!is_none(dlo)) lo = is_none(lo) ? std::move(dlo) : num_max(lo, dlo);
  if (!is_none(dhi)) hi = is_none(hi) ? std::move(dhi) : num_min(hi, dhi);
  if (is_none(lo) && is_none(hi)) return std::nullopt;
  return Pair{std::move(lo), std::move(hi)};
}

Pair as_pair(Handle bounds) {
  return {item(bounds, 0), item(bounds, 1)};
}

bool has_open_side(const Pair& p) {
  return is_none(p.lo) || is_none(p.hi);
}

MaybePair interval(const Gen& g, Handle n);

MaybePair product_interval(Handle node, const MaybePair& left, const MaybePair& right) {
  Ref zero = py_int(0);
  Ref left_node = get(node, K::left);
  Ref right_node = get(node, K::right);
  bool scalar_left = is_number_node(left_node);
  if (!scalar_left && !is_number_node(right_node)) return std::nullopt;
  Ref c = to_float(get(scalar_left ? left_node : right_node, K::value, zero));
  const Pair& p = scalar_left ? *right : *left;
  if (has_open_side(p)) return unbounded();
  if (!num_lt(c, zero)) return Pair{num_mul(c, p.lo), num_mul(c, p.hi)};
  return Pair{num_mul(c, p.hi), num_mul(c, p.lo)};
}

MaybePair binop_interval(const Gen& g, Handle node) {
  MaybePair left = interval(g, get(node, K::left));
  MaybePair right = interval(g, get(node, K::right));
  if (!left || !right) return std::nullopt;
  Ref op = get(node, K::op);
  if (str_in(op, {"+", "-"})) {
    if (has_open_side(*left) || has_open_side(*right)) return unbounded();
    if (str_is(op, "+")) return Pair{num_add(left->lo, right->lo), num_add(left->hi, right->hi)};
    return Pair{num_sub(left->lo, right->hi), num_sub(left->hi, right->lo)};
  }
  if (str_is(op, "*")) return product_interval(node, left, right);
  return std::nullopt;
}

// The number of terms of a sum over literal ranges; nothing when it cannot be known.
std::optional<Ref> term_count(Handle node) {
  Ref count = py_int(1);
  Ref zero = py_int(0);
  Ref one = py_int(1);
  Ref no_iterators = new_list();
  for (Ref& entry : Iterate(get(node, K::iterators, no_iterators))) {
    Ref rng = is_dict(entry) ? get(entry, K::range) : none();
    if (!is_dict(rng) || !str_is(get(rng, K::type), "range_specifier")) return std::nullopt;
    Ref start = get(rng, K::start);
    Ref end = get(rng, K::end);
    if (!is_number_node(start) || !is_number_node(end)) return std::nullopt;
    std::optional<Ref> size = catching(PyExc_Exception, [&]() -> Ref {
      Ref s = to_int(get(start, K::value, zero));
      Ref e = to_int(get(end, K::value, zero));
      if (num_lt(e, s)) return none();
      return num_add(num_sub(e, s), one);
    });
    if (!size || is_none(*size)) return std::nullopt;
    count = num_mul(count, *size);
  }
  return count;
}

MaybePair sum_interval(const Gen& g, Handle node) {
  MaybePair term = interval(g, get(node, K::expression));
  if (!term) return std::nullopt;
  if (has_open_side(*term)) return unbounded();
  // The index filter is not read: the full count of terms bounds the filtered sum.
  std::optional<Ref> count = term_count(node);
  if (!count) return unbounded();
  return Pair{num_mul(term->lo, *count), num_mul(term->hi, *count)};
}

// A whole number written in a range text, and the rest of the text after it.
std::optional<long long> leading_integer(std::string_view& text) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

// A script loop variable over a literal range, whose loop reads "range(a, b + 1)": a..b.
std::optional<Pair> literal_range_interval(Handle range_text) {
  if (!is_str(range_text)) return std::nullopt;
  std::string_view text = utf8(range_text);
  if (!text.starts_with("range(")) return std::nullopt;
  text.remove_prefix(6);
  std::optional<long long> start = leading_integer(text);
  if (!start || !text.starts_with(", ")) return std::nullopt;
  text.remove_prefix(2);
  std::optional<long long> end = leading_integer(text);
  if (!end || text != " + 1)") return std::nullopt;
  return Pair{py_float(static_cast<double>(*start)), py_float(static_cast<double>(*end))};
}

// A name that is no decision variable: a loop variable, known from its range (a loop variable
// shadows any model name), or a scalar parameter, known from its value.
MaybePair constant_name_interval(const Gen& g, Handle name) {
  Ref no_ranges = new_dict();
  Ref ranges = getattr(g.self(), K::active_iterator_ranges, no_ranges);
  if (contains(ranges, name)) return literal_range_interval(get(ranges, name));
  Ref value = get(g.attr(K::data_dict), name);
  if (!(is_int(value) || PyFloat_Check(value.get())) || !std::isfinite(as_double(value))) return std::nullopt;
  Ref v = py_float(as_double(value));
  return Pair{v.copy(), v.copy()};
}

// abs, maxl/minl and max/min over decision variables: the value lies where its operands allow.
// Calls over data only keep the answer they always had (none).
MaybePair function_interval(const Gen& g, Handle n) {
  if (!depends_on_decision_var(g, n)) return std::nullopt;
  bool aggregate = has_type(n, {"max_agg", "min_agg"});
  std::vector<Pair> operands;
  if (aggregate) {
    // Every piece lies in the interval of the expression, so the largest and smallest do too.
    MaybePair piece = interval(g, get(n, K::expression));
    if (!piece || has_open_side(*piece)) return unbounded();
    return piece;
  }
  Ref no_args = new_list();
  for (Ref& arg : Iterate(get(n, K::args, no_args))) {
    MaybePair p = interval(g, arg);
    if (!p || has_open_side(*p)) return unbounded();
    operands.push_back(std::move(*p));
  }
  if (operands.empty()) return std::nullopt;
  if (has_type(n, {"funcall"})) {
    const Pair& p = operands.front();
    Ref zero = py_float(0.0);
    Ref lo = num_max(num_max(zero, p.lo), check(PyNumber_Negative(p.hi.get())));
    return Pair{std::move(lo), num_max(check(PyNumber_Negative(p.lo.get())), p.hi)};
  }
  bool maximum = has_type(n, {"maxl"});
  Pair out{operands.front().lo.copy(), operands.front().hi.copy()};
  for (const Pair& p : operands) {
    out.lo = maximum ? num_max(out.lo, p.lo) : num_min(out.lo, p.lo);
    out.hi = maximum ? num_max(out.hi, p.hi) : num_min(out.hi, p.hi);
  }
  return out;
}

MaybePair interval(const Gen& g, Handle n) {
  if (!is_dict(n)) return std::nullopt;
  RecursionGuard guard(" while computing bounds");
  Ref type = get(n, K::type);
  if (str_is(type, "name") && !is_decision_variable(g.find_declaration(get(n, K::value)))) {
    if (MaybePair known = constant_name_interval(g, get(n, K::value))) return known;
  }
  if (str_in(type, {"name", "indexed_name"})) {
    if (MaybePair combined = combined_bounds(g, n)) return combined;
    return as_pair(call_method(g.self(), K::var_bounds_safe, n));
  }
  if (str_is(type, "number")) {
    Ref zero = py_int(0);
    Ref v = to_float(get(n, K::value, zero));
    return Pair{v.copy(), v.copy()};
  }
  // A boolean literal is the number 1 or 0 in every translated expression; knowing so keeps the
  // big-M of a literal side (`true => c` becomes `true == true => c`) tiny instead of 1e6, where
  // an EPS margin would drown in the solver's tolerances.
  if (str_is(type, "boolean_literal")) {
    Ref v = py_float(truthy(get(n, K::value)) ? 1.0 : 0.0);
    return Pair{v.copy(), v.copy()};
  }
  // A comparison used as a number is its truth, 0 or 1. Without these bounds its big-M would be
  // the default 1e6, which a binary within the solver's integrality tolerance of 0 (1e-6 of it)
  // turns into a slack larger than any margin.
  if (str_in(type, {"binop", "constraint"}) && str_in(get(n, K::op), {">=", "<=", "==", ">", "<", "!="})) {
    return Pair{py_float(0.0), py_float(1.0)};
  }
  if (str_is(type, "parenthesized_expression")) return interval(g, get(n, K::expression));
  if (str_is(type, "binop")) return binop_interval(g, n);
  if (str_is(type, "sum")) return sum_interval(g, n);
  if ((str_is(type, "funcall") && str_is(get(n, K::name), "abs")) ||
      str_in(type, {"maxl", "minl", "max_agg", "min_agg"})) {
    return function_interval(g, n);
  }
  return std::nullopt;
}

Ref linear_bounds_safe(const Call& c) {
  auto [self, node] = c.bind(Params<2>{"GurobiCodeGenerator._linear_bounds_safe", {"self", "node"}, 2});
  return to_python(interval(Gen(c.module, self), node));
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_collect_variable_bounds", collect_variable_bounds,
                "Gather the bounds that simple bound constraints give the variables."),
    KV_FUNCTION("_var_bounds_safe", var_bounds_safe, "Return the bound pair of a variable's declared domain."),
    KV_FUNCTION("_linear_bounds_safe", linear_bounds_safe,
                "Return the bound pair of a linear expression, or None when none can be computed."),
};

}  // namespace

std::span<PyMethodDef> bounds_methods{kMethods};

}  // namespace mipwright
