// The constraint section: the dispatch from a constraint node to its emitter, and the names that
// emitted constraints carry, either fixed literals or run-time expressions built from labels.
#include "constant_constraints.hpp"
#include "loops.hpp"

namespace mipwright {
namespace {

constexpr const char* kNotSupported = "' is not supported by the Gurobi code generator.";

Ref generate_constraints(const Call& c) {
  auto [self, constraints] = c.bind(Params<2>{"GurobiCodeGenerator._generate_constraints", {"self", "constraints"}, 2});
  Gen g(c.module, self);
  g.emit("# Constraints");
  Py_ssize_t position = 0;
  for (Ref& node : Iterate(constraints)) {
    std::string number = std::to_string(position++);
    // Each top-level constraint starts with no loop variables of its own.
    call_method(self, K::generate_single_constraint, node, py_str("c" + number), new_dict());
  }
  g.emit("");
  return none();
}

Ref generate_single_constraint(const Call& c) {
  auto [self, node, prefix, iterators] =
      c.bind(Params<4>{"GurobiCodeGenerator._generate_single_constraint",
                       {"self", "constraint_node", "constr_name_prefix", "current_iterators"},
                       4});
  RecursionGuard guard(" while emitting a constraint");
  Gen g(c.module, self);
  Ref outer_label = g.attr(K::active_label_name_expr);
  with_attr_restored(g, K::active_label_name_expr, outer_label, [&] {
    // A label already in force comes from an enclosing node and wins over this node's own.
    if (is_dict(node) && contains(node, K::label) && !truthy(outer_label)) {
      g.set(K::active_label_name_expr, repr(item(node, K::label)));
    }
    if (settle_constant_constraint(g, node, prefix, iterators)) return;
    std::string type = text(item(node, K::type));
    Ref emitter = getattr(self, method_name("_constraint_" + type), Py_None);
    if (!truthy(emitter)) raise(PyExc_NotImplementedError, "Constraint type '" + type + kNotSupported);
    call(emitter, node, prefix, iterators);
  });
  return none();
}

Ref format_name_expr(const Call& c) {
  auto [self, base_prefix, suffix] =
      c.bind(Params<3>{"GurobiCodeGenerator._format_name_expr", {"self", "base_prefix", "suffix"}, 2});
  Ref no_suffix = py_str("");
  Handle tail = suffix != nullptr ? Handle(suffix) : Handle(no_suffix);
  Ref label = getattr(self, K::active_label_name_expr, Py_None);
  if (truthy(label)) {
    if (!truthy(tail)) return label;
    std::string label_text = str_text(label);
    return py_str("(" + label_text + " + " + repr_text(tail) + ")");
  }
  return repr(check(PyNumber_Add(base_prefix, tail)));
}

// The name expression of a label template: the script joins the current values of the
// template's iterators into a name such as cap[1,2] on every pass of the loop.
Ref compute_label_expr(const Call& c) {
  auto [self, label_template] =
      c.bind(Params<2>{"GurobiCodeGenerator._compute_label_expr", {"self", "label_template"}, 2});
  if (!is_dict(label_template)) {
    raise(PyExc_TypeError, std::string("_compute_label_expr() argument 'label_template' must be dict, not ") +
                               Py_TYPE(label_template)->tp_name);
  }
  Ref default_name = py_str("ct");
  Ref name = get(label_template, K::name, default_name);
  Ref iterators = get(label_template, K::iterators);
  Ref names = truthy(iterators) ? to_list(iterators) : new_list();
  if (len(names) == 0) return repr(name);
  std::string quoted_name = repr_text(name);
  std::string values = str_text(join_str(", ", names));
  return py_str("(" + quoted_name + " + '[' + ','.join(str(v) for v in [" + values + "]) + ']')");
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_format_name_expr", format_name_expr,
                "Return the Python expression text of a constraint name: the active label, else a literal."),
    KV_FUNCTION("_compute_label_expr", compute_label_expr,
                "Return the Python expression text that names a constraint from a label template."),
    KV_FUNCTION("_generate_constraints", generate_constraints, "Emit the constraint section."),
    KV_FUNCTION("_generate_single_constraint", generate_single_constraint,
                "Emit one constraint node through the emitter named after its type."),
};

}  // namespace

std::span<PyMethodDef> constraint_methods{kMethods};

}  // namespace mipwright
