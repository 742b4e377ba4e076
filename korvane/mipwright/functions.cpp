// abs, maxl/minl and max/min over decision variables. Each is planned by the shared linearisation
// core over operand handles (the texts of the operands) and rendered here as script lines: new
// variables, rows, and gurobipy's own abs/max/min constraints where the value must be exact.
//
// How a value is used decides its encoding: the comparisons and the objective record, before
// translating, which abs/max/min nodes only need to be small (or large for min) where they stand
// (record_linear_uses); those become a variable above (below) every piece, without a general
// constraint. Auxiliaries are built at the line where the construct is met, keyed by the values
// of enclosing sum iterators when there are any, as comparisons used as numbers are.
#include <cmath>

#include "functions.hpp"
#include "integrality.hpp"
#include "korvane/linearcore/plan.hpp"
#include "loops.hpp"
#include "numbers.hpp"

namespace mipwright {

namespace lc = linearcore;

namespace {

// ---- uses ----

bool is_number_node(Handle node) {
  return has_type(node, {"number"});
}

int sign_of_number(Handle node) {
  return as_double(to_float(item(node, K::value))) < 0 ? -1 : 1;
}

bool is_function_node(Handle node, const char* name) {
  return has_type(node, {"funcall"}) && str_is(get(node, K::name), name);
}

class UseRecorder {
 public:
  explicit UseRecorder(const Gen& g) : g_(g) {}

  // `sign` > 0: node's value only needs to be small where it stands; < 0: only large.
  void walk(Handle node, int sign) {
    if (!is_dict(node)) return;
    RecursionGuard guard(" while reading how abs, max and min are used");
    Ref type = get(node, K::type);
    if (str_is(type, "parenthesized_expression") || str_is(type, "sum")) return walk(get(node, K::expression), sign);
    if (str_is(type, "uminus")) return walk(get(node, K::value), -sign);
    if (str_is(type, "binop")) return binop(node, sign);
    if (is_function_node(node, "abs") && sign > 0) return record(node, "upper");
    // A piecewise-linear function is relaxed where its shape allows (convex and small, concave
    // and large); the planner decides from its slopes.
    if (str_is(type, "piecewise") && sign != 0) return record(node, sign > 0 ? "upper" : "lower");
    bool maximum = str_in(type, {"maxl", "max_agg"});
    bool minimum = str_in(type, {"minl", "min_agg"});
    // max is relaxed where it must be small, min where it must be large; the pieces then stand
    // where the construct stood.
    if ((maximum && sign > 0) || (minimum && sign < 0)) {
      record(node, maximum ? "upper" : "lower");
      if (str_in(type, {"maxl", "minl"})) {
        Ref no_args = new_list();
        for (Ref& arg : Iterate(get(node, K::args, no_args))) walk(arg, sign);
      } else {
        walk(get(node, K::expression), sign);
      }
    }
  }

 private:
  void binop(Handle node, int sign) {
    Ref op = get(node, K::op);
    Ref left = get(node, K::left);
    Ref right = get(node, K::right);
    if (str_is(op, "+")) {
      walk(left, sign);
      walk(right, sign);
    } else if (str_is(op, "-")) {
      walk(left, sign);
      walk(right, -sign);
    } else if (str_is(op, "*")) {
      if (is_number_node(right)) walk(left, sign * sign_of_number(right));
      if (is_number_node(left)) walk(right, sign * sign_of_number(left));
    } else if (str_is(op, "/") && is_number_node(right)) {
      walk(left, sign * sign_of_number(right));
    }
  }

  void record(Handle node, const char* use) {
    if (!hasattr(g_.self(), K::linear_uses)) g_.set(K::linear_uses, new_dict());
    set_item(g_.attr(K::linear_uses), identity(node), py_str(use));
  }

  const Gen& g_;
};

lc::Use use_of(const Gen& g, Handle node) {
  if (!hasattr(g.self(), K::linear_uses)) return lc::Use::Exact;
  Ref use = get(g.attr(K::linear_uses), identity(node));
  if (str_is(use, "upper")) return lc::Use::Upper;
  if (str_is(use, "lower")) return lc::Use::Lower;
  return lc::Use::Exact;
}

// ---- operands ----

// The operands' intervals, from the bounds analysis; unknown sides are infinite.
class OperandBounds : public lc::BoundSource {
 public:
  lc::Interval bounds(lc::Var v) const override { return intervals[static_cast<std::size_t>(v)]; }
  bool is_variable(lc::Var v) const override { return variables[static_cast<std::size_t>(v)]; }
  std::vector<lc::Interval> intervals;
  std::vector<bool> variables;  // the operand is a decision variable as it is (x, x[i])
};

double side(Handle value, double unknown) {
  return is_none(value) ? unknown : as_double(to_float(value));
}

lc::Interval operand_interval(const Gen& g, Handle node) {
  std::optional<Ref> pair =
      catching(PyExc_Exception, [&] { return call_method(g.self(), K::linear_bounds_safe, node); });
  if (!pair || is_none(*pair)) return {};
  return {side(item(*pair, 0), -lc::kInf), side(item(*pair, 1), lc::kInf)};
}

// True when `t` can stand as a factor or operand as it is: a name with subscripts, or a whole
// parenthesised expression.
bool atomic(std::string_view t) {
  if (t.empty() || one_parenthesised_whole(t)) return !t.empty();
  int depth = 0;
  for (char ch : t) {
    if (ch == '[' || ch == '(')
      ++depth;
    else if (ch == ']' || ch == ')')
      --depth;
    else if (depth == 0 && !(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '.'))
      return false;
  }
  return true;
}

std::string operand_text(const Gen& g, Handle node, Handle iterators) {
  std::string t = text(g.traverse(node, iterators));
  return atomic(t) ? t : "(" + t + ")";
}

// ---- rendering a plan ----

std::string bound_text(double v) {
  if (std::isinf(v)) return v > 0 ? "GRB.INFINITY" : "-GRB.INFINITY";
  return float_text(v);
}

Ref next_aux_number(const Gen& g) {
  Ref zero = py_int(0);
  Ref one = py_int(1);
  Ref next = num_add(getattr(g.self(), K::linear_aux_counter, zero), one);
  g.set(K::linear_aux_counter, next);
  return next;
}

class Rendering {
 public:
  Rendering(const Gen& g, const lc::Plan& plan) : g_(g), plan_(plan) {
    for (const lc::Aux& a : plan.auxiliaries) names_.push_back("_" + a.prefix + "_" + text(next_aux_number(g)));
  }

  // Keyed auxiliaries live in dictionaries made before the loops that fill them.
  void declare_maps() const {
    for (const std::string& name : names_) g_.emit(name + " = {}");
  }

  // The plan's lines, with `operands` the texts of its operand handles and `key` ("" or "[...]")
  // the subscript of its auxiliaries.
  void emit(std::vector<std::string> operands, const std::string& key) {
    operands_ = std::move(operands);
    key_ = key;
    for (std::size_t i = 0; i < plan_.auxiliaries.size(); ++i)
      g_.emit(var(lc::aux_var(static_cast<int>(i))) + " = " + declaration(plan_.auxiliaries[i]));
    int number = 0;
    for (const lc::Step& step : plan_.steps) g_.emit(line(step, ++number));
  }

  std::string expression(const lc::LinExpr& e) const {
    std::vector<std::string> parts;
    for (const lc::Term& t : e.terms) {
      std::string v = var(t.var);
      if (t.coef == 1.0) {
        parts.push_back((parts.empty() ? "" : "+ ") + v);
      } else if (t.coef == -1.0) {
        parts.push_back((parts.empty() ? "-" : "- ") + v);
      } else {
        std::string magnitude = float_text(parts.empty() ? t.coef : std::fabs(t.coef)) + " * " + v;
        parts.push_back(parts.empty() ? magnitude : (t.coef < 0 ? "- " : "+ ") + magnitude);
      }
    }
    if (e.constant != 0.0 || parts.empty()) {
      std::string c = float_text(parts.empty() ? e.constant : std::fabs(e.constant));
      parts.push_back(parts.empty() ? c : (e.constant < 0 ? "- " : "+ ") + c);
    }
    if (parts.size() == 1 && atomic(parts[0])) return parts[0];
    return "(" + join_text(parts, " ") + ")";
  }

 private:
  std::string var(lc::Var v) const {
    if (lc::is_aux(v)) return names_[static_cast<std::size_t>(lc::aux_index(v))] + key_;
    return operands_[static_cast<std::size_t>(v)];
  }

  static std::string declaration(const lc::Aux& a) {
    if (a.kind == lc::Kind::Binary) return "model.addVar(vtype=GRB.BINARY)";
    std::string type = a.kind == lc::Kind::Integer ? ", vtype=GRB.INTEGER" : "";
    return "model.addVar(lb=" + bound_text(a.lo) + ", ub=" + bound_text(a.hi) + type + ")";
  }

  std::string relation(const lc::Row& row) const {
    lc::LinExpr left = row.expr;
    double rhs = row.rhs - left.constant;
    left.constant = 0.0;
    const char* sense = row.sense == lc::Sense::Le ? " <= " : row.sense == lc::Sense::Ge ? " >= " : " == ";
    return expression(left) + sense + float_text(rhs);
  }

  std::string name(int number) const {
    std::string base = names_.empty() ? std::string("_aux") : names_.front();
    return text(call_method(g_.self(), K::format_name_expr, py_str("aux"), py_str(base + "_" + std::to_string(number))));
  }

  static std::string number_list(const std::vector<double>& values) {
    std::vector<std::string> parts;
    for (double v : values) parts.push_back(float_text(v));
    return "[" + join_text(parts, ", ") + "]";
  }

  std::string line(const lc::Step& step, int number) const {
    std::string named = ", name=" + name(number) + ")";
    if (const auto* row = std::get_if<lc::Row>(&step)) return "model.addConstr(" + relation(*row) + named;
    if (const auto* ind = std::get_if<lc::Indicator>(&step)) {
      return "model.addGenConstrIndicator(" + var(ind->binary) + ", " + std::to_string(ind->value) + ", " +
             relation(ind->row) + named;
    }
    if (const auto* pwl = std::get_if<lc::PiecewiseConstraint>(&step)) {
      return "model.addGenConstrPWL(" + var(pwl->x) + ", " + var(pwl->y) + ", " + number_list(pwl->xs) + ", " +
             number_list(pwl->ys) + named;
    }
    const auto& general = std::get<lc::GeneralConstraint>(step);
    std::vector<std::string> args;
    for (lc::Var v : general.args) args.push_back(var(v));
    if (general.kind == lc::General::Abs)
      return "model.addGenConstrAbs(" + var(general.result) + ", " + args[0] + named;
    std::string call = general.kind == lc::General::Max ? "model.addGenConstrMax(" : "model.addGenConstrMin(";
    std::string constant = general.constant ? ", constant=" + float_text(*general.constant) : "";
    return call + var(general.result) + ", [" + join_text(args, ", ") + "]" + constant + named;
  }

  const Gen& g_;
  const lc::Plan& plan_;
  std::vector<std::string> names_;
  std::vector<std::string> operands_;
  std::string key_;
};

// Runs `body(key)` where the auxiliaries of one construct are built: here, or inside loops over
// the enclosing sum iterators, with `key` then the subscript by their values. Returns the key.
template <class Body>
std::string where_auxiliaries_live(const ExprArgs& a, Rendering* keyed, Body&& body) {
  const Gen& g = a.g;
  Ref scope = call_method(g.self(), K::active_scope_iterators, a.iterators, Py_None);
  Ref scope_vars = item(scope, 0);
  if (len(scope_vars) == 0) {
    body(std::string());
    return "";
  }
  if (keyed != nullptr) keyed->declare_maps();
  std::string key;
  in_script_loops(g, scope_vars, item(scope, 1), [&] {
    key = "[" + text(call_method(g.self(), K::format_scope_key_expr, scope_vars, a.iterators)) + "]";
    // Inside these loops only the scope's own iterators are looped over by nested translations.
    Ref no_ranges = new_dict();
    Ref saved_ranges = getattr(g.self(), K::active_iterator_ranges, no_ranges);
    with_attr_restored(g, K::active_iterator_ranges, saved_ranges, [&] {
      g.set(K::active_iterator_ranges, ranges_of(saved_ranges, scope_vars));
      body(key);
    });
  });
  return key;
}

}  // namespace

// The operands' numbers fold into the plan, other operands are handles whose texts the lines
// use. Returns the text that stands for the planned expression.
Ref linearise_planned(const ExprArgs& a, const std::vector<Ref>& operands, const OperandPlanner& planner) {
  OperandBounds bounds;
  std::vector<lc::LinExpr> pieces;
  std::vector<Ref> handles;
  for (const Ref& node : operands) {
    if (is_number_node(node)) {
      pieces.push_back(lc::LinExpr::number(as_double(to_float(item(node, K::value)))));
      continue;
    }
    pieces.push_back(lc::LinExpr::of(static_cast<lc::Var>(handles.size())));
    bounds.intervals.push_back(operand_interval(a.g, node));
    bounds.variables.push_back(has_type(node, {"name", "indexed_name"}) &&
                               is_decision_variable(a.g.find_declaration(referenced_name(node))));
    handles.push_back(node.copy());
  }
  lc::Plan plan(bounds, {.general_constraints = true});
  lc::LinExpr result;
  try {
    result = planner(plan, pieces, use_of(a.g, a.node));
  } catch (const lc::Unbounded& u) {
    bool known = u.var >= 0 && static_cast<std::size_t>(u.var) < handles.size();
    std::string operand = known ? text(a.g.traverse(handles[static_cast<std::size_t>(u.var)], a.iterators)) : "?";
    a.g.semantic_error("The expression '" + operand + "' has no finite " + (u.upper ? "upper" : "lower") +
                       " bound, which its exact linearisation needs: declare its variables with 'in lo..hi' or "
                       "bound them with constraints");
  }
  Rendering r(a.g, plan);
  auto texts = [&] {
    std::vector<std::string> out;
    for (const Ref& node : handles) out.push_back(operand_text(a.g, node, a.iterators));
    return out;
  };
  if (plan.auxiliaries.empty()) {
    r.emit(texts(), "");
    return py_str(r.expression(result));
  }
  where_auxiliaries_live(a, &r, [&](const std::string& key) { r.emit(texts(), key); });
  return py_str(r.expression(result));
}

namespace {

// max(i in I) e / min(i in I) e: the pieces are as many as the script's loop finds, so they are
// collected into a list first, written as the generator expression of a sum over the same
// iterators and filter.
Ref linearise_aggregate(const ExprArgs& a, bool maximum) {
  const Gen& g = a.g;
  lc::Use use = use_of(g, a.node);
  bool relaxed = use == (maximum ? lc::Use::Upper : lc::Use::Lower);
  const char* kind = maximum ? "max" : "min";
  std::string base = std::string("_") + kind + "_" + text(next_aux_number(g));
  std::string pieces = base + "_pieces";
  std::string args = base + "_args";
  auto name = [&](const char* suffix) {
    return text(call_method(g.self(), K::format_name_expr, py_str("aux"), py_str(base + suffix)));
  };
  // Whole-valued pieces make whole-valued auxiliaries, as for maxl and minl.
  std::string vtype = integer_valued(g, get(a.node, K::expression), a.iterators) ? ", vtype=GRB.INTEGER" : "";
  Ref as_sum = dict_copy(a.node);
  set_item(as_sum, K::type, py_str("sum"));
  std::string key = where_auxiliaries_live(a, nullptr, [&](const std::string& key) {
    std::string sum = text(g.traverse(as_sum, a.iterators));
    constexpr std::string_view kQuicksum = "gp.quicksum(";
    if (!sum.starts_with(kQuicksum) || !sum.ends_with(')')) {
      raise(PyExc_NotImplementedError,
            std::string("Unsupported ") + kind + " over these terms: write each term as a linear expression");
    }
    std::string generator = sum.substr(kQuicksum.size(), sum.size() - kQuicksum.size() - 1);
    std::string t = base + key;
    g.emit(pieces + " = [" + generator + "]");
    g.emit(t + " = model.addVar(lb=-GRB.INFINITY, ub=GRB.INFINITY" + vtype + ")");
    if (relaxed) {
      g.emit("for _piece in " + pieces + ":");
      g.indent(1);
      g.emit("model.addConstr(" + t + (maximum ? " >= " : " <= ") + "_piece, name=" + name("_1") + ")");
      g.indent(-1);
      return;
    }
    g.emit(args + " = [model.addVar(lb=-GRB.INFINITY, ub=GRB.INFINITY" + vtype + ") for _piece in " + pieces + "]");
    g.emit("for _arg, _piece in zip(" + args + ", " + pieces + "):");
    g.indent(1);
    g.emit("model.addConstr(_arg == _piece, name=" + name("_1") + ")");
    g.indent(-1);
    g.emit(std::string(maximum ? "model.addGenConstrMax(" : "model.addGenConstrMin(") + t + ", " + args +
           ", name=" + name("_2") + ")");
  });
  return py_str(base + key);
}

Ref aggregate_method(const Call& c, const char* function, bool maximum) {
  ExprArgs a = bind_expr_args(c, function);
  if (truthy(a.symbolic) || !depends_on_decision_var(a.g, a.node)) {
    std::string type = text(get(a.node, K::type));
    raise(PyExc_NotImplementedError, "Expression type '" + type + "' is not supported by the Gurobi code generator.");
  }
  return linearise_aggregate(a, maximum);
}

Ref expr_max_agg(const Call& c) {
  return aggregate_method(c, "GurobiCodeGenerator._expr_max_agg", true);
}

Ref expr_min_agg(const Call& c) {
  return aggregate_method(c, "GurobiCodeGenerator._expr_min_agg", false);
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_expr_max_agg", expr_max_agg, nullptr),
    KV_FUNCTION("_expr_min_agg", expr_min_agg, nullptr),
};

}  // namespace

void record_linear_uses(const Gen& g, Handle node, int sign) {
  UseRecorder(g).walk(node, sign);
}

bool over_decision_variables(const ExprArgs& a, Handle operands) {
  if (truthy(a.symbolic) || !is_list(operands)) return false;
  for (Ref& operand : Iterate(operands)) {
    if (depends_on_decision_var(a.g, operand)) return true;
  }
  return false;
}

namespace {

bool whole_valued(const ExprArgs& a, const std::vector<Ref>& nodes) {
  for (const Ref& node : nodes) {
    if (!integer_valued(a.g, node, a.iterators)) return false;
  }
  return true;
}

}  // namespace

Ref linearise_function(const ExprArgs& a, Handle operands, const char* function) {
  std::vector<Ref> nodes;
  for (Ref& operand : Iterate(operands)) nodes.push_back(operand.copy());
  bool is_abs = std::string_view(function) == "abs", maximum = std::string_view(function) == "max";
  // Over whole-valued operands the auxiliaries are integer variables: a strict comparison of the
  // result then cannot be met by a value within the solver's tolerances of the bound.
  lc::Kind kind = whole_valued(a, nodes) ? lc::Kind::Integer : lc::Kind::Continuous;
  return linearise_planned(a, nodes, [&](lc::Plan& plan, const std::vector<lc::LinExpr>& pieces, lc::Use use) {
    return is_abs ? lc::plan_abs(plan, pieces[0], use, kind) : lc::plan_extreme(plan, maximum, pieces, use, kind);
  });
}

std::span<PyMethodDef> function_methods{kMethods};

}  // namespace mipwright
