// The bridge between scripts and the model's data. Reads go through the data environment of
// instantiation, so a script sees exactly the values the model uses. A write changes the data
// dictionary (which the generators receive) and then the environment: in place where the change
// keeps every cached structure valid (a scalar, an element of a parameter), otherwise by
// rebuilding the environment from the declarations before the next read (a set that grows).
#include <algorithm>
#include <cmath>

#include "script.hpp"

namespace oplparse::script {
namespace {

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}
bool is_parameter_type(const std::string& t) {
  return starts_with(t, "parameter_");
}
bool is_set_type(const std::string& t) {
  return t == "typed_set" || t == "typed_set_external" || t == "set_of_tuples" || t == "set_of_tuples_external";
}
bool is_range_type(const std::string& t) {
  return starts_with(t, "range_declaration");
}
Ref key_str(std::string_view s) {
  return py_str(s);
}

}  // namespace

std::string ScriptData::type_of(const std::string& name) {
  auto it = env_.declarations.find(name);
  if (it == env_.declarations.end()) return "";
  Ref type = get(it->second, key_str("type"));
  return is_str(type) ? std::string(utf8(type)) : "";
}

std::size_t ScriptData::arity_of(const std::string& name) {
  auto it = env_.declarations.find(name);
  if (it == env_.declarations.end()) return 0;
  if (type_of(name) == "tuple_array_external") return 1;
  Ref dims = get(it->second, key_str("dimensions"));
  return is_list(dims) ? static_cast<std::size_t>(len(dims)) : 0;
}

std::string ScriptData::value_type(const std::string& name) {
  Ref type = get(env_.declarations.at(name), key_str("value_type"));
  return is_str(type) ? std::string(utf8(type)) : "";
}

void ScriptData::refresh() {
  if (!stale_) return;
  std::size_t limit = env_.term_limit;
  env_ = lpsparse::Model(env_root_, data_);
  env_.term_limit = limit;
  for (Ref& decl : Iterate(declarations_)) env_.register_declaration(decl);
  stale_ = false;
}

std::optional<Value> ScriptData::global(const std::string& name, int line) {
  refresh();
  std::string type = type_of(name);
  if (type.empty()) return std::nullopt;
  fill_undefined(name, line);
  std::size_t arity = arity_of(name);
  if (is_parameter_type(type) && arity == 0) {
    std::optional<lpsparse::Value> v = env_.scalar_named(name, line);
    if (!v) throw ModelError{"Parameter '" + name + "' has no value", line};
    return from_env(*v);
  }
  if (is_parameter_type(type) || is_set_type(type) || is_range_type(type) || type == "tuple_array_external") {
    return Value::data(name);
  }
  if (type == "dvar" || type == "dvar_indexed") {
    if (!has_solution()) {
      throw ModelError{"Decision variable '" + name + "' has no value " +
                           (solution_ ? std::string("without a solution")
                                      : "before the solve: read it in an execute block after the constraints"),
                       line};
    }
    return arity == 0 ? solution_value(name, {}, line) : Value::data(name);
  }
  throw ModelError{"Reading the " + (type == "tuple_type" ? std::string("tuple type") : "decision expression") + " '" +
                       name + "' is not supported in script blocks",
                   line};
}

bool ScriptData::is_set(const Value& data) {
  std::string type = type_of(*data.str);
  return data.key->empty() && (is_set_type(type) || is_range_type(type));
}

const lpsparse::Table& ScriptData::table(const std::string& name, int line) {
  const lpsparse::Table* t = env_.table_named(name);
  if (t == nullptr) throw ModelError{"Parameter '" + name + "' has no values", line};
  return *t;
}

Value ScriptData::subscript(const Value& data, const Value& key, int line) {
  refresh();
  const std::string& name = *data.str;
  std::vector<Value> full = *data.key;
  full.push_back(key);
  std::size_t arity = arity_of(name);
  if (is_set(data) || full.size() > arity) {
    throw ModelError{"'" + name + "' takes " + std::to_string(arity) + " subscripts, not " + std::to_string(full.size()),
                     line};
  }
  if (full.size() < arity) return Value::data(name, std::move(full));
  std::string type = type_of(name);
  if (type == "dvar_indexed") return solution_value(name, full, line);
  std::vector<lpsparse::Value> env_key;
  for (const Value& k : full) env_key.push_back(to_env(k));
  const lpsparse::Value* found = nullptr;
  if (type == "tuple_array_external") {
    const lpsparse::Table* records = env_.records_named(name);
    found = records == nullptr ? nullptr : records->find(env_key);
  } else {
    found = table(name, line).find(env_key);
  }
  if (found == nullptr) {
    std::string at;
    for (const Value& k : full) at += "[" + to_text(k, this) + "]";
    throw ModelError{"'" + name + at + "' has no value: " + at.substr(1, at.size() - 2) + " is not an index of '" +
                         name + "'",
                     line};
  }
  Value v = from_env(*found);
  if (type == "tuple_array_external" && v.is(Value::K::Tup)) {
    v.tup->origin = name;
    v.tup->where = std::move(full);
  }
  return v;
}

std::vector<Value> ScriptData::elements(const Value& data, int line) {
  refresh();
  const std::string& name = *data.str;
  std::vector<Value> out;
  if (!is_set(data)) {
    // An array of data or of variables: the elements of the dimension its next subscript runs over.
    std::string type = type_of(name);
    Ref dims = get(env_.declarations.at(name), key_str("dimensions"));
    std::size_t level = data.key->size();
    if ((!is_parameter_type(type) && type != "dvar_indexed") || !is_list(dims) || level >= static_cast<std::size_t>(len(dims))) {
      throw ModelError{"'" + name + "' is not a set", line};
    }
    lpsparse::Domain d = env_.dimension(item(dims, static_cast<Py_ssize_t>(level)), name, line);
    for (std::size_t i = 0; i < d.size(); ++i) out.push_back(from_env(d.at(i)));
    return out;
  }
  std::optional<lpsparse::Domain> domain = env_.domain_named(name, line);
  if (!domain) throw ModelError{"'" + name + "' has no elements", line};
  for (std::size_t i = 0; i < domain->size(); ++i) out.push_back(from_env(domain->at(i)));
  return out;
}

Value ScriptData::from_env(const lpsparse::Value& v) {
  switch (v.kind) {
    case lpsparse::Value::Kind::Num:
      return Value::number(v.num);
    case lpsparse::Value::Kind::Str:
      return Value::string(env_.interner.text_of(v));
    case lpsparse::Value::Kind::Tup:
      break;
  }
  auto tuple = std::make_shared<Tuple>();
  int type = env_.interner.type_of(v);
  if (type >= 0) tuple->fields = env_.tuple_types[static_cast<std::size_t>(type)].fields;
  for (const lpsparse::Value& item : env_.interner.items_of(v)) tuple->items.push_back(from_env(item));
  Value out{Value::K::Tup};
  out.tup = std::move(tuple);
  return out;
}

lpsparse::Value ScriptData::to_env(const Value& v) {
  switch (v.k) {
    case Value::K::Num:
    case Value::K::Bool:
      return lpsparse::Value::number(v.num, v.num == std::floor(v.num));
    case Value::K::Str:
      return env_.interner.string(*v.str);
    case Value::K::Tup: {
      std::vector<lpsparse::Value> items;
      for (const Value& item : v.tup->items) items.push_back(to_env(item));
      return env_.interner.tuple(std::move(items), -1);
    }
    default:
      throw ModelError{"The value " + to_text(v, this) + " cannot index or be part of the model's data"};
  }
}

// ---- the solution ----

Value ScriptData::solution_value(const std::string& name, const std::vector<Value>& key, int line) {
  std::string column = name;
  if (!key.empty()) {
    column += "[";
    for (std::size_t i = 0; i < key.size(); ++i) column += (i > 0 ? "," : "") + env_.value_text(to_env(key[i]));
    column += "]";
  }
  Ref value = get(solution_, key_str(column));
  if (!is_number(value)) throw ModelError{"The solution has no value for '" + column + "'", line};
  return Value::number(as_double(value));
}

// ---- writes ----

// A value for the data dictionary as the .dat file would give it for the declared type.
Ref ScriptData::python_value(const Value& v, const std::string& type, const std::string& owner, int line) {
  bool number = v.is(Value::K::Num) || v.is(Value::K::Bool);
  bool integral = number && std::isfinite(v.num) && v.num == std::floor(v.num) && std::fabs(v.num) < 9.0e15;
  if (number && starts_with(type, "float") && std::isfinite(v.num)) return py_float(v.num);
  if (integral && starts_with(type, "int")) return py_int(static_cast<long long>(v.num));
  if (number && type == "boolean") return py_bool(v.num != 0.0);
  if (v.is(Value::K::Str) && type == "string") return py_str(*v.str);
  if (type.empty() || type == "tuple") {
    if (integral) return py_int(static_cast<long long>(v.num));
    if (number && std::isfinite(v.num)) return py_float(v.num);
    if (v.is(Value::K::Str)) return py_str(*v.str);
    if (v.is(Value::K::Tup)) {
      Ref items = new_list();
      for (const Value& item : v.tup->items) append(items, python_value(item, "", owner, line));
      return items;
    }
  }
  throw ModelError{"Type mismatch in a script: '" + owner + "' is declared " + (type.empty() ? "data" : type) +
                       " but the script assigns " + (v.is(Value::K::Str) ? "'" + *v.str + "'" : to_text(v, this)),
                   line};
}

// A parameter declared without a value (`float w[I];`, not `= ...`) that the data does not
// give is there for scripts to fill: it starts as zeros ("" for strings), as OPL's do.
void ScriptData::fill_undefined(const std::string& name, int line) {
  std::string type = type_of(name);
  if (type != "parameter_external" && type != "parameter_external_indexed") return;
  if (contains(data_, key_str(name)) || contains(data_, key_str(name + "__map"))) return;
  Ref dims = get(env_.declarations.at(name), key_str("dimensions"));
  set_item(data_, key_str(name), is_list(dims) ? default_values(dims, 0, name, line) : default_values(none(), 0, name, line));
  owned_[name] = true;
}

Ref ScriptData::default_values(Handle dims, std::size_t level, const std::string& name, int line) {
  if (is_none(dims) || level == static_cast<std::size_t>(len(dims))) {
    std::string type = value_type(name);
    if (type == "string") return py_str("");
    if (type == "boolean") return py_bool(false);
    return starts_with(type, "float") ? py_float(0.0) : py_int(0);
  }
  lpsparse::Domain d = env_.dimension(item(dims, static_cast<Py_ssize_t>(level)), name, line);
  Ref values = new_list();
  for (std::size_t i = 0; i < d.size(); ++i) append(values, default_values(dims, level + 1, name, line));
  return values;
}

// The data dictionary's entry for `name`, copied before its first change: the caller's
// dictionary shares its lists, and they must not change.
Ref ScriptData::owned_entry(const std::string& name, int line) {
  Ref key = key_str(name);
  if (contains(data_, key_str(name + "__map"))) {
    throw ModelError{"Changing '" + name + "', whose data is given as a map, is not supported in script blocks", line};
  }
  if (!owned_[name]) {
    Ref current = get(data_, key);
    if (is_none(current)) current = get(env_.declarations.at(name), key_str("value"));
    // A set declared without elements (`{int} S;`) starts empty for the script to fill.
    if (is_none(current) && is_set_type(type_of(name))) current = new_list();
    if (is_none(current)) throw ModelError{"'" + name + "' has no data to change", line};
    set_item(data_, key, deep_copy(current));
    owned_[name] = true;
  }
  return item(data_, key);
}

void ScriptData::assign_scalar(const std::string& name, const Value& v, int line) {
  refresh();
  std::string type = type_of(name);
  if (!is_parameter_type(type) || arity_of(name) != 0) {
    throw ModelError{"Assigning to '" + name + "' is not supported in script blocks: only data can be changed", line};
  }
  set_item(data_, key_str(name), python_value(v, value_type(name), name, line));
  env_.scalars.erase(name);
  env_.ranges.clear();  // their bounds may read the scalar
}

void ScriptData::assign_element(const Value& data, const Value& key, const Value& v, int line) {
  refresh();
  const std::string& name = *data.str;
  std::vector<Value> full = *data.key;
  full.push_back(key);
  std::string type = type_of(name);
  if (!is_parameter_type(type) || full.size() != arity_of(name)) {
    throw ModelError{"Assigning to an element of '" + name + "' is not supported in script blocks: only elements of "
                     "arrays of data can be changed",
                     line};
  }
  Ref node = owned_entry(name, line);
  const lpsparse::Table& t = table(name, line);
  std::vector<lpsparse::Value> env_key;
  for (const Value& k : full) env_key.push_back(to_env(k));
  for (std::size_t i = 0; i < t.dims.size() && i < env_key.size(); ++i) {
    if (t.dims[i].position(env_key[i]) < 0) {
      throw ModelError{"'" + name + "' has no element " + to_text(full[i], this) + " in its dimension '" +
                           t.dims[i].name + "'",
                       line};
    }
  }
  if (!t.is_dense && is_list(node)) {  // [key value key value ...]: the same entries as a dictionary
    Ref pairs = new_dict();
    for (Py_ssize_t i = 0; i + 1 < len(node); i += 2) set_item(pairs, item(node, i), item(node, i + 1));
    set_item(data_, key_str(name), pairs);
    node = std::move(pairs);
  }
  Ref value = python_value(v, value_type(name), name, line);
  for (std::size_t i = 0; i < full.size(); ++i) {
    bool last = i + 1 == full.size();
    if (is_list(node)) {
      Ref at = py_int(t.dims[i].position(env_key[i]));
      if (last) {
        set_item(node, at, value);
      } else {
        node = item(node, at);
      }
    } else if (is_dict(node)) {
      Ref k = python_value(full[i], "", name, line);
      if (is_list(k)) k = check(PyList_AsTuple(k.get()));
      if (last || contains(node, k)) {
        if (last) set_item(node, k, value);
        node = last ? Ref() : item(node, k);
      } else {
        Ref rest = new_list();
        for (std::size_t j = i; j < full.size(); ++j) append(rest, python_value(full[j], "", name, line));
        set_item(node, check(PyList_AsTuple(rest.get())), value);
        break;
      }
    } else {
      throw ModelError{"The data of '" + name + "' cannot be changed by a script", line};
    }
    if (last) break;
  }
  // The environment's table takes the value in place: its shape does not change.
  auto& table_entry = env_.tables.at(name);
  lpsparse::Value stored = env_.to_value(value);
  if (table_entry->is_dense) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < table_entry->dims.size(); ++i) {
      offset = offset * table_entry->dims[i].size() + static_cast<std::size_t>(table_entry->dims[i].position(env_key[i]));
    }
    table_entry->dense[offset] = stored;
    table_entry->present[offset] = 1;
  } else {
    table_entry->keyed.insert_or_assign(env_key, stored);
  }
}

void ScriptData::assign_field(const Tuple& tuple, const std::string& field, const Value& v, int line) {
  refresh();
  if (tuple.origin.empty()) {
    throw ModelError{"Assigning to the field '" + field + "' of a set's element is not supported in script blocks: "
                     "elements of sets are read-only",
                     line};
  }
  const std::string& name = tuple.origin;
  auto at = std::find(tuple.fields.begin(), tuple.fields.end(), field);
  if (at == tuple.fields.end()) throw ModelError{"The tuples of '" + name + "' have no field '" + field + "'", line};
  auto k = at - tuple.fields.begin();
  std::string type;
  Ref tuple_type = get(env_.declarations.at(name), key_str("tuple_type"));
  auto decl = env_.declarations.find(text(tuple_type));
  if (decl != env_.declarations.end()) type = text(get(item(get(decl->second, key_str("fields")), k), key_str("type")));
  Ref value = python_value(v, type == "int" || type == "float" || type == "string" || type == "boolean" ? type : "",
                           name + "." + field, line);
  Ref entry = owned_entry(name, line);
  Ref record;
  if (is_list(entry)) {
    std::optional<lpsparse::Domain> domain = env_.domain_named(text(get(env_.declarations.at(name), key_str("index_set"))), line);
    long long p = domain ? domain->position(to_env(tuple.where[0])) : -1;
    if (p < 0) throw ModelError{"'" + name + "' has no element " + to_text(tuple.where[0], this), line};
    record = item(entry, static_cast<Py_ssize_t>(p));
    if (!is_list(record) && !is_dict(record)) {
      record = to_list(record);
      set_item(entry, py_int(p), record);
    }
  } else {
    Ref key = python_value(tuple.where[0], "", name, line);
    if (is_list(key)) key = check(PyList_AsTuple(key.get()));
    record = item(entry, key);
    if (!is_list(record) && !is_dict(record)) {
      record = to_list(record);
      set_item(entry, key, record);
    }
  }
  if (is_dict(record)) {
    set_item(record, key_str(field), value);
  } else {
    set_item(record, py_int(k), value);
  }
  env_.records.erase(name);  // read again, with the new field, when next used
}

void ScriptData::add_to_set(const Value& set, const Value& element, int line) {
  refresh();
  const std::string& name = *set.str;
  std::string type = type_of(name);
  if (!is_set_type(type) || !set.key->empty()) {
    throw ModelError{"Adding to '" + name + "' is not supported in script blocks: only declared sets grow", line};
  }
  Ref element_type = get(env_.declarations.at(name), key_str("element_type"));
  bool of_tuples = is_none(element_type);
  Ref entry = owned_entry(name, line);
  const lpsparse::SetData* data = env_.set_named(name);
  if (data != nullptr && data->position(to_env(element)) >= 0) return;  // already an element
  Ref value = python_value(element, of_tuples ? "tuple" : std::string(utf8(element_type)), name, line);
  Ref elements = is_dict(entry) ? get(entry, key_str("elements")) : Ref::borrow(entry.get());
  if (!is_list(elements)) throw ModelError{"The data of set '" + name + "' cannot be changed by a script", line};
  append(elements, value);
  stale_ = true;  // loops and dense tables over the set must see it grow
}

void ScriptData::finish() {
  refresh();
}

// ---- text ----

std::string to_text(const Value& v, ScriptData* data) {
  switch (v.k) {
    case Value::K::Undefined:
      return "undefined";
    case Value::K::Null:
      return "null";
    case Value::K::Bool:
      return v.num != 0.0 ? "true" : "false";
    case Value::K::Num:
      return number_text(v.num);
    case Value::K::Str:
      return *v.str;
    case Value::K::Builtin:
      return "[object " + *v.str + "]";
    case Value::K::Arr: {
      std::string out;
      for (std::size_t i = 0; i < v.arr->items.size(); ++i) {
        if (i > 0) out += ",";
        const Value& item = v.arr->items[i];
        if (!item.is(Value::K::Undefined) && !item.is(Value::K::Null)) out += to_text(item, data);
      }
      return out;
    }
    case Value::K::Tup: {
      RecursionGuard guard(" while writing a tuple");
      std::string out = "<";
      for (std::size_t i = 0; i < v.tup->items.size(); ++i) {
        const Value& item = v.tup->items[i];
        out += (i > 0 ? " " : "") + (item.is(Value::K::Str) ? "\"" + *item.str + "\"" : to_text(item, data));
      }
      return out + ">";
    }
    case Value::K::Data:
      break;
  }
  if (data == nullptr) return *v.str;
  RecursionGuard guard(" while writing data");
  bool set = data->is_set(v);
  std::string out = set ? "{" : "[";
  bool first = true;
  for (const Value& e : data->elements(v, 0)) {
    Value shown = set ? e : data->subscript(v, e, 0);
    out += (first ? "" : " ") + (shown.is(Value::K::Str) ? "\"" + *shown.str + "\"" : to_text(shown, data));
    first = false;
  }
  return out + (set ? "}" : "]");
}

}  // namespace oplparse::script
