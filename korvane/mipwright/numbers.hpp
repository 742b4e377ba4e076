// Arithmetic on Python numbers with Python's own results and errors, so that an int stays an int
// and a float is written back exactly as Python writes it.
#pragma once

#include "generator.hpp"

namespace mipwright {

inline Ref num_add(Handle a, Handle b) {
  return check(PyNumber_Add(a, b));
}
inline Ref num_sub(Handle a, Handle b) {
  return check(PyNumber_Subtract(a, b));
}
inline Ref num_mul(Handle a, Handle b) {
  return check(PyNumber_Multiply(a, b));
}
inline Ref num_abs(Handle a) {
  return check(PyNumber_Absolute(a));
}
inline bool num_lt(Handle a, Handle b) {
  return check_status(PyObject_RichCompareBool(a, b, Py_LT)) == 1;
}
inline bool num_gt(Handle a, Handle b) {
  return check_status(PyObject_RichCompareBool(a, b, Py_GT)) == 1;
}
// max(a, b): the first of two equal values wins, as in Python.
inline Ref num_max(Handle a, Handle b) {
  return Ref::borrow(num_gt(b, a) ? b.get() : a.get());
}
// min(a, b)
inline Ref num_min(Handle a, Handle b) {
  return Ref::borrow(num_lt(b, a) ? b.get() : a.get());
}
// float(o)
inline Ref to_float(Handle o) {
  return check(PyNumber_Float(o));
}
// int(o)
inline Ref to_int(Handle o) {
  return check(PyNumber_Long(o));
}

}  // namespace mipwright
