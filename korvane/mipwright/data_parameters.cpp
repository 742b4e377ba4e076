// The second half of the data section: indexed parameters whose data is a nested list, a dict
// keyed by index tuples, nested dicts, a row table over a set and a range, or a 1-D list over a
// declared set or range, each written as one dictionary literal keyed by index tuples (one
// component per dimension). Such parameters go into dict_params, so the declarations do not
// write them again. Every data entry the rules leave alone gets an empty line.
#include <limits>
#include <optional>
#include <utility>

#include "data_section.hpp"

namespace mipwright::data {
namespace {

bool all_values_are_sequences(Handle dict) {
  bool all = true;
  for_each_item(dict, [&](Handle, Handle v) { return all = is_sequence(v); });
  return all;
}

// ---- one entry of the data ----

struct Entry {
  Handle name;
  Handle value;
  Ref pdecl;              // its parameter declaration, or None
  std::vector<Ref> dims;  // the declaration's dimension nodes

  bool has_decl() const { return !is_none(pdecl); }
  Ref dim_type(std::size_t i) const { return get(dims[i], K::type); }
};

// ---- the stages ----

class ParameterStages {
 public:
  explicit ParameterStages(const ParameterRun& run)
      : g_(run.g),
        data_dict_(run.data_dict),
        working_(run.working_data),
        aliased_(run.aliased),
        params_(parameter_map(run.g)),
        written_(new_set()),
        bounds_(run.working_data, BoundEvaluator::OperatorMessage::Node) {}

  void run() {
    for_each_entry([&](Entry& e) { write_nested_list(e); });
    for_each_entry([&](Entry& e) { write_dictionary_data(e); });
    g_.set(K::dict_params, check(PySet_New(g_.attr(K::dict_params).get())));
    emit_set_literals(g_, data_dict_);
    params_ = parameter_map(g_);
    for_each_entry([&](Entry& e) { write_remaining(e); });
  }

 private:
  // Calls f for each entry of the aliased data in order, skipping those already written.
  template <class F>
  void for_each_entry(F&& f) {
    for_each_item(aliased_, [&](Handle name, Handle value) {
      if (check_status(PySet_Contains(written_.get(), name))) return true;
      Entry e{name, value, get(params_, name), {}};
      if (e.has_decl()) {
        Ref dims = get(e.pdecl, K::dimensions);
        if (truthy(dims)) e.dims = items_of(dims);
      }
      f(e);
      return true;
    });
  }

  void record(Handle name) {
    record_dict_param(g_, name);
    check_status(PySet_Add(written_.get(), name));
  }

  // name = repr(mapping), and an info line with its size.
  void emit_logged(const Entry& e, Handle mapping, const char* format) {
    emit_assignment(g_, e.name, repr(mapping));
    g_.info(format, e.name, py_int(len(mapping)));
  }

  // ---- range dimensions ----

  // The start and end nodes of a range dimension. A named range written without them takes
  // them from its inline declaration; when there is none the dimension has no bounds here.
  std::optional<std::pair<Ref, Ref>> range_nodes(Handle dim) const {
    if (eq(get(dim, K::type), K::named_range_dimension) && !(contains(dim, K::start) && contains(dim, K::end))) {
      Ref decl = find_declaration(g_, item(dim, K::name), kInlineRangeKinds);
      if (is_none(decl)) return std::nullopt;
      return std::pair{item(decl, K::start), item(decl, K::end)};
    }
    return std::pair{item(dim, K::start), item(dim, K::end)};
  }

  // The values of a range dimension, or an empty Ref when it has no bounds.
  Ref range_labels(Handle dim) const {
    auto nodes = range_nodes(dim);
    if (!nodes) return {};
    Ref first = bounds_(nodes->first);
    return inclusive_range(first, bounds_(nodes->second));
  }

  Ref range_start(Handle dim) const {
    auto nodes = range_nodes(dim);
    return nodes ? bounds_(nodes->first) : Ref();
  }

  // The bounds of the range dimension of a row table: from the node, its inline declaration,
  // or range data of that name.
  std::pair<Ref, Ref> range_bounds(Handle dim) const {
    Ref start = get(dim, K::start), end = get(dim, K::end);
    if (is_dict(start) && is_dict(end)) {
      Ref first = bounds_(start);
      return {std::move(first), bounds_(end)};
    }
    Ref name = get(dim, K::name);
    Ref decl = find_declaration(g_, name, kInlineRangeKinds);
    if (is_dict(decl)) {
      Ref first = bounds_(item(decl, K::start));
      return {std::move(first), bounds_(item(decl, K::end))};
    }
    Ref data = get(working_, name);
    if (is_dict(data) && eq(get(data, K::type), K::range_data)) {
      Ref first = check(PyNumber_Long(item(data, K::start).get()));
      return {std::move(first), check(PyNumber_Long(item(data, K::end).get()))};
    }
    g_.semantic_error("Named range '" + text(name) + "' has no bounds.");
  }

  static Ref range_length(const std::pair<Ref, Ref>& bounds) {
    Ref span = check(PyNumber_Subtract(bounds.second.get(), bounds.first.get()));
    return int_plus(span, 1);
  }

  // ---- set dimensions ----

  // A set's elements from the data, else from its declaration's inline value; None when neither.
  Ref set_labels(Handle set_name) const {
    Ref value = get(working_, set_name);
    if (is_none(value)) {
      Ref decl = find_declaration(g_, set_name, kLabelSetKinds);
      if (is_none(decl)) return none();
      value = get(decl, K::value);
      if (is_none(value)) return none();
    }
    return normalized_elements(value);
  }

  Ref tuple_set(Handle set_name, Handle data) const {
    return call_method(g_.global(K::TupleSetHelper), K::get_tuple_set, set_name, g_.attr(K::ast), data);
  }

  // The elements of a set of tuples with every list or tuple element as a tuple.
  Ref tuple_list(Handle set_name) const { return tuples_of(tuple_set(set_name, working_)); }

  // ---- stage: nested lists of two or more dimensions ----

  void write_nested_list(const Entry& e) {
    if (!truthy(e.pdecl) || !is_sequence(e.value) || e.dims.size() < 2) return;
    std::vector<Ref> keys;
    for (const Ref& dim : e.dims) {
      Ref type = get(dim, K::type);
      Ref dim_keys;
      if (is_kind(type, kRangeDimensionKinds)) {
        dim_keys = range_labels(dim);
      } else if (eq(type, K::named_set_dimension)) {
        Ref no_elements = new_list();
        dim_keys = normalized_elements(get(working_, item(dim, K::name), no_elements));
      }
      if (!dim_keys) return;  // a dimension without keys: left to the later stages
      keys.push_back(std::move(dim_keys));
    }
    std::string line = text(e.name) + " = ";
    std::optional<Py_ssize_t> entries = flatten_nested_list(e.value, keys, line);
    if (!entries) return;  // data of another shape: left to the later stages
    g_.emit(line);
    g_.info("Emitting flattened dict for '%s' with %d entries", e.name, py_int(*entries));
    record(e.name);
  }

  // ---- stage: dictionary data ----

  void write_dictionary_data(const Entry& e) {
    if (!e.has_decl()) return;
    if (is_dict(e.value)) {
      if (has_sequence_key(e.value) && uniform_key_length(e.value) == static_cast<Py_ssize_t>(e.dims.size())) {
        write_tuple_keyed(e);
      } else if (e.dims.size() >= 2) {
        write_nested_dict(e);
      }
    } else if (is_sequence(e.value)) {
      check_shape(g_, e.value, e.dims, working_, e.name);
    }
  }

  static bool has_sequence_key(Handle dict) {
    bool any = false;
    for_each_item(dict, [&](Handle k, Handle) { return !(any = is_sequence(k)); });
    return any;
  }

  // The common length of the keys (a scalar key counts 1), or -1 when they differ.
  static Py_ssize_t uniform_key_length(Handle dict) {
    Py_ssize_t common = -2;
    for_each_item(dict, [&](Handle k, Handle) {
      Py_ssize_t n = is_sequence(k) ? len(k) : 1;
      if (common == -2) common = n;
      if (n != common) common = -1;
      return common != -1;
    });
    return common;
  }

  void write_tuple_keyed(const Entry& e) {
    bool has_list_values = !no_sequence_values(e.value);
    bool all_full = all_keys_full(e);
    if (!has_list_values && all_full) {
      emit_logged(e, normalized_mapping(e.value), "Emitting normalized scalar mapping for '%s' with %d entries");
    } else if (Ref expanded = has_list_values && !all_full ? expanded_mapping(e) : Ref()) {
      emit_logged(e, expanded, "Emitting expanded flat mapping for '%s' with %d entries");
    } else {
      emit_logged(e, normalized_mapping(e.value), "Emitting fallback normalized mapping for '%s' with %d entries");
    }
    record(e.name);
  }

  static bool no_sequence_values(Handle dict) {
    bool none_found = true;
    for_each_item(dict, [&](Handle, Handle v) { return none_found = !is_sequence(v); });
    return none_found;
  }

  // Every key has one component per dimension: a tuple for a dimension over a set of tuples, a
  // scalar for any other. Whether a dimension is over a set of tuples is looked up once.
  bool all_keys_full(const Entry& e) const {
    std::vector<int> tuple_dim(e.dims.size(), -1);
    auto is_tuple_dim = [&](std::size_t i) {
      if (tuple_dim[i] < 0) {
        const Ref& dim = e.dims[i];
        bool over_tuples = false;
        if (eq(get(dim, K::type), K::named_set_dimension)) {
          Ref decl = g_.find_declaration(get(dim, K::name));
          over_tuples = !is_none(decl) && is_kind(get(decl, K::type), kSetOfTuplesKinds);
        }
        tuple_dim[i] = over_tuples;
      }
      return tuple_dim[i] == 1;
    };
    bool all = true;
    for_each_item(e.value, [&](Handle k, Handle) {
      all = is_sequence(k) && len(k) == static_cast<Py_ssize_t>(e.dims.size());
      for (std::size_t i = 0; all && i < e.dims.size(); ++i) all = is_sequence(item(k, i)) == is_tuple_dim(i);
      return all;
    });
    return all;
  }

  static Ref normalized_mapping(Handle dict) {
    Ref out = new_dict();
    for_each_item(dict, [&](Handle k, Handle v) {
      set_item(out, key_tuple(k), v);
      return true;
    });
    return out;
  }

  // Values given as one list per key of the first set, one entry per element of the second (a
  // set of tuples): {(key, element): value}. An empty Ref when the data does not fit.
  Ref expanded_mapping(const Entry& e) const {
    if (e.dims.size() != 2 || !eq(e.dim_type(0), K::named_set_dimension) ||
        !eq(e.dim_type(1), K::named_set_dimension)) {
      return {};
    }
    Ref elements = tuple_set_or_nothing(get(e.dims[1], K::name));
    if (!elements || !truthy(elements)) return {};
    Ref columns = tuples_of(elements);
    Py_ssize_t n = PyList_GET_SIZE(columns.get());
    Ref out = new_dict();
    bool fits = true;
    for_each_item(e.value, [&](Handle k, Handle row) {
      if (!is_sequence(row) || len(row) != n) return fits = false;
      Ref row_key = key_tuple(k);
      for_each_element(row, [&](Py_ssize_t j, Handle v) {
        if (j >= PyList_GET_SIZE(columns.get())) return false;
        set_item(out, tuple_of(row_key, PyList_GET_ITEM(columns.get(), j)), v);
        return true;
      });
      return true;
    });
    return (fits && PyDict_GET_SIZE(out.get()) > 0) ? std::move(out) : Ref();
  }

  // The tuple set's elements; a failure to fetch them only means there are none to use.
  Ref tuple_set_or_nothing(Handle set_name) const {
    std::optional<Ref> elements = catching(PyExc_Exception, [&] { return tuple_set(set_name, working_); });
    return elements ? std::move(*elements) : Ref();
  }

  void write_nested_dict(const Entry& e) {
    std::vector<Ref> labels, starts;
    for (const Ref& dim : e.dims) labels.push_back(dimension_labels(dim));
    for (const Ref& dim : e.dims) starts.push_back(dimension_start(dim));
    Ref flat = flatten_nested_dict(e.value, std::move(labels), std::move(starts));
    if (PyDict_GET_SIZE(flat.get()) == 0) return;
    emit_assignment(g_, e.name, repr(flat));
    record(e.name);
  }

  // The labels of a dimension's positions, or an empty Ref when it has none.
  Ref dimension_labels(Handle dim) const {
    Ref type = get(dim, K::type);
    if (eq(type, K::named_set_dimension)) {
      Ref labels = set_labels(item(dim, K::name));
      return is_none(labels) ? Ref() : std::move(labels);
    }
    if (is_kind(type, kRangeDimensionKinds)) return range_labels(dim);
    return {};
  }

  Ref dimension_start(Handle dim) const {
    return is_kind(get(dim, K::type), kRangeDimensionKinds) ? range_start(dim) : Ref();
  }

  // ---- the remaining entries ----

  void write_remaining(const Entry& e) {
    if (write_set_by_range_rows(e) || write_tuple_range_rows(e)) return;
    if (truthy(e.pdecl)) {
      g_.debug("_generate_data_declarations: Emitting parameter %s type=%s dims=%s", e.name, get(e.pdecl, K::type),
               get(e.pdecl, K::dimensions));
    }
    if (!is_none(find_declaration(g_, e.name, kTypedSetKinds))) {
      emit_typed_set(g_, e.name, e.value);
      return;
    }
    if (write_one_dimensional(e)) return;
    g_.emit("");
  }

  bool dims_are(const Entry& e, const Key& first, const Key& second) const {
    return e.dims.size() == 2 && eq(e.dim_type(0), first) && eq(e.dim_type(1), second);
  }

  // {key: [v_start, ..., v_end]} over a set and a range: {(key, j): v_j}.
  bool write_set_by_range_rows(const Entry& e) {
    if (!truthy(e.pdecl) || !is_dict(e.value) || !dims_are(e, K::named_set_dimension, K::named_range_dimension) ||
        !all_values_are_sequences(e.value)) {
      return false;
    }
    auto bounds = range_bounds(e.dims[1]);
    Ref expected = range_length(bounds);
    Ref out = new_dict();
    for_each_item(e.value, [&](Handle k, Handle row) {
      Ref length = py_int(len(row));
      if (!eq(length, expected)) {
        g_.semantic_error("Parameter '" + text(e.name) + "' row for key " + text(k) + " has length " + text(length) +
                          "; expected " + text(expected) + ".");
      }
      add_row(out, k, bounds.first, row);
      return true;
    });
    emit_assignment(g_, e.name, repr(out));
    record_dict_param(g_, e.name);
    return true;
  }

  // Rows over a set of tuples and a range, as [key, row] pairs or one row per element in order.
  bool write_tuple_range_rows(const Entry& e) {
    if (!e.has_decl() || !is_kind(get(e.pdecl, K::type), kParameterKinds) || !is_list(e.value) ||
        PyList_GET_SIZE(e.value.get()) == 0 || !dims_are(e, K::named_set_dimension, K::named_range_dimension)) {
      return false;
    }
    Ref keys = tuple_list(item(e.dims[0], K::name));
    auto bounds = range_bounds(e.dims[1]);
    Ref expected = range_length(bounds);
    if (Ref out = keyed_rows(e.value, bounds.first, expected)) {
      emit_logged(e, out, "Emitting tuple-range flattened dict for '%s' with %d entries");
    } else if (Ref rows = row_major(e.value, keys, bounds.first, expected)) {
      emit_logged(e, rows, "Emitting row-major flattened dict for '%s' with %d entries");
    } else {
      return false;
    }
    record_dict_param(g_, e.name);
    return true;
  }

  static bool is_row(Handle row, Handle expected) { return is_sequence(row) && eq(py_int(len(row)), expected); }

  // out[(key, start + j)] = row[j] for every position j of the row.
  static void add_row(Handle out, Handle key, Handle start, Handle row) {
    for_each_element(row, [&](Py_ssize_t j, Handle v) {
      set_item(out, tuple_of(key, int_plus(start, j)), v);
      return true;
    });
  }

  // [[key, row], ...]: {(key, start + j): row[j]}; an empty Ref when an element is no such pair.
  static Ref keyed_rows(Handle value, Handle start, Handle expected) {
    bool pairs = true;
    for_each_element(value, [&](Py_ssize_t, Handle x) { return pairs = is_sequence(x) && len(x) >= 2; });
    if (!pairs) return {};
    Ref out = new_dict();
    for_each_element(value, [&](Py_ssize_t, Handle pair) {
      Ref key = tuple_if_sequence(item(pair, 0));
      Ref row = item(pair, 1);
      if (!is_row(row, expected)) return pairs = false;
      add_row(out, key, start, row);
      return true;
    });
    return (pairs && PyDict_GET_SIZE(out.get()) > 0) ? std::move(out) : Ref();
  }

  // One row per element of the tuple set, in order: {(element_i, start + j): row_i[j]}.
  static Ref row_major(Handle value, Handle keys, Handle start, Handle expected) {
    if (len(value) != PyList_GET_SIZE(keys.get())) return {};
    bool rows = true;
    for_each_element(value, [&](Py_ssize_t, Handle row) { return rows = is_row(row, expected); });
    if (!rows) return {};
    Ref out = new_dict();
    for_each_element(value, [&](Py_ssize_t i, Handle row) {
      if (i >= PyList_GET_SIZE(keys.get())) return false;
      Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
      add_row(out, key, start, row);
      return true;
    });
    return out;
  }

  // ---- 1-D lists over a typed set, an inline range or a named set ----

  bool write_one_dimensional(const Entry& e) {
    if (!e.has_decl() || !is_kind(get(e.pdecl, K::type), kParameterKinds) || !is_list(e.value) ||
        PyList_GET_SIZE(e.value.get()) == 0 || e.dims.size() != 1) {
      return false;
    }
    Ref type = e.dim_type(0);
    if (eq(type, K::named_range_dimension)) {
      Ref set_name = item(e.dims[0], K::name);
      return over_typed_set(e, set_name) || over_inline_range(e, set_name);
    }
    if (eq(type, K::named_set_dimension)) return over_named_set(e, item(e.dims[0], K::name));
    return false;
  }

  // The typed set's elements are those of the data file itself: elements written inline in the
  // model do not count here.
  bool over_typed_set(const Entry& e, Handle set_name) {
    if (is_none(find_declaration(g_, set_name, kTypedSetKinds)) || !contains(data_dict_, set_name)) return false;
    Ref elements = item(data_dict_, set_name);
    Py_ssize_t count = len(elements);
    Py_ssize_t items = PyList_GET_SIZE(e.value.get());
    if (items != count) {
      g_.semantic_error("Parameter '" + text(e.name) + "' has " + std::to_string(items) + " items but declared set '" +
                        text(set_name) + "' has " + std::to_string(count) + " elements.");
    }
    emit_json_pairs(e, elements);
    return true;
  }

  bool over_inline_range(const Entry& e, Handle range_name) {
    Ref decl = find_declaration(g_, range_name, kInlineRangeKinds);
    if (is_none(decl)) return false;
    Ref first = bounds_(item(decl, K::start));
    Ref last = bounds_(item(decl, K::end));
    std::pair<Ref, Ref> bounds{std::move(first), std::move(last)};
    Ref expected = range_length(bounds);
    Ref items = py_int(PyList_GET_SIZE(e.value.get()));
    if (!eq(items, expected)) {
      g_.semantic_error("Parameter '" + text(e.name) + "' has " + text(items) + " items but declared range '" +
                        text(range_name) + "' expects " + text(expected) + ".");
    }
    emit_range_pairs(e, bounds.first);
    return true;
  }

  bool over_named_set(const Entry& e, Handle set_name) {
    Ref decl = find_declaration(g_, set_name, kKeyedSetKinds);
    Py_ssize_t items = PyList_GET_SIZE(e.value.get());
    if (!is_none(decl)) {
      Ref elements = unwrapped_elements(declared_set_elements(decl, set_name));
      if (!is_none(elements) && len(elements) == items) {
        emit_assignment(g_, e.name, repr(zipped(elements, e.value)));
        record_dict_param(g_, e.name);
        return true;
      }
    }
    if (!contains(data_dict_, set_name)) return false;
    Ref elements = unwrapped_elements(item(data_dict_, set_name));
    if (len(elements) != items) return false;
    emit_json_pairs(e, elements);
    return true;
  }

  Ref declared_set_elements(Handle decl, Handle set_name) const {
    if (is_kind(get(decl, K::type), kSetOfTuplesKinds)) return tuple_set(set_name, data_dict_);
    Ref no_value = new_list();
    return get(data_dict_, set_name, get(decl, K::value, no_value));
  }

  // dict(zip(keys, values))
  static Ref zipped(Handle keys, Handle values) {
    Ref out = new_dict();
    std::vector<Ref> key_list = items_of(keys);
    for_each_element(values, [&](Py_ssize_t i, Handle v) {
      if (static_cast<std::size_t>(i) >= key_list.size()) return false;
      set_item(out, key_list[i], v);
      return true;
    });
    return out;
  }

  // name = {<json key>: <json value>, ...}, pairing keys and values by position.
  void emit_json_pairs(const Entry& e, Handle keys) {
    std::vector<Ref> key_list = items_of(keys);
    emit_json_dict(e, key_list.size(),
                   [&](std::string& line, const JsonText& json, Py_ssize_t i) { json.append(line, key_list[i]); });
  }

  // name = {start: <json value>, start + 1: ..., ...}
  void emit_range_pairs(const Entry& e, Handle start) {
    emit_json_dict(e, std::numeric_limits<std::size_t>::max(),
                   [&](std::string& line, const JsonText&, Py_ssize_t i) { line += text(int_plus(start, i)); });
  }

  // name = {<key>: <json value>, ...}, where `write_key` appends the key of position i; the values
  // past the first `key_count` have no key and are left out.
  template <class WriteKey>
  void emit_json_dict(const Entry& e, std::size_t key_count, WriteKey&& write_key) {
    JsonText json(g_);
    std::string line = text(e.name) + " = {";
    for_each_element(e.value, [&](Py_ssize_t i, Handle v) {
      if (static_cast<std::size_t>(i) >= key_count) return false;
      if (i > 0) line += ", ";
      write_key(line, json, i);
      line += ": ";
      json.append(line, v);
      return true;
    });
    line += "}";
    g_.emit(line);
    record_dict_param(g_, e.name);
  }

  const Gen& g_;
  Handle data_dict_;
  Handle working_;
  Handle aliased_;
  Ref params_;
  Ref written_;  // names written by the nested-list and dictionary stages
  BoundEvaluator bounds_;
};

}  // namespace

void emit_dictionary_parameters(const ParameterRun& run) {
  ParameterStages(run).run();
}

}  // namespace mipwright::data
