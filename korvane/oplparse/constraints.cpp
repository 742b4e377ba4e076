// The objective, constraint blocks, foralls, labels and implications, and the bound constraints
// that `dvar ... in a..b` declares.
#include "parser.hpp"

namespace oplparse {
namespace {

Ref without_outer_parentheses(Ref n) {
  while (eq(item(n, K::type), K::parenthesized_expression)) n = item(n, K::expression);
  return n;
}

bool is_comparison(Handle n) {
  return eq(item(n, K::type), K::binop) && is_comparison_op(utf8(item(n, K::op)));
}

Ref comparison_constraint(Handle comparison) {
  return node(
      K::constraint_node,
      {{K::op, item(comparison, K::op)}, {K::left, item(comparison, K::left)}, {K::right, item(comparison, K::right)}});
}

Ref number_node(long long v) {
  return node(K::number, {{K::value, py_int(v)}});
}

}  // namespace

// maximize expr;  minimize expr;
void ModelParser::objective(const Token& sense) {
  if (objective_)
    fail("Unsupported second objective '" + std::string(sense.text) + "': a model has one objective", sense.line);
  Ref e = expression();
  expect(";");
  objective_ =
      node(sense.text == "maximize" ? K::maximize : K::minimize, {{K::expression, e}, {K::lineno, py_int(sense.line)}});
}

// subject to { ... }  or  constraints { ... }
void ModelParser::constraint_block() {
  expect("{");
  statements_until_brace(constraints_);
  accept(";");
}

// Statements up to the closing brace; a stray ';' between them (as after `forall(...) { ... };`)
// is an empty statement.
void ModelParser::statements_until_brace(Handle out) {
  while (!accept("}")) {
    if (!accept(";")) constraint_statement(out);
  }
}

void ModelParser::constraint_statement(Handle out) {
  RecursionGuard guard(" while parsing constraints");
  const Token& first = peek();
  std::string label = statement_label();
  if (is_word("forall") || is("{") || is_word("if")) {
    // A label before a forall or a block names every constraint inside that has none of its own.
    std::string outer = block_label_;
    if (!label.empty()) block_label_ = label;
    if (is_word("forall")) {
      append(out, forall());
    } else if (accept("{")) {
      statements_until_brace(out);
    } else {
      if_statement(out);
    }
    block_label_ = outer;
    return;
  }
  if (label.empty()) label = block_label_;
  for (Ref& c : constraint_expression()) {
    set_item(c, K::lineno, py_int(first.line));
    if (!label.empty() && label_iterators_.empty()) set_item(c, K::label, py_str(label));
    if (!label.empty() && !label_iterators_.empty()) {
      // Inside loops one label names a family: the generated name carries the iterator values.
      Ref iterators = new_list();
      for (const std::string& name : label_iterators_) append(iterators, py_str(name));
      Ref label_template = new_dict();
      set_item(label_template, K::name, py_str(label));
      set_item(label_template, K::iterators, iterators);
      set_item(c, K::label_template, label_template);
    }
    append(out, c);
  }
  expect(";");
}

// `name:` or `name[i, j]:` before a statement (the subscripts of a label are those of the
// enclosing foralls, which the generated names carry anyway); empty when there is none. The
// older form `name = constraint;` (`ct[i] = ...`, names declared by `constraint ct[I];`) is the
// same label: `=` cannot start a constraint otherwise, so a name that is not data or a
// variable followed by `=` is one.
std::string ModelParser::statement_label() {
  const Token& first = peek();
  if (first.kind != Tok::Ident || is_reserved(first.text)) return "";
  bool assignable = find_symbol(std::string(first.text)) == nullptr && !find_iterator(std::string(first.text));
  std::size_t colon = 1;
  if (is("[", 1)) {
    int depth = 0;
    for (std::size_t k = 1;; ++k) {
      const Token& t = peek(k);
      if (t.kind == Tok::End) return "";
      if (t.kind == Tok::Punct && t.text == "[") ++depth;
      if (t.kind == Tok::Punct && t.text == "]" && --depth == 0) {
        colon = k + 1;
        break;
      }
    }
  }
  if (!is(":", colon) && !(assignable && is("=", colon))) return "";
  for (std::size_t k = 0; k <= colon; ++k) advance();
  return std::string(first.text);
}

// forall(i in I, j in J : filter) constraint;  or  forall(...) { constraints }
Ref ModelParser::forall() {
  int line = advance().line;
  expect("(");
  std::vector<IteratorEntry> entries = iterator_list(false);
  Ref filter = with_pattern_filters(entries, accept(":") ? expression() : Ref());
  expect(")");
  std::size_t outer_labels = label_iterators_.size();
  for (const IteratorEntry& e : entries) label_iterators_.push_back(e.name);
  Ref body = new_list();
  bool block = accept("{");
  if (block) {
    statements_until_brace(body);
  } else {
    constraint_statement(body);
  }
  label_iterators_.resize(outer_labels);
  pop_scope(entries);
  Ref n = node(K::forall_constraint, {{K::iterators, entries_list(entries)}});
  if (filter) set_item(n, K::index_constraint, filter);
  if (block || len(body) != 1) {
    set_item(n, K::constraints, body);
  } else {
    set_item(n, K::constraint, item(body, 0));
  }
  set_item(n, K::lineno, py_int(line));
  return n;
}

// if (condition) { ... } else { ... }. A condition on the data only is decided by instantiation,
// which keeps the branch that holds (instantiate.cpp). A condition on decision variables makes
// two implications: the condition implies the first branch and its negation the second.
void ModelParser::if_statement(Handle out) {
  int line = advance().line;
  expect("(");
  Ref condition = expression();
  expect(")");
  Ref then = if_branch();
  Ref otherwise = accept_word("else") ? if_branch() : new_list();
  if (!mentions_decision_variable(condition)) {
    append(out, node(K::if_constraint,
                     {{K::condition, condition}, {K::then, then}, {K::else_, otherwise}, {K::lineno, py_int(line)}}));
    return;
  }
  Ref holds = boolean_operands(without_outer_parentheses(std::move(condition)));
  if (!is_condition(holds)) {
    fail("Unsupported condition of an 'if' on decision variables: write a comparison, or comparisons combined with "
         "&&, || and !",
         line);
  }
  implied_by(holds, then, out, line);
  implied_by(negated(holds), otherwise, out, line);
}

// Appends, for each constraint of `branch`, the implication that `antecedent` forces it.
void ModelParser::implied_by(Handle antecedent, Handle branch, Handle out, int line) {
  for (Ref& c : Iterate(branch)) {
    Ref type = item(c, K::type);
    Ref premise = Ref::borrow(antecedent), consequent;
    if (eq(type, K::constraint_node)) {
      consequent = comparison_constraint(c);
    } else if (eq(type, K::logical_constraint) && !holds_equivalence(item(c, K::condition))) {
      consequent = item(c, K::condition);
    } else if (eq(type, K::implication_constraint)) {
      // a => b inside the branch: (condition && a) => b.
      premise = node(K::and_, {{K::left, antecedent}, {K::right, as_condition(item(c, K::antecedent))}});
      consequent = item(c, K::consequent);
    } else {
      fail("Unsupported statement inside an 'if' whose condition involves decision variables: only constraints, "
           "logical constraints and implications may stand there (no forall, no equivalence, no 'if' on the data)",
           line);
    }
    Ref implication = node(K::implication_constraint,
                           {{K::antecedent, implication_side(premise, line)}, {K::consequent, consequent}});
    for (const Key* key : {&K::lineno, &K::label, &K::label_template}) {
      if (contains(c, *key)) set_item(implication, *key, item(c, *key));
    }
    append(out, implication);
  }
}

Ref ModelParser::if_branch() {
  Ref body = new_list();
  if (accept("{")) {
    statements_until_brace(body);
  } else {
    constraint_statement(body);
  }
  return body;
}

// A comparison, a ranged comparison `lo <= e <= hi` (two constraints), or an implication between
// two conditions.
std::vector<Ref> ModelParser::constraint_expression() {
  int line = peek().line;
  Ref e = expression();
  std::vector<Ref> out;
  if (accept("=>")) {
    Ref consequent = expression();
    out.push_back(node(K::implication_constraint, {{K::antecedent, implication_side(e, line)},
                                                   {K::consequent, implication_side(consequent, line)}}));
    return out;
  }
  Ref bare = without_outer_parentheses(std::move(e));
  const Token& next = peek();
  if (is_comparison(bare) && next.kind == Tok::Punct && is_comparison_op(next.text)) {
    std::string first_op(utf8(item(bare, K::op)));
    bool ascending = (first_op == "<=" || first_op == "<") && (next.text == "<=" || next.text == "<");
    bool descending = (first_op == ">=" || first_op == ">") && (next.text == ">=" || next.text == ">");
    if (!ascending && !descending) {
      fail("Unsupported chained comparison '" + first_op + " ... " + std::string(next.text) +
               "': a ranged constraint is written lo <= e <= hi or hi >= e >= lo",
           line);
    }
    advance();
    Ref high = additive();
    out.push_back(comparison_constraint(bare));
    out.push_back(node(K::constraint_node,
                       {{K::op, py_str(next.text)}, {K::left, deep_copy(item(bare, K::right))}, {K::right, high}}));
    if (!is(";")) missing(";");
    return out;
  }
  if (!is(";")) missing(";");
  if (Ref equivalence = equivalence_of(bare)) {
    logical_constraints(equivalence, out);
    return out;
  }
  if (is_comparison(bare)) {
    out.push_back(comparison_constraint(bare));
    return out;
  }
  Ref condition = boolean_operands(bare);
  if (!is_condition(condition)) {
    fail("Unsupported constraint: write a comparison (==, !=, <=, >=, <, >), a logical condition (&&, ||, !) or an "
         "implication (=>)",
         line);
  }
  logical_constraints(condition, out);
  return out;
}

// (c1) == (c2) and (c1) != (c2) where a side combines conditions with &&, || or !: whether both
// hold together. Between plain comparisons the sides are compared as numbers (their truths),
// which the generators do already; empty for anything else.
Ref ModelParser::equivalence_of(Handle comparison) {
  if (!is_comparison(comparison)) return {};
  std::string op(utf8(item(comparison, K::op)));
  if (op != "==" && op != "!=") return {};
  Ref left = boolean_operands(without_outer_parentheses(item(comparison, K::left)));
  Ref right = boolean_operands(without_outer_parentheses(item(comparison, K::right)));
  if (!is_condition(left) || !is_condition(right) || !(is_combination(left) || is_combination(right))) return {};
  Ref same = node(K::equivalent, {{K::left, left}, {K::right, right}});
  if (op == "!=") return negated(same);
  return same;
}

// A condition standing as a constraint, lowered to what the generators take: its conjuncts one by
// one, negations moved down to the comparisons (!(x <= 3) is x > 3), a comparison as a plain
// constraint, and what still combines conditions (||, equivalence) as a logical constraint.
void ModelParser::logical_constraints(Handle condition, std::vector<Ref>& out) {
  RecursionGuard guard(" while lowering a logical constraint");
  Ref n = without_outer_parentheses(Ref::borrow(condition));
  Ref type = item(n, K::type);
  if (eq(type, K::and_)) {
    logical_constraints(item(n, K::left), out);
    logical_constraints(item(n, K::right), out);
  } else if (eq(type, K::not_)) {
    logical_constraints(negated(item(n, K::value)), out);
  } else if (is_comparison(n)) {
    out.push_back(comparison_constraint(n));
  } else if (!(eq(type, K::boolean_literal) && truthy(item(n, K::value)))) {
    out.push_back(node(K::logical_constraint, {{K::condition, n}}));
  }
}

// The negation of a condition, moved down to its comparisons: operators turn into their
// opposites, && and || swap, and a boolean variable tested against 1 is tested against 0.
Ref ModelParser::negated(Handle condition) {
  RecursionGuard guard(" while negating a condition");
  Ref n = without_outer_parentheses(Ref::borrow(condition));
  Ref type = item(n, K::type);
  if (eq(type, K::not_)) return without_outer_parentheses(item(n, K::value));
  if (eq(type, K::and_) || eq(type, K::or_)) {
    return node(eq(type, K::and_) ? K::or_ : K::and_,
                {{K::left, negated(item(n, K::left))}, {K::right, negated(item(n, K::right))}});
  }
  if (eq(type, K::equivalent)) return node(K::equivalent, {{K::left, negated(item(n, K::left))}, {K::right, item(n, K::right)}});
  if (eq(type, K::boolean_literal)) {
    return node(K::boolean_literal, {{K::value, py_bool(!truthy(item(n, K::value)))}, {K::sem_type, K::boolean}});
  }
  if (!is_comparison(n)) return node(K::not_, {{K::value, n}});
  std::string op(utf8(item(n, K::op)));
  Ref right = item(n, K::right);
  if (op == "==" && is_boolean_dvar(item(n, K::left)) && eq(get(right, K::type), K::number) &&
      eq(get(right, K::value), py_int(1))) {
    right = number_node(0);
  } else {
    static const std::pair<std::string_view, std::string_view> kOpposite[] = {
        {"==", "!="}, {"!=", "=="}, {"<=", ">"}, {">", "<="}, {">=", "<"}, {"<", ">="}};
    for (auto [from, to] : kOpposite) {
      if (op == from) {
        op = to;
        break;
      }
    }
  }
  return node(K::binop, {{K::op, py_str(op)}, {K::left, item(n, K::left)}, {K::right, right}, {K::sem_type, K::boolean}});
}

// Comparisons, true and false, and their combinations with &&, || and ! (after boolean_operands).
bool ModelParser::is_condition(Handle n) const {
  RecursionGuard guard(" while reading a condition");
  Ref bare = without_outer_parentheses(Ref::borrow(n));
  Ref type = item(bare, K::type);
  if (eq(type, K::and_) || eq(type, K::or_) || eq(type, K::equivalent)) {
    return is_condition(item(bare, K::left)) && is_condition(item(bare, K::right));
  }
  if (eq(type, K::not_)) return is_condition(item(bare, K::value));
  return eq(type, K::boolean_literal) || is_comparison(bare);
}

bool ModelParser::is_combination(Handle n) {
  Ref type = item(without_outer_parentheses(Ref::borrow(n)), K::type);
  return eq(type, K::and_) || eq(type, K::or_) || eq(type, K::not_);
}

bool ModelParser::holds_equivalence(Handle n) {
  RecursionGuard guard(" while reading a condition");
  Ref type = get(n, K::type);
  if (eq(type, K::equivalent)) return true;
  if (eq(type, K::and_) || eq(type, K::or_)) return holds_equivalence(item(n, K::left)) || holds_equivalence(item(n, K::right));
  if (eq(type, K::not_)) return holds_equivalence(item(n, K::value));
  if (eq(type, K::parenthesized_expression)) return holds_equivalence(item(n, K::expression));
  return false;
}

// A side of an implication node as a condition inside && and ||: its comparison as a binop.
Ref ModelParser::as_condition(Handle side) {
  if (!eq(get(side, K::type), K::constraint_node)) return Ref::borrow(side);
  return node(K::binop, {{K::op, item(side, K::op)}, {K::left, item(side, K::left)}, {K::right, item(side, K::right)},
                         {K::sem_type, K::boolean}});
}

bool ModelParser::mentions_decision_variable(Handle tree) const {
  std::set<std::string> names;
  collect_names(tree, names);
  for (const std::string& name : names) {
    if (find_iterator(name)) continue;
    auto it = symbols_.find(name);
    if (it != symbols_.end() && it->second.kind == Kind::Dvar) return true;
  }
  return false;
}

// A side of `=>`: comparisons become constraint nodes, a boolean variable b stands for b == 1.
Ref ModelParser::implication_side(Handle side, int line) {
  Ref n = without_outer_parentheses(Ref::borrow(side));
  if (is_comparison(n)) return comparison_constraint(n);
  if (is_boolean_dvar(n))
    return node(K::constraint_node, {{K::op, py_str("==")}, {K::left, n}, {K::right, number_node(1)}});
  Ref type = item(n, K::type);
  if (eq(type, K::and_) || eq(type, K::or_) || eq(type, K::not_)) return boolean_operands(n);
  if (eq(type, K::boolean_literal)) return n;
  fail("Unsupported operand of '=>': use comparisons, boolean variables, true or false, combined with &&, || and !",
       line);
}

// Inside &&, || and !, a boolean variable b becomes the comparison b == 1, which the logical
// encodings of the generators understand.
Ref ModelParser::boolean_operands(Handle n) {
  RecursionGuard guard(" while parsing a condition");
  if (is_boolean_dvar(n)) {
    return node(K::binop, {{K::op, py_str("==")}, {K::left, n}, {K::right, number_node(1)}, {K::sem_type, K::boolean}});
  }
  Ref type = item(n, K::type);
  if (eq(type, K::and_) || eq(type, K::or_)) {
    return node(eq(type, K::and_) ? K::and_ : K::or_,
                {{K::left, boolean_operands(item(n, K::left))}, {K::right, boolean_operands(item(n, K::right))}});
  }
  if (eq(type, K::not_)) return node(K::not_, {{K::value, boolean_operands(item(n, K::value))}});
  if (eq(type, K::parenthesized_expression)) {
    return node(K::parenthesized_expression, {{K::expression, boolean_operands(item(n, K::expression))}});
  }
  return Ref::borrow(n);
}

bool ModelParser::is_boolean_dvar(Handle n) const {
  Ref type = item(n, K::type);
  Ref name;
  if (eq(type, K::name_node)) {
    name = item(n, K::value);
  } else if (eq(type, K::indexed_name)) {
    name = item(n, K::name);
  } else {
    return false;
  }
  std::string text(utf8(name));
  if (find_iterator(text)) return false;
  auto it = symbols_.find(text);
  return it != symbols_.end() && it->second.kind == Kind::Dvar && it->second.type == "boolean";
}

// `dvar ... x[dims] in lower..upper` bounds x by two constraints, over all its indices.
void ModelParser::add_bound_constraints(const std::string& var, Handle dims, const std::vector<IteratorEntry>& entries,
                                        Handle lower, Handle upper, int line) {
  Ref target;
  Ref iterators = new_list();
  if (dims.get() == nullptr) {
    target = node(K::name_node, {{K::value, py_str(var)}});
  } else {
    Ref subs = new_list();
    std::size_t k = 0;
    for (Ref& dim : Iterate(dims)) {
      const std::string& index = entries[k].name;
      std::string it = index.empty() ? fresh_name("_" + var + "_i" + std::to_string(k + 1)) : index;
      ++k;
      Ref entry = new_dict();
      set_item(entry, K::iterator, py_str(it));
      set_item(entry, K::range, range_of(dim));
      append(iterators, entry);
      append(subs, node(K::name_reference_index, {{K::name, py_str(it)}}));
    }
    target = node(K::indexed_name, {{K::name, py_str(var)}, {K::dimensions, subs}});
  }
  auto bound = [&](const char* op, Handle value) {
    return node(
        K::constraint_node,
        {{K::op, py_str(op)}, {K::left, deep_copy(target)}, {K::right, deep_copy(value)}, {K::lineno, py_int(line)}});
  };
  // infinity on its own side (0..infinity, -infinity..5) is no bound at all.
  auto unbounded = [](Handle value, double side) {
    if (!eq(get(value, K::type), K::number)) return false;
    Ref v = get(value, K::value);
    return PyFloat_Check(v.get()) && PyFloat_AS_DOUBLE(v.get()) == side;
  };
  Ref both = new_list();
  if (!unbounded(lower, -HUGE_VAL)) append(both, bound(">=", lower));
  if (!unbounded(upper, HUGE_VAL)) append(both, bound("<=", upper));
  if (len(both) == 0) return;
  if (dims.get() == nullptr) {
    for (Ref& c : Iterate(both)) append(bound_constraints_, c);
    return;
  }
  append(bound_constraints_,
         node(K::forall_constraint, {{K::iterators, iterators}, {K::constraints, both}, {K::lineno, py_int(line)}}));
}

}  // namespace oplparse
