// korvane.mipwright: compiles a model tree and its data into the text of a gurobipy script.
#include "generator.hpp"

namespace mipwright {
namespace {

// GurobiCodeGenerator's methods in the order the class defines them. A method whose concern is
// not built into this module yet is simply absent from the class.
constexpr const char* kGeneratorMethodOrder[] = {
    "_expr_conditional",
    "__init__",
    "_add_code_line_impl",
    "generate_code",
    "_collect_variable_bounds",
    "_generate_data_declarations",
    "_generate_declarations",
    "_format_name_expr",
    "_compute_label_expr",
    "_generate_objective",
    "_generate_constraints",
    "_generate_single_constraint",
    "_var_bounds_safe",
    "_linear_bounds_safe",
    "_constraint_implication_constraint",
    "_constraint_logical_constraint",
    "_decl_tuple_type",
    "_decl_set_of_tuples",
    "_decl_dvar",
    "_decl_dvar_indexed",
    "_decl_range_declaration_inline",
    "_decl_range_declaration_external",
    "_decl_set_declaration",
    "_decl_typed_set",
    "_decl_parameter_inline",
    "_decl_parameter_inline_indexed",
    "_decl_parameter_external",
    "_decl_parameter_external_indexed",
    "_decl_parameter_external_explicit",
    "_decl_parameter_external_explicit_indexed",
    "_constraint_constraint",
    "_emit_index_condition",
    "_constraint_forall_constraint",
    "_extract_forall_loops",
    "_forall_range_expr",
    "_emit_forall_inner_constraints",
    "_traverse_expression",
    "_expr_funcall",
    "_expr_minl",
    "_expr_maxl",
    "_expr_max_agg",
    "_expr_min_agg",
    "_expr_piecewise",
    "_expr_number",
    "_expr_name",
    "_expr_indexed_name",
    "_expr_binop",
    "_expr_uminus",
    "_expr_not",
    "_expr_and",
    "_expr_or",
    "_comparison_sum_accessors",
    "_format_scope_key_expr",
    "_active_scope_iterators",
    "_comparison_expr_accessor",
    "_reify_scoped_comparison",
    "_expr_sum",
    "_emit_reify_comparison",
    "_expr_field_access",
    "_expr_boolean_literal",
    "_expr_string_literal",
    "_expr_parenthesized_expression",
    "_is_data_array",
    "_find_declaration_by_name",
    "_expr_depends_on_decision_var",
    "_emit_range_from_declaration",
    "_emit_set_name_if_declared",
    "_construct_loop_header",
};

constexpr const char* kTupleSetHelperOrder[] = {"get_tuple_set"};

void exec_mipwright(PyObject* module) {
  add(module, "json", import("json"));
  Ref logging = import("logging");
  add(module, "logging", logging);
  add(module, "re", import("re"));
  add(module, "SemanticError", attr(import_sibling(module, "faultlore"), "SemanticError"));
  add(module, "logger", call_method(logging, py_str("getLogger"), attr(module, "__name__")));
  add(module, "EPS", py_float(1e-5));     // margin that makes strict comparisons strict
  add(module, "EQ_TOL", py_float(1e-6));  // tolerance of equalities
  Ref object_base = tuple_of(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  Ref helper_ns = method_namespace(module, kTupleSetHelperOrder, {tuple_set_helper_methods}, Bind::Static);
  add(module, "TupleSetHelper", make_class(module, "TupleSetHelper", object_base, helper_ns, nullptr));
  Ref generator_ns = method_namespace(
      module, kGeneratorMethodOrder,
      {frame_methods, tree_methods, expression_methods, subscript_methods, declaration_methods, data_section_methods,
       constraint_methods, forall_methods, bounds_methods, sum_methods, comparison_methods, implication_methods, function_methods,
       construct_methods});
  add(module, "GurobiCodeGenerator",
      make_class(module, "GurobiCodeGenerator", object_base, generator_ns,
                 "Translate a model tree and its data dictionary into a gurobipy script."));
}

}  // namespace
}  // namespace mipwright

KV_MODULE(mipwright, mipwright::exec_mipwright, "Gurobi script generator for korvane model trees.")
