// The instantiated model of the CSC generator (korvane.lpwrightsparse).
//
// The model tree is compiled once into a compact expression form (Expr, indices into one arena)
// whose names are already resolved to iterator slots, parameter tables, variable families or
// constants. Data are converted once into C++ containers (interned strings and tuples, sets,
// dense or keyed parameter tables). Instantiation then walks foralls and sums over those
// containers and accumulates coefficients in plain vectors, so no Python object is made per term.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/module.hpp"
#include "common/prefault.hpp"
#include "common/recursion.hpp"
#include "korvane/linearcore/constructs.hpp"

namespace lpsparse {

using namespace kv;

// The few arrays that grow to many megabytes (rows, columns, names, dense tables) are made
// resident in one step and, from 2 MiB, offered to the kernel as huge pages: filling them then
// costs no page fault per 4 KiB.
template <class T>
using BigAllocator = kv::PopulatedAllocator<T>;

template <class T>
using BigVector = std::vector<T, BigAllocator<T>>;

inline constexpr double kEps = 1e-5;      // margin that makes strict comparisons strict
inline constexpr double kEqTol = 1e-6;    // tolerance of reified equalities
inline constexpr double kDefaultM = 1e6;  // big-M where a difference has no finite bounds
inline constexpr double kMinM = 1e-9;
inline constexpr double kBoundTol = 1e-9;  // relative rounding error forgiven in integer bounds
inline constexpr double kInf = HUGE_VAL;
// Integers of magnitude up to 2^53 are exactly doubles; range bounds and data integers beyond
// that are refused, so that no two of them merge and hi - lo + 1 cannot overflow.
inline constexpr double kMaxExactInteger = 9007199254740992.0;
inline constexpr std::size_t kDefaultTermLimit = 100000000;

// `v` as an integer when it is one that a double holds exactly.
inline std::optional<long long> exact_integer(double v) {
  if (!(std::fabs(v) <= kMaxExactInteger) || v != std::floor(v)) return std::nullopt;
  return static_cast<long long>(v);
}

// An error in the user's model or data: becomes SemanticError(message, lineno) at the boundary.
struct ModelError {
  std::string message;
  long lineno = 0;  // 0: no line known
};

// ---- values ----

// A data value: a number (bools are numbers, as in Python), an interned string or an interned
// tuple. Equal values are equal bit patterns after interning, so hashing is cheap.
struct Value {
  enum class Kind : std::uint8_t { Num, Str, Tup };
  Kind kind = Kind::Num;
  bool integral = false;  // a number that Python holds as an int (str() writes no ".0")
  std::uint32_t id = 0;   // Str: string table index; Tup: tuple table index
  double num = 0.0;

  static Value number(double v, bool is_int = false) { return {Kind::Num, is_int, 0, v}; }
  static Value integer(long long v) { return {Kind::Num, true, 0, static_cast<double>(v)}; }
  bool is_num() const { return kind == Kind::Num; }
  bool operator==(const Value& o) const {
    return kind == o.kind && (kind == Kind::Num ? num == o.num : id == o.id);
  }
};

struct ValueHash {
  std::size_t operator()(const Value& v) const noexcept {
    if (v.kind == Value::Kind::Num) return std::hash<double>{}(v.num == 0.0 ? 0.0 : v.num);
    return (static_cast<std::size_t>(v.id) << 2) ^ static_cast<std::size_t>(v.kind);
  }
};

struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(std::span<const Value> key) const noexcept {
    std::size_t h = key.size();
    for (const Value& v : key) h = h * 1000003u ^ ValueHash{}(v);
    return h;
  }
  std::size_t operator()(const std::vector<Value>& key) const noexcept { return (*this)(std::span<const Value>(key)); }
};

struct KeyEq {
  using is_transparent = void;
  static bool same(std::span<const Value> a, std::span<const Value> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!(a[i] == b[i])) return false;
    }
    return true;
  }
  bool operator()(const std::vector<Value>& a, const std::vector<Value>& b) const { return same(a, b); }
  bool operator()(std::span<const Value> a, const std::vector<Value>& b) const { return same(a, b); }
  bool operator()(const std::vector<Value>& a, std::span<const Value> b) const { return same(a, b); }
};

template <class T>
using KeyMap = std::unordered_map<std::vector<Value>, T, KeyHash, KeyEq>;

struct TupleType {
  std::string name;
  std::vector<std::string> fields;
};

// Interned strings and tuples of one generation run. Both are found through open-addressing
// tables of ids that keep each entry's hash beside it, so a lookup touches one slot array and
// the entry it compares, instead of a chain of nodes that each hold a copy of the key.
class Interner {
 public:
  Value string(std::string_view text);
  Value string(PyObject* exact_str);
  Value tuple(std::vector<Value> items, int type);
  void reserve_tuples(std::size_t more);
  const std::string& text_of(const Value& v) const { return strings_[v.id]; }
  const std::vector<Value>& items_of(const Value& v) const { return tuples_[v.id].items; }
  int type_of(const Value& v) const { return tuples_[v.id].type; }

  struct Slot {  // eight bytes, so that a large table stays as close to the caches as it can
    std::uint32_t hash = 0;         // the low bits of the entry's hash: its home slot and a first test
    std::uint32_t id = UINT32_MAX;  // UINT32_MAX: empty
  };
  struct ObjectSlot {
    PyObject* object = nullptr;  // null: empty
    std::uint32_t id = 0;
  };

 private:
  struct TupleRec {
    std::vector<Value> items;
    int type;
  };
  // The slot holding an entry with `hash` that `same(id)` accepts, or the empty slot where it
  // belongs; grows `table` first when it is half full.
  template <class Same>
  static Slot& find_slot(std::vector<Slot>& table, std::size_t count, std::uint32_t hash, Same same);

  // Ids of the str objects already interned, by identity: data repeat the same object for each
  // text (a .dat file makes one per distinct text), and a hit reads and hashes no text. The
  // objects are held, so that no other object takes one's address while the table is in use.
  std::vector<ObjectSlot> object_slots_;
  std::size_t object_count_ = 0;
  std::vector<Ref> held_;

  std::vector<std::string> strings_;
  std::vector<Slot> string_slots_;
  std::vector<TupleRec> tuples_;
  std::vector<Slot> tuple_slots_;
};

// ---- index spaces ----

// Spreads the bits of a hash whose low bits alone would cluster (sequential ids, small numbers).
inline std::size_t mixed(std::size_t h) {
  h ^= h >> 31;
  h *= 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 29);
}

// The elements of a set in order, each once (the first wins), and the position of each.
class SetData {
 public:
  std::string name;
  std::vector<Value> elems;
  int tuple_type = -1;

  void reserve(std::size_t n);
  void add(const Value& v);
  // The position of `v`, or -1 when it is not an element.
  long long position(const Value& v) const {
    if (slots_.empty()) return -1;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mixed(ValueHash{}(v)) & mask; slots_[i] != 0; i = (i + 1) & mask) {
      if (elems[slots_[i] - 1] == v) return slots_[i] - 1;
    }
    return -1;
  }

 private:
  // An open-addressing table of positions + 1 (0: empty) by the elements' hashes, at most half
  // full: no node per element, and a lookup reads one slot and the element it names.
  std::vector<std::uint32_t> slots_;
  void grow(std::size_t size);
};

// What a dimension or an iterator runs over: an integer range lo..hi or the elements of a set.
struct Domain {
  const SetData* set = nullptr;
  long long lo = 1, hi = 0;
  std::string name;  // for messages

  std::size_t size() const {
    if (set != nullptr) return set->elems.size();
    return hi >= lo ? static_cast<std::size_t>(hi - lo + 1) : 0;
  }
  Value at(std::size_t i) const { return set != nullptr ? set->elems[i] : Value::integer(lo + static_cast<long long>(i)); }
  // Whether `o` runs over the same elements in the same order, so that a position in one is the
  // same position in the other.
  bool same_as(const Domain& o) const { return this == &o || (set == o.set && lo == o.lo && hi == o.hi); }
  // The position of `v`, or -1 when it is not an element.
  long long position(const Value& v) const {
    if (set != nullptr) return set->position(v);
    if (!v.is_num() || v.num != std::floor(v.num) || v.num < static_cast<double>(lo) || v.num > static_cast<double>(hi)) {
      return -1;
    }
    return static_cast<long long>(v.num) - lo;
  }
};

// The number of index tuples of `dims`, or nothing when it exceeds `limit`.
inline std::optional<std::size_t> element_count(const std::vector<Domain>& dims, std::size_t limit) {
  std::size_t total = 1;
  for (const Domain& d : dims) {
    if (__builtin_mul_overflow(total, d.size(), &total) || total > limit) return std::nullopt;
  }
  return total;
}

// ---- parameters ----

// An indexed parameter: dense over its declared dimensions when the data are nested lists,
// keyed by index tuples when the data are dictionaries.
struct Table {
  std::string name;
  std::size_t arity = 0;
  std::vector<Domain> dims;  // empty when the declaration names none (undeclared data)
  BigVector<Value> dense;
  std::vector<std::uint8_t> present;
  KeyMap<Value> keyed;
  bool is_dense = false;

  const Value* find(std::span<const Value> key) const;
};

// ---- decision variables ----

struct VarFamily {
  std::string name;
  std::vector<Domain> dims;  // empty for a scalar variable
  std::vector<std::size_t> strides;
  int first_column = 0;
  std::size_t count = 1;
  bool binary = false;  // declared boolean
};

// ---- compiled expressions ----

enum class Op : std::uint8_t {
  Const,     // value
  Slot,      // ref: iterator slot
  Param,     // ref: table; args: subscripts
  Record,    // ref: tuple-array table; args: subscripts
  Var,       // ref: family; args: subscripts
  Field,     // a: base; text: field name
  TupleLit,  // args: elements
  Neg,
  Add,
  Sub,
  Mul,
  Div,
  Cmp,  // cmp: operator
  And,
  Or,
  Not,
  Cond,  // a ? b : c
  Min,
  Max,
  Sqrt,
  Sum,     // loop: iterators and filter; a: body
  Prod,    // loop, a: as Sum
  Math,    // math(args[0]): abs, floor, ceil, round, exp, log, trunc
  Pow,     // a ** b
  Mod,     // a mod b, truncated towards zero as in C
  IntDiv,  // a div b, truncated towards zero
  SetFn,   // ref: index into set_args; text: card, ord, first, last, next, prev, nextc, prevc, item, in
  Piecewise,  // ref: index into piecewise_functions; a: argument
  Equiv,      // a and b, conditions, hold together
};

enum class Cmp : std::uint8_t { Eq, Ne, Le, Ge, Lt, Gt };

// The elements of a domain grouped by the values of some of their fields, built once per
// (domain, fields): a filter `a.p == p` then visits the arcs of plant p instead of every arc.
// Groups list element positions in ascending order, so matches come in the domain's own order.
class ElementIndex {
 public:
  bool complete = true;  // false when some element lacks one of the fields: callers scan instead

  void add(std::span<const Value> key, std::uint32_t position);
  void seal();  // groups the added positions; no add() after it
  std::span<const std::uint32_t> matches(std::span<const Value> key) const;

 private:
  KeyMap<std::uint32_t> groups_;
  std::vector<std::uint32_t> group_of_;  // per added position, before seal()
  std::vector<std::uint32_t> starts_;
  std::vector<std::uint32_t> members_;
};

struct Iter {
  int slot = 0;
  std::optional<Domain> fixed;  // a named range or set
  int start = -1, end = -1;     // a range start..end evaluated when the loop opens
  bool own_bounds = false;      // start or end reads an iterator of its own loop
  // Equalities of the filter that select this iterator's elements: the field each one reads
  // ("" for the element itself) and the expression, bound before this iterator, it must equal.
  std::vector<std::string> key_fields;
  std::vector<int> key_exprs;
  const ElementIndex* index = nullptr;  // built on the loop's first run when a key reads a field
};

struct Loop {
  std::vector<Iter> iters;
  int filter = -1;
  int residual = -1;  // the filter without the equalities the iterators select by; -1: nothing left
  enum class Use : std::uint8_t { Unplanned, Keys, Scan } use = Use::Unplanned;
};

struct Expr {
  Op op = Op::Const;
  Cmp cmp = Cmp::Eq;
  bool has_var = false;  // mentions a decision variable
  int a = -1, b = -1, c = -1;
  int ref = -1;
  const Table* table = nullptr;  // Param, Record
  std::vector<int> args;
  Value value;
  std::string text;
  int loop = -1;  // Sum, Prod, and Min and Max over iterators: index into the loop table
  std::vector<int> field_at;  // Field: the field's position in each tuple type, -1 where it has none
  double (*math)(double) = nullptr;
};

// ---- linear terms resolved once (term_plans.cpp) ----
//
// Most linear expressions are sums of `coef * x[i][j]` whose subscripts are iterators, iterators
// plus a constant, or constants, and whose coefficients are products of constants and dense
// table entries. Such an expression is planned once into chains of steps that lin() would take,
// and each chain computes its column and coefficient by direct reads; whatever a plan cannot
// resolve directly (a binding over another domain, an absent entry, an error) goes through the
// general evaluation of the same node, so results and errors are those of the general walk.

// A subscript resolved to a position without evaluating it where its shape allows.
struct FastIndex {
  enum class Kind : std::uint8_t { General, Slot, Shifted, Fixed };
  Kind kind = Kind::General;
  int expr = -1;       // the subscript itself
  int slot = -1;       // Slot, Shifted: the iterator read
  double shift = 0.0;  // Shifted: the constant added to the iterator's number
  long long position = -1;  // Fixed: the position of the constant
  const Domain* matched = nullptr;  // Slot: the last binding domain found equal to the dimension
};

// A data factor: a constant, an entry of a dense table, a product of two factors, or General.
struct FastFactor {
  enum class Kind : std::uint8_t { General, Number, Entry, Product };
  Kind kind = Kind::General;
  int expr = -1;
  double number = 0.0;              // Number
  const Table* table = nullptr;     // Entry
  std::vector<FastIndex> subscripts;  // Entry
  int left = -1, right = -1;        // Product: factor indices
};

// One term as lin() reaches it: sign changes and data factors met on the way down, then a
// column (a variable reference), a data constant, or a nested sum.
struct TermChain {
  enum class Step : std::uint8_t { Negate, Multiply, Divide };
  std::vector<std::pair<Step, int>> steps;  // factor index for Multiply and Divide
  enum class Leaf : std::uint8_t { Column, Constant, Sum } leaf = Leaf::Column;
  int expr = -1;    // the leaf node
  int factor = -1;  // Constant: its factor
  const VarFamily* family = nullptr;  // Column
  std::vector<FastIndex> subscripts;  // Column
};

struct TermPlan {
  std::vector<TermChain> chains;
};

// A column number or table offset inside a loop over fixed domains: base plus, per level of the
// loop, a multiple of that level's position.
struct Affine {
  static constexpr std::size_t kLevels = 4;
  long long base = 0;
  std::array<long long, kLevels> per_level{};
  long long at(const std::array<long long, kLevels>& positions) const {
    return base + per_level[0] * positions[0] + per_level[1] * positions[1] + per_level[2] * positions[2] +
           per_level[3] * positions[3];
  }
};

// ---- compiled constraints ----

enum class CKind : std::uint8_t { Compare, NotEqual, Implication, Forall, Logical };

struct Constraint {
  CKind kind = CKind::Compare;
  Cmp cmp = Cmp::Eq;
  int left = -1, right = -1;        // Compare, NotEqual: sides; Implication: antecedent, consequent; Logical: condition
  int loop = -1;                    // Forall
  std::vector<int> body;            // Forall: constraint indices
  bool bound_candidate = false;     // one variable reference: may turn into a column bound
  bool any_candidate = false;       // Forall: some constraint below is a bound candidate
  bool all_candidates = false;      // Forall: every constraint below is one
  long lineno = 0;
  std::string label;                // label or label template name
  std::vector<int> label_slots;     // slots of a label template's iterators
  int implication = -1;             // Implication: index into the plan table
};

// How an implication is encoded, decided from the tree before any data is read.
enum class Path : std::uint8_t { Logical, Contrapositive, Direct, General };

struct Implication {
  Path path = Path::General;
  int ante_left = -1, ante_right = -1, cons_left = -1, cons_right = -1;
  Cmp ante_op = Cmp::Eq, cons_op = Cmp::Eq;
  int binary = -1;     // Contrapositive: consequent variable; Direct: antecedent variable
  int indicator_value = 1;  // Direct: the value of the binary that fires
  double ante_number = 0.0;  // Contrapositive: antecedent right side
};

// ---- linear expressions and rows ----

struct LinExpr {
  double constant = 0.0;
  std::vector<std::pair<int, double>> terms;
  void add(int column, double coef) { terms.emplace_back(column, coef); }
  void add_scaled(const LinExpr& e, double scale) {
    constant += scale * e.constant;
    for (auto [col, coef] : e.terms) terms.emplace_back(col, coef * scale);
  }
  void clear() {
    constant = 0.0;
    terms.clear();
  }
};

enum class Sense : std::uint8_t { Le, Ge, Eq };

// Rows in compressed-sparse-row order as they are generated; turned into CSC at the end.
struct RowStore {
  BigVector<std::int64_t> ptr{0};
  BigVector<std::int32_t> idx;
  BigVector<double> val;
  BigVector<double> rhs;
  std::size_t rows() const { return rhs.size(); }
};

// Where an error is reported: the constraint being instantiated (its label with the values of
// its iterators) and its line.
struct Site {
  int constraint = -1;  // -1: the objective or a declaration
  long lineno = 0;
};

// Column names, stored back to back and each followed by a NUL byte: one allocation for hundreds
// of thousands of names, and the very text the script embeds.
class Names {
 public:
  void add(std::string_view name) {
    // The names travel NUL-separated: a NUL of their own would shift every name after it.
    if (name.find('\0') != std::string_view::npos) {
      throw ModelError{"The variable name '" + std::string(name.substr(0, name.find('\0'))) +
                       "\\x00...' holds a NUL byte, which the SciPy target cannot carry; remove it from the data"};
    }
    blob_.insert(blob_.end(), name.begin(), name.end());
    blob_.push_back('\0');
    ends_.push_back(blob_.size());
    for (char ch : name) ascii_ = ascii_ && static_cast<unsigned char>(ch) < 0x80;
  }
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  bool ascii() const { return ascii_; }
  std::string_view operator[](std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(blob_.data() + begin, ends_[i] - 1 - begin);
  }
  // Every name, separated by NUL bytes.
  std::string_view joined() const { return std::string_view(blob_.data(), blob_.empty() ? 0 : blob_.size() - 1); }
  void reserve_more(std::size_t names, std::size_t bytes) {
    ends_.reserve(ends_.size() + names);
    blob_.reserve(blob_.size() + bytes + names);
  }

 private:
  BigVector<char> blob_;
  BigVector<std::size_t> ends_;
  bool ascii_ = true;
};

// Where rows and bounds come from: one instance of a constraint (its index and the values of the
// iterators of the loops around it), and the bounds a one-column row set in place of a row.
struct Origin {
  int constraint = -1;
  std::uint32_t first_value = 0;  // into Model::origin_values
};

struct BoundRow {
  int column = 0;
  double low = -kInf, high = kInf;            // what the row states
  double before_low = -kInf, before_high = kInf;  // the column's bounds just before it
  int origin = -1;
};

// ---- the generator's state for one run ----

class Model {
 public:
  // The model holds its own references: nothing it reads may go away while it builds.
  explicit Model(Handle ast, Handle data) : ast_(Ref::borrow(ast)), data_(Ref::borrow(data)) {}

  void build();  // declarations, objective and constraints

  // Results, read by the module after build().
  Interner interner;
  std::vector<TupleType> tuple_types;
  Names column_names;
  std::size_t model_columns = 0;  // declared variables; auxiliaries follow them
  BigVector<double> lb, ub, cost;
  BigVector<std::uint8_t> integral;
  double objective_constant = 0.0;
  bool maximize = false;
  RowStore ub_rows, eq_rows;

  // The most loop iterations one constraint (or the objective) may instantiate, and the most
  // elements of a dense table: beyond it the model is refused instead of exhausting memory.
  std::size_t term_limit = kDefaultTermLimit;

  // ---- data (data.cpp) ----
  Ref ast_;
  Ref data_;
  std::unordered_map<std::string, Ref> declarations;  // first declaration of each name
  std::unordered_map<std::string, std::unique_ptr<SetData>> sets;
  std::unordered_map<std::string, std::pair<long long, long long>> ranges;
  std::unordered_map<std::string, std::unique_ptr<Table>> tables;
  std::unordered_map<std::string, std::unique_ptr<Table>> records;  // tuple arrays
  std::unordered_map<std::string, Value> scalars;
  std::unordered_map<std::string, int> tuple_type_ids;
  std::vector<VarFamily> families;
  std::unordered_map<std::string, int> family_ids;

  void load_declarations();
  // Makes a declaration known by name (the first of a name wins); the tree must outlive the model.
  void register_declaration(Handle decl);
  Ref data_value(const std::string& name);  // data entry, its "__map" alias, or an empty Ref
  Value to_value(Handle o, int tuple_type = -1);
  const SetData* set_named(const std::string& name);
  std::optional<std::pair<long long, long long>> range_named(const std::string& name, long lineno);
  std::optional<Domain> domain_named(const std::string& name, long lineno);
  Domain dimension(Handle dim, const std::string& owner, long lineno);
  const Table* table_named(const std::string& name);
  const Table* records_named(const std::string& name);
  std::optional<Value> scalar_named(const std::string& name, long lineno);
  void declare_variable(Handle decl);
  void add_family_columns(const VarFamily& f, double low, double high, bool integer);
  std::string value_text(const Value& v) const;
  void append_text(std::string& out, const Value& v) const;  // value_text(v) appended to `out`
  long long integer_bound(const Value& v, const std::string& message, long lineno) const;

  // ---- compilation (compile.cpp) ----
  std::vector<Expr> exprs;
  std::vector<Loop> loops;
  std::vector<Constraint> constraints;
  std::vector<Implication> implications;
  std::vector<Domain> set_args;  // the sets named by the first argument of card, ord, next, ...
  int slot_count = 0;
  std::vector<std::pair<std::string, int>> scope;  // iterator names in scope, innermost last
  long compile_line = 0;

  int compile_expr(Handle node);
  int compile_index(Handle node);
  int compile_loop(Handle iterators, Handle filter);
  void close_loop(int loop);
  void plan_filter(Loop& loop);
  int field_position(int tuple_type, const std::string& field) const;
  int compile_constraint(Handle node);
  int compile_implication(Handle node);
  int constant(Value v);
  int var_reference_count(int e) const;
  bool is_boolean_var(int e) const;
  [[noreturn]] void compile_error(const std::string& message) const { throw ModelError{message, compile_line}; }

  // ---- evaluation (evaluate.cpp) ----
  std::vector<Value> slots;
  // The value of every column after a solve, when post-processing evaluates expressions over the
  // decision variables as data; null while the model is being built.
  const std::vector<Value>* solution = nullptr;
  Site site;
  std::string declaration_site;  // what is evaluated outside constraints ("the declaration of 'n'"), if anything

  Value eval(int e);
  Value aggregate(const Expr& x);
  Value set_function(const Expr& x);
  Value numeric(int e);  // a number, or a type-mismatch error
  double number(int e);
  bool truth(int e);
  void lin(int e, double scale, LinExpr& out);
  void for_each(int loop, const std::function<void()>& body);
  // Off: every expression through the general walk (the two must build identical results).
  bool term_plans_enabled = true;
  TermPlan* term_plan(int e);  // the plan of a node with variables, or null (term_plans.cpp)
  void add_terms(TermPlan& plan, double scale, LinExpr& out);
  void for_each_term(int loop, TermPlan& body, double scale, LinExpr& out);  // (loops.cpp)
  void assign_slot(int slot, const Value& v);
  long long loop_bound(int e);
  void count_iterations(std::size_t n);
  void check_loop_size(const Loop& loop);
  bool reads_iterator_of(int e, const Loop& loop) const;
  std::size_t iterations_ = 0;  // of the constraint being instantiated, against term_limit
  int column_of(const Expr& x);
  const Value* parameter(const Expr& x);  // Param, Record: the entry its subscripts address, or null
  [[noreturn]] void fail(const std::string& message) const { throw ModelError{message, site.lineno}; }
  std::string site_text() const;

  // ---- row origins (origins.cpp) ----
  std::vector<std::string> slot_names;  // iterator name of each slot
  BigVector<Origin> origins;
  BigVector<std::int32_t> origin_values;  // iterator values of the origins, as indices into origin_distinct
  std::vector<Value> origin_distinct;     // each distinct iterator value once, in order of first use
  std::vector<std::vector<int>> origin_slots;  // per constraint: slots of its enclosing iterators
  BigVector<std::int32_t> ub_origin, eq_origin;  // per row of ub_rows / eq_rows
  BigVector<std::uint8_t> ub_flipped;            // the ub row is a >= row multiplied by -1
  std::vector<BoundRow> bound_rows;
  std::vector<int> open_loops;  // loops around the constraint being instantiated
  int current_origin = -1;
  void open_origin(int c);
  std::int32_t origin_value_id(int slot);

  // ---- rows and linearisations (constraints.cpp) ----
  void instantiate(int c, bool bounds_only);
  bool is_constant_constraint(const Constraint& k) const;  // (constant_constraints.cpp)
  void check_constant_constraint(const Constraint& k);
  void add_row(const LinExpr& e, Sense sense, double rhs);
  void check_finite(const std::vector<std::pair<int, double>>& terms, double constant);
  void tighten_bounds(int col, double low, double high);
  bool bounds_admit(int col, double low, double high) const;
  std::pair<double, double> integer_range(int col, double low, double high) const;
  void round_integer_bounds(int col);
  double margin(const LinExpr& diff);
  void add_comparison(const LinExpr& diff, Cmp op);
  int new_binary(const char* prefix);
  std::pair<double, double> interval(const LinExpr& e);
  LinExpr reify(const LinExpr& diff, Cmp op);
  LinExpr truth_of(int e);  // a 0/1 expression equal to the truth of a boolean node
  void indicator(int binary, int fire_on, const LinExpr& diff, Cmp op);
  void not_equal(int left, int right);
  void implication(const Implication& plan);
  void add_column(std::string_view name, double low, double high, bool integer);
  int new_auxiliary(const char* prefix, double low, double high, bool integer);
  void reserve_columns(std::size_t more);

  // ---- abs, max, min and implied bounds (linearise.cpp) ----
  // Whether the terms lin() is building want to be small (+1: a <= row, a minimised objective),
  // large (-1), or are exact (0); abs and max are relaxed where that allows.
  int lin_direction = 0;
  class Direction {  // sets lin_direction for a scope
   public:
    Direction(Model& m, int direction);
    ~Direction();
    Direction(const Direction&) = delete;
    Direction& operator=(const Direction&) = delete;

   private:
    Model& m_;
    int saved_;
  };
  std::vector<int> top_constraints;
  void lin_abs(const Expr& x, double scale, LinExpr& out);
  void lin_extreme(const Expr& x, double scale, LinExpr& out);
  LinExpr render(const linearcore::Plan& plan, const linearcore::LinExpr& result);
  template <class Planner>
  LinExpr planned(const char* what, Planner&& planner);
  template <class Planner>
  LinExpr planned_on_grid(const char* what, std::vector<LinExpr> pieces, Planner&& planner);
  std::optional<long long> grid_of(const LinExpr& e);
  LinExpr planned_by(const char* what, const std::function<linearcore::LinExpr(linearcore::Plan&)>& planner);

  // ---- logical constraints, products with a binary, piecewise-linear functions (constructs.cpp) ----
  std::vector<linearcore::Piecewise> piecewise_functions;
  int compile_piecewise(Handle node);
  void lin_piecewise(const Expr& x, double scale, LinExpr& out);
  int binary_factor(int e, double& coef);
  void lin_product(const Expr& x, double scale, LinExpr& out);
  linearcore::Condition condition_of(int e);
  void logical(int condition);
  // The column's bounds, or where one is infinite, those the linear constraints imply.
  std::pair<double, double> column_interval(int col);
  bool plain_linear(int e) const;
  void collect_linear_rows(int c, std::vector<linearcore::Row>& rows);
  void compute_implied_bounds();
  std::optional<std::vector<linearcore::Interval>> implied_;

 private:
  // Of each slot, the last value recorded for an origin and its index: loops mostly repeat the
  // values of their outer iterators, so the distinct values are rarely looked up.
  std::vector<std::pair<Value, std::int32_t>> origin_last_;
  std::unordered_map<Value, std::int32_t, ValueHash> origin_ids_;
  // Of each slot bound to a domain of at most kMaxOriginPositions elements: that domain and the
  // id of the value at each of its positions (-1: not met yet), so that no value is hashed twice.
  static constexpr std::size_t kMaxOriginPositions = std::size_t{1} << 22;
  std::vector<std::pair<const Domain*, std::vector<std::int32_t>>> origin_by_position_;
  std::int32_t distinct_value_id(const Value& v);
  // The domain each iterator slot runs over (null for a range evaluated when its loop opens) and
  // its position there, so that a subscript by that iterator over the same set or range takes
  // the position as it is: no hashing of the element, no conversion of the number.
  std::vector<const Domain*> slot_domain_;
  std::vector<std::uint32_t> slot_pos_;
  std::map<std::pair<const SetData*, std::vector<std::string>>, std::unique_ptr<ElementIndex>> indexes_;
  struct RowRef {
    const RowStore* store = nullptr;  // null: the constraint has written no row yet
    std::size_t row = 0;
  };
  std::vector<RowRef> last_rows_;  // by constraint: the last row it wrote
  bool repeats_last_row(const RowStore& store, const std::vector<std::pair<int, double>>& terms, double sign,
                        double rhs) const;
  BigVector<std::int32_t> mark_;  // column to slot in the row being merged, -1 when absent
  LinExpr scratch_;
  std::vector<std::pair<int, double>> row_terms_;
  int aux_counter_ = 0;
  void merge_row(const LinExpr& e, std::vector<std::pair<int, double>>& merged);
  template <class Body>
  void each_level(Loop& loop, std::size_t level, Body& body);
  void prepare_slots();
  // ---- term plans (term_plans.cpp) ----
  std::vector<TermPlan*> plan_of_;  // by node: its plan, null for none; kUnplanned before it is planned
  static TermPlan kUnplanned;
  std::deque<TermPlan> plans_;  // a deque: a plan runs on while the sums under it are planned
  std::vector<FastFactor> factors_;
  bool plan_chains(int e, std::vector<std::pair<TermChain::Step, int>>& prefix, TermPlan& plan, int depth);
  int plan_factor(int e, int depth);
  FastIndex plan_index(const Domain& d, int subscript) const;
  long long fast_position(FastIndex& index, const Domain& d);
  bool factor_value(int factor, double& out);
  double factor_number(int factor);
  int chain_column(TermChain& chain);
  // A sum over fixed domains without a filter whose terms are all affine in its positions.
  struct AffineSum;
  bool affine_index(const std::vector<FastIndex>& subscripts, const std::vector<Domain>& dims,
                    const std::vector<long long>& strides, const Loop& loop, Affine& out) const;
  bool affine_factor(int factor, const Loop& loop, AffineSum& run) const;
  bool plan_affine(const Loop& loop, const TermPlan& plan, double scale, AffineSum& run) const;
  double affine_number(int factor, const AffineSum& run);
  void run_affine(AffineSum& run, std::size_t level);
  bool add_affine_terms(Loop& loop, const TermPlan& plan, double scale, LinExpr& out);
  void bind(int slot, const Domain& d, std::size_t position);
  long long position_in(const Domain& d, int subscript);
  const ElementIndex& element_index(const Domain& d, const std::vector<std::string>& fields);
  void prepare_keys(Loop& loop);
};

// The plans' view of a linear expression, and of the use of a construct met at `scale` in a row
// whose terms want to be small (direction +1), large (-1), or exact (0) (linearise.cpp).
linearcore::LinExpr to_core(const LinExpr& e);
linearcore::Use use_at(int direction, double scale);

// The generator's `row_origins` attribute (origins.cpp).
Ref row_origins(PyObject* module, const Model& m);

}  // namespace lpsparse
