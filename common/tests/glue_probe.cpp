// A test-only extension module that exposes the common glue to pytest, so argument binding, the
// error boundary, the accessors, class building and the recursion guard are checked from Python.
#include <stdexcept>

#include "common/module.hpp"
#include "common/recursion.hpp"

namespace {

using namespace kv;

// Interned like every method name the modules call: the interpreter's method cache is keyed by the
// name object's address, so a fresh string per call would fill it with dead names.
Key kName{"name"};

// def bind(a, b, c=None): return (a, b, c)  -- parameters left out come back as None
Ref bind(const Call& c) {
  auto [a, b, opt] = c.bind(Params<3>{"bind", {"a", "b", "c"}, 2});
  return tuple_of(a, b, opt ? opt : Py_None);
}

// def bind_kwonly(a, *, flag=None): return (a, flag)
Ref bind_kwonly(const Call& c) {
  auto [a, flag] = c.bind(Params<2>{"bind_kwonly", {"a", "flag"}, 1, 1});
  return tuple_of(a, flag ? flag : Py_None);
}

// Throws the C++ exception named by `kind`; the boundary must turn each into a Python one.
Ref throw_cpp(const Call& c) {
  auto [kind] = c.bind(Params<1>{"throw_cpp", {"kind"}, 1});
  std::string_view k = utf8(kind);
  if (k == "bad_alloc") throw std::bad_alloc();
  if (k == "runtime_error") throw std::runtime_error("boom");
  if (k == "int") throw 42;
  if (k == "python") raise(PyExc_ValueError, "raised from C++");
  return none();
}

Ref item_of(const Call& c) {
  auto [o, k] = c.bind(Params<2>{"item_of", {"o", "k"}, 2});
  return item(o, k);
}

Ref get_of(const Call& c) {
  auto [o, k, d] = c.bind(Params<3>{"get_of", {"o", "k", "d"}, 2});
  return d ? get(o, k, d) : get(o, k);
}

Ref getattr_of(const Call& c) {
  auto [o, name, d] = c.bind(Params<3>{"getattr_of", {"o", "name", "d"}, 3});
  return tuple_of(getattr(o, name, d), py_bool(hasattr(o, name)));
}

Ref float_text_of(const Call& c) {
  auto [x] = c.bind(Params<1>{"float_text_of", {"x"}, 1});
  return py_str(float_text(as_double(x)));
}

// Iterates like a for loop and returns the items as a list.
Ref iterate_all(const Call& c) {
  auto [o] = c.bind(Params<1>{"iterate_all", {"o"}, 1});
  Ref out = new_list();
  for (Ref& x : Iterate(o)) append(out, x);
  return out;
}

// The nesting depth of a list, walked recursively under the guard.
long depth_of(Handle node) {
  RecursionGuard guard(" while measuring depth");
  if (!is_list(node)) return 0;
  long deepest = 0;
  for (Ref& child : Iterate(node)) deepest = std::max(deepest, depth_of(child));
  return deepest + 1;
}

Ref depth(const Call& c) {
  auto [o] = c.bind(Params<1>{"depth", {"o"}, 1});
  return py_int(depth_of(o));
}

// Methods of the probe class: self.describe() calls self.name() by lookup, so overrides win.
Ref probe_name(const Call& c) {
  auto [self] = c.bind(Params<1>{"Probe.name", {"self"}, 1});
  (void)self;
  return py_str("probe");
}

Ref probe_describe(const Call& c) {
  auto [self] = c.bind(Params<1>{"Probe.describe", {"self"}, 1});
  return py_str("I am " + text(call_method(self, kName)));
}

Ref probe_twice(const Call& c) {
  auto [x] = c.bind(Params<1>{"Probe.twice", {"x"}, 1});
  return check(PyNumber_Add(x, x));
}

PyMethodDef kFunctions[] = {
    KV_FUNCTION("bind", bind, nullptr),
    KV_FUNCTION("bind_kwonly", bind_kwonly, nullptr),
    KV_FUNCTION("throw_cpp", throw_cpp, nullptr),
    KV_FUNCTION("item_of", item_of, nullptr),
    KV_FUNCTION("get_of", get_of, nullptr),
    KV_FUNCTION("getattr_of", getattr_of, nullptr),
    KV_FUNCTION("float_text_of", float_text_of, nullptr),
    KV_FUNCTION("iterate_all", iterate_all, nullptr),
    KV_FUNCTION("depth", depth, nullptr),
};

PyMethodDef kProbeMethods[] = {
    KV_FUNCTION("name", probe_name, nullptr),
    KV_FUNCTION("describe", probe_describe, nullptr),
};

PyMethodDef kProbeStatics[] = {
    KV_FUNCTION("twice", probe_twice, nullptr),
};

constexpr const char* kProbeOrder[] = {"describe", "name"};
constexpr const char* kProbeStaticOrder[] = {"twice"};

void exec_probe(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add(module, def.ml_name, make_function(&def, module));
  Ref ns = method_namespace(module, kProbeOrder, {kProbeMethods});
  Ref statics = method_namespace(module, kProbeStaticOrder, {kProbeStatics}, Bind::Static);
  check_status(PyDict_Update(ns.get(), statics.get()));
  Ref bases = tuple_of(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  add(module, "Probe", make_class(module, "Probe", bases, ns, "A class built from C++ functions."));
}

}  // namespace

KV_MODULE(_glueprobe, exec_probe, "Test probe of the common extension-module glue.")
