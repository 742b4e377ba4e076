// Expression translation: the dispatch by node type, operators, literals, names, conditionals,
// function calls, and the test whether an expression mentions a decision variable.
//
// Handlers return the Python text of their node, except number and boolean literals, which
// return their numeric value; whoever joins results into larger text writes them with str().
#include "counting.hpp"
#include "functions.hpp"

namespace mipwright {
namespace {

constexpr const char* kNotSupported = "' is not supported by the Gurobi code generator.";

Ref traverse_expression(const Call& c) {
  auto [self, node, iterators, symbolic] = c.bind(
      Params<4>{"GurobiCodeGenerator._traverse_expression", {"self", "expr_node", "current_iterators", "symbolic"}, 3});
  RecursionGuard guard(" while translating an expression");
  std::string type = text(item(node, K::type));
  // Dispatch by name, so a subclass adds or replaces node types by defining methods.
  Ref handler = getattr(self, method_name("_expr_" + type), Py_None);
  if (!truthy(handler)) raise(PyExc_NotImplementedError, "Expression type '" + type + kNotSupported);
  return call(handler, node, iterators, symbolic != nullptr ? symbolic : Py_False);
}

// ---- literals ----

Ref expr_number(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_number");
  return item(a.node, K::value);
}

Ref expr_boolean_literal(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_boolean_literal");
  return py_int(truthy(item(a.node, K::value)) ? 1 : 0);
}

Ref expr_string_literal(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_string_literal");
  return repr(get(a.node, K::value));
}

// ---- unary and logical operators: their operands are always translated outside symbolic mode ----

Ref wrap_operand(const Call& c, const char* function, Handle key, const char* open, const char* close) {
  ExprArgs a = bind_expr_args(c, function);
  return py_str(open + text(a.mode_off(item(a.node, key))) + close);
}

Ref expr_parenthesized_expression(const Call& c) {
  return wrap_operand(c, "GurobiCodeGenerator._expr_parenthesized_expression", K::expression, "(", ")");
}

Ref expr_uminus(const Call& c) {
  return wrap_operand(c, "GurobiCodeGenerator._expr_uminus", K::value, "-(", ")");
}


// Python's and/or/not would test the truth of solver expressions while the script runs, not
// the solver's values: over decision variables they have a meaning only as conditions.
void refuse_logic_over_variables(const ExprArgs& a) {
  if (truthy(a.symbolic) || !depends_on_decision_var(a.g, a.node)) return;
  a.g.semantic_error("Unsupported use of and/or/not over decision variables as a value: write the condition "
                     "as a constraint or an implication, or as comparisons counted with sum");
}

Ref expr_not(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_not");
  refuse_logic_over_variables(a);
  return py_str("not (" + text(a.mode_off(item(a.node, K::value))) + ")");
}

Ref connective(const Call& c, const char* function, const char* word) {
  ExprArgs a = bind_expr_args(c, function);
  refuse_logic_over_variables(a);
  std::string left = text(a.mode_off(item(a.node, K::left)));
  std::string right = text(a.mode_off(item(a.node, K::right)));
  return py_str("((" + left + ") " + word + " (" + right + "))");
}

Ref expr_and(const Call& c) {
  return connective(c, "GurobiCodeGenerator._expr_and", "and");
}

Ref expr_or(const Call& c) {
  return connective(c, "GurobiCodeGenerator._expr_or", "or");
}

// ---- binary operators ----

// A comparison, possibly inside parentheses; "!=" is not one, it has no 0/1 reification.
bool is_comparison_node(Handle n) {
  if (is_dict(n) && str_is(get(n, K::type), "parenthesized_expression")) {
    RecursionGuard guard(" while inspecting an expression");
    return is_comparison_node(get(n, K::expression));
  }
  return is_dict(n) && str_in(get(n, K::type), {"binop", "constraint"}) &&
         str_in(get(n, K::op), {">=", "<=", "==", ">", "<"});
}

bool is_boolean_variable(const Gen& g, Handle node) {
  if (!has_type(node, {"name", "indexed_name"})) return false;
  Ref decl = g.find_declaration(referenced_name(node));
  return is_decision_variable(decl) && str_is(get(decl, K::var_type), "boolean");
}

// A factor as (data coefficient, rest): `c * e` and `e * c` with c on the data only split, any
// other factor is its own rest.
std::pair<Ref, Ref> split_coefficient(const Gen& g, Handle factor) {
  Ref bare = without_parentheses(factor);
  if (has_type(bare, {"binop"}) && str_is(get(bare, K::op), "*")) {
    Ref left = item(bare, K::left), right = item(bare, K::right);
    if (!depends_on_decision_var(g, left)) return {std::move(left), std::move(right)};
    if (!depends_on_decision_var(g, right)) return {std::move(right), std::move(left)};
  }
  return {Ref(), Ref::borrow(factor)};
}

// b * e, with b a boolean decision variable (possibly with a data coefficient, as in 2 * b * x)
// and e over decision variables: the text of the exact linearisation, or an empty Ref.
Ref binary_product(const ExprArgs& a) {
  auto [left_coef, left] = split_coefficient(a.g, item(a.node, K::left));
  auto [right_coef, right] = split_coefficient(a.g, item(a.node, K::right));
  if (!depends_on_decision_var(a.g, left) || !depends_on_decision_var(a.g, right)) return {};
  bool binary_left = is_boolean_variable(a.g, left);
  if (!binary_left && !is_boolean_variable(a.g, right)) return {};
  std::string product = text(binary_left ? linearise_product(a, left, right) : linearise_product(a, right, left));
  for (const Ref* coef : {&left_coef, &right_coef}) {
    if (*coef) product = "(" + text(a.mode_off(*coef)) + " * " + product + ")";
  }
  return py_str(product);
}

Ref expr_binop(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_binop");
  Ref op = item(a.node, K::op);
  // A comparison over decision variables translated as a value (a side of another comparison, an
  // operand of a unary minus, the objective) is a number too: Python would compare the
  // expressions themselves.
  if (!truthy(a.symbolic) && str_in(op, {">=", "<=", "==", ">", "<", "!="}) &&
      depends_on_decision_var(a.g, a.node)) {
    return call_method(a.g.self(), K::reify_scoped_comparison, a.node, a.iterators);
  }
  if (!truthy(a.symbolic) && str_is(op, "*")) {
    if (Ref product = binary_product(a)) return product;
  }
  // A comparison used as a term of arithmetic stands for its truth value, 0 or 1.
  bool reify = !truthy(a.symbolic) && str_in(op, {"+", "-", "*", "/"});
  auto operand = [&](Handle key) {
    Ref child = item(a.node, key);
    if (reify && is_comparison_node(child)) {
      return text(call_method(a.g.self(), K::reify_scoped_comparison, child, a.iterators));
    }
    std::string operand_text = text(a.same_mode(child));
    // "not x" and "a if c else b" bind more loosely than any operator: as an operand each needs
    // parentheses of its own, or the script is invalid (x + not y) or means something else.
    if (has_type(child, {"not", "conditional"})) return "(" + operand_text + ")";
    return operand_text;
  };
  std::string left = operand(K::left);
  std::string right = operand(K::right);
  return py_str("(" + left + " " + text(op) + " " + right + ")");
}

// ---- conditionals and calls ----

Ref expr_conditional(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_conditional");
  // The script picks a branch when it runs; a condition that the solver decides cannot pick one.
  if (!truthy(a.symbolic) && depends_on_decision_var(a.g, item(a.node, K::condition))) {
    a.g.semantic_error("Unsupported conditional expression whose condition depends on decision variables: "
                       "write it with a binary variable and constraints (b == (condition)) instead");
  }
  Ref condition = a.same_mode(item(a.node, K::condition));
  Ref then_node = item(a.node, K::then);
  std::string then_text = text(a.same_mode(then_node));
  std::string else_text = text(a.same_mode(item(a.node, K::else_)));
  std::string cond = text(condition);
  // The condition gets its own parentheses below; one outer pair of the translation is redundant.
  if (is_str(condition) && one_parenthesised_whole(cond)) cond = cond.substr(1, cond.size() - 2);
  // A conditional in the "then" place would take this one's condition as its own.
  if (has_type(then_node, {"conditional"})) then_text = "(" + then_text + ")";
  return py_str(then_text + " if (" + cond + ") else " + else_text);
}

Ref aggregate(const Call& c, const char* function, const char* open) {
  ExprArgs a = bind_expr_args(c, function);
  if (over_decision_variables(a, get(a.node, K::args))) {
    return linearise_function(a, get(a.node, K::args), open[1] == 'a' ? "max" : "min");
  }
  Ref no_args = new_list();
  std::vector<std::string> parts;
  for (Ref& arg : Iterate(get(a.node, K::args, no_args))) parts.push_back(text(a.same_mode(arg)));
  return py_str(open + join_text(parts, ", ") + ")");
}

Ref expr_minl(const Call& c) {
  return aggregate(c, "GurobiCodeGenerator._expr_minl", "min(");
}

Ref expr_maxl(const Call& c) {
  return aggregate(c, "GurobiCodeGenerator._expr_maxl", "max(");
}

Ref expr_funcall(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_funcall");
  Ref name = get(a.node, K::name);
  Ref no_args = new_list();
  Ref args = get(a.node, K::args, no_args);
  if (str_is(name, "sqrt") && len(args) == 1) return py_str("math.sqrt(" + text(a.same_mode(item(args, 0))) + ")");
  if (str_is(name, "abs") && len(args) == 1 && over_decision_variables(a, args)) return linearise_function(a, args, "abs");
  raise(PyExc_NotImplementedError, "Unsupported function call '" + text(name) + "' in expression.");
}

// ---- names ----

// True when a declaration of one of `types` is named `name`.
bool declared_as(const Gen& g, Handle name, std::initializer_list<const char*> types) {
  Ref none_declared = new_list();
  for (Ref& decl : Iterate(get(g.attr(K::ast), K::declarations, none_declared))) {
    if (str_in(get(decl, K::type), types) && eq(get(decl, K::name), name)) return true;
  }
  return false;
}

Ref expr_name(const Call& c) {
  ExprArgs a = bind_expr_args(c, "GurobiCodeGenerator._expr_name");
  Ref name = item(a.node, K::value);
  // A loop variable shadows every model name it coincides with.
  if (contains(a.iterators, name)) return name;
  Ref var_map = a.g.attr(K::gurobi_var_map);
  if (contains(var_map, name)) return item(var_map, name);
  if (truthy(a.symbolic)) return name;
  if (contains(a.g.attr(K::data_dict), name)) return name;
  if (declared_as(a.g, name, {"parameter_inline"})) return name;
  if (declared_as(a.g, name,
                  {"parameter_external", "parameter_external_indexed", "parameter_external_explicit",
                   "parameter_external_explicit_indexed"})) {
    raise(PyExc_ValueError, "Parameter '" + text(name) +
                                "' is declared as external in the model but no value was provided in the data file.");
  }
  raise(PyExc_ValueError, "Undeclared variable or unhandled context: " + text(name));
}

// ---- decision-variable test ----

bool names_decision_var(const Gen& g, Handle name) {
  return is_decision_variable(g.find_declaration(name));
}

}  // namespace

bool depends_on_decision_var(const Gen& g, Handle node) {
  if (!is_dict(node)) return false;
  RecursionGuard guard(" while inspecting an expression");
  auto child = [&](Handle key) { return depends_on_decision_var(g, get(node, key)); };
  Ref type = get(node, K::type);
  if (str_is(type, "name")) return names_decision_var(g, get(node, K::value));
  if (str_is(type, "indexed_name")) return names_decision_var(g, get(node, K::name));
  if (str_is(type, "field_access")) return child(K::base);
  if (str_is(type, "parenthesized_expression")) return child(K::expression);
  if (str_in(type, {"binop", "constraint", "and", "or"})) return child(K::left) || child(K::right);
  if (str_in(type, {"not", "uminus"})) return child(K::value);
  if (str_is(type, "piecewise")) return child(K::argument);
  if (str_is(type, "conditional")) return child(K::condition) || child(K::then) || child(K::else_);
  if (str_in(type, {"sum", "min_agg", "max_agg"})) return child(K::expression) || child(K::index_constraint);
  if (str_in(type, {"funcall", "minl", "maxl"}) && is_list(get(node, K::args))) {
    for (Ref& arg : Iterate(get(node, K::args))) {
      if (depends_on_decision_var(g, arg)) return true;
    }
  }
  if (str_is(type, "tuple_literal")) {
    Ref no_elements = new_list();
    for (Ref& element : Iterate(get(node, K::elements, no_elements))) {
      if (depends_on_decision_var(g, element)) return true;
    }
  }
  return false;
}

namespace {

Ref expr_depends_on_decision_var(const Call& c) {
  auto [self, node] = c.bind(Params<2>{"GurobiCodeGenerator._expr_depends_on_decision_var", {"self", "node"}, 2});
  return py_bool(depends_on_decision_var(Gen(c.module, self), node));
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_expr_conditional", expr_conditional, nullptr),
    KV_FUNCTION("_traverse_expression", traverse_expression, "Return the Python text of an expression node."),
    KV_FUNCTION("_expr_funcall", expr_funcall, nullptr),
    KV_FUNCTION("_expr_minl", expr_minl, nullptr),
    KV_FUNCTION("_expr_maxl", expr_maxl, nullptr),
    KV_FUNCTION("_expr_number", expr_number, nullptr),
    KV_FUNCTION("_expr_name", expr_name, nullptr),
    KV_FUNCTION("_expr_binop", expr_binop, nullptr),
    KV_FUNCTION("_expr_uminus", expr_uminus, nullptr),
    KV_FUNCTION("_expr_not", expr_not, nullptr),
    KV_FUNCTION("_expr_and", expr_and, nullptr),
    KV_FUNCTION("_expr_or", expr_or, nullptr),
    KV_FUNCTION("_expr_boolean_literal", expr_boolean_literal, nullptr),
    KV_FUNCTION("_expr_string_literal", expr_string_literal, nullptr),
    KV_FUNCTION("_expr_parenthesized_expression", expr_parenthesized_expression, nullptr),
    KV_FUNCTION("_expr_depends_on_decision_var", expr_depends_on_decision_var,
                "Return True when the expression mentions a decision variable."),
};

}  // namespace

std::span<PyMethodDef> expression_methods{kMethods};

}  // namespace mipwright
