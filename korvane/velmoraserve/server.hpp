// Shared by the sources of korvane._velmoraserve: the function tables each concern contributes and
// the `with` statement its bodies use.
#pragma once

#include <span>

#include "keys.hpp"
#include "native_function.hpp"

namespace velmora {

// The private functions under the tools, in the order the module defines them.
std::span<const FunctionSpec> plumbing_functions();
// The six tools, in the order they are registered.
std::span<const FunctionSpec> tool_functions();

// Raises a ValueError that says why, unless the path that `parameter` of a tool names ends in
// `suffix`, leads (symlinks followed) to a regular file with that suffix or to nothing, and lies
// inside KORVANE_MCP_ROOT when that is set.
void check_tool_file(const char* parameter, kv::Handle path, const char* suffix);

// `with manager as entered: return body(entered)`, with the statement's rules: an exception of
// the body goes to __exit__, which may swallow it (the block then gives None); one raised by
// __exit__ itself replaces it, with the original as its context.
template <class Body>
kv::Ref with_block(kv::Handle manager, Body&& body) {
  using namespace kv;
  Ref entered = call_method(manager, K::enter);
  Ref result;
  try {
    result = body(Handle(entered));
  } catch (const PyErrorSet&) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Ref exc_type = Ref::steal(type), exc = Ref::steal(value), exc_traceback = Ref::steal(traceback);
    PyObject* argv[] = {manager.get(), exc_type.get(), exc.get(), exc_traceback ? exc_traceback.get() : Py_None};
    Ref swallowed = Ref::steal(PyObject_VectorcallMethod(K::exit.get(), argv, 4, nullptr));
    if (!swallowed) {
      PyObject *new_type = nullptr, *new_value = nullptr, *new_traceback = nullptr;
      PyErr_Fetch(&new_type, &new_value, &new_traceback);
      PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
      PyException_SetContext(new_value, exc.release());
      PyErr_Restore(new_type, new_value, new_traceback);
      throw;
    }
    if (truthy(swallowed)) return none();
    PyErr_Restore(exc_type.release(), exc.release(), exc_traceback.release());
    throw;
  }
  call_method(manager, K::exit, Py_None, Py_None, Py_None);
  return result;
}

}  // namespace velmora
