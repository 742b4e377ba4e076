// The generator's own TupleSetHelper: a declared set of tuples as a list of tuples, taken from
// the data dictionary or else from the set's inline value in the model.
#include "generator.hpp"

namespace mipwright {
namespace {

// Lists, tuples and {'elements': [...]} records become tuples at every depth.
Ref to_tuple(Handle val) {
  RecursionGuard guard(" while converting a tuple");
  Handle items = val;
  Ref elements;
  if (is_dict(val) && contains(val, K::elements)) {
    elements = item(val, K::elements);
    items = elements;
  } else if (!is_sequence(val)) {
    return Ref::borrow(val);
  }
  Ref out = new_list();
  for (Ref& x : Iterate(items)) append(out, to_tuple(x));
  return check(PyList_AsTuple(out.get()));
}

Ref to_tuple_list(Handle items) {
  Ref out = new_list();
  for (Ref& x : Iterate(items)) append(out, to_tuple(x));
  return out;
}

Ref get_tuple_set(const Call& c) {
  auto [set_name, ast, data_dict] =
      c.bind(Params<3>{"TupleSetHelper.get_tuple_set", {"set_name", "ast", "data_dict"}, 3});
  if (contains(data_dict, set_name)) {
    Ref val = item(data_dict, set_name);
    if (is_dict(val) && contains(val, K::elements)) return to_tuple_list(item(val, K::elements));
    if (is_list(val)) return to_tuple_list(val);
  }
  Ref empty = new_list();
  for (Ref& decl : Iterate(get(ast, K::declarations, empty))) {
    if (!eq(get(decl, K::type), K::set_of_tuples) || !eq(get(decl, K::name), set_name)) continue;
    Ref value = get(decl, K::value);
    if (!is_none(value)) return to_tuple_list(value);
  }
  return new_list();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("get_tuple_set", get_tuple_set,
                "Return the elements of a set of tuples as a list of tuples, from the data or the model."),
};

}  // namespace

std::span<PyMethodDef> tuple_set_helper_methods{kMethods};

}  // namespace mipwright
