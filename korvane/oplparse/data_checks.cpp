// Checks of the data read from a .dat file against the declarations of the model: the values of
// int parameters are integers, and the keys of keyed arrays (parameters and tuple arrays) are
// elements of the declared index sets. The .dat parser knows no declarations and the model parser no data; here they meet, with
// the locations the .dat parser recorded, so that each fault points at its line in the .dat file.
// Index sets are taken as the model or the data state them (inline elements, a set from the data,
// a range whose bounds are numbers or int parameters); a set computed any other way is not checked.
#include <cmath>
#include <optional>

#include "common/flat_pairs.hpp"
#include "source.hpp"

namespace oplparse {
namespace {

// The elements of one dimension: a set of values (tuples written <...> as Python tuples), or an
// integer range.
struct IndexSet {
  std::string name;
  Ref elements;  // a Python set; empty for a range
  long long lo = 1, hi = 0;
  bool tuples = false;  // its elements are tuples, so a tuple key is one element, not several

  bool contains(Handle key) const {
    if (elements) {
      int found = PySet_Contains(elements.get(), key.get());
      check_status(found);
      return found == 1;
    }
    if (is_bool(key) || !(is_int(key) || is_float(key))) return false;
    double v = as_double(key);
    return v == std::floor(v) && v >= static_cast<double>(lo) && v <= static_cast<double>(hi);
  }
};

// A value as a set element: lists (tuples written <...>) become tuples.
Ref hashable(Handle value) {
  if (!is_list(value)) return Ref::borrow(value);
  RecursionGuard guard(" while checking .dat data");
  Ref items = new_list();
  for (Ref& item : Iterate(value)) append(items, hashable(item));
  return check(PyList_AsTuple(items.get()));
}

bool is_integer_value(Handle v) {
  if (is_int(v)) return true;  // bools too
  if (!is_float(v)) return false;
  double d = as_double(v);
  return std::isfinite(d) && d == std::floor(d);
}

class DataChecker {
 public:
  DataChecker(const Source& source, const DataLocations& where, Handle tree, Handle data)
      : source_(source), where_(where), data_(data) {
    Ref none_given = new_list();
    declarations_ = get(tree, K::declarations, none_given);
    for (Ref& decl : Iterate(declarations_)) {
      if (!is_dict(decl)) continue;
      if (Ref name = get(decl, K::name); is_str(name)) by_name_.try_emplace(std::string(utf8(name)), decl.get());
      if (eq(get(decl, K::type), K::tuple_set_field)) {
        Py_ssize_t position = PyLong_AsSsize_t(item(decl, K::position).get());
        set_fields_[text_of(decl, K::owner_type)].emplace_back(position, text_of(decl, K::field));
      }
    }
  }

  void run() {
    for (Ref& decl : Iterate(declarations_)) {
      if (!is_dict(decl)) continue;
      std::string kind = text_of(decl, K::type), name = text_of(decl, K::name);
      Ref value = get(data_, py_str(name));
      if (is_none(value)) continue;
      // Only keyed data has keys to check: the index sets (as large as the data) are built for it alone.
      bool keyed = is_dict(value);
      std::vector<std::optional<IndexSet>> sets;
      if (starts_with(kind, "parameter_")) {
        std::string type = text_of(decl, K::value_type);
        check_value_types(name, type, value, "Parameter '" + name + "' is declared " + type);
        if (type == "int" || type == "int+") check_integers(name, value);
        Ref dims = get(decl, K::dimensions);
        if (keyed && is_list(dims)) {
          for (Ref& dim : Iterate(dims)) sets.push_back(is_dict(dim) ? index_set(dim) : std::nullopt);
        }
      } else if (starts_with(kind, "tuple_array")) {
        if (keyed) sets.push_back(named_set(text_of(decl, K::index_set)));
        check_tuple_sizes(name, text_of(decl, K::tuple_type), value);
      } else if (starts_with(kind, "set_of_tuples")) {
        check_tuple_sizes(name, text_of(decl, K::tuple_type), value);
      } else if (kind == "set_array" && is_list(get(decl, K::dimensions))) {
        std::string type = text_of(decl, K::element_type);
        check_set_array(name, type, value, len(get(decl, K::dimensions)));
        check_value_types(name, type, value, "Set array '" + name + "' is declared {" + type + "}", type == "int");
      } else if (kind == "typed_set_external") {
        std::string type = text_of(decl, K::element_type);
        check_value_types(name, type, value, "Set '" + name + "' is declared {" + type + "}", type == "int");
      }
      if (!sets.empty()) check_keys(name, value, sets);
    }
  }

 private:
  static std::string text_of(Handle node, const Key& key) {
    Ref v = get(node, key);
    return is_str(v) ? std::string(utf8(v)) : std::string();
  }

  static bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

  [[noreturn]] void fail(const std::string& message, const std::string& name, std::size_t index = SIZE_MAX) const {
    std::size_t at = where_.offset_of(name, index);
    if (at == SIZE_MAX) source_.fail(message, 0);
    source_.fail_at(message, at);
  }

  // ---- int parameters ----

  void check_integers(const std::string& name, Handle value) {
    bool pairs = is_flat_pairs(value);  // [a 1 b 2]: only every second item is a value
    for_each_item(value, [&](Handle v, std::size_t at) {
      if (pairs && at % 2 == 0) return;
      if (Ref bad = first_leaf(v, [](Handle x) { return !is_integer_value(x); })) {
        fail("Parameter '" + name + "' is declared int but its data holds " + repr_text(bad) +
                 ", which is not an integer Hint: write whole numbers for an int parameter, or declare it float.",
             name, at);
      }
    });
  }

  // Calls `check_one(item, index)` for each item of a list or keyed array (the index that
  // locates it in the .dat file), or once for a scalar.
  template <typename CheckOne>
  static void for_each_item(Handle value, const CheckOne& check_one) {
    if (!is_list(value) && !is_dict(value)) return check_one(value, SIZE_MAX);
    Ref values = is_dict(value) ? check(PyDict_Values(value.get())) : Ref::borrow(value);
    std::size_t index = 0;
    for (Ref& v : Iterate(values)) check_one(v, index++);
  }

  // ---- the kinds of values ----

  // The first value under `value` (through lists and keyed arrays) for which `bad` holds.
  template <typename Bad>
  static Ref first_leaf(Handle value, const Bad& bad) {
    RecursionGuard guard(" while checking .dat data");
    if (is_list(value) || is_dict(value)) {
      Ref values = is_dict(value) ? check(PyDict_Values(value.get())) : Ref::borrow(value);
      for (Ref& v : Iterate(values)) {
        if (Ref found = first_leaf(v, bad)) return found;
      }
      return Ref();
    }
    return bad(value) ? Ref::borrow(value) : Ref();
  }

  // A number where a number is declared and a string where a string is: an unquoted name is a
  // string, so `float p = abc;` is caught here as `float p = "abc";` is. Booleans are not numbers.
  // `declared` says what `name` is, as in "Parameter 'p' is declared float" or "Set 'S' is
  // declared {int}"; the elements of a set of int must also be whole numbers.
  void check_value_types(const std::string& name, const std::string& type, Handle value,
                         const std::string& declared, bool whole = false) {
    bool numeric = starts_with(type, "int") || starts_with(type, "float");
    if (!numeric && type != "string") return;
    // [a 1 b 2] is keys and their numbers: the names are keys, not values of the parameter.
    if (numeric && is_flat_pairs(value)) return;
    auto mismatched = [&](Handle v) {
      bool number = !is_bool(v) && (is_int(v) || is_float(v));
      return numeric ? !number || (whole && !is_integer_value(v)) : !is_str(v);
    };
    for_each_item(value, [&](Handle v, std::size_t at) {
      Ref bad = first_leaf(v, mismatched);
      if (!bad) return;
      std::string held = is_bool(bad) ? (truthy(bad) ? "true" : "false") : repr_text(bad);
      std::string what = is_str(bad)    ? "a name or string"
                         : is_bool(bad) ? "a boolean"
                         : numeric      ? "not an integer"
                                        : "a number";
      fail(declared + " but its data holds " + held + ", which is " + what + " Hint: write " +
               (numeric ? whole ? "whole numbers" : "numbers" : "quoted strings") + " for '" + name + "'.",
           name, at);
    });
  }

  // Each tuple of a set of tuples or a tuple array has as many fields as its type declares.
  // `at` is the item of the assignment to point at, when the tuples are not its items themselves.
  void check_tuple_sizes(const std::string& name, const std::string& tuple_type, Handle value,
                         std::size_t at = SIZE_MAX) {
    auto decl = by_name_.find(tuple_type);
    if (decl == by_name_.end() || (!is_list(value) && !is_dict(value))) return;
    Ref fields = get(decl->second, K::fields);
    if (!is_list(fields)) return;
    // Set-valued fields are written in the tuples too, though the type keeps them apart.
    const std::vector<std::pair<Py_ssize_t, std::string>>& set_fields = set_fields_[tuple_type];
    Py_ssize_t declared = len(fields) + static_cast<Py_ssize_t>(set_fields.size());
    Ref tuples = is_dict(value) ? check(PyDict_Values(value.get())) : Ref::borrow(value);
    std::size_t index = 0;
    for (Ref& tuple : Iterate(tuples)) {
      if (is_list(tuple) && len(tuple) != declared) {
        fail("Tuple <" + tuple_text(tuple) + "> of '" + name + "' has " + std::to_string(len(tuple)) +
                 " field(s) but tuple '" + tuple_type + "' declares " + std::to_string(declared) +
                 " Hint: give every tuple of '" + name + "' one value per field, in the order of the declaration.",
             name, at == SIZE_MAX ? index : at);
      }
      for (const auto& [position, field] : set_fields) {
        Ref set = is_list(tuple) ? item(tuple, position) : Ref();
        if (set && !is_list(set) && !(is_dict(set) && is_list(get(set, K::elements)))) {
          fail("Tuple <" + tuple_text(tuple) + "> of '" + name + "' gives no set for its field '" + field +
                   "'. Hint: write the field's set in the tuple, as in <a, {b, c}>, or {} for none.",
               name, at == SIZE_MAX ? index : at);
        }
      }
      ++index;
    }
  }

  static std::string tuple_text(Handle tuple) {
    std::string written;
    for (Ref& field : Iterate(tuple)) {
      if (!written.empty()) written += ' ';
      written += repr_text(field);
    }
    return written;
  }

  // The sets of an array of sets of tuples, one level of lists or keyed arrays per dimension.
  void check_set_array(const std::string& name, const std::string& tuple_type, Handle value, Py_ssize_t dims,
                       std::size_t index = SIZE_MAX) {
    if (!by_name_.count(tuple_type) || (!is_list(value) && !is_dict(value))) return;
    if (dims == 0) return check_tuple_sizes(name, tuple_type, value, index);
    RecursionGuard guard(" while checking .dat data");
    Ref sets = is_dict(value) ? check(PyDict_Values(value.get())) : Ref::borrow(value);
    std::size_t k = 0;
    for (Ref& set : Iterate(sets)) {
      check_set_array(name, tuple_type, set, dims - 1, index == SIZE_MAX ? k : index);
      ++k;
    }
  }

  // ---- keys of keyed arrays ----

  std::optional<long long> integer_of(Handle expression) const {
    if (!is_dict(expression)) return std::nullopt;
    std::string type = text_of(expression, K::type);
    Ref value;
    if (type == "number") {
      value = get(expression, K::value);
    } else if (type == "name") {
      std::string name = text_of(expression, K::value);
      value = get(data_, py_str(name));
      auto decl = by_name_.find(name);
      if (is_none(value) && decl != by_name_.end()) value = get(decl->second, K::value);
    }
    if (!value || is_bool(value) || !is_int(value)) return std::nullopt;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow != 0) return std::nullopt;
    return n;
  }

  std::optional<IndexSet> index_set(Handle dim) const {
    std::string type = text_of(dim, K::type);
    IndexSet set;
    set.name = text_of(dim, K::name);
    if (contains(dim, K::start) && contains(dim, K::end)) {
      auto lo = integer_of(item(dim, K::start)), hi = integer_of(item(dim, K::end));
      if (!lo || !hi) return std::nullopt;
      set.lo = *lo;
      set.hi = *hi;
      if (set.name.empty()) set.name = std::to_string(*lo) + ".." + std::to_string(*hi);
      return set;
    }
    if (type != "named_set_dimension") return std::nullopt;
    return named_set(set.name);
  }

  // The elements of the set declared as `name`, when the model or the data list them.
  std::optional<IndexSet> named_set(const std::string& name) const {
    IndexSet set;
    set.name = name;
    auto decl = by_name_.find(name);
    if (decl == by_name_.end()) return std::nullopt;
    Ref elements = get(decl->second, K::value);
    if (!is_list(elements)) elements = get(data_, py_str(set.name));
    if (!is_list(elements)) return std::nullopt;
    set.tuples = starts_with(text_of(decl->second, K::type), "set_of_tuples");
    set.elements = check(PySet_New(nullptr));
    for (Ref& element : Iterate(elements)) check_status(PySet_Add(set.elements.get(), hashable(element).get()));
    return set;
  }

  void check_keys(const std::string& name, Handle value, const std::vector<std::optional<IndexSet>>& sets) {
    Py_ssize_t pos = 0;
    PyObject *key, *entry;
    for (std::size_t index = 0; PyDict_Next(value.get(), &pos, &key, &entry); ++index) {
      check_level(name, key, entry, sets, 0, index);
    }
  }

  // A key at dimension `level` and what it maps to; a tuple key spreads over several dimensions
  // unless the dimension's own elements are tuples.
  void check_level(const std::string& name, Handle key, Handle entry, const std::vector<std::optional<IndexSet>>& sets,
                   std::size_t level, std::size_t index) {
    RecursionGuard guard(" while checking .dat data");
    if (level >= sets.size()) return;
    std::vector<Ref> parts;
    bool spread = is_tuple(key) && !(sets[level] && sets[level]->tuples);
    if (spread) {
      for (Ref& part : Iterate(key)) parts.push_back(std::move(part));
    } else {
      parts.push_back(Ref::borrow(key));
    }
    for (std::size_t i = 0; i < parts.size() && level + i < sets.size(); ++i) {
      const std::optional<IndexSet>& set = sets[level + i];
      if (set && !set->contains(parts[i])) {
        fail("Key " + repr_text(parts[i]) + " of '" + name + "' is not an element of its index set '" +
                 set->name + "' Hint: add the element to '" + set->name + "' or remove the entry.",
             name, index);
      }
    }
    if (!is_dict(entry)) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(entry.get(), &pos, &k, &v)) check_level(name, k, v, sets, level + parts.size(), index);
  }

  const Source& source_;
  const DataLocations& where_;
  Handle data_;
  Ref declarations_;
  std::unordered_map<std::string, PyObject*> by_name_;  // borrowed from declarations_
  // tuple type -> its set-valued fields: their places among the fields as written, and names
  std::unordered_map<std::string, std::vector<std::pair<Py_ssize_t, std::string>>> set_fields_;
};

}  // namespace

void check_data(const Source& data_source, const DataLocations& where, Handle tree, Handle data) {
  if (!is_dict(tree) || !is_dict(data)) return;
  DataChecker(data_source, where, tree, data).run();
}

}  // namespace oplparse
