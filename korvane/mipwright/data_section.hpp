// Internal to the data section: what its two halves share. The first half (data_section.cpp)
// prepares and validates the data and writes set literals; the second (data_parameters.cpp)
// writes indexed parameters whose data must become dictionaries keyed by index tuples.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "generator.hpp"

namespace mipwright::data {

// ---- declaration kinds ----

using Kinds = std::span<const Key* const>;

inline const Key* const kParameterKinds[] = {
    &K::parameter_external,
    &K::parameter_external_indexed,
    &K::parameter_external_explicit,
    &K::parameter_external_explicit_indexed,
    &K::parameter_inline,
    &K::parameter_inline_indexed,
};
inline const Key* const kSetOfTuplesKinds[] = {&K::set_of_tuples, &K::set_of_tuples_external};
inline const Key* const kTypedSetKinds[] = {&K::typed_set, &K::typed_set_external};
inline const Key* const kTupleArrayKinds[] = {&K::tuple_array, &K::tuple_array_external};
inline const Key* const kInlineParameterKinds[] = {&K::parameter_inline, &K::parameter_inline_indexed};
inline const Key* const kInlineRangeKinds[] = {&K::range_declaration_inline};
inline const Key* const kRangeDimensionKinds[] = {&K::named_range_dimension, &K::range_index};
inline const Key* const kNamedDimensionKinds[] = {&K::named_set_dimension, &K::named_range_dimension};
// Where a dimension's set elements may come from, in the orders the lookups list them.
inline const Key* const kLabelSetKinds[] = {&K::typed_set, &K::typed_set_external, &K::set_declaration,
                                            &K::set_of_tuples, &K::set_of_tuples_external};
inline const Key* const kKeyedSetKinds[] = {&K::set_of_tuples, &K::set_of_tuples_external, &K::typed_set,
                                            &K::typed_set_external, &K::set_declaration};

// value in kinds
bool is_kind(Handle value, Kinds kinds);
// A fresh list of the kinds, as the `types=[...]` argument of a declaration lookup.
Ref kinds_list(Kinds kinds);
// self._find_declaration_by_name(name, types=[...kinds])
Ref find_declaration(const Gen& g, Handle name, Kinds kinds);

// ---- iteration that survives callbacks into Python code ----

// Calls f(index, element) for each element of a list, a tuple or any iterable, in order, each
// element held by a strong reference; f returns false to stop early.
template <class F>
void for_each_element(Handle seq, F&& f) {
  if (PyList_Check(seq.get())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
      Ref x = Ref::borrow(PyList_GET_ITEM(seq.get(), i));
      if (!f(i, Handle(x))) return;
    }
  } else if (PyTuple_Check(seq.get())) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
      if (!f(i, Handle(PyTuple_GET_ITEM(seq.get(), i)))) return;
    }
  } else {
    Py_ssize_t i = 0;
    for (Ref& x : Iterate(seq)) {
      if (!f(i++, Handle(x))) return;
    }
  }
}

// Calls f(key, value) for each item of a dict in order; f returns false to stop early. A dict
// that changes size meanwhile raises RuntimeError, as iterating its items() does in Python.
template <class F>
void for_each_item(Handle dict, F&& f) {
  Py_ssize_t pos = 0, size = PyDict_GET_SIZE(dict.get());
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k), value = Ref::borrow(v);
    bool go_on = f(Handle(key), Handle(value));
    if (PyDict_GET_SIZE(dict.get()) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (!go_on) return;
  }
}

// The items of a sequence or iterable as a vector, for code that indexes and slices it.
std::vector<Ref> items_of(Handle seq);

// ---- range bounds ----

// Evaluates range-bound expressions (numbers, data names and + - * / over them) to ints, reading
// names from `data`. The validation pass names an unlisted operator in its message; the
// parameter stages report the whole node instead.
class BoundEvaluator {
 public:
  enum class OperatorMessage { Operator, Node };
  BoundEvaluator(Handle data, OperatorMessage message) : data_(data), message_(message) {}
  Ref operator()(Handle node) const;

 private:
  [[noreturn]] void unsupported(Handle node) const;
  Handle data_;
  OperatorMessage message_;
};

// ---- checks and set literals shared by both halves ----

// Raises SemanticError when nested list data has other lengths than its dimensions demand.
void check_shape(const Gen& g, Handle param_data, const std::vector<Ref>& dims, Handle data_dict, Handle param_name);

// Tuple types, sets of tuples, typed sets and tuple arrays as literals.
void emit_set_literals(const Gen& g, Handle data_dict);
// name = [v1, v2, ...] and its position index.
void emit_typed_set(const Gen& g, Handle name, Handle values);

// Parameter declarations by name; a later declaration of a name wins.
Ref parameter_map(const Gen& g);

// ---- keys, elements and literal text ----

// any(isinstance(x, (list, tuple)) for x in seq)
bool has_sequence_element(Handle seq);
// Lists and tuples become tuples at every depth; anything else is kept as it is.
Ref to_key(Handle value);
// tuple(x) for a list or tuple, x itself otherwise.
Ref tuple_if_sequence(Handle x);
// [tuple_if_sequence(x) for x in items]
Ref tuples_of(Handle items);
// tuple(k) for a list or tuple key, (k,) for any other.
Ref key_tuple(Handle key);
// base + offset on Python ints.
Ref int_plus(Handle base, Py_ssize_t offset);
// list(range(first, last + 1))
Ref inclusive_range(Handle first, Handle last);
// The elements of a set value (a list, or a dict holding them under 'elements'), each with its
// nested lists turned into tuples so that it can be part of a key; [] for None.
Ref normalized_elements(Handle set_value);
// A dict holding a set's elements under 'elements' gives those; any other value is itself.
Ref unwrapped_elements(Handle set_value);

// Appends repr(value).
void append_repr(std::string& out, Handle value);

// json.dumps(value) for each value of a literal. Exact ints, finite floats, strings, booleans and
// None are written from the very pieces json.dumps itself uses (int.__repr__, float.__repr__,
// encode_basestring_ascii, true/false/null), which keeps a million values fast; everything else
// goes through json.dumps.
class JsonText {
 public:
  explicit JsonText(const Gen& g);
  void append(std::string& out, Handle value) const;

 private:
  Ref dumps_;
  Ref encode_string_;
};

// Appends the literal of {(keys[0][p1], ..., keys[n-1][pn]): leaf} for the leaves of nested
// lists at positions (p1, ..., pn) and returns the number of entries; nullopt (and nothing
// usable in `out`) when a leaf sits at a depth or position the dimensions do not have.
std::optional<Py_ssize_t> flatten_nested_list(Handle value, const std::vector<Ref>& keys, std::string& out);

// Nested dict data, one level per dimension, as one dict keyed by index tuples. `labels` holds
// each dimension's labels and `starts` each range dimension's first value (empty Refs where
// there are none); lists and scalars in the data stand for positions.
Ref flatten_nested_dict(Handle value, std::vector<Ref> labels, std::vector<Ref> starts);

// ---- emission ----

void emit_line(const Gen& g, Handle line);
// name = <literal>
void emit_assignment(const Gen& g, Handle name, Handle literal);
// self.dict_params.add(name)
void record_dict_param(const Gen& g, Handle name);

// ---- the second half ----

// The data the parameter stages work on.
struct ParameterRun {
  const Gen& g;
  Handle data_dict;     // the method's argument
  Handle working_data;  // the data completed by inline values
  Handle aliased;       // working_data with the __map aliases: the entries the stages walk
};

// Writes the parameters whose data becomes a dictionary, then the remaining entries.
void emit_dictionary_parameters(const ParameterRun& run);

}  // namespace mipwright::data
