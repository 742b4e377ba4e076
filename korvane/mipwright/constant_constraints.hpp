// Comparison constraints without decision variables.
#pragma once

#include "generator.hpp"

namespace mipwright {

// Settles a comparison constraint that mentions no decision variable and returns true; returns
// false, writing nothing, for any other node.
bool settle_constant_constraint(const Gen& g, Handle node, Handle prefix, Handle iterators);

}  // namespace mipwright
