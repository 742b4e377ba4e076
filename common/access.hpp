// Python-faithful access to objects: each helper does what the Python expression in its comment
// does, with the same exceptions, so code written against these reads like the Python it mirrors.
// Exact dicts and lists take the C API's fast paths; everything else goes through the generic
// protocols, so subclasses and other mappings behave as they would in Python.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "keys.hpp"

namespace kv {

// ---- type tests (isinstance semantics; bool is an int, as in Python) ----

inline bool is_dict(Handle o) {
  return PyDict_Check(o.get());
}
inline bool is_list(Handle o) {
  return PyList_Check(o.get());
}
inline bool is_tuple(Handle o) {
  return PyTuple_Check(o.get());
}
inline bool is_sequence(Handle o) {
  return is_list(o) || is_tuple(o);
}  // isinstance(o, (list, tuple))
inline bool is_str(Handle o) {
  return PyUnicode_Check(o.get());
}
inline bool is_int(Handle o) {
  return PyLong_Check(o.get());
}
inline bool is_bool(Handle o) {
  return PyBool_Check(o.get());
}
inline bool is_float(Handle o) {
  return PyFloat_Check(o.get());
}
inline bool is_number(Handle o) {
  return is_int(o) || is_float(o);
}  // isinstance(o, (int, float))
inline bool is_none(Handle o) {
  return o.get() == Py_None;
}

// ---- conversions ----

inline Ref none() {
  return Ref::borrow(Py_None);
}
inline Ref py_bool(bool b) {
  return Ref::borrow(b ? Py_True : Py_False);
}
inline Ref py_int(long long v) {
  return check(PyLong_FromLongLong(v));
}
inline Ref py_float(double v) {
  return check(PyFloat_FromDouble(v));
}
inline Ref py_str(std::string_view s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

inline Ref repr(Handle o) {
  return check(PyObject_Repr(o));
}  // repr(o)
inline Ref str(Handle o) {
  return check(PyObject_Str(o));
}  // str(o)

// The UTF-8 text of a str; the view lives as long as the object does.
inline std::string_view utf8(Handle s) {
  if (!PyUnicode_Check(s.get())) {
    raise(PyExc_TypeError, std::string("expected str, got ") + Py_TYPE(s.get())->tp_name);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) throw PyErrorSet{};
  return {data, static_cast<std::size_t>(size)};
}

// str(o) as UTF-8: what "..." + str(o) + "..." writes.
inline std::string text(Handle o) {
  if (PyUnicode_CheckExact(o.get())) return std::string(utf8(o));
  Ref s = str(o);
  return std::string(utf8(s));
}
// repr(o) as UTF-8.
inline std::string repr_text(Handle o) {
  Ref r = repr(o);
  return std::string(utf8(r));
}

// The text of a float exactly as Python's str()/repr() writes it (1e-05, 1000000.0, inf).
inline std::string float_text(double v) {
  char* s = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (s == nullptr) throw PyErrorSet{};
  std::string out(s);
  PyMem_Free(s);
  return out;
}

inline bool truthy(Handle o) {
  return check_status(PyObject_IsTrue(o)) == 1;
}  // bool(o)
inline bool eq(Handle a, Handle b) {
  return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}  // a == b
inline Py_ssize_t len(Handle o) {  // len(o)
  Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw PyErrorSet{};
  return n;
}
inline double as_double(Handle o) {  // float(o), as a C double
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

// ---- items ----

// o[key]
inline Ref item(Handle o, Handle key) {
  if (PyDict_CheckExact(o.get())) {
    PyObject* v = PyDict_GetItemWithError(o, key);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) throw PyErrorSet{};
  }
  return check(PyObject_GetItem(o, key));  // raises the interpreter's own KeyError on a miss
}
inline Ref item(Handle o, Py_ssize_t index) {  // o[index] for sequences
  Ref i = py_int(index);
  return check(PyObject_GetItem(o, i.get()));
}

// o.get(key, dflt)
inline Ref get(Handle o, Handle key, Handle dflt = Py_None) {
  if (PyDict_CheckExact(o.get())) {
    PyObject* v = PyDict_GetItemWithError(o, key);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) throw PyErrorSet{};
    return Ref::borrow(dflt);
  }
  static Key method{"get"};
  PyObject* argv[] = {o.get(), key.get(), dflt.get()};
  return check(PyObject_VectorcallMethod(method.get(), argv, 3, nullptr));
}

// key in o
inline bool contains(Handle o, Handle key) {
  return check_status(PySequence_Contains(o, key)) == 1;
}

// o[key] = value
inline void set_item(Handle o, Handle key, Handle value) {
  if (PyDict_CheckExact(o.get())) {
    check_status(PyDict_SetItem(o, key, value));
  } else {
    check_status(PyObject_SetItem(o, key, value));
  }
}

// ---- attributes ----

inline Ref attr(Handle o, Handle name) {
  return check(PyObject_GetAttr(o, name));
}  // o.name
// With the name interned: the interpreter's method cache keys its slots by the name object's
// address, so a fresh string per call would leave a dead copy in a new slot each time.
inline Ref attr(Handle o, const char* name) {
  Ref key = check(PyUnicode_InternFromString(name));
  return check(PyObject_GetAttr(o, key.get()));
}

// getattr(o, name, dflt)
inline Ref getattr(Handle o, Handle name, Handle dflt) {
  PyObject* v = PyObject_GetAttr(o, name);
  if (v != nullptr) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
  PyErr_Clear();
  return Ref::borrow(dflt);
}

// hasattr(o, name)
inline bool hasattr(Handle o, Handle name) {
  PyObject* v = PyObject_GetAttr(o, name);
  if (v != nullptr) {
    Py_DECREF(v);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
  PyErr_Clear();
  return false;
}

inline void setattr(Handle o, Handle name, Handle value) {
  check_status(PyObject_SetAttr(o, name, value));
}

// ---- calls ----

// f(args...)
template <class... A>
Ref call(Handle f, const A&... args) {
  PyObject* argv[] = {nullptr, Handle(args).get()...};
  return check(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(args...): the method is looked up on the object at call time, so overrides in
// subclasses and attributes set on the instance take part, as in Python.
template <class... A>
Ref call_method(Handle self, Handle name, const A&... args) {
  PyObject* argv[] = {self.get(), Handle(args).get()...};
  return check(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

// f(*args, **kwargs) with keyword names given as text.
inline Ref call_kw(Handle f, std::initializer_list<Handle> args,
                   std::initializer_list<std::pair<const char*, Handle>> kwargs) {
  std::vector<PyObject*> argv;
  argv.reserve(args.size() + kwargs.size());
  for (Handle a : args) argv.push_back(a.get());
  Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
  Py_ssize_t i = 0;
  for (const auto& [name, value] : kwargs) {
    PyTuple_SET_ITEM(names.get(), i++, check(PyUnicode_InternFromString(name)).release());
    argv.push_back(value.get());
  }
  return check(PyObject_Vectorcall(f, argv.data(), args.size(), kwargs.size() ? names.get() : nullptr));
}

// ---- containers ----

inline Ref new_list() {
  return check(PyList_New(0));
}
inline Ref new_dict() {
  return check(PyDict_New());
}
inline Ref new_set() {
  return check(PySet_New(nullptr));
}
inline void append(Handle list, Handle value) {  // list.append(value)
  if (PyList_CheckExact(list.get())) {
    check_status(PyList_Append(list, value));
  } else {
    static Key method{"append"};
    call_method(list, method, value);
  }
}
template <class... A>
Ref tuple_of(const A&... items) {  // (items...)
  return check(PyTuple_Pack(sizeof...(A), Handle(items).get()...));
}

// Iterates like a Python for loop: `for (Ref& x : Iterate(obj))`.
class Iterate {
 public:
  explicit Iterate(Handle iterable) : it_(check(PyObject_GetIter(iterable))) {}

  class iterator {
   public:
    iterator() = default;
    explicit iterator(PyObject* it) : it_(it) { advance(); }
    Ref& operator*() { return current_; }
    iterator& operator++() {
      advance();
      return *this;
    }
    bool operator!=(const iterator& other) const { return current_.get() != other.current_.get(); }

   private:
    void advance() {
      current_ = Ref::steal(PyIter_Next(it_));
      if (!current_ && PyErr_Occurred()) throw PyErrorSet{};
    }
    PyObject* it_ = nullptr;
    Ref current_;
  };

  iterator begin() { return iterator(it_.get()); }
  iterator end() { return iterator(); }

 private:
  Ref it_;
};

// list(iterable)
inline Ref to_list(Handle iterable) {
  return check(PySequence_List(iterable));
}

// ---- modules ----

inline Ref import(const char* name) {
  return check(PyImport_ImportModule(name));
}

// The value of a global name of `module`, read at call time as Python code reads its globals.
inline Ref global(Handle module, Handle name) {
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
  if (v != nullptr) return Ref::borrow(v);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  throw PyErrorSet{};
}

}  // namespace kv
