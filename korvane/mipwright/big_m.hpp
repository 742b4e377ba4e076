// Big-M values of the linearisations that switch a comparison on and off with a binary: reified
// comparisons in sums and the logical constraints.
#pragma once

#include <optional>

#include "numbers.hpp"

namespace mipwright {

// Used when the bounds of a comparison's sides are not all known.
inline constexpr double kDefaultBigM = 1e6;
// A difference whose sides are one and the same point still gets an M above zero.
inline constexpr double kBigMFloor = 1e-9;

// The largest magnitude left - right can take, or nothing when a bound is missing.
inline std::optional<Ref> difference_span(const Gen& g, Handle left_node, Handle right_node) {
  Ref left = call_method(g.self(), K::linear_bounds_safe, left_node);
  Ref right = call_method(g.self(), K::linear_bounds_safe, right_node);
  if (is_none(left) || is_none(right)) return std::nullopt;
  Ref ll = item(left, 0), lh = item(left, 1), rl = item(right, 0), rh = item(right, 1);
  if (is_none(ll) || is_none(lh) || is_none(rl) || is_none(rh)) return std::nullopt;
  Ref floor = py_float(kBigMFloor);
  return num_max(num_max(num_abs(num_sub(ll, rh)), num_abs(num_sub(lh, rl))), floor);
}

// The M texts written into the lines of one comparison. M is the span of left - right, so a line
// whose relaxing term only has to absorb that span is redundant when switched off. A line that
// also carries a margin against its relaxing term (EPS making a comparison strict) needs M plus
// that margin, or it would cut off the extreme values of the difference. Without a span both
// are the default M.
class BigM {
 public:
  explicit BigM(std::optional<Ref> span) : span_(std::move(span)) {}

  static BigM of_difference(const Gen& g, Handle left_node, Handle right_node) {
    return BigM(difference_span(g, left_node, right_node));
  }

  std::string plain() const { return span_ ? text(*span_) : float_text(kDefaultBigM); }
  std::string with_margin(Handle margin) const { return span_ ? text(num_add(*span_, margin)) : plain(); }

 private:
  std::optional<Ref> span_;
};

}  // namespace mipwright
