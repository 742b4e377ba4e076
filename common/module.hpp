// Extension modules and classes built from C++ functions.
//
// Classes are made by calling type(name, bases, namespace), so they are ordinary Python classes:
// instances have a __dict__, subclasses can override anything, and methods are looked up by
// name. Each method is a builtin function owned by its module (the module is its m_self), wrapped
// so that it binds to the instance like a function defined in Python, or as a static method.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "access.hpp"
#include "args.hpp"

namespace kv {

// The signature every function written for the interpreter has. An empty Ref returns None.
using Impl = Ref (*)(const Call&);

template <Impl F>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    Ref result = F(Call{module, args, PyVectorcall_NARGS(nargsf), kwnames});
    return result ? result.release() : Py_NewRef(Py_None);
  });
}

// A PyMethodDef entry for `impl` under the Python name `name`.
#define KV_FUNCTION(name, impl, doc)                                                           \
  PyMethodDef {                                                                                \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&::kv::entry<impl>)), \
        METH_FASTCALL | METH_KEYWORDS, doc                                                     \
  }

enum class Bind { Instance, Static };

// The builtin function object for `def`, owned by `module`.
inline Ref make_function(PyMethodDef* def, PyObject* module) {
  Ref module_name = attr(module, "__name__");
  return check(PyCMethod_New(def, module, module_name.get(), nullptr));
}

inline Ref make_method(PyMethodDef* def, PyObject* module, Bind bind) {
  Ref function = make_function(def, module);
  return check(bind == Bind::Instance ? PyInstanceMethod_New(function.get()) : PyStaticMethod_New(function.get()));
}

// A namespace holding the methods of `fragments` in the order of `order`. A name of `order` that
// no fragment defines is skipped; a definition that `order` does not place, or one defined twice,
// fails the import instead of silently vanishing.
inline Ref method_namespace(PyObject* module, std::span<const char* const> order,
                            std::initializer_list<std::span<PyMethodDef>> fragments, Bind bind = Bind::Instance) {
  Ref ns = new_dict();
  std::size_t defined = 0, placed = 0;
  for (auto fragment : fragments) defined += fragment.size();
  for (const char* name : order) {
    PyMethodDef* found = nullptr;
    for (auto fragment : fragments) {
      for (PyMethodDef& def : fragment) {
        if (std::string_view(def.ml_name) == name) {
          if (found != nullptr) raise(PyExc_SystemError, std::string("method defined twice: ") + name);
          found = &def;
        }
      }
    }
    if (found == nullptr) continue;
    ++placed;
    Ref method = make_method(found, module, bind);
    check_status(PyDict_SetItemString(ns.get(), name, method.get()));
  }
  if (defined != placed) raise(PyExc_SystemError, "a method is defined but not placed in its class");
  return ns;
}

// type(name, bases, ns) with __module__, __qualname__ and __doc__ filled in.
inline Ref make_class(PyObject* module, const char* name, Handle bases, Handle ns, const char* doc) {
  Ref module_name = attr(module, "__name__");
  check_status(PyDict_SetItemString(ns, "__module__", module_name.get()));
  Ref qualname = py_str(name);
  check_status(PyDict_SetItemString(ns, "__qualname__", qualname.get()));
  if (doc != nullptr) {
    Ref text = py_str(doc);
    check_status(PyDict_SetItemString(ns, "__doc__", text.get()));
  }
  Ref class_name = py_str(name);
  return call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, bases, ns);
}

// module.name = value
inline void add(PyObject* module, const char* name, Handle value) {
  check_status(PyModule_AddObjectRef(module, name, value));
}

// `from .<name> import ...`: the module `name` of the package that holds `module`.
inline Ref import_sibling(PyObject* module, const char* name) {
  Ref module_name = attr(module, "__name__");
  std::string full(utf8(module_name));
  std::size_t dot = full.rfind('.');
  if (dot == std::string::npos) raise(PyExc_ImportError, "attempted relative import with no known parent package");
  return import((full.substr(0, dot + 1) + name).c_str());
}

inline void refuse_subinterpreter(PyObject* module) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    Ref module_name = attr(module, "__name__");
    raise(PyExc_ImportError, std::string(utf8(module_name)) + " cannot be loaded in a sub-interpreter");
  }
}

template <void (*Exec)(PyObject*)>
int module_exec(PyObject* module) noexcept {
  return guarded_status([&] {
    refuse_subinterpreter(module);
    Exec(module);
  });
}

}  // namespace kv

// Defines the module `name` (multi-phase initialisation) whose exec step is `exec_fn`, and its
// one exported symbol, PyInit_<name>.
#define KV_MODULE(name, exec_fn, doc)                                                                            \
  static PyModuleDef_Slot name##_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&::kv::module_exec<exec_fn>)}, \
                                            {0, nullptr}};                                                       \
  static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name,   doc,     0,      nullptr,                     \
                                   name##_slots,          nullptr, nullptr, nullptr};                            \
  PyMODINIT_FUNC PyInit_##name(void) {                                                                           \
    return PyModuleDef_Init(&name##_def);                                                                        \
  }
