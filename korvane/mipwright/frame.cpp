// The generator frame: construction, the line buffer, the order of the script's sections, its
// fixed preamble and epilogue, and the objective line.
#include "common/finite_numbers.hpp"
#include "functions.hpp"
#include "validate.hpp"

namespace mipwright {
namespace {

struct ScriptLine {
  int depth;
  const char* text;
};

constexpr ScriptLine kPreamble[] = {
    {0, "import gurobipy as gp"},
    {0, "from gurobipy import GRB"},
    {0, "import itertools  # needed for multi-index forall"},
    {0, "import math  # for math.sqrt and friends"},
    {0, ""},
    {0, "def _safe_get(container, key, default=0):"},
    {1, "try:"},
    {2, "return container[key]"},
    {1, "except Exception:"},
    {2, "return default"},
    {0, ""},
};

// Solves once; only an INF_OR_UNBD status triggers a second solve without dual reductions, so
// that the reported status tells infeasible from unbounded.
constexpr ScriptLine kEpilogue[] = {
    {0, "model.optimize()"},
    {0, "if model.status == GRB.INF_OR_UNBD:"},
    {1, "model.setParam(GRB.Param.DualReductions, 0)"},
    {1, "model.optimize()"},
    {0, ""},
    {0, "results = {}"},
    {0, "if model.status == GRB.OPTIMAL:"},
    {1, "print('Optimal solution found:')"},
    {1, "solution = {}"},
    {1, "for v in model.getVars():"},
    {2, "print(f'{v.VarName}: {v.X}')"},
    {2, "solution[v.VarName] = v.X"},
    {1, "print(f'Objective value: {model.ObjVal}')"},
    {1, "results['solution'] = solution"},
    {1, "results['objective_value'] = model.ObjVal"},
    {1, "results['status'] = 'OPTIMAL'"},
    {1, "stats = {}"},
    {1, "try:"},
    {2, "stats['MIPGap'] = model.MIPGap"},
    {1, "except AttributeError:"},
    {2, "stats['MIPGap'] = None"},
    {1, "stats['Runtime'] = model.Runtime"},
    {1, "stats['NodeCount'] = model.NodeCount"},
    {1, "stats['IterCount'] = model.IterCount"},
    {1, "results['stats'] = stats"},
    {0, "elif model.status == GRB.INF_OR_UNBD:"},
    {1, "print('Model is infeasible or unbounded')"},
    {1, "results['status'] = 'INF_OR_UNBD'"},
    {0, "elif model.status == GRB.INFEASIBLE:"},
    {1, "print('Model is infeasible')"},
    {1, "results['status'] = 'INFEASIBLE'"},
    {0, "elif model.status == GRB.UNBOUNDED:"},
    {1, "print('Model is unbounded')"},
    {1, "results['status'] = 'UNBOUNDED'"},
    {0, "else:"},
    {1, "print(f'Optimization ended with status {model.status}')"},
    {1, "results['status'] = f'OPTIMIZATION_STATUS_{model.status}'"},
    {0, "results_container['gurobi_output'] = results"},
};

// Emits a fixed block; depths are relative to the indentation in force, which is restored.
template <std::size_t N>
void emit_block(const Gen& g, const ScriptLine (&lines)[N]) {
  int depth = 0;
  for (const ScriptLine& line : lines) {
    if (line.depth != depth) g.indent(line.depth - depth);
    depth = line.depth;
    g.emit(line.text);
  }
  if (depth != 0) g.indent(-depth);
}

Ref init(const Call& c) {
  auto [self, ast, data_dict] = c.bind(Params<3>{"GurobiCodeGenerator.__init__", {"self", "ast", "data_dict"}, 2});
  Gen g(c.module, self);
  g.set(K::ast, ast);
  // A copy, so the data section's in-place rewrites never reach the caller's dictionary.
  Ref data = (data_dict == nullptr || is_none(data_dict)) ? new_dict()
                                                          : call(reinterpret_cast<PyObject*>(&PyDict_Type), data_dict);
  g.set(K::data_dict, data);
  // Values written inline in the model fill only names that the data file does not provide.
  Ref empty = new_list();
  for (Ref& decl : Iterate(get(ast, K::declarations, empty))) {
    if (eq(get(decl, K::type), K::parameter_inline) && !contains(data, get(decl, K::name))) {
      set_item(data, item(decl, K::name), get(decl, K::value));
    }
  }
  g.set(K::gurobi_code_lines, new_list());
  g.set(K::indent_level, py_int(0));
  g.set(K::gurobi_var_map, new_dict());
  g.set(K::add_code_line, g.attr(K::add_code_line_impl));
  g.set(K::active_label_name_expr, Py_None);
  return none();
}

Ref add_code_line_impl(const Call& c) {
  auto [self, line] = c.bind(Params<2>{"GurobiCodeGenerator._add_code_line_impl", {"self", "line"}, 2});
  Gen g(c.module, self);
  Ref unit = py_str("    ");
  Ref indentation = check(PyNumber_Multiply(unit.get(), g.attr(K::indent_level).get()));
  append(g.attr(K::gurobi_code_lines), check(PyNumber_Add(indentation.get(), line)));
  return none();
}

Ref write_script(const Gen& g) {
  PyObject* self = g.self();
  emit_block(g, kPreamble);
  call_method(self, K::generate_data_declarations, g.attr(K::data_dict));
  g.emit("model = gp.Model('OPLModel')");
  g.emit("");
  call_method(self, K::generate_declarations, item(g.attr(K::ast), K::declarations));
  // Bounds are collected before the objective and the constraints are written, so that the
  // big-M values of their linearisations (comparisons used as numbers in the objective too) can
  // use them.
  Ref no_constraints = new_list();
  call_method(self, K::collect_variable_bounds, get(g.attr(K::ast), K::constraints, no_constraints));
  call_method(self, K::generate_objective, item(g.attr(K::ast), K::objective));
  call_method(self, K::generate_constraints, item(g.attr(K::ast), K::constraints));
  emit_block(g, kEpilogue);
  Ref newline = py_str("\n");
  Ref script = check(PyUnicode_Join(newline.get(), g.attr(K::gurobi_code_lines).get()));
  return rewrite_boolean_words(script);
}

Ref generate_code(const Call& c) {
  auto [self] = c.bind(Params<1>{"GurobiCodeGenerator.generate_code", {"self"}, 1});
  Gen g(c.module, self);
  // The script is written from checked private copies; the caller's tree is back in place after.
  Ref callers_tree = g.attr(K::ast);
  Ref tree = validated_model(g, callers_tree);
  g.set(K::data_dict, validated_data(g, g.attr(K::data_dict)));
  // inf and nan would reach the script as bare words: refused before anything is written.
  if (auto found = find_non_finite(tree, g.attr(K::data_dict))) {
    if (found->lineno > 0) g.semantic_error(found->message, py_int(found->lineno));
    g.semantic_error(found->message);
  }
  return with_attr_restored(g, K::ast, callers_tree, [&] {
    g.set(K::ast, tree);
    return write_script(g);
  });
}

Ref generate_objective(const Call& c) {
  auto [self, objective] = c.bind(Params<2>{"GurobiCodeGenerator._generate_objective", {"self", "objective"}, 2});
  Gen g(c.module, self);
  const char* sense = eq(item(objective, K::type), K::maximize) ? "GRB.MAXIMIZE" : "GRB.MINIMIZE";
  record_linear_uses(g, item(objective, K::expression), eq(item(objective, K::type), K::maximize) ? -1 : 1);
  // The objective sits at the top level of the script: no loop iterators are visible.
  Ref expression = g.traverse(item(objective, K::expression), new_dict());
  g.emit("model.setObjective(" + text(expression) + ", " + sense + ")");
  g.emit("");
  return none();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("__init__", init, nullptr),
    KV_FUNCTION("_add_code_line_impl", add_code_line_impl, nullptr),
    KV_FUNCTION("generate_code", generate_code, "Generate the whole gurobipy script and return its text."),
    KV_FUNCTION("_generate_objective", generate_objective, nullptr),
};

}  // namespace

std::span<PyMethodDef> frame_methods{kMethods};

}  // namespace mipwright
