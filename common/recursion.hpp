// Guard for recursive walks over user-supplied trees.
//
// Every level counts against the interpreter's recursion limit, so a deep tree raises
// RecursionError exactly where Python code would. The interpreter's counter alone does not
// protect the C stack (a raised recursion limit, a small thread stack, sanitizer builds with
// large frames), so the guard also checks how much of the thread's stack is left.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "error.hpp"

namespace kv {

namespace detail {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::uintptr_t kStackReserve = 1024 * 1024;
#else
inline constexpr std::uintptr_t kStackReserve = 256 * 1024;
#endif

// Lowest usable address of the calling thread's stack (0 when unknown).
inline std::uintptr_t stack_limit() {
  thread_local std::uintptr_t limit = [] {
    pthread_attr_t attr;
    void* base = nullptr;
    std::size_t size = 0;
    std::uintptr_t low = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      if (pthread_attr_getstack(&attr, &base, &size) == 0) low = reinterpret_cast<std::uintptr_t>(base);
      pthread_attr_destroy(&attr);
    }
    return low == 0 ? 0 : low + kStackReserve;
  }();
  return limit;
}

inline bool stack_exhausted() {
  char here = 0;
  std::uintptr_t limit = stack_limit();
  return limit != 0 && reinterpret_cast<std::uintptr_t>(&here) < limit;
}

}  // namespace detail

class RecursionGuard {
 public:
  // `where` completes the message, as in " while translating an expression".
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where)) throw PyErrorSet{};
    if (detail::stack_exhausted()) {
      Py_LeaveRecursiveCall();
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      throw PyErrorSet{};
    }
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace kv
