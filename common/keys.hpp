// Interned strings for dictionary keys and attribute names.
//
// A Key is declared once per name (`inline Key kType{"type"};`) and interned on first use, the
// way CPython's own identifier cache works: the text is fixed, the object is created once per
// process and kept for its whole life, so lookups compare by identity first.
#pragma once

#include "error.hpp"

namespace kv {

class Key {
 public:
  constexpr explicit Key(const char* text) noexcept : text_(text) {}
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  const char* text() const noexcept { return text_; }
  PyObject* get() const {
    if (object_ == nullptr) {
      object_ = PyUnicode_InternFromString(text_);
      if (object_ == nullptr) throw PyErrorSet{};
    }
    return object_;
  }
  operator Handle() const { return Handle(get()); }  // NOLINT(google-explicit-constructor)

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;  // one reference held for the life of the process
};

}  // namespace kv
