// Big-M values of the linearisations that switch a comparison on and off with a binary: reified
// comparisons in sums, the logical constraints and "not equal". Also the lines that tie a binary
// to an equality, which sums and logical constraints write alike.
#pragma once

#include <optional>
#include <string>

#include "numbers.hpp"

namespace mipwright {

// Used when the bounds of a comparison's sides are not all known.
inline constexpr double kDefaultBigM = 1e6;
// A difference whose sides are one and the same point still gets an M above zero.
inline constexpr double kBigMFloor = 1e-9;

// The bounds of both sides of a comparison, each side's (low, high).
struct SideBounds {
  Ref left_low, left_high, right_low, right_high;
};

// Nothing when either side has no bounds or misses one.
inline std::optional<SideBounds> side_bounds(const Gen& g, Handle left_node, Handle right_node) {
  Ref left = call_method(g.self(), K::linear_bounds_safe, left_node);
  Ref right = call_method(g.self(), K::linear_bounds_safe, right_node);
  if (is_none(left) || is_none(right)) return std::nullopt;
  SideBounds b{item(left, 0), item(left, 1), item(right, 0), item(right, 1)};
  if (is_none(b.left_low) || is_none(b.left_high) || is_none(b.right_low) || is_none(b.right_high)) return std::nullopt;
  return b;
}

// The largest magnitude left - right can take, or nothing when a bound is missing.
inline std::optional<Ref> difference_span(const Gen& g, Handle left_node, Handle right_node) {
  std::optional<SideBounds> b = side_bounds(g, left_node, right_node);
  if (!b) return std::nullopt;
  Ref floor = py_float(kBigMFloor);
  return num_max(num_max(num_abs(num_sub(b->left_low, b->right_high)), num_abs(num_sub(b->left_high, b->right_low))),
                 floor);
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

// The lines that make a binary b equal to the truth of left == right, handed to `write` as
// (body, number) with the numbers 1 to 6 that their constraint names carry. `diff` is the text of
// left - right, `reverse` that of right - left.
//
// Lines 1-4 hold the difference within `tol` of zero while b is 1; `off` (M * (1 - b)) relaxes
// them while b is 0.
template <class Write>
void equality_tolerance_lines(const std::string& diff, const std::string& reverse, const std::string& tol,
                              const std::string& off, Write&& write) {
  write(diff + " <= " + tol + " + " + off, 1);
  write(reverse + " <= " + tol + " + " + off, 2);
  write(diff + " >= -" + tol + " - " + off, 3);
  write(reverse + " >= -" + tol + " - " + off, 4);
}

// Lines 5-6 keep the difference at least `eps` away from zero while b is 0, on the side that the
// binary `side` chooses (1: left above right); `m` is their M, margin included.
template <class Write>
void equality_separation_lines(const std::string& diff, const std::string& reverse, const std::string& eps,
                               const std::string& m, const std::string& b, const std::string& side, Write&& write) {
  write(diff + " >= " + eps + " - " + m + " * (" + b + " + 1 - " + side + ")", 5);
  write(reverse + " >= " + eps + " - " + m + " * (" + b + " + " + side + ")", 6);
}

}  // namespace mipwright
