// The instantiation stage between the parser and the code generators. The parser reads syntax
// only; here the syntax tree meets the data: initialised declarations are evaluated once, asserts
// are checked, and what is left is the model tree and data dictionary that both generators take.
// Data expressions are evaluated by the SciPy target's own evaluator, so that a computed value
// and a value computed inside a constraint always agree. A tree without computed constructs
// comes out as it went in, node for node.
#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <set>

#include "korvane/lpwrightsparse/model.hpp"
#include "parser.hpp"
#include "script.hpp"

namespace oplparse {
namespace {

using lpsparse::Domain;
using lpsparse::ModelError;
using lpsparse::Value;

long line_of(Handle node) {
  Ref line = get(node, K::lineno);
  return is_int(line) ? PyLong_AsLong(line.get()) : 0;
}

// Membership in a list of values, by their hashes sorted once: computed sets reach millions of
// elements, and a sorted array is far kinder to the cache than a node-based hash table.
class ValueIndex {
 public:
  explicit ValueIndex(const std::vector<Value>& values) : values_(values) {
    keys_.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) keys_.emplace_back(lpsparse::ValueHash{}(values[i]), i);
    std::sort(keys_.begin(), keys_.end());
  }

  bool contains(const Value& v) const {
    std::size_t h = lpsparse::ValueHash{}(v);
    for (auto it = std::lower_bound(keys_.begin(), keys_.end(), std::pair<std::size_t, std::size_t>{h, 0});
         it != keys_.end() && it->first == h; ++it) {
      if (values_[it->second] == v) return true;
    }
    return false;
  }

  // Drops every element equal to an earlier one, keeping the order of the rest.
  static void keep_first(std::vector<Value>& values) {
    ValueIndex index(values);
    std::vector<std::uint8_t> repeated(values.size(), 0);
    for (std::size_t run = 0; run < index.keys_.size();) {
      std::size_t end = run;
      while (end < index.keys_.size() && index.keys_[end].first == index.keys_[run].first) ++end;
      for (std::size_t a = run; a < end; ++a) {  // a run holds the values of one hash, in order
        for (std::size_t b = run; b < a && !repeated[index.keys_[a].second]; ++b) {
          if (values[index.keys_[a].second] == values[index.keys_[b].second]) repeated[index.keys_[a].second] = 1;
        }
      }
      run = end;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!repeated[i]) values[kept++] = values[i];
    }
    values.resize(kept);
  }

 private:
  const std::vector<Value>& values_;
  std::vector<std::pair<std::size_t, std::size_t>> keys_;
};

// An iterator around the node being lowered; `fixed` when its range does not depend on another.
struct ScopeEntry {
  std::string name;
  Ref range;
  bool fixed;
};

class Instantiation {
 public:
  Instantiation(const Source& source, Handle tree, Handle data)
      : source_(source),
        tree_(tree),
        data_(check(PyDict_Copy(data))),
        declarations_(new_list()),
        post_declarations_(new_list()),
        env_root_(new_dict()),
        env_(env_root_.get(), data_.get()),
        scripts_(source.module) {
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
        // An infinite parameter is no number the evaluator takes; it can only stand as a bound.
        if (!infinite_.count(text(get(core, K::name)))) env_.register_declaration(core);
      }
      Ref constraints = get(tree_, K::constraints);
      if (is_list(constraints)) {
        Ref lowered = new_list();
        for (Ref& c : Iterate(constraints)) lower(c, lowered);
        constraints_ = data_values(lowered);
      }
      Ref objective = get(tree_, K::objective);
      if (is_dict(objective)) objective_ = data_values(objective);
      drop_infinite_parameters();
    } catch (const ModelError& e) {
      source_.fail(e.message, static_cast<int>(e.lineno > 0 ? e.lineno : line_));
    }
    Ref root = new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tree_, &pos, &key, &value)) {
      PyObject* lowered = value;
      if (eq(key, K::declarations)) lowered = declarations_.get();
      if (constraints_ && eq(key, K::constraints)) lowered = constraints_.get();
      if (objective_ && eq(key, K::objective)) lowered = objective_.get();
      set_item(root, key, lowered);
    }
    if (len(post_declarations_) > 0) set_item(root, K::post_declarations, post_declarations_);
    scripts_.add_keys(root);
    return tuple_of(root, data_);
  }

  // The post-processing stage over an instantiated model: its decision variables take their values
  // in `solution` (variable name -> value, as the solver scripts report them), and the
  // declarations set aside for after the solve are computed from them, as are the decision
  // expressions, which become parameters. Returns (data with their values, the core declarations
  // with theirs, the solution as bound: integer variables rounded).
  Ref after_solve(Handle solution) {
    try {
      Ref none_declared = new_list(), dexprs = new_list(), post = new_list();
      for (Ref& decl : Iterate(get(tree_, K::declarations, none_declared))) {
        Ref type = get(decl, K::type);
        if (eq(type, K::dexpr) || eq(type, K::dexpr_indexed)) {
          append(dexprs, decl);
          continue;
        }
        line_ = is_dict(decl) ? line_of(decl) : 0;
        append(declarations_, decl);
        env_.register_declaration(decl);
        if (eq(type, K::dvar) || eq(type, K::dvar_indexed)) env_.declare_variable(decl);
      }
      bind_solution(solution);
      for (Ref& dexpr : Iterate(dexprs)) {
        Ref decl = check(PyDict_Copy(dexpr.get()));
        set_item(decl, K::type, eq(get(dexpr, K::type), K::dexpr) ? K::parameter_computed : K::parameter_computed_indexed);
        append(post, decl);
      }
      for (Ref& decl : Iterate(get(tree_, K::post_declarations, none_declared))) append(post, decl);
      for (Ref& decl : Iterate(post)) {
        line_ = is_dict(decl) ? line_of(decl) : 0;
        Ref core = declaration(decl);
        append(declarations_, core);
        env_.register_declaration(core);
      }
    } catch (const ModelError& e) {
      source_.fail(e.message, static_cast<int>(e.lineno > 0 ? e.lineno : line_));
    }
    Ref bound = new_dict();
    for (std::size_t col = 0; col < solution_.size(); ++col) {
      set_item(bound, py_str(env_.column_names[col]), py_float(solution_[col].num));
    }
    return tuple_of(data_, declarations_, bound);
  }

 private:
  // The core declaration that stands for `decl`, or an empty Ref when nothing stays of it.
  Ref declaration(Handle decl) {
    if (!env_.solution && truthy(get(decl, K::reads_solution))) {  // computed after the solve
      append(post_declarations_, decl);
      return {};
    }
    Ref type = get(decl, K::type);
    if (eq(type, K::parameter_computed)) return computed(decl, false);
    if (eq(type, K::parameter_computed_indexed)) return computed(decl, true);
    if (eq(type, K::set_computed)) return computed_set(decl);
    if (eq(type, K::set_array)) return set_array(decl);
    if (eq(type, K::tuple_set_field)) return tuple_set_field(decl);
    if (eq(type, K::with_check)) {
      check_with(decl);
      return {};
    }
    if (eq(type, K::assert_statement)) {
      check_assert(decl);
      return {};
    }
    if (eq(type, K::script_block)) {
      scripts_.take(decl, env_, env_root_, data_, declarations_);
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
    env_.declaration_site = "the declaration of '" + owner + "'";
    env_.compile_line = line_;
    double infinite = indexed ? 0.0 : infinite_literal(item(decl, K::expression));
    Ref value = indexed     ? table(decl, owner, type)
                : infinite  ? python_value(Value::number(infinite, false), type, owner)
                            : python_value(evaluate(item(decl, K::expression)), type, owner);
    env_.declaration_site.clear();
    if (infinite != 0.0) infinite_.insert(owner);
    set_item(data_, name, value);
    Ref core = node(indexed ? K::parameter_external_explicit_indexed : K::parameter_external_explicit, {{K::name, name}});
    if (indexed) set_item(core, K::dimensions, item(decl, K::dimensions));
    set_item(core, K::value_type, py_str(type));
    set_item(core, K::lineno, py_int(line_));
    return core;
  }

  // `infinity` or `-infinity` written alone as a value, or 0.
  static double infinite_literal(Handle expression) {
    Ref type = get(expression, K::type);
    if (eq(type, K::uminus)) return -infinite_literal(item(expression, K::value));
    if (eq(type, K::parenthesized_expression)) return infinite_literal(item(expression, K::expression));
    Ref value = get(expression, K::value);
    if (!eq(type, K::number) || !is_float(value) || !std::isinf(PyFloat_AS_DOUBLE(value.get()))) return 0.0;
    return PyFloat_AS_DOUBLE(value.get());
  }

  Value evaluate(Handle expression) { return env_.eval(compiled(expression)); }

  // Every declared column's value, from the solution by the column's name; integer columns are
  // rounded, so that `x[i] == 1` holds for a binary the solver left at 0.9999999.
  void bind_solution(Handle solution) {
    std::size_t columns = env_.column_names.size();
    solution_.reserve(columns);
    for (std::size_t col = 0; col < columns; ++col) {
      std::string_view name = env_.column_names[col];
      Ref value = get(solution, py_str(name));
      if (!is_int(value) && !is_float(value)) {
        fail("The solution has no number for the variable '" + std::string(name) + "', but " + repr_text(value));
      }
      double number = PyFloat_AsDouble(value.get());
      if (number == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
      bool integer = env_.integral[col] != 0;
      // + 0.0 turns the solver's -0.0 into 0.
      solution_.push_back(Value::number((integer ? std::round(number) : number) + 0.0, integer));
    }
    env_.solution = &solution_;
  }

  // ---- computed sets ----

  // `{int} S = {i | i in I : ...};` and the like: the elements go into the data, the
  // declaration becomes that of a set read from there.
  Ref computed_set(Handle decl) {
    Ref name = item(decl, K::name);
    std::string owner(utf8(name));
    if (contains(data_, name)) {
      fail("Set '" + owner + "' is computed in the model and also given in the .dat file. Hint: remove it from the "
           ".dat file, or declare it with '= ...' to read it from there");
    }
    Ref tuple_type = get(decl, K::tuple_type);
    std::string element_type = is_str(tuple_type) ? "" : text(get(decl, K::element_type));
    env_.site = {-1, line_};
    env_.declaration_site = "the declaration of '" + owner + "'";
    env_.compile_line = line_;
    Ref elements = new_list();
    std::vector<Value> values = set_value(item(decl, K::expression));
    std::string written_type = element_type;
    if (written_type.empty()) {  // a hidden set: the type of its elements
      bool strings = !values.empty() && values.front().kind == Value::Kind::Str;
      bool integers = std::all_of(values.begin(), values.end(), [](const Value& v) { return v.is_num() && v.integral; });
      written_type = strings ? "string" : integers ? "int" : "float";
    }
    for (const Value& v : values) {
      if (is_str(tuple_type) && v.kind != Value::Kind::Tup) {
        fail("Type mismatch in the initializer of '" + owner + "': its elements are tuples of type '" +
             text(tuple_type) + "' but it computes " + env_.value_text(v));
      }
      append(elements, v.kind == Value::Kind::Tup ? tuple_items(v, owner) : python_value(v, element_type, owner));
    }
    env_.declaration_site.clear();
    set_item(data_, name, elements);
    Ref core = node(is_str(tuple_type) ? K::set_of_tuples_external : K::typed_set_external, {{K::name, name}});
    if (is_str(tuple_type)) set_item(core, K::tuple_type, tuple_type);
    if (!is_str(tuple_type)) set_item(core, K::element_type, py_str(written_type));
    set_item(core, K::lineno, py_int(line_));
    return core;
  }

  // `{int} Q[T] = ...;`: the sets of the array become the hidden set of (index..., member) tuples
  // that the parser made iteration over Q[t] read.
  Ref set_array(Handle decl) {
    Ref name = item(decl, K::name), members = item(decl, K::members);
    std::string owner(utf8(name));
    std::string element_type(utf8(item(decl, K::element_type)));
    std::vector<Domain> domains;
    for (Ref& dim : Iterate(item(decl, K::dimensions))) domains.push_back(env_.dimension(dim, owner, line_));
    Ref data = get(data_, name);
    Ref computed = get(decl, K::expression);
    if (is_none(computed) && is_none(data)) fail("Set array '" + owner + "' declared in .mod but not found in .dat file.");
    if (!is_none(computed) && !is_none(data)) {
      fail("Set array '" + owner + "' is computed in the model and also given in the .dat file. Hint: remove it from "
           "the .dat file, or declare it with '= ...' to read it from there");
    }
    std::vector<int> slots;
    if (!is_none(computed)) {
      for (Ref& entry : Iterate(item(decl, K::iterators))) {
        slots.push_back(env_.slot_count++);
        env_.scope.emplace_back(utf8(item(entry, K::iterator)), slots.back());
      }
    }
    env_.site = {-1, line_};
    env_.declaration_site = "the declaration of '" + owner + "'";
    env_.compile_line = line_;
    Ref pairs = new_list();
    std::vector<Value> index;
    std::function<void(std::size_t, Handle)> level = [&](std::size_t k, Handle node) {
      if (k == domains.size()) {
        std::vector<Value> values;
        if (is_none(computed)) {
          Ref elements = is_dict(node) ? get(node, K::elements) : Ref::borrow(node);
          if (!is_list(elements)) fail("Set array '" + owner + "' expects a set of elements for each index");
          for (Ref& element : Iterate(elements)) values.push_back(env_.to_value(element));
        } else {
          values = set_value(computed);
        }
        for (const Value& v : values) {
          Ref pair = new_list();
          for (const Value& i : index) append(pair, plain_value(i, owner));
          append(pair, v.kind == Value::Kind::Tup ? tuple_items(v, owner) : python_value(v, element_type, owner));
          append(pairs, pair);
        }
        return;
      }
      for (std::size_t i = 0; i < domains[k].size(); ++i) {
        Value at = domains[k].at(i);
        index.push_back(at);
        if (!slots.empty()) env_.assign_slot(slots[k], at);
        Ref child;
        if (is_list(node)) {
          if (static_cast<std::size_t>(len(node)) != domains[k].size()) {
            fail("Set array '" + owner + "' has " + std::to_string(len(node)) + " sets at dimension " +
                 std::to_string(k + 1) + " but '" + domains[k].name + "' has " + std::to_string(domains[k].size()) +
                 " elements");
          }
          child = item(node, static_cast<Py_ssize_t>(i));
        } else if (is_dict(node)) {
          Ref empty = new_list();
          child = get(node, plain_value(at, owner), empty);
        } else {
          child = Ref::borrow(node);
        }
        level(k + 1, child);
        index.pop_back();
      }
    };
    level(0, is_none(computed) ? data.get() : Py_None);
    env_.scope.resize(env_.scope.size() - slots.size());
    env_.declaration_site.clear();
    if (!is_none(data)) check_status(PyDict_DelItem(data_.get(), name.get()));
    set_item(data_, members, pairs);
    return node(K::set_of_tuples_external,
                {{K::name, members}, {K::tuple_type, item(decl, K::tuple_type)}, {K::lineno, py_int(line_)}});
  }

  // A set-valued field of tuple type T: taken out of the .dat tuples of every set of T, its sets
  // become the hidden set of (tuple, member) pairs that `j in t.f` and card(t.f) read.
  Ref tuple_set_field(Handle decl) {
    Ref owner_type = item(decl, K::owner_type), members = item(decl, K::name);
    std::string field(utf8(item(decl, K::field)));
    Py_ssize_t position = PyLong_AsSsize_t(item(decl, K::position).get());
    std::set<Py_ssize_t> earlier;
    for (Ref& k : Iterate(item(decl, K::earlier_positions))) earlier.insert(PyLong_AsSsize_t(k.get()));
    Ref pairs = new_list(), none_declared = new_list();
    std::set<std::string> seen;  // a tuple in two sets gives its members once
    for (Ref& set : Iterate(get(tree_, K::declarations, none_declared))) {
      if (!is_dict(set) || !eq(get(set, K::type), K::set_of_tuples_external) || !eq(get(set, K::tuple_type), owner_type)) {
        continue;
      }
      Ref name = item(set, K::name);
      Ref tuples = get(data_, name);
      if (!is_list(tuples)) continue;  // not given: reported where the set is read
      Ref stripped = new_list();
      for (Ref& tuple : Iterate(tuples)) {
        Ref values = is_list(tuple) && len(tuple) > position ? item(tuple, position) : Ref();
        Ref elements = values && is_dict(values) ? get(values, K::elements) : values.copy();
        if (!elements || !is_list(elements)) {
          fail("Tuple " + std::to_string(len(stripped) + 1) + " of '" + std::string(utf8(name)) +
               "' gives no set for its field '" + field + "'. Hint: write the field's set in the tuple, as in <a, {b, c}>, "
               "or {} for none");
        }
        Ref head = check(PyList_GetSlice(tuple.get(), 0, position));
        Ref tail = check(PyList_GetSlice(tuple.get(), position + 1, len(tuple)));
        Ref rest = check(PySequence_Concat(head.get(), tail.get()));
        // The set-valued fields after this one are already out; those before it are not.
        Ref core = new_list();
        for (Py_ssize_t k = 0; k < len(rest); ++k) {
          if (!earlier.count(k)) append(core, item(rest, k));
        }
        for (Ref& element : Iterate(elements)) {
          Ref pair = new_list();
          append(pair, core);
          append(pair, element);
          if (seen.insert(repr_text(pair)).second) append(pairs, pair);
        }
        append(stripped, rest);
      }
      set_item(data_, name, stripped);
    }
    set_item(data_, members, pairs);
    return node(K::set_of_tuples_external,
                {{K::name, members}, {K::tuple_type, item(decl, K::tuple_type)}, {K::lineno, py_int(line_)}});
  }

  Ref plain_value(const Value& v, const std::string& owner) {
    return v.kind == Value::Kind::Tup ? tuple_items(v, owner) : python_value(v, "", owner);
  }

  // A tuple as the .dat file gives it: a list of its fields.
  Ref tuple_items(const Value& v, const std::string& owner) {
    Ref items = new_list();
    for (const Value& field : env_.interner.items_of(v)) {
      append(items, field.kind == Value::Kind::Tup ? tuple_items(field, owner) : python_value(field, "", owner));
    }
    return items;
  }

  // The elements of a set expression in order, each once.
  std::vector<Value> set_value(Handle expression) {
    RecursionGuard guard(" while computing a set");
    Ref type = get(expression, K::type);
    std::vector<Value> out;
    if (eq(type, K::set_operation)) {
      std::string op(utf8(item(expression, K::op)));
      std::vector<Value> left = set_value(item(expression, K::left)), right = set_value(item(expression, K::right));
      ValueIndex in_left(left), in_right(right);
      for (const Value& v : left) {
        bool shared = in_right.contains(v);
        if (op == "union" || (op == "inter" && shared) || ((op == "diff" || op == "symdiff") && !shared)) out.push_back(v);
      }
      for (const Value& v : right) {
        if ((op == "union" || op == "symdiff") && !in_left.contains(v)) out.push_back(v);
      }
      return out;  // both operands hold each element once, and so does the result
    }
    if (eq(type, K::name_node)) {
      std::string set(utf8(item(expression, K::value)));
      std::optional<Domain> domain = env_.domain_named(set, line_);
      if (!domain) fail("Unsupported operand '" + set + "' of a set expression: name a declared set or range");
      for (std::size_t i = 0; i < domain->size(); ++i) out.push_back(domain->at(i));
      return out;
    }
    if (eq(type, K::range_specifier)) {
      Value start = evaluate(item(expression, K::start)), end = evaluate(item(expression, K::end));
      if (!start.is_num() || !end.is_num() || start.num != std::floor(start.num) || end.num != std::floor(end.num)) {
        fail("Range bounds must be integer-valued in " + env_.declaration_site);
      }
      for (auto k = static_cast<long long>(start.num); k <= static_cast<long long>(end.num); ++k) {
        out.push_back(Value::integer(k));
      }
      return out;
    }
    if (eq(type, K::set_literal)) {
      for (Ref& element : Iterate(item(expression, K::elements))) out.push_back(evaluate(element));
    } else if (eq(type, K::set_comprehension)) {
      Ref no_filter = none();
      int loop = env_.compile_loop(item(expression, K::iterators), get(expression, K::index_constraint, no_filter));
      int element = env_.compile_expr(item(expression, K::expression));
      env_.close_loop(loop);
      env_.slots.resize(static_cast<std::size_t>(env_.slot_count));
      env_.for_each(loop, [&] { out.push_back(env_.eval(element)); });
    } else {
      fail("Unsupported set expression of type '" + text(type) + "'");
    }
    ValueIndex::keep_first(out);
    return out;
  }

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
    Ref guard = get(decl, K::index_constraint);
    int g = is_dict(guard) ? env_.compile_expr(guard) : -1;
    env_.scope.resize(env_.scope.size() - slots.size());
    env_.slots.resize(static_cast<std::size_t>(env_.slot_count));
    return level(domains, slots, 0, {e, g}, type, owner);
  }

  // The value `e` of a table at every index where the guard `g` (when there is one, g >= 0)
  // holds; elsewhere 0, which is never read.
  struct Guarded {
    int e, g;
  };

  Ref level(const std::vector<Domain>& domains, const std::vector<int>& slots, std::size_t k, Guarded eg,
            const std::string& type, const std::string& owner) {
    if (k == domains.size()) {
      if (eg.g >= 0 && !env_.truth(eg.g)) return py_int(0);
      return python_value(env_.eval(eg.e), type, owner);
    }
    Ref values = new_list();
    for (std::size_t i = 0; i < domains[k].size(); ++i) {
      env_.assign_slot(slots[k], domains[k].at(i));
      append(values, level(domains, slots, k + 1, eg, type, owner));
    }
    return values;
  }

  // A value as the .dat file would give it for the declared type.
  Ref python_value(const Value& v, const std::string& type, const std::string& owner) {
    bool number = v.is_num();
    if (type.empty()) {  // a value the model computes where it is used: its own type
      if (v.kind == Value::Kind::Str) return py_str(env_.interner.text_of(v));
      if (number) return v.integral && std::fabs(v.num) < 9.0e15 ? py_int(static_cast<long long>(v.num)) : py_float(v.num);
    } else if (type == "string") {
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

  // `{Arc} Arcs with from in Nodes = ...;`: the first tuple whose field is not in its set is an
  // error that names both.
  void check_with(Handle decl) {
    std::string owner(utf8(item(decl, K::name)));
    const lpsparse::SetData* set = env_.set_named(owner);
    if (set == nullptr || set->tuple_type < 0) fail("Unknown set of tuples '" + owner + "' of a 'with' clause");
    const std::vector<std::string>& fields = env_.tuple_types[static_cast<std::size_t>(set->tuple_type)].fields;
    for (Ref& check : Iterate(item(decl, K::fields))) {
      std::string field = text(item(check, 0)), within = text(item(check, 1));
      std::optional<Domain> domain = env_.domain_named(within, line_);
      if (!domain) fail("Unknown set '" + within + "' in the 'with' clause of '" + owner + "'");
      auto k = static_cast<std::size_t>(std::find(fields.begin(), fields.end(), field) - fields.begin());
      for (const Value& tuple : set->elems) {
        const std::vector<Value>& items = env_.interner.items_of(tuple);
        if (k < items.size() && domain->position(items[k]) >= 0) continue;
        fail("Tuple <" + env_.value_text(tuple) + "> of '" + owner + "' has " + field + " = " +
             (k < items.size() ? env_.value_text(items[k]) : "nothing") + ", which is not an element of '" + within +
             "' (the 'with' clause of '" + owner + "')");
      }
    }
  }

  // `assert expr;` and `assert forall(i in I : filter) expr;`: a false assert quotes itself.
  void check_assert(Handle decl) {
    env_.site = {-1, line_};
    env_.declaration_site = "an assert";
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

  // ---- data-only if ----

  // Appends `c` to `out` with its `if` statements resolved. At the top level the condition is
  // evaluated now; inside a forall it may depend on the iterators, so the forall is split into
  // one for the other constraints and one per branch, whose filter adds the condition (or its
  // negation).
  void lower(Handle c, Handle out) {
    RecursionGuard guard(" while instantiating constraints");
    if (!holds_if(c)) return append(out, c);
    if (eq(get(c, K::type), K::if_constraint)) {
      line_ = line_of(c);
      env_.compile_line = line_;
      env_.site = {-1, line_};
      env_.declaration_site = "an 'if' condition";
      bool holds = env_.truth(compiled(item(c, K::condition)));
      env_.declaration_site.clear();
      for (Ref& s : Iterate(item(c, holds ? K::then : K::else_))) lower(s, out);
      return;
    }
    Ref plain = new_list();
    std::vector<Ref> branches;
    Ref filter = get(c, K::index_constraint);
    for (Ref& child : Iterate(body_of(c))) {
      if (!eq(get(child, K::type), K::if_constraint)) {
        append(plain, child);
        continue;
      }
      Ref condition = item(child, K::condition);
      branches.push_back(forall_like(c, both(filter, condition), item(child, K::then)));
      Ref negation = node(K::not_, {{K::value, node(K::parenthesized_expression, {{K::expression, condition}})}});
      if (len(item(child, K::else_)) > 0) branches.push_back(forall_like(c, both(filter, negation), item(child, K::else_)));
    }
    if (len(plain) > 0) lower_forall_body(forall_like(c, filter, plain), out);
    for (Ref& branch : branches) lower(branch, out);
  }

  // A forall whose direct children hold no `if` may still hold one deeper down.
  void lower_forall_body(Handle forall, Handle out) {
    Ref body = new_list();
    for (Ref& child : Iterate(item(forall, K::constraints))) {
      if (eq(get(child, K::type), K::forall_constraint)) {
        lower(child, body);
      } else {
        append(body, child);
      }
    }
    set_item(forall, K::constraints, body);
    append(out, forall);
  }

  static bool holds_if(Handle c) {
    if (!is_dict(c)) return false;
    Ref type = get(c, K::type);
    if (eq(type, K::if_constraint)) return true;
    if (!eq(type, K::forall_constraint)) return false;
    RecursionGuard guard(" while instantiating constraints");
    for (Ref& child : Iterate(body_of(c))) {
      if (holds_if(child)) return true;
    }
    return false;
  }

  static Ref body_of(Handle forall) {
    Ref many = get(forall, K::constraints);
    if (is_list(many)) return many;
    Ref body = new_list();
    Ref one = get(forall, K::constraint);
    if (!is_none(one)) append(body, one);
    return body;
  }

  static Ref both(Handle filter, Handle condition) {
    if (is_none(filter)) return Ref::borrow(condition);
    return node(K::and_, {{K::left, filter}, {K::right, condition}});
  }

  // A forall over the iterators of `forall` with another filter and body.
  static Ref forall_like(Handle forall, Handle filter, Handle body) {
    Ref n = node(K::forall_constraint, {{K::iterators, deep_copy(item(forall, K::iterators))}});
    if (!is_none(filter)) set_item(n, K::index_constraint, filter);
    set_item(n, K::constraints, body);
    Ref line = get(forall, K::lineno);
    if (!is_none(line)) set_item(n, K::lineno, line);
    return n;
  }

  // ---- values computed where they are used ----

  // `tree` with every data expression that the generators do not translate (mod, div, prod,
  // min and max over iterators, the functions of the language) replaced by its value: a
  // constant, or, when it depends on iterators, an element of a table computed over their
  // ranges. Unchanged subtrees are the same objects.
  Ref data_values(Handle tree) {
    RecursionGuard guard(" while instantiating expressions");
    if (is_list(tree)) {
      Ref out = new_list();
      bool changed = false;
      for (Ref& element : Iterate(tree)) {
        Ref lowered = dropped(element) ? dropped_.copy() : data_values(element);
        changed = changed || lowered.get() != element.get();
        if (lowered.get() != dropped_.get()) append(out, lowered);
      }
      if (!changed) return Ref::borrow(tree);
      return out;
    }
    if (!is_dict(tree)) return Ref::borrow(tree);
    if (Ref line = get(tree, K::lineno); is_int(line)) line_ = PyLong_AsLong(line.get());
    if (!infinite_.empty()) refuse_infinite(tree);
    if (Ref step = step_in_range(tree)) return data_values(step);
    if (eq(get(tree, K::type), K::piecewise)) return piecewise_values(tree);
    if (std::string construct = uncompiled_construct(tree); !construct.empty()) {
      // Over decision variables the construct is the generators' to translate or to refuse.
      if (mentions_decision_variable(tree)) return Ref::borrow(tree);
      return computed_value(tree, construct);
    }
    if (eq(get(tree, K::type), K::indexed_name)) subscripts_computable(tree);
    Ref iterators = get(tree, K::iterators);
    // Foralls and aggregates bind iterators; a label template only lists their names.
    bool binds = is_list(iterators) && len(iterators) > 0 && is_dict(item(iterators, 0));
    std::size_t outer = scope_.size(), outer_filters = filters_.size();
    Ref out = new_dict();
    bool changed = false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tree, &pos, &key, &value)) {
      Ref lowered = eq(key, K::index_constraint)               ? unguarded_values(value, outer_filters)
                    : eq(key, K::constraint) && dropped(value)      ? dropped_.copy()
                                                                    : data_values(value);
      if (binds && eq(key, K::iterators)) {
        for (Ref& entry : Iterate(iterators)) scope_.push_back(scope_entry(entry));
        if (Ref filter = get(tree, K::index_constraint); is_dict(filter)) add_conjuncts(filter);
      }
      changed = changed || lowered.get() != value;
      // A forall whose constraints were all dropped is dropped with them.
      bool emptied = eq(key, K::constraints) && is_list(lowered) && len(lowered) == 0 && len(value) > 0;
      if (lowered.get() == dropped_.get() || emptied) {
        scope_.erase(scope_.begin() + static_cast<std::ptrdiff_t>(outer), scope_.end());
        filters_.resize(outer_filters);
        return dropped_.copy();
      }
      set_item(out, key, lowered);
    }
    scope_.erase(scope_.begin() + static_cast<std::ptrdiff_t>(outer), scope_.end());
    filters_.resize(outer_filters);
    if (!changed) return Ref::borrow(tree);
    return out;
  }

  // ---- piecewise-linear functions ----

  // The function with its slopes, breakpoints and point computed: lists of floats, and the
  // point (0, 0) when none is given. The numbers must not depend on the iterators around the
  // function, as the generators plan each function once from its numbers.
  Ref piecewise_values(Handle n) {
    std::string where = "the piecewise-linear function at line " + std::to_string(line_);
    env_.site = {-1, line_};
    env_.declaration_site = where;
    env_.compile_line = line_;
    Ref slopes = new_list(), breakpoints = new_list();
    Ref pieces = get(n, K::pieces);
    if (is_dict(pieces)) {
      Ref no_filter = none();
      int loop = env_.compile_loop(item(pieces, K::iterators), get(pieces, K::index_constraint, no_filter));
      int slope = env_.compile_expr(data_only(item(pieces, K::slope), where));
      int breakpoint = env_.compile_expr(data_only(item(pieces, K::breakpoint), where));
      env_.close_loop(loop);
      env_.slots.resize(static_cast<std::size_t>(env_.slot_count));
      env_.for_each(loop, [&] {
        append(slopes, py_float(env_.number(slope)));
        append(breakpoints, py_float(env_.number(breakpoint)));
      });
    }
    auto numbers = [&](Handle expressions, Handle into) {
      for (Ref& e : Iterate(expressions)) append(into, py_float(number_of(data_only(e, where))));
    };
    numbers(item(n, K::slopes), slopes);
    numbers(item(n, K::breakpoints), breakpoints);
    Ref anchor = new_list();
    if (Ref given = get(n, K::anchor); is_list(given)) {
      numbers(given, anchor);
    } else {
      append(anchor, py_float(0.0));
      append(anchor, py_float(0.0));
    }
    env_.declaration_site.clear();
    double previous = -HUGE_VAL;
    for (Ref& b : Iterate(breakpoints)) {
      double v = PyFloat_AS_DOUBLE(b.get());
      if (!(v > previous)) {
        fail("Unsupported breakpoints of " + where + ": they must increase strictly (a step, where a breakpoint "
             "repeats, is not supported)");
      }
      previous = v;
    }
    return node(K::piecewise, {{K::slopes, slopes}, {K::breakpoints, breakpoints}, {K::anchor, anchor},
                               {K::argument, data_values(item(n, K::argument))}, {K::lineno, py_int(line_)}});
  }

  Handle data_only(Handle e, const std::string& where) {
    if (mentions_decision_variable(e)) fail("Unsupported decision variable in a slope, breakpoint or point of " + where);
    std::vector<const ScopeEntry*> free = free_iterators(e);
    if (!free.empty()) {
      fail("Unsupported slope, breakpoint or point of " + where + " that depends on the iterator '" + free[0]->name +
           "': a function is planned once from its numbers, so give them as data that does not change with the loop");
    }
    return e;
  }

  double number_of(Handle e) {
    double v = env_.number(compiled(e));
    if (!std::isfinite(v)) fail("Unsupported value " + std::to_string(v) + " in a piecewise-linear function");
    return v;
  }

  // A filter's own values, which its conjuncts do not guard.
  Ref unguarded_values(Handle filter, std::size_t outer_filters) {
    std::vector<Ref> own(std::make_move_iterator(filters_.begin() + static_cast<std::ptrdiff_t>(outer_filters)),
                         std::make_move_iterator(filters_.end()));
    filters_.resize(outer_filters);
    Ref lowered = data_values(filter);
    for (Ref& f : own) filters_.push_back(std::move(f));
    return lowered;
  }

  // ---- infinity as no bound ----

  // A constraint statement (an element of a list of constraints, or a forall's one constraint)
  // that goes: `x <= cap` (or `cap >= x`) with cap = infinity, and `x >= cap` with cap =
  // -infinity, a single variable bounded by an infinite parameter, has no bound there at all. As
  // the condition of an implication it would hold always, which is no reason to drop the
  // implication, so only statements go.
  bool dropped(Handle c) const {
    if (infinite_.empty() || !is_dict(c) || !eq(get(c, K::type), K::constraint_node)) return false;
    std::string op = text(get(c, K::op));
    if (op != "<=" && op != ">=") return false;
    Ref left = item(c, K::left), right = item(c, K::right);
    bool var_left = is_variable(left);
    if (var_left == is_variable(right)) return false;
    double value = infinite_value(var_left ? right : left);
    double upper = (op == "<=") == var_left ? HUGE_VAL : -HUGE_VAL;
    return value == upper;
  }

  // A decision variable, plain or subscripted, not an expression around one.
  bool is_variable(Handle n) const {
    Ref type = get(n, K::type);
    Ref name = eq(type, K::name_node) ? get(n, K::value) : eq(type, K::indexed_name) ? get(n, K::name) : Ref();
    if (!name || !is_str(name)) return false;
    auto decl = env_.declarations.find(std::string(utf8(name)));
    if (decl == env_.declarations.end()) return false;
    Ref declared = get(decl->second, K::type);
    return eq(declared, K::dvar) || eq(declared, K::dvar_indexed);
  }

  // The value of an infinite parameter named by `n`, or 0.
  double infinite_value(Handle n) const {
    if (!eq(get(n, K::type), K::name_node)) return 0.0;
    Ref name = get(n, K::value);
    if (!is_str(name) || !infinite_.count(std::string(utf8(name)))) return 0.0;
    return PyFloat_AS_DOUBLE(item(data_, name).get());
  }

  // Anywhere else an infinite parameter would reach a row or the objective.
  void refuse_infinite(Handle n) const {
    if (!eq(get(n, K::type), K::name_node)) return;
    Ref name = get(n, K::value);
    if (!is_str(name) || !infinite_.count(std::string(utf8(name)))) return;
    fail("Unsupported use of '" + std::string(utf8(name)) + "', whose value is infinity: it means no bound only as " +
         "the bound of a single variable, as in 'x <= " + std::string(utf8(name)) + "'; elsewhere give it a finite value");
  }

  // Their declarations and values go: no row reads them any more.
  void drop_infinite_parameters() {
    if (infinite_.empty()) return;
    Ref kept = new_list();
    for (Ref& decl : Iterate(declarations_)) {
      Ref name = get(decl, K::name);
      bool infinite = is_str(name) && infinite_.count(std::string(utf8(name)));
      if (!infinite) append(kept, decl);
      if (infinite && contains(data_, name)) check_status(PyDict_DelItem(data_.get(), name.get()));
    }
    check_status(PyList_SetSlice(declarations_.get(), 0, len(declarations_), kept.get()));
  }

  // The parts of a filter joined by &&, each a condition the body is only reached under.
  void add_conjuncts(Handle filter) {
    RecursionGuard guard(" while instantiating expressions");
    Ref type = get(filter, K::type);
    if (eq(type, K::parenthesized_expression)) return add_conjuncts(item(filter, K::expression));
    if (eq(type, K::and_)) {
      add_conjuncts(item(filter, K::left));
      add_conjuncts(item(filter, K::right));
      return;
    }
    if (!mentions_decision_variable(filter)) filters_.push_back(Ref::borrow(filter));
  }

  // The conjunction of the filters around a computed value that use no other iterators than
  // `free`: its table is only read where they hold, so only there need it be computed (a
  // division guarded by `d[i] != 0` must not fail at i where d[i] is 0).
  Ref guard_for(const std::vector<const ScopeEntry*>& free) {
    Ref guard;
    for (const Ref& filter : filters_) {
      std::vector<const ScopeEntry*> used = free_iterators(filter);
      bool covered = std::all_of(used.begin(), used.end(), [&](const ScopeEntry* e) {
        return std::any_of(free.begin(), free.end(), [&](const ScopeEntry* f) { return f->name == e->name; });
      });
      if (!covered) continue;
      guard = guard ? node(K::and_, {{K::left, guard}, {K::right, filter}}) : filter.copy();
    }
    return guard;
  }

  bool mentions_decision_variable(Handle tree) const {
    std::set<std::string> names;
    collect_names(tree, names);
    for (const std::string& name : names) {
      auto decl = env_.declarations.find(name);
      if (decl == env_.declarations.end()) continue;
      Ref type = get(decl->second, K::type);
      if (eq(type, K::dvar) || eq(type, K::dvar_indexed)) return true;
    }
    return false;
  }

  // next(R, e) and prev(R, e) over a declared range R are e + 1 and e - 1, which both
  // generators translate anywhere, subscripts included; empty for anything else.
  Ref step_in_range(Handle n) {
    Ref name = get(n, K::name), args = get(n, K::args);
    if (!eq(get(n, K::type), K::funcall) || !is_str(name) || !is_list(args) || len(args) != 2) return {};
    if (utf8(name) != "next" && utf8(name) != "prev") return {};
    Ref set = item(args, 0);
    if (!eq(get(set, K::type), K::name_node)) return {};
    auto decl = env_.declarations.find(text(get(set, K::value)));
    if (decl == env_.declarations.end()) return {};
    Ref type = get(decl->second, K::type);
    if (!eq(type, K::range_declaration_inline) && !eq(type, K::range_declaration_external)) return {};
    Ref element = node(K::parenthesized_expression, {{K::expression, item(args, 1)}});
    return node(K::binop, {{K::op, py_str(utf8(name) == "next" ? "+" : "-")}, {K::left, element},
                           {K::right, node(K::number, {{K::value, py_int(1)}})}});
  }

  // A table of computed values cannot be a subscript in the gurobipy script.
  void subscripts_computable(Handle indexed) {
    Ref dims = get(indexed, K::dimensions);
    if (!is_list(dims)) return;
    for (Ref& sub : Iterate(dims)) {
      if (!is_dict(sub) || step_in_range(sub)) continue;
      std::string construct = uncompiled_construct(sub);
      if (!construct.empty() && !free_iterators(sub).empty()) {
        fail("Unsupported '" + construct + "' over iterators in a subscript of '" + text(get(indexed, K::name)) +
             "': compute the subscripts in a declaration, or iterate over them directly");
      }
    }
  }

  // The construct a data expression uses that the generators do not translate, or "".
  static std::string uncompiled_construct(Handle n) {
    Ref type = get(n, K::type);
    if (eq(type, K::prod) || eq(type, K::min_agg) || eq(type, K::max_agg)) {
      return eq(type, K::prod) ? "prod" : eq(type, K::min_agg) ? "min" : "max";
    }
    if (eq(type, K::binop)) {
      Ref op = get(n, K::op);
      if (is_str(op) && (utf8(op) == "%" || utf8(op) == "div")) return utf8(op) == "%" ? "mod" : "div";
    }
    if (eq(type, K::funcall)) {
      Ref name = get(n, K::name), args = get(n, K::args);
      if (is_str(name) && !(utf8(name) == "sqrt" && is_list(args) && len(args) == 1)) return std::string(utf8(name));
    }
    return "";
  }

  ScopeEntry scope_entry(Handle entry) {
    Ref range = item(entry, K::range);
    bool fixed = true;
    if (eq(get(range, K::type), K::range_specifier)) {
      for (const Key* bound : {&K::start, &K::end}) fixed = fixed && free_iterators(item(range, *bound)).empty();
    }
    return {std::string(utf8(item(entry, K::iterator))), std::move(range), fixed};
  }

  // The iterators in scope that `tree` mentions, in scope order.
  std::vector<const ScopeEntry*> free_iterators(Handle tree) {
    std::set<std::string> names;
    collect_names(tree, names);
    std::vector<const ScopeEntry*> free;
    for (auto it = scope_.rbegin(); it != scope_.rend(); ++it) {
      bool shadowed = std::any_of(free.begin(), free.end(), [&](const ScopeEntry* e) { return e->name == it->name; });
      if (!shadowed && names.count(it->name)) free.insert(free.begin(), &*it);
    }
    return free;
  }

  // The value of `n`: a constant, or a reference to a table of its values over the ranges of
  // the iterators it uses.
  Ref computed_value(Handle n, const std::string& construct) {
    std::vector<const ScopeEntry*> free = free_iterators(n);
    std::string where = "'" + construct + "' at line " + std::to_string(line_);
    for (const ScopeEntry* e : free) {
      if (!e->fixed) {
        fail("Unsupported " + where + ": it uses the iterator '" + e->name + "', whose range depends on another "
             "iterator; compute the values in a declaration such as 'float v[i in I][j in J] = ...;'");
      }
    }
    env_.site = {-1, line_};
    env_.declaration_site = where;
    env_.compile_line = line_;
    Ref value;
    if (free.empty()) {
      value = constant_node(evaluate(n), where);
    } else {
      Ref dims = new_list(), entries = new_list(), subscripts = new_list();
      for (const ScopeEntry* e : free) {
        append(dims, dimension_of(e->range));
        Ref entry = new_dict();
        set_item(entry, K::iterator, py_str(e->name));
        set_item(entry, K::range, e->range);
        append(entries, entry);
        append(subscripts, node(K::name_reference_index, {{K::name, py_str(e->name)}}));
      }
      Ref name = py_str("_" + construct + "_" + std::to_string(++computed_count_));
      Ref decl = node(K::parameter_computed_indexed, {{K::name, name}, {K::dimensions, dims}, {K::iterators, entries},
                                                      {K::expression, n}, {K::value_type, py_str("")}});
      if (Ref guard = guard_for(free)) set_item(decl, K::index_constraint, guard);
      Ref core = node(K::parameter_external_explicit_indexed, {{K::name, name}, {K::dimensions, dims},
                                                              {K::value_type, py_str("float")},
                                                              {K::lineno, py_int(line_)}});
      set_item(data_, name, table(decl, where, ""));
      append(declarations_, core);
      env_.register_declaration(core);
      value = node(K::indexed_name, {{K::name, name}, {K::dimensions, subscripts}});
    }
    env_.declaration_site.clear();
    return value;
  }

  Ref constant_node(const Value& v, const std::string& where) {
    if (v.kind == Value::Kind::Str) return node(K::string_literal, {{K::value, py_str(env_.interner.text_of(v))}});
    if (!v.is_num() || !std::isfinite(v.num)) fail("Unsupported value " + env_.value_text(v) + " of " + where);
    return node(K::number, {{K::value, python_value(v, "", where)}});
  }

  // The dimension an iterator's range spans, with the bounds of a declared range.
  Ref dimension_of(Handle range) {
    Ref type = item(range, K::type);
    if (eq(type, K::range_specifier)) {
      return node(K::range_index, {{K::start, item(range, K::start)}, {K::end, item(range, K::end)}});
    }
    Ref name = item(range, K::name);
    if (!eq(type, K::named_range)) return node(K::named_set_dimension, {{K::name, name}});
    Ref dim = node(K::named_range_dimension, {{K::name, name}});
    auto decl = env_.declarations.find(std::string(utf8(name)));
    if (decl != env_.declarations.end() && eq(get(decl->second, K::type), K::range_declaration_inline)) {
      set_item(dim, K::start, item(decl->second, K::start));
      set_item(dim, K::end, item(decl->second, K::end));
    }
    return dim;
  }

  [[noreturn]] void fail(const std::string& message) const { throw ModelError{message, line_}; }

  const Source& source_;
  Handle tree_;
  Ref data_;
  Ref declarations_;
  Ref post_declarations_;  // syntax nodes of the declarations that read the solution, in file order
  Ref env_root_;
  lpsparse::Model env_;
  Ref constraints_;  // the lowered constraints, when the tree has a list of them
  Ref objective_;
  std::vector<Value> solution_;    // after_solve: the value of every declared column
  script::BlockRunner scripts_;
  std::vector<ScopeEntry> scope_;  // iterators around the node being lowered, innermost last
  std::vector<Ref> filters_;       // the conjuncts of their filters
  std::set<std::string> infinite_;  // scalar parameters computed as infinity or -infinity
  Ref dropped_ = new_dict();        // what data_values returns for a constraint that goes
  int computed_count_ = 0;
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

Ref evaluate_after_solve(const Source& source, Handle tree, Handle data, Handle solution) {
  return Instantiation(source, tree, data).after_solve(solution);
}

}  // namespace oplparse
