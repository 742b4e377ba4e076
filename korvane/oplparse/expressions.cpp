// Expressions of the .mod language, from the conditional down to names and literals, and the
// iterator lists of foralls, sums and aggregates.
//
// Precedence, loosest first: c ? a : b; || and or; && and and; comparisons (not chained);
// + and -; * and /; unary - and ! (not); subscripts and field access. A sum takes one
// multiplicative term as its body, so `sum(i in I) c[i] * x[i] + y` adds y once.
#include <algorithm>
#include <cmath>

#include "parser.hpp"

namespace oplparse {
namespace {

// Functions of the language that may appear in a tree; whether one can be translated is for the
// code generators to decide.
constexpr std::string_view kFunctions[] = {"abs",  "sqrt", "exp",  "log",   "pow",  "floor", "ceil",  "round",
                                           "trunc", "frac", "sgn",  "card",  "ord",  "first", "last",  "next",
                                           "prev",  "nextc", "prevc", "item"};

bool is_function(std::string_view name) {
  return std::find(std::begin(kFunctions), std::end(kFunctions), name) != std::end(kFunctions);
}

bool is_set_function(std::string_view name) {
  for (std::string_view f : {"card", "ord", "first", "last", "next", "prev", "nextc", "prevc", "item"}) {
    if (name == f) return true;
  }
  return false;
}

bool is_arithmetic_op(std::string_view op) {
  return op == "+" || op == "-" || op == "*" || op == "/" || op == "%" || op == "div";
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
  if (is_word("in")) return membership(std::move(left));
  const Token& op = peek();
  if (op.kind != Tok::Punct || !is_comparison_op(op.text)) return left;
  advance();
  Ref right = additive();
  return node(K::binop, {{K::op, py_str(op.text)}, {K::left, left}, {K::right, right}, {K::sem_type, K::boolean}});
}

// `e in S` with S a declared set or range: a condition on the data, computed by instantiation.
// `e in Q[t]` for an array of sets asks whether <t, e> is one of its (index..., member) tuples.
Ref ModelParser::membership(Ref element) {
  const Token& in = advance();
  const Token& set = peek();
  const Symbol* symbol = set.kind == Tok::Ident && !find_iterator(std::string(set.text)) ? find_symbol(std::string(set.text))
                                                                                       : nullptr;
  if (set_array_ahead() != nullptr) return set_array_membership(std::move(element));
  if (symbol == nullptr || (symbol->kind != Kind::Set && symbol->kind != Kind::TupleSet && symbol->kind != Kind::Range) ||
      is("[", 1)) {
    fail("Unsupported membership test: 'in' takes the name of a declared set or range, as in 'i in S'", in.line);
  }
  advance();
  if (used_globals_) used_globals_->insert(std::string(set.text));
  check_solution_use(std::string(set.text), *symbol, set.line);
  Ref args = new_list();
  append(args, node(K::name_node, {{K::value, py_str(set.text)}}));
  append(args, element);
  return node(K::funcall, {{K::name, py_str("in")}, {K::args, args}, {K::sem_type, K::boolean}});
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

// * and /, and the remainder and quotient of integers: % (also written mod) and div.
Ref ModelParser::term() {
  Ref left = unary();
  while (is("*") || is("/") || is("%") || is_word("mod") || is_word("div")) {
    std::string_view written = advance().text;
    Ref op = py_str(written == "mod" ? "%" : written);
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
  if (t.text == "piecewise") return piecewise_expression(advance());
  bool declared = find_iterator(std::string(t.text)) || find_symbol(std::string(t.text));
  if (t.text == "prod" && !declared && is("(", 1)) return aggregate(advance());
  // The largest int and the float infinity of the language.
  if (t.text == "maxint" && !declared) {
    advance();
    return node(K::number, {{K::value, py_int(2147483647)}});
  }
  if (t.text == "infinity" && !declared) {
    advance();
    return node(K::number, {{K::value, py_float(HUGE_VAL)}});
  }
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
  if (name == "card" && set_array_ahead() != nullptr) return set_array_card();
  Ref args = new_list();
  if (!is(")")) {
    do {
      if (len(args) == 0 && is_set_function(name) && set_expression_ahead()) {
        // card({i | i in I : ...}), first(A union B): the set is computed once as a hidden set.
        Ref hidden = hidden_set("the argument of '" + name + "'").first;
        append(args, node(K::name_node, {{K::value, item(hidden, K::name)}}));
        continue;
      }
      append(args, expression());
      const Token& next = peek();
      if (next.kind == Tok::Ident &&
          (next.text == "union" || next.text == "inter" || next.text == "diff" || next.text == "symdiff")) {
        fail("Unsupported set expression in an argument of '" + name + "': declare the set first, as in '{int} U = A " +
                 std::string(next.text) + " B;', and pass its name",
             next.line);
      }
    } while (accept(","));
  }
  expect(")");
  if (list_min) return node(K::minl, {{K::args, args}});
  if (list_max) return node(K::maxl, {{K::args, args}});
  return node(K::funcall, {{K::name, py_str(name)}, {K::args, args}});
}

// sum(i in I : filter) term, and min(...)/max(...) over iterators or of a list.
Ref ModelParser::aggregate(const Token& keyword) {
  bool over_iterators = keyword.text == "sum" || keyword.text == "prod" || !is("(") || is("<", 1) ||
                        (peek(1).kind == Tok::Ident && (is_word("in", 2) || (is(",", 2) && is_word("in", 4))));
  if (!over_iterators) return call(keyword);
  expect("(");
  std::vector<IteratorEntry> entries = iterator_list(true);
  Ref filter = with_pattern_filters(entries, accept(":") ? expression() : Ref());
  expect(")");
  Ref body = term();
  pop_scope(entries);
  const Key& type = keyword.text == "sum"    ? K::sum
                    : keyword.text == "prod" ? K::prod
                    : keyword.text == "min"  ? K::min_agg
                                             : K::max_agg;
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
    if (!it->base.empty()) {
      Ref base = node(K::name_node, {{K::value, py_str(it->base)}, {K::sem_type, py_str(it->base_type)}});
      Ref n = node(K::field_access, {{K::base, base}, {K::field, py_str(it->field)}});
      if (!it->tuple_type.empty()) set_item(n, K::sem_type, py_str(it->tuple_type));
      return n;
    }
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
  check_solution_use(name, *symbol, line);
  if (symbol->kind == Kind::TupleType) fail("Unsupported use of tuple type '" + name + "' as a value", line);
  if (symbol->kind == Kind::SetArray) {
    fail("Unsupported use of the array of sets '" + name + "' as a value: iterate over its sets, as in 'j in " + name +
             "[i]', or count them with card(" + name + "[i])",
         line);
  }
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
  if (symbol->kind == Kind::Pwl) return pwl_application(name_token, *symbol);
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
  // Calls are left for instantiation to compute (or to refuse where the generators cannot follow).
  if (type == "string_literal" || type == "boolean_literal" || type == "tuple_literal" || type == "funcall") {
    return Ref::borrow(expr);
  }
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
  if (f == tuple->fields.end() && find_symbol(set_field_symbol(utf8(tuple_type), name)) != nullptr) {
    fail("Unsupported use of the set-valued field '" + name + "' of tuple '" + std::string(utf8(tuple_type)) +
             "' as a value: iterate over it as in 'j in t." + name + "', count it with card(t." + name +
             "), or test 'e in t." + name + "'",
         field.line);
  }
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
  // A pattern's or an array of sets' entry, with the names it binds.
  auto enlist = [&](IteratorEntry entry) {
    if (siblings_visible) {
      scope_.emplace_back(entry.name, entry.tuple_type);
      scope_.insert(scope_.end(), entry.bindings.begin(), entry.bindings.end());
    } else {
      pending_iterators_.push_back(entry.name);
      for (const Iterator& b : entry.bindings) pending_iterators_.push_back(b.name);
    }
    entries.push_back(std::move(entry));
  };
  do {
    if (is("<")) {
      enlist(tuple_pattern());
      continue;
    }
    // The subscripts go into the filter, which sees the iterators before them: `c in C, d in Q[c]`,
    // `t in T, j in t.after`.
    std::vector<std::string> pending = pending_iterators_;
    if (!siblings_visible) push_scope(entries);
    bool over_set_array = peek().kind == Tok::Ident && is_word("in", 1) && set_array_ahead(2) != nullptr;
    if (!siblings_visible) pop_scope(entries);
    if (over_set_array) {
      if (!siblings_visible) {
        pending_iterators_ = outer_pending;
        push_scope(entries);
      }
      IteratorEntry entry = set_array_entry();
      if (!siblings_visible) {
        pop_scope(entries);
        pending_iterators_ = std::move(pending);
      }
      enlist(std::move(entry));
      continue;
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
        scope_.emplace_back(entry.name, entry.tuple_type);
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
  if (set_expression_ahead()) return hidden_set("the range of '" + iterator + "'");
  if (t.kind == Tok::Ident && !is("..", 1) && !is("[", 1) && !is(".", 1) && !is("(", 1)) {
    std::string name(t.text);
    const Symbol* symbol = find_iterator(name) ? nullptr : find_symbol(name);
    if (symbol != nullptr &&
        (symbol->kind == Kind::Range || symbol->kind == Kind::Set || symbol->kind == Kind::TupleSet)) {
      advance();
      if (used_globals_) used_globals_->insert(name);
      check_solution_use(name, *symbol, t.line);
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

// <p, o, "x"> in S: one iterator over the tuples of S, under a fresh name. A name of the pattern
// that is not bound yet stands for the field at its place; any other element (a literal, a name
// already bound, an expression) is a condition that the field equals it, so the pattern also
// slices S, as in sum(<k, j> in Arcs) with k bound outside.
IteratorEntry ModelParser::tuple_pattern() {
  int line = expect("<").line;
  std::vector<std::string> names;  // empty where the element is a value
  std::vector<Ref> values;
  do {
    const Token& t = peek();
    std::string name(t.text);
    bool binds = t.kind == Tok::Ident && (is(",", 1) || is(">", 1)) && !is_reserved(t.text) && !find_iterator(name) &&
                 !find_symbol(name) && !std::count(pending_iterators_.begin(), pending_iterators_.end(), name);
    if (binds) advance();
    names.push_back(binds ? name : "");
    values.push_back(binds ? Ref() : additive());
  } while (accept(","));
  expect(">");
  expect_word("in");
  const Token& set = peek();
  auto [range, tuple_type] = iteration_range("<...>");
  const Symbol* tuple = tuple_type.empty() ? nullptr : find_symbol(tuple_type);
  if (tuple == nullptr) {
    fail("Unsupported tuple pattern over '" + std::string(set.text) + "': a pattern <a, b, ...> takes a set of tuples",
         line);
  }
  if (tuple->fields.size() != names.size()) {
    fail("Unsupported tuple pattern: tuple type '" + tuple_type + "' has " + std::to_string(tuple->fields.size()) +
             " fields but the pattern has " + std::to_string(names.size()),
         line);
  }
  IteratorEntry entry{hidden_name(set.text, "_element"), std::move(range), tuple_type};
  for (std::size_t k = 0; k < names.size(); ++k) {
    const TupleField& f = tuple->fields[k];
    const Symbol* nested = find_symbol(f.type);
    std::string field_tuple = nested != nullptr && nested->kind == Kind::TupleType ? f.type : "";
    if (!names[k].empty()) {
      entry.bindings.emplace_back(names[k], field_tuple, entry.name, tuple_type, f.name);
      continue;
    }
    Ref base = node(K::name_node, {{K::value, py_str(entry.name)}, {K::sem_type, py_str(tuple_type)}});
    Ref field = node(K::field_access, {{K::base, base}, {K::field, py_str(f.name)}});
    Ref equal =
        node(K::binop, {{K::op, py_str("==")}, {K::left, field}, {K::right, values[k]}, {K::sem_type, K::boolean}});
    if (entry.filter) equal = node(K::and_, {{K::left, entry.filter}, {K::right, equal}});
    entry.filter = std::move(equal);
  }
  return entry;
}

// The conditions of the tuple patterns of `entries`, before the filter written after them.
Ref ModelParser::with_pattern_filters(const std::vector<IteratorEntry>& entries, Ref filter) {
  Ref all;
  for (const IteratorEntry& e : entries) {
    if (e.filter) all = all ? node(K::and_, {{K::left, all}, {K::right, e.filter}}) : e.filter.copy();
  }
  if (!all) return filter;
  if (!filter) return all;
  return node(K::and_, {{K::left, all}, {K::right, filter}});
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
  for (const IteratorEntry& e : entries) {
    scope_.emplace_back(e.name, e.tuple_type);
    scope_.insert(scope_.end(), e.bindings.begin(), e.bindings.end());
  }
}

void ModelParser::pop_scope(const std::vector<IteratorEntry>& entries) {
  std::size_t count = 0;
  for (const IteratorEntry& e : entries) count += 1 + e.bindings.size();
  scope_.erase(scope_.end() - static_cast<std::ptrdiff_t>(std::min(count, scope_.size())), scope_.end());
}

}  // namespace oplparse
