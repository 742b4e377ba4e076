// What sums and comparison constraints both need to know about counting true comparisons: the
// shapes of comparison nodes, and the records of the lists of comparison binaries already built.
#pragma once

#include "loops.hpp"

namespace mipwright {

// The node inside any number of parentheses.
inline Ref without_parentheses(Handle node) {
  if (!is_dict(node) || !str_is(get(node, K::type), "parenthesized_expression")) return Ref::borrow(node);
  RecursionGuard guard(" while reading a parenthesized expression");
  return without_parentheses(get(node, K::expression));
}

// A comparison whose truth can be counted or used as a 0/1 number ("!=" has no such form).
inline bool is_counted_comparison(Handle node) {
  return is_dict(node) && str_in(get(node, K::type), {"binop", "constraint"}) &&
         str_in(get(node, K::op), {">=", ">", "<=", "<", "=="});
}

// True when the list recorded in `meta` may be read at the line being written: it was built (a
// scoped list is keyed by iterators that are bound here), and every loop that was open where it
// was built is still open, so it is not a list left behind by another loop or another pass.
inline bool list_readable_here(const Gen& g, Handle meta, Handle current_iterators) {
  if (!is_dict(meta) || !truthy(get(meta, K::list_name))) return false;
  Ref scope = get(meta, K::scope_vars);
  if (truthy(scope)) {
    for (Ref& var : Iterate(scope)) {
      if (!contains(current_iterators, var)) return false;
    }
  }
  Ref built_inside = get(meta, K::open_loops);
  return is_none(built_inside) || loops_still_open(g, built_inside);
}

// gp.quicksum over the list of comparison binaries recorded in `meta`.
inline std::string quicksum_of(const Gen& g, Handle meta, Handle current_iterators) {
  Ref accessors = call_method(g.self(), K::comparison_sum_accessors, meta, current_iterators);
  return "gp.quicksum(" + text(item(accessors, 0)) + ")";
}

}  // namespace mipwright
