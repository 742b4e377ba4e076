// The step of a grid of numbers: the least D for which every value is a multiple of 1/D. Values
// on such a grid that differ differ by 1/D at least, which the linearisations of strict
// comparisons and "not equal" use as their margin.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

namespace kv {

// Steps finer than 1/kMaxStep are not worth knowing: the margin would be close to EPS anyway.
inline constexpr long long kMaxStep = 1024;

// The least D <= kMaxStep with v * D whole.
inline std::optional<long long> step_of(double v) {
  if (!std::isfinite(v)) return std::nullopt;
  for (long long d = 1; d <= kMaxStep; ++d) {
    double scaled = v * static_cast<double>(d);
    if (std::fabs(scaled - std::round(scaled)) <= 1e-9 * std::max(1.0, std::fabs(scaled))) return d;
  }
  return std::nullopt;
}

// The step of sums (or, with `product`, products) of values on grids of steps a and b.
inline std::optional<long long> combined_step(std::optional<long long> a, std::optional<long long> b,
                                              bool product = false) {
  if (!a || !b) return std::nullopt;
  long long d = product ? *a * *b : std::lcm(*a, *b);
  if (d > kMaxStep) return std::nullopt;
  return d;
}

}  // namespace kv
