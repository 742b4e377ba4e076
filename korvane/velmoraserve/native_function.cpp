// The function type of the tool server: argument binding with Python's rules and texts, the
// signature and attributes introspection reads, and the checks of `str` parameters and of `list`
// and `dict` results that the published signatures promise.
#include "native_function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "keys.hpp"

namespace velmora {
namespace {

using namespace kv;

struct NativeFunction {
  PyObject ob_base;
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* module;
  PyObject* closure;
  PyObject* defaults;  // tuple with one entry per parameter; None where a parameter has no default
  PyObject* dict;      // __name__, __qualname__, __module__, __doc__, __signature__, __annotations__
};

NativeFunction* as_native(PyObject* o) {
  return reinterpret_cast<NativeFunction*>(o);
}

std::string display_name(const FunctionSpec& spec) {
  return spec.qualname != nullptr ? spec.qualname : spec.name;
}

bool is_named(const Param& p) {
  return p.kind == Kind::PositionalOrKeyword || p.kind == Kind::KeywordOnly;
}

[[noreturn]] void missing_arguments(const std::string& fn, const std::vector<std::string>& names, const char* what) {
  raise(PyExc_TypeError, fn + "() missing " + std::to_string(names.size()) + " required " + what + " argument" +
                             (names.size() == 1 ? "" : "s") + ": " + detail::quoted_list(names.data(), names.size()));
}

// Parameters annotated `str` take a string or None; anything else is refused before the body runs.
void check_str_arguments(const FunctionSpec& spec, const Frame& frame) {
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    const Param& p = spec.params[i];
    PyObject* value = frame.args[i];
    if (p.annotation == nullptr || std::string_view(p.annotation) != "str" || value == nullptr) continue;
    if (value != Py_None && !PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got %s)", p.name,
                   Py_TYPE(value)->tp_name);
      throw PyErrorSet{};
    }
  }
}

// Binds a call as the interpreter binds one to a function with the same parameter list: keyword
// arguments first, then the count of positional ones, then what is missing, then the defaults.
Frame bind(NativeFunction* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const FunctionSpec& spec = *self->spec;
  const std::string fn = display_name(spec);
  Frame frame{reinterpret_cast<PyObject*>(self),
              self->module,
              self->closure,
              std::vector<PyObject*>(spec.params.size(), nullptr),
              Ref(),
              Ref()};
  std::vector<std::size_t> positional;
  bool var_positional = false, var_keyword = false;
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (spec.params[i].kind == Kind::PositionalOrKeyword) positional.push_back(i);
    var_positional |= spec.params[i].kind == Kind::VarPositional;
    var_keyword |= spec.params[i].kind == Kind::VarKeyword;
  }
  const auto given = static_cast<std::size_t>(nargs);
  const std::size_t taken = std::min(given, positional.size());
  for (std::size_t k = 0; k < taken; ++k) frame.args[positional[k]] = args[k];
  if (var_positional) frame.varargs = check(PyTuple_New(static_cast<Py_ssize_t>(given - taken)));
  for (std::size_t k = taken; var_positional && k < given; ++k) {
    PyTuple_SET_ITEM(frame.varargs.get(), static_cast<Py_ssize_t>(k - taken), Py_NewRef(args[k]));
  }
  if (var_keyword) frame.varkw = new_dict();

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    auto slot = std::find_if(spec.params.begin(), spec.params.end(), [&](const Param& p) {
      return is_named(p) && PyUnicode_CompareWithASCIIString(key, p.name) == 0;
    });
    if (slot == spec.params.end()) {
      if (!var_keyword) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.c_str(), key);
        throw PyErrorSet{};
      }
      set_item(frame.varkw, key, value);
      continue;
    }
    PyObject*& target = frame.args[static_cast<std::size_t>(slot - spec.params.begin())];
    if (target != nullptr) raise(PyExc_TypeError, fn + "() got multiple values for argument '" + slot->name + "'");
    target = value;
  }

  if (given > positional.size() && !var_positional) {
    std::size_t required = 0;
    for (std::size_t i : positional) required += spec.params[i].default_value == nullptr;
    detail::too_many(fn.c_str(), required, positional.size(), nargs);
  }
  std::vector<std::string> missing_positional, missing_keyword;
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    const Param& p = spec.params[i];
    if (!is_named(p) || frame.args[i] != nullptr) continue;
    if (p.default_value != nullptr) {
      frame.args[i] = PyTuple_GET_ITEM(self->defaults, static_cast<Py_ssize_t>(i));
    } else {
      (p.kind == Kind::KeywordOnly ? missing_keyword : missing_positional).push_back(p.name);
    }
  }
  if (!missing_positional.empty()) missing_arguments(fn, missing_positional, "positional");
  if (!missing_keyword.empty()) missing_arguments(fn, missing_keyword, "keyword-only");
  check_str_arguments(spec, frame);
  return frame;
}

// A result declared `list` or `dict` must be exactly that, or None.
void check_result(const FunctionSpec& spec, Handle result) {
  if (spec.returns == nullptr || result.get() == Py_None) return;
  const std::string_view declared = spec.returns;
  PyTypeObject* expected = declared == "list" ? &PyList_Type : declared == "dict" ? &PyDict_Type : nullptr;
  if (expected == nullptr || Py_IS_TYPE(result.get(), expected)) return;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(result.get())->tp_name);
  throw PyErrorSet{};
}

PyObject* call_native(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    NativeFunction* self = as_native(callable);
    Frame frame = bind(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    Ref result = self->spec->body(frame);
    if (!result) result = none();
    check_result(*self->spec, result);
    return result.release();
  });
}

// Like a function, it becomes a bound method when read through an instance.
PyObject* bind_to_instance(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyObject* native_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    return PyUnicode_FromFormat("<function %s at %p>", display_name(*as_native(self)->spec).c_str(), self);
  });
}

int native_traverse(PyObject* self, visitproc visit, void* arg) {
  NativeFunction* fn = as_native(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->module);
  Py_VISIT(fn->closure);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->dict);
  return 0;
}

int native_clear(PyObject* self) {
  NativeFunction* fn = as_native(self);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->closure);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->dict);
  return 0;
}

void native_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  native_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A function of the tool server implemented in C++.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&native_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&native_clear)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&bind_to_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(&native_repr)},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "korvane._velmoraserve.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

const Key& kind_name(Kind kind) {
  switch (kind) {
    case Kind::KeywordOnly:
      return K::KEYWORD_ONLY;
    case Kind::VarPositional:
      return K::VAR_POSITIONAL;
    case Kind::VarKeyword:
      return K::VAR_KEYWORD;
    case Kind::PositionalOrKeyword:
      break;
  }
  return K::POSITIONAL_OR_KEYWORD;
}

// Evaluates annotation and default texts in a copy of the module's globals, so that evaluation
// leaves nothing (such as __builtins__) behind in the module itself.
class Evaluator {
 public:
  explicit Evaluator(PyObject* module) : module_(module) {}
  Ref operator()(const char* text) {
    if (!globals_) globals_ = check(PyDict_Copy(PyModule_GetDict(module_)));
    return check(PyRun_String(text, Py_eval_input, globals_.get(), globals_.get()));
  }

 private:
  PyObject* module_;
  Ref globals_;
};

struct Introspection {
  Ref defaults;
  Ref signature;
  Ref annotations;
};

Introspection describe(PyObject* module, const FunctionSpec& spec) {
  Evaluator evaluate(module);
  Ref inspect = check(PyImport_Import(K::inspect.get()));
  Ref parameter_type = attr(inspect, K::Parameter);
  Ref signature_type = attr(inspect, K::Signature);
  Ref empty = attr(parameter_type, K::empty);
  Introspection out{check(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size()))), Ref(), new_dict()};
  Ref parameters = new_list();
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    const Param& p = spec.params[i];
    Ref name = py_str(p.name);
    Ref default_value = p.default_value != nullptr ? evaluate(p.default_value) : empty.copy();
    Ref annotation = p.annotation != nullptr ? evaluate(p.annotation) : empty.copy();
    if (p.annotation != nullptr) set_item(out.annotations, name, annotation);
    PyTuple_SET_ITEM(out.defaults.get(), static_cast<Py_ssize_t>(i),
                     (p.default_value != nullptr ? default_value.copy() : none()).release());
    Ref kind = attr(parameter_type, kind_name(p.kind));
    append(parameters, call_kw(parameter_type, {name, kind}, {{"default", default_value}, {"annotation", annotation}}));
  }
  Ref returns = spec.returns != nullptr ? evaluate(spec.returns) : attr(signature_type, K::empty);
  if (spec.returns != nullptr) set_item(out.annotations, K::return_, returns);
  out.signature = call_kw(signature_type, {parameters}, {{"return_annotation", returns}});
  return out;
}

Ref make(Handle function_type, PyObject* module, const FunctionSpec& spec, Handle closure) {
  Introspection about = describe(module, spec);
  Ref module_name = attr(module, K::dunder_name);
  Ref attributes = new_dict();
  set_item(attributes, K::dunder_name, py_str(spec.name));
  set_item(attributes, K::dunder_qualname, py_str(display_name(spec)));
  set_item(attributes, K::dunder_module, module_name);
  set_item(attributes, K::dunder_doc, spec.doc != nullptr ? py_str(spec.doc) : none());
  set_item(attributes, K::dunder_signature, about.signature);
  set_item(attributes, K::dunder_annotations, about.annotations);

  auto* type = reinterpret_cast<PyTypeObject*>(function_type.get());
  Ref object = check(type->tp_alloc(type, 0));
  NativeFunction* fn = as_native(object.get());
  fn->vectorcall = &call_native;
  fn->spec = &spec;
  fn->module = Py_NewRef(module);
  fn->closure = Py_XNewRef(closure.get());
  fn->defaults = about.defaults.release();
  fn->dict = attributes.release();
  return object;
}

}  // namespace

Ref make_function_type(PyObject* module) {
  return check(PyType_FromModuleAndSpec(module, &kTypeSpec, nullptr));
}

Ref define(Handle function_type, PyObject* module, const FunctionSpec& spec) {
  return make(function_type, module, spec, Handle(nullptr));
}

Ref define_local(const Frame& outer, const FunctionSpec& spec, Handle closure) {
  return make(reinterpret_cast<PyObject*>(Py_TYPE(outer.function)), outer.module, spec, closure);
}

}  // namespace velmora
