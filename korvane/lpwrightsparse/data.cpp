// Declarations and data: ranges, sets, tuple sets, tuple arrays and parameters converted once
// into C++ containers, and the columns of the decision variables.
#include <bit>
#include <charconv>

#include "common/flat_pairs.hpp"
#include "model.hpp"

namespace lpsparse {

namespace {

Key kDeclarations{"declarations"};
Key kType{"type"};
Key kName{"name"};
Key kValue{"value"};
Key kElements{"elements"};
Key kDimensions{"dimensions"};
Key kStart{"start"};
Key kEnd{"end"};
Key kLineno{"lineno"};
Key kFields{"fields"};
Key kTupleType{"tuple_type"};
Key kIndexSet{"index_set"};
Key kVarType{"var_type"};

long line_of(Handle decl) {
  Ref line = get(decl, kLineno);
  return is_int(line) ? PyLong_AsLong(line.get()) : 0;
}

std::string type_of(Handle node) {
  Ref type = get(node, kType);
  return is_str(type) ? std::string(utf8(type)) : std::string();
}

std::string name_of(Handle node) {
  Ref name = get(node, kName);
  return is_str(name) ? std::string(utf8(name)) : std::string();
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool is_parameter(const std::string& type) {
  return starts_with(type, "parameter_");
}

bool is_set_type(const std::string& type) {
  return type == "set_declaration" || type == "typed_set" || type == "typed_set_external" || type == "set_of_tuples" ||
         type == "set_of_tuples_external";
}

bool is_tuple_array(const std::string& type) {
  return type == "tuple_array" || type == "tuple_array_external";
}

// Elements of a set value: a list, or a record {"elements": [...]}.
Ref set_elements(Handle value) {
  if (is_dict(value)) {
    Ref elements = get(value, kElements);
    if (!is_none(elements)) return elements;
  }
  return Ref::borrow(value);
}


}  // namespace

// ---- interning ----

namespace {

// Moves the entries of an open-addressing table into `size` slots (a power of two); `hash` gives
// an entry's hash, `empty` tells an empty slot.
template <class S, class Hash, class Empty>
void rehash(std::vector<S>& table, std::size_t size, Hash hash, Empty empty) {
  std::vector<S> bigger(size);
  for (const S& old : table) {
    if (empty(old)) continue;
    std::size_t i = hash(old) & (size - 1);
    while (!empty(bigger[i])) i = (i + 1) & (size - 1);
    bigger[i] = old;
  }
  table.swap(bigger);
}

std::size_t stored_hash(const Interner::Slot& s) {
  return s.hash;
}
bool empty_slot(const Interner::Slot& s) {
  return s.id == UINT32_MAX;
}
std::size_t object_hash(const Interner::ObjectSlot& s) {
  return mixed(reinterpret_cast<std::size_t>(s.object));
}
bool empty_object_slot(const Interner::ObjectSlot& s) {
  return s.object == nullptr;
}

// The size a table of `count` entries grows to, kept at most half full.
std::size_t table_size(std::size_t count) {
  return std::max<std::size_t>(64, std::bit_ceil(2 * (count + 1)));
}

}  // namespace

template <class Same>
Interner::Slot& Interner::find_slot(std::vector<Slot>& table, std::size_t count, std::uint32_t hash, Same same) {
  if (2 * (count + 1) > table.size()) rehash(table, table_size(count), stored_hash, empty_slot);
  std::size_t i = hash & (table.size() - 1);
  while (table[i].id != UINT32_MAX && !(table[i].hash == hash && same(table[i].id))) i = (i + 1) & (table.size() - 1);
  return table[i];
}

Value Interner::string(std::string_view text) {
  auto hash = static_cast<std::uint32_t>(std::hash<std::string_view>{}(text));
  Slot& slot = find_slot(string_slots_, strings_.size(), hash, [&](std::uint32_t id) { return strings_[id] == text; });
  if (slot.id == UINT32_MAX) {
    slot = {hash, static_cast<std::uint32_t>(strings_.size())};
    strings_.emplace_back(text);
  }
  return Value{Value::Kind::Str, false, slot.id, 0.0};
}

Value Interner::string(PyObject* exact_str) {
  if (2 * (object_count_ + 1) > object_slots_.size()) {
    rehash(object_slots_, table_size(object_count_), object_hash, empty_object_slot);
  }
  std::size_t mask = object_slots_.size() - 1;
  std::size_t i = mixed(reinterpret_cast<std::size_t>(exact_str)) & mask;
  while (object_slots_[i].object != nullptr && object_slots_[i].object != exact_str) i = (i + 1) & mask;
  if (object_slots_[i].object == nullptr) {
    Value v = string(utf8(exact_str));
    held_.push_back(Ref::borrow(exact_str));
    object_slots_[i] = {exact_str, v.id};
    ++object_count_;
  }
  return Value{Value::Kind::Str, false, object_slots_[i].id, 0.0};
}

void Interner::reserve_tuples(std::size_t more) {
  std::size_t wanted = tuples_.size() + more;
  tuples_.reserve(wanted);
  if (2 * (wanted + 1) > tuple_slots_.size()) rehash(tuple_slots_, table_size(wanted), stored_hash, empty_slot);
}

Value Interner::tuple(std::vector<Value> items, int type) {
  auto hash = static_cast<std::uint32_t>(mixed(KeyHash{}(items)));
  Slot& slot = find_slot(tuple_slots_, tuples_.size(), hash,
                         [&](std::uint32_t id) { return KeyEq::same(tuples_[id].items, items); });
  if (slot.id == UINT32_MAX) {
    slot = {hash, static_cast<std::uint32_t>(tuples_.size())};
    tuples_.push_back({std::move(items), type});
  } else if (tuples_[slot.id].type < 0) {
    tuples_[slot.id].type = type;
  }
  return Value{Value::Kind::Tup, false, slot.id, 0.0};
}

// ---- sets ----

void SetData::grow(std::size_t size) {
  std::vector<std::uint32_t> bigger(size);
  for (std::uint32_t p = 0; p < elems.size(); ++p) {
    std::size_t i = mixed(ValueHash{}(elems[p])) & (size - 1);
    while (bigger[i] != 0) i = (i + 1) & (size - 1);
    bigger[i] = p + 1;
  }
  slots_.swap(bigger);
}

void SetData::reserve(std::size_t n) {
  elems.reserve(n);
  if (2 * (n + 1) > slots_.size()) grow(table_size(n));
}

void SetData::add(const Value& v) {
  if (2 * (elems.size() + 1) > slots_.size()) grow(table_size(elems.size()));
  std::size_t mask = slots_.size() - 1;
  std::size_t i = mixed(ValueHash{}(v)) & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    if (elems[slots_[i] - 1] == v) return;
  }
  elems.push_back(v);
  slots_[i] = static_cast<std::uint32_t>(elems.size());
}

const Value* Table::find(std::span<const Value> key) const {
  if (!is_dense) {
    auto it = keyed.find(key);
    return it == keyed.end() ? nullptr : &it->second;
  }
  std::size_t offset = 0;
  for (std::size_t i = 0; i < dims.size(); ++i) {
    long long p = dims[i].position(key[i]);
    if (p < 0) return nullptr;
    offset = offset * dims[i].size() + static_cast<std::size_t>(p);
  }
  return present[offset] ? &dense[offset] : nullptr;
}

// ---- values from Python objects ----

namespace {

double finite(double v) {
  if (!std::isfinite(v)) {
    throw ModelError{"Unsupported number " + float_text(v) + " in the model or its data: only finite numbers are accepted"};
  }
  return v;
}

}  // namespace

Value Model::to_value(Handle o, int tuple_type) {
  if (PyFloat_CheckExact(o.get())) return Value::number(finite(PyFloat_AS_DOUBLE(o.get())));
  if (is_bool(o)) return Value::integer(o.get() == Py_True ? 1 : 0);
  if (is_int(o)) {
    // Integers are kept exact: one beyond 2^53 would merge with its neighbours as a double.
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    constexpr long long kMaxExact = 1LL << 53;
    if (overflow != 0 || v > kMaxExact || v < -kMaxExact) {
      throw ModelError{"Unsupported integer " + repr_text(o) +
                       " in the model or its data: integers beyond 2^53 cannot be represented exactly"};
    }
    return Value::integer(v);
  }
  if (is_float(o)) return Value::number(finite(as_double(o)));
  if (PyUnicode_CheckExact(o.get())) return interner.string(o.get());
  if (is_str(o)) return interner.string(utf8(o));
  if (is_sequence(o) || (is_dict(o) && contains(o, kElements))) {
    RecursionGuard guard(" while reading a tuple");
    Ref items = set_elements(o);
    std::vector<Value> values;
    if (PyList_CheckExact(items.get()) || PyTuple_CheckExact(items.get())) {
      // The generator's private copy: read in place, without the iterator protocol.
      Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
      values.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) values.push_back(to_value(PySequence_Fast_GET_ITEM(items.get(), i)));
    } else {
      for (Ref& item : Iterate(items)) values.push_back(to_value(item));
    }
    return interner.tuple(std::move(values), tuple_type);
  }
  throw ModelError{"Unsupported data value " + repr_text(o) + ": use numbers, strings, booleans or tuples"};
}

std::string Model::value_text(const Value& v) const {
  std::string out;
  append_text(out, v);
  return out;
}

void Model::append_text(std::string& out, const Value& v) const {
  switch (v.kind) {
    case Value::Kind::Str:
      out += interner.text_of(v);
      return;
    case Value::Kind::Tup: {
      const std::vector<Value>& items = interner.items_of(v);
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        append_text(out, items[i]);
      }
      return;
    }
    case Value::Kind::Num:
      break;
  }
  if (v.integral && std::fabs(v.num) < 9.0e15) {
    char buf[32];
    auto end = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v.num)).ptr;
    out.append(buf, end);
    return;
  }
  out += float_text(v.num);
}

long long Model::integer_bound(const Value& v, const std::string& message, long lineno) const {
  if (v.is_num()) {
    if (auto n = exact_integer(v.num)) return *n;
    if (!std::isfinite(v.num)) throw ModelError{message + ": " + value_text(v) + " is not a finite number", lineno};
    if (v.num == std::floor(v.num)) {
      throw ModelError{message + ": " + value_text(v) + " is beyond the integers a double holds exactly (2^53)", lineno};
    }
  }
  throw ModelError{message, lineno};
}

Ref Model::data_value(const std::string& name) {
  // A "__map" entry stands for the parameter of the shorter name and wins over it.
  for (const std::string& key : {name + "__map", name}) {
    Ref k = py_str(key);
    Ref value = get(data_, k);
    if (!is_none(value)) return value;
  }
  return Ref();
}

// ---- ranges and sets ----

std::optional<std::pair<long long, long long>> Model::range_named(const std::string& name, long lineno) {
  if (auto it = ranges.find(name); it != ranges.end()) return it->second;
  auto decl_it = declarations.find(name);
  std::string type = decl_it == declarations.end() ? "" : type_of(decl_it->second);
  auto integral_bound = [&](Handle node) {
    compile_line = line_of(decl_it->second);
    return integer_bound(eval(compile_expr(node)), "Range bounds must be integer-valued in range '" + name + "'",
                         compile_line);
  };
  std::pair<long long, long long> bounds;
  if (type == "range_declaration_inline") {
    bounds = {integral_bound(item(decl_it->second, kStart)), integral_bound(item(decl_it->second, kEnd))};
  } else {
    Ref data = data_value(name);
    bool from_data = data && is_dict(data) && eq(get(data, kType), py_str("range_data"));
    if (type == "range_declaration_external" && !from_data) {
      throw ModelError{"Range '" + name +
                           "' declared as external. Ranges must be defined in the model with explicit bounds (e.g., "
                           "range Items = 1..N;)",
                       lineno};
    }
    if (!from_data || (!type.empty() && type != "range_declaration_external")) return std::nullopt;
    std::string message = "Range bounds must be integer-valued in range '" + name + "'";
    bounds = {integer_bound(to_value(item(data, kStart)), message, lineno),
              integer_bound(to_value(item(data, kEnd)), message, lineno)};
  }
  ranges.emplace(name, bounds);
  return bounds;
}

const SetData* Model::set_named(const std::string& name) {
  if (auto it = sets.find(name); it != sets.end()) return it->second.get();
  auto decl_it = declarations.find(name);
  if (decl_it == declarations.end() || !is_set_type(type_of(decl_it->second))) return nullptr;
  Handle decl = decl_it->second;
  auto set = std::make_unique<SetData>();
  set->name = name;
  if (Ref tuple_type = get(decl, kTupleType); is_str(tuple_type)) {
    auto t = tuple_type_ids.find(std::string(utf8(tuple_type)));
    if (t == tuple_type_ids.end()) {
      throw ModelError{"Unknown tuple type '" + std::string(utf8(tuple_type)) + "' of set '" + name + "'", line_of(decl)};
    }
    set->tuple_type = t->second;
  }
  Ref elements;
  for (Key* key : {&kValue, &kElements}) {
    Ref inline_value = get(decl, *key);
    if (!is_none(inline_value) && truthy(inline_value)) {
      elements = set_elements(inline_value);
      break;
    }
  }
  if (!elements) {
    Ref data = data_value(name);
    if (!data) throw ModelError{"Set '" + name + "' declared in .mod but not found in .dat file.", line_of(decl)};
    elements = set_elements(data);
  }
  if (!is_sequence(elements) && !PyAnySet_Check(elements.get())) {
    throw ModelError{"Set '" + name + "' expects a list of elements, got " + repr_text(elements), line_of(decl)};
  }
  if (is_sequence(elements)) {
    auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(elements.get()));
    set->reserve(n);
    if (set->tuple_type >= 0) interner.reserve_tuples(n);
  }
  for (Ref& element : Iterate(elements)) set->add(to_value(element, set->tuple_type));
  return sets.emplace(name, std::move(set)).first->second.get();
}

std::optional<Domain> Model::domain_named(const std::string& name, long lineno) {
  Domain d;
  d.name = name;
  if (const SetData* set = set_named(name)) {
    d.set = set;
    return d;
  }
  if (auto bounds = range_named(name, lineno)) {
    d.lo = bounds->first;
    d.hi = bounds->second;
    return d;
  }
  return std::nullopt;
}

Domain Model::dimension(Handle dim, const std::string& owner, long lineno) {
  std::string type = type_of(dim);
  bool has_bounds = contains(dim, kStart) && contains(dim, kEnd);
  if (type == "named_range_dimension" || type == "named_set_dimension") {
    std::string name = name_of(dim);
    if (auto d = domain_named(name, lineno)) return *d;
    // A range known only by the bounds the parser copied into the dimension.
    if (type != "named_range_dimension" || !has_bounds) {
      throw ModelError{"Unknown range or set '" + name + "' in the dimensions of '" + owner + "'", lineno};
    }
  } else if (type != "range_index") {
    throw ModelError{"Unsupported dimension type '" + type + "' in the declaration of '" + owner + "'", lineno};
  }
  compile_line = lineno;
  auto bound = [&](Handle node) {
    return integer_bound(eval(compile_expr(node)),
                         "Index range bounds must be integer-valued in the dimensions of '" + owner + "'", lineno);
  };
  Domain d;
  d.lo = bound(item(dim, kStart));
  d.hi = bound(item(dim, kEnd));
  d.name = std::to_string(d.lo) + ".." + std::to_string(d.hi);
  return d;
}

// ---- parameters ----

namespace {

struct TableFiller {
  Model& m;
  Table& t;
  long lineno;

  [[noreturn]] void error(const std::string& message) const { throw ModelError{message, lineno}; }

  std::string dim_name(std::size_t level) const { return t.dims[level].name; }

  void check_length(Handle node, std::size_t level) const {
    std::size_t expected = t.dims[level].size();
    auto actual = static_cast<std::size_t>(len(node));
    if (actual != expected) {
      error("Parameter '" + t.name + "' data length " + std::to_string(actual) + " does not match declared dimension '" +
            dim_name(level) + "' of length " + std::to_string(expected) + " at dimension " +
            std::to_string(level + 1) + ".");
    }
  }

  [[noreturn]] void scalar_too_early(std::size_t level) const {
    error("Parameter '" + t.name + "' expected a " + std::to_string(t.arity - level) +
          "D array, got scalar at dimension " + std::to_string(level + 1) + ".");
  }

  Value leaf(Handle node, std::span<const Value> key) const {
    if (is_sequence(node) || is_dict(node)) {
      if (t.arity == 1) {
        error("Parameter '" + t.name + "' declared as 1-D over '" + dim_name(0) +
              "' expects scalar values per key, but data provides an array for key " + m.value_text(key[0]) +
              ". Use scalar values (e.g., 2.0), not [2.0].");
      }
      error("Parameter '" + t.name + "' has more levels of data than its " + std::to_string(t.arity) + " dimensions.");
    }
    return m.to_value(node);
  }

  void dense(Handle node, std::size_t level, std::size_t offset, std::vector<Value>& key) {
    if (level == t.arity) {
      t.dense[offset] = leaf(node, key);
      t.present[offset] = 1;
      return;
    }
    if (!is_sequence(node)) scalar_too_early(level);
    check_length(node, level);
    RecursionGuard guard(" while reading parameter data");
    std::size_t size = t.dims[level].size();
    for (std::size_t j = 0; j < size; ++j) {
      key.push_back(t.dims[level].at(j));
      dense(PySequence_Fast_GET_ITEM(node.get(), static_cast<Py_ssize_t>(j)), level + 1, offset * size + j, key);
      key.pop_back();
    }
  }

  // The components a dictionary key contributes at `level`: a tuple spreads over several
  // dimensions unless the dimension's own elements are tuples.
  void key_components(Handle k, std::size_t level, std::vector<Value>& key) const {
    bool tuple_dimension = level < t.dims.size() && t.dims[level].set != nullptr && t.dims[level].set->tuple_type >= 0;
    if (is_sequence(k) && !tuple_dimension) {
      for (Ref& part : Iterate(k)) key.push_back(m.to_value(part));
    } else {
      key.push_back(m.to_value(k, tuple_dimension ? t.dims[level].set->tuple_type : -1));
    }
  }

  void keyed(Handle node, std::vector<Value>& key) {
    std::size_t level = key.size();
    if (level == t.arity) {
      check_key(key);
      t.keyed.insert_or_assign(key, leaf(node, key));
      return;
    }
    if (level > t.arity) error("Parameter '" + t.name + "' has a key with more components than its dimensions.");
    RecursionGuard guard(" while reading parameter data");
    if (is_dict(node)) {
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(node.get(), &pos, &k, &v)) {
        std::size_t mark = key.size();
        key_components(k, level, key);
        keyed(v, key);
        key.resize(mark);
      }
      return;
    }
    if (!is_sequence(node)) scalar_too_early(level);
    if (level >= t.dims.size()) error("Parameter '" + t.name + "' has list data for a dimension it does not declare.");
    check_length(node, level);
    for (std::size_t j = 0; j < t.dims[level].size(); ++j) {
      key.push_back(t.dims[level].at(j));
      keyed(PySequence_Fast_GET_ITEM(node.get(), static_cast<Py_ssize_t>(j)), key);
      key.pop_back();
    }
  }

  // A key outside the declared index sets could never be read: it is an error in the data, not
  // an entry to drop.
  void check_key(std::span<const Value> key) const {
    for (std::size_t i = 0; i < t.dims.size() && i < key.size(); ++i) {
      if (t.dims[i].position(key[i]) < 0) {
        error("Parameter '" + t.name + "' has data for key " + m.value_text(key[i]) +
              ", which is not an element of its index set '" + dim_name(i) + "'");
      }
    }
  }

  void fill(Handle data) {
    std::vector<Value> key;
    if (is_flat_pairs(data)) {
      Ref pairs = new_dict();
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); i += 2) {
        set_item(pairs, PyList_GET_ITEM(data.get(), i), PyList_GET_ITEM(data.get(), i + 1));
      }
      keyed(pairs, key);
    } else if (is_sequence(data)) {
      Ref fast = check(PySequence_Fast(data.get(), "parameter data"));
      auto total = element_count(t.dims, m.term_limit);
      if (!total) {
        error("Parameter '" + t.name + "' has more elements than the limit of " + std::to_string(m.term_limit) +
              " terms");
      }
      t.is_dense = true;
      t.dense.assign(*total, Value{});
      t.present.assign(*total, 0);
      dense(data, 0, 0, key);
    } else if (is_dict(data)) {
      keyed(data, key);
    } else {
      scalar_too_early(0);
    }
  }
};

}  // namespace

const Table* Model::table_named(const std::string& name) {
  if (auto it = tables.find(name); it != tables.end()) return it->second.get();
  auto decl_it = declarations.find(name);
  if (decl_it == declarations.end() || !is_parameter(type_of(decl_it->second))) return nullptr;
  Handle decl = decl_it->second;
  Ref dims = get(decl, kDimensions);
  if (is_none(dims) || !truthy(dims)) return nullptr;
  long line = line_of(decl);
  auto table = std::make_unique<Table>();
  table->name = name;
  for (Ref& dim : Iterate(dims)) table->dims.push_back(dimension(dim, name, line));
  table->arity = table->dims.size();
  Ref data = data_value(name);
  if (!data) {
    std::string type = type_of(decl);
    if (type == "parameter_inline_indexed") data = get(decl, kValue);
    if (!data || is_none(data)) {
      throw ModelError{type == "parameter_external_explicit_indexed"
                           ? "Parameter '" + name + "' declared with '= ...' in .mod but not found in .dat file."
                           : "Parameter '" + name +
                                 "' declared in .mod but not found in .dat file. Add '= ...;' to explicitly declare it "
                                 "as external if intended.",
                       line};
    }
  }
  TableFiller{*this, *table, line}.fill(data);
  return tables.emplace(name, std::move(table)).first->second.get();
}

std::optional<Value> Model::scalar_named(const std::string& name, long lineno) {
  if (auto it = scalars.find(name); it != scalars.end()) return it->second;
  auto decl_it = declarations.find(name);
  std::string type = decl_it == declarations.end() ? "" : type_of(decl_it->second);
  if (!type.empty() && !is_parameter(type)) return std::nullopt;
  if (!type.empty()) {
    Ref dims = get(decl_it->second, kDimensions);
    if (!is_none(dims) && truthy(dims)) return std::nullopt;
  }
  Ref data = data_value(name);
  if (!data && type == "parameter_inline") data = get(decl_it->second, kValue);
  if (!data || is_none(data)) {
    if (type.empty()) return std::nullopt;
    long line = line_of(decl_it->second);
    if (type == "parameter_external_explicit") {
      throw ModelError{"Parameter '" + name + "' declared with '= ...' in .mod but not found in .dat file.", line};
    }
    throw ModelError{"Parameter '" + name +
                         "' declared in .mod but not found in .dat file. Add '= ...;' to explicitly declare it as "
                         "external if intended.",
                     line};
  }
  if (is_sequence(data) || is_dict(data)) {
    if (type.empty()) return std::nullopt;
    throw ModelError{"Parameter '" + name + "' is declared without dimensions but its data is " +
                         (is_dict(data) ? "a dictionary" : "a list"),
                     decl_it == declarations.end() ? lineno : line_of(decl_it->second)};
  }
  Value v = to_value(data);
  scalars.emplace(name, v);
  return v;
}

const Table* Model::records_named(const std::string& name) {
  if (auto it = records.find(name); it != records.end()) return it->second.get();
  auto decl_it = declarations.find(name);
  if (decl_it == declarations.end() || !is_tuple_array(type_of(decl_it->second))) return nullptr;
  Handle decl = decl_it->second;
  long line = line_of(decl);
  std::string type_name = text(item(decl, kTupleType));
  auto type_it = tuple_type_ids.find(type_name);
  if (type_it == tuple_type_ids.end()) throw ModelError{"Unknown tuple type '" + type_name + "' of '" + name + "'", line};
  int tuple_type = type_it->second;
  std::string index_set = text(item(decl, kIndexSet));
  auto domain = domain_named(index_set, line);
  if (!domain) throw ModelError{"Unknown index set '" + index_set + "' of tuple array '" + name + "'", line};
  Ref data = data_value(name);
  if (!data) throw ModelError{"Tuple array '" + name + "' declared in .mod but not found in .dat file.", line};
  auto table = std::make_unique<Table>();
  table->name = name;
  table->arity = 1;
  table->dims.push_back(*domain);
  const std::vector<std::string>& fields = tuple_types[tuple_type].fields;
  auto record = [&](Handle r) {
    if (!is_dict(r)) return to_value(r, tuple_type);
    std::vector<Value> items;
    for (const std::string& field : fields) {
      Ref value = get(r, py_str(field));
      if (is_none(value)) throw ModelError{"Record of '" + name + "' has no field '" + field + "'", line};
      items.push_back(to_value(value));
    }
    return interner.tuple(std::move(items), tuple_type);
  };
  if (is_dict(data)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(data.get(), &pos, &k, &v)) {
      table->keyed.insert_or_assign(std::vector<Value>{to_value(k, domain->set ? domain->set->tuple_type : -1)},
                                    record(v));
    }
  } else if (is_sequence(data)) {
    Ref fast = check(PySequence_Fast(data.get(), "tuple array"));
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())) != domain->size()) {
      throw ModelError{"Tuple array '" + name + "' has " + std::to_string(PySequence_Fast_GET_SIZE(fast.get())) +
                           " records but its index set '" + index_set + "' has " + std::to_string(domain->size()) +
                           " elements.",
                       line};
    }
    for (std::size_t j = 0; j < domain->size(); ++j) {
      table->keyed.insert_or_assign(std::vector<Value>{domain->at(j)},
                                    record(PySequence_Fast_GET_ITEM(fast.get(), static_cast<Py_ssize_t>(j))));
    }
  } else {
    throw ModelError{"Tuple array '" + name + "' expects a list of records, got " + repr_text(data), line};
  }
  return records.emplace(name, std::move(table)).first->second.get();
}

// ---- decision variables ----

// Names as gurobipy gives them to the variables of addVars: the element texts of every dimension
// written once, back to back, then combined in column order.
void Model::add_family_columns(const VarFamily& f, double low, double high, bool integer) {
  reserve_columns(f.count);
  if (f.dims.empty()) return add_column(f.name, low, high, integer);
  std::string texts;
  std::vector<std::size_t> ends;   // of each text in `texts`, dimension after dimension
  std::vector<std::size_t> first;  // per dimension: the index of its first text in `ends`
  std::size_t longest = f.name.size() + 2;
  for (const Domain& d : f.dims) {
    first.push_back(ends.size());
    std::size_t widest = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
      std::size_t start = texts.size();
      append_text(texts, d.at(i));
      widest = std::max(widest, texts.size() - start);
      ends.push_back(texts.size());
    }
    longest += widest + 1;
  }
  auto text = [&](std::size_t dim, std::size_t position) {
    std::size_t k = first[dim] + position, begin = k == 0 ? 0 : ends[k - 1];
    return std::string_view(texts).substr(begin, ends[k] - begin);
  };
  column_names.reserve_more(f.count, f.count * longest);
  std::vector<std::size_t> position(f.dims.size(), 0);
  std::string name;
  name.reserve(longest);
  for (std::size_t k = 0; k < f.count; ++k) {
    name.assign(f.name);
    name += '[';
    for (std::size_t i = 0; i < f.dims.size(); ++i) {
      if (i > 0) name += ',';
      name += text(i, position[i]);
    }
    name += ']';
    add_column(name, low, high, integer);
    for (std::size_t i = f.dims.size(); i-- > 0;) {  // the next position, last dimension fastest
      if (++position[i] < f.dims[i].size()) break;
      position[i] = 0;
    }
  }
}

void Model::declare_variable(Handle decl) {
  VarFamily f;
  f.name = text(item(decl, kName));
  long line = line_of(decl);
  if (type_of(decl) == "dvar_indexed") {
    for (Ref& dim : Iterate(item(decl, kDimensions))) f.dims.push_back(dimension(dim, f.name, line));
  }
  f.strides.assign(f.dims.size(), 1);
  for (std::size_t i = f.dims.size(); i-- > 1;) f.strides[i - 1] = f.strides[i] * f.dims[i].size();
  auto count = element_count(f.dims, static_cast<std::size_t>(INT32_MAX) - column_names.size());
  if (!count) throw ModelError{"Variable '" + f.name + "' has too many elements", line};
  f.count = *count;
  f.first_column = static_cast<int>(column_names.size());
  std::string var_type = text(item(decl, kVarType));
  double low = 0.0, high = kInf;
  bool integer = false;
  f.binary = var_type == "boolean";
  if (f.binary) {
    high = 1.0;
    integer = true;
  } else if (var_type == "int" || var_type == "int+") {
    integer = true;
    if (var_type == "int") low = -kInf;
  } else if (var_type == "float") {
    low = -kInf;
  }
  add_family_columns(f, low, high, integer);
  family_ids.emplace(f.name, static_cast<int>(families.size()));
  families.push_back(std::move(f));
}

void Model::register_declaration(Handle decl) {
  if (!is_dict(decl)) throw ModelError{"A declaration must be a dictionary, got " + repr_text(decl)};
  std::string name = name_of(decl);
  declarations.try_emplace(name, Ref::borrow(decl.get()));
  if (type_of(decl) == "tuple_type") {
    TupleType t{name, {}};
    for (Ref& field : Iterate(item(decl, kFields))) t.fields.push_back(text(item(field, kName)));
    tuple_type_ids.try_emplace(name, static_cast<int>(tuple_types.size()));
    tuple_types.push_back(std::move(t));
  }
}

void Model::load_declarations() {
  Ref empty = new_list();
  Ref decls = get(ast_, kDeclarations, empty);
  for (Ref& decl : Iterate(decls)) register_declaration(decl);
  // Every declaration is resolved in model order, so a missing or malformed data item is
  // reported even when no constraint reads it.
  for (Ref& decl : Iterate(decls)) {
    std::string type = type_of(decl), name = name_of(decl);
    long line = line_of(decl);
    if (type == "dvar" || type == "dvar_indexed") {
      if (family_ids.count(name)) throw ModelError{"Variable '" + name + "' is declared twice", line};
      declare_variable(decl);
    } else if (type == "range_declaration_inline" || type == "range_declaration_external") {
      range_named(name, line);
    } else if (is_set_type(type)) {
      set_named(name);
    } else if (is_tuple_array(type)) {
      records_named(name);
    } else if (is_parameter(type)) {
      if (!table_named(name)) scalar_named(name, line);
    } else if (type != "tuple_type" && type != "dexpr" && type != "dexpr_indexed") {
      throw ModelError{"Unsupported declaration type '" + type + "' of '" + name + "'", line};
    }
  }
}

}  // namespace lpsparse
