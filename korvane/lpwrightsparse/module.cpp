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
#include "results.hpp"

namespace lpsparse {
namespace {

// Longer explicit sums are regrouped: compiling them is recursive.
constexpr std::size_t kLongestChain = 100;

Key kSemanticError{"SemanticError"};
Key kZlib{"zlib"};
Key kInit{"__init__"};
Key kAst{"ast"};
Key kDataDict{"data_dict"};
Key kScipyCodeLines{"scipy_code_lines"};
Key kResultsVarname{"results_varname"};
Key kBuildMatrices{"build_matrices"};
Key kTypecode{"typecode"};
Key kTermLimit{"term_limit"};

[[noreturn]] void raise_model_error(PyObject* module, const ModelError& e) {
  Ref lineno = e.lineno > 0 ? py_int(e.lineno) : none();
  raise_instance(call_kw(global(module, kSemanticError), {py_str(e.message)}, {{"lineno", lineno}}));
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
  auto m = std::make_unique<Model>(tree, values);
  m->term_limit = positive_limit(term_limit, "term_limit");
  // The tests build models both ways and compare every result.
  m->term_plans_enabled = std::getenv("KORVANE_GENERAL_TERMS") == nullptr;
  try {
    m->build();
    if (m->column_names.empty()) throw ModelError{"The model declares no decision variables"};
    for (const RowStore* rows : {&m->ub_rows, &m->eq_rows}) {
      if (rows->idx.size() > static_cast<std::size_t>(INT32_MAX)) throw ModelError{"The model has too many non-zero coefficients"};
    }
  } catch (const ModelError& e) {
    raise_model_error(c.module, e);
  }
  store_results(self, std::move(m));
  return none();
}

// ---- the script ----

// A piece of a line of the script: ASCII text as it is, or bytes written as base64.
struct Piece {
  std::string_view data;
  bool base64 = false;
};

// Standard base64 with padding, as binascii writes it.
char* write_base64(std::string_view bytes, char* out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), i = 0;
  for (; i + 3 <= n; i += 3, out += 4) {
    std::uint32_t v = static_cast<std::uint32_t>(in[i]) << 16 | static_cast<std::uint32_t>(in[i + 1]) << 8 | in[i + 2];
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = kAlphabet[v & 63];
  }
  if (i < n) {
    std::uint32_t v = static_cast<std::uint32_t>(in[i]) << 16 | (i + 1 < n ? static_cast<std::uint32_t>(in[i + 1]) << 8 : 0);
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
    out += 4;
  }
  return out;
}

// One line of the pieces, each written once, straight into the string.
Ref ascii_line(std::initializer_list<Piece> pieces) {
  std::size_t size = 0;
  for (const Piece& p : pieces) size += p.base64 ? (p.data.size() + 2) / 3 * 4 : p.data.size();
  Ref line = check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  auto* out = static_cast<char*>(PyUnicode_DATA(line.get()));
  for (const Piece& p : pieces) {
    if (p.base64) {
      out = write_base64(p.data, out);
    } else {
      std::memcpy(out, p.data.data(), p.data.size());
      out += p.data.size();
    }
  }
  return line;
}

template <class T>
std::string_view bytes_of(const BigVector<T>& v) {
  return {reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T)};
}

std::string_view bytes_view(Handle bytes) {
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

class Script {
 public:
  Script(PyObject* module, Handle self) : module_(module), lines_(attr(self, kScipyCodeLines)) {}

  void line(std::string_view text) { append(lines_, py_str(text)); }

  // `name` = an expression that rebuilds `values` (little-endian bytes of the array typecode
  // `typecode`) as a numpy array of `dtype`.
  void array(std::string_view name, std::string_view values, char typecode, const char* dtype) {
    append(lines_, array_line(std::string(name) + " = ", values, typecode, dtype, ""));
  }
  void array(std::string_view name, Handle values, char typecode, const char* dtype) {
    append(lines_, array_line(std::string(name) + " = ", values, typecode, dtype, ""));
  }

  // `name` = the compressed-sparse-column matrix of `rows` over `columns` columns, transposed
  // straight into what is encoded: a constant matrix needs no values moved, a few distinct
  // values move as one-byte codes, and the row indices become their differences in place.
  void csc(std::string_view name, const RowStore& rows, std::size_t columns) {
    line(std::string(name) + " = _csc(");
    std::size_t nnz = rows.idx.size();
    Buffer<std::int32_t> indptr(columns + 1), indices(nnz);
    std::string_view values = bytes_of(rows.val);
    std::optional<std::pair<std::string, std::string>> codes;
    if (is_constant(values, 8)) {
      transpose(rows, columns, indptr.data(), indices.data(), [](std::int32_t, std::int64_t) {});
      append(lines_, array_line("    ", values, 'd', "<f8", ","));
    } else if ((codes = value_codes(values, 8))) {
      std::string in_columns(nnz, '\0');
      transpose(rows, columns, indptr.data(), indices.data(),
                [&](std::int32_t pos, std::int64_t k) { in_columns[static_cast<std::size_t>(pos)] = codes->second[static_cast<std::size_t>(k)]; });
      codes->second = std::move(in_columns);
      append(lines_, codes_line("    ", *codes, ", '<f8'),"));
    } else {
      Buffer<double> data(nnz);
      transpose(rows, columns, indptr.data(), indices.data(),
                [&](std::int32_t pos, std::int64_t k) { data.data()[pos] = rows.val[static_cast<std::size_t>(k)]; });
      append(lines_, array_line("    ", data.bytes(), 'd', "<f8", ","));
    }
    append(lines_, int_line("    ", indices.data(), nnz, ","));
    append(lines_, int_line("    ", indptr.data(), columns + 1, ", (" + std::to_string(rows.rows()) + ", " + std::to_string(columns) + "))"));
  }

  void csc(std::string_view name, Handle m) {
    line(std::string(name) + " = _csc(");
    append(lines_, array_line("    ", item(m, kData), 'd', "<f8", ","));
    append(lines_, array_line("    ", item(m, kIndices), 'i', "<i4", ","));
    append(lines_, array_line("    ", item(m, kIndptr), 'i', "<i4", ", " + repr_text(item(m, kShape)) + ")"));
  }

  // The names as the generator holds them: its NUL-separated text, or its var_names list once
  // that has been read (and perhaps changed).
  void names(Handle self) {
    Ref instance_dict = check(PyObject_GenericGetDict(self, nullptr));
    Ref keep;
    if (const Model* m = contains(instance_dict, kVarNames) ? nullptr : unread(self, kColumnNames, keep)) {
      names_line(m->column_names.joined());
      return;
    }
    Ref utf = get(instance_dict, kColumnNames);
    if (contains(instance_dict, kVarNames) || !PyBytes_Check(utf.get())) {
      Ref separator = py_str(std::string_view("\0", 1));
      Ref joined = check(PyUnicode_Join(separator.get(), attr(self, kVarNames).get()));
      utf = check(PyUnicode_AsUTF8String(joined.get()));
    }
    names_line(bytes_view(utf));
  }

  void names_line(std::string_view joined) {
    Ref packed = compressed(joined);
    append(lines_, ascii_line({{"var_names = zlib.decompress(base64.b64decode('"}, {bytes_view(packed), true},
                               {"')).decode('utf-8').split('\\x00')"}}));
  }

 private:
  PyObject* module_;
  Ref lines_;

  // `before` + an expression that rebuilds the array + `after`: a constant as its value and
  // length, a few distinct floats as codes, decimals as narrow integers over a power of ten,
  // integers as compressed differences in the narrowest width that holds them, other arrays as
  // compressed bytes, or as raw bytes where compressing does not pay (costs of a p-median model,
  // say): inflating costs more than the compiler spends reading the longer text.
  Ref array_line(const std::string& before, std::string_view bytes, char typecode, const char* dtype,
                 const std::string& after) {
    std::size_t width = typecode == 'd' ? 8 : typecode == 'i' ? 4 : 1;
    std::string tail = std::string(", '") + dtype + "')" + after;
    if (is_constant(bytes, width)) {
      std::string value = bytes.empty() ? "0" : first_value_text(bytes, typecode);
      return py_str(before + "_fill('" + value + "', " + std::to_string(bytes.size() / width) + tail);
    }
    if (typecode == 'i') {
      std::vector<std::int32_t> values(bytes.size() / 4);
      std::memcpy(values.data(), bytes.data(), bytes.size());
      return deltas_line(before, values.data(), values.size(), tail);
    }
    if (auto codes = width == 8 ? value_codes(bytes, width) : std::nullopt) return codes_line(before, *codes, tail);
    if (auto scaled = width == 8 ? decimals(bytes) : std::nullopt) {
      auto [integers, narrow] = narrow_in_place(scaled->first.data(), scaled->first.size());
      Ref packed = compresses(integers) ? compressed(integers) : Ref{};
      return ascii_line({{before + "_scaled('"}, {packed ? bytes_view(packed) : integers, true},
                         {std::string("', ") + (packed ? "True" : "False") + ", '" + narrow + "', " + repr_text(py_float(scaled->second)) + tail}});
    }
    if (!compresses(bytes)) return ascii_line({{before + "_raw('"}, {bytes, true}, {"'" + tail}});
    Ref packed = compressed(bytes);
    return ascii_line({{before + "_array('"}, {bytes_view(packed), true}, {"'" + tail}});
  }

  // An int32 array that may be overwritten: a constant as such, else as differences.
  Ref int_line(const std::string& before, std::int32_t* values, std::size_t n, const std::string& after) {
    std::string_view bytes(reinterpret_cast<const char*>(values), n * 4);
    if (is_constant(bytes, 4)) return array_line(before, bytes, 'i', "<i4", after);
    return deltas_line(before, values, n, ", '<i4')" + after);
  }

  // Integers as compressed differences in the narrowest width that holds them (`values` is
  // overwritten).
  Ref deltas_line(const std::string& before, std::int32_t* values, std::size_t n, const std::string& tail) {
    deltas_in_place(values, n);
    auto [differences, dtype] = narrow_in_place(values, n);
    Ref packed = compressed(differences);
    return ascii_line({{before + "_deltas('"}, {bytes_view(packed), true}, {std::string("', '") + dtype + "'" + tail}});
  }

  // Distinct values and one compressed byte per element.
  Ref codes_line(const std::string& before, const std::pair<std::string, std::string>& codes, const std::string& tail) {
    Ref packed = compressed(codes.second);
    return ascii_line({{before + "_codes('"}, {codes.first, true}, {"', '"}, {bytes_view(packed), true}, {"'" + tail}});
  }

  // The same for a Python sequence of numbers.
  Ref array_line(const std::string& before, Handle values, char typecode, const char* dtype, const std::string& after) {
    Ref arr = little_endian(values, std::string(1, typecode).c_str());
    Py_buffer view{};
    check_status(PyObject_GetBuffer(arr.get(), &view, PyBUF_SIMPLE));
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    return array_line(before, std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
                      typecode, dtype, after);
  }

  // The repr of the first element, as the array would show it.
  static std::string first_value_text(std::string_view bytes, char typecode) {
    if (typecode == 'd') {
      double v;
      std::memcpy(&v, bytes.data(), sizeof v);
      return repr_text(py_float(v));
    }
    if (typecode == 'i') {
      std::int32_t v;
      std::memcpy(&v, bytes.data(), sizeof v);
      return std::to_string(v);
    }
    return std::to_string(static_cast<unsigned char>(bytes[0]));
  }

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

  // Every element equals the next one exactly when the bytes equal themselves shifted by one.
  static bool is_constant(std::string_view bytes, std::size_t width) {
    return bytes.size() <= width || std::memcmp(bytes.data(), bytes.data() + width, bytes.size() - width) == 0;
  }

  // Differences of consecutive values (the first against 0), in place, modulo 2^32 so that a
  // running sum in int32 restores them exactly.
  static void deltas_in_place(std::int32_t* values, std::size_t n) {
    for (std::size_t i = n; i-- > 1;) {
      values[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(values[i]) - static_cast<std::uint32_t>(values[i - 1]));
    }
  }

  // The values written over themselves in the narrowest little-endian width that holds them
  // (each element's bytes land at or before its own), and that width's dtype.
  static std::pair<std::string_view, const char*> narrow_in_place(std::int32_t* values, std::size_t n) {
    std::int32_t low = 0, high = 0;
    for (std::size_t i = 0; i < n; ++i) {
      low = std::min(low, values[i]);
      high = std::max(high, values[i]);
    }
    std::size_t width = low >= INT8_MIN && high <= INT8_MAX ? 1 : low >= INT16_MIN && high <= INT16_MAX ? 2 : 4;
    auto* out = reinterpret_cast<char*>(values);
    for (std::size_t i = 0; width < 4 && i < n; ++i) {
      auto u = static_cast<std::uint32_t>(values[i]);
      for (std::size_t k = 0; k < width; ++k) out[i * width + k] = static_cast<char>(u >> (8 * k));
    }
    return {std::string_view(out, n * width), width == 1 ? "<i1" : width == 2 ? "<i2" : "<i4"};
  }

  // A read-only view of `bytes` (no copy) for zlib, which takes any buffer; it is
  // dropped before the bytes are.
  static Ref view_of(std::string_view bytes) {
    return check(PyMemoryView_FromMemory(const_cast<char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
  }

  Ref compressed(std::string_view bytes) {
    return call(attr(global(module_, kZlib), "compress"), view_of(bytes), py_int(1));
  }

  // Whether zlib's fastest level shrinks a sample of the bytes to a third. Less does not pay:
  // deflating and inflating bytes that shrink by half (costs of a p-median model, say) takes
  // twice what the compiler spends on the longer text of the raw bytes (measured: ~11 ms per
  // MB of base64 text to compile, ~12 ms per MB of such doubles to deflate, ~6 to inflate).
  bool compresses(std::string_view bytes) {
    std::string_view sample = bytes.substr(0, std::size_t{1} << 16);
    return static_cast<std::size_t>(PyBytes_GET_SIZE(compressed(sample).get())) * 3 < sample.size();
  }

  // Doubles that are all k / 10^d for integers k of at most 32 bits and d <= 6 (prices written
  // with two decimals, say), with the smallest such d: the integers in the narrowest width that
  // holds them, and 10^d. Dividing k by 10^d in the script gives back each double exactly, as
  // both divisions round the same exact quotient; -0.0, NaN and infinities never qualify.
  static std::optional<std::pair<std::vector<std::int32_t>, double>> decimals(std::string_view bytes) {
    constexpr double kPowers[] = {1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6};
    std::size_t n = bytes.size() / 8;
    std::vector<std::int32_t> integers(n);
    // The integer behind `v` at 10^digits, if the script's division gives `v` back bit for bit.
    auto integer = [&](double v, int digits) -> std::optional<std::int32_t> {
      double k = std::nearbyint(v * kPowers[digits]);
      if (!(k >= -2147483648.0 && k < 2147483648.0)) return std::nullopt;
      auto i = static_cast<std::int32_t>(k);
      double back = static_cast<double>(i) / kPowers[digits];
      if (std::memcmp(&back, &v, 8) != 0) return std::nullopt;
      return i;
    };
    // A value that is k / 10^d is also 10k / 10^(d+1) (the same exact quotient), so the digits
    // only grow; the integers are taken at the final count, where one may no longer fit.
    int digits = 0;
    for (std::size_t i = 0; i < n; ++i) {
      double v;
      std::memcpy(&v, bytes.data() + 8 * i, 8);
      while (!integer(v, digits)) {
        if (++digits == static_cast<int>(std::size(kPowers))) return std::nullopt;
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      double v;
      std::memcpy(&v, bytes.data() + 8 * i, 8);
      auto k = integer(v, digits);
      if (!k) return std::nullopt;
      integers[i] = *k;
    }
    return std::pair{std::move(integers), kPowers[digits]};
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
    "# values and one compressed byte per element (_codes), decimals as narrow integers and a",
    "# power of ten (_scaled), or integers as compressed differences in a narrow width (_deltas).",
    "# The solver writes into its inputs: every array is writable.",
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
    "def _scaled(text, packed, width, scale, dtype):",
    "    data = base64.b64decode(text)",
    "    return (np.frombuffer(zlib.decompress(data) if packed else data, dtype=width) / scale).astype(dtype, copy=False)",
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
  // An array not read since the build is encoded straight from the model's own vector.
  auto array = [&](std::string_view name, Key& key, auto of_model, char typecode, const char* dtype) {
    Ref keep;
    if (const Model* m = unread(self, key, keep)) {
      s.array(name, bytes_of(of_model(*m)), typecode, dtype);
    } else {
      s.array(name, attr(self, key), typecode, dtype);
    }
  };
  auto csc = [&](std::string_view name, Key& key, const RowStore Model::*rows) {
    Ref keep;
    if (const Model* m = unread(self, key, keep)) {
      s.csc(name, m->*rows, m->column_names.size());
    } else {
      s.csc(name, attr(self, key));
    }
  };
  array("c", kC, [](const Model& m) -> auto& { return m.cost; }, 'd', "<f8");
  Ref keep;
  if (const Model* m = unread(self, kBounds, keep)) {
    s.array("lb", bytes_of(m->lb), 'd', "<f8");
    s.array("ub", bytes_of(m->ub), 'd', "<f8");
  } else {
    Ref bounds = attr(self, kBounds);
    s.array("lb", item(bounds, 0), 'd', "<f8");
    s.array("ub", item(bounds, 1), 'd', "<f8");
  }
  array("integrality", kIntegrality, [](const Model& m) -> auto& { return m.integral; }, 'B', "u1");
  csc("A_ub", kAUb, &Model::ub_rows);
  array("b_ub", kBUb, [](const Model& m) -> auto& { return m.ub_rows.rhs; }, 'd', "<f8");
  csc("A_eq", kAEq, &Model::eq_rows);
  array("b_eq", kBEq, [](const Model& m) -> auto& { return m.eq_rows.rhs; }, 'd', "<f8");
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
    KV_FUNCTION("__delattr__", delete_attribute, nullptr),
    KV_FUNCTION("__reduce_ex__", reduce_ex, nullptr),
};

constexpr const char* kOrder[] = {"__init__", "build_matrices", "generate_code", "__getattr__", "__delattr__", "__reduce_ex__"};

void exec_lpwrightsparse(PyObject* module) {
  add(module, "array", import("array"));
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
