// Compiling the model tree: every name is resolved once to an iterator slot, a parameter
// table, a variable family or a constant, so instantiation never looks at the tree again.
#include <algorithm>

#include "model.hpp"

namespace lpsparse {

namespace {

Key kType{"type"};
Key kValue{"value"};
Key kName{"name"};
Key kOp{"op"};
Key kLeft{"left"};
Key kRight{"right"};
Key kArgs{"args"};
Key kExpression{"expression"};
Key kIterators{"iterators"};
Key kIterator{"iterator"};
Key kRange{"range"};
Key kIndexConstraint{"index_constraint"};
Key kDimensions{"dimensions"};
Key kElements{"elements"};
Key kBase{"base"};
Key kField{"field"};
Key kCondition{"condition"};
Key kArgument{"argument"};
Key kThen{"then"};
Key kElse{"else"};
Key kStart{"start"};
Key kEnd{"end"};
Key kConstraint{"constraint"};
Key kConstraints{"constraints"};
Key kLabel{"label"};
Key kLabelTemplate{"label_template"};
Key kLineno{"lineno"};
Key kAntecedent{"antecedent"};
Key kConsequent{"consequent"};

std::string type_text(Handle node) {
  if (!is_dict(node)) throw ModelError{"Expected a model tree node, got " + repr_text(node)};
  Ref type = get(node, kType);
  return is_str(type) ? std::string(utf8(type)) : text(type);
}

std::optional<Cmp> comparison_op(std::string_view op) {
  if (op == "==") return Cmp::Eq;
  if (op == "!=") return Cmp::Ne;
  if (op == "<=") return Cmp::Le;
  if (op == ">=") return Cmp::Ge;
  if (op == "<") return Cmp::Lt;
  if (op == ">") return Cmp::Gt;
  return std::nullopt;
}

Ref unwrap(Handle node) {
  Ref n = Ref::borrow(node);
  while (is_dict(n) && type_text(n) == "parenthesized_expression") n = item(n, kExpression);
  return n;
}

}  // namespace

int Model::constant(Value v) {
  Expr x;
  x.op = Op::Const;
  x.value = v;
  exprs.push_back(std::move(x));
  return static_cast<int>(exprs.size()) - 1;
}

namespace {

int push(Model& m, Expr x) {
  for (int child : {x.a, x.b, x.c}) {
    if (child >= 0 && m.exprs[child].has_var) x.has_var = true;
  }
  for (int child : x.args) {
    if (m.exprs[child].has_var) x.has_var = true;
  }
  m.exprs.push_back(std::move(x));
  return static_cast<int>(m.exprs.size()) - 1;
}

Expr node(Op op, int a = -1, int b = -1, int c = -1) {
  Expr x;
  x.op = op;
  x.a = a;
  x.b = b;
  x.c = c;
  return x;
}

}  // namespace

// ---- functions of data ----

static bool is_set_function(std::string_view name) {
  for (std::string_view f : {"card", "ord", "first", "last", "next", "prev", "nextc", "prevc", "item", "in"}) {
    if (name == f) return true;
  }
  return false;
}

// card(S), ord(S, e), next(S, e), item(S, k), ...: the set is resolved once, the other argument
// is evaluated with the data.
static int compile_set_function(Model& m, Handle n) {
  std::string name = text(item(n, kName));
  Ref args = item(n, kArgs);
  bool unary = name == "card" || name == "first" || name == "last";
  if (len(args) != (unary ? 1 : 2)) {
    m.compile_error("Unsupported call of '" + name + "': it takes " + (unary ? "a set" : "a set and a value"));
  }
  Ref set = unwrap(item(args, 0));
  std::string set_type = type_text(set);
  std::optional<Domain> domain;
  if (set_type == "name") domain = m.domain_named(text(item(set, kValue)), m.compile_line);
  if (!domain) m.compile_error("Unsupported first argument of '" + name + "': name a declared set or range");
  Expr x;
  x.op = Op::SetFn;
  x.text = name;
  x.ref = static_cast<int>(m.set_args.size());
  m.set_args.push_back(*domain);
  if (!unary) x.args.push_back(m.compile_expr(item(args, 1)));
  return push(m, std::move(x));
}

static void compile_function(Model& m, const std::string& name, Expr& x) {
  static const std::pair<const char*, double (*)(double)> unary[] = {
      {"abs", [](double v) { return std::fabs(v); }},   {"floor", [](double v) { return std::floor(v); }},
      {"ceil", [](double v) { return std::ceil(v); }},  {"round", [](double v) { return std::round(v); }},
      {"exp", [](double v) { return std::exp(v); }},    {"log", [](double v) { return std::log(v); }},
      {"trunc", [](double v) { return std::trunc(v); }}, {"sgn", [](double v) { return double((v > 0) - (v < 0)); }},
      {"frac", [](double v) { return v - std::trunc(v); }},
  };
  if (name == "sqrt" && x.args.size() == 1) {
    x.op = Op::Sqrt;
    return;
  }
  if (name == "pow" && x.args.size() == 2) {
    x.op = Op::Pow;
    x.a = x.args[0];
    x.b = x.args[1];
    return;
  }
  for (auto [function, math] : unary) {
    if (name == function && x.args.size() == 1) {
      x.op = Op::Math;
      x.text = name;
      x.math = math;
      return;
    }
  }
  m.compile_error("Unsupported function call '" + name + "' in expression.");
}

// A name: an iterator in scope, a scalar variable, a scalar parameter or data item.
static int compile_name(Model& m, const std::string& name) {
  for (auto it = m.scope.rbegin(); it != m.scope.rend(); ++it) {
    if (it->first == name) {
      Expr x = node(Op::Slot);
      x.ref = it->second;
      return push(m, std::move(x));
    }
  }
  if (auto f = m.family_ids.find(name); f != m.family_ids.end()) {
    if (!m.families[f->second].dims.empty()) {
      m.compile_error("Variable '" + name + "' is indexed: write it with its subscripts, as in " + name + "[...]");
    }
    Expr x = node(Op::Var);
    x.ref = f->second;
    x.has_var = true;
    return push(m, std::move(x));
  }
  if (auto v = m.scalar_named(name, m.compile_line)) return m.constant(*v);
  m.compile_error("Unknown name '" + name + "'");
}

// Subscripts written as one tuple address one dimension per element, and several subscripts of
// a one-dimensional thing over a set of tuples form one tuple.
static std::vector<int> fit_subscripts(Model& m, std::vector<int> subs, const std::vector<Domain>& dims,
                                       const std::string& name) {
  if (dims.empty()) return subs;
  if (subs.size() == 1 && dims.size() > 1 && m.exprs[subs[0]].op == Op::TupleLit) subs = m.exprs[subs[0]].args;
  if (subs.size() > 1 && dims.size() == 1) {
    Expr x = node(Op::TupleLit);
    x.args = subs;
    subs = {push(m, std::move(x))};
  }
  if (subs.size() != dims.size()) {
    m.compile_error("'" + name + "' has " + std::to_string(dims.size()) + " dimension(s) but is subscripted with " +
                    std::to_string(subs.size()));
  }
  if (subs.size() > 16) m.compile_error("'" + name + "' has more than 16 dimensions");
  return subs;
}

static int compile_indexed(Model& m, Handle n) {
  std::string name = text(item(n, kName));
  std::vector<int> subs;
  for (Ref& dim : Iterate(item(n, kDimensions))) subs.push_back(m.compile_index(dim));
  Expr x;
  if (auto f = m.family_ids.find(name); f != m.family_ids.end()) {
    x.op = Op::Var;
    x.ref = f->second;
    x.has_var = true;
    x.args = fit_subscripts(m, std::move(subs), m.families[f->second].dims, name);
    if (m.families[f->second].dims.empty()) m.compile_error("Variable '" + name + "' is not indexed");
  } else if (const Table* t = m.table_named(name)) {
    x.op = Op::Param;
    x.text = name;
    x.table = t;
    x.args = fit_subscripts(m, std::move(subs), t->dims, name);
  } else if (const Table* r = m.records_named(name)) {
    x.op = Op::Record;
    x.text = name;
    x.table = r;
    x.args = fit_subscripts(m, std::move(subs), r->dims, name);
  } else if (m.scalar_named(name, m.compile_line)) {
    m.compile_error("Parameter '" + name + "' is not indexed");
  } else {
    m.compile_error("Unknown name '" + name + "'");
  }
  return push(m, std::move(x));
}

// A field is resolved to its position in every tuple type here, so that reading it is an index.
static int compile_field(Model& m, Handle n) {
  Expr x = node(Op::Field, m.compile_expr(item(n, kBase)));
  x.text = text(item(n, kField));
  for (std::size_t type = 0; type < m.tuple_types.size(); ++type) {
    x.field_at.push_back(m.field_position(static_cast<int>(type), x.text));
  }
  return push(m, std::move(x));
}

int Model::compile_index(Handle n) {
  if (!is_dict(n)) return constant(to_value(n));
  std::string type = type_text(n);
  if (type == "name_reference_index") return compile_name(*this, text(item(n, kName)));
  if (type == "number_literal_index") return constant(to_value(item(n, kValue)));
  if (type == "field_access_index") return compile_field(*this, n);
  return compile_expr(n);
}

int Model::compile_loop(Handle iterators, Handle filter) {
  Loop loop;
  for (Ref& entry : Iterate(iterators)) {
    Iter it;
    Ref range = item(entry, kRange);
    std::string type = type_text(range);
    if (type == "range_specifier") {
      it.start = compile_expr(item(range, kStart));
      it.end = compile_expr(item(range, kEnd));
      if ((exprs[it.start].has_var || exprs[it.end].has_var) && !solution) compile_error("Unsupported range over decision variables");
    } else if (type == "named_range" || type == "named_set" || type == "named_set_dimension") {
      std::string name = text(item(range, kName));
      it.fixed = domain_named(name, compile_line);
      if (!it.fixed) compile_error("Unknown range or set '" + name + "'");
    } else {
      compile_error("Unsupported range type '" + type + "' of an iterator");
    }
    it.slot = slot_count++;
    scope.emplace_back(text(item(entry, kIterator)), it.slot);
    slot_names.push_back(scope.back().first);
    loop.iters.push_back(std::move(it));
  }
  for (Iter& it : loop.iters) {
    it.own_bounds = !it.fixed && (reads_iterator_of(it.start, loop) || reads_iterator_of(it.end, loop));
  }
  if (!is_none(filter)) {
    loop.filter = compile_expr(filter);
    if (exprs[loop.filter].has_var && !solution) compile_error("Unsupported filter over decision variables");
  }
  plan_filter(loop);
  loops.push_back(std::move(loop));
  return static_cast<int>(loops.size()) - 1;
}

bool Model::reads_iterator_of(int e, const Loop& loop) const {
  const Expr& x = exprs[e];
  if (x.op == Op::Slot) {
    return std::any_of(loop.iters.begin(), loop.iters.end(), [&](const Iter& it) { return it.slot == x.ref; });
  }
  for (int child : {x.a, x.b, x.c}) {
    if (child >= 0 && reads_iterator_of(child, loop)) return true;
  }
  for (int child : x.args) {
    if (reads_iterator_of(child, loop)) return true;
  }
  if (x.op != Op::Sum) return false;
  const Loop& inner = loops[x.loop];
  for (const Iter& it : inner.iters) {
    if (!it.fixed && (reads_iterator_of(it.start, loop) || reads_iterator_of(it.end, loop))) return true;
  }
  return inner.filter >= 0 && reads_iterator_of(inner.filter, loop);
}

void Model::close_loop(int loop) {
  scope.resize(scope.size() - loops[loop].iters.size());
}

int Model::compile_expr(Handle n) {
  RecursionGuard guard(" while compiling an expression");
  std::string type = type_text(n);
  if (type == "number" || type == "boolean_literal" || type == "string_literal") {
    return constant(to_value(get(n, kValue, py_int(0))));
  }
  if (type == "name") return compile_name(*this, text(item(n, kValue)));
  if (type == "indexed_name") return compile_indexed(*this, n);
  if (type == "parenthesized_expression") return compile_expr(item(n, kExpression));
  if (type == "name_reference_index" || type == "number_literal_index" || type == "field_access_index") {
    return compile_index(n);
  }
  if (type == "binop" || type == "constraint") {
    std::string op = text(item(n, kOp));
    int left = compile_expr(item(n, kLeft));
    int right = compile_expr(item(n, kRight));
    static const std::pair<const char*, Op> arithmetic[] = {{"+", Op::Add},   {"-", Op::Sub}, {"*", Op::Mul},
                                                            {"/", Op::Div},   {"%", Op::Mod}, {"mod", Op::Mod},
                                                            {"div", Op::IntDiv}};
    for (auto [text_op, code] : arithmetic) {
      if (op == text_op) return push(*this, node(code, left, right));
    }
    if (auto cmp = comparison_op(op)) {
      Expr x = node(Op::Cmp, left, right);
      x.cmp = *cmp;
      return push(*this, std::move(x));
    }
    if (op == "&&" || op == "and") return push(*this, node(Op::And, left, right));
    if (op == "||" || op == "or") return push(*this, node(Op::Or, left, right));
    compile_error("Unsupported operator '" + op + "'");
  }
  if (type == "uminus") return push(*this, node(Op::Neg, compile_expr(item(n, kValue))));
  if (type == "not") return push(*this, node(Op::Not, compile_expr(item(n, kValue))));
  if (type == "equivalent") {
    int left = compile_expr(item(n, kLeft));
    return push(*this, node(Op::Equiv, left, compile_expr(item(n, kRight))));
  }
  if (type == "piecewise") return compile_piecewise(n);
  if (type == "and" || type == "or") {
    int left = compile_expr(item(n, kLeft));
    return push(*this, node(type == "and" ? Op::And : Op::Or, left, compile_expr(item(n, kRight))));
  }
  if (type == "conditional") {
    int condition = compile_expr(item(n, kCondition));
    int then = compile_expr(item(n, kThen));
    return push(*this, node(Op::Cond, condition, then, compile_expr(item(n, kElse))));
  }
  if (type == "funcall" && is_set_function(text(item(n, kName)))) return compile_set_function(*this, n);
  if (type == "funcall" || type == "minl" || type == "maxl") {
    Expr x;
    Ref empty = new_list();
    for (Ref& arg : Iterate(get(n, kArgs, empty))) x.args.push_back(compile_expr(arg));
    if (type == "minl" || type == "maxl") {
      if (x.args.empty()) compile_error(std::string("Unsupported ") + (type == "minl" ? "min" : "max") + "() without arguments");
      x.op = type == "minl" ? Op::Min : Op::Max;
    } else {
      compile_function(*this, text(item(n, kName)), x);
    }
    return push(*this, std::move(x));
  }
  if (type == "sum" || type == "prod" || type == "min_agg" || type == "max_agg") {
    Ref no_filter = none();
    int loop = compile_loop(item(n, kIterators), get(n, kIndexConstraint, no_filter));
    int body = compile_expr(item(n, kExpression));
    close_loop(loop);
    Op op = type == "sum" ? Op::Sum : type == "prod" ? Op::Prod : type == "min_agg" ? Op::Min : Op::Max;
    Expr x = node(op, body);
    x.loop = loop;
    if (op == Op::Prod && exprs[body].has_var && !solution) compile_error("Unsupported " + type + " over decision variables");
    return push(*this, std::move(x));
  }
  if (type == "field_access") return compile_field(*this, n);
  if (type == "tuple_literal") {
    Expr x = node(Op::TupleLit);
    Ref empty = new_list();
    for (Ref& element : Iterate(get(n, kElements, empty))) x.args.push_back(compile_index(element));
    return push(*this, std::move(x));
  }
  compile_error("Unsupported expression type '" + type + "'");
}

// ---- constraints ----

bool Model::is_boolean_var(int e) const {
  return exprs[e].op == Op::Var && families[exprs[e].ref].binary;
}

// How many decision-variable references a side makes, counting anything that may expand to
// several columns (sums, reifications, conditionals) as two.
int Model::var_reference_count(int e) const {
  const Expr& x = exprs[e];
  if (!x.has_var) return 0;
  switch (x.op) {
    case Op::Var:
      return 1;
    case Op::Neg:
      return var_reference_count(x.a);
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Div:
      return var_reference_count(x.a) + var_reference_count(x.b);
    default:
      return 2;
  }
}

namespace {

// A side `(comparison) == true` stands for the comparison itself.
std::optional<std::tuple<Ref, Ref, Ref>> folded_truth(Handle left, Handle right) {
  Ref l = unwrap(left), r = unwrap(right);
  for (auto [literal, cmp] : {std::pair{r.get(), l.get()}, std::pair{l.get(), r.get()}}) {
    if (!is_dict(literal) || !is_dict(cmp) || type_text(literal) != "boolean_literal") continue;
    if (get(literal, kValue).get() != Py_True) continue;
    std::string type = type_text(cmp);
    if (type != "binop" && type != "constraint") continue;
    Ref op = get(cmp, kOp);
    if (!is_str(op) || !comparison_op(utf8(op)) || utf8(op) == "!=") continue;
    return std::tuple{std::move(op), item(cmp, kLeft), item(cmp, kRight)};
  }
  return std::nullopt;
}

}  // namespace

// A piecewise-linear function of an expression: its numbers, as instantiation computed them,
// checked here because trees also come from callers.
int Model::compile_piecewise(Handle n) {
  auto numbers = [&](const char* key) {
    std::vector<double> out;
    Ref list = get(n, py_str(key));
    if (!is_list(list)) compile_error(std::string("A piecewise-linear function needs a list of numbers under '") + key + "'");
    for (Ref& v : Iterate(list)) {
      if (!is_int(v) && !PyFloat_Check(v.get())) compile_error(std::string("A piecewise-linear function has a value under '") + key + "' that is not a number");
      out.push_back(as_double(v));
      if (!std::isfinite(out.back())) compile_error("A piecewise-linear function has a value that is not finite");
    }
    return out;
  };
  linearcore::Piecewise f;
  f.slopes = numbers("slopes");
  f.breakpoints = numbers("breakpoints");
  std::vector<double> anchor = numbers("anchor");
  if (f.slopes.size() != f.breakpoints.size() + 1 || anchor.size() != 2 ||
      !std::is_sorted(f.breakpoints.begin(), f.breakpoints.end(), std::less_equal<>())) {
    compile_error("A piecewise-linear function needs one slope more than breakpoints, breakpoints that increase "
                  "strictly, and an anchor of two numbers");
  }
  f.anchor_x = anchor[0];
  f.anchor_y = anchor[1];
  piecewise_functions.push_back(std::move(f));
  Expr x = node(Op::Piecewise, compile_expr(item(n, kArgument)));
  x.ref = static_cast<int>(piecewise_functions.size()) - 1;
  return push(*this, std::move(x));
}

int Model::compile_constraint(Handle n) {
  RecursionGuard guard(" while compiling a constraint");
  std::string type = type_text(n);
  Ref line = get(n, kLineno);
  long previous_line = compile_line;
  if (is_int(line)) compile_line = PyLong_AsLong(line.get());
  Constraint k;
  k.lineno = compile_line;
  if (Ref label = get(n, kLabel); is_str(label)) k.label = utf8(label);
  if (Ref tmpl = get(n, kLabelTemplate); is_dict(tmpl)) {
    Ref default_name = py_str("ct");
    k.label = text(get(tmpl, kName, default_name));
    Ref empty = new_list();
    for (Ref& name : Iterate(get(tmpl, kIterators, empty))) {
      std::string iterator = text(name);
      for (auto it = scope.rbegin(); it != scope.rend(); ++it) {
        if (it->first == iterator) {
          k.label_slots.push_back(it->second);
          break;
        }
      }
    }
  }
  if (type == "forall_constraint") {
    Ref no_filter = none();
    k.kind = CKind::Forall;
    k.loop = compile_loop(item(n, kIterators), get(n, kIndexConstraint, no_filter));
    if (Ref one = get(n, kConstraint); !is_none(one)) k.body.push_back(compile_constraint(one));
    if (Ref many = get(n, kConstraints); !is_none(many)) {
      for (Ref& child : Iterate(many)) k.body.push_back(compile_constraint(child));
    }
    close_loop(k.loop);
    k.all_candidates = !k.body.empty();
    for (int child : k.body) {
      const Constraint& c = constraints[child];
      bool candidate = c.kind == CKind::Forall ? c.any_candidate : c.bound_candidate;
      bool all = c.kind == CKind::Forall ? c.all_candidates : c.bound_candidate;
      k.any_candidate = k.any_candidate || candidate;
      k.all_candidates = k.all_candidates && all;
    }
  } else if (type == "constraint") {
    Ref op = item(n, kOp), left = item(n, kLeft), right = item(n, kRight);
    if (eq(op, py_str("=="))) {
      if (auto folded = folded_truth(left, right)) std::tie(op, left, right) = std::move(*folded);
    }
    auto cmp = is_str(op) ? comparison_op(utf8(op)) : std::nullopt;
    if (!cmp) compile_error("Unsupported constraint operator '" + text(op) + "'");
    k.kind = *cmp == Cmp::Ne ? CKind::NotEqual : CKind::Compare;
    k.cmp = *cmp;
    k.left = compile_expr(left);
    k.right = compile_expr(right);
    k.bound_candidate = k.kind == CKind::Compare && var_reference_count(k.left) + var_reference_count(k.right) == 1;
  } else if (type == "implication_constraint") {
    k.kind = CKind::Implication;
    k.implication = compile_implication(n);
  } else if (type == "logical_constraint") {
    k.kind = CKind::Logical;
    k.left = compile_expr(item(n, kCondition));
  } else {
    compile_error("Unsupported constraint type '" + type + "'");
  }
  constraints.push_back(std::move(k));
  compile_line = previous_line;
  return static_cast<int>(constraints.size()) - 1;
}

namespace {

// One side of an implication as a boolean expression. `(comparison) == true` stands for the
// comparison; compared with anything else, a comparison is a number, its truth.
int compile_side(Model& m, Handle side) {
  Ref n = unwrap(side);
  if (is_dict(n) && type_text(n) == "constraint" && eq(get(n, kOp), py_str("=="))) {
    if (auto folded = folded_truth(item(n, kLeft), item(n, kRight))) {
      auto& [op, left, right] = *folded;
      Expr x;
      x.op = Op::Cmp;
      x.cmp = *comparison_op(utf8(op));
      x.a = m.compile_expr(left);
      x.b = m.compile_expr(right);
      return push(m, std::move(x));
    }
  }
  int e = m.compile_expr(n);
  const Expr& x = m.exprs[e];
  bool boolean = x.op == Op::Cmp || x.op == Op::And || x.op == Op::Or || x.op == Op::Not || x.op == Op::Const ||
                 m.is_boolean_var(e);
  if (!boolean) m.compile_error("Implication constraints must be between constraints or binops.");
  return e;
}

bool is_logical(Op op) {
  return op == Op::And || op == Op::Or || op == Op::Not;
}

// Sides the indicator and big-M paths cannot take go through the logical path: and/or/not,
// literals, bare boolean variables, not-equal, and comparisons of logical combinations.
bool is_composite(const Model& m, int e) {
  const Expr& x = m.exprs[e];
  if (x.op != Op::Cmp) return true;
  return x.cmp == Cmp::Ne || is_logical(m.exprs[x.a].op) || is_logical(m.exprs[x.b].op);
}

std::optional<double> constant_number(const Model& m, int e) {
  const Expr& x = m.exprs[e];
  if (x.op != Op::Const || !x.value.is_num()) return std::nullopt;
  return x.value.num;
}

}  // namespace

int Model::compile_implication(Handle n) {
  int ante = compile_side(*this, item(n, kAntecedent));
  int cons = compile_side(*this, item(n, kConsequent));
  Implication plan;
  plan.ante_left = ante;
  plan.cons_left = cons;
  if (is_composite(*this, ante) || is_composite(*this, cons)) {
    plan.path = Path::Logical;
  } else {
    const Expr &a = exprs[ante], &c = exprs[cons];
    plan.ante_left = a.a;
    plan.ante_right = a.b;
    plan.ante_op = a.cmp;
    plan.cons_left = c.a;
    plan.cons_right = c.b;
    plan.cons_op = c.cmp;
    auto a_number = constant_number(*this, a.b);
    auto c_number = constant_number(*this, c.b);
    if (c.cmp == Cmp::Eq && is_boolean_var(c.a) && c_number == 1.0 && (a.cmp == Cmp::Gt || a.cmp == Cmp::Ge) &&
        a_number) {
      plan.path = Path::Contrapositive;
      plan.binary = c.a;
    } else if (is_boolean_var(a.a) && a_number &&
               ((a.cmp == Cmp::Eq && (*a_number == 0.0 || *a_number == 1.0)) ||
                (a.cmp == Cmp::Ge && *a_number == 1.0) || (a.cmp == Cmp::Le && *a_number == 0.0))) {
      plan.path = Path::Direct;
      plan.binary = a.a;
      plan.indicator_value = a.cmp == Cmp::Eq ? static_cast<int>(*a_number) : a.cmp == Cmp::Ge ? 1 : 0;
    } else {
      plan.path = Path::General;
    }
  }
  implications.push_back(plan);
  return static_cast<int>(implications.size()) - 1;
}

}  // namespace lpsparse
