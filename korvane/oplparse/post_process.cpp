// korvane.oplparse.post_process: what a model computes after its solve. The declarations that read
// decision variables (`{T} sol = {<i, x[i]> | i in R : x[i] > 0};`, `float used = sum(i in R) x[i];`)
// were set aside by instantiation; here they are computed with the solution's values bound, by
// the same evaluator that computes the data before the solve, and then the post blocks run, in
// file order, over the data with their values.
#include "script.hpp"
#include "source.hpp"

namespace oplparse {

namespace {

Key kPostBlocks{"post_blocks"}, kKind{"kind"}, kLog{"log"}, kData{"data"};

void require(Handle value, bool ok, const char* argument, const char* expected) {
  if (!ok) {
    raise(PyExc_TypeError, std::string("post_process() argument '") + argument + "' must be " + expected + ", not " +
                               Py_TYPE(value)->tp_name);
  }
}

// `tree` with `declarations` in place of its own.
Ref with_declarations(Handle tree, Handle declarations) {
  Ref copy = check(PyDict_Copy(tree));
  set_item(copy, K::declarations, declarations);
  return copy;
}

}  // namespace

Ref post_process(const Call& c) {
  auto [tree, data, solution, objective, filename] =
      c.bind(Params<5>{"post_process", {"tree", "data", "solution", "objective", "filename"}, 4});
  require(tree, is_dict(tree), "tree", "dict");
  require(data, is_dict(data), "data", "dict");
  require(solution, is_none(solution) || is_dict(solution), "solution", "a dict or None");
  require(objective, is_none(objective) || is_int(objective) || is_float(objective), "objective", "a number or None");
  Source source{{}, filename ? filename : Py_None, c.module};
  Ref values = new_dict();
  Ref solved_tree = Ref::borrow(tree), solved_data = Ref::borrow(data), bound = Ref::borrow(solution);
  Ref none = new_list();
  if (!is_none(solution)) {
    Ref after = evaluate_after_solve(source, tree, data, solution);
    solved_data = item(after, 0);
    solved_tree = with_declarations(tree, item(after, 1));
    bound = item(after, 2);  // the blocks read the values the declarations were computed from
    for (Ref& decl : Iterate(get(tree, K::post_declarations, none))) {
      Ref name = item(decl, K::name);
      set_item(values, name, item(solved_data, name));
    }
  }
  // Without a solution only a main block runs (from its solve on, which reports the failure);
  // execute blocks that read the solution have nothing to read.
  std::string log;
  for (Ref& block : Iterate(get(tree, kPostBlocks, none))) {
    if (is_none(solution) && text(get(block, kKind)) != "main") continue;
    try {
      Ref out = script::run_after_solve(c.module, block, solved_tree, solved_data, bound, objective);
      log += utf8(item(out, kLog));
      solved_data = item(out, kData);
    } catch (const lpsparse::ModelError& e) {
      source.fail(e.message, static_cast<int>(e.lineno));
    }
  }
  return tuple_of(py_str(log), values);
}

}  // namespace oplparse
