// Argument binding for functions called with the vectorcall convention (METH_FASTCALL |
// METH_KEYWORDS), with the rules and the error texts of a function written in Python: every
// parameter may be passed by position or by keyword unless it is keyword-only.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "error.hpp"

namespace kv {

// The parameter list of a function. `names` lists every parameter in order (`self` included for
// methods); the first `positional` may be given by position, the rest only by keyword; the first
// `required` must be given.
template <std::size_t N>
struct Params {
  const char* function;  // qualified name used in error texts, e.g. "C.f"
  std::array<const char*, N> names;
  std::size_t required;
  std::size_t positional = N;
};

// One call as the interpreter made it.
struct Call {
  PyObject* module;  // the function's m_self: the module that defines it
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;

  Py_ssize_t nkw() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }

  // Binds the arguments to the parameters; a parameter left out is nullptr. The pointers are
  // borrowed from the call and stay valid until it returns.
  template <std::size_t N>
  std::array<PyObject*, N> bind(const Params<N>& p) const;
};

namespace detail {

inline std::string quoted_list(const std::string* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

[[noreturn]] inline void too_many(const char* fn, std::size_t min, std::size_t max, Py_ssize_t given) {
  std::string takes = (min == max) ? std::to_string(max) : "from " + std::to_string(min) + " to " + std::to_string(max);
  std::string noun = (min == max && max == 1) ? " positional argument" : " positional arguments";
  std::string were = given == 1 ? " was given" : " were given";
  raise(PyExc_TypeError, std::string(fn) + "() takes " + takes + noun + " but " + std::to_string(given) + were);
}

}  // namespace detail

template <std::size_t N>
std::array<PyObject*, N> Call::bind(const Params<N>& p) const {
  std::array<PyObject*, N> out{};
  if (nargs > static_cast<Py_ssize_t>(p.positional)) detail::too_many(p.function, p.required, p.positional, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw(); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = N;
    for (std::size_t j = 0; j < N; ++j) {
      if (PyUnicode_CompareWithASCIIString(key, p.names[j]) == 0) {
        slot = j;
        break;
      }
    }
    if (slot == N) {
      const char* name = PyUnicode_AsUTF8(key);
      if (name == nullptr) throw PyErrorSet{};
      raise(PyExc_TypeError, std::string(p.function) + "() got an unexpected keyword argument '" + name + "'");
    }
    if (out[slot] != nullptr) {
      raise(PyExc_TypeError, std::string(p.function) + "() got multiple values for argument '" + p.names[slot] + "'");
    }
    out[slot] = args[nargs + k];
  }
  std::string missing[N];
  std::size_t n_missing = 0;
  for (std::size_t j = 0; j < p.required; ++j) {
    if (out[j] == nullptr) missing[n_missing++] = p.names[j];
  }
  if (n_missing > 0) {
    raise(PyExc_TypeError, std::string(p.function) + "() missing " + std::to_string(n_missing) +
                               " required positional argument" + (n_missing == 1 ? "" : "s") + ": " +
                               detail::quoted_list(missing, n_missing));
  }
  return out;
}

}  // namespace kv
