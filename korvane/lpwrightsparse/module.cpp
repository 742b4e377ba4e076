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
//
// The class attribute term_limit (10^8) bounds the loop iterations of any one constraint and the
// elements of a dense table; set it on an instance to take larger models.
#include <algorithm>
#include <bit>
#include <cstring>

#include "common/collector.hpp"
#include "common/exact_copy.hpp"
#include "common/finite_numbers.hpp"
#include "common/limits.hpp"
#include "common/long_sums.hpp"
#include "model.hpp"

namespace lpsparse {
namespace {

// Longer explicit sums are regrouped: compiling them is recursive.
constexpr std::size_t kLongestChain = 100;

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
Key kTermLimit{"term_limit"};
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
  // Every attribute is read before the data is checked: reading one may run a subclass's code.
  Ref ast = attr(self, kAst), data = attr(self, kDataDict), term_limit = attr(self, kTermLimit);
  if (!is_dict(ast)) raise(PyExc_TypeError, "the model tree must be a dictionary, not " + std::string(Py_TYPE(ast.get())->tp_name));
  if (!is_dict(data)) raise(PyExc_TypeError, "the data must be a dictionary, not " + std::string(Py_TYPE(data.get())->tp_name));
  PauseCollector pause;  // the copies, the interned values and the result arrays are built in bulk
  // Built from values of exact built-in types only: no caller code (a str subclass's __eq__, a
  // list subclass's __iter__) runs while the model is built, so nothing changes under it. The
  // tree is copied, as long sums are regrouped in place. The data, only read, is taken as it is
  // when it is plain (the common case); otherwise it is copied, and searched for numbers that are
  // not finite.
  Ref tree = ExactCopy("The model tree")(ast);
  regroup_long_sums(tree, kLongestChain);
  bool plain = PlainValue::test(data);
  Ref values = plain ? Ref::borrow(data.get()) : ExactCopy("The data")(data);
  auto found = find_non_finite_in_tree(tree);
  if (!found && !plain) found = find_non_finite_in_data(values);
  if (found) raise_model_error(c.module, ModelError{found->message, found->lineno});
  Model m(tree, values);
  m.term_limit = positive_limit(term_limit, "term_limit");
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

std::string_view bytes_view(Handle bytes) {
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

class Script {
 public:
  Script(PyObject* module, Handle self) : module_(module), lines_(attr(self, kScipyCodeLines)) {}

  void line(std::string_view text) { append(lines_, py_str(text)); }

  // `before` + an expression that rebuilds `values` as a numpy array of `dtype` + `after`: a
  // constant as its value and length, a few distinct floats as codes, integers as compressed
  // differences in the narrowest width that holds them, other arrays as compressed bytes, or as
  // raw bytes where compressing does not pay (costs of a p-median model, say): inflating costs
  // more than the compiler spends reading the longer text.
  Ref array_line(const std::string& before, Handle values, const char* typecode, const char* dtype,
                 const std::string& after) {
    Ref arr = little_endian(values, typecode);
    Py_buffer view{};
    check_status(PyObject_GetBuffer(arr.get(), &view, PyBUF_SIMPLE));
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    std::string_view bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    auto width = static_cast<std::size_t>(PyLong_AsSsize_t(attr(arr, "itemsize").get()));
    std::string tail = std::string(", '") + dtype + "')" + after;
    if (is_constant(bytes, width)) {
      std::string value = bytes.empty() ? "0" : repr_text(item(arr, 0));
      return py_str(before + "_fill('" + value + "', " + std::to_string(bytes.size() / width) + tail);
    }
    if (std::string_view(typecode) == "i") {
      auto [differences, narrow] = deltas(bytes);
      return ascii_line(before + "_deltas('", packed(differences), std::string("', '") + narrow + "'" + tail);
    }
    if (auto codes = width == 8 ? value_codes(bytes, width) : std::nullopt) {
      return ascii_line(before + "_codes('", base64(codes->first), "', '" + std::string(bytes_view(packed(codes->second))) + "'" + tail);
    }
    if (!compresses(bytes)) return ascii_line(before + "_raw('", base64(bytes), "'" + tail);
    return ascii_line(before + "_array('", packed(bytes), "'" + tail);
  }

  void array(std::string_view name, Handle values, const char* typecode, const char* dtype) {
    append(lines_, array_line(std::string(name) + " = ", values, typecode, dtype, ""));
  }

  void csc(std::string_view name, Handle m) {
    line(std::string(name) + " = _csc(");
    append(lines_, array_line("    ", item(m, kData), "d", "<f8", ","));
    append(lines_, array_line("    ", item(m, kIndices), "i", "<i4", ","));
    append(lines_, array_line("    ", item(m, kIndptr), "i", "<i4", ", " + repr_text(item(m, kShape)) + ")"));
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
    append(lines_, ascii_line("var_names = zlib.decompress(base64.b64decode('", packed(bytes_view(utf)),
                              "')).decode('utf-8').split('\\x00')"));
  }

 private:
  PyObject* module_;
  Ref lines_;

  // `values` as an array of `typecode` in little-endian byte order.
  Ref little_endian(Handle values, const char* typecode) {
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
    return arr;
  }

  static bool is_constant(std::string_view bytes, std::size_t width) {
    for (std::size_t at = width; at < bytes.size(); at += width) {
      if (std::memcmp(bytes.data(), bytes.data() + at, width) != 0) return false;
    }
    return true;
  }

  // Differences of consecutive little-endian int32 values (the first against 0), modulo 2^32 so
  // that a running sum in int32 restores them exactly, in the narrowest width that holds them.
  static std::pair<std::string, const char*> deltas(std::string_view bytes) {
    std::size_t n = bytes.size() / 4;
    std::vector<std::int32_t> d(n);
    std::uint32_t previous = 0;
    std::int32_t low = 0, high = 0;
    for (std::size_t i = 0; i < n; ++i) {
      auto b = reinterpret_cast<const unsigned char*>(bytes.data() + 4 * i);
      std::uint32_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
      d[i] = static_cast<std::int32_t>(v - previous);
      previous = v;
      low = std::min(low, d[i]);
      high = std::max(high, d[i]);
    }
    std::size_t width = low >= INT8_MIN && high <= INT8_MAX ? 1 : low >= INT16_MIN && high <= INT16_MAX ? 2 : 4;
    std::string out(n * width, '\0');
    for (std::size_t i = 0; i < n; ++i) {
      auto u = static_cast<std::uint32_t>(d[i]);
      for (std::size_t k = 0; k < width; ++k) out[i * width + k] = static_cast<char>(u >> (8 * k));
    }
    return {std::move(out), width == 1 ? "<i1" : width == 2 ? "<i2" : "<i4"};
  }

  Ref bytes_of(std::string_view bytes) {
    return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  }

  Ref compressed(std::string_view bytes) {
    return call(attr(global(module_, kZlib), "compress"), bytes_of(bytes), py_int(1));
  }

  // Whether zlib's fastest level halves a sample of the bytes. Less does not pay: compressing
  // and inflating costs more than the compiler spends on the longer text of the raw bytes.
  bool compresses(std::string_view bytes) {
    std::string_view sample = bytes.substr(0, std::size_t{1} << 16);
    return static_cast<std::size_t>(PyBytes_GET_SIZE(compressed(sample).get())) * 2 < sample.size();
  }

  // Arrays of at most 256 distinct values (coefficients of +1 and -1, say) as those values and
  // one byte per element: the codes compress well and inflate fast, where the bytes of the
  // values themselves inflate slowly however well they compress.
  static std::optional<std::pair<std::string, std::string>> value_codes(std::string_view bytes, std::size_t width) {
    std::size_t n = bytes.size() / width;
    std::string values, codes(n, '\0');
    std::uint64_t table[512];
    std::uint8_t code_of[512];
    bool used[512] = {};
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t v = 0;
      std::memcpy(&v, bytes.data() + i * width, width);
      std::size_t slot = (v * 0x9e3779b97f4a7c15ULL) >> 55;
      while (used[slot] && table[slot] != v) slot = (slot + 1) & 511;
      if (!used[slot]) {
        if (distinct == 256) return std::nullopt;
        used[slot] = true;
        table[slot] = v;
        code_of[slot] = static_cast<std::uint8_t>(distinct++);
        values.append(bytes.data() + i * width, width);
      }
      codes[i] = static_cast<char>(code_of[slot]);
    }
    return std::pair{std::move(values), std::move(codes)};
  }

  Ref base64(std::string_view bytes) {
    Ref encode = attr(global(module_, kBinascii), "b2a_base64");
    return call_kw(encode, {bytes_of(bytes)}, {{"newline", Py_False}});
  }

  // base64 of the zlib-compressed bytes: the script then holds little text for the compiler.
  Ref packed(std::string_view bytes) {
    Ref encode = attr(global(module_, kBinascii), "b2a_base64");
    return call_kw(encode, {compressed(bytes)}, {{"newline", Py_False}});
  }
};

constexpr const char* kPreamble[] = {
    "# SciPy script written by korvane: the model in compressed-sparse-column form, solved by HiGHS",
    "import base64",
    "import re",
    "import time",
    "import zlib",
    "",
    "import numpy as np",
    "from scipy.optimize import Bounds, LinearConstraint, linprog, milp",
    "from scipy.sparse import csc_matrix",
    "",
    "",
    "# Arrays travel as base64 text: compressed little-endian bytes (_array), raw bytes where",
    "# compressing does not pay (_raw), a constant's value and length (_fill), a few distinct",
    "# values and one compressed byte per element (_codes), or integers as compressed differences",
    "# in a narrow width (_deltas). The solver writes into its inputs: every array is writable.",
    "def _array(text, dtype):",
    "    return np.frombuffer(bytearray(zlib.decompress(base64.b64decode(text))), dtype=dtype)",
    "",
    "",
    "def _raw(text, dtype):",
    "    return np.frombuffer(bytearray(base64.b64decode(text)), dtype=dtype)",
    "",
    "",
    "def _fill(value, length, dtype):",
    "    return np.full(length, float(value), dtype=dtype)",
    "",
    "",
    "def _codes(values, codes, dtype):",
    "    return np.frombuffer(base64.b64decode(values), dtype=dtype)[",
    "        np.frombuffer(zlib.decompress(base64.b64decode(codes)), dtype='u1')]",
    "",
    "",
    "def _deltas(text, width, dtype):",
    "    return np.cumsum(np.frombuffer(zlib.decompress(base64.b64decode(text)), dtype=width), dtype=dtype)",
    "",
    "",
    "def _csc(data, indices, indptr, shape):",
    "    return csc_matrix((data, indices, indptr), shape=shape)",
    "",
    "",
};

// The solve section of the script (its comments say why it does what it does).
constexpr const char* kSolve = R"(# Solve. Whoever runs the script may set `solver_options` beforehand: time_limit (seconds),
# mip_gap (relative) and log (HiGHS's own log on standard output), in HiGHS's names below.
settings = dict(globals().get('solver_options') or {})
highs_options = {}
if 'time_limit' in settings:
    highs_options['time_limit'] = float(settings['time_limit'])
if settings.get('log'):
    highs_options['disp'] = True
is_mip = bool(integrality.any())
if is_mip and 'mip_gap' in settings:
    highs_options['mip_rel_gap'] = float(settings['mip_gap'])
# Integer columns take integer values only: their bounds are rounded inward, so that a column
# fixed at 1.5 has no value rather than one the solver rounds.
is_integer = integrality.astype(bool)
lb = np.where(is_integer, np.ceil(lb - 1e-9), lb)
ub = np.where(is_integer, np.floor(ub + 1e-9), ub)
cost = -c if maximize else c


def _solve(options):
    if is_mip:
        constraints = []
        if A_ub.shape[0]:
            constraints.append(LinearConstraint(A_ub, -np.inf, b_ub))
        if A_eq.shape[0]:
            constraints.append(LinearConstraint(A_eq, b_eq, b_eq))
        return milp(cost, integrality=integrality, bounds=Bounds(lb, ub), constraints=constraints, options=options)
    has_ub, has_eq = A_ub.shape[0] > 0, A_eq.shape[0] > 0
    return linprog(cost, A_ub=A_ub if has_ub else None, b_ub=b_ub if has_ub else None,
                   A_eq=A_eq if has_eq else None, b_eq=b_eq if has_eq else None,
                   bounds=np.column_stack((lb, ub)), method='highs', options=options)


started = time.perf_counter()
crossed = np.flatnonzero(lb > ub)
result = None
# HiGHS's presolve has been seen to return suboptimal optima, points that violate rows and wrong
# verdicts of infeasibility on small MIPs: those are solved without it, and a larger MIP that it
# declares infeasible is confirmed without it.
if is_mip and len(c) < 1000:
    highs_options['presolve'] = False
if not crossed.size:
    result = _solve(highs_options)
    if is_mip and result.status == 2 and len(c) < 10000 and highs_options.get('presolve', True):
        retry = dict(highs_options, presolve=False)
        if 'time_limit' in retry:
            retry['time_limit'] = max(retry['time_limit'] - (time.perf_counter() - started), 1e-3)
        result = _solve(retry)
runtime = time.perf_counter() - started)";

// The report. A point is reported only after it is checked against the model: bounds,
// integrality and every row, each within a tolerance that grows with the magnitudes involved.
// HiGHS's own model status (in its message) names the outcome; its message is kept.
constexpr const char* kReport = R"(

def _violation(x):
    """How the point `x` fails the model, or None when it satisfies every bound, integrality
    and row within tolerance."""
    if x is None or not np.all(np.isfinite(x)):
        return 'the solver returned no finite point'
    tol = 1e-6
    near = tol * np.maximum(1.0, np.abs(x))
    checks = [
        (lb - x, near, lambda j: f'{var_names[j]} = {x[j]!r} is below its lower bound {lb[j]!r}'),
        (x - ub, near, lambda j: f'{var_names[j]} = {x[j]!r} is above its upper bound {ub[j]!r}'),
        (np.where(is_integer, np.abs(x - np.round(x)), 0.0), 1e-5,
         lambda j: f'{var_names[j]} = {x[j]!r} is not integral'),
    ]
    for sense, matrix, rhs in (('<=', A_ub, b_ub), ('==', A_eq, b_eq)):
        if matrix.shape[0]:
            activity = matrix @ x
            excess = activity - rhs if sense == '<=' else np.abs(activity - rhs)
            scale = np.maximum(1.0, np.maximum(abs(matrix) @ np.abs(x), np.abs(rhs)))
            checks.append((excess, tol * scale, lambda i, a=activity, b=rhs, s=sense:
                           f'row {i} of the {s} rows has activity {a[i]!r} against {b[i]!r}'))
    for excess, limit, describe in checks:
        over = np.flatnonzero(excess > limit)
        if over.size:
            return describe(int(over[np.argmax((excess - limit)[over])]))
    return None


@R@ = {}
if result is None:
    status = 'INFEASIBLE'
    @R@['message'] = f'the bounds of the integer variable {var_names[crossed[0]]} admit no integer value'
else:
    @R@['message'] = result.message
    found = re.search(r'HiGHS Status (\d+)', result.message or '')
    highs_status = int(found.group(1)) if found else None
    status = {7: 'OPTIMAL', 8: 'INFEASIBLE', 9: 'INF_OR_UNBD', 10: 'UNBOUNDED', 13: 'TIME_LIMIT',
              14: 'ITERATION_LIMIT'}.get(highs_status, f'OPTIMIZATION_STATUS_{result.status}')
point = None
if result is not None and result.x is not None and status in ('OPTIMAL', 'TIME_LIMIT', 'ITERATION_LIMIT'):
    problem = _violation(result.x)
    if problem is None:
        point = result.x
    else:
        if status == 'OPTIMAL':
            status = 'NUMERIC'
        @R@['message'] = f'{result.message}; the point the solver returned violates the model: {problem}'
if point is not None:
    if status == 'OPTIMAL':
        print('Optimal solution found:')
    else:
        print(f'Stopped at a limit with a feasible point: {result.message}')
    solution = {}
    for name, value in zip(var_names[:n_model_vars], point.tolist()):
        print(f'{name}: {value}')
        solution[name] = value
    objective_value = float(c @ point) + objective_constant
    print(f'Objective value: {objective_value}')
    @R@['solution'] = solution
    @R@['objective_value'] = objective_value
    stats = {}
    for key, field in (('MIPGap', 'mip_gap'), ('NodeCount', 'mip_node_count'), ('IterCount', 'nit')):
        value = getattr(result, field, None)
        stats[key] = None if value is None else float(value)
    stats['Runtime'] = runtime
    @R@['stats'] = stats
elif status == 'INFEASIBLE':
    print(f"Model is infeasible: {@R@['message']}")
elif status == 'UNBOUNDED':
    print('Model is unbounded')
elif status == 'INF_OR_UNBD':
    print('Model is infeasible or unbounded')
elif status in ('TIME_LIMIT', 'ITERATION_LIMIT'):
    print(f"Stopped at a limit without a feasible point: {@R@['message']}")
else:
    print(f"Optimization ended with status {status}: {@R@['message']}")
@R@['status'] = status
results_container['scipy_output'] = @R@)";

// `text` line by line, with @R@ replaced by the name of the results dictionary.
void lines_of(Script& s, std::string_view text, const std::string& results) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    for (std::size_t at = line.find("@R@"); at != std::string::npos; at = line.find("@R@", at)) {
      line.replace(at, 3, results);
    }
    s.line(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
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
  std::string results = text(attr(self, kResultsVarname));
  lines_of(s, kSolve, results);
  s.names(self);
  lines_of(s, kReport, results);
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
  set_item(ns, kTermLimit, py_int(static_cast<long long>(kDefaultTermLimit)));
  add(module, "SciPyCSCCodeGenerator",
      make_class(module, "SciPyCSCCodeGenerator", tuple_of(base), ns,
                 "Instantiate a model tree over its data into CSC matrices and write a SciPy (HiGHS) script."));
}

}  // namespace
}  // namespace lpsparse

KV_MODULE(lpwrightsparse, lpsparse::exec_lpwrightsparse, "SciPy script generator in compressed-sparse-column form.")
