// Row origins: which instance of which constraint made each row and each bound, so that an
// explanation of an infeasible model can speak of the user's constraints instead of row numbers.
// The instantiation pays one integer per row and one small record per constraint instance.
#include <cstring>

#include "model.hpp"

namespace lpsparse {

namespace {

Key kConstraint{"constraint"};
Key kStart{"start"};
Key kValues{"values"};
Key kValueTable{"value_table"};
Key kOrigins{"origins"};
Key kConstraints{"constraints"};
Key kLabel{"label"};
Key kLabelIterators{"label_iterators"};
Key kIterators{"iterators"};
Key kLineno{"lineno"};
Key kUb{"ub"};
Key kUbFlipped{"ub_flipped"};
Key kEq{"eq"};
Key kBounds{"bounds"};
Key kColumn{"column"};
Key kLower{"lower"};
Key kUpper{"upper"};
Key kBeforeLower{"before_lower"};
Key kBeforeUpper{"before_upper"};
Key kOrigin{"origin"};

// array(typecode, <the raw bytes of `values`>)
template <class T, class Alloc>
Ref packed_array(PyObject* module, const char* typecode, const std::vector<T, Alloc>& values) {
  Ref bytes = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                              static_cast<Py_ssize_t>(values.size() * sizeof(T))));
  Ref array_type = attr(global(module, py_str("array")), "array");
  return call(array_type, py_str(typecode), bytes);
}

template <class F>
Ref column_of_bound_rows(PyObject* module, const Model& m, const char* typecode, F field) {
  using T = decltype(field(m.bound_rows[0]));
  std::vector<T> out;
  out.reserve(m.bound_rows.size());
  for (const BoundRow& b : m.bound_rows) out.push_back(field(b));
  return packed_array(module, typecode, out);
}

Ref python_value(const Model& m, const Value& v) {
  switch (v.kind) {
    case Value::Kind::Str:
      return py_str(m.interner.text_of(v));
    case Value::Kind::Tup: {
      const std::vector<Value>& items = m.interner.items_of(v);
      Ref out = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), python_value(m, items[i]).release());
      }
      return out;
    }
    case Value::Kind::Num:
      break;
  }
  if (v.integral && std::fabs(v.num) < 9.0e15) return py_int(static_cast<long long>(v.num));
  return py_float(v.num);
}

Ref names_of_slots(const Model& m, const std::vector<int>& slots) {
  Ref out = new_list();
  for (int slot : slots) append(out, py_str(m.slot_names[static_cast<std::size_t>(slot)]));
  return out;
}

Ref constraint_table(const Model& m) {
  Ref out = new_list();
  for (std::size_t c = 0; c < m.constraints.size(); ++c) {
    const Constraint& k = m.constraints[c];
    Ref entry = new_dict();
    set_item(entry, kLabel, k.label.empty() ? none() : py_str(k.label));
    set_item(entry, kLabelIterators, names_of_slots(m, k.label_slots));
    static const std::vector<int> kNone;
    set_item(entry, kIterators, names_of_slots(m, c < m.origin_slots.size() ? m.origin_slots[c] : kNone));
    set_item(entry, kLineno, py_int(k.lineno));
    append(out, entry);
  }
  return out;
}

}  // namespace

void Model::open_origin(int c) {
  if (origin_slots.size() <= static_cast<std::size_t>(c)) origin_slots.resize(static_cast<std::size_t>(c) + 1);
  std::vector<int>& slots_of_c = origin_slots[static_cast<std::size_t>(c)];
  if (slots_of_c.empty()) {
    for (int loop : open_loops) {
      for (const Iter& it : loops[static_cast<std::size_t>(loop)].iters) slots_of_c.push_back(it.slot);
    }
  }
  origins.push_back({c, static_cast<std::uint32_t>(origin_values.size())});
  for (int slot : slots_of_c) origin_values.push_back(origin_value_id(slot));
  current_origin = static_cast<int>(origins.size()) - 1;
}

std::int32_t Model::origin_value_id(int slot) {
  auto s = static_cast<std::size_t>(slot);
  // An iterator bound to a position of its domain: the id of each position is looked up once.
  const Domain* d = s < slot_domain_.size() ? slot_domain_[s] : nullptr;
  if (d != nullptr && d->size() <= kMaxOriginPositions) {
    if (origin_by_position_.size() <= s) origin_by_position_.resize(s + 1);
    auto& [domain, ids] = origin_by_position_[s];
    if (domain != d) {
      domain = d;
      ids.assign(d->size(), -1);
    }
    std::int32_t& id = ids[slot_pos_[s]];
    if (id < 0) id = distinct_value_id(slots[s]);
    return id;
  }
  const Value& v = slots[s];
  if (origin_last_.size() <= static_cast<std::size_t>(slot)) origin_last_.resize(static_cast<std::size_t>(slot) + 1, {Value{}, -1});
  auto& [last, last_id] = origin_last_[static_cast<std::size_t>(slot)];
  if (last_id < 0 || !(last == v)) {
    last = v;
    last_id = distinct_value_id(v);
  }
  return last_id;
}

std::int32_t Model::distinct_value_id(const Value& v) {
  auto [it, fresh] = origin_ids_.try_emplace(v, static_cast<std::int32_t>(origin_distinct.size()));
  if (fresh) origin_distinct.push_back(v);
  return it->second;
}

// {"ub": array('i'), "ub_flipped": array('B'), "eq": array('i'): the origin of each row (-1: none),
//  "bounds": {"column", "lower", "upper", "before_lower", "before_upper", "origin"}: one entry per
//            row that became column bounds, in the order they were applied,
//  "origins": {"constraint": array('i'), "start": array('i'), "values": array('i'), "value_table":
//             list}: origin k is constraint[k] with the iterator values value_table[v] for v in
//             values[start[k]:start[k+1]],
//  "constraints": per constraint {"label", "label_iterators", "iterators", "lineno"}}
Ref row_origins(PyObject* module, const Model& m) {
  Ref out = new_dict();
  set_item(out, kUb, packed_array(module, "i", m.ub_origin));
  set_item(out, kUbFlipped, packed_array(module, "B", m.ub_flipped));
  set_item(out, kEq, packed_array(module, "i", m.eq_origin));
  Ref bounds = new_dict();
  set_item(bounds, kColumn, column_of_bound_rows(module, m, "i", [](const BoundRow& b) { return std::int32_t{b.column}; }));
  set_item(bounds, kLower, column_of_bound_rows(module, m, "d", [](const BoundRow& b) { return b.low; }));
  set_item(bounds, kUpper, column_of_bound_rows(module, m, "d", [](const BoundRow& b) { return b.high; }));
  set_item(bounds, kBeforeLower, column_of_bound_rows(module, m, "d", [](const BoundRow& b) { return b.before_low; }));
  set_item(bounds, kBeforeUpper, column_of_bound_rows(module, m, "d", [](const BoundRow& b) { return b.before_high; }));
  set_item(bounds, kOrigin, column_of_bound_rows(module, m, "i", [](const BoundRow& b) { return std::int32_t{b.origin}; }));
  set_item(out, kBounds, bounds);
  std::vector<std::int32_t> constraint, start;
  constraint.reserve(m.origins.size());
  start.reserve(m.origins.size() + 1);
  for (const Origin& o : m.origins) {
    constraint.push_back(o.constraint);
    start.push_back(static_cast<std::int32_t>(o.first_value));
  }
  start.push_back(static_cast<std::int32_t>(m.origin_values.size()));
  // Iterators take few distinct values, each made into a Python object once.
  Ref table = new_list();
  for (const Value& v : m.origin_distinct) append(table, python_value(m, v));
  Ref origins = new_dict();
  set_item(origins, kConstraint, packed_array(module, "i", constraint));
  set_item(origins, kStart, packed_array(module, "i", start));
  set_item(origins, kValues, packed_array(module, "i", m.origin_values));
  set_item(origins, kValueTable, table);
  set_item(out, kOrigins, origins);
  set_item(out, kConstraints, constraint_table(m));
  return out;
}

}  // namespace lpsparse
