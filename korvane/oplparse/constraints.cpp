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
      append(out, if_statement());
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

// if (condition) { ... } else { ... }, with a condition on the data only; instantiation keeps the
// branch that holds (instantiate.cpp).
Ref ModelParser::if_statement() {
  int line = advance().line;
  expect("(");
  data_only_context_ =
      "the condition of an 'if': it is decided from the data; write a condition on decision variables as an "
      "implication (=>)";
  Ref condition = expression();
  data_only_context_.clear();
  expect(")");
  Ref then = if_branch();
  Ref otherwise = accept_word("else") ? if_branch() : new_list();
  return node(K::if_constraint,
              {{K::condition, condition}, {K::then, then}, {K::else_, otherwise}, {K::lineno, py_int(line)}});
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
  if (!is_comparison(bare)) {
    fail("Unsupported constraint: write a comparison (==, !=, <=, >=, <, >) or an implication (=>)", line);
  }
  out.push_back(comparison_constraint(bare));
  return out;
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
