// The interpreter of script blocks: statements and expressions over the arena of nodes, with
// block variables in slots, declared data through ScriptData, and a step budget.
#include <cmath>
#include <functional>

#include "script.hpp"

namespace oplparse::script {
namespace {

enum class Flow { Normal, Break, Continue };

// Script arrays are small tables; one index beyond this would take gigabytes at once.
constexpr double kLongestArray = 1e7;

// Where an assignment stores its value.
struct Place {
  enum class K { Slot, Implicit, Scalar, Setting, Field, ArrayItem, DataItem };
  Place(K kind, int s, std::string n = {}, Value o = {}, Value k = {}, std::size_t i = 0)
      : k(kind), slot(s), name(std::move(n)), object(std::move(o)), key(std::move(k)), index(i) {}
  K k;
  int slot = -1;
  std::string name;  // Implicit, Scalar: the name; Setting, Field: the parameter or field
  Value object;      // Field: the tuple; ArrayItem: the array; DataItem: the data so far
  Value key;         // DataItem: the last subscript
  std::size_t index = 0;
};

class Interpreter {
 public:
  Interpreter(const Program& p, ScriptData& data, std::size_t limit, RunResult& out)
      : p_(p), data_(data), limit_(limit), out_(out), slots_(p.slot_names.size()) {}

  void run(Part part, int solve_at) {
    std::size_t from = part == Part::FromSolve ? static_cast<std::size_t>(solve_at) : 0;
    std::size_t to = part == Part::BeforeSolve && solve_at >= 0 ? static_cast<std::size_t>(solve_at) : p_.statements.size();
    for (std::size_t i = from; i < to; ++i) {
      if (exec(p_.statements[i]) != Flow::Normal) break;
    }
  }

 private:
  // ---- errors ----
  [[noreturn]] void fail(const std::string& what, int line) const {
    throw ModelError{"Statement '" + p_.quote(current_) + "' at line " + std::to_string(line) + " of " + p_.title() +
                         ": " + what,
                     line};
  }
  [[noreturn]] void unsupported(const std::string& what, int line) const {
    fail(what + " is not supported in script blocks", line);
  }
  void step(int line) {
    if (++steps_ <= limit_) return;
    throw ModelError{"The " + p_.title() + " was stopped at line " + std::to_string(line) + " after " +
                         std::to_string(limit_) + " steps (korvane.oplparse.SCRIPT_STEP_LIMIT): does a loop never end?",
                     line};
  }
  // Runs `f` with errors from the data and the builtins reworded to quote the statement.
  template <class F>
  auto quoted(int line, F f) -> decltype(f()) {
    try {
      return f();
    } catch (const ModelError& e) {
      if (e.message.rfind("Statement '", 0) == 0 || e.message.rfind("The ", 0) == 0) throw;
      fail(e.message, line);
    }
  }

  // ---- statements ----

  Flow exec(int s) {
    RecursionGuard guard(" while running a script block");
    const Node& n = p_.at(s);
    int saved = current_;
    if (n.kind != NodeKind::Block) current_ = s;
    step(n.line);
    Flow flow = quoted(n.line, [&] { return statement(n); });
    current_ = saved;
    return flow;
  }

  Flow statement(const Node& n) {
    switch (n.kind) {
      case NodeKind::Var:
        for (std::size_t i = 0; i < n.names.size(); ++i) {
          if (n.list[i] >= 0) slots_[static_cast<std::size_t>(n.slots[i])] = eval(n.list[i]);
        }
        return Flow::Normal;
      case NodeKind::ExprStmt:
        eval(n.a);
        return Flow::Normal;
      case NodeKind::If:
        if (truth(eval(n.a))) return exec(n.b);
        return n.c >= 0 ? exec(n.c) : Flow::Normal;
      case NodeKind::While:
        while (test(n, n.a)) {
          if (exec(n.b) == Flow::Break) break;
        }
        return Flow::Normal;
      case NodeKind::For:
        if (n.a >= 0) exec(n.a);
        while (n.b < 0 ? (step(n.line), true) : test(n, n.b)) {
          if (exec(n.d) == Flow::Break) break;
          if (n.c >= 0) eval(p_.at(n.c).a);
        }
        return Flow::Normal;
      case NodeKind::ForIn:
        return for_in(n);
      case NodeKind::Block:
        for (int child : n.list) {
          Flow f = exec(child);
          if (f != Flow::Normal) return f;
        }
        return Flow::Normal;
      case NodeKind::Break:
        return Flow::Break;
      case NodeKind::Continue:
        return Flow::Continue;
      default:
        return Flow::Normal;
    }
  }

  bool test(const Node& loop, int condition) {
    step(loop.line);
    return truth(eval(condition));
  }

  // for (var i in S): the elements of a declared set or range, or the indices of an array.
  Flow for_in(const Node& n) {
    Value over = eval(n.a);
    std::vector<Value> items;
    if (over.is(Value::K::Data)) {
      items = data_.elements(over, n.line);
    } else if (over.is(Value::K::Arr)) {
      for (std::size_t i = 0; i < over.arr->items.size(); ++i) items.push_back(Value::number(static_cast<double>(i)));
    } else {
      unsupported("iterating over " + to_text(over, &data_), n.line);
    }
    int slot = slot_named(n.text);
    Place target = slot >= 0 ? Place{Place::K::Slot, slot} : place_of_name(n.text, n.line);
    for (const Value& item : items) {
      step(n.line);
      store(target, item, n.line);
      if (exec(n.b) == Flow::Break) break;
    }
    return Flow::Normal;
  }

  int slot_named(const std::string& name) const {
    for (std::size_t i = 0; i < p_.slot_names.size(); ++i) {
      if (p_.slot_names[i] == name) return static_cast<int>(i);
    }
    return -1;
  }

  // ---- expressions ----

  Value eval(int e) {
    const Node& n = p_.at(e);
    switch (n.kind) {
      case NodeKind::Number:
        return Value::number(n.number);
      case NodeKind::String:
        return Value::string(n.text);
      case NodeKind::Bool:
        return Value::boolean(n.flag);
      case NodeKind::Null:
        return Value::null();
      case NodeKind::Undefined:
        return Value::undefined();
      case NodeKind::Ident:
        return name_value(n);
      default:
        return compound(n);
    }
  }

  // Nodes with operands: each level counts against the recursion limit.
  Value compound(const Node& n) {
    RecursionGuard guard(" while running a script block");
    switch (n.kind) {
      case NodeKind::Member:
        return member(eval(n.a), n);
      case NodeKind::Index:
        return index(eval(n.a), eval(n.b), n.line);
      case NodeKind::Call:
        return call(n);
      case NodeKind::New:
        return new_array(n);
      case NodeKind::ArrayLit: {
        Value v{Value::K::Arr};
        v.arr = std::make_shared<Array>();
        for (int a : n.list) v.arr->items.push_back(eval(a));
        return v;
      }
      case NodeKind::Unary:
        return unary(n);
      case NodeKind::Binary:
        return binary(n.op, eval(n.a), eval(n.b));
      case NodeKind::Logical: {
        Value left = eval(n.a);
        if (n.op == Op::And ? !truth(left) : truth(left)) return left;
        return eval(n.b);
      }
      case NodeKind::Conditional:
        return truth(eval(n.a)) ? eval(n.b) : eval(n.c);
      case NodeKind::Assign:
        return assign(n);
      case NodeKind::Update:
        return update(n);
      default:
        unsupported("this expression", n.line);
    }
  }

  Value name_value(const Node& n) {
    if (n.slot >= 0) return slots_[static_cast<std::size_t>(n.slot)];
    if (auto it = implicit_.find(n.text); it != implicit_.end()) return it->second;
    if (std::optional<Value> declared = data_.global(n.text, n.line)) return *declared;
    if (n.text == "Math" || n.text == "Opl" || n.text == "cplex" || n.text == "thisOplModel") return Value::builtin(n.text);
    if (n.text == "Infinity") return Value::number(HUGE_VAL);
    if (n.text == "NaN") return Value::number(std::nan(""));
    fail("'" + n.text + "' is not declared", n.line);
  }

  Value member(const Value& object, const Node& n) {
    const std::string& name = n.text;
    switch (object.k) {
      case Value::K::Builtin:
        return builtin_member(object, n);
      case Value::K::Arr:
        if (name == "length") return Value::number(static_cast<double>(object.arr->items.size()));
        break;
      case Value::K::Str:
        if (name == "length") return Value::number(static_cast<double>(object.str->size()));
        break;
      case Value::K::Tup:
        for (std::size_t i = 0; i < object.tup->fields.size(); ++i) {
          if (object.tup->fields[i] == name) return object.tup->items[i];
        }
        fail("the tuple " + to_text(object, &data_) + " has no field '" + name + "'", n.line);
      case Value::K::Data:
        if (name == "size" && data_.is_set(object)) {
          return Value::number(static_cast<double>(data_.elements(object, n.line).size()));
        }
        break;
      case Value::K::Num:
        if (name == "solutionValue") return object;  // a variable's value, read after the solve
        break;
      default:
        break;
    }
    unsupported("the property '" + name + "' of " + describe(object), n.line);
  }

  Value builtin_member(const Value& object, const Node& n) {
    const std::string& name = n.text;
    if (object.is_builtin("cplex")) {
      if (std::optional<double> v = out_.settings.read(name)) return Value::number(*v);
      unsupported("reading 'cplex." + name + "'", n.line);
    }
    if (object.is_builtin("thisOplModel")) {
      if (name == "modelDefinition" || name == "dataElements") return Value::builtin("thisOplModel." + name);
      if (std::optional<Value> declared = data_.global(name, n.line)) return *declared;
      unsupported("'thisOplModel." + name + "'", n.line);
    }
    if (object.is_builtin("Math") && (name == "PI" || name == "E")) return Value::number(name == "PI" ? M_PI : M_E);
    unsupported("'" + *object.str + "." + name + "'", n.line);
  }

  std::string describe(const Value& v) {
    switch (v.k) {
      case Value::K::Data:
        return "'" + *v.str + "'";
      case Value::K::Builtin:
        return *v.str;
      case Value::K::Str:
        return "a string";
      case Value::K::Arr:
        return "an array";
      default:
        return to_text(v, &data_);
    }
  }

  Value index(const Value& object, const Value& key, int line) {
    if (object.is(Value::K::Arr)) {
      double i = to_number(key);
      if (i >= 0 && i == std::floor(i) && i < static_cast<double>(object.arr->items.size())) {
        return object.arr->items[static_cast<std::size_t>(i)];
      }
      return Value::undefined();
    }
    if (object.is(Value::K::Data)) return data_.subscript(object, key, line);
    if (object.is(Value::K::Str)) {
      double i = to_number(key);
      if (i >= 0 && i == std::floor(i) && i < static_cast<double>(object.str->size())) {
        return Value::string(object.str->substr(static_cast<std::size_t>(i), 1));
      }
      return Value::undefined();
    }
    unsupported("subscripting " + describe(object), line);
  }

  Value call(const Node& n) {
    std::vector<Value> args;
    const Node& callee = p_.at(n.a);
    if (callee.kind == NodeKind::Ident) {  // writeln or write: the parser lets no other name through
      for (int a : n.list) out_.log += to_text(eval(a), &data_);
      if (callee.text == "writeln") out_.log += "\n";
      return Value::undefined();
    }
    Value object = eval(callee.a);
    for (int a : n.list) args.push_back(eval(a));
    const std::string& method = callee.text;
    if (object.is(Value::K::Builtin)) {
      if (std::optional<Value> r = call_builtin(*object.str, method, args, data_, n.line)) return *r;
      if (object.is_builtin("cplex") && method == "solve") return Value::boolean(data_.has_solution());
      if (object.is_builtin("cplex") && method == "getObjValue") {
        if (!data_.has_solution() || !is_number(data_.objective())) fail("there is no objective value: no solution", n.line);
        return Value::number(as_double(data_.objective()));
      }
      if (object.is_builtin("cplex") || object.is_builtin("thisOplModel")) return Value::undefined();  // generate, end
    }
    if (method == "add" && object.is(Value::K::Data)) {
      Value element = args.size() == 1 ? args[0] : tuple_of(args);
      data_.add_to_set(object, element, n.line);
      return Value::boolean(true);
    }
    unsupported("calling '" + method + "' on " + describe(object), n.line);
  }

  static Value tuple_of(const std::vector<Value>& fields) {
    Value v{Value::K::Tup};
    v.tup = std::make_shared<Tuple>();
    v.tup->items = fields;
    return v;
  }

  Value new_array(const Node& n) {
    Value v{Value::K::Arr};
    v.arr = std::make_shared<Array>();
    std::vector<Value> args;
    for (int a : n.list) args.push_back(eval(a));
    if (args.size() == 1 && args[0].is(Value::K::Num)) {
      double size = args[0].num;
      if (!(size >= 0 && size == std::floor(size))) fail("invalid array length " + number_text(size), n.line);
      if (size > kLongestArray) unsupported("an array of " + number_text(size) + " elements", n.line);
      v.arr->items.resize(static_cast<std::size_t>(size));
    } else {
      v.arr->items = std::move(args);
    }
    return v;
  }

  Value unary(const Node& n) {
    Value v = eval(n.a);
    if (n.op == Op::Not) return Value::boolean(!truth(v));
    double x = to_number(v);
    return Value::number(n.op == Op::Neg ? -x : x);
  }

  static Value binary(Op op, const Value& a, const Value& b) {
    switch (op) {
      case Op::Add:
        if (a.is(Value::K::Str) || b.is(Value::K::Str) || a.is(Value::K::Arr) || b.is(Value::K::Arr) ||
            a.is(Value::K::Tup) || b.is(Value::K::Tup)) {
          return Value::string(to_text(a, nullptr) + to_text(b, nullptr));
        }
        return Value::number(to_number(a) + to_number(b));
      case Op::Eq:
        return Value::boolean(same_value(a, b));
      case Op::Ne:
        return Value::boolean(!same_value(a, b));
      case Op::Lt:
      case Op::Gt:
      case Op::Le:
      case Op::Ge:
        return Value::boolean(compare(op, a, b));
      default:
        break;
    }
    double x = to_number(a), y = to_number(b);
    if (op == Op::Sub) return Value::number(x - y);
    if (op == Op::Mul) return Value::number(x * y);
    if (op == Op::Div) return Value::number(x / y);
    return Value::number(std::fmod(x, y));  // Mod
  }

  // Strings compare by their text, anything else as numbers (false when one is NaN).
  static bool compare(Op op, const Value& a, const Value& b) {
    if (a.is(Value::K::Str) && b.is(Value::K::Str)) {
      int c = a.str->compare(*b.str);
      return op == Op::Lt ? c < 0 : op == Op::Gt ? c > 0 : op == Op::Le ? c <= 0 : c >= 0;
    }
    double x = to_number(a), y = to_number(b);
    return op == Op::Lt ? x < y : op == Op::Gt ? x > y : op == Op::Le ? x <= y : x >= y;
  }

  // ---- assignment ----

  Place place_of_name(const std::string& name, int line) {
    if (implicit_.count(name)) return {Place::K::Implicit, -1, name};
    if (std::optional<Value> declared = data_.global(name, line)) {
      if (declared->is(Value::K::Data)) unsupported("assigning to the whole of '" + name + "'", line);
      return {Place::K::Scalar, -1, name};
    }
    if (name == "Math" || name == "Opl" || name == "cplex" || name == "thisOplModel") {
      unsupported("assigning to '" + name + "'", line);
    }
    return {Place::K::Implicit, -1, name};  // a variable made by assigning to it, as JavaScript does
  }

  Place place(int target) {
    const Node& n = p_.at(target);
    if (n.kind == NodeKind::Ident) return n.slot >= 0 ? Place{Place::K::Slot, n.slot} : place_of_name(n.text, n.line);
    Value object = eval(n.a);
    if (n.kind == NodeKind::Member) {
      if (object.is_builtin("cplex")) return {Place::K::Setting, -1, n.text};
      if (object.is(Value::K::Tup)) return {Place::K::Field, -1, n.text, object};
      unsupported("assigning to the property '" + n.text + "' of " + describe(object), n.line);
    }
    Value key = eval(n.b);
    if (object.is(Value::K::Arr)) {
      double i = to_number(key);
      if (!(i >= 0 && i == std::floor(i))) fail("invalid array index " + to_text(key, &data_), n.line);
      if (i >= kLongestArray) unsupported("an array of more than " + number_text(kLongestArray) + " elements", n.line);
      return {Place::K::ArrayItem, -1, "", object, {}, static_cast<std::size_t>(i)};
    }
    if (object.is(Value::K::Data)) return {Place::K::DataItem, -1, "", object, key};
    unsupported("assigning to an element of " + describe(object), n.line);
  }

  Value load(const Place& at, int line) {
    switch (at.k) {
      case Place::K::Slot:
        return slots_[static_cast<std::size_t>(at.slot)];
      case Place::K::Implicit: {
        auto it = implicit_.find(at.name);
        if (it == implicit_.end()) fail("'" + at.name + "' is not declared", line);
        return it->second;
      }
      case Place::K::Scalar:
        return *data_.global(at.name, line);
      case Place::K::Setting:
        if (std::optional<double> v = out_.settings.read(at.name)) return Value::number(*v);
        unsupported("reading 'cplex." + at.name + "'", line);
      case Place::K::Field:
        for (std::size_t i = 0; i < at.object.tup->fields.size(); ++i) {
          if (at.object.tup->fields[i] == at.name) return at.object.tup->items[i];
        }
        fail("the tuple has no field '" + at.name + "'", line);
      case Place::K::ArrayItem:
        return at.index < at.object.arr->items.size() ? at.object.arr->items[at.index] : Value::undefined();
      case Place::K::DataItem:
        return data_.subscript(at.object, at.key, line);
    }
    return {};
  }

  void store(const Place& at, const Value& v, int line) {
    switch (at.k) {
      case Place::K::Slot:
        slots_[static_cast<std::size_t>(at.slot)] = v;
        return;
      case Place::K::Implicit:
        implicit_[at.name] = v;
        return;
      case Place::K::Scalar:
        data_.assign_scalar(at.name, v, line);
        return;
      case Place::K::Setting:
        if (!v.is(Value::K::Num) && !v.is(Value::K::Bool)) {
          fail("the setting 'cplex." + at.name + "' takes a number, not " + describe(v), line);
        }
        out_.settings.assign(at.name, v.num);
        return;
      case Place::K::Field:
        data_.assign_field(*at.object.tup, at.name, v, line);
        return;
      case Place::K::ArrayItem:
        if (at.index >= at.object.arr->items.size()) at.object.arr->items.resize(at.index + 1);
        at.object.arr->items[at.index] = v;
        return;
      case Place::K::DataItem:
        data_.assign_element(at.object, at.key, v, line);
        return;
    }
  }

  Value assign(const Node& n) {
    Place at = place(n.a);
    Value v;
    if (n.op == Op::Set) {
      v = eval(n.b);
    } else {
      Value old = load(at, n.line);
      v = binary(n.op, old, eval(n.b));
    }
    store(at, v, n.line);
    return v;
  }

  Value update(const Node& n) {
    Place at = place(n.a);
    double old = to_number(load(at, n.line));
    double now = n.op == Op::Add ? old + 1 : old - 1;
    store(at, Value::number(now), n.line);
    return Value::number(n.flag ? now : old);
  }

  const Program& p_;
  ScriptData& data_;
  std::size_t limit_;
  std::size_t steps_ = 0;
  RunResult& out_;
  std::vector<Value> slots_;
  std::unordered_map<std::string, Value> implicit_;
  int current_ = 0;
};

}  // namespace

void run(const Program& program, Part part, ScriptData& data, std::size_t step_limit, RunResult& result) {
  int solve_at = program.kind == "main" ? solve_statement(program) : -1;
  if (part == Part::FromSolve && solve_at < 0) return;
  Interpreter(program, data, step_limit, result).run(part, solve_at);
  data.finish();
}

}  // namespace oplparse::script
