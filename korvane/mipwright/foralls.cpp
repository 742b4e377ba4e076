// Forall constraints: the script loops that emit a family of constraints, their ranges and index
// filters, and the labels of the constraints inside them.
#include "loops.hpp"

namespace mipwright {
namespace {

Ref extract_forall_loops(const Call& c) {
  auto [self, iterators, current_iterators] =
      c.bind(Params<3>{"GurobiCodeGenerator._extract_forall_loops", {"self", "iterators", "current_iterators"}, 3});
  Ref loop_vars = new_list();
  Ref loop_ranges = new_list();
  // Every range is read in the enclosing scope: a sibling iterator of the same forall is not bound
  // there yet.
  for (Ref& entry : Iterate(iterators)) {
    append(loop_vars, item(entry, K::iterator));
    append(loop_ranges, call_method(self, K::forall_range_expr, item(entry, K::range), current_iterators));
  }
  return tuple_of(loop_vars, loop_ranges);
}

Ref forall_range_expr(const Call& c) {
  auto [self, rng, iterators] =
      c.bind(Params<3>{"GurobiCodeGenerator._forall_range_expr", {"self", "rng", "current_iterators"}, 3});
  Gen g(c.module, self);
  Ref type = item(rng, K::type);
  if (str_is(type, "range_specifier")) {
    // Model ranges include their upper end.
    std::string start = text(g.traverse_symbolic(item(rng, K::start), iterators));
    std::string end = text(g.traverse_symbolic(item(rng, K::end), iterators));
    return py_str("range(" + start + ", " + end + " + 1)");
  }
  if (std::optional<std::string> named = named_iterable(g, rng, iterators)) return py_str(*named);
  raise(PyExc_ValueError, "Unsupported range type for forall: " + text(type));
}

Ref construct_loop_header(const Call& c) {
  auto [self, loop_vars, loop_ranges] =
      c.bind(Params<3>{"GurobiCodeGenerator._construct_loop_header", {"self", "loop_vars", "loop_ranges"}, 3});
  return py_str(loop_header(Gen(c.module, self), loop_vars, loop_ranges));
}

// A new map of the iterators in scope inside a loop over `loop_vars`.
Ref iterators_inside(Handle current_iterators, Handle loop_vars) {
  Ref inside = dict_copy(current_iterators);
  for (Ref& var : Iterate(loop_vars)) set_item(inside, var, var);
  return inside;
}

Ref constraint_forall_constraint(const Call& c) {
  auto [self, node, prefix, current_iterators] =
      c.bind(Params<4>{"GurobiCodeGenerator._constraint_forall_constraint",
                       {"self", "constraint_node", "constr_name_prefix", "current_iterators"},
                       4});
  Gen g(c.module, self);
  Ref index_constraint = get(node, K::index_constraint);
  Ref loops = call_method(self, K::extract_forall_loops, item(node, K::iterators), current_iterators);
  Ref loop_vars = item(loops, 0);
  Ref loop_ranges = item(loops, 1);
  g.emit(text(call_method(self, K::construct_loop_header, loop_vars, loop_ranges)));
  g.indent(1);
  Ref new_iterators = iterators_inside(current_iterators, loop_vars);
  Ref no_ranges = new_dict();
  Ref saved_ranges = dict_copy(getattr(self, K::active_iterator_ranges, no_ranges));
  with_attr_restored(g, K::active_iterator_ranges, saved_ranges, [&] {
    g.set(K::active_iterator_ranges, ranges_inside(saved_ranges, loop_vars, loop_ranges));
    with_open_loops(g, loop_vars, [&] {
      bool filtered = !is_none(index_constraint);
      if (filtered) {
        g.emit("if " + text(call_method(self, K::emit_index_condition, index_constraint, new_iterators)) + ":");
        g.indent(1);
      }
      Ref zero = py_int(0);
      Ref one = py_int(1);
      Ref saved_depth = getattr(self, K::materialized_loop_depth, zero);
      with_attr_restored(g, K::materialized_loop_depth, saved_depth, [&] {
        g.set(K::materialized_loop_depth, check(PyNumber_Add(saved_depth.get(), one.get())));
        call_method(self, K::emit_forall_inner_constraints, node, prefix, loop_vars, new_iterators);
      });
      if (filtered) g.indent(-1);
    });
  });
  g.indent(-1);
  return none();
}

// Runs `emit` with the label of `child`'s label template in force, if it has one: a template
// names this one constraint and replaces any label of the enclosing nodes.
template <class Emit>
void with_label_context(const Gen& g, Handle child, Emit&& emit) {
  Ref outer_label = g.attr(K::active_label_name_expr);
  with_attr_restored(g, K::active_label_name_expr, outer_label, [&] {
    if (is_dict(child) && contains(child, K::label_template)) {
      g.set(K::active_label_name_expr, call_method(g.self(), K::compute_label_expr, item(child, K::label_template)));
    }
    emit();
  });
}

Ref emit_forall_inner_constraints(const Call& c) {
  auto [self, node, prefix, loop_vars, new_iterators] =
      c.bind(Params<5>{"GurobiCodeGenerator._emit_forall_inner_constraints",
                       {"self", "constraint_node", "constr_name_prefix", "loop_vars", "new_iterators"},
                       5});
  Gen g(c.module, self);
  std::string inner_prefix = str_text(prefix) + "_" + str_text(join_str("_", loop_vars));
  auto emit_child = [&](Handle child, const std::string& child_prefix) {
    with_label_context(g, child, [&] {
      call_method(self, K::generate_single_constraint, child, py_str(child_prefix), new_iterators);
    });
  };
  if (contains(node, K::constraint)) {
    emit_child(item(node, K::constraint), inner_prefix);
  } else if (contains(node, K::constraints)) {
    Py_ssize_t position = 0;
    for (Ref& child : Iterate(item(node, K::constraints))) {
      emit_child(child, inner_prefix + "_" + std::to_string(position++));
    }
  } else {
    raise(PyExc_ValueError, "Forall constraint node missing 'constraint' or 'constraints' key.");
  }
  return none();
}

// ---- index filters ----

struct FilterArgs {
  Gen g;
  PyObject* iterators;

  std::string of(Handle child) const { return text(call_method(g.self(), K::emit_index_condition, child, iterators)); }
};

// A count of the passes of the sum's loops in which its expression holds, as one Python sum over
// a generator: the filter stays plain Python, evaluated by the script.
std::string filter_count(const FilterArgs& a, Handle node) {
  Ref no_iterators = new_list();
  Ref iterators = get(node, K::iterators, no_iterators);
  std::string holds = a.of(get(node, K::expression));
  Ref inside = dict_copy(a.iterators);
  for (Ref& entry : Iterate(iterators)) {
    Ref var = item(entry, K::iterator);
    set_item(inside, var, var);
  }
  std::vector<std::string> clauses;
  for (Ref& entry : Iterate(iterators)) {
    Ref range_text = call_method(a.g.self(), K::forall_range_expr, item(entry, K::range), inside);
    clauses.push_back("for " + text(item(entry, K::iterator)) + " in " + text(range_text));
  }
  Ref condition = get(node, K::index_constraint);
  std::string when =
      is_none(condition) ? "" : " if " + text(call_method(a.g.self(), K::emit_index_condition, condition, inside));
  return "sum((1 if (" + holds + ") else 0) " + join_text(clauses, " ") + when + ")";
}

std::string index_condition(const FilterArgs& a, Handle node) {
  if (!is_dict(node)) return repr_text(node);
  Ref type = item(node, K::type);
  if (str_is(type, "boolean_literal")) return truthy(item(node, K::value)) ? "True" : "False";
  if (str_is(type, "number")) return text(item(node, K::value));
  if (str_is(type, "string_literal")) return repr_text(item(node, K::value));
  if (str_is(type, "name")) return text(item(node, K::value));
  if (str_is(type, "indexed_name")) {
    // A filter decides which constraints exist; it is evaluated before any solve.
    if (is_decision_variable(a.g.find_declaration(item(node, K::name)))) {
      raise(PyExc_ValueError, "Index constraint may not reference decision variables.");
    }
    Ref method = a.g.attr(K::expr_indexed_name);
    return text(call_kw(method, {node, a.iterators}, {{"symbolic", Py_False}}));
  }
  if (str_is(type, "parenthesized_expression")) return "(" + a.of(item(node, K::expression)) + ")";
  if (str_is(type, "not")) return "(not (" + a.of(item(node, K::value)) + "))";
  if (str_is(type, "and")) return "((" + a.of(item(node, K::left)) + ") and (" + a.of(item(node, K::right)) + "))";
  if (str_is(type, "or")) return "((" + a.of(item(node, K::left)) + ") or (" + a.of(item(node, K::right)) + "))";
  if (str_is(type, "binop")) {
    // A conditional operand binds more loosely than the operator: it needs its own parentheses.
    auto operand = [&](Handle key) {
      Ref child = item(node, key);
      std::string operand_text = a.of(child);
      return has_type(child, {"conditional"}) ? "(" + operand_text + ")" : operand_text;
    };
    std::string left = operand(K::left);
    std::string op = text(item(node, K::op));
    return "(" + left + " " + op + " " + operand(K::right) + ")";
  }
  if (str_is(type, "sum")) return filter_count(a, node);
  return text(a.g.traverse_symbolic(node, a.iterators));
}

Ref emit_index_condition(const Call& c) {
  auto [self, node, iterators] =
      c.bind(Params<3>{"GurobiCodeGenerator._emit_index_condition", {"self", "node", "current_iterators"}, 3});
  RecursionGuard guard(" while translating an index filter");
  return py_str(index_condition(FilterArgs{Gen(c.module, self), iterators}, node));
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_emit_index_condition", emit_index_condition,
                "Return the Python condition text of an index filter, evaluated by the script per loop pass."),
    KV_FUNCTION("_constraint_forall_constraint", constraint_forall_constraint,
                "Emit a forall constraint as script loops around its nested constraints."),
    KV_FUNCTION("_extract_forall_loops", extract_forall_loops,
                "Return (loop variable names, range texts) of a forall's iterators."),
    KV_FUNCTION("_forall_range_expr", forall_range_expr, "Return the Python iterable text of a range node."),
    KV_FUNCTION("_emit_forall_inner_constraints", emit_forall_inner_constraints,
                "Emit the constraints nested in a forall, with their names and labels."),
    KV_FUNCTION("_construct_loop_header", construct_loop_header, "Return the header line of a forall loop."),
};

}  // namespace

std::span<PyMethodDef> forall_methods{kMethods};

}  // namespace mipwright
