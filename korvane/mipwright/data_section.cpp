// The data section of the script: the values of the .dat file as Python literals, written before
// the model object exists. This file holds the frame of the method, the preparation and shape
// validation of the data, and the set literals; data_parameters.cpp writes the parameters whose
// data becomes a dictionary.
#include "data_section.hpp"

namespace mipwright::data {

bool is_kind(Handle value, Kinds kinds) {
  for (const Key* kind : kinds) {
    if (eq(value, *kind)) return true;
  }
  return false;
}

Ref kinds_list(Kinds kinds) {
  Ref out = check(PyList_New(static_cast<Py_ssize_t>(kinds.size())));
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(kinds[i]->get()));
  }
  return out;
}

Ref find_declaration(const Gen& g, Handle name, Kinds kinds) {
  return g.find_declaration(name, kinds_list(kinds));
}

std::vector<Ref> items_of(Handle seq) {
  std::vector<Ref> out;
  for_each_element(seq, [&](Py_ssize_t, Handle x) {
    out.push_back(Ref::borrow(x));
    return true;
  });
  return out;
}

void emit_line(const Gen& g, Handle line) {
  call_method(g.self(), K::add_code_line, line);
}

void emit_assignment(const Gen& g, Handle name, Handle literal) {
  Ref prefix = py_str(text(name) + " = ");
  emit_line(g, check(PyUnicode_Concat(prefix.get(), literal)));
}

void record_dict_param(const Gen& g, Handle name) {
  static Key add{"add"};
  Ref names = g.attr(K::dict_params);
  if (PySet_CheckExact(names.get())) {
    check_status(PySet_Add(names.get(), name));
  } else {
    call_method(names, add, name);
  }
}

// ---- range bounds ----

Ref BoundEvaluator::operator()(Handle node) const {
  RecursionGuard guard(" while evaluating a range bound");
  if (!is_dict(node)) unsupported(node);
  Ref type = get(node, K::type);
  if (eq(type, K::number)) return check(PyNumber_Long(item(node, K::value).get()));
  if (eq(type, K::name)) return check(PyNumber_Long(item(data_, item(node, K::value)).get()));
  if (!eq(type, K::binop)) unsupported(node);
  Ref left = (*this)(item(node, K::left));
  Ref right = (*this)(item(node, K::right));
  Ref op = item(node, K::op);
  binaryfunc apply = nullptr;
  if (is_str(op)) {
    std::string_view o = utf8(op);
    // A range bound is an integer, so division rounds down.
    apply = o == "+"   ? PyNumber_Add
            : o == "-" ? PyNumber_Subtract
            : o == "*" ? PyNumber_Multiply
            : o == "/" ? PyNumber_FloorDivide
                       : nullptr;
  }
  if (apply != nullptr) return check(apply(left.get(), right.get()));
  if (message_ == OperatorMessage::Operator)
    raise(PyExc_Exception, "Unsupported binop in range bound expr: " + text(op));
  unsupported(node);
}

void BoundEvaluator::unsupported(Handle node) const {
  raise(PyExc_Exception, "Unsupported range bound expr: " + text(node));
}

// ---- shape validation of nested list data ----

namespace {

// Checks one parameter's nested lists level by level, as deep as the lengths are known.
class ShapeCheck {
 public:
  ShapeCheck(const Gen& g, const std::vector<Ref>& dims, Handle data_dict, Handle param_name)
      : g_(g),
        dims_(dims),
        data_dict_(data_dict),
        param_name_(param_name),
        bounds_(data_dict, BoundEvaluator::OperatorMessage::Operator) {}

  void run(Handle param_data, std::size_t dim) {
    RecursionGuard guard(" while checking the shape of parameter data");
    if (dim == dims_.size()) {
      g_.debug("shape %s: reached scalar at dim %d", param_name_, py_int(static_cast<long long>(dim)));
      return;
    }
    Handle d0 = dims_[dim];
    Ref expected = expected_length(d0);
    Ref actual = is_sequence(param_data) ? py_int(len(param_data)) : py_str("scalar");
    g_.debug("shape %s: dim %d expected_len=%s actual=%s dim_type=%s dim_name=%s", param_name_, level(dim), expected,
             actual, get(d0, K::type), get(d0, K::name));
    if (is_none(expected)) return;  // unknown length: this level and deeper ones go unchecked
    std::size_t remaining = dims_.size() - dim;
    if (!is_sequence(param_data)) scalar_error(remaining, dim);
    if (!eq(actual, expected)) length_error(d0, actual, expected, dim);
    if (remaining > 1) {
      for_each_element(param_data, [&](Py_ssize_t, Handle sub) {
        run(sub, dim + 1);
        return true;
      });
    }
  }

 private:
  static Ref level(std::size_t dim) { return py_int(static_cast<long long>(dim + 1)); }

  // The length a dimension demands, or None when it cannot be known here.
  Ref expected_length(Handle d0) const {
    Ref type = get(d0, K::type);
    if (eq(type, K::named_range_dimension)) {
      Ref range = find_declaration(g_, item(d0, K::name), kInlineRangeKinds);
      if (is_none(range)) return none();
      Ref end = bounds_(item(range, K::end));
      Ref span = check(PyNumber_Subtract(end.get(), bounds_(item(range, K::start)).get()));
      Ref one = py_int(1);
      return check(PyNumber_Add(span.get(), one.get()));
    }
    if (eq(type, K::named_set_dimension)) {
      Ref set = get(data_dict_, item(d0, K::name));
      if (is_none(set)) return none();
      if (is_dict(set) && contains(set, K::elements)) return py_int(len(item(set, K::elements)));
      return py_int(len(set));
    }
    return none();
  }

  [[noreturn]] void scalar_error(std::size_t remaining, std::size_t dim) const {
    Ref count = py_int(static_cast<long long>(remaining));
    g_.debug("shape error %s: expected %dD array, got scalar at dim %d", param_name_, count, level(dim));
    g_.semantic_error("Parameter '" + text(param_name_) + "' expected a " + std::to_string(remaining) +
                      "D array, got scalar at dimension " + std::to_string(dim + 1) + ".");
  }

  [[noreturn]] void length_error(Handle d0, Handle actual, Handle expected, std::size_t dim) const {
    Ref dim_name = get(d0, K::name);
    g_.debug("shape error %s: data length %d does not match declared dimension '%s' length %d at dim %d", param_name_,
             actual, dim_name, expected, level(dim));
    g_.semantic_error("Parameter '" + text(param_name_) + "' data length " + text(actual) +
                      " does not match declared dimension '" + text(dim_name) + "' of length " + text(expected) +
                      " at dimension " + std::to_string(dim + 1) + ".");
  }

  const Gen& g_;
  const std::vector<Ref>& dims_;
  Handle data_dict_;
  Handle param_name_;
  BoundEvaluator bounds_;
};

}  // namespace

void check_shape(const Gen& g, Handle param_data, const std::vector<Ref>& dims, Handle data_dict, Handle param_name) {
  ShapeCheck(g, dims, data_dict, param_name).run(param_data, 0);
}

// ---- set literals ----

namespace {

bool has_declarations(const Gen& g) {
  return hasattr(g.self(), K::ast) && contains(g.attr(K::ast), K::declarations);
}

Ref declarations(const Gen& g) {
  return item(g.attr(K::ast), K::declarations);
}

void register_tuple_type(const Gen& g, Handle decl) {
  if (!hasattr(g.self(), K::tuple_types)) g.set(K::tuple_types, new_dict());
  set_item(g.attr(K::tuple_types), item(decl, K::name), item(decl, K::fields));
}

void emit_tuple_set(const Gen& g, Handle decl, Handle data_dict) {
  Ref name = item(decl, K::name);
  Ref tuples = call_method(g.global(K::TupleSetHelper), K::get_tuple_set, name, g.attr(K::ast), data_dict);
  if (truthy(tuples)) emit_assignment(g, name, repr(tuples));
}

// The elements written inline in the model, else those of the data file; none at all is empty.
Ref typed_set_values(Handle decl, Handle name, Handle data_dict) {
  Ref values = get(decl, K::value);
  if (!truthy(values) && contains(data_dict, name)) values = item(data_dict, name);
  return is_none(values) ? new_list() : std::move(values);
}

// Each record becomes a dict from the tuple type's field names to the record's values, position
// by position; a short record gives fewer fields and surplus values are dropped.
Ref records_as_dicts(Handle records, const std::vector<Ref>& field_names) {
  Ref out = new_list();
  for_each_element(records, [&](Py_ssize_t, Handle record) {
    Ref fields = new_dict();
    for_each_element(record, [&](Py_ssize_t i, Handle value) {
      if (static_cast<std::size_t>(i) >= field_names.size()) return false;
      set_item(fields, field_names[i], value);
      return true;
    });
    append(out, fields);
    return true;
  });
  return out;
}

void emit_tuple_array(const Gen& g, Handle decl, Handle data_dict) {
  Ref name = item(decl, K::name);
  Ref tuple_type = item(decl, K::tuple_type);
  Ref index_set = item(decl, K::index_set);
  Ref records = get(data_dict, name);
  if (is_none(records)) return;
  Ref no_types = new_dict();
  Ref types = getattr(g.self(), K::tuple_types, no_types);
  if (!contains(types, tuple_type)) return;
  std::vector<Ref> field_names;
  for (Ref& field : Iterate(item(types, tuple_type))) field_names.push_back(item(field, K::name));
  Ref json_text = call_method(g.global(K::json), K::dumps, records_as_dicts(records, field_names));
  std::string n = text(name);
  emit_line(g, check(PyUnicode_Concat(py_str(n + "_data = ").get(), json_text.get())));
  g.emit(n + " = {idx: rec for idx, rec in zip(" + text(index_set) + ", " + n + "_data)}");
}

}  // namespace

void emit_typed_set(const Gen& g, Handle name, Handle values) {
  // repr of a list is "[" + the reprs of its items joined by ", " + "]".
  emit_assignment(g, name, repr(to_list(values)));
  std::string n = text(name);
  g.emit(n + "_index = {v:i for i,v in enumerate(" + n + ")}");
}

void emit_set_literals(const Gen& g, Handle data_dict) {
  if (!has_declarations(g)) return;
  for (Ref& decl : Iterate(declarations(g))) {
    Ref type = get(decl, K::type);
    if (eq(type, K::tuple_type)) {
      register_tuple_type(g, decl);
    } else if (is_kind(type, kSetOfTuplesKinds)) {
      emit_tuple_set(g, decl, data_dict);
    } else if (is_kind(type, kTypedSetKinds)) {
      Ref name = item(decl, K::name);
      emit_typed_set(g, name, typed_set_values(decl, name, data_dict));
    } else if (is_kind(type, kTupleArrayKinds)) {
      emit_tuple_array(g, decl, data_dict);
    }
  }
}

Ref parameter_map(const Gen& g) {
  Ref out = new_dict();
  Ref empty = new_list();
  for (Ref& decl : Iterate(get(g.attr(K::ast), K::declarations, empty))) {
    if (is_kind(get(decl, K::type), kParameterKinds)) set_item(out, item(decl, K::name), decl);
  }
  return out;
}

// ---- preparing the data ----

namespace {

// Sets of tuples given as bare lists take the {'elements': [...]} form that sets have elsewhere.
void wrap_tuple_set_lists(const Gen& g, Handle data_dict) {
  if (!has_declarations(g)) return;
  for (Ref& decl : Iterate(declarations(g))) {
    if (!is_kind(get(decl, K::type), kSetOfTuplesKinds)) continue;
    Ref name = get(decl, K::name);
    if (!contains(data_dict, name)) continue;
    Ref value = item(data_dict, name);
    if (!is_list(value)) continue;
    Ref wrapped = new_dict();
    set_item(wrapped, K::elements, value);
    set_item(data_dict, name, wrapped);
  }
}

// A list alternating string keys and numbers, as the .dat syntax `["a", 1, "b", 2]` gives it, as
// the dict of its pairs; an empty Ref for any other value.
Ref pairs_as_dict(Handle value) {
  if (!is_list(value)) return {};
  Py_ssize_t n = PyList_GET_SIZE(value.get());
  if (n == 0 || n % 2 != 0) return {};
  for (Py_ssize_t i = 0; i < n; i += 2) {
    if (!is_str(PyList_GET_ITEM(value.get(), i)) || !is_number(PyList_GET_ITEM(value.get(), i + 1))) return {};
  }
  Ref out = new_dict();
  for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(value.get()); i += 2) {
    Ref key = Ref::borrow(PyList_GET_ITEM(value.get(), i));
    Ref number = Ref::borrow(PyList_GET_ITEM(value.get(), i + 1));
    set_item(out, key, number);
  }
  return out;
}

void log_stores(const Gen& g, Handle name, Handle data_dict) {
  if (!eq(name, K::Capacity) || !contains(data_dict, K::Stores)) return;
  Ref stores = item(data_dict, K::Stores);
  g.debug("[data_dict] Stores: %s len=%d", stores, py_int(len(stores)));
}

// Flat key/value lists become dicts in place; other list data must fit its dimensions.
void prepare_parameter_data(const Gen& g, Handle data_dict) {
  if (!has_declarations(g)) return;
  for (Ref& decl : Iterate(declarations(g))) {
    if (!is_kind(get(decl, K::type), kParameterKinds) || !truthy(get(decl, K::dimensions))) continue;
    Ref param_data = get(data_dict, item(decl, K::name));
    log_stores(g, item(decl, K::name), data_dict);
    if (Ref pairs = pairs_as_dict(param_data)) {
      set_item(data_dict, item(decl, K::name), pairs);
    } else if (is_sequence(param_data)) {
      check_shape(g, param_data, items_of(item(decl, K::dimensions)), data_dict, item(decl, K::name));
    }
  }
}

// The data with the values written inline in the model for names the data file leaves out.
Ref completed_data(const Gen& g, Handle data_dict) {
  Ref working = truthy(data_dict) ? call(reinterpret_cast<PyObject*>(&PyDict_Type), data_dict) : new_dict();
  if (!has_declarations(g)) return working;
  for (Ref& decl : Iterate(declarations(g))) {
    Ref type = get(decl, K::type);
    bool typed_set = is_kind(type, kTypedSetKinds);
    if (!typed_set && !is_kind(type, kInlineParameterKinds)) continue;
    Ref name = item(decl, K::name);
    if (contains(working, name) || is_none(get(decl, K::value))) continue;
    set_item(working, name, typed_set ? get(decl, K::value) : item(decl, K::value));
  }
  return working;
}

// key.endswith(suffix) for str keys; other keys never match.
bool ends_with(Handle key, Handle suffix) {
  if (!is_str(key)) return false;
  Py_ssize_t match = PyUnicode_Tailmatch(key, suffix, 0, PY_SSIZE_T_MAX, 1);
  if (match < 0) throw PyErrorSet{};
  return match == 1;
}

// A copy in which a key "P__map" also provides its value under "P".
Ref with_aliases(Handle working) {
  Ref aliased = check(PyDict_Copy(working));
  Ref keys = check(PyDict_Keys(working));
  Py_ssize_t suffix_length = PyUnicode_GET_LENGTH(K::map_suffix.get());
  for_each_element(keys, [&](Py_ssize_t, Handle key) {
    if (ends_with(key, K::map_suffix)) {
      Ref base = check(PyUnicode_Substring(key, 0, PyUnicode_GET_LENGTH(key.get()) - suffix_length));
      set_item(aliased, base, item(working, key));
    }
    return true;
  });
  return aliased;
}

// A 1-D parameter over a set or range takes one scalar per key; [2.0] for a key is a common
// slip in data files, caught here with a message that says how to write it.
void check_scalar_values_per_key(const Gen& g, Handle params, Handle aliased) {
  for_each_item(params, [&](Handle name, Handle decl) {
    Ref dims = get(decl, K::dimensions);
    if (!truthy(dims)) return true;
    if (len(dims) != 1) return true;
    Ref dim = item(dims, 0);
    if (!is_kind(get(dim, K::type), kNamedDimensionKinds)) return true;
    Ref data = get(aliased, name);
    if (!is_dict(data)) return true;
    for_each_item(data, [&](Handle key, Handle value) {
      if (!is_sequence(value) && !is_dict(value)) return true;
      g.semantic_error("Parameter '" + text(name) + "' declared as 1-D over '" + text(get(dim, K::name)) +
                       "' expects scalar values per key, but data provides an array for key " + repr_text(key) +
                       ". Use scalar values (e.g., 2.0), not [2.0].");
    });
    return true;
  });
}

Ref generate_data_declarations(const Call& c) {
  auto [self, data_dict] =
      c.bind(Params<2>{"GurobiCodeGenerator._generate_data_declarations", {"self", "data_dict"}, 2});
  Gen g(c.module, self);
  g.debug("Entering _generate_data_declarations");
  wrap_tuple_set_lists(g, data_dict);
  prepare_parameter_data(g, data_dict);
  g.set(K::dict_params, new_set());
  emit_set_literals(g, data_dict);
  Ref working = completed_data(g, data_dict);
  Ref aliased = with_aliases(working);
  g.emit("# Data from .dat file");
  check_scalar_values_per_key(g, parameter_map(g), aliased);
  emit_dictionary_parameters({g, data_dict, working, aliased});
  return none();
}

}  // namespace
}  // namespace mipwright::data

namespace mipwright {
namespace {

PyMethodDef kMethods[] = {
    KV_FUNCTION("_generate_data_declarations", data::generate_data_declarations,
                "Write the data section: the data file's values as Python literals."),
};

}  // namespace

std::span<PyMethodDef> data_section_methods{kMethods};

}  // namespace mipwright
