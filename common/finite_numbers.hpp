// The first number that is not finite in a model tree or a data dictionary.
//
// inf and nan have no place in a model: written into a script they are bare words, compared in a
// range they end loops early, and handed to a solver they make its answer meaningless. Generators
// look for them where they take trees and data from their caller, before anything is written.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>

#include "access.hpp"
#include "recursion.hpp"

namespace kv {

namespace detail {

struct NonFinite {
  double value;
  long lineno;  // of the innermost tree node that states a line; 0 when none does
};

// `checked`: the containers held more than once that were met already. Each is searched once, so
// a list that holds the same list twice, sixty levels deep, is 60 lists to search, not 2**60.
inline std::optional<NonFinite> find_non_finite(Handle node, long lineno, std::unordered_set<PyObject*>& checked) {
  PyObject* o = node.get();
  if (PyFloat_Check(o)) {
    double v = PyFloat_AS_DOUBLE(o);
    if (!std::isfinite(v)) return NonFinite{v, lineno};
    return std::nullopt;
  }
  bool dict = PyDict_Check(o);
  if (!dict && !PyList_Check(o) && !PyTuple_Check(o)) return std::nullopt;
  if (Py_REFCNT(o) > 1 && !checked.insert(o).second) return std::nullopt;
  RecursionGuard guard(" while checking numbers");
  if (dict) {
    if (PyObject* line = PyDict_GetItemString(o, "lineno"); line != nullptr && PyLong_CheckExact(line)) {
      lineno = PyLong_AsLong(line);
      if (lineno == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(o, &pos, &key, &value)) {
      for (PyObject* part : {key, value}) {
        if (auto found = find_non_finite(part, lineno, checked)) return found;
      }
    }
    return std::nullopt;
  }
  Ref items = check(PySequence_Fast(o, "a sequence"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    if (auto found = find_non_finite(PySequence_Fast_GET_ITEM(items.get(), i), lineno, checked)) return found;
  }
  return std::nullopt;
}

inline std::string message(double value, const std::string& where) {
  return "Unsupported number " + float_text(value) + " in " + where + ": only finite numbers are accepted";
}

}  // namespace detail

// The first inf or nan in a model tree (dicts, lists and tuples, keys included) or in the values
// of a data dictionary, as the message and line of the error that refuses it.
struct NonFiniteNumber {
  std::string message;
  long lineno;  // 0 when no node states one
};

inline std::optional<NonFiniteNumber> find_non_finite_in_tree(Handle tree) {
  std::unordered_set<PyObject*> checked;
  if (auto found = detail::find_non_finite(tree, 0, checked)) {
    return NonFiniteNumber{detail::message(found->value, "the model"), found->lineno};
  }
  return std::nullopt;
}

inline std::optional<NonFiniteNumber> find_non_finite_in_data(Handle data) {
  if (!PyDict_Check(data.get())) return std::nullopt;
  std::unordered_set<PyObject*> checked;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(data.get(), &pos, &key, &value)) {
    if (auto found = detail::find_non_finite(value, 0, checked)) {
      return NonFiniteNumber{detail::message(found->value, "data item " + repr_text(key)), 0};
    }
  }
  return std::nullopt;
}

inline std::optional<NonFiniteNumber> find_non_finite(Handle tree, Handle data) {
  if (auto found = find_non_finite_in_tree(tree)) return found;
  return find_non_finite_in_data(data);
}

}  // namespace kv
