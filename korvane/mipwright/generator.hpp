// Shared declarations of the Gurobi script generator (korvane.mipwright).
//
// GurobiCodeGenerator is a plain Python class whose methods are C++ functions. Its state lives in
// the instance __dict__ under the attribute names callers see, and methods reach each other by
// attribute lookup on the instance, so a subclass or a patched instance takes part everywhere.
// Each concern of the generator lives in its own source file and exports its method table;
// module.cpp places the methods in class order.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/module.hpp"
#include "common/recursion.hpp"
#include "keys.hpp"

namespace mipwright {

using namespace kv;

// The context of one method call: the defining module (for its globals) and the instance.
class Gen {
 public:
  Gen(PyObject* module, PyObject* self) : module_(module), self_(self) {}

  PyObject* self() const { return self_; }

  Ref attr(Handle name) const { return kv::attr(self_, name); }
  void set(Handle name, Handle value) const { setattr(self_, name, value); }
  Ref global(Handle name) const { return kv::global(module_, name); }

  // self._add_code_line(line): every script line goes through the instance attribute.
  void emit(std::string_view line) const { call_method(self_, K::add_code_line, py_str(line)); }
  // self.indent_level += delta
  void indent(long delta) const {
    Ref level = attr(K::indent_level);
    Ref step = py_int(delta);
    set(K::indent_level, check(PyNumber_InPlaceAdd(level.get(), step.get())));
  }

  // self._find_declaration_by_name(name) and (name, types=types)
  Ref find_declaration(Handle name) const { return call_method(self_, K::find_declaration_by_name, name); }
  Ref find_declaration(Handle name, Handle types) const {
    Ref method = attr(K::find_declaration_by_name);
    return call_kw(method, {name}, {{"types", types}});
  }
  // self._find_declaration_by_name(name, types=[...types]), with a fresh list on every call
  Ref find_declaration(Handle name, std::initializer_list<const char*> types) const {
    Ref list = new_list();
    for (const char* type : types) append(list, py_str(type));
    return find_declaration(name, list);
  }

  // self._traverse_expression(node, iterators) and (node, iterators, symbolic=True)
  Ref traverse(Handle node, Handle iterators) const {
    return call_method(self_, K::traverse_expression, node, iterators);
  }
  // self._traverse_expression(node, iterators, symbolic), the caller's mode passed on unchanged
  Ref traverse(Handle node, Handle iterators, Handle symbolic) const {
    return call_method(self_, K::traverse_expression, node, iterators, symbolic);
  }
  Ref traverse_symbolic(Handle node, Handle iterators) const {
    Ref method = attr(K::traverse_expression);
    return call_kw(method, {node, iterators}, {{"symbolic", Py_True}});
  }

  // raise SemanticError(message) and SemanticError(message, lineno=lineno)
  [[noreturn]] void semantic_error(const std::string& message) const {
    raise_instance(call(global(K::SemanticError), py_str(message)));
  }
  [[noreturn]] void semantic_error(const std::string& message, Handle lineno) const {
    raise_instance(call_kw(global(K::SemanticError), {py_str(message)}, {{"lineno", lineno}}));
  }

  // logger.debug(fmt, *args) / logger.info(fmt, *args): formatting stays lazy, in logging.
  template <class... A>
  void debug(const char* fmt, const A&... args) const {
    call_method(global(K::logger), kDebug, py_str(fmt), args...);
  }
  template <class... A>
  void info(const char* fmt, const A&... args) const {
    call_method(global(K::logger), kInfo, py_str(fmt), args...);
  }

 private:
  static inline Key kDebug{"debug"};
  static inline Key kInfo{"info"};

  PyObject* module_;
  PyObject* self_;
};

// o == text, as Python compares: only a str can equal the text. Never raises.
inline bool str_is(Handle o, const char* ascii) {
  return PyUnicode_Check(o.get()) && PyUnicode_CompareWithASCIIString(o, ascii) == 0;
}
// o in (texts...)
inline bool str_in(Handle o, std::initializer_list<const char*> texts) {
  for (const char* t : texts) {
    if (str_is(o, t)) return true;
  }
  return false;
}

// A tree node (a dict) whose type is one of `types`.
inline bool has_type(Handle node, std::initializer_list<const char*> types) {
  return is_dict(node) && str_in(get(node, K::type), types);
}

// The identifier a variable reference names: a name's value, a subscripted name's name.
inline Ref referenced_name(Handle node) {
  return get(node, str_is(get(node, K::type), "name") ? K::value : K::name);
}

// A declaration, as _find_declaration_by_name returns it, of a decision variable.
inline bool is_decision_variable(Handle decl) {
  return !is_none(decl) && str_in(get(decl, K::type), {"dvar", "dvar_indexed"});
}

// sep.join(parts)
inline std::string join_text(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += sep;
    out += parts[i];
  }
  return out;
}

// True when the text's first parenthesis closes at its very end, as in "(a + b)" but not in
// "(a) if (c) else (b)". Parentheses inside string literals do not count.
inline bool one_parenthesised_whole(std::string_view t) {
  if (!t.starts_with('(') || !t.ends_with(')')) return false;
  int depth = 0;
  char quote = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    char ch = t[i];
    if (quote != 0) {
      if (ch == '\\')
        ++i;
      else if (ch == quote)
        quote = 0;
    } else if (ch == '\'' || ch == '"') {
      quote = ch;
    } else if (ch == '(') {
      ++depth;
    } else if (ch == ')' && --depth == 0) {
      return i + 1 == t.size();
    }
  }
  return false;
}

// A method name built at run time ("_expr_" + type). Interned, so that every lookup of one name
// uses one object: the type's attribute cache keys its slots by the name object's address, and a
// fresh string per call would fill the cache with dead copies of the same name.
inline Ref method_name(std::string_view text) {
  PyObject* name = py_str(text).release();
  PyUnicode_InternInPlace(&name);
  return Ref::steal(name);
}

// The arguments of every expression handler: (expr_node, current_iterators, symbolic).
struct ExprArgs {
  Gen g;
  PyObject* node;
  PyObject* iterators;
  PyObject* symbolic;

  // A child translated in the caller's mode.
  Ref same_mode(Handle child) const { return g.traverse(child, iterators, symbolic); }
  // A child translated with `symbolic` left at its default (false).
  Ref mode_off(Handle child) const { return g.traverse(child, iterators); }
};

inline ExprArgs bind_expr_args(const Call& c, const char* function) {
  auto [self, node, iterators, symbolic] =
      c.bind(Params<4>{function, {"self", "expr_node", "current_iterators", "symbolic"}, 4});
  return {Gen(c.module, self), node, iterators, symbolic};
}

// Runs `body`, then sets the instance attribute `name` back to `saved`, also when `body` fails;
// the failure then propagates unchanged (its pending Python exception is kept across the reset).
template <class Body>
auto with_attr_restored(const Gen& g, Handle name, Handle saved, Body&& body) -> decltype(body()) {
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      g.set(name, saved);
    } else {
      auto result = body();
      g.set(name, saved);
      return result;
    }
  } catch (...) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (PyObject_SetAttr(g.self(), name, saved) < 0) PyErr_WriteUnraisable(g.self());
    PyErr_Restore(type, value, traceback);
    throw;
  }
}

// The result of `body`, or nothing when it raised an exception of class `type` (or a subclass),
// which is then cleared: Python's `try: ... except type: ...`.
template <class Body>
std::optional<Ref> catching(Handle type, Body&& body) {
  try {
    return body();
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(type)) throw;
    PyErr_Clear();
    return std::nullopt;
  }
}

// dict(d)
inline Ref dict_copy(Handle d) {
  return call(reinterpret_cast<PyObject*>(&PyDict_Type), d);
}

// tuple(items)
inline Ref as_tuple(Handle items) {
  return check(PySequence_Tuple(items));
}

// sep.join(items), with the interpreter's own errors for items that are not str.
inline Ref join_str(std::string_view sep, Handle items) {
  return check(PyUnicode_Join(py_str(sep).get(), items));
}

// id(o)
inline Ref identity(Handle o) {
  return check(PyLong_FromVoidPtr(o.get()));
}

// Method tables, one per concern.
extern std::span<PyMethodDef> frame_methods;
extern std::span<PyMethodDef> tree_methods;
extern std::span<PyMethodDef> tuple_set_helper_methods;  // the generator's own TupleSetHelper
extern std::span<PyMethodDef> expression_methods;
extern std::span<PyMethodDef> subscript_methods;
extern std::span<PyMethodDef> declaration_methods;
extern std::span<PyMethodDef> data_section_methods;
extern std::span<PyMethodDef> constraint_methods;
extern std::span<PyMethodDef> forall_methods;
extern std::span<PyMethodDef> bounds_methods;
extern std::span<PyMethodDef> sum_methods;
extern std::span<PyMethodDef> comparison_methods;
extern std::span<PyMethodDef> implication_methods;
extern std::span<PyMethodDef> function_methods;
extern std::span<PyMethodDef> construct_methods;

// The script's final rewrite of bare true/false into True/False (string literals untouched).
Ref rewrite_boolean_words(Handle text);

}  // namespace mipwright
