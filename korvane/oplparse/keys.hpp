// Interned names of the parser beyond the tree vocabulary it shares with the generators: type
// values under names of their own where the shared name reads as a key, and module globals.
#pragma once

#include "common/tree_keys.hpp"

namespace oplparse::K {

using kv::Key;
using namespace kv::tree;

// Declaration, constraint and expression node types
inline Key tuple_type_decl{"tuple_type"};
inline Key constraint_node{"constraint"};
inline Key name_node{"name"};

// Nodes of the syntax tree that instantiation replaces: initialised parameters and asserts
inline Key parameter_computed{"parameter_computed"};
inline Key parameter_computed_indexed{"parameter_computed_indexed"};
inline Key assert_statement{"assert"};
inline Key text_{"text"};
inline Key prod{"prod"};
inline Key if_constraint{"if_constraint"};
inline Key set_computed{"set_computed"};
inline Key set_comprehension{"set_comprehension"};
inline Key set_literal{"set_literal"};
inline Key set_operation{"set_operation"};
inline Key set_array{"set_array"};
inline Key members{"members"};
inline Key tuple_set_field{"tuple_set_field"};
inline Key owner_type{"owner_type"};
inline Key position{"position"};
inline Key earlier_positions{"earlier_positions"};
inline Key with_check{"with_check"};
// Post-processing: declarations computed from the solution, set aside until the solve
inline Key reads_solution{"reads_solution"};
inline Key post_declarations{"post_declarations"};
inline Key script_block{"script_block"};

// Module globals and attributes
inline Key SemanticError{"SemanticError"};
inline Key filename{"filename"};
inline Key EXPANSION_LIMIT{"EXPANSION_LIMIT"};
inline Key col{"col"};

}  // namespace oplparse::K
