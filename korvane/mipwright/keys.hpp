// Interned names used by the generator beyond the tree vocabulary it shares with the parser:
// instance attributes, method names, module globals and the keys of its own records. Grouped by
// the concern that introduced them.
#pragma once

#include "common/tree_keys.hpp"

namespace mipwright::K {

using kv::Key;
using namespace kv::tree;

// Instance attributes
inline Key dict_params{"dict_params"};
inline Key tuple_types{"tuple_types"};
inline Key ast{"ast"};
inline Key data_dict{"data_dict"};
inline Key gurobi_code_lines{"gurobi_code_lines"};
inline Key indent_level{"indent_level"};
inline Key gurobi_var_map{"gurobi_var_map"};
inline Key add_code_line{"_add_code_line"};
inline Key add_code_line_impl{"_add_code_line_impl"};
inline Key active_label_name_expr{"_active_label_name_expr"};

// Methods reached by name
inline Key generate_data_declarations{"_generate_data_declarations"};
inline Key generate_declarations{"_generate_declarations"};
inline Key generate_objective{"_generate_objective"};
inline Key collect_variable_bounds{"_collect_variable_bounds"};
inline Key generate_constraints{"_generate_constraints"};
inline Key traverse_expression{"_traverse_expression"};
inline Key find_declaration_by_name{"_find_declaration_by_name"};
inline Key get_tuple_set{"get_tuple_set"};

// Module globals
inline Key SemanticError{"SemanticError"};
inline Key TupleSetHelper{"TupleSetHelper"};
inline Key logger{"logger"};
inline Key json{"json"};
inline Key EPS{"EPS"};
inline Key EQ_TOL{"EQ_TOL"};

// Expressions
inline Key values{"values"};
inline Key expr_field_access{"_expr_field_access"};
inline Key reify_scoped_comparison{"_reify_scoped_comparison"};

// Declarations
inline Key inline_{"inline"};
inline Key external{"external"};
inline Key emitted_tuple_sets{"_emitted_tuple_sets"};
inline Key set_add{"add"};
inline Key decl_set_of_tuples{"_decl_set_of_tuples"};
inline Key decl_typed_set{"_decl_typed_set"};
inline Key decl_parameter_external{"_decl_parameter_external"};
inline Key decl_parameter_external_explicit{"_decl_parameter_external_explicit"};

// Data section
inline Key set_declaration{"set_declaration"};
inline Key tuple_array{"tuple_array"};
inline Key dumps{"dumps"};
inline Key encoder{"encoder"};
inline Key encode_basestring_ascii{"encode_basestring_ascii"};
inline Key map_suffix{"__map"};
inline Key Stores{"Stores"};
inline Key Capacity{"Capacity"};

// Constraints, loops and labels
inline Key active_iterator_ranges{"_active_iterator_ranges"};
inline Key materialized_loop_depth{"_materialized_loop_depth"};
inline Key open_loop_frames{"_open_loop_frames"};
inline Key loop_frame_counter{"_loop_frame_counter"};
inline Key generate_single_constraint{"_generate_single_constraint"};
inline Key extract_forall_loops{"_extract_forall_loops"};
inline Key forall_range_expr{"_forall_range_expr"};
inline Key construct_loop_header{"_construct_loop_header"};
inline Key emit_forall_inner_constraints{"_emit_forall_inner_constraints"};
inline Key emit_index_condition{"_emit_index_condition"};
inline Key format_name_expr{"_format_name_expr"};
inline Key compute_label_expr{"_compute_label_expr"};
inline Key expr_indexed_name{"_expr_indexed_name"};
inline Key emit_range_from_declaration{"_emit_range_from_declaration"};
inline Key emit_set_name_if_declared{"_emit_set_name_if_declared"};

// Bounds
inline Key collected_lbs{"_collected_lbs"};
inline Key collected_ubs{"_collected_ubs"};
inline Key lbs_for_every_element{"_lbs_for_every_element"};
inline Key ubs_for_every_element{"_ubs_for_every_element"};
inline Key var_bounds_safe{"_var_bounds_safe"};
inline Key linear_bounds_safe{"_linear_bounds_safe"};

// Sums and comparison counting
inline Key comparison_sum_meta{"_comparison_sum_meta"};
inline Key comparison_sum_key_map{"_comparison_sum_key_map"};
inline Key sum_cmp_counter{"_sum_cmp_counter"};
inline Key comparison_expr_counter{"_comparison_expr_counter"};
inline Key list_name{"list_name"};
inline Key len_var{"len_var"};
inline Key len_name{"len_name"};
inline Key scope_vars{"scope_vars"};
inline Key open_loops{"open_loops"};
inline Key items{"items"};
inline Key comparison_sum_accessors{"_comparison_sum_accessors"};
inline Key format_scope_key_expr{"_format_scope_key_expr"};
inline Key active_scope_iterators{"_active_scope_iterators"};
inline Key emit_reify_comparison{"_emit_reify_comparison"};
inline Key expr_depends_on_decision_var{"_expr_depends_on_decision_var"};

// Logical constraints
inline Key bool_aux_counter{"_bool_aux_counter"};

// abs, max and min over decision variables
inline Key linear_uses{"_linear_uses"};
inline Key linear_aux_counter{"_linear_aux_counter"};

}  // namespace mipwright::K
