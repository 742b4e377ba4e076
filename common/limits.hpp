// Size limits that callers may set (a generator's term_limit, the parser's EXPANSION_LIMIT): a
// positive int, checked where it is read.
#pragma once

#include <cstddef>
#include <string>

#include "access.hpp"

namespace kv {

inline std::size_t positive_limit(Handle value, const std::string& name) {
  long long n = is_int(value) && !is_bool(value) ? PyLong_AsLongLong(value.get()) : -1;
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();
  if (n <= 0) raise(PyExc_ValueError, name + " must be a positive int below 2**63, not " + repr_text(value));
  return static_cast<std::size_t>(n);
}

}  // namespace kv
