// The generator's boundary: what a caller hands over is checked and copied before any of it
// becomes script text.
#pragma once

#include "generator.hpp"

namespace mipwright {

// A private copy of the model tree made of exact built-in types, after checking every value
// that the script takes as code: number values, names and iterators, operators. A model name
// that Python or the script itself reserves, and a forall iterator that hides a declared name
// or an enclosing iterator, raise SemanticError; a malformed tree raises ValueError naming the
// node. Long chains of additions and subtractions come back regrouped as balanced trees, so
// that their translation stays within the interpreter's recursion and parenthesis limits.
Ref validated_model(const Gen& g, Handle ast);

// A private copy of the data dictionary made of exact built-in types; its names must be
// identifiers the script can assign, and its numbers finite.
Ref validated_data(const Gen& g, Handle data);

}  // namespace mipwright
