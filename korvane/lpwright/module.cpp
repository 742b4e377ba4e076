// korvane.lpwright: the SciPy target's front. SciPyCodeGenerator is a factory: constructing it
// returns the concrete generator for the requested matrix mode.
#include "common/module.hpp"

namespace {

using namespace kv;

Key kSciPyCSCCodeGenerator{"SciPyCSCCodeGenerator"};

// __new__(cls, ast, data_dict=None, mode="csc"). The returned generator is no instance of the
// factory, so the interpreter runs no __init__ of the factory on it.
Ref factory_new(const Call& c) {
  auto [cls, ast, data_dict, mode] =
      c.bind(Params<4>{"SciPyCodeGenerator.__new__", {"cls", "ast", "data_dict", "mode"}, 2});
  static Key csc{"csc"};
  if (data_dict == nullptr) data_dict = Py_None;
  if (mode == nullptr || eq(mode, csc)) return call(global(c.module, kSciPyCSCCodeGenerator), ast, data_dict);
  Ref empty = py_str("");
  Ref shown = check(PyObject_Format(mode, empty.get()));
  raise(PyExc_ValueError, "Unknown mode: " + std::string(utf8(shown)));
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("__new__", factory_new, "Return the SciPy generator for `mode` (only \"csc\" exists)."),
};

constexpr const char* kOrder[] = {"__new__"};

void exec_lpwright(PyObject* module) {
  Ref logging = import("logging");
  add(module, "logging", logging);
  add(module, "SciPyCodeGeneratorBase", attr(import_sibling(module, "lpwrightcore"), "SciPyCodeGeneratorBase"));
  add(module, "SciPyCSCCodeGenerator", attr(import_sibling(module, "lpwrightsparse"), "SciPyCSCCodeGenerator"));
  add(module, "SemanticError", attr(import_sibling(module, "faultlore"), "SemanticError"));
  add(module, "logger", call_method(logging, py_str("getLogger"), attr(module, "__name__")));
  // A Python class body turns __new__ into a static method implicitly; type() does so only for
  // Python functions, so the C++ one is wrapped explicitly.
  Ref ns = method_namespace(module, kOrder, {kMethods}, Bind::Static);
  Ref bases = tuple_of(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  add(module, "SciPyCodeGenerator",
      make_class(module, "SciPyCodeGenerator", bases, ns, "Choose the SciPy script generator for a matrix mode."));
  Ref names = check(Py_BuildValue("[ssss]", "SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase",
                                  "SemanticError"));
  add(module, "__all__", names);
}

}  // namespace

KV_MODULE(lpwright, exec_lpwright, "Front of the SciPy target: the generator factory by matrix mode.")
