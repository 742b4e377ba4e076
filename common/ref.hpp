// Owning and borrowed references to Python objects.
//
// Product code never holds an owned raw PyObject*: a new reference goes into a Ref the moment it
// is created, so every error path releases what it holds. Functions that only look at an object
// take a Handle, which converts from a raw pointer and from a Ref (a temporary Ref lives until
// the end of the full expression, so passing one is safe).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kv {

// Thrown after a Python exception has been set. The boundary wrapper (error.hpp) turns it into
// a NULL return, so the exception reaches the interpreter unchanged.
struct PyErrorSet {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (which may be NULL).
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Adds a reference to a borrowed pointer (which may be NULL).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  Ref copy() const noexcept { return borrow(p_); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A borrowed, non-owning view of an object, accepted by every accessor.
class Handle {
 public:
  Handle(PyObject* p) noexcept : p_(p) {}         // NOLINT(google-explicit-constructor)
  Handle(const Ref& r) noexcept : p_(r.get()) {}  // NOLINT(google-explicit-constructor)
  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }  // NOLINT(google-explicit-constructor)

 private:
  PyObject* p_;
};

// Wraps the result of a C API call that returns a new reference, or NULL with an error set.
inline Ref check(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return Ref::steal(p);
}

// Checks the status of a C API call that returns -1 with an error set.
inline int check_status(int rc) {
  if (rc < 0) throw PyErrorSet{};
  return rc;
}

}  // namespace kv
