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
  while (!accept("}")) constraint_statement(constraints_);
  accept(";");
}

void ModelParser::constraint_statement(Handle out) {
  RecursionGuard guard(" while parsing constraints");
  const Token& first = peek();
  if (is_word("forall")) return append(out, forall());
  if (is_word("if")) {
    fail("Unsupported construct 'if': write the condition as a forall filter or as an implication (=>)", first.line);
  }
  std::string label;
  if (first.kind == Tok::Ident && is(":", 1)) {
    label = std::string(first.text);
    advance();
    advance();
    if (is_word("forall")) fail("Unsupported label on a forall: label the constraints inside it", first.line);
  }
  Ref c = constraint_expression();
  expect(";");
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

// forall(i in I, j in J : filter) constraint;  or  forall(...) { constraints }
Ref ModelParser::forall() {
  int line = advance().line;
  expect("(");
  std::vector<IteratorEntry> entries = iterator_list(false);
  Ref filter = accept(":") ? expression() : Ref();
  expect(")");
  std::size_t outer_labels = label_iterators_.size();
  for (const IteratorEntry& e : entries) label_iterators_.push_back(e.name);
  Ref body = new_list();
  bool block = accept("{");
  if (block) {
    while (!accept("}")) constraint_statement(body);
  } else {
    constraint_statement(body);
  }
  label_iterators_.resize(outer_labels);
  pop_scope(entries.size());
  Ref n = node(K::forall_constraint, {{K::iterators, entries_list(entries)}});
  if (filter) set_item(n, K::index_constraint, filter);
  if (block) {
    set_item(n, K::constraints, body);
  } else {
    set_item(n, K::constraint, item(body, 0));
  }
  set_item(n, K::lineno, py_int(line));
  return n;
}

// A comparison, or an implication between two conditions.
Ref ModelParser::constraint_expression() {
  int line = peek().line;
  Ref e = expression();
  if (accept("=>")) {
    Ref consequent = expression();
    return node(K::implication_constraint,
                {{K::antecedent, implication_side(e, line)}, {K::consequent, implication_side(consequent, line)}});
  }
  Ref bare = without_outer_parentheses(std::move(e));
  if (!is(";")) missing(";");
  if (!is_comparison(bare)) {
    fail("Unsupported constraint: write a comparison (==, !=, <=, >=, <, >) or an implication (=>)", line);
  }
  return comparison_constraint(bare);
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
void ModelParser::add_bound_constraints(const std::string& var, Handle dims, Handle lower, Handle upper, int line) {
  Ref target;
  Ref iterators = new_list();
  if (dims.get() == nullptr) {
    target = node(K::name_node, {{K::value, py_str(var)}});
  } else {
    Ref subs = new_list();
    std::size_t k = 0;
    for (Ref& dim : Iterate(dims)) {
      std::string it = fresh_name("_" + var + "_i" + std::to_string(++k));
      Ref type = item(dim, K::type);
      Ref range;
      if (eq(type, K::range_index)) {
        range = node(K::range_specifier,
                     {{K::start, deep_copy(item(dim, K::start))}, {K::end, deep_copy(item(dim, K::end))}});
      } else {
        range =
            node(eq(type, K::named_range_dimension) ? K::named_range : K::named_set, {{K::name, item(dim, K::name)}});
      }
      Ref entry = new_dict();
      set_item(entry, K::iterator, py_str(it));
      set_item(entry, K::range, range);
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
  Ref both = new_list();
  append(both, bound(">=", lower));
  append(both, bound("<=", upper));
  if (dims.get() == nullptr) {
    for (Ref& c : Iterate(both)) append(bound_constraints_, c);
    return;
  }
  append(bound_constraints_,
         node(K::forall_constraint, {{K::iterators, iterators}, {K::constraints, both}, {K::lineno, py_int(line)}}));
}

}  // namespace oplparse
