// Functions of the tool server: C++ bodies behind objects that introspection takes for Python
// functions. The MCP SDK derives a tool's protocol-visible name, description and input schema
// from `__name__`, `__doc__` and `inspect.signature`, and calls it with every argument by
// keyword, so each function carries a real `inspect.Signature` (annotations are typing objects,
// defaults the values they had when the function was made) and binds its arguments exactly as a
// Python function with that signature would.
#pragma once

#include <span>
#include <vector>

#include "common/module.hpp"

namespace velmora {

enum class Kind { PositionalOrKeyword, KeywordOnly, VarPositional, VarKeyword };

// One parameter as it is written in a `def`; annotation and default are source text, evaluated
// against the module's globals when the function is made, as a `def` statement evaluates them.
struct Param {
  const char* name;
  const char* annotation = nullptr;
  const char* default_value = nullptr;
  Kind kind = Kind::PositionalOrKeyword;
};

struct Frame;
using Body = kv::Ref (*)(Frame&);

struct FunctionSpec {
  const char* name;
  std::span<const Param> params;
  const char* returns;  // return annotation text, or nullptr
  const char* doc;      // nullptr: no docstring
  Body body;
  const char* qualname = nullptr;  // defaults to `name`; local functions name their parent
};

// One call of a function: its arguments bound to the parameters, defaults filled in. The
// pointers are borrowed from the call and from the function, both alive until it returns.
struct Frame {
  PyObject* function;
  PyObject* module;             // the defining module, whose globals the body reads at call time
  PyObject* closure;            // what a local function captured, or nullptr
  std::vector<PyObject*> args;  // one per named parameter, in order
  kv::Ref varargs;              // the tuple of *args
  kv::Ref varkw;                // the dict of **kwargs

  PyObject* operator[](std::size_t i) const { return args[i]; }
  // The module global `name`, read now.
  kv::Ref global(kv::Handle name) const { return kv::global(module, name); }
};

// The type of these functions; made once when the module executes.
kv::Ref make_function_type(PyObject* module);

// A module-level function of `module`, made as a `def` statement at module level would make it.
kv::Ref define(kv::Handle function_type, PyObject* module, const FunctionSpec& spec);

// A function defined inside the body running in `outer`, closing over `closure`.
kv::Ref define_local(const Frame& outer, const FunctionSpec& spec, kv::Handle closure);

}  // namespace velmora
