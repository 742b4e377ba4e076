// The instantiation stage between the parser and the code generators. The parser reads syntax
// only; here the syntax tree meets the data: initialised declarations are evaluated once, asserts
// are checked, and what is left is the model tree and data dictionary that both generators take.
// Data expressions are evaluated by the SciPy target's own evaluator, so that a computed value
// and a value computed inside a constraint always agree. A tree without computed constructs
// comes out as it went in, node for node.
#include <cmath>

#include "korvane/lpwrightsparse/model.hpp"
#include "source.hpp"

namespace oplparse {
namespace {

using lpsparse::Domain;
using lpsparse::ModelError;
using lpsparse::Value;

long line_of(Handle node) {
  Ref line = get(node, K::lineno);
  return is_int(line) ? PyLong_AsLong(line.get()) : 0;
}

class Instantiation {
 public:
  Instantiation(const Source& source, Handle tree, Handle data)
      : source_(source),
        tree_(tree),
        data_(check(PyDict_Copy(data))),
        declarations_(new_list()),
        env_root_(new_dict()),
        env_(env_root_.get(), data_.get()) {
    set_item(env_root_, K::declarations, declarations_);
  }

  Ref run() {
    try {
      Ref none_declared = new_list();
      for (Ref& decl : Iterate(get(tree_, K::declarations, none_declared))) {
        line_ = is_dict(decl) ? line_of(decl) : 0;
        Ref core = declaration(decl);
        if (!core) continue;
        append(declarations_, core);
        env_.register_declaration(core);
      }
    } catch (const ModelError& e) {
      source_.fail(e.message, static_cast<int>(e.lineno > 0 ? e.lineno : line_));
    }
    Ref root = new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tree_, &pos, &key, &value)) {
      set_item(root, key, eq(key, K::declarations) ? declarations_.get() : value);
    }
    return tuple_of(root, data_);
  }

 private:
  // The core declaration that stands for `decl`, or an empty Ref when nothing stays of it.
  Ref declaration(Handle decl) {
    Ref type = get(decl, K::type);
    if (eq(type, K::parameter_computed)) return computed(decl, false);
    if (eq(type, K::parameter_computed_indexed)) return computed(decl, true);
    if (eq(type, K::assert_statement)) {
      check_assert(decl);
      return {};
    }
    return Ref::borrow(decl);
  }

  // `int n = expr;` and `float a[i in I] = expr;`: the value goes into the data, the declaration
  // becomes an external parameter that reads it.
  Ref computed(Handle decl, bool indexed) {
    Ref name = item(decl, K::name);
    std::string owner(utf8(name));
    std::string type(utf8(item(decl, K::value_type)));
    if (contains(data_, name)) {
      fail("Parameter '" + owner + "' is computed in the model and also given in the .dat file. Hint: remove it "
           "from the .dat file, or declare it with '= ...' to read it from there");
    }
    env_.site = {-1, line_};
    env_.declaration_site = owner;
    env_.compile_line = line_;
    Ref value = indexed ? table(decl, owner, type) : python_value(evaluate(item(decl, K::expression)), type, owner);
    env_.declaration_site.clear();
    set_item(data_, name, value);
    Ref core = node(indexed ? K::parameter_external_explicit_indexed : K::parameter_external_explicit, {{K::name, name}});
    if (indexed) set_item(core, K::dimensions, item(decl, K::dimensions));
    set_item(core, K::value_type, py_str(type));
    set_item(core, K::lineno, py_int(line_));
    return core;
  }

  Value evaluate(Handle expression) { return env_.eval(compiled(expression)); }

  // The values of an indexed initializer as nested lists, one level per dimension, in the
  // order of the dimensions' elements: the shape a .dat file gives such a parameter.
  Ref table(Handle decl, const std::string& owner, const std::string& type) {
    std::vector<Domain> domains;
    for (Ref& dim : Iterate(item(decl, K::dimensions))) domains.push_back(env_.dimension(dim, owner, line_));
    std::vector<int> slots;
    for (Ref& entry : Iterate(item(decl, K::iterators))) {
      slots.push_back(env_.slot_count++);
      env_.scope.emplace_back(utf8(item(entry, K::iterator)), slots.back());
    }
    int e = env_.compile_expr(item(decl, K::expression));
    env_.scope.resize(env_.scope.size() - slots.size());
    env_.slots.resize(static_cast<std::size_t>(env_.slot_count));
    return level(domains, slots, 0, e, type, owner);
  }

  Ref level(const std::vector<Domain>& domains, const std::vector<int>& slots, std::size_t k, int e,
            const std::string& type, const std::string& owner) {
    if (k == domains.size()) return python_value(env_.eval(e), type, owner);
    Ref values = new_list();
    for (std::size_t i = 0; i < domains[k].size(); ++i) {
      env_.slots[static_cast<std::size_t>(slots[k])] = domains[k].at(i);
      append(values, level(domains, slots, k + 1, e, type, owner));
    }
    return values;
  }

  // A value as the .dat file would give it for the declared type.
  Ref python_value(const Value& v, const std::string& type, const std::string& owner) {
    bool number = v.is_num();
    if (type == "string") {
      if (v.kind == Value::Kind::Str) return py_str(env_.interner.text_of(v));
    } else if (number && type.starts_with("float")) {
      return py_float(v.num);
    } else if (number && type == "boolean") {
      return py_bool(v.num != 0.0);
    } else if (number && type.starts_with("int") && std::isfinite(v.num) && v.num == std::floor(v.num)) {
      return std::fabs(v.num) < 9.0e15 ? py_int(static_cast<long long>(v.num)) : check(PyLong_FromDouble(v.num));
    }
    std::string written = env_.value_text(v);
    if (!number) written = "'" + written + "'";
    fail("Type mismatch in the initializer of '" + owner + "': it is declared " + type + " but its value is " + written);
  }

  // `assert expr;` and `assert forall(i in I : filter) expr;`: a false assert quotes itself.
  void check_assert(Handle decl) {
    env_.site = {-1, line_};
    env_.declaration_site = "assert";
    env_.compile_line = line_;
    std::string quoted = "'assert " + text(item(decl, K::text_)) + "'";
    Ref iterators = get(decl, K::iterators);
    if (is_none(iterators)) {
      if (!env_.truth(compiled(item(decl, K::expression)))) fail("Assertion failed: " + quoted);
      env_.declaration_site.clear();
      return;
    }
    Ref no_filter = none();
    int loop = env_.compile_loop(iterators, get(decl, K::index_constraint, no_filter));
    int condition = env_.compile_expr(item(decl, K::expression));
    env_.close_loop(loop);
    env_.slots.resize(static_cast<std::size_t>(env_.slot_count));
    env_.for_each(loop, [&] {
      if (env_.truth(condition)) return;
      std::string at;
      for (const lpsparse::Iter& it : env_.loops[static_cast<std::size_t>(loop)].iters) {
        at += (at.empty() ? "" : ", ") + env_.value_text(env_.slots[static_cast<std::size_t>(it.slot)]);
      }
      fail("Assertion failed: " + quoted + " for " + at);
    });
    env_.declaration_site.clear();
  }

  int compiled(Handle expression) {
    int e = env_.compile_expr(expression);
    env_.slots.resize(static_cast<std::size_t>(env_.slot_count));
    return e;
  }

  [[noreturn]] void fail(const std::string& message) const { throw ModelError{message, line_}; }

  const Source& source_;
  Handle tree_;
  Ref data_;
  Ref declarations_;
  Ref env_root_;
  lpsparse::Model env_;
  long line_ = 0;
};

}  // namespace

Ref instantiate_model(const Source& source, Handle tree, Handle data) {
  if (!is_dict(tree)) {
    raise(PyExc_TypeError, "instantiate() argument 'tree' must be dict, not " + std::string(Py_TYPE(tree)->tp_name));
  }
  if (!is_dict(data)) {
    raise(PyExc_TypeError, "instantiate() argument 'data' must be dict, not " + std::string(Py_TYPE(data)->tp_name));
  }
  return Instantiation(source, tree, data).run();
}

}  // namespace oplparse
