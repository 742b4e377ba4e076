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
      check_solution_use(std::string(t.text), *symbol, t.line);
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

// A set expression as the range of an iterator or the set of a set function: declared as a hidden
// set computed with the data. `where` names the place, as in "the range of 'i'".
std::pair<Ref, std::string> ModelParser::hidden_set(const std::string& where) {
  int line = peek().line;
  Ref expression = set_expression();
  std::set<std::string> names;
  collect_names(expression, names);
  for (const Iterator& it : scope_) {
    if (names.count(it.name)) {
      fail("Unsupported set expression in " + where + ": it uses the iterator '" + it.name +
               "'; use a filter instead, as in 'forall(i in I, j in J : j != i)', or a sum instead of card",
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

// {int} Q[T] = ...;  {string} Q[i in I] = {...};  An array of sets is kept as one hidden set of
// (index..., member) tuples; `j in Q[t]` is a slice of it, as the tuple pattern <t, j> would be.
void ModelParser::set_array(const Token& name, const std::string& element_type, int line) {
  std::string owner(name.text);
  std::vector<IteratorEntry> entries;
  Ref dims = named_dimensions(owner, entries);
  expect("=");
  Ref computed;
  if (!accept("...")) {
    for (IteratorEntry& e : entries) {
      if (e.name.empty()) e.name = hidden_name(owner, "_i");
    }
    push_scope(entries);
    data_only_context_ = "the initializer of set '" + owner + "': it is computed from the data only";
    computed = set_expression();
    data_only_context_.clear();
    pop_scope(entries);
  }
  expect(";");
  Symbol member{Kind::TupleType};
  Ref fields = new_list();
  for (std::size_t k = 0; k <= entries.size(); ++k) {
    std::string type = element_type;
    if (k < entries.size()) {
      const Ref& range = entries[k].range;
      bool over_set = eq(item(range, K::type), K::named_set);
      type = over_set ? find_symbol(text(item(range, K::name)))->type : "int";
    }
    std::string field = k < entries.size() ? "index" + std::to_string(k + 1) : "member";
    member.fields.push_back({field, type});
    Ref record = new_dict();
    set_item(record, K::name, py_str(field));
    set_item(record, K::type, py_str(type));
    append(fields, record);
  }
  std::string member_type = hidden_name(owner, "_member");
  std::string members = hidden_name(owner, "_members");
  symbols_.emplace(member_type, std::move(member));
  symbols_.emplace(members, Symbol{Kind::TupleSet, 0, member_type});
  add_declaration(node(K::tuple_type_decl, {{K::name, py_str(member_type)}, {K::fields, fields}, {K::lineno, py_int(line)}}));
  Ref decl = node(K::set_array, {{K::name, py_str(owner)}, {K::members, py_str(members)},
                                 {K::tuple_type, py_str(member_type)}, {K::dimensions, dims}});
  if (computed) {
    set_item(decl, K::iterators, entries_list(entries));
    set_item(decl, K::expression, computed);
  }
  set_item(decl, K::element_type, py_str(element_type));
  set_item(decl, K::lineno, py_int(line));
  Symbol symbol{Kind::SetArray, entries.size(), member_type};
  symbol.members = members;
  declare(name, std::move(symbol));
  add_declaration(std::move(decl));
}

// `j in Q[t]` (or `j in t.f`): an iterator over the hidden set of Q whose index fields equal the
// subscripts, and j the name of its member field.
IteratorEntry ModelParser::set_array_entry() {
  std::string iterator(expect_name().text);
  expect_word("in");
  SetArrayUse use = set_array_use();
  const Symbol& symbol = *use.symbol;
  IteratorEntry entry{hidden_name(use.name, "_member"), node(K::named_set, {{K::name, py_str(symbol.members)}}),
                      symbol.type};
  entry.filter = member_filter(entry, use.subs);
  entry.bindings.emplace_back(iterator, member_tuple_type(symbol), entry.name, symbol.type, "member");
  return entry;
}

// The array of sets named by the tokens `ahead`: `Q[` with Q declared so, or `t.f` with t an
// iterator over tuples whose field f holds a set; null when they name none.
const Symbol* ModelParser::set_array_ahead(std::size_t ahead) {
  const Token& first = peek(ahead);
  if (first.kind != Tok::Ident) return nullptr;
  std::string name(first.text);
  if (const Iterator* it = find_iterator(name)) {
    if (it->tuple_type.empty() || !is(".", ahead + 1) || peek(ahead + 2).kind != Tok::Ident) return nullptr;
    return find_symbol(set_field_symbol(it->tuple_type, peek(ahead + 2).text));
  }
  const Symbol* symbol = find_symbol(name);
  return symbol != nullptr && symbol->kind == Kind::SetArray && is("[", ahead + 1) ? symbol : nullptr;
}

// Reads the array of sets that set_array_ahead() found; `t.f` is the array of f subscripted by t.
ModelParser::SetArrayUse ModelParser::set_array_use() {
  const Token& first = advance();
  if (find_iterator(std::string(first.text))) {
    Ref base = reference(first);
    expect(".");
    const Token& field = advance();
    const Symbol* symbol = find_symbol(set_field_symbol(text(item(base, K::sem_type)), field.text));
    std::vector<Ref> subs;
    subs.push_back(std::move(base));
    return {symbol, std::string(field.text), std::move(subs)};
  }
  const Symbol* symbol = find_symbol(std::string(first.text));
  return {symbol, std::string(first.text), array_subscripts(first, *symbol)};
}

// `{string} after;` in tuple T: the field leaves the tuple and becomes the array of sets `T.after`
// indexed by the tuples, held as the hidden set of (tuple, member) pairs that instantiation fills
// from the tuples' data (`position` is the field's place among the fields as written, `earlier`
// those of the set-valued fields before it).
void ModelParser::tuple_set_field(const std::string& tuple, const TupleField& field, std::size_t position,
                                  const std::vector<std::size_t>& earlier, int line) {
  Symbol member{Kind::TupleType};
  member.fields = {{"index1", tuple}, {"member", field.type}};
  Ref fields = new_list();
  for (const TupleField& f : member.fields) {
    Ref record = new_dict();
    set_item(record, K::name, py_str(f.name));
    set_item(record, K::type, py_str(f.type));
    append(fields, record);
  }
  Ref earlier_list = new_list();
  for (std::size_t e : earlier) append(earlier_list, py_int(static_cast<long>(e)));
  std::string owner = tuple + "_" + field.name;
  std::string member_type = hidden_name(owner, "_member");
  std::string members = hidden_name(owner, "_members");
  symbols_.emplace(member_type, std::move(member));
  symbols_.emplace(members, Symbol{Kind::TupleSet, 0, member_type});
  add_declaration(node(K::tuple_type_decl, {{K::name, py_str(member_type)}, {K::fields, fields}, {K::lineno, py_int(line)}}));
  add_declaration(node(K::tuple_set_field, {{K::name, py_str(members)},
                                            {K::tuple_type, py_str(member_type)},
                                            {K::owner_type, py_str(tuple)},
                                            {K::field, py_str(field.name)},
                                            {K::position, py_int(static_cast<long>(position))},
                                            {K::earlier_positions, earlier_list},
                                            {K::lineno, py_int(line)}}));
  Symbol array{Kind::SetArray, 1, member_type};
  array.members = members;
  symbols_.emplace(set_field_symbol(tuple, field.name), std::move(array));
}

// The subscripts of an array of sets, one per dimension.
std::vector<Ref> ModelParser::array_subscripts(const Token& array, const Symbol& symbol) {
  std::vector<Ref> subs = subscripts();
  if (subs.size() != symbol.dims) {
    fail("Unsupported subscripts of '" + std::string(array.text) + "': it is declared with " +
             std::to_string(symbol.dims) + " dimension(s) and used with " + std::to_string(subs.size()),
         array.line);
  }
  return subs;
}

// The tuple type of an array of sets' members, or "" when they are plain values.
std::string ModelParser::member_tuple_type(const Symbol& array) {
  const Symbol* member = find_symbol(array.type);
  const Symbol* element = find_symbol(member->fields.back().type);
  return element != nullptr && element->kind == Kind::TupleType ? member->fields.back().type : "";
}

Ref ModelParser::member_filter(const IteratorEntry& entry, const std::vector<Ref>& subscripts) {
  Ref filter;
  for (std::size_t k = 0; k < subscripts.size(); ++k) {
    Ref base = node(K::name_node, {{K::value, py_str(entry.name)}, {K::sem_type, py_str(entry.tuple_type)}});
    Ref field = node(K::field_access, {{K::base, base}, {K::field, py_str("index" + std::to_string(k + 1))}});
    Ref equal = node(K::binop,
                     {{K::op, py_str("==")}, {K::left, field}, {K::right, subscripts[k]}, {K::sem_type, K::boolean}});
    if (filter) equal = node(K::and_, {{K::left, filter}, {K::right, equal}});
    filter = std::move(equal);
  }
  return filter;
}

Ref ModelParser::set_array_membership(Ref element) {
  SetArrayUse use = set_array_use();
  Ref pair = new_list();
  for (Ref& sub : use.subs) append(pair, sub);
  append(pair, element);
  Ref args = new_list();
  append(args, node(K::name_node, {{K::value, py_str(use.symbol->members)}}));
  append(args, node(K::tuple_literal, {{K::elements, pair}}));
  return node(K::funcall, {{K::name, py_str("in")}, {K::args, args}, {K::sem_type, K::boolean}});
}

// card(Q[t]) (or card(t.f)) for an array of sets: the number of its members, counted by a sum.
Ref ModelParser::set_array_card() {
  SetArrayUse use = set_array_use();
  expect(")");
  IteratorEntry entry{hidden_name(use.name, "_member"),
                      node(K::named_set, {{K::name, py_str(use.symbol->members)}}), use.symbol->type};
  Ref filter = member_filter(entry, use.subs);
  std::vector<IteratorEntry> entries;
  entries.push_back(std::move(entry));
  Ref n = node(K::sum, {{K::iterators, entries_list(entries)}});
  if (filter) set_item(n, K::index_constraint, filter);
  set_item(n, K::expression, node(K::number, {{K::value, py_int(1)}}));
  return n;
}

}  // namespace oplparse
