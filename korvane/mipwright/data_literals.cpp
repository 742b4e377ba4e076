// Building blocks of the data section's literals: index keys, set elements, the text of values
// as repr() and json.dumps() write them, and the flattening of nested data into dictionaries
// keyed by index tuples.
#include <cmath>

#include "data_section.hpp"

namespace mipwright::data {

// ---- keys and elements ----

bool has_sequence_element(Handle seq) {
  bool any = false;
  for_each_element(seq, [&](Py_ssize_t, Handle x) { return !(any = is_sequence(x)); });
  return any;
}

Ref to_key(Handle value) {
  if (!is_sequence(value)) return Ref::borrow(value);
  // A tuple of scalars is already its own key.
  if (PyTuple_CheckExact(value.get()) && !has_sequence_element(value)) return Ref::borrow(value);
  RecursionGuard guard(" while converting a key");
  Ref parts = new_list();
  for_each_element(value, [&](Py_ssize_t, Handle x) {
    append(parts, to_key(x));
    return true;
  });
  return check(PyList_AsTuple(parts.get()));
}

Ref tuple_if_sequence(Handle x) {
  return is_sequence(x) ? check(PySequence_Tuple(x)) : Ref::borrow(x);
}

Ref tuples_of(Handle items) {
  Ref out = new_list();
  for (Ref& x : Iterate(items)) append(out, tuple_if_sequence(x));
  return out;
}

Ref key_tuple(Handle key) {
  return is_sequence(key) ? check(PySequence_Tuple(key)) : tuple_of(key);
}

Ref int_plus(Handle base, Py_ssize_t offset) {
  Ref step = check(PyLong_FromSsize_t(offset));
  return check(PyNumber_Add(base, step.get()));
}

Ref inclusive_range(Handle first, Handle last) {
  Ref stop = int_plus(last, 1);
  Ref range = call(reinterpret_cast<PyObject*>(&PyRange_Type), first, stop);
  return to_list(range);
}

Ref normalized_elements(Handle set_value) {
  Ref out = new_list();
  if (is_none(set_value)) return out;
  for_each_element(unwrapped_elements(set_value), [&](Py_ssize_t, Handle e) {
    append(out, to_key(e));
    return true;
  });
  return out;
}

Ref unwrapped_elements(Handle set_value) {
  if (is_dict(set_value) && contains(set_value, K::elements)) return item(set_value, K::elements);
  return Ref::borrow(set_value);
}

// ---- text of single values ----

namespace {

void append_owned(std::string& out, char* text) {
  if (text == nullptr) throw PyErrorSet{};
  out += text;
  PyMem_Free(text);
}

// float.__repr__ formats with exactly this call.
void append_float_repr(std::string& out, double value) {
  append_owned(out, PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr));
}

}  // namespace

void append_repr(std::string& out, Handle value) {
  if (PyFloat_CheckExact(value.get())) {
    append_float_repr(out, PyFloat_AS_DOUBLE(value.get()));
  } else {
    out += utf8(repr(value));
  }
}

JsonText::JsonText(const Gen& g)
    : dumps_(attr(g.global(K::json), K::dumps)),
      encode_string_(attr(attr(g.global(K::json), K::encoder), K::encode_basestring_ascii)) {}

void JsonText::append(std::string& out, Handle value) const {
  PyObject* v = value.get();
  if (v == Py_True) {
    out += "true";
  } else if (v == Py_False) {
    out += "false";
  } else if (v == Py_None) {
    out += "null";
  } else if (PyFloat_CheckExact(v) && std::isfinite(PyFloat_AS_DOUBLE(v))) {
    append_float_repr(out, PyFloat_AS_DOUBLE(v));
  } else if (PyLong_CheckExact(v)) {
    out += utf8(check(PyLong_Type.tp_repr(v)));
  } else if (PyUnicode_CheckExact(v)) {
    out += utf8(call(encode_string_, value));
  } else {
    out += utf8(call(dumps_, value));
  }
}

// ---- nested lists ----

namespace {

// Nested lists whose positions map to the keys of each dimension: the leaf at positions
// (p1, ..., pn) becomes the entry (keys[0][p1], ..., keys[n-1][pn]): leaf.
class NestedListFlattener {
 public:
  NestedListFlattener(Handle value, const std::vector<Ref>& keys) : value_(value), keys_(keys) {}

  std::optional<Py_ssize_t> run(std::string& out) { return labels_distinct() ? as_text(out) : through_dict(out); }

 private:
  // Calls leaf(element) for each leaf in the order of its positions, position_ holding them;
  // stops with false as soon as leaf does. A list holding any list is walked one level deeper.
  template <class Leaf>
  bool walk(Handle arr, Leaf& leaf) {
    RecursionGuard guard(" while flattening nested data");
    bool nested = has_sequence_element(arr);
    bool fits = true;
    for_each_element(arr, [&](Py_ssize_t i, Handle element) {
      position_.push_back(i);
      fits = (nested && is_sequence(element)) ? walk(element, leaf) : leaf(element);
      position_.pop_back();
      return fits;
    });
    return fits;
  }

  // True when the current leaf has one position per dimension, each within its keys.
  bool in_bounds() const {
    if (position_.size() != keys_.size()) return false;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (position_[i] >= PyList_GET_SIZE(keys_[i].get())) return false;
    }
    return true;
  }

  Ref current_key() const {
    Ref key = check(PyTuple_New(static_cast<Py_ssize_t>(keys_.size())));
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(i), Py_NewRef(PyList_GET_ITEM(keys_[i].get(), position_[i])));
    }
    return key;
  }

  // With no two equal keys in any dimension, no two positions share an entry, so the dict's
  // repr is its entries' reprs in walk order, and each key's parts need writing only once.
  bool labels_distinct() const {
    for (const Ref& keys : keys_) {
      Ref unique = Ref::steal(PySet_New(keys.get()));
      if (!unique) {
        // An unhashable key: the dict will report it when it is built.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
        PyErr_Clear();
        return false;
      }
      if (PySet_GET_SIZE(unique.get()) != PyList_GET_SIZE(keys.get())) return false;
    }
    return true;
  }

  std::optional<Py_ssize_t> as_text(std::string& out) {
    auto fits = [&](Handle) { return in_bounds(); };
    if (!walk(value_, fits)) return std::nullopt;  // nothing is written for data of another shape
    std::vector<std::vector<std::string>> key_reprs(keys_.size());
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      for_each_element(keys_[i], [&](Py_ssize_t, Handle k) {
        key_reprs[i].push_back(std::string(utf8(repr(k))));
        return true;
      });
    }
    Py_ssize_t entries = 0;
    out += '{';
    auto write = [&](Handle leaf) {
      if (!in_bounds()) return false;  // a repr() changed the data meanwhile
      if (entries++ > 0) out += ", ";
      out += '(';
      for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (i > 0) out += ", ";
        out += key_reprs[i][position_[i]];
      }
      out += "): ";
      append_repr(out, leaf);
      return true;
    };
    if (!walk(value_, write)) return std::nullopt;
    out += '}';
    return entries;
  }

  std::optional<Py_ssize_t> through_dict(std::string& out) {
    Ref flat = new_dict();
    auto store = [&](Handle leaf) {
      if (!in_bounds()) return false;
      check_status(PyDict_SetItem(flat.get(), current_key().get(), leaf));
      return true;
    };
    if (!walk(value_, store)) return std::nullopt;
    out += utf8(repr(flat));
    return PyDict_GET_SIZE(flat.get());
  }

  Handle value_;
  const std::vector<Ref>& keys_;
  std::vector<Py_ssize_t> position_;
};

}  // namespace

std::optional<Py_ssize_t> flatten_nested_list(Handle value, const std::vector<Ref>& keys, std::string& out) {
  return NestedListFlattener(value, keys).run(out);
}

// ---- nested dictionaries ----

namespace {

// prefix + (part,)
Ref extended(Handle prefix, Handle part) {
  Py_ssize_t n = PyTuple_GET_SIZE(prefix.get());
  Ref out = check(PyTuple_New(n + 1));
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, Py_NewRef(PyTuple_GET_ITEM(prefix.get(), i)));
  PyTuple_SET_ITEM(out.get(), n, Py_NewRef(part.get()));
  return out;
}

// Dicts nested one level per dimension (lists and scalars stand for positions) flattened into
// one dict keyed by the tuple of the keys on the way down.
class NestedDictFlattener {
 public:
  NestedDictFlattener(std::vector<Ref> labels, std::vector<Ref> starts)
      : labels_(std::move(labels)), starts_(std::move(starts)), result_(new_dict()) {}

  Ref run(Handle value) {
    Ref empty = check(PyTuple_New(0));
    flatten(value, 0, empty);
    return std::move(result_);
  }

 private:
  void flatten(Handle node, std::size_t dim, Handle prefix) {
    RecursionGuard guard(" while flattening nested data");
    bool last = dim + 1 == labels_.size();
    auto place = [&](Handle part, Handle inner) {
      Ref key = extended(prefix, part);
      if (last) {
        set_item(result_, key, inner);
      } else {
        flatten(inner, dim + 1, key);
      }
    };
    if (is_dict(node)) {
      for_each_item(node, [&](Handle k, Handle v) {
        place(to_key(k), v);
        return true;
      });
    } else if (is_sequence(node)) {
      Py_ssize_t provided = len(node);
      for_each_element(node, [&](Py_ssize_t j, Handle element) {
        place(label(dim, j, provided), element);
        return true;
      });
    } else {
      place(label(dim, 0, 1), node);
    }
  }

  // The key of position j of a dimension: its label when the data has as many positions as the
  // dimension has labels, else counted from the range's start, else 1-based.
  Ref label(std::size_t dim, Py_ssize_t j, Py_ssize_t provided) const {
    Handle labels = labels_[dim];
    if (labels.get() != nullptr && provided == len(labels)) {
      if (j < len(labels)) return item(labels, j);
      return py_int(j + 1);
    }
    if (starts_[dim] && is_int(starts_[dim])) return int_plus(starts_[dim], j);
    return py_int(j + 1);
  }

  std::vector<Ref> labels_;  // an empty Ref where a dimension has no labels
  std::vector<Ref> starts_;  // an empty Ref where a dimension is no range
  Ref result_;
};

}  // namespace

Ref flatten_nested_dict(Handle value, std::vector<Ref> labels, std::vector<Ref> starts) {
  return NestedDictFlattener(std::move(labels), std::move(starts)).run(value);
}

}  // namespace mipwright::data
