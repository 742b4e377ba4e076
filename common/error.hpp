// The error model: C++ code raises by setting a Python exception and throwing PyErrorSet; one
// boundary wrapper around every function the interpreter can call turns any C++ exception into
// a Python one, so nothing C++ ever unwinds into CPython.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "ref.hpp"

namespace kv {

// Raises `type` with a UTF-8 message.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  Ref text = check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyErr_SetObject(type, text.get());
  throw PyErrorSet{};
}

// Raises an exception instance (for classes whose constructor takes more than a message).
[[noreturn]] inline void raise_instance(Handle exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  throw PyErrorSet{};
}

// Runs `body` and converts whatever it throws into a Python exception; returns NULL then.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
  }
  return nullptr;
}

// The same for slots that report failure with -1.
template <class Body>
int guarded_status(Body&& body) noexcept {
  PyObject* ok = guarded([&]() -> PyObject* {
    body();
    Py_RETURN_NONE;
  });
  if (ok == nullptr) return -1;
  Py_DECREF(ok);
  return 0;
}

}  // namespace kv
