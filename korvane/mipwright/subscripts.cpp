// Subscripted names and tuple field access.
//
// What a subscript turns into depends on what the name is: a decision variable (a gurobipy
// tupledict keyed by index values), an array over a set of tuples, an array of tuple records, or
// a data array. The shape of a data array is only known when the script runs (the data section may
// have written nested lists or a dictionary), so its text tests the shape with isinstance and
// falls back from dictionary keys to list positions.
#include <optional>

#include "generator.hpp"

namespace mipwright {
namespace {

// The first declaration named `name`, or None.
Ref first_declaration(const Gen& g, Handle name) {
  Ref none_declared = new_list();
  for (Ref& decl : Iterate(get(g.attr(K::ast), K::declarations, none_declared))) {
    if (eq(get(decl, K::name), name)) return std::move(decl);
  }
  return none();
}

// The subscripts of one `_expr_indexed_name` call, translated in that call's context.
class Subscripts {
 public:
  explicit Subscripts(const ExprArgs& a) : a_(a) {}

  std::string emit(Handle idx) const {
    RecursionGuard guard(" while translating a subscript");
    Ref type = get(idx, K::type);
    if (str_in(type, {"field_access_index", "field_access"})) {
      return text(call_method(a_.g.self(), K::expr_field_access, idx, a_.iterators, a_.symbolic));
    }
    if (str_is(type, "number_literal_index")) return text(item(idx, K::value));
    if (str_is(type, "name_reference_index")) return text(item(idx, K::name));
    if (str_is(type, "string_literal")) return repr_text(item(idx, K::value));
    if (str_is(type, "binop")) {
      std::string left = emit(item(idx, K::left));
      std::string op = text(item(idx, K::op));
      return "(" + left + " " + op + " " + emit(item(idx, K::right)) + ")";
    }
    if (str_is(type, "uminus")) return "-(" + emit(item(idx, K::value)) + ")";
    if (str_is(type, "parenthesized_expression")) return "(" + emit(item(idx, K::expression)) + ")";
    if (str_is(type, "tuple_literal")) return tuple_key(idx);
    if (contains(idx, K::value)) return text(item(idx, K::value));
    if (contains(idx, K::name)) return text(item(idx, K::name));
    raise(PyExc_ValueError, "Unsupported index expr type: " + text(type));
  }

  // A tuple literal as a Python tuple; one element keeps its trailing comma.
  std::string tuple_key(Handle idx) const {
    std::vector<std::string> parts;
    for (Ref& element : Iterate(elements_of(idx))) {
      if (is_dict(element) && str_is(get(element, K::type), "boolean_literal")) {
        parts.push_back(truthy(get(element, K::value)) ? "True" : "False");
      } else if (is_dict(element)) {
        parts.push_back(text(a_.same_mode(element)));
      } else {
        parts.push_back(repr_text(element));
      }
    }
    return parts.size() == 1 ? "(" + parts[0] + ",)" : "(" + join_text(parts, ", ") + ")";
  }

  // True for an array declared over exactly one named set of tuples.
  bool is_tuple_indexed(Handle decl) const {
    if (is_none(decl)) return false;
    Ref no_dims = new_list();
    Ref dims = get(decl, K::dimensions, no_dims);
    if (len(dims) != 1) return false;
    Ref dim = item(dims, 0);
    if (!str_is(get(dim, K::type), "named_set_dimension")) return false;
    Ref set_decl = first_declaration(a_.g, get(dim, K::name));
    return !is_none(set_decl) && str_in(get(set_decl, K::type), {"set_of_tuples", "set_of_tuples_external"});
  }

  // An array over a set of tuples, addressed by a loop variable or by a tuple literal.
  std::string tuple_indexed(const std::string& name, Handle d0) const {
    Ref type = get(d0, K::type);
    if (str_in(type, {"name_reference_index", "name"})) return name + "[" + text(item(d0, K::name)) + "]";
    // A field that holds a tuple (of a pattern, or a member of an array of sets) is a key itself.
    if (str_in(type, {"field_access_index", "field_access"})) return name + "[" + emit(d0) + "]";
    if (!str_is(type, "tuple_literal")) raise(PyExc_ValueError, "Unsupported index expr type: " + text(type));
    std::string key = tuple_key(d0);
    std::string list_access = name;
    for (Ref& element : Iterate(elements_of(d0))) {
      std::string s = is_dict(element) ? text(a_.same_mode(element)) : repr_text(element);
      list_access += "[((" + s + ") - 1)]";
    }
    return "(" + name + "[" + key + "] if isinstance(" + name + ", dict) else " + list_access + ")";
  }

  std::string decision_variable(const std::string& name, Handle dims) const {
    std::vector<std::string> subs = emit_all(dims);
    if (subs.size() == 1) return name + "[" + subs[0] + "]";
    return name + "[(" + join_text(subs, ", ") + ")]";
  }

  std::string chained(const std::string& name, const std::vector<std::string>& subs) const {
    std::string out = name;
    for (const std::string& sub : subs) out += "[" + sub + "]";
    return out;
  }

  std::vector<std::string> emit_all(Handle dims) const {
    std::vector<std::string> subs;
    for (Ref& d : Iterate(dims)) subs.push_back(emit(d));
    return subs;
  }

  std::string data_array(Handle name_obj, const std::string& name, Handle decl) const;

 private:
  static Ref elements_of(Handle tuple_literal) {
    Ref no_elements = new_list();
    return get(tuple_literal, K::elements, no_elements);
  }

  std::optional<std::string> range_start(Handle dim) const;
  std::string position(Handle declared_dims, std::size_t i, const std::string& sub) const;

  const ExprArgs& a_;
};

// The script text of the first value of a range dimension, when the model states it.
std::optional<std::string> Subscripts::range_start(Handle dim) const {
  if (!is_dict(dim)) return std::nullopt;
  Ref type = get(dim, K::type);
  Ref empty = new_dict();
  if (str_in(type, {"range_index", "named_range_dimension"}) && contains(dim, K::start)) {
    return text(a_.g.traverse_symbolic(item(dim, K::start), empty));
  }
  if (!str_is(type, "named_range_dimension")) return std::nullopt;
  Ref range = a_.g.find_declaration(get(dim, K::name), {"range_declaration_inline"});
  if (is_none(range) || !contains(range, K::start)) return std::nullopt;
  return text(a_.g.traverse_symbolic(item(range, K::start), empty));
}

// The list position of subscript i: a named set's position dictionary, or the subscript's offset
// from the first value of its range. Ranges need not start at 1 (0..n is common), so the offset
// uses the declared start; a range whose start is unknown is taken to start at 1.
std::string Subscripts::position(Handle declared_dims, std::size_t i, const std::string& sub) const {
  Ref dim = i < static_cast<std::size_t>(len(declared_dims)) ? item(declared_dims, static_cast<Py_ssize_t>(i)) : none();
  if (truthy(dim) && str_is(get(dim, K::type), "named_set_dimension")) {
    return text(item(dim, K::name)) + "_index[" + sub + "]";
  }
  std::optional<std::string> start = range_start(dim);
  if (!start || *start == "1") return "((" + sub + ") - 1)";
  return "((" + sub + ") - (" + *start + "))";
}

[[noreturn]] void no_subscript() {
  raise(PyExc_IndexError, "list index out of range");
}

std::string Subscripts::data_array(Handle name_obj, const std::string& name, Handle decl) const {
  Ref declared_dims = is_none(decl) ? new_list() : get(decl, K::dimensions, new_list());
  Ref no_dims = new_list();
  Ref dims = get(a_.node, K::dimensions, no_dims);
  if (len(dims) == 1) {
    // A tuple written as the only subscript addresses the array one dimension per element.
    Ref only = item(dims, 0);
    if (is_dict(only) && str_is(get(only, K::type), "tuple_literal") && !is_tuple_indexed(decl))
      dims = elements_of(only);
  }
  Ref data = get(a_.g.attr(K::data_dict), name_obj);
  bool dict_form =
      (hasattr(a_.g.self(), K::dict_params) && contains(a_.g.attr(K::dict_params), name_obj)) || is_dict(data);
  bool tuple_keys = false;
  if (is_dict(data)) {
    for (Ref& key : Iterate(data)) {
      if (is_tuple(key)) {
        tuple_keys = true;
        break;
      }
    }
  }
  std::vector<std::string> subs = emit_all(dims);
  std::vector<std::string> positions;
  for (std::size_t i = 0; i < subs.size(); ++i) positions.push_back(position(declared_dims, i, subs[i]));

  std::string list_access = chained(name, positions);
  if (!dict_form) return list_access;
  if (subs.empty()) no_subscript();
  std::string guard = " if isinstance(" + name + ", dict)";
  if (!tuple_keys && subs.size() == 1) {
    return "(" + name + "[" + subs[0] + "]" + guard + " else " + list_access + ")";
  }
  std::string key = "(" + join_text(subs, ", ") + ")";
  const std::string& first = subs[0];
  const std::string& second = positions.size() >= 2 ? positions[1] : positions[0];
  // A tuple-keyed dictionary first, then a dictionary of lists keyed by the first subscript,
  // then nested lists.
  return "(" + name + "[" + key + "]" + guard + " and (" + key + ") in " + name + " else (" + name + "[" + first +
         "][" + second + "]" + guard + " and " + first + " in " + name + " and isinstance(" + name + "[" + first +
         "], (list,tuple)) else " + list_access + "))";
}

Ref expr_indexed_name(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_indexed_name");
  Subscripts subscripts(a);
  Ref name_obj = item(a.node, K::name);
  std::string name = text(name_obj);
  Ref decl = first_declaration(a.g, name_obj);
  if (subscripts.is_tuple_indexed(decl)) {
    return py_str(subscripts.tuple_indexed(name, item(item(a.node, K::dimensions), 0)));
  }
  if (contains(a.g.attr(K::gurobi_var_map), name_obj)) {
    return py_str(subscripts.decision_variable(name, item(a.node, K::dimensions)));
  }
  if (!is_none(decl) && str_in(get(decl, K::type), {"tuple_array", "tuple_array_external"})) {
    return py_str(subscripts.chained(name, subscripts.emit_all(item(a.node, K::dimensions))));
  }
  return py_str(subscripts.data_array(name_obj, name, decl));
}

// ---- field access ----

// The tuple type of the record a field is read from: its semantic type when that is a known tuple
// type; for a loop variable, the tuple type of the model's set of tuples.
Ref tuple_type_of(const ExprArgs& a, Handle base_node) {
  if (!is_dict(base_node)) return none();
  Ref sem_type = get(base_node, K::sem_type);
  if (truthy(sem_type) && hasattr(a.g.self(), K::tuple_types) && contains(a.g.attr(K::tuple_types), sem_type)) {
    return sem_type;
  }
  if (!str_is(get(base_node, K::type), "name")) return none();
  Ref loop_variables = call_method(a.iterators, K::values);
  if (!contains(loop_variables, get(base_node, K::value))) return none();
  Ref none_declared = new_list();
  for (Ref& decl : Iterate(get(a.g.attr(K::ast), K::declarations, none_declared))) {
    if (str_is(get(decl, K::type), "set_of_tuples") && truthy(get(decl, K::name))) return get(decl, K::tuple_type);
  }
  return none();
}

// The position of `field` among the fields of `tuple_type`, when both are known.
std::optional<Py_ssize_t> field_position(const ExprArgs& a, Handle tuple_type, Handle field) {
  if (!truthy(tuple_type) || !hasattr(a.g.self(), K::tuple_types)) return std::nullopt;
  Ref tuple_types = a.g.attr(K::tuple_types);
  if (!contains(tuple_types, tuple_type)) return std::nullopt;
  Py_ssize_t k = 0;
  for (Ref& record : Iterate(item(tuple_types, tuple_type))) {
    if (eq(get(record, K::name), field)) return k;
    ++k;
  }
  return std::nullopt;
}

Ref expr_field_access(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_field_access");
  Ref base_node = item(a.node, K::base);
  std::string base = text(a.mode_off(base_node));
  Ref field = item(a.node, K::field);
  std::string by_name = base + "['" + text(field) + "']";
  std::optional<Py_ssize_t> k = field_position(a, tuple_type_of(a, base_node), field);
  if (!k) return py_str(by_name);
  // The record may be stored as a dictionary or as a tuple; the script decides when it runs.
  return py_str("(" + by_name + " if isinstance(" + base + ", dict) else " + base + "[" + std::to_string(*k) + "])");
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_expr_indexed_name", expr_indexed_name, nullptr),
    KV_FUNCTION("_expr_field_access", expr_field_access, nullptr),
};

}  // namespace

std::span<PyMethodDef> subscript_methods{kMethods};

}  // namespace mipwright
