// abs, maxl/minl and max/min over decision variables (functions.cpp), and the test for decision
// variables in an expression that decides when they are linearised (expressions.cpp).
#pragma once

#include "generator.hpp"

namespace mipwright {

// True when the expression mentions a decision variable.
bool depends_on_decision_var(const Gen& g, Handle node);

// Records which abs, max and min nodes inside `node` only need to be small (sign > 0) or large
// (sign < 0) where they stand, so that they are encoded without general constraints.
void record_linear_uses(const Gen& g, Handle node, int sign);

// True when some of `operands` (a list of nodes) mentions a decision variable outside symbolic
// translation: the call must then be linearised.
bool over_decision_variables(const ExprArgs& a, Handle operands);

// The text that stands for abs(operand) ("abs"), maxl(operands) ("max") or minl(operands)
// ("min"), after the lines that define it.
Ref linearise_function(const ExprArgs& a, Handle operands, const char* function);

}  // namespace mipwright
