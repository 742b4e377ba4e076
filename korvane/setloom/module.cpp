// korvane.setloom: materialises a declared set of tuples as a plain list of tuples, from the data
// dictionary or from the model, so that generators can write it as a literal and use its
// elements as dictionary keys.
#include "common/module.hpp"
#include "common/recursion.hpp"

namespace {

using namespace kv;

Key kElements{"elements"};
Key kValue{"value"};
Key kName{"name"};
Key kType{"type"};
Key kDeclarations{"declarations"};
Key kSet{"set"};
Key kSetOfTuples{"set_of_tuples"};
Key kTupleSetHelper{"TupleSetHelper"};
Key kToTupleRecursive{"_to_tuple_recursive"};

// TupleSetHelper._to_tuple_recursive, looked up on the class at every level as the Python
// spelling `TupleSetHelper._to_tuple_recursive(x)` would.
Ref converter(PyObject* module) {
  return attr(global(module, kTupleSetHelper), kToTupleRecursive);
}

// tuple(convert(x) for x in items)
Ref convert_to_tuple(PyObject* module, Handle items) {
  Ref convert = converter(module);
  Ref out = new_list();
  for (Ref& x : Iterate(items)) append(out, call(convert, x));
  return check(PyList_AsTuple(out.get()));
}

// [convert(x) for x in items]
Ref convert_to_list(PyObject* module, Handle items) {
  Ref convert = converter(module);
  Ref out = new_list();
  for (Ref& x : Iterate(items)) append(out, call(convert, x));
  return out;
}

Ref to_tuple_recursive(const Call& c) {
  auto [val] = c.bind(Params<1>{"TupleSetHelper._to_tuple_recursive", {"val"}, 1});
  RecursionGuard guard(" while converting a tuple");
  if (is_dict(val) && contains(val, kElements)) return convert_to_tuple(c.module, item(val, kElements));
  if (is_sequence(val)) return convert_to_tuple(c.module, val);
  return Ref::borrow(val);
}

Ref get_tuple_set(const Call& c) {
  auto [set_name, ast, data_dict] =
      c.bind(Params<3>{"TupleSetHelper.get_tuple_set", {"set_name", "ast", "data_dict"}, 3});
  if (contains(data_dict, set_name)) {
    Ref val = item(data_dict, set_name);
    if (is_dict(val) && contains(val, kElements)) return convert_to_list(c.module, item(val, kElements));
    if (is_dict(val) && contains(val, kValue)) return convert_to_list(c.module, item(val, kValue));
    if (is_list(val)) return convert_to_list(c.module, val);
  }
  Ref empty = new_list();
  for (Ref& decl : Iterate(get(ast, kDeclarations, empty))) {
    if (!eq(get(decl, kName), set_name)) continue;
    Ref type = get(decl, kType);
    if (!eq(type, kSet) && !eq(type, kSetOfTuples)) continue;
    if (contains(decl, kElements)) return convert_to_list(c.module, item(decl, kElements));
    if (contains(decl, kValue)) return convert_to_list(c.module, item(decl, kValue));
  }
  return new_list();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_to_tuple_recursive", to_tuple_recursive,
                "Convert lists, tuples and {'elements': [...]} records into tuples, at every depth."),
    KV_FUNCTION("get_tuple_set", get_tuple_set,
                "Return the elements of a set of tuples as a list of tuples, from the data or the model."),
};

constexpr const char* kOrder[] = {"_to_tuple_recursive", "get_tuple_set"};

void exec_setloom(PyObject* module) {
  Ref ns = method_namespace(module, kOrder, {kMethods}, Bind::Static);
  Ref bases = tuple_of(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  add(module, "TupleSetHelper",
      make_class(module, "TupleSetHelper", bases, ns, "Materialise declared sets of tuples as lists of tuples."));
}

}  // namespace

KV_MODULE(setloom, exec_setloom, "Tuple-set helper: declared sets of tuples as lists of tuples.")
