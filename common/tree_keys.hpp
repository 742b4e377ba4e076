// The vocabulary of the model tree and the data dictionary: the keys and the values of `type`
// that the parser writes and the generators read, spelled once so that both sides name the same
// things. Each extension module interns its own copies.
#pragma once

#include "keys.hpp"

namespace kv::tree {

// Keys of the root record and of declarations
inline Key declarations{"declarations"};
inline Key objective{"objective"};
inline Key constraints{"constraints"};
inline Key type{"type"};
inline Key name{"name"};
inline Key value{"value"};
inline Key lineno{"lineno"};
inline Key dimensions{"dimensions"};
inline Key var_type{"var_type"};
inline Key value_type{"value_type"};
inline Key element_type{"element_type"};
inline Key tuple_type{"tuple_type"};
inline Key index_set{"index_set"};
inline Key fields{"fields"};
inline Key start{"start"};
inline Key end{"end"};

// Keys of constraints, iterators and expressions
inline Key op{"op"};
inline Key left{"left"};
inline Key right{"right"};
inline Key expression{"expression"};
inline Key iterators{"iterators"};
inline Key iterator{"iterator"};
inline Key range{"range"};
inline Key index_constraint{"index_constraint"};
inline Key constraint{"constraint"};
inline Key label{"label"};
inline Key label_template{"label_template"};
inline Key antecedent{"antecedent"};
inline Key consequent{"consequent"};
inline Key condition{"condition"};
inline Key then{"then"};
inline Key else_{"else"};
inline Key args{"args"};
inline Key base{"base"};
inline Key field{"field"};
inline Key elements{"elements"};
inline Key sem_type{"sem_type"};

// Declaration types
inline Key parameter_external{"parameter_external"};
inline Key parameter_external_indexed{"parameter_external_indexed"};
inline Key parameter_external_explicit{"parameter_external_explicit"};
inline Key parameter_external_explicit_indexed{"parameter_external_explicit_indexed"};
inline Key parameter_inline{"parameter_inline"};
inline Key parameter_inline_indexed{"parameter_inline_indexed"};
inline Key range_declaration_inline{"range_declaration_inline"};
inline Key range_declaration_external{"range_declaration_external"};
inline Key typed_set{"typed_set"};
inline Key typed_set_external{"typed_set_external"};
inline Key set_of_tuples{"set_of_tuples"};
inline Key set_of_tuples_external{"set_of_tuples_external"};
inline Key tuple_array_external{"tuple_array_external"};
inline Key dvar{"dvar"};
inline Key dvar_indexed{"dvar_indexed"};
inline Key dexpr{"dexpr"};
inline Key dexpr_indexed{"dexpr_indexed"};

// Dimension and range node types
inline Key range_index{"range_index"};
inline Key named_range_dimension{"named_range_dimension"};
inline Key named_set_dimension{"named_set_dimension"};
inline Key range_specifier{"range_specifier"};
inline Key named_range{"named_range"};
inline Key named_set{"named_set"};

// Constraint node types
inline Key forall_constraint{"forall_constraint"};
inline Key implication_constraint{"implication_constraint"};

// Logical constraints and piecewise-linear functions: a condition that must hold (`condition`,
// whose tree may also hold `equivalent` nodes with `left` and `right`), and a function given by
// its slopes, the breakpoints between them and one point it passes through, applied to
// `argument`.
inline Key logical_constraint{"logical_constraint"};
inline Key equivalent{"equivalent"};
inline Key piecewise{"piecewise"};
inline Key slopes{"slopes"};
inline Key breakpoints{"breakpoints"};
inline Key anchor{"anchor"};
inline Key argument{"argument"};
inline Key pieces{"pieces"};
inline Key slope{"slope"};
inline Key breakpoint{"breakpoint"};

// Expression and index node types
inline Key number{"number"};
inline Key indexed_name{"indexed_name"};
inline Key binop{"binop"};
inline Key uminus{"uminus"};
inline Key not_{"not"};
inline Key and_{"and"};
inline Key or_{"or"};
inline Key conditional{"conditional"};
inline Key funcall{"funcall"};
inline Key minl{"minl"};
inline Key maxl{"maxl"};
inline Key min_agg{"min_agg"};
inline Key max_agg{"max_agg"};
inline Key sum{"sum"};
inline Key field_access{"field_access"};
inline Key parenthesized_expression{"parenthesized_expression"};
inline Key boolean_literal{"boolean_literal"};
inline Key string_literal{"string_literal"};
inline Key tuple_literal{"tuple_literal"};
inline Key number_literal_index{"number_literal_index"};
inline Key name_reference_index{"name_reference_index"};
inline Key field_access_index{"field_access_index"};

// Objective senses and semantic types
inline Key maximize{"maximize"};
inline Key minimize{"minimize"};
inline Key boolean{"boolean"};

// Data dictionary
inline Key range_data{"range_data"};

}  // namespace kv::tree
