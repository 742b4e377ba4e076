// Declarations: the script lines for decision variables, ranges, sets and parameters, written in
// model order under the declared names, and the lookups that turn named ranges and sets into
// script text for loop headers.
#include "generator.hpp"

namespace mipwright {
namespace {

constexpr const char* kNotSupported = "' is not supported by the Gurobi code generator.";

struct DeclArgs {
  Gen g;
  PyObject* decl;
};

DeclArgs bind_decl(const Call& c, const char* function) {
  auto [self, decl] = c.bind(Params<2>{function, {"self", "decl"}, 2});
  return {Gen(c.module, self), decl};
}

bool starts_with(Handle o, std::string_view prefix) {
  return is_str(o) && utf8(o).starts_with(prefix);
}

// self.gurobi_var_map[name] = name
void record_variable(const Gen& g, Handle name) {
  set_item(g.attr(K::gurobi_var_map), name, name);
}

Ref tuple_set(const Gen& g, Handle set_name) {
  Ref get_tuple_set = attr(g.global(K::TupleSetHelper), K::get_tuple_set);
  return call(get_tuple_set, set_name, g.attr(K::ast), g.attr(K::data_dict));
}

// ---- the walk ----

// A variable over exactly one named set is written by the walk itself, over the set's name; the
// set's tuple list is not written for it.
bool over_one_named_set(Handle decl) {
  Ref no_dims = new_list();
  Ref dims = get(decl, K::dimensions, no_dims);
  return len(dims) == 1 && str_is(get(item(dims, 0), K::type), "named_set_dimension");
}

void emit_variables_over_set(const Gen& g, Handle decl) {
  Ref name = item(decl, K::name);
  Ref set_name = item(item(item(decl, K::dimensions), 0), K::name);
  Ref var_type = get(decl, K::var_type);
  bool boolean = str_is(var_type, "boolean");
  const char* vtype = boolean ? "GRB.BINARY" : starts_with(var_type, "int") ? "GRB.INTEGER" : "GRB.CONTINUOUS";
  const char* bound = boolean ? "" : str_in(var_type, {"int+", "float+"}) ? ", lb=0" : ", lb=-GRB.INFINITY";
  std::string n = text(name);
  g.emit(n + " = model.addVars(" + text(set_name) + ", vtype=" + vtype + ", name='" + n + "'" + bound + ")");
  record_variable(g, name);
}

bool is_written_by_data_section(const Gen& g, Handle decl) {
  Ref empty = new_set();
  Ref dict_params = getattr(g.self(), K::dict_params, empty);
  return contains(dict_params, get(decl, K::name));
}

void declare(const Gen& g, Handle decl) {
  Ref type = get(decl, K::type);
  if (str_in(type, {"dexpr", "dexpr_indexed"})) return;
  if (starts_with(type, "parameter_")) {
    g.debug("_generate_declarations: Emitting parameter '%s' type=%s inline=%s external=%s", get(decl, K::name),
            get(decl, K::type), get(decl, K::inline_), get(decl, K::external));
  }
  if (str_in(type, {"set_of_tuples", "set_of_tuples_external"})) {
    call_method(g.self(), K::decl_set_of_tuples, decl);
  } else if (str_in(type, {"tuple_array", "tuple_array_external"})) {
    // Arrays of tuple records are written by the data section.
  } else if (str_in(type, {"typed_set", "typed_set_external"})) {
    call_method(g.self(), K::decl_typed_set, decl);
  } else if (str_is(type, "dvar_indexed") && over_one_named_set(decl)) {
    emit_variables_over_set(g, decl);
  } else if (starts_with(type, "parameter_") && is_written_by_data_section(g, decl)) {
    // Already written by the data section, as a dictionary.
  } else {
    std::string type_text = text(type);
    Ref handler = getattr(g.self(), method_name("_decl_" + type_text), Py_None);
    if (!truthy(handler)) raise(PyExc_NotImplementedError, "Declaration type '" + type_text + kNotSupported);
    call(handler, decl);
  }
}

Ref generate_declarations(const Call& c) {
  auto [self, declarations] =
      c.bind(Params<2>{"GurobiCodeGenerator._generate_declarations", {"self", "declarations"}, 2});
  Gen g(c.module, self);
  g.emit("# Decision Variables and Parameters");
  // Every run starts over: only the tuple types declared in the model count.
  g.set(K::tuple_types, new_dict());
  g.debug("Entering _generate_declarations");
  for (Ref& decl : Iterate(declarations)) declare(g, decl);
  g.emit("");
  g.emit("model.update()");
  g.emit("");
  return none();
}

// ---- tuple types and sets ----

Ref decl_tuple_type(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_tuple_type");
  set_item(a.g.attr(K::tuple_types), item(a.decl, K::name), item(a.decl, K::fields));
  return none();
}

Ref decl_set_of_tuples(const Call& c) {
  bind_decl(c, "GurobiCodeGenerator._decl_set_of_tuples");
  return none();  // the tuples are written where a variable is indexed by the set
}

Ref decl_set_declaration(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_set_declaration");
  Ref name = item(a.decl, K::name);
  Ref data = a.g.attr(K::data_dict);
  if (!contains(data, name)) {
    a.g.semantic_error("Set '" + text(name) + "' declared in .mod but not found in .dat file.", get(a.decl, K::lineno));
  }
  a.g.emit(text(name) + " = " + repr_text(item(data, name)));
  return none();
}

Ref decl_typed_set(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_typed_set");
  Ref name = item(a.decl, K::name);
  Ref elements = get(a.decl, K::value);
  Ref data = a.g.attr(K::data_dict);
  if (!truthy(elements) && contains(data, name)) elements = item(data, name);
  if (is_none(elements)) elements = new_list();
  std::vector<std::string> parts;
  for (Ref& element : Iterate(elements)) parts.push_back(repr_text(element));
  a.g.emit(text(name) + " = [" + join_text(parts, ", ") + "]");
  return none();
}

// ---- decision variables ----

// The gurobipy arguments that follow the index: type, name and lower bound of a domain. An
// unknown domain passes only the name, so gurobipy's defaults apply.
std::string variable_arguments(Handle var_type, const std::string& name) {
  const char* vtype = "";
  const char* bound = "";
  if (str_is(var_type, "boolean")) {
    vtype = "vtype=GRB.BINARY, ";
  } else if (str_in(var_type, {"int+", "int"})) {
    vtype = "vtype=GRB.INTEGER, ";
  } else if (str_in(var_type, {"float+", "float"})) {
    vtype = "vtype=GRB.CONTINUOUS, ";
  }
  if (str_in(var_type, {"int+", "float+"})) {
    bound = ", lb=0";
  } else if (str_in(var_type, {"int", "float"})) {
    bound = ", lb=-GRB.INFINITY";
  }
  return std::string(vtype) + "name='" + name + "'" + bound + ")";
}

Ref decl_dvar(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_dvar");
  Ref name = item(a.decl, K::name);
  Ref var_type = item(a.decl, K::var_type);
  std::string n = text(name);
  a.g.emit(n + " = model.addVar(" + variable_arguments(var_type, n));
  record_variable(a.g, name);
  return none();
}

// Writes the list of a set's tuples once per run, however many variables it indexes.
void emit_tuple_set_once(const Gen& g, Handle set_name, Handle tuples) {
  if (!hasattr(g.self(), K::emitted_tuple_sets)) g.set(K::emitted_tuple_sets, new_set());
  Ref emitted = g.attr(K::emitted_tuple_sets);
  if (contains(emitted, set_name)) return;
  g.emit(text(set_name) + " = " + repr_text(tuples));
  call_method(emitted, K::set_add, set_name);
}

// The script text of one index dimension of a decision variable. Bounds are plain script
// expressions over names that exist in the script.
std::string dimension_index(const Gen& g, Handle dim, const std::string& name) {
  Ref type = item(dim, K::type);
  Ref no_iterators = new_dict();
  if (str_is(type, "range_index")) {
    std::string s = text(g.traverse_symbolic(item(dim, K::start), no_iterators));
    std::string e = text(g.traverse_symbolic(item(dim, K::end), no_iterators));
    return "range(" + s + ", " + e + " + 1)";
  }
  if (str_is(type, "named_range_dimension")) {
    // The script variable of a named range holds its end value.
    std::string s = contains(dim, K::start) ? text(g.traverse_symbolic(item(dim, K::start), no_iterators)) : "1";
    return "range(" + s + ", " + text(item(dim, K::name)) + " + 1)";
  }
  if (str_is(type, "named_set_dimension")) {
    Ref set_name = item(dim, K::name);
    Ref tuples = tuple_set(g, set_name);
    emit_tuple_set_once(g, set_name, tuples);
    return text(set_name);
  }
  raise(PyExc_ValueError, "Unsupported dimension type in declaration for " + name + ": " + text(type));
}

Ref decl_dvar_indexed(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_dvar_indexed");
  Ref name = item(a.decl, K::name);
  Ref var_type = item(a.decl, K::var_type);
  Ref dims = item(a.decl, K::dimensions);
  std::string n = text(name);
  std::vector<std::string> indices;
  for (Ref& dim : Iterate(dims)) indices.push_back(dimension_index(a.g, dim, n));
  std::string index = join_text(indices, ", ");
  if (indices.size() >= 2) index = "itertools.product(" + index + ")";
  a.g.emit(n + " = model.addVars(" + index + ", " + variable_arguments(var_type, n));
  record_variable(a.g, name);
  return none();
}

// ---- ranges ----

Ref decl_range_declaration_inline(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_range_declaration_inline");
  Ref name = item(a.decl, K::name);
  Ref no_iterators = new_dict();
  // Only the end is kept: loops and indices over the range are written with their own start.
  a.g.emit(text(name) + " = " + text(a.g.traverse_symbolic(item(a.decl, K::end), no_iterators)));
  return none();
}

Ref decl_range_declaration_external(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_range_declaration_external");
  a.g.semantic_error("Range '" + text(item(a.decl, K::name)) +
                     "' declared as external. Ranges must be defined in the model with explicit bounds "
                     "(e.g., range Items = 1..N;)");
}

// ---- parameters ----

Ref decl_parameter_inline(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_parameter_inline");
  Ref name = item(a.decl, K::name);
  a.g.emit(text(name) + " = " + repr_text(item(a.decl, K::value)));
  return none();
}

// Inline values over a set of tuples become a dictionary keyed by the set's tuples, in order.
bool emit_keyed_by_tuple_set(const Gen& g, Handle decl, const std::string& name) {
  Ref no_dims = new_list();
  Ref dims = get(decl, K::dimensions, no_dims);
  if (len(dims) != 1) return false;
  Ref dim = item(dims, 0);
  if (!str_is(get(dim, K::type), "named_set_dimension")) return false;
  Ref set_name = item(dim, K::name);
  Ref tuples = tuple_set(g, set_name);
  if (!truthy(tuples)) return false;
  Ref keys = new_list();
  for (Ref& element : Iterate(tuples)) append(keys, is_tuple(element) ? element.copy() : tuple_of(element));
  Ref values = get(decl, K::value);
  values = truthy(values) ? to_list(values) : new_list();
  if (len(values) != len(keys)) {
    g.semantic_error("Parameter '" + name + "' length " + std::to_string(len(values)) + " does not match index set '" +
                     text(set_name) + "' length " + std::to_string(len(keys)) + ".");
  }
  Ref keyed = new_dict();
  for (Py_ssize_t i = 0; i < len(keys); ++i) set_item(keyed, item(keys, i), item(values, i));
  g.emit(name + " = " + repr_text(keyed));
  return true;
}

Ref decl_parameter_inline_indexed(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_parameter_inline_indexed");
  std::string name = text(item(a.decl, K::name));
  if (!emit_keyed_by_tuple_set(a.g, a.decl, name)) a.g.emit(name + " = " + repr_text(item(a.decl, K::value)));
  return none();
}

void emit_from_data(const Gen& g, Handle decl, const char* missing) {
  Ref name = item(decl, K::name);
  Ref data = g.attr(K::data_dict);
  if (!contains(data, name)) g.semantic_error("Parameter '" + text(name) + missing, get(decl, K::lineno));
  g.emit(text(name) + " = " + repr_text(item(data, name)));
}

Ref decl_parameter_external(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_parameter_external");
  emit_from_data(a.g, a.decl,
                 "' declared in .mod but not found in .dat file. Add '= ...;' to explicitly declare it as external "
                 "if intended.");
  return none();
}

Ref decl_parameter_external_indexed(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_parameter_external_indexed");
  return call_method(a.g.self(), K::decl_parameter_external, a.decl);
}

Ref decl_parameter_external_explicit(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_parameter_external_explicit");
  emit_from_data(a.g, a.decl, "' declared with '= ...' in .mod but not found in .dat file.");
  return none();
}

Ref decl_parameter_external_explicit_indexed(const Call& c) {
  DeclArgs a = bind_decl(c, "GurobiCodeGenerator._decl_parameter_external_explicit_indexed");
  return call_method(a.g.self(), K::decl_parameter_external_explicit, a.decl);
}

// ---- lookups for loop headers ----

Ref is_data_array(const Call& c) {
  auto [self, name] = c.bind(Params<2>{"GurobiCodeGenerator._is_data_array", {"self", "name"}, 2});
  return py_bool(contains(Gen(c.module, self).attr(K::data_dict), name));
}

Ref emit_range_from_declaration(const Call& c) {
  auto [self, name, iterators, symbolic] = c.bind(Params<4>{
      "GurobiCodeGenerator._emit_range_from_declaration", {"self", "name", "current_iterators", "symbolic"}, 4});
  Gen g(c.module, self);
  Ref decl = g.find_declaration(name, {"range_declaration_inline"});
  if (is_none(decl)) g.semantic_error("Range '" + text(name) + "' not found in declarations.");
  std::string start = text(g.traverse(item(decl, K::start), iterators, symbolic));
  std::string end = text(g.traverse(item(decl, K::end), iterators, symbolic));
  return py_str("range(" + start + ", " + end + " + 1)");
}

Ref emit_set_name_if_declared(const Call& c) {
  auto [self, name] = c.bind(Params<2>{"GurobiCodeGenerator._emit_set_name_if_declared", {"self", "name"}, 2});
  Gen g(c.module, self);
  Ref decl = g.find_declaration(
      name, {"set_of_tuples", "set_of_tuples_external", "set_declaration", "typed_set", "typed_set_external"});
  if (is_none(decl)) return none();
  return Ref::borrow(name);
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_generate_declarations", generate_declarations, nullptr),
    KV_FUNCTION("_decl_tuple_type", decl_tuple_type, nullptr),
    KV_FUNCTION("_decl_set_of_tuples", decl_set_of_tuples, nullptr),
    KV_FUNCTION("_decl_dvar", decl_dvar, nullptr),
    KV_FUNCTION("_decl_dvar_indexed", decl_dvar_indexed, nullptr),
    KV_FUNCTION("_decl_range_declaration_inline", decl_range_declaration_inline, nullptr),
    KV_FUNCTION("_decl_range_declaration_external", decl_range_declaration_external, nullptr),
    KV_FUNCTION("_decl_set_declaration", decl_set_declaration, nullptr),
    KV_FUNCTION("_decl_typed_set", decl_typed_set, nullptr),
    KV_FUNCTION("_decl_parameter_inline", decl_parameter_inline, nullptr),
    KV_FUNCTION("_decl_parameter_inline_indexed", decl_parameter_inline_indexed, nullptr),
    KV_FUNCTION("_decl_parameter_external", decl_parameter_external, nullptr),
    KV_FUNCTION("_decl_parameter_external_indexed", decl_parameter_external_indexed, nullptr),
    KV_FUNCTION("_decl_parameter_external_explicit", decl_parameter_external_explicit, nullptr),
    KV_FUNCTION("_decl_parameter_external_explicit_indexed", decl_parameter_external_explicit_indexed, nullptr),
    KV_FUNCTION("_is_data_array", is_data_array, "Return True when the name is a data item."),
    KV_FUNCTION("_emit_range_from_declaration", emit_range_from_declaration,
                "Return the script text range(start, end + 1) of a range declared in the model."),
    KV_FUNCTION("_emit_set_name_if_declared", emit_set_name_if_declared,
                "Return the name when a set of that name is declared, else None."),
};

}  // namespace

std::span<PyMethodDef> declaration_methods{kMethods};

}  // namespace mipwright
