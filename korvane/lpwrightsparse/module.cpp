// korvane.lpwrightsparse: SciPyCSCCodeGenerator, which instantiates a model over its data into
// sparse matrices and writes a script that solves them with HiGHS through scipy.optimize.
//
// The generator's attributes after build_matrices() (or generate_code()):
//   var_names        every column's name in column order: the declared variables first, named as
//                    gurobipy names them (x, x[1,2], assign[Ann,Paint,9]), then the auxiliary
//                    binaries of the linearisations (names starting with "_")
//   var_indices      name -> column
//   bounds           (lower, upper): two array('d') with -inf/inf where a side is free
//   c                array('d'): objective coefficients (as written; maximisation is not negated)
//   integrality      array('B'): 1 for integer and binary columns
//   A_ub, A_eq       {"data": array('d'), "indices": array('i'), "indptr": array('i'),
//                    "shape": (rows, columns)}: compressed-sparse-column matrices
//   b_ub, b_eq       array('d'): right-hand sides of A_ub @ x <= b_ub and A_eq @ x == b_eq
//   objective_sense  "minimize" or "maximize"; objective_constant: the objective's constant term
//   model_var_count  the number of declared (non-auxiliary) columns
//   tuple_types      tuple type name -> list of its field names
//   row_origins      the constraint instance behind every row and every bound a constraint set
//                    (origins.cpp describes its layout)
#include <algorithm>
#include <bit>
#include <cstring>

#include "model.hpp"

namespace lpsparse {
namespace {

Key kSciPyCSCCodeGenerator{"SciPyCSCCodeGenerator"};
Key kSemanticError{"SemanticError"};
Key kArrayModule{"array"};
Key kBinascii{"binascii"};
Key kZlib{"zlib"};
Key kInit{"__init__"};
Key kAst{"ast"};
Key kDataDict{"data_dict"};
Key kVarNames{"var_names"};
Key kVarIndices{"var_indices"};
Key kBounds{"bounds"};
Key kC{"c"};
Key kIntegrality{"integrality"};
Key kAUb{"A_ub"};
Key kBUb{"b_ub"};
Key kAEq{"A_eq"};
Key kBEq{"b_eq"};
Key kObjectiveSense{"objective_sense"};
Key kObjectiveConstant{"objective_constant"};
Key kModelVarCount{"model_var_count"};
Key kTupleTypes{"tuple_types"};
Key kScipyCodeLines{"scipy_code_lines"};
Key kResultsVarname{"results_varname"};
Key kBuildMatrices{"build_matrices"};
Key kData{"data"};
Key kIndices{"indices"};
Key kIndptr{"indptr"};
Key kShape{"shape"};
Key kTypecode{"typecode"};
Key kColumnNames{"_column_names"};
Key kRowOrigins{"row_origins"};

// A new array.array of `count` elements whose buffer C++ code fills in place.
class ArrayBuffer {
 public:
  ArrayBuffer(PyObject* module, const char* typecode, std::size_t count) {
    Ref array_type = attr(global(module, kArrayModule), "array");
    Ref one = call(array_type, py_str(typecode), check(Py_BuildValue("[i]", 0)));
    array_ = check(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
    check_status(PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE));
  }
  ~ArrayBuffer() { PyBuffer_Release(&view_); }
  ArrayBuffer(const ArrayBuffer&) = delete;
  ArrayBuffer& operator=(const ArrayBuffer&) = delete;

  template <class T>
  T* data() {
    return static_cast<T*>(view_.buf);
  }
  Ref release() {
    PyBuffer_Release(&view_);
    view_.obj = nullptr;
    return std::move(array_);
  }

 private:
  Ref array_;
  Py_buffer view_{};
};

template <class T>
Ref array_of(PyObject* module, const char* typecode, const BigVector<T>& v) {
  ArrayBuffer out(module, typecode, v.size());
  if (!v.empty()) std::memcpy(out.data<T>(), v.data(), v.size() * sizeof(T));
  return out.release();
}

// The rows, stored row by row as they were generated, transposed into compressed columns by a
// counting sort (row indices come out sorted within each column), written straight into the
// arrays the generator keeps.
Ref matrix(PyObject* module, const RowStore& rows, std::size_t columns) {
  std::size_t nnz = rows.idx.size();
  if (nnz > static_cast<std::size_t>(INT32_MAX)) throw ModelError{"The model has too many non-zero coefficients"};
  ArrayBuffer indptr_array(module, "i", columns + 1), data_array(module, "d", nnz), indices_array(module, "i", nnz);
  auto* indptr = indptr_array.data<std::int32_t>();
  auto* data = data_array.data<double>();
  auto* indices = indices_array.data<std::int32_t>();
  std::fill(indptr, indptr + columns + 1, 0);
  for (std::int32_t col : rows.idx) ++indptr[col + 1];
  for (std::size_t j = 0; j < columns; ++j) indptr[j + 1] += indptr[j];
  std::vector<std::int32_t> next(indptr, indptr + columns);
  for (std::size_t r = 0; r < rows.rows(); ++r) {
    for (auto k = rows.ptr[r]; k < rows.ptr[r + 1]; ++k) {
      std::int32_t pos = next[rows.idx[k]]++;
      indices[pos] = static_cast<std::int32_t>(r);
      data[pos] = rows.val[k];
    }
  }
  Ref d = new_dict();
  set_item(d, kData, data_array.release());
  set_item(d, kIndices, indices_array.release());
  set_item(d, kIndptr, indptr_array.release());
  set_item(d, kShape, tuple_of(py_int(static_cast<long long>(rows.rows())), py_int(static_cast<long long>(columns))));
  return d;
}

[[noreturn]] void raise_model_error(PyObject* module, const ModelError& e) {
  Ref lineno = e.lineno > 0 ? py_int(e.lineno) : none();
  raise_instance(call_kw(global(module, kSemanticError), {py_str(e.message)}, {{"lineno", lineno}}));
}

void store_results(PyObject* module, Handle self, Model& m) {
  std::size_t n = m.column_names.size();
  // var_names and var_indices are made from this text when first read (see __getattr__).
  std::string_view joined = m.column_names.joined();
  setattr(self, kColumnNames, check(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size()))));
  Ref instance_dict = check(PyObject_GenericGetDict(self, nullptr));
  for (Key* key : {&kVarNames, &kVarIndices}) {
    if (contains(instance_dict, *key)) check_status(PyDict_DelItem(instance_dict.get(), key->get()));
  }
  setattr(self, kBounds, tuple_of(array_of(module, "d", m.lb), array_of(module, "d", m.ub)));
  setattr(self, kC, array_of(module, "d", m.cost));
  setattr(self, kIntegrality, array_of(module, "B", m.integral));
  setattr(self, kAUb, matrix(module, m.ub_rows, n));
  setattr(self, kBUb, array_of(module, "d", m.ub_rows.rhs));
  setattr(self, kAEq, matrix(module, m.eq_rows, n));
  setattr(self, kBEq, array_of(module, "d", m.eq_rows.rhs));
  setattr(self, kObjectiveSense, py_str(m.maximize ? "maximize" : "minimize"));
  setattr(self, kObjectiveConstant, py_float(m.objective_constant));
  setattr(self, kModelVarCount, py_int(static_cast<long long>(m.model_columns)));
  Ref types = new_dict();
  for (const TupleType& t : m.tuple_types) {
    Ref fields = new_list();
    for (const std::string& f : t.fields) append(fields, py_str(f));
    set_item(types, py_str(t.name), fields);
  }
  setattr(self, kTupleTypes, types);
  setattr(self, kRowOrigins, row_origins(module, m));
}

Ref init(const Call& c) {
  auto [self, ast, data_dict] = c.bind(Params<3>{"SciPyCSCCodeGenerator.__init__", {"self", "ast", "data_dict"}, 2});
  Ref parent = call(reinterpret_cast<PyObject*>(&PySuper_Type), global(c.module, kSciPyCSCCodeGenerator), self);
  call_method(parent, kInit, ast, data_dict == nullptr ? Py_None : data_dict);
  return none();
}

Ref build_matrices(const Call& c) {
  auto [self] = c.bind(Params<1>{"SciPyCSCCodeGenerator.build_matrices", {"self"}, 1});
  Ref ast = attr(self, kAst), data = attr(self, kDataDict);
  if (!is_dict(ast)) raise(PyExc_TypeError, "the model tree must be a dictionary, not " + std::string(Py_TYPE(ast.get())->tp_name));
  if (!is_dict(data)) raise(PyExc_TypeError, "the data must be a dictionary, not " + std::string(Py_TYPE(data.get())->tp_name));
  Model m(ast.get(), data.get());
  try {
    m.build();
    if (m.column_names.empty()) throw ModelError{"The model declares no decision variables"};
  } catch (const ModelError& e) {
    raise_model_error(c.module, e);
  }
  store_results(c.module, self, m);
  return none();
}

// var_names and var_indices of a built model, made on first read from the NUL-separated names:
// half a million name objects and their dictionary would otherwise cost more than the whole
// instantiation, for callers that never read them.
Ref lazy_attribute(const Call& c) {
  auto [self, name] = c.bind(Params<2>{"SciPyCSCCodeGenerator.__getattr__", {"self", "name"}, 2});
  bool lazy = eq(name, kVarNames) || eq(name, kVarIndices);
  Ref instance_dict = check(PyObject_GenericGetDict(self, nullptr));
  Ref joined = get(instance_dict, kColumnNames);
  if (!lazy || !PyBytes_Check(joined.get())) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
    throw PyErrorSet{};
  }
  char* data = PyBytes_AS_STRING(joined.get());
  Py_ssize_t size = PyBytes_GET_SIZE(joined.get());
  Ref names = new_list();
  Ref indices = new_dict();
  for (Py_ssize_t begin = 0, index = 0; size > 0 && begin <= size; ++index) {
    const char* end = static_cast<const char*>(std::memchr(data + begin, '\0', static_cast<std::size_t>(size - begin)));
    Py_ssize_t stop = end == nullptr ? size : end - data;
    Ref text = check(PyUnicode_DecodeUTF8(data + begin, stop - begin, "strict"));
    append(names, text);
    set_item(indices, text, py_int(index));
    begin = stop + 1;
  }
  set_item(instance_dict, kVarNames, names);
  set_item(instance_dict, kVarIndices, indices);
  return eq(name, kVarNames) ? std::move(names) : std::move(indices);
}

// ---- the script ----

// One line holding `prefix`, the ASCII text of `body` and `suffix`, copied once.
Ref ascii_line(std::string_view prefix, Handle body, std::string_view suffix) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  check_status(PyBytes_AsStringAndSize(body, &data, &size));
  Ref line = check(PyUnicode_New(static_cast<Py_ssize_t>(prefix.size() + suffix.size()) + size, 127));
  auto* out = static_cast<char*>(PyUnicode_DATA(line.get()));
  std::memcpy(out, prefix.data(), prefix.size());
  std::memcpy(out + prefix.size(), data, static_cast<std::size_t>(size));
  std::memcpy(out + prefix.size() + size, suffix.data(), suffix.size());
  return line;
}

class Script {
 public:
  Script(PyObject* module, Handle self) : module_(module), lines_(attr(self, kScipyCodeLines)) {}

  void line(std::string_view text) { append(lines_, py_str(text)); }

  // base64 of an array's raw little-endian buffer, converted to the typecode first if needed.
  Ref encoded(Handle values, const char* typecode) {
    Ref arr = Ref::borrow(values);
    Ref array_type = attr(global(module_, kArrayModule), "array");
    if (!PyObject_TypeCheck(values.get(), reinterpret_cast<PyTypeObject*>(array_type.get())) ||
        !eq(attr(values, kTypecode), py_str(typecode))) {
      arr = call(array_type, py_str(typecode), values);
    }
    if constexpr (std::endian::native == std::endian::big) {
      arr = call(array_type, py_str(typecode), arr);
      call_method(arr, py_str("byteswap"));
    }
    return packed(arr);
  }

  // base64 of the zlib-compressed bytes: the script then holds little text for the compiler.
  Ref packed(Handle bytes) {
    Ref compressed = call(attr(global(module_, kZlib), "compress"), bytes, py_int(1));
    Ref encode = attr(global(module_, kBinascii), "b2a_base64");
    return call_kw(encode, {compressed}, {{"newline", Py_False}});
  }

  void array(std::string_view name, Handle values, const char* typecode, const char* dtype) {
    append(lines_, ascii_line(std::string(name) + " = _array('", encoded(values, typecode), std::string("', '") + dtype + "')"));
  }

  void csc(std::string_view name, Handle m) {
    Ref shape = item(m, kShape);
    std::string tail = "', " + repr_text(shape) + ")";
    Ref data = encoded(item(m, kData), "d"), indices = encoded(item(m, kIndices), "i"),
        indptr = encoded(item(m, kIndptr), "i");
    line(std::string(name) + " = _csc(");
    append(lines_, ascii_line("    '", data, "',"));
    append(lines_, ascii_line("    '", indices, "',"));
    append(lines_, ascii_line("    '", indptr, tail));
  }

  // The names as the generator holds them: its NUL-separated text, or its var_names list once
  // that has been read (and perhaps changed).
  void names(Handle self) {
    Ref instance_dict = check(PyObject_GenericGetDict(self, nullptr));
    Ref utf = get(instance_dict, kColumnNames);
    if (contains(instance_dict, kVarNames) || !PyBytes_Check(utf.get())) {
      Ref separator = py_str(std::string_view("\0", 1));
      Ref joined = check(PyUnicode_Join(separator.get(), attr(self, kVarNames).get()));
      utf = check(PyUnicode_AsUTF8String(joined.get()));
    }
    append(lines_, ascii_line("var_names = zlib.decompress(base64.b64decode('", packed(utf),
                              "')).decode('utf-8').split('\\x00')"));
  }

 private:
  PyObject* module_;
  Ref lines_;
};

constexpr const char* kPreamble[] = {
    "# SciPy script written by korvane: the model in compressed-sparse-column form, solved by HiGHS",
    "import base64",
    "import time",
    "import zlib",
    "",
    "import numpy as np",
    "from scipy.optimize import Bounds, LinearConstraint, linprog, milp",
    "from scipy.sparse import csc_matrix",
    "",
    "",
    "def _array(text, dtype):",
    "    # Raw little-endian buffers, zlib-compressed and embedded as base64: millions of numbers",
    "    # load in one step. The solver writes into its inputs, so the buffer must be writable.",
    "    return np.frombuffer(bytearray(zlib.decompress(base64.b64decode(text))), dtype=dtype)",
    "",
    "",
    "def _csc(data, indices, indptr, shape):",
    "    return csc_matrix((_array(data, '<f8'), _array(indices, '<i4'), _array(indptr, '<i4')), shape=shape)",
    "",
    "",
};

constexpr const char* kSolve[] = {
    "# Solve. Whoever runs the script may set `solver_options` beforehand: time_limit (seconds)",
    "# and mip_gap (relative), in HiGHS's own names below.",
    "settings = dict(globals().get('solver_options') or {})",
    "highs_options = {}",
    "if 'time_limit' in settings:",
    "    highs_options['time_limit'] = float(settings['time_limit'])",
    "started = time.perf_counter()",
    "cost = -c if maximize else c",
    "if integrality.any():",
    "    if 'mip_gap' in settings:",
    "        highs_options['mip_rel_gap'] = float(settings['mip_gap'])",
    "    constraints = []",
    "    if A_ub.shape[0]:",
    "        constraints.append(LinearConstraint(A_ub, -np.inf, b_ub))",
    "    if A_eq.shape[0]:",
    "        constraints.append(LinearConstraint(A_eq, b_eq, b_eq))",
    "    result = milp(cost, integrality=integrality, bounds=Bounds(lb, ub), constraints=constraints,",
    "                  options=highs_options)",
    "else:",
    "    has_ub, has_eq = A_ub.shape[0] > 0, A_eq.shape[0] > 0",
    "    result = linprog(cost, A_ub=A_ub if has_ub else None, b_ub=b_ub if has_ub else None,",
    "                     A_eq=A_eq if has_eq else None, b_eq=b_eq if has_eq else None,",
    "                     bounds=np.column_stack((lb, ub)), method='highs', options=highs_options)",
    "runtime = time.perf_counter() - started",
};

void report(Script& s, const std::string& results) {
  const std::string r = results;
  const std::string lines[] = {
      "",
      r + " = {}",
      "if result.status == 0 or (result.status == 1 and result.x is not None):",
      "    if result.status == 0:",
      "        print('Optimal solution found:')",
      "    else:",
      "        print(f'Stopped at a limit with a feasible point: {result.message}')",
      "    solution = {}",
      "    for name, value in zip(var_names[:n_model_vars], result.x.tolist()):",
      "        print(f'{name}: {value}')",
      "        solution[name] = value",
      "    objective_value = float(c @ result.x) + objective_constant",
      "    print(f'Objective value: {objective_value}')",
      "    " + r + "['solution'] = solution",
      "    " + r + "['objective_value'] = objective_value",
      "    " + r + "['status'] = 'OPTIMAL' if result.status == 0 else 'TIME_LIMIT'",
      "    stats = {}",
      "    for key, field in (('MIPGap', 'mip_gap'), ('NodeCount', 'mip_node_count'), ('IterCount', 'nit')):",
      "        value = getattr(result, field, None)",
      "        stats[key] = None if value is None else float(value)",
      "    stats['Runtime'] = runtime",
      "    " + r + "['stats'] = stats",
      "elif result.status == 2:",
      "    print('Model is infeasible')",
      "    " + r + "['status'] = 'INFEASIBLE'",
      "elif result.status == 3:",
      "    print('Model is unbounded')",
      "    " + r + "['status'] = 'UNBOUNDED'",
      "elif result.status == 1:",
      "    print(f'Stopped at a limit without a feasible point: {result.message}')",
      "    " + r + "['status'] = 'TIME_LIMIT'",
      "else:",
      "    print(f'Optimization ended with status {result.status}: {result.message}')",
      "    " + r + "['status'] = f'OPTIMIZATION_STATUS_{result.status}'",
      "results_container['scipy_output'] = " + r,
  };
  for (const std::string& line : lines) s.line(line);
}

Ref generate_code(const Call& c) {
  auto [self] = c.bind(Params<1>{"SciPyCSCCodeGenerator.generate_code", {"self"}, 1});
  call_method(self, kBuildMatrices);
  setattr(self, kScipyCodeLines, new_list());
  Script s(c.module, self);
  for (const char* line : kPreamble) s.line(line);
  s.line(std::string("maximize = ") + (eq(attr(self, kObjectiveSense), py_str("maximize")) ? "True" : "False"));
  s.line("objective_constant = " + repr_text(attr(self, kObjectiveConstant)));
  s.line("n_model_vars = " + repr_text(attr(self, kModelVarCount)));
  s.array("c", attr(self, kC), "d", "<f8");
  Ref bounds = attr(self, kBounds);
  s.array("lb", item(bounds, 0), "d", "<f8");
  s.array("ub", item(bounds, 1), "d", "<f8");
  s.array("integrality", attr(self, kIntegrality), "B", "u1");
  s.csc("A_ub", attr(self, kAUb));
  s.array("b_ub", attr(self, kBUb), "d", "<f8");
  s.csc("A_eq", attr(self, kAEq));
  s.array("b_eq", attr(self, kBEq), "d", "<f8");
  s.line("");
  for (const char* line : kSolve) s.line(line);
  s.names(self);
  report(s, text(attr(self, kResultsVarname)));
  Ref newline = py_str("\n");
  return check(PyUnicode_Join(newline.get(), attr(self, kScipyCodeLines).get()));
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("__init__", init, nullptr),
    KV_FUNCTION("build_matrices", build_matrices,
                "Instantiate the model over its data into the sparse matrices and vectors of this generator."),
    KV_FUNCTION("generate_code", generate_code, "Build the matrices and return the text of the SciPy script."),
    KV_FUNCTION("__getattr__", lazy_attribute, nullptr),
};

constexpr const char* kOrder[] = {"__init__", "build_matrices", "generate_code", "__getattr__"};

void exec_lpwrightsparse(PyObject* module) {
  add(module, "array", import("array"));
  add(module, "binascii", import("binascii"));
  add(module, "zlib", import("zlib"));
  Ref logging = import("logging");
  add(module, "logger", call_method(logging, py_str("getLogger"), attr(module, "__name__")));
  add(module, "SemanticError", attr(import_sibling(module, "faultlore"), "SemanticError"));
  Ref base = attr(import_sibling(module, "lpwrightcore"), "SciPyCodeGeneratorBase");
  add(module, "SciPyCodeGeneratorBase", base);
  add(module, "EPS", py_float(kEps));
  add(module, "EQ_TOL", py_float(kEqTol));
  Ref ns = method_namespace(module, kOrder, {kMethods});
  add(module, "SciPyCSCCodeGenerator",
      make_class(module, "SciPyCSCCodeGenerator", tuple_of(base), ns,
                 "Instantiate a model tree over its data into CSC matrices and write a SciPy (HiGHS) script."));
}

}  // namespace
}  // namespace lpsparse

KV_MODULE(lpwrightsparse, lpsparse::exec_lpwrightsparse, "SciPy script generator in compressed-sparse-column form.")
