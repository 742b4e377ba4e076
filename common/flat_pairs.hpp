// The .dat form of an indexed parameter given as key/value pairs: ["a", 1, "b", 2.5], a name then
// its number, read as {"a": 1, "b": 2.5}. Both the data checks and the SciPy target's data
// loading must agree on what counts as this form.
#pragma once

#include "access.hpp"

namespace kv {

inline bool is_flat_pairs(Handle value) {
  if (!is_list(value)) return false;
  Py_ssize_t n = PyList_GET_SIZE(value.get());
  if (n == 0 || n % 2 != 0) return false;
  for (Py_ssize_t i = 0; i < n; i += 2) {
    if (!is_str(PyList_GET_ITEM(value.get(), i)) || !is_number(PyList_GET_ITEM(value.get(), i + 1))) return false;
  }
  return true;
}

}  // namespace kv
