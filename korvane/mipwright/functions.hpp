// abs, maxl/minl and max/min over decision variables (functions.cpp), and the test for decision
// variables in an expression that decides when they are linearised (expressions.cpp).
#pragma once

#include <functional>

#include "generator.hpp"
#include "korvane/linearcore/constructs.hpp"

namespace mipwright {

// True when the expression mentions a decision variable.
bool depends_on_decision_var(const Gen& g, Handle node);

// An abs, maxl/minl or max/min node over decision variables: one that functions.cpp encodes.
inline bool is_linearised_function(const Gen& g, Handle node) {
  bool function = (has_type(node, {"funcall"}) && str_is(get(node, K::name), "abs") && is_list(get(node, K::args))) ||
                  (has_type(node, {"maxl", "minl"}) && is_list(get(node, K::args))) ||
                  has_type(node, {"max_agg", "min_agg"});
  return function && depends_on_decision_var(g, node);
}

// Records which abs, max and min nodes inside `node` only need to be small (sign > 0) or large
// (sign < 0) where they stand, so that they are encoded without general constraints.
void record_linear_uses(const Gen& g, Handle node, int sign);

// True when some of `operands` (a list of nodes) mentions a decision variable outside symbolic
// translation: the call must then be linearised.
bool over_decision_variables(const ExprArgs& a, Handle operands);

// Plans over the handles of `operands` (numbers fold into constants) and writes the plan's lines
// where its auxiliaries live; returns the text that stands for the planner's result. The
// planner gets the operands as expressions and the use recorded for the node.
using OperandPlanner =
    std::function<linearcore::LinExpr(linearcore::Plan&, const std::vector<linearcore::LinExpr>&, linearcore::Use)>;
Ref linearise_planned(const ExprArgs& a, const std::vector<Ref>& operands, const OperandPlanner& planner);

// The text that stands for binary * other, a boolean decision variable times an expression
// (constructs.cpp).
Ref linearise_product(const ExprArgs& a, Handle binary, Handle other);

// The text that stands for abs(operand) ("abs"), maxl(operands) ("max") or minl(operands)
// ("min"), after the lines that define it.
Ref linearise_function(const ExprArgs& a, Handle operands, const char* function);

}  // namespace mipwright
