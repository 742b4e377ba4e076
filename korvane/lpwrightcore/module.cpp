// korvane.lpwrightcore: the state every SciPy script generator keeps, the pieces of a linear or
// mixed-integer program in the matrix form that scipy.optimize takes.
#include "common/module.hpp"

namespace {

using namespace kv;

Key kAst{"ast"};
Key kDataDict{"data_dict"};
Key kScipyCodeLines{"scipy_code_lines"};
Key kIndentLevel{"indent_level"};
Key kVarNames{"var_names"};
Key kVarIndices{"var_indices"};
Key kBounds{"bounds"};
Key kC{"c"};
Key kAEq{"A_eq"};
Key kBEq{"b_eq"};
Key kAUb{"A_ub"};
Key kBUb{"b_ub"};
Key kResultsVarname{"results_varname"};
Key kIntegrality{"integrality"};
Key kTupleTypes{"tuple_types"};

// The docstring as a class body written in Python keeps it: a leading newline, each sentence on
// its own line under the class's indentation, and that indentation again before the closing quotes.
constexpr const char* kBaseDoc =
    "\n    Abstract base class for SciPy code generators.\n    Subclasses must implement the required methods.\n    ";

Ref init(const Call& c) {
  auto [self, ast, data_dict] =
      c.bind(Params<3>{"SciPyCodeGeneratorBase.__init__", {"self", "ast", "data_dict"}, 2});
  setattr(self, kAst, ast);
  // Truthiness, not a None test: an empty dictionary passed in is replaced by a fresh one too.
  bool keep = data_dict != nullptr && truthy(data_dict);
  setattr(self, kDataDict, keep ? Ref::borrow(data_dict) : new_dict());
  setattr(self, kScipyCodeLines, new_list());
  setattr(self, kIndentLevel, py_int(0));
  setattr(self, kVarNames, new_list());
  setattr(self, kVarIndices, new_dict());
  setattr(self, kBounds, new_list());
  setattr(self, kC, new_list());
  setattr(self, kAEq, new_list());
  setattr(self, kBEq, new_list());
  setattr(self, kAUb, new_list());
  setattr(self, kBUb, new_list());
  setattr(self, kResultsVarname, py_str("results"));
  setattr(self, kIntegrality, new_list());
  setattr(self, kTupleTypes, new_dict());
  return none();
}

Ref generate_code(const Call& c) {
  c.bind(Params<1>{"SciPyCodeGeneratorBase.generate_code", {"self"}, 1});
  raise(PyExc_NotImplementedError, "Subclasses must implement generate_code()");
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("__init__", init, nullptr),
    KV_FUNCTION("generate_code", generate_code, "Return the text of the SciPy script; subclasses implement it."),
};

constexpr const char* kOrder[] = {"__init__", "generate_code"};

void exec_lpwrightcore(PyObject* module) {
  Ref ns = method_namespace(module, kOrder, {kMethods});
  Ref bases = tuple_of(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  add(module, "SciPyCodeGeneratorBase", make_class(module, "SciPyCodeGeneratorBase", bases, ns, kBaseDoc));
}

}  // namespace

KV_MODULE(lpwrightcore, exec_lpwrightcore, "The base of the SciPy script generators.")
