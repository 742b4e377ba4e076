// Expressions of the .mod language, from the conditional down to names and literals, and the
// iterator lists of foralls, sums and aggregates.
//
// Precedence, loosest first: c ? a : b; || and or; && and and; comparisons (not chained);
// + and -; * and /; unary - and ! (not); subscripts and field access. A sum takes one
// multiplicative term as its body, so `sum(i in I) c[i] * x[i] + y` adds y once.
#include <algorithm>

#include "parser.hpp"

namespace oplparse {
namespace {

// Functions of the language that may appear in a tree; whether one can be translated is for the
// code generators to decide.
constexpr std::string_view kFunctions[] = {"abs",  "sqrt", "exp",  "log", "pow",   "floor", "ceil", "round", "trunc",
                                           "frac", "sgn",  "card", "ord", "first", "last",  "next", "prev",  "item"};

bool is_function(std::string_view name) {
  return std::find(std::begin(kFunctions), std::end(kFunctions), name) != std::end(kFunctions);
}

bool is_arithmetic_op(std::string_view op) {
  return op == "+" || op == "-" || op == "*" || op == "/";
}

std::string type_of(Handle n) {
  return std::string(utf8(item(n, K::type)));
}

}  // namespace

// ---- operators ----

Ref ModelParser::expression() {
  Ref condition = logical_or();
  if (!accept("?")) return condition;
  Ref then = expression();
  expect(":");
  Ref otherwise = expression();
  return node(K::conditional, {{K::condition, condition}, {K::then, then}, {K::else_, otherwise}});
}

Ref ModelParser::logical_or() {
  Ref left = logical_and();
  while (accept("||") || accept_word("or")) {
    Ref right = logical_and();
    left = node(K::or_, {{K::left, left}, {K::right, right}});
  }
  return left;
}

Ref ModelParser::logical_and() {
  Ref left = comparison();
  while (accept("&&") || accept_word("and")) {
    Ref right = comparison();
    left = node(K::and_, {{K::left, left}, {K::right, right}});
  }
  return left;
}

Ref ModelParser::comparison() {
  Ref left = additive();
  const Token& op = peek();
  if (op.kind != Tok::Punct || !is_comparison_op(op.text)) return left;
  advance();
  Ref right = additive();
  return node(K::binop, {{K::op, py_str(op.text)}, {K::left, left}, {K::right, right}, {K::sem_type, K::boolean}});
}

Ref ModelParser::additive() {
  Ref left = term();
  while (is("+") || is("-")) {
    Ref op = py_str(advance().text);
    Ref right = term();
    left = node(K::binop, {{K::op, op}, {K::left, left}, {K::right, right}});
  }
  return left;
}

Ref ModelParser::term() {
  Ref left = unary();
  while (is("*") || is("/")) {
    Ref op = py_str(advance().text);
    Ref right = unary();
    left = node(K::binop, {{K::op, op}, {K::left, left}, {K::right, right}});
  }
  return left;
}

Ref ModelParser::unary() {
  RecursionGuard guard(" while parsing an expression");
  if (accept("-")) {
    Ref operand = unary();
    // A negative literal is a number of its own, as the data file writes it.
    if (eq(item(operand, K::type), K::number)) {
      return node(K::number, {{K::value, check(PyNumber_Negative(item(operand, K::value).get()))}});
    }
    return node(K::uminus, {{K::value, operand}});
  }
  if (accept("!") || accept_word("not")) return node(K::not_, {{K::value, unary()}});
  return postfix(primary());
}

Ref ModelParser::postfix(Ref base) {
  while (is(".")) base = field_access(std::move(base), advance());
  return base;
}

// ---- operands ----

Ref ModelParser::primary() {
  const Token& t = peek();
  switch (t.kind) {
    case Tok::Number: {
      advance();
      bool is_float = t.text.find_first_of(".eE") != std::string_view::npos;
      return node(K::number, {{K::value, source_.number(t.text, is_float)}});
    }
    case Tok::String:
      advance();
      return node(K::string_literal, {{K::value, string_from_literal(t.text.substr(1, t.text.size() - 2))}});
    case Tok::Punct:
      if (accept("(")) {
        Ref inner = expression();
        expect(")");
        return node(K::parenthesized_expression, {{K::expression, inner}});
      }
      if (accept("<")) return tuple_literal();
      syntax_error(t);
    case Tok::Ident:
      break;
    default:
      syntax_error(t);
  }
  if (t.text == "true" || t.text == "false") {
    advance();
    return node(K::boolean_literal, {{K::value, py_bool(t.text == "true")}, {K::sem_type, K::boolean}});
  }
  if (t.text == "sum" || t.text == "min" || t.text == "max") return aggregate(advance());
  if (t.text == "minl" || t.text == "maxl" ||
      (is("(", 1) && !find_iterator(std::string(t.text)) && !find_symbol(std::string(t.text)))) {
    return call(advance());
  }
  return reference(expect_name());
}

// <a, b, ...> as a subscript; its elements stop before comparisons, so that > closes it.
Ref ModelParser::tuple_literal() {
  Ref elements = new_list();
  do {
    append(elements, additive());
  } while (accept(","));
  expect(">");
  return node(K::tuple_literal, {{K::elements, elements}});
}

// f(args): min and max of a list (minl, maxl) or one of the language's functions.
Ref ModelParser::call(const Token& function) {
  std::string name(function.text);
  bool list_min = name == "minl" || name == "min";
  bool list_max = name == "maxl" || name == "max";
  if (!list_min && !list_max && !is_function(name)) fail("Unsupported function '" + name + "'", function.line);
  expect("(");
  Ref args = new_list();
  if (!is(")")) {
    do {
      append(args, expression());
    } while (accept(","));
  }
  expect(")");
  if (list_min) return node(K::minl, {{K::args, args}});
  if (list_max) return node(K::maxl, {{K::args, args}});
  return node(K::funcall, {{K::name, py_str(name)}, {K::args, args}});
}

// sum(i in I : filter) term, and min(...)/max(...) over iterators or of a list.
Ref ModelParser::aggregate(const Token& keyword) {
  bool over_iterators = keyword.text == "sum" || !is("(") ||
                        (peek(1).kind == Tok::Ident && (is_word("in", 2) || (is(",", 2) && is_word("in", 4))));
  if (!over_iterators) return call(keyword);
  expect("(");
  std::vector<IteratorEntry> entries = iterator_list(true);
  Ref filter = accept(":") ? expression() : Ref();
  expect(")");
  Ref body = term();
  pop_scope(entries.size());
  const Key& type = keyword.text == "sum" ? K::sum : keyword.text == "min" ? K::min_agg : K::max_agg;
  Ref n = node(type, {{K::iterators, entries_list(entries)}});
  if (filter) set_item(n, K::index_constraint, filter);
  set_item(n, K::expression, body);
  return n;
}

// A name in an expression: an iterator, a declared name, or a decision expression (replaced by
// its expression); subscripts follow for arrays.
Ref ModelParser::reference(const Token& name_token) {
  std::string name(name_token.text);
  int line = name_token.line;
  if (const Iterator* it = find_iterator(name)) {
    if (is("[")) fail("Unsupported subscript on iterator '" + name + "'", line);
    Ref n = node(K::name_node, {{K::value, py_str(name)}});
    if (!it->tuple_type.empty()) set_item(n, K::sem_type, py_str(it->tuple_type));
    return n;
  }
  const Symbol* symbol = find_symbol(name);
  if (symbol == nullptr) {
    if (std::count(pending_iterators_.begin(), pending_iterators_.end(), name)) {
      fail("Unsupported range: it uses '" + name +
               "', an iterator of the same forall; use a filter instead, as in 'forall(i in I, j in I : j > i)'",
           line);
    }
    fail("Undeclared symbol '" + name + "'", line);
  }
  if (used_globals_) used_globals_->insert(name);
  if (symbol->kind == Kind::TupleType) fail("Unsupported use of tuple type '" + name + "' as a value", line);
  bool subscripted = is("[");
  if (symbol->dims == 0 && subscripted) fail("Unsupported subscript on '" + name + "', which is not an array", line);
  if (symbol->dims > 0 && !subscripted) {
    fail("Unsupported use of '" + name + "' without subscripts: it is declared with " + std::to_string(symbol->dims) +
             " dimension(s)",
         line);
  }
  std::vector<Ref> subs = subscripted ? subscripts() : std::vector<Ref>{};
  if (subscripted) {
    std::size_t n = subs.size();
    bool one_tuple = n == 1 && type_of(subs[0]) == "tuple_literal" &&
                     static_cast<std::size_t>(len(item(subs[0], K::elements))) == symbol->dims;
    if (n != symbol->dims && !one_tuple) {
      fail("Unsupported subscripts of '" + name + "': it is declared with " + std::to_string(symbol->dims) +
               " dimension(s) and used with " + std::to_string(n),
           line);
    }
  }
  if (symbol->kind == Kind::Dexpr) return substitute(name_token, name, *symbol, std::move(subs));
  if (!subscripted) return node(K::name_node, {{K::value, py_str(name)}});
  return indexed_reference(name_token, *symbol, std::move(subs));
}

// x[i][j], x[i, j]: the subscripts as expressions, in order.
std::vector<Ref> ModelParser::subscripts() {
  std::vector<Ref> subs;
  while (accept("[")) {
    do {
      subs.push_back(expression());
    } while (accept(","));
    expect("]");
  }
  return subs;
}

Ref ModelParser::indexed_reference(const Token& name, const Symbol& symbol, std::vector<Ref> subs) {
  std::string owner(name.text);
  Ref dims = new_list();
  for (const Ref& sub : subs) append(dims, index_of(sub, owner, name.line));
  Ref n = node(K::indexed_name, {{K::name, py_str(owner)}, {K::dimensions, dims}});
  if (symbol.kind == Kind::TupleArray) set_item(n, K::sem_type, py_str(symbol.type));
  return n;
}

Ref ModelParser::index_of(Handle expr, const std::string& owner, int line) {
  std::string why_not;
  Ref index = index_node(expr, why_not);
  if (!index) fail("Unsupported index expression type '" + why_not + "' in a subscript of '" + owner + "'", line);
  return index;
}

// The index node of a subscript, or an empty Ref and the type that cannot be one.
Ref ModelParser::index_node(Handle expr, std::string& why_not) {
  RecursionGuard guard(" while parsing a subscript");
  std::string type = type_of(expr);
  if (type == "number") return node(K::number_literal_index, {{K::value, item(expr, K::value)}});
  if (type == "name") {
    Ref n = node(K::name_reference_index, {{K::name, item(expr, K::value)}});
    if (contains(expr, K::sem_type)) set_item(n, K::sem_type, item(expr, K::sem_type));
    return n;
  }
  if (type == "field_access") {
    return node(K::field_access_index, {{K::base, item(expr, K::base)}, {K::field, item(expr, K::field)}});
  }
  if (type == "string_literal" || type == "boolean_literal" || type == "tuple_literal") return Ref::borrow(expr);
  if (type == "binop" && is_arithmetic_op(utf8(item(expr, K::op)))) {
    Ref left = index_node(item(expr, K::left), why_not);
    Ref right = left ? index_node(item(expr, K::right), why_not) : Ref();
    if (!right) return {};
    return node(K::binop, {{K::op, item(expr, K::op)}, {K::left, left}, {K::right, right}});
  }
  if (type == "uminus" || type == "parenthesized_expression") {
    const Key& key = type == "uminus" ? K::value : K::expression;
    Ref inner = index_node(item(expr, key), why_not);
    if (!inner) return {};
    return node(type == "uminus" ? K::uminus : K::parenthesized_expression, {{key, inner}});
  }
  why_not = type == "binop" ? "comparison" : type;
  return {};
}

// t.f on a tuple: an iterator over a set of tuples, an element of a tuple array, or a field that
// is itself a tuple.
Ref ModelParser::field_access(Ref base, const Token& dot) {
  const Token& field = peek();
  if (field.kind != Tok::Ident) syntax_error(field);
  advance();
  std::string name(field.text);
  Ref tuple_type = get(base, K::sem_type);
  const Symbol* tuple = is_str(tuple_type) ? find_symbol(std::string(utf8(tuple_type))) : nullptr;
  if (tuple == nullptr || tuple->kind != Kind::TupleType) {
    fail("Unsupported field access '." + name + "' on a value that is not a tuple", dot.line);
  }
  auto f =
      std::find_if(tuple->fields.begin(), tuple->fields.end(), [&](const TupleField& tf) { return tf.name == name; });
  if (f == tuple->fields.end()) {
    fail("Unknown symbol '" + name + "': tuple type '" + std::string(utf8(tuple_type)) + "' has no such field",
         field.line);
  }
  Ref n = node(K::field_access, {{K::base, base}, {K::field, py_str(name)}});
  const Symbol* nested = find_symbol(f->type);
  if (nested != nullptr && nested->kind == Kind::TupleType) set_item(n, K::sem_type, py_str(f->type));
  return n;
}

const Iterator* ModelParser::find_iterator(const std::string& name) const {
  for (auto it = scope_.rbegin(); it != scope_.rend(); ++it) {
    if (it->name == name) return &*it;
  }
  return nullptr;
}

const Symbol* ModelParser::find_symbol(const std::string& name) {
  auto it = symbols_.find(name);
  return it == symbols_.end() ? nullptr : &it->second;
}

// ---- iterators ----

std::vector<IteratorEntry> ModelParser::iterator_list(bool siblings_visible) {
  std::vector<IteratorEntry> entries;
  std::vector<std::string> outer_pending = pending_iterators_;
  do {
    if (is("<")) {
      fail(
          "Unsupported tuple pattern in an iterator: name the element instead, as in 'a in Arcs', and use its "
          "fields as a.field",
          peek().line);
    }
    std::vector<std::string> names{std::string(expect_name().text)};
    while (is(",") && peek(1).kind == Tok::Ident && (is_word("in", 2) || is(",", 2))) {
      advance();
      names.emplace_back(expect_name().text);
    }
    expect_word("in");
    auto [range, tuple_type] = iteration_range(names.front());
    for (std::size_t k = 0; k < names.size(); ++k) {
      IteratorEntry entry{names[k], k == 0 ? range.copy() : deep_copy(range), tuple_type};
      if (siblings_visible) {
        scope_.push_back({entry.name, entry.tuple_type});
      } else {
        pending_iterators_.push_back(entry.name);
      }
      entries.push_back(std::move(entry));
    }
  } while (accept(","));
  if (!siblings_visible) {
    pending_iterators_ = std::move(outer_pending);
    push_scope(entries);
  }
  return entries;
}

// a..b, a declared range, or a declared set (of values or of tuples).
std::pair<Ref, std::string> ModelParser::iteration_range(const std::string& iterator) {
  const Token& t = peek();
  if (t.kind == Tok::Ident && !is("..", 1) && !is("[", 1) && !is(".", 1) && !is("(", 1)) {
    std::string name(t.text);
    const Symbol* symbol = find_iterator(name) ? nullptr : find_symbol(name);
    if (symbol != nullptr &&
        (symbol->kind == Kind::Range || symbol->kind == Kind::Set || symbol->kind == Kind::TupleSet)) {
      advance();
      if (used_globals_) used_globals_->insert(name);
      if (symbol->kind == Kind::Range) return {node(K::named_range, {{K::name, py_str(name)}}), ""};
      return {node(K::named_set, {{K::name, py_str(name)}}), symbol->kind == Kind::TupleSet ? symbol->type : ""};
    }
  }
  Ref start = additive();
  if (!accept("..")) {
    fail("Unsupported range for iterator '" + iterator + "': use a..b, a declared range or a declared set", t.line);
  }
  Ref end = additive();
  return {node(K::range_specifier, {{K::start, start}, {K::end, end}}), ""};
}

Ref ModelParser::entries_list(const std::vector<IteratorEntry>& entries) {
  Ref list = new_list();
  for (const IteratorEntry& e : entries) {
    Ref entry = new_dict();
    set_item(entry, K::iterator, py_str(e.name));
    set_item(entry, K::range, e.range);
    append(list, entry);
  }
  return list;
}

void ModelParser::push_scope(const std::vector<IteratorEntry>& entries) {
  for (const IteratorEntry& e : entries) scope_.push_back({e.name, e.tuple_type});
}

void ModelParser::pop_scope(std::size_t count) {
  scope_.resize(scope_.size() - std::min(count, scope_.size()));
}

}  // namespace oplparse
