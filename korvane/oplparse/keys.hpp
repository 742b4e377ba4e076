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

// Module globals and attributes
inline Key SemanticError{"SemanticError"};
inline Key filename{"filename"};
inline Key EXPANSION_LIMIT{"EXPANSION_LIMIT"};
inline Key col{"col"};

}  // namespace oplparse::K
