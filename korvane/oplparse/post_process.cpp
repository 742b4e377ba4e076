// korvane.oplparse.post_process: what a model computes after its solve. The declarations that read
// decision variables (`{T} sol = {<i, x[i]> | i in R : x[i] > 0};`, `float used = sum(i in R) x[i];`)
// were set aside by instantiation; here they are computed with the solution's values bound, by
// the same evaluator that computes the data before the solve.
#include "source.hpp"

namespace oplparse {

namespace {

void require(Handle value, bool ok, const char* argument, const char* expected) {
  if (!ok) {
    raise(PyExc_TypeError, std::string("post_process() argument '") + argument + "' must be " + expected + ", not " +
                               Py_TYPE(value)->tp_name);
  }
}

}  // namespace

Ref post_process(const Call& c) {
  auto [tree, data, solution, objective, filename] = c.bind(
      Params<5>{"post_process", {"tree", "data", "solution", "objective", "filename"}, 4});
  require(tree, is_dict(tree), "tree", "dict");
  require(data, is_dict(data), "data", "dict");
  require(solution, is_dict(solution), "solution", "dict");
  require(objective, is_none(objective) || is_int(objective) || is_float(objective), "objective", "a number or None");
  Source source{{}, filename ? filename : Py_None, c.module};
  Ref after = evaluate_after_solve(source, tree, data, solution);
  Ref solved = item(after, 0);
  Ref values = new_dict();
  Ref none_declared = new_list();
  for (Ref& decl : Iterate(get(tree, K::post_declarations, none_declared))) {
    Ref name = item(decl, K::name);
    set_item(values, name, item(solved, name));
  }
  return tuple_of(py_str(""), values);
}

}  // namespace oplparse
