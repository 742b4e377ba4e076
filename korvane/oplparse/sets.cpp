// Set expressions: comprehensions {e | i in I : filter}, sets of expressions {a, b}, ranges a..b,
// asSet(...), and union, inter, diff and symdiff between them. They are computed with the data
// (instantiate.cpp); a set expression written as the range of an iterator becomes a hidden set
// declared before the constraints.
#include "parser.hpp"

namespace oplparse {
namespace {

bool is_set_operator(std::string_view word) {
  return word == "union" || word == "inter" || word == "diff" || word == "symdiff";
}

}  // namespace

Ref ModelParser::set_expression() {
  RecursionGuard guard(" while parsing a set expression");
  Ref left = set_operand();
  while (peek().kind == Tok::Ident && is_set_operator(peek().text)) {
    Ref op = py_str(advance().text);
    Ref right = set_operand();
    left = node(K::set_operation, {{K::op, op}, {K::left, left}, {K::right, right}});
  }
  return left;
}

Ref ModelParser::set_operand() {
  const Token& t = peek();
  if (is("{")) return set_braces();
  if (is_word("asSet") && is("(", 1)) {
    advance();
    advance();
    Ref inner = set_expression();
    expect(")");
    return inner;
  }
  if (t.kind == Tok::Ident && !is("..", 1) && !is("[", 1) && !is(".", 1) && !is("(", 1) &&
      !find_iterator(std::string(t.text))) {
    const Symbol* symbol = find_symbol(std::string(t.text));
    if (symbol != nullptr && (symbol->kind == Kind::Set || symbol->kind == Kind::TupleSet || symbol->kind == Kind::Range)) {
      advance();
      if (used_globals_) used_globals_->insert(std::string(t.text));
      return node(K::name_node, {{K::value, py_str(t.text)}});
    }
  }
  Ref start = additive();
  if (!accept("..")) {
    fail("Unsupported set expression: use a declared set or range, a..b, {a, b, ...}, {e | i in I : filter}, asSet, "
         "union, inter, diff or symdiff",
         t.line);
  }
  return node(K::range_specifier, {{K::start, start}, {K::end, additive()}});
}

// {a, b, ...} or {e | i in I, ... : filter}. The element of a comprehension is written before
// its iterators, so it is read after them.
Ref ModelParser::set_braces() {
  expect("{");
  std::size_t element = pos_;
  std::size_t bar = 0;
  int depth = 0;
  for (std::size_t k = pos_; tokens_[k].kind != Tok::End && bar == 0; ++k) {
    const Token& t = tokens_[k];
    if (t.kind != Tok::Punct) continue;
    if (t.text == "(" || t.text == "[" || t.text == "{") ++depth;
    if ((t.text == ")" || t.text == "]" || t.text == "}") && --depth < 0) break;
    if (t.text == "|" && depth == 0) bar = k;
  }
  if (bar == 0) {
    Ref elements = new_list();
    while (!accept("}")) {
      append(elements, expression());
      if (!is("}")) expect(",");
    }
    return node(K::set_literal, {{K::elements, elements}});
  }
  pos_ = bar + 1;
  std::vector<IteratorEntry> entries = iterator_list(true);
  Ref filter = with_pattern_filters(entries, accept(":") ? expression() : Ref());
  expect("}");
  std::size_t after = pos_;
  pos_ = element;
  Ref value = expression();
  if (pos_ != bar) syntax_error(peek());
  pos_ = after;
  pop_scope(entries);
  Ref n = node(K::set_comprehension, {{K::iterators, entries_list(entries)}});
  if (filter) set_item(n, K::index_constraint, filter);
  set_item(n, K::expression, value);
  return n;
}

// Whether the tokens ahead start a set expression rather than a declared set or a range a..b.
bool ModelParser::set_expression_ahead() const {
  if (is("{") || is_word("asSet")) return true;
  return peek().kind == Tok::Ident && peek(1).kind == Tok::Ident && is_set_operator(peek(1).text);
}

// A set expression as the range of an iterator: declared as a hidden set computed with the data.
std::pair<Ref, std::string> ModelParser::hidden_set(const std::string& iterator) {
  int line = peek().line;
  Ref expression = set_expression();
  std::set<std::string> names;
  collect_names(expression, names);
  for (const Iterator& it : scope_) {
    if (names.count(it.name)) {
      fail("Unsupported set expression in the range of '" + iterator + "': it uses the iterator '" + it.name +
               "'; use a filter instead, as in 'forall(i in I, j in J : j != i)'",
           line);
    }
  }
  std::string tuple_type = tuple_type_of(expression);
  std::string name = fresh_name("_set");
  Ref decl = node(K::set_computed, {{K::name, py_str(name)}});
  if (!tuple_type.empty()) set_item(decl, K::tuple_type, py_str(tuple_type));
  set_item(decl, K::expression, expression);
  set_item(decl, K::element_type, py_str(""));
  set_item(decl, K::lineno, py_int(line));
  symbols_.emplace(name, Symbol{tuple_type.empty() ? Kind::Set : Kind::TupleSet, 0, tuple_type});
  add_declaration(std::move(decl));
  return {node(K::named_set, {{K::name, py_str(name)}}), tuple_type};
}

// The tuple type of a set expression's elements when a declared set of tuples says it.
std::string ModelParser::tuple_type_of(Handle expression) {
  Ref type = get(expression, K::type);
  if (eq(type, K::name_node)) {
    const Symbol* symbol = find_symbol(text(item(expression, K::value)));
    return symbol != nullptr && symbol->kind == Kind::TupleSet ? symbol->type : "";
  }
  if (eq(type, K::set_operation)) return tuple_type_of(item(expression, K::left));
  return "";
}

}  // namespace oplparse
