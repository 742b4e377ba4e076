// Sums and the counting of true comparisons.
//
// A sum becomes a gp.quicksum over a generator. A sum whose terms are comparisons counts how many
// of them hold: each term gets a binary tied to its comparison by big-M lines, the binaries are
// collected in a list built by script loops, and the sum is the quicksum of that list. A single
// comparison used as a number gets one such binary the same way.
//
// Lists and binaries are built at the line where the sum is met. Iterators of loops already open
// there are current loop variables: the list is built once per pass of those loops and read in
// the same pass. Iterators of enclosing sums are not loops of the script (a sum is a generator
// expression), so what depends on them is built in loops of its own over their ranges, keyed by
// their values ("scoped"), and read with those keys inside the generator.
#include <sstream>

#include "big_m.hpp"
#include "integrality.hpp"

namespace mipwright {
namespace {

// ---- the reification lines ----

// The identifier part of an auxiliary's text (the dictionary of a keyed auxiliary).
std::string identifier_of(const std::string& aux) {
  return aux.substr(0, aux.find('['));
}

class Reification {
 public:
  // `margin`: how far the sides are apart when the comparison fails (EPS, or the step of the
  // values of integer and grid sides).
  Reification(const Gen& g, std::string left, std::string right, std::string aux, const BigM& m, Handle margin)
      : g_(g),
        left_(std::move(left)),
        right_(std::move(right)),
        aux_(std::move(aux)),
        margin_(text(margin)),
        tol_(text(g.global(K::EQ_TOL))),
        big_m_(m.plain()),
        with_margin_(m.with_margin(margin)) {}

  const std::string& big_m() const { return big_m_; }

  std::vector<std::string> lines(const std::string& op) const {
    const std::string diff = left_ + " - " + right_;
    const std::string& m = big_m_;
    const std::string& mm = with_margin_;
    if (op == ">=") {
      return {line(diff + " >= 0 - " + m + " * (1 - " + aux_ + ")", "_reify_ge1_"),
              line(diff + " <= -" + margin_ + " + " + mm + " * " + aux_, "_reify_ge2_")};
    }
    if (op == ">") {
      return {line(diff + " >= " + margin_ + " - " + mm + " * (1 - " + aux_ + ")", "_reify_gt1_"),
              line(diff + " <= 0 + " + m + " * " + aux_, "_reify_gt2_")};
    }
    if (op == "<=") {
      return {line(diff + " <= 0 + " + m + " * (1 - " + aux_ + ")", "_reify_le1_"),
              line(diff + " >= " + margin_ + " - " + mm + " * " + aux_, "_reify_le2_")};
    }
    if (op == "<") {
      return {line(diff + " <= -" + margin_ + " + " + mm + " * (1 - " + aux_ + ")", "_reify_lt1_"),
              line(diff + " >= 0 - " + m + " * " + aux_, "_reify_lt2_")};
    }
    if (op == "==") return equality_lines(diff);
    return {"model.addConstr(" + aux_ + " == 0, name=" + name("_reify_unk_") + " )"};
  }

 private:
  // The auxiliary is 1 exactly when the sides are equal: 1 forces |left - right| <= EQ_TOL, 0
  // forces |left - right| >= EPS, on the side that a second binary chooses.
  std::vector<std::string> equality_lines(const std::string& diff) const {
    const std::string reverse = right_ + " - " + left_;
    const std::string side = identifier_of(aux_) + "_side";
    std::vector<std::string> out;
    auto write = [&](const std::string& body, int number) {
      out.push_back(line(body, "_reify_eq" + std::to_string(number) + "_"));
    };
    equality_tolerance_lines(diff, reverse, tol_, big_m_ + " * (1 - " + aux_ + ")", write);
    out.push_back(side + " = model.addVar(vtype=GRB.BINARY)  # sign of (" + diff + ") when " + aux_ + " is 0");
    equality_separation_lines(diff, reverse, margin_, with_margin_, aux_, side, write);
    return out;
  }

  std::string name(const std::string& suffix) const {
    return text(call_method(g_.self(), K::format_name_expr, py_str("aux"), py_str(suffix + aux_)));
  }

  std::string line(const std::string& body, const std::string& suffix) const {
    return "model.addConstr(" + body + ", name=" + name(suffix) + " )";
  }

  const Gen& g_;
  std::string left_, right_, aux_, margin_, tol_, big_m_, with_margin_;
};

Ref emit_reify_comparison(const Call& c) {
  auto [self, left_node, right_node, left_expr, right_expr, op, aux_sym] =
      c.bind(Params<7>{"GurobiCodeGenerator._emit_reify_comparison",
                       {"self", "left_node", "right_node", "left_expr", "right_expr", "op", "aux_sym"},
                       7});
  Gen g(c.module, self);
  std::string left = text(left_expr), right = text(right_expr), aux = text(aux_sym), cmp_op = text(op);
  Ref no_iterators = new_dict();
  Reification r(g, left, right, aux, BigM::of_difference(g, left_node, right_node),
                comparison_margin(g, left_node, right_node, no_iterators));
  std::vector<std::string> lines = {"# Reify (" + left + " " + cmp_op + " " + right + ") -> " + aux +
                                    " with M=" + r.big_m()};
  for (std::string& line : r.lines(cmp_op)) lines.push_back(std::move(line));
  return py_str(join_text(lines, "\n"));
}

// Writes the lines of _emit_reify_comparison one by one.
void emit_reification(const Gen& g, Handle cmp, const std::string& left, const std::string& right, Handle op,
                      const std::string& aux) {
  Ref joined = call_method(g.self(), K::emit_reify_comparison, get(cmp, K::left), get(cmp, K::right), py_str(left),
                           py_str(right), op, py_str(aux));
  std::istringstream lines{std::string(utf8(joined))};
  for (std::string line; std::getline(lines, line);) g.emit(line);
}

// ---- accessors and scope ----

Ref format_scope_key_expr(const Call& c) {
  auto [self, scope_vars, iterators] =
      c.bind(Params<3>{"GurobiCodeGenerator._format_scope_key_expr", {"self", "scope_vars", "current_iterators"}, 3});
  std::vector<std::string> parts;
  for (Ref& var : Iterate(scope_vars)) parts.push_back(text(get(iterators, var, var)));
  if (parts.size() == 1) return py_str("(" + parts[0] + ",)");
  return py_str("(" + join_text(parts, ", ") + ")");
}

Ref comparison_sum_accessors(const Call& c) {
  auto [self, meta, iterators] =
      c.bind(Params<3>{"GurobiCodeGenerator._comparison_sum_accessors", {"self", "meta", "current_iterators"}, 3});
  Ref scope = get(meta, K::scope_vars);
  if (!truthy(scope)) return tuple_of(get(meta, K::list_name), get(meta, K::len_var));
  std::string key = text(call_method(self, K::format_scope_key_expr, scope, iterators));
  Ref list_access = py_str(text(get(meta, K::list_name)) + "[" + key + "]");
  Ref len_name = get(meta, K::len_name);
  return tuple_of(list_access, truthy(len_name) ? py_str(text(len_name) + "[" + key + "]") : none());
}

Ref active_scope_iterators(const Call& c) {
  auto [self, iterators, local_loop_vars] = c.bind(
      Params<3>{"GurobiCodeGenerator._active_scope_iterators", {"self", "current_iterators", "local_loop_vars"}, 3});
  Gen g(c.module, self);
  Ref no_ranges = new_dict();
  Ref active = getattr(self, K::active_iterator_ranges, no_ranges);
  Ref no_locals = new_list();
  Handle locals = is_none(local_loop_vars) ? Handle(no_locals) : Handle(local_loop_vars);
  Ref names = new_list();
  Ref ranges = new_list();
  for (Ref& pair : Iterate(call_method(active, K::items))) {
    Ref name = item(pair, 0);
    // A loop open in the script already binds its iterator at this line; looping over it again
    // would rebind it for the rest of the enclosing loop body.
    if (!contains(iterators, name) || contains(locals, name) || is_open_loop(g, name)) continue;
    append(names, name);
    append(ranges, item(pair, 1));
  }
  return tuple_of(names, ranges);
}

// ---- sums ----

Ref next_count(const Gen& g, Handle counter) {
  Ref zero = py_int(0);
  Ref one = py_int(1);
  Ref next = num_add(getattr(g.self(), counter, zero), one);
  g.set(counter, next);
  return next;
}

Ref attribute_dict(const Gen& g, Handle name) {
  if (!hasattr(g.self(), name)) g.set(name, new_dict());
  return g.attr(name);
}

// The loops of one sum: its variables, their range texts, and the iterators in scope in its terms.
struct SumLoops {
  Ref vars = new_list();
  Ref ranges = new_list();
  Ref inner_iterators;
};

std::string sum_range_text(const ExprArgs& a, Handle rng, Handle iterators) {
  Ref type = item(rng, K::type);
  if (str_is(type, "range_specifier")) {
    // Model ranges include their upper end.
    std::string start = text(a.g.traverse(item(rng, K::start), iterators, a.symbolic));
    std::string end = text(a.g.traverse(item(rng, K::end), iterators, a.symbolic));
    return "range(" + start + ", " + end + " + 1)";
  }
  if (std::optional<std::string> named = named_iterable(a.g, rng, iterators)) return *named;
  raise(PyExc_ValueError, "Unsupported range type for sum: " + text(type));
}

SumLoops sum_loops(const ExprArgs& a, Handle iterators) {
  SumLoops loops;
  loops.inner_iterators = dict_copy(a.iterators);
  for (Ref& entry : Iterate(iterators)) {
    a.g.debug("[GurobiCodeGen] SUM iterator: %s", entry);
    Ref var = item(entry, K::iterator);
    append(loops.ranges, py_str(sum_range_text(a, item(entry, K::range), loops.inner_iterators)));
    append(loops.vars, var);
    set_item(loops.inner_iterators, var, var);
  }
  return loops;
}

// Sums written alike get equal keys, so a sum met again reads the list already built. The key is
// taken from the tree (iterators with their ranges, operands, operator, filter): translating the
// operands to text could write the lines of sums nested in them at this point.
Ref structural_key(Handle node, Handle cmp) {
  return py_str("cmp_sum|" + repr_text(get(node, K::iterators)) + "|" + repr_text(get(cmp, K::left)) + "|" +
                repr_text(get(cmp, K::right)) + "|" + repr_text(get(cmp, K::op)) + "|" +
                repr_text(get(node, K::index_constraint)));
}

struct Materialisation {
  const ExprArgs& a;
  Handle cmp;
  const SumLoops& loops;
  Ref condition;
  Ref meta;
  Ref counter;

  std::string list_access() const {
    return text(item(call_method(a.g.self(), K::comparison_sum_accessors, meta, a.iterators), 0));
  }

  // One binary per term, tied to its comparison, appended to the list.
  void emit_terms() const {
    const Gen& g = a.g;
    in_script_loops(g, loops.vars, loops.ranges, [&] {
      bool filtered = !is_none(condition);
      if (filtered) {
        g.emit("if " + text(g.traverse(condition, loops.inner_iterators)) + ":");
        g.indent(1);
      }
      Ref op = item(cmp, K::op);
      std::string left = text(g.traverse(item(cmp, K::left), loops.inner_iterators));
      std::string right = text(g.traverse(item(cmp, K::right), loops.inner_iterators));
      std::string aux = "cmp_aux_" + text(counter) + "_" + str_text(join_str("_", loops.vars));
      g.emit(aux + " = model.addVar(vtype=GRB.BINARY)  # reified (" + left + " " + text(op) + " " + right + ")");
      emit_reification(g, cmp, left, right, op, aux);
      g.emit(list_access() + ".append(" + aux + ")");
      if (filtered) g.indent(-1);
    });
  }

  void emit_scoped(const std::string& list_name, Handle scope_vars, Handle scope_ranges) const {
    const Gen& g = a.g;
    g.emit(list_name + " = {}  # scoped auxiliaries for sum of comparisons");
    g.emit(list_name + "_len = {}");
    set_item(meta, K::len_name, py_str(list_name + "_len"));
    in_script_loops(g, scope_vars, scope_ranges, [&] {
      std::string key = text(call_method(g.self(), K::format_scope_key_expr, scope_vars, a.iterators));
      g.emit(list_name + "[" + key + "] = []");
      emit_terms();
      g.emit(list_name + "_len[" + key + "] = len(" + list_access() + ")  # cardinality of comparison terms");
    });
  }

  void emit_unscoped(const std::string& list_name) const {
    a.g.emit(list_name + " = []  # auxiliaries for sum of comparisons");
    emit_terms();
    set_item(meta, K::len_var, py_str(list_name + "_len"));
    a.g.emit(list_name + "_len = len(" + list_name + ")  # cardinality of comparison terms");
  }
};

// The lines that build the list of a sum of comparisons; returns its quicksum. The sum is
// registered only once its lines are complete, so a failed attempt leaves nothing to reuse.
std::string materialise(const ExprArgs& a, Handle cmp, const SumLoops& loops, Handle scope, Handle key) {
  const Gen& g = a.g;
  Ref counter = next_count(g, K::sum_cmp_counter);
  std::string list_name = "_cmp_sum_list_" + text(counter);
  Ref scope_vars = as_tuple(item(scope, 0));
  Ref meta = new_dict();
  set_item(meta, K::list_name, py_str(list_name));
  set_item(meta, K::len_var, Py_None);
  set_item(meta, K::len_name, Py_None);
  set_item(meta, K::scope_vars, scope_vars);
  set_item(meta, K::open_loops, open_loop_frames(g));
  Materialisation m{a, cmp, loops, get(a.node, K::index_constraint), meta.copy(), counter.copy()};
  if (len(scope_vars) > 0) {
    m.emit_scoped(list_name, item(scope, 0), item(scope, 1));
  } else {
    m.emit_unscoped(list_name);
  }
  set_item(attribute_dict(g, K::comparison_sum_meta), identity(a.node), meta);
  if (!is_none(key)) set_item(attribute_dict(g, K::comparison_sum_key_map), key, meta);
  return quicksum_of(g, meta, a.iterators);
}

// The list built for an equal sum, when it may be read here.
Ref list_of_equal_sum(const Gen& g, Handle key, Handle scope, Handle iterators) {
  if (is_none(key) || !hasattr(g.self(), K::comparison_sum_key_map)) return none();
  Ref meta = get(g.attr(K::comparison_sum_key_map), key);
  if (!is_dict(meta)) return none();
  Ref wanted = as_tuple(item(scope, 0));
  Ref recorded = as_tuple(get(meta, K::scope_vars));
  if (!eq(recorded, wanted) || !list_readable_here(g, meta, iterators)) return none();
  return meta;
}

std::string generator_sum(const ExprArgs& a, Handle summand, const SumLoops& loops, Handle condition) {
  const Gen& g = a.g;
  Ref term = g.traverse(summand, loops.inner_iterators);
  g.debug("[GurobiCodeGen] SUM inner_expr_str: %s", term);
  std::vector<std::string> clauses;
  for (Py_ssize_t i = 0; i < len(loops.vars); ++i) {
    clauses.push_back("for " + text(item(loops.vars, i)) + " in " + text(item(loops.ranges, i)));
  }
  std::string generator = text(term) + " " + join_text(clauses, " ");
  if (!is_none(condition)) {
    Ref when = g.traverse(condition, loops.inner_iterators);
    g.debug("[GurobiCodeGen] SUM cond_str: %s", when);
    generator += " if " + text(when);
  }
  g.debug("[GurobiCodeGen] SUM generated quicksum: gp.quicksum(%s)", py_str(generator));
  return "gp.quicksum(" + generator + ")";
}

Ref expr_sum(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_sum");
  const Gen& g = a.g;
  Ref iterators = item(a.node, K::iterators);
  Ref condition = get(a.node, K::index_constraint);
  Ref summand = item(a.node, K::expression);
  if (hasattr(g.self(), K::comparison_sum_meta)) {
    Ref meta = get(g.attr(K::comparison_sum_meta), identity(a.node));
    if (list_readable_here(g, meta, a.iterators)) return py_str(quicksum_of(g, meta, a.iterators));
  }
  g.debug("[GurobiCodeGen] SUM: iterators=%s, index_constraint=%s, inner_expression=%s", iterators, condition, summand);
  SumLoops loops = sum_loops(a, iterators);
  g.debug("[GurobiCodeGen] SUM loop_vars=%s, loop_ranges=%s", loops.vars, loops.ranges);
  Ref scope = call_method(g.self(), K::active_scope_iterators, a.iterators, loops.vars);
  Ref cmp = without_parentheses(summand);
  Ref key = is_counted_comparison(cmp) ? structural_key(a.node, cmp) : none();
  Ref equal_sum = list_of_equal_sum(g, key, scope, a.iterators);
  if (!is_none(equal_sum)) {
    // Recorded for this node too, so a constraint on this sum finds its list as well.
    set_item(attribute_dict(g, K::comparison_sum_meta), identity(a.node), equal_sum);
    return py_str(quicksum_of(g, equal_sum, a.iterators));
  }
  Ref no_ranges = new_dict();
  Ref saved_ranges = getattr(g.self(), K::active_iterator_ranges, no_ranges);
  return with_attr_restored(g, K::active_iterator_ranges, saved_ranges, [&] {
    g.set(K::active_iterator_ranges, ranges_inside(saved_ranges, loops.vars, loops.ranges));
    if (is_counted_comparison(cmp)) return py_str(materialise(a, cmp, loops, scope, key));
    return py_str(generator_sum(a, summand, loops, condition));
  });
}

// ---- a comparison used as a number ----

Ref reify_scoped_comparison(const Call& c) {
  auto [self, comp_node, iterators] =
      c.bind(Params<3>{"GurobiCodeGenerator._reify_scoped_comparison", {"self", "comp_node", "current_iterators"}, 3});
  Gen g(c.module, self);
  Ref node = without_parentheses(comp_node);
  bool not_equal = has_type(node, {"binop", "constraint"}) && str_is(get(node, K::op), "!=");
  if (!is_counted_comparison(node) && !not_equal) return g.traverse(node, iterators);
  // Without a decision variable the comparison is known when the script runs.
  if (!truthy(call_method(self, K::expr_depends_on_decision_var, node))) {
    return py_str("(1 if (" + text(call_method(self, K::emit_index_condition, node, iterators)) + ") else 0)");
  }
  // l != r is the negation of l == r.
  if (not_equal) {
    Ref equal = dict_copy(node);
    set_item(equal, K::op, py_str("=="));
    return py_str("(1 - " + text(call_method(self, K::reify_scoped_comparison, equal, iterators)) + ")");
  }
  std::string base = "_cmp_expr_" + text(next_count(g, K::comparison_expr_counter));
  Ref op = item(node, K::op);
  auto render_and_tie = [&](const std::string& aux) {
    std::string left = text(g.traverse(item(node, K::left), iterators));
    std::string right = text(g.traverse(item(node, K::right), iterators));
    emit_reification(g, node, left, right, op, aux);
  };
  Ref scope = call_method(self, K::active_scope_iterators, iterators, Py_None);
  Ref scope_vars = item(scope, 0);
  if (len(scope_vars) == 0) {
    g.emit(base + " = model.addVar(vtype=GRB.BINARY)");
    render_and_tie(base);
    return py_str(base);
  }
  g.emit(base + " = {}");
  std::string aux;
  in_script_loops(g, scope_vars, item(scope, 1), [&] {
    aux = base + "[" + text(call_method(self, K::format_scope_key_expr, scope_vars, iterators)) + "]";
    g.emit(aux + " = model.addVar(vtype=GRB.BINARY)");
    // Inside these loops only the scope's own iterators are looped over by nested translations.
    Ref no_ranges = new_dict();
    Ref saved_ranges = getattr(self, K::active_iterator_ranges, no_ranges);
    with_attr_restored(g, K::active_iterator_ranges, saved_ranges, [&] {
      g.set(K::active_iterator_ranges, ranges_of(saved_ranges, scope_vars));
      render_and_tie(aux);
    });
  });
  return py_str(aux);
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_comparison_sum_accessors", comparison_sum_accessors,
                "Return (list text, count text or None) of a materialised sum of comparisons."),
    KV_FUNCTION("_format_scope_key_expr", format_scope_key_expr,
                "Return the tuple text that keys a scoped auxiliary by the current iterator values."),
    KV_FUNCTION("_active_scope_iterators", active_scope_iterators,
                "Return (names, range texts) of the enclosing iterators an auxiliary must be scoped over."),
    KV_FUNCTION("_reify_scoped_comparison", reify_scoped_comparison,
                "Return a 0/1 expression text equal to the truth of a comparison, writing its auxiliary first."),
    KV_FUNCTION("_expr_sum", expr_sum, nullptr),
    KV_FUNCTION("_emit_reify_comparison", emit_reify_comparison,
                "Return the lines that make a binary equal to the truth of a comparison."),
};

}  // namespace

std::span<PyMethodDef> sum_methods{kMethods};

}  // namespace mipwright
