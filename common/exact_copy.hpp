// Private copies of caller-supplied trees and data, made only of exact built-in types.
//
// A generator that works on the caller's own objects runs the caller's code whenever it compares,
// hashes, prints or iterates one of them (a str subclass with its own __eq__, a list subclass with
// its own __iter__, an object with its own __repr__). That code can change the tree under the
// generator's feet, or put text of its choosing into a script. A copy made at the boundary
// shares nothing with the caller, and its str, repr and comparisons are the interpreter's own.
//
// The copy reads containers through their C storage and never calls a method of the caller's
// objects, and it walks with its own stack, so a long left-deep chain (a sum of thousands of
// terms) copies without touching the recursion limit.
#pragma once

#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "access.hpp"
#include "collector.hpp"

namespace kv {

class ExactCopy {
 public:
  // `root` names the value in messages ("the model tree", "data item 'cost'").
  explicit ExactCopy(std::string root) : root_(std::move(root)) {}

  // A copy in which every None, bool, int, float, str, list, tuple, dict, set and frozenset is of
  // its exact built-in type; anything else raises ValueError naming where it sits. (Numbers that
  // are not finite are left to find_non_finite, which reports them as model or data errors.)
  Ref operator()(Handle value) {
    PauseCollector pause;
    std::vector<Frame> stack;
    Ref leaf = scalar(value, stack);
    if (leaf) return leaf;
    stack.push_back(open(value, stack, true));
    while (true) {
      Frame& top = stack.back();
      Ref child;
      if (!next(top, child)) {
        Ref done = close(top);
        if (top.shared) {
          copies_.insert_or_assign(top.source.get(), std::make_pair(top.source.copy(), done.copy()));
          in_progress_.erase(top.source.get());
        }
        stack.pop_back();
        if (stack.empty()) return done;
        put(stack.back(), done);
        continue;
      }
      Ref copy = scalar(child, stack);
      // `child` is held by its container and by this loop: a container with no other holder
      // cannot be met again, nor contain itself, so it needs neither the memo nor the cycle check.
      bool shared = !copy && Py_REFCNT(child.get()) > 2;
      if (shared) {
        // A container met again is copied once, so shared parts stay shared, not multiplied.
        auto seen = copies_.find(child.get());
        if (seen != copies_.end()) copy = seen->second.second.copy();
      }
      if (!copy) {
        copy = flat_copy(child);
        if (copy && shared) copies_.insert_or_assign(child.get(), std::make_pair(child.copy(), copy.copy()));
      }
      if (copy) {
        put(top, copy);
      } else {
        stack.push_back(open(child, stack, shared));
      }
    }
  }

 private:
  enum class Kind { List, Tuple, Dict, Set, FrozenSet };

  struct Frame {
    Kind kind;
    Ref source;
    Ref target;  // a dict for dicts, a list of the items for every other kind until closed
    Ref key;     // for dicts: the copied key of the item being copied
    Ref iterator;
    Py_ssize_t pos = 0;
    bool shared = true;  // may be met again: memoised and checked for cycles
  };

  static bool exact_scalar(PyObject* o) {
    return o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
           PyUnicode_CheckExact(o);
  }

  // The copy of a list or tuple of exact scalars (most data is made of these), made at once; an
  // empty Ref for anything else. An exact tuple of them cannot change and is its own copy.
  static Ref flat_copy(Handle v) {
    PyObject* o = v.get();
    bool tuple = PyTuple_Check(o);
    if (!tuple && !PyList_Check(o)) return {};
    Py_ssize_t n = tuple ? PyTuple_GET_SIZE(o) : PyList_GET_SIZE(o);
    PyObject** items = tuple ? &PyTuple_GET_ITEM(o, 0) : reinterpret_cast<PyListObject*>(o)->ob_item;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!exact_scalar(items[i])) return {};
    }
    if (PyTuple_CheckExact(o)) return Ref::borrow(o);
    Ref out = check(tuple ? PyTuple_New(n) : PyList_New(n));
    PyObject** targets = tuple ? &PyTuple_GET_ITEM(out.get(), 0) : reinterpret_cast<PyListObject*>(out.get())->ob_item;
    for (Py_ssize_t i = 0; i < n; ++i) targets[i] = Py_NewRef(items[i]);
    return out;
  }

  // The copy of a value that holds no other values, or an empty Ref for a container.
  Ref scalar(Handle v, const std::vector<Frame>& stack) {
    PyObject* o = v.get();
    if (o == Py_None || PyBool_Check(o)) return Ref::borrow(o);
    if (PyLong_Check(o)) {
      if (PyLong_CheckExact(o)) return Ref::borrow(o);
      return check(PyLong_Type.tp_as_number->nb_int(o));  // int's own copy, no subclass code
    }
    if (PyFloat_Check(o)) {
      return PyFloat_CheckExact(o) ? Ref::borrow(o) : py_float(PyFloat_AS_DOUBLE(o));
    }
    if (PyUnicode_Check(o)) {
      if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
      return check(PyUnicode_FromKindAndData(PyUnicode_KIND(o), PyUnicode_DATA(o), PyUnicode_GET_LENGTH(o)));
    }
    if (PyList_Check(o) || PyTuple_Check(o) || PyDict_Check(o) || PyAnySet_Check(o)) return {};
    fail(stack, std::string("holds a value of type '") + Py_TYPE(o)->tp_name +
                    "'; only numbers, strings, booleans, None, lists, tuples, sets and dictionaries are accepted");
  }

  Frame open(Handle v, const std::vector<Frame>& stack, bool shared) {
    PyObject* o = v.get();
    if (shared && !in_progress_.insert(o).second) fail(stack, "contains itself");
    Frame f{Kind::List, Ref::borrow(o), {}, {}, {}, 0, shared};
    if (PyDict_Check(o)) {
      f.kind = Kind::Dict;
      f.target = new_dict();
      return f;
    }
    f.target = new_list();
    if (PyTuple_Check(o)) f.kind = Kind::Tuple;
    if (PyAnySet_Check(o)) {
      f.kind = PyFrozenSet_Check(o) ? Kind::FrozenSet : Kind::Set;
      // The set type's own iterator: an overridden __iter__ of a subclass is not called.
      PyTypeObject* base = f.kind == Kind::Set ? &PySet_Type : &PyFrozenSet_Type;
      f.iterator = check(base->tp_iter(o));
    }
    return f;
  }

  // The next child of a container; false at the end.
  bool next(Frame& f, Ref& child) {
    PyObject* o = f.source.get();
    switch (f.kind) {
      case Kind::List:
        if (f.pos >= PyList_GET_SIZE(o)) return false;
        child = Ref::borrow(PyList_GET_ITEM(o, f.pos++));
        return true;
      case Kind::Tuple:
        if (f.pos >= PyTuple_GET_SIZE(o)) return false;
        child = Ref::borrow(PyTuple_GET_ITEM(o, f.pos++));
        return true;
      case Kind::Dict: {
        PyObject *k, *v;
        if (!PyDict_Next(o, &f.pos, &k, &v)) return false;
        Ref key = Ref::borrow(k);
        child = Ref::borrow(v);
        // Keys are copied too: they are hashed, compared and written.
        f.key = scalar(key, {});
        if (!f.key) f.key = flat_copy(key);
        if (!f.key) f.key = ExactCopy(root_)(key);
        return true;
      }
      case Kind::Set:
      case Kind::FrozenSet:
        child = Ref::steal(PyIter_Next(f.iterator.get()));
        if (!child && PyErr_Occurred()) throw PyErrorSet{};
        ++f.pos;
        return static_cast<bool>(child);
    }
    return false;
  }

  static void put(Frame& f, Handle copy) {
    if (f.kind == Kind::Dict) {
      check_status(PyDict_SetItem(f.target.get(), f.key.get(), copy));
    } else {
      check_status(PyList_Append(f.target.get(), copy));
    }
  }

  static Ref close(Frame& f) {
    switch (f.kind) {
      case Kind::Tuple: return check(PyList_AsTuple(f.target.get()));
      case Kind::Set: return check(PySet_New(f.target.get()));
      case Kind::FrozenSet: return check(PyFrozenSet_New(f.target.get()));
      default: return std::move(f.target);
    }
  }

  // Names the value being copied by its subscripts from the root, as in data item 'c'[2]['a'].
  [[noreturn]] void fail(const std::vector<Frame>& stack, const std::string& problem) const {
    std::string where = root_;
    for (const Frame& f : stack) {
      if (f.kind == Kind::Dict) {
        where.append("[").append(repr_text(f.key)).append("]");
      } else if (f.kind == Kind::List || f.kind == Kind::Tuple) {
        where.append("[").append(std::to_string(f.pos - 1)).append("]");
      } else {
        where.append(" (in a set)");
      }
    }
    raise(PyExc_ValueError, where + " " + problem + ".");
  }

  std::string root_;
  // Containers being copied (the ancestors of the current one), and those already copied with
  // their copies; the sources are held so that their addresses stay theirs.
  std::unordered_set<PyObject*> in_progress_;
  std::unordered_map<PyObject*, std::pair<Ref, Ref>> copies_;
};

// Whether a value is made only of exact None, bool, int, float, str, list, tuple and dict, with
// finite floats, and no container inside itself. Such a value runs no caller code when it is
// read, compared or hashed, and while no caller code runs nothing can change it either: a reader
// that only reads may take it as it is, with nothing to copy or refuse. Walks with its own stack;
// a container met again is walked once.
class PlainValue {
 public:
  static bool test(Handle value) { return PlainValue{}.walk(value.get()); }

 private:
  struct Frame {
    PyObject* container;
    Py_ssize_t pos = 0;
    PyObject* value = nullptr;  // of a dict: the value of the key just given, given next
    bool shared = true;
  };

  bool walk(PyObject* root) {
    if (!enter(root, true)) return false;
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      PyObject* child = next(top);
      if (child == nullptr) {
        if (top.shared) {
          open_.erase(top.container);
          done_.insert(top.container);
        }
        stack_.pop_back();
      } else if (!enter(child, Py_REFCNT(child) > 1)) {
        return false;
      }
    }
    return true;
  }

  static bool plain_scalar(PyObject* o) {
    if (PyFloat_CheckExact(o)) return std::isfinite(PyFloat_AS_DOUBLE(o));
    return o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyUnicode_CheckExact(o);
  }

  // A list or tuple of plain scalars (most data is made of these): nothing to walk into.
  static bool flat(Py_ssize_t n, PyObject* const* items) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!plain_scalar(items[i])) return false;
    }
    return true;
  }

  // False for a value that is not plain or a container met inside itself; a container to walk
  // goes on the stack. `shared`: held elsewhere too, so it may be met again.
  bool enter(PyObject* o, bool shared) {
    if (plain_scalar(o)) return true;
    if (PyTuple_CheckExact(o) && flat(PyTuple_GET_SIZE(o), &PyTuple_GET_ITEM(o, 0))) return true;
    if (PyList_CheckExact(o) && flat(PyList_GET_SIZE(o), reinterpret_cast<PyListObject*>(o)->ob_item)) return true;
    if (!PyTuple_CheckExact(o) && !PyList_CheckExact(o) && !PyDict_CheckExact(o)) return false;
    if (shared) {
      if (done_.count(o) != 0) return true;
      if (!open_.insert(o).second) return false;
    }
    stack_.push_back({o, 0, nullptr, shared});
    return true;
  }

  // The next key, value or item of a container; null at its end.
  static PyObject* next(Frame& f) {
    PyObject* o = f.container;
    if (PyDict_CheckExact(o)) {
      if (f.value != nullptr) return std::exchange(f.value, nullptr);
      PyObject* key = nullptr;
      return PyDict_Next(o, &f.pos, &key, &f.value) ? key : nullptr;
    }
    Py_ssize_t n = PyTuple_CheckExact(o) ? PyTuple_GET_SIZE(o) : PyList_GET_SIZE(o);
    if (f.pos >= n) return nullptr;
    return PyTuple_CheckExact(o) ? PyTuple_GET_ITEM(o, f.pos++) : PyList_GET_ITEM(o, f.pos++);
  }

  std::vector<Frame> stack_;
  std::unordered_set<PyObject*> open_;  // shared containers being walked: the ancestors
  std::unordered_set<PyObject*> done_;  // shared containers walked to their end
};

}  // namespace kv
