// OPL script: the small JavaScript-like language of `execute` and `main` blocks. Blocks are
// parsed into a compact syntax tree (an arena of nodes), run by a tree-walking interpreter under
// a step budget, and read or write the model's declared data through a ScriptData bridge over
// the same data environment that instantiation uses.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "korvane/lpwrightsparse/model.hpp"
#include "source.hpp"

namespace oplparse::script {

using lpsparse::ModelError;

// ---- syntax (script_parse.cpp) ----

enum class NodeKind : std::uint8_t {
  // statements
  Var, ExprStmt, If, While, ForIn, For, Block, Break, Continue, Empty,
  // expressions
  Number, String, Bool, Null, Undefined, Ident, Member, Index, Call, New, ArrayLit, Unary, Binary, Logical,
  Conditional, Assign, Update,
};

// The operator of Unary, Binary, Logical, Assign (its arithmetic, or Set for `=`) and Update nodes.
enum class Op : std::uint8_t { None, Add, Sub, Mul, Div, Mod, Eq, Ne, Lt, Gt, Le, Ge, And, Or, Not, Neg, Plus, Set };

// The operator written `text` (`+=` is Add); None for any other text.
Op op_code(std::string_view text);

struct Node {
  NodeKind kind;
  Op op = Op::None;
  int line = 0;
  std::size_t begin = 0, end = 0;  // the statement or expression in the source: what errors quote
  std::string text;                // name, string value, operator or class name
  double number = 0.0;
  bool flag = false;               // Update: prefix; ForIn: declares its variable with var
  int a = -1, b = -1, c = -1, d = -1;
  std::vector<int> list;           // Block: statements; Call, New, ArrayLit: arguments; Var: initialisers (-1: none)
  std::vector<std::string> names;  // Var: the declared names
  int slot = -1;                   // Ident, Var names (first), ForIn: the block variable's slot; -1: not a block variable
  std::vector<int> slots;          // Var: the slot of each name
};

// One parsed block: `execute [name] { ... }` or `main { ... }`.
struct Program {
  std::string kind;  // "execute" or "main"
  std::string name;  // empty when unnamed
  int line = 0;
  std::string source;    // from the keyword to the closing brace
  std::size_t base = 0;  // the offset of the keyword in the text parsed: node offsets count from the text
  std::vector<Node> nodes;
  std::vector<int> statements;           // the top-level statements
  std::vector<std::string> slot_names;   // block variables (declared with var anywhere in the block)

  const Node& at(int i) const { return nodes[static_cast<std::size_t>(i)]; }
  // "execute block 'name'", "execute block at line 3" or "main block": how errors name it.
  std::string title() const;
  // The source text of node `i`, on one line and shortened: what errors quote.
  std::string quote(int i) const;
};

// Parses the block that starts at `offset` of `text` (at the word execute or main) on `line`;
// returns it with the offset just past its closing brace. Syntax errors are ModelErrors.
Program parse_block(std::string_view text, std::size_t offset, int line, std::size_t* end);

// The block as tree nodes: {"type": "script_block", "kind", "name", "lineno", "source",
// "statements": [...], ...}; the statements are dicts with "type" and "lineno".
Ref block_node(const Program& program);

// ---- values ----

struct Array;
struct Tuple;

struct Value {
  enum class K : std::uint8_t { Undefined, Null, Bool, Num, Str, Arr, Tup, Data, Builtin };
  K k = K::Undefined;
  double num = 0.0;                        // Bool, Num
  std::shared_ptr<const std::string> str;  // Str: the text; Data: the declared name; Builtin: its name
  std::shared_ptr<Array> arr;
  std::shared_ptr<Tuple> tup;
  std::shared_ptr<const std::vector<Value>> key;  // Data: subscripts given so far

  Value() = default;
  explicit Value(K kind, double n = 0.0) : k(kind), num(n) {}
  Value(K kind, std::string text) : k(kind), str(std::make_shared<const std::string>(std::move(text))) {}

  static Value undefined() { return {}; }
  static Value null() { return Value(K::Null); }
  static Value boolean(bool b) { return Value(K::Bool, b ? 1.0 : 0.0); }
  static Value number(double v) { return Value(K::Num, v); }
  static Value string(std::string s) { return {K::Str, std::move(s)}; }
  static Value builtin(std::string name) { return {K::Builtin, std::move(name)}; }
  static Value data(std::string name, std::vector<Value> key = {}) {
    Value v(K::Data, std::move(name));
    v.key = std::make_shared<const std::vector<Value>>(std::move(key));
    return v;
  }
  bool is(K kind) const { return k == kind; }
  bool is_builtin(std::string_view name) const { return k == K::Builtin && *str == name; }
};

struct Array {
  std::vector<Value> items;
};

// A tuple read from the data. One read from a tuple array remembers where it came from, so that
// `arr[i].field = v` writes the data.
struct Tuple {
  std::vector<std::string> fields;
  std::vector<Value> items;
  std::string origin;        // the tuple array it is an element of, or empty
  std::vector<Value> where;  // its subscript there
};

// Text as JavaScript's String(v) writes it: integers without ".0", 1e21 and beyond in exponent form.
std::string number_text(double v);
class ScriptData;
// String(v); sets and arrays of the data as OPL writes them ({1 2 3}, [1 2 3]), tuples as <1 "a">.
std::string to_text(const Value& v, ScriptData* data);
bool truth(const Value& v);
double to_number(const Value& v);
bool same_value(const Value& a, const Value& b);  // ==

// ---- the data of the model (script_data.cpp) ----

// Settings assigned to cplex.<param>: those with a counterpart in the targets' options, by the
// option's name, and the names of the others, in the order first assigned.
struct Settings {
  std::vector<std::pair<std::string, double>> mapped;
  std::vector<std::string> ignored;
  void assign(const std::string& param, double value);
  std::optional<double> read(const std::string& param) const;
};

// What a block sees of the model: declared data through the data environment, whose values it
// may change (the data dictionary first, then the environment), and, after the solve, the values
// of the decision variables.
class ScriptData {
 public:
  // `declarations` lists the declarations registered in `env` so far: after a change that the
  // environment cannot take in place (a set grows), it is rebuilt from them.
  ScriptData(lpsparse::Model& env, Handle env_root, Ref& data, Handle declarations)
      : env_(env), env_root_(env_root), data_(data), declarations_(declarations) {}

  // After the solve: the solution by variable name as the solvers report it ("x[1,a]") and the
  // objective value.
  void set_solution(Handle solution, Handle objective) {
    solution_ = Ref::borrow(solution);
    objective_ = Ref::borrow(objective);
  }
  bool has_solution() const { return solution_ && !is_none(solution_); }
  Handle objective() const { return objective_; }

  // The value a declared name stands for, or nothing when no declaration has it.
  std::optional<Value> global(const std::string& name, int line);
  // `data[key]`: a further subscript of a declared array, set or variable.
  Value subscript(const Value& data, const Value& key, int line);
  // The elements of a declared set or range.
  std::vector<Value> elements(const Value& data, int line);
  bool is_set(const Value& data);
  void assign_scalar(const std::string& name, const Value& v, int line);
  void assign_element(const Value& data, const Value& key, const Value& v, int line);
  void assign_field(const Tuple& tuple, const std::string& field, const Value& v, int line);
  void add_to_set(const Value& set, const Value& element, int line);
  // Brings the environment up to date with every change; called when a block ends.
  void finish();
  lpsparse::Value to_env(const Value& v);
  Value from_env(const lpsparse::Value& v);

 private:
  std::string type_of(const std::string& name);
  std::size_t arity_of(const std::string& name);
  std::string value_type(const std::string& name);
  const lpsparse::Table& table(const std::string& name, int line);
  Ref python_value(const Value& v, const std::string& type, const std::string& owner, int line);
  Ref owned_entry(const std::string& name, int line);
  void fill_undefined(const std::string& name, int line);
  Ref default_values(Handle dims, std::size_t level, const std::string& name, int line);
  Value solution_value(const std::string& name, const std::vector<Value>& key, int line);
  void refresh();

  lpsparse::Model& env_;
  Handle env_root_;
  Ref& data_;
  Handle declarations_;
  Ref solution_, objective_;
  std::unordered_map<std::string, bool> owned_;  // entries of the data dictionary copied before a change
  bool stale_ = false;                           // a change the environment has not taken
};

// ---- running a block (script_interp.cpp) ----

struct RunResult {
  std::string log;
  Settings settings;
};

// Which statements of a block run now: all (an execute block), those before the solve (the
// part of a main block run with the model), or those from the solve on (after it).
enum class Part : std::uint8_t { All, BeforeSolve, FromSolve };

// Runs `program`, appending what it writes to `result.log` and its settings to
// `result.settings`. Errors are ModelErrors naming the block and line; the step budget bounds
// statements executed and loop tests.
void run(const Program& program, Part part, ScriptData& data, std::size_t step_limit, RunResult& result);

// The index of the top-level statement of a main block that solves: cplex.solve() as a
// statement, in `var s = cplex.solve();` or as the condition of an if. -1 when there is none.
// A solve anywhere else, and other flow control, is a ModelError naming the statement.
int solve_statement(const Program& program);

// Whether a block reads the solution: decision variables (`dvars`), solution values, objective.
bool reads_solution(const Program& program, const std::vector<std::string>& dvars);
// Whether a block assigns a declared name (one of `declared`) or adds to a declared set.
bool writes_data(const Program& program, const std::vector<std::string>& declared);

// ---- blocks of a model (script_run.cpp) ----

// The script blocks of one instantiation, in file order: runs what runs with the model, keeps
// what runs after the solve, and adds to the model tree (only when the model has a block):
// "post_blocks" (the script_block nodes to run after the solve, in file order; a main block
// runs there from its solve on), "script_log" (str: what the blocks run so far wrote),
// "settings" ({"time_limit", "mip_gap", "mip_gap_abs", "threads"}: those assigned) and
// "ignored_settings" (names of other cplex parameters assigned).
class BlockRunner {
 public:
  explicit BlockRunner(PyObject* module) : module_(module), post_(new_list()) {}
  void take(Handle block, lpsparse::Model& env, Handle env_root, Ref& data, Handle declarations);
  void add_keys(Handle root) const;

 private:
  void take_block(Handle block, lpsparse::Model& env, Handle env_root, Ref& data, Handle declarations);
  PyObject* module_;
  bool seen_ = false;
  RunResult result_;
  Ref post_;
};

// Runs a post block (a node of "post_blocks") with the solution bound: `tree` and `data` are the
// instantiated model, `solution` maps variable names ("x[1,a]") to values. Returns {"log",
// "settings", "ignored_settings", "data"} (data: a copy with the block's changes).
Ref run_after_solve(PyObject* module, Handle block, Handle tree, Handle data, Handle solution, Handle objective);

// `message` with the repair hint for a script error added (unless it has one): how to stay in the
// subset, how to mend the syntax, or how a script may change the data.
std::string with_script_hint(const std::string& message);

// ---- builtins (script_builtins.cpp) ----

// Math.f(args) and Opl.f(args); nothing when `object` has no function `f`.
std::optional<Value> call_builtin(const std::string& object, const std::string& f, const std::vector<Value>& args,
                                  ScriptData& data, int line);

inline constexpr long long kDefaultStepLimit = 100000000;

}  // namespace oplparse::script
