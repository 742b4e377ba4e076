// The .mod parser: tokens, the items of a model and its declarations.
#include <algorithm>

#include "common/limits.hpp"
#include "parser.hpp"

namespace oplparse {

namespace {

// Words that name constructs of the language; none can be declared as a name.
constexpr std::string_view kReserved[] = {
    "int",      "float",   "string", "boolean", "dvar",    "dexpr", "range",       "tuple", "maximize",
    "minimize", "subject", "forall", "sum",     "min",     "max",   "in",          "true",  "false",
    "and",      "or",      "not",    "using",   "execute", "main",  "constraints", "if",    "else",
    "piecewise", "pwlFunction",
};

// Constructs of the full language that this implementation does not translate, and why.
struct UnsupportedWord {
  std::string_view word;
  std::string_view advice;
};
constexpr UnsupportedWord kUnsupportedItems[] = {
    {"include", "write the whole model in one file"},
    {"ordered", "sets keep the order of their elements already"},
    {"sorted", "sort the elements in the .dat file instead"},
    {"reversed", "list the elements in the wanted order in the .dat file instead"},
};


// The bound expression `n` without its written parentheses.
Ref without_parentheses(Handle n) {
  RecursionGuard guard(" while reading a range bound");
  if (!is_dict(n)) return Ref::borrow(n);
  Ref type = get(n, K::type);
  if (eq(type, K::parenthesized_expression)) return without_parentheses(item(n, K::expression));
  if (!eq(type, K::binop)) return Ref::borrow(n);
  return node(K::binop, {{K::op, item(n, K::op)},
                         {K::left, without_parentheses(item(n, K::left))},
                         {K::right, without_parentheses(item(n, K::right))}});
}

// A dimension over a declared range carries the range's bounds (an external range has none).
Ref named_range_dimension(Handle name, const Symbol& range) {
  Ref dim = node(K::named_range_dimension, {{K::name, name}});
  if (range.start) {
    set_item(dim, K::start, deep_copy(range.start));
    set_item(dim, K::end, deep_copy(range.end));
  }
  return dim;
}

bool is_basic_type(std::string_view word) {
  return word == "int" || word == "float" || word == "string" || word == "boolean";
}

// Points the parser's collector of used names at one set for as long as it lives.
class CollectGlobals {
 public:
  CollectGlobals(std::set<std::string>*& slot, std::set<std::string>* target) : slot_(slot), saved_(slot) {
    slot_ = target;
  }
  ~CollectGlobals() { slot_ = saved_; }
  CollectGlobals(const CollectGlobals&) = delete;
  CollectGlobals& operator=(const CollectGlobals&) = delete;

 private:
  std::set<std::string>*& slot_;
  std::set<std::string>* saved_;
};

}  // namespace

bool is_reserved(std::string_view word) {
  return std::find(std::begin(kReserved), std::end(kReserved), word) != std::end(kReserved);
}

bool is_comparison_op(std::string_view op) {
  return op == "==" || op == "!=" || op == "<=" || op == ">=" || op == "<" || op == ">";
}

ModelParser::ModelParser(const Source& source, std::vector<Token> tokens)
    : source_(source), tokens_(std::move(tokens)), expansion_limit_(positive_limit(attr(source.module, K::EXPANSION_LIMIT), "korvane.oplparse.EXPANSION_LIMIT")) {
  for (const Token& t : tokens_) {
    if (t.kind == Tok::Ident) identifiers_.emplace(t.text);
  }
  declarations_ = new_list();
  constraints_ = new_list();
  bound_constraints_ = new_list();
}

Ref ModelParser::parse() {
  while (peek().kind != Tok::End) parse_item();
  if (!objective_) {
    // A model without an objective is a feasibility problem: minimise the constant 0.
    objective_ = node(K::minimize, {{K::expression, node(K::number, {{K::value, py_int(0)}})}});
  }
  for (Ref& bound : Iterate(bound_constraints_)) append(constraints_, bound);
  Ref root = new_dict();
  set_item(root, K::declarations, declarations_);
  set_item(root, K::objective, objective_);
  set_item(root, K::constraints, constraints_);
  return root;
}

// ---- tokens ----

const Token& ModelParser::peek(std::size_t ahead) const {
  return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
}

const Token& ModelParser::advance() {
  const Token& t = tokens_[pos_];
  if (t.kind != Tok::End) ++pos_;
  return t;
}

bool ModelParser::is(std::string_view punct, std::size_t ahead) const {
  const Token& t = peek(ahead);
  return t.kind == Tok::Punct && t.text == punct;
}

bool ModelParser::is_word(std::string_view word, std::size_t ahead) const {
  const Token& t = peek(ahead);
  return t.kind == Tok::Ident && t.text == word;
}

bool ModelParser::accept(std::string_view punct) {
  if (!is(punct)) return false;
  advance();
  return true;
}

const Token& ModelParser::expect(std::string_view punct) {
  if (!is(punct)) missing(punct);
  return advance();
}

bool ModelParser::accept_word(std::string_view word) {
  if (!is_word(word)) return false;
  advance();
  return true;
}

const Token& ModelParser::expect_word(std::string_view word) {
  if (!is_word(word)) missing(word);
  return advance();
}

const Token& ModelParser::expect_name() {
  const Token& t = peek();
  if (t.kind != Tok::Ident || is_reserved(t.text)) syntax_error(t);
  return advance();
}

// ---- items ----

void ModelParser::parse_item() {
  const Token& t = peek();
  if (accept(";")) return;
  if (is("{")) return set_declaration(false);
  if (t.kind != Tok::Ident) syntax_error(t);
  std::string_view word = t.text;
  // `using CPLEX;` names the mathematical-programming engine, which is what this compiler targets.
  if (word == "using" && is_word("CPLEX", 1) && is(";", 2)) {
    for (int k = 0; k < 3; ++k) advance();
    return;
  }
  if (word == "using") unsupported_construct(t);
  for (const UnsupportedWord& u : kUnsupportedItems) {
    if (word == u.word) unsupported_construct(t);
  }
  if (word == "execute" || word == "main") return script_block();
  if (word == "assert") return assertion();
  if (word == "constraint") return constraint_declaration();
  if (word == "setof") return set_declaration(true);
  if (word == "tuple") return tuple_type();
  if (word == "range") return range_declaration();
  if (is_basic_type(word)) return parameter();
  if (word == "dvar") return decision_variable();
  if (word == "dexpr") return decision_expression();
  if (word == "pwlFunction") return pwl_declaration();
  if (word == "maximize" || word == "minimize") return objective(advance());
  if (word == "subject") {
    advance();
    expect_word("to");
    constraint_block();
    constraints_read_ = true;
    return;
  }
  if (word == "constraints") {
    advance();
    constraint_block();
    constraints_read_ = true;
    return;
  }
  const Symbol* symbol = find_symbol(std::string(word));
  if (symbol != nullptr && symbol->kind == Kind::TupleType) return tuple_array(advance());
  syntax_error(t);
}

void ModelParser::unsupported_construct(const Token& word) {
  if (word.text == "using") {
    const Token& what = peek(1);
    std::string name = what.kind == Tok::Ident ? " " + std::string(what.text) : "";
    fail("Unsupported construct 'using" + name + "': only linear and mixed-integer models are supported", word.line);
  }
  for (const UnsupportedWord& u : kUnsupportedItems) {
    if (word.text == u.word) {
      fail("Unsupported construct '" + std::string(u.word) + "': " + std::string(u.advice), word.line);
    }
  }
  syntax_error(word);
}

const Symbol& ModelParser::declare(const Token& name, Symbol symbol) {
  std::string key(name.text);
  if (symbols_.count(key)) {
    fail("Symbol '" + key + "' is declared twice. Hint: give each declaration its own name.", name.line);
  }
  return symbols_.emplace(std::move(key), std::move(symbol)).first->second;
}

void ModelParser::add_declaration(Ref decl) {
  append(declarations_, decl);
}

// "_" + base + suffix, made fresh: the names of what the parser adds to the model.
std::string ModelParser::hidden_name(std::string_view base, std::string_view suffix) {
  std::string name = "_";
  name.append(base);
  name.append(suffix);
  return fresh_name(name);
}

std::string ModelParser::fresh_name(const std::string& base) {
  std::string name = base;
  for (int n = 2; identifiers_.count(name); ++n) name = base + "_" + std::to_string(n);
  identifiers_.insert(name);
  return name;
}

// ---- declarations ----

// assert condition;  assert forall(i in I : filter) condition;  (checked with the data)
void ModelParser::assertion() {
  int line = advance().line;
  const char* first = peek().text.data();
  std::vector<IteratorEntry> entries;
  Ref filter;
  bool over = accept_word("forall");
  if (over) {
    expect("(");
    entries = iterator_list(false);
    filter = with_pattern_filters(entries, accept(":") ? expression() : Ref());
    expect(")");
  }
  data_only_context_ = "an assert: it checks the data only";
  Ref condition = expression();
  data_only_context_.clear();
  pop_scope(entries);
  const Token& last = tokens_[pos_ - 1];
  std::string_view written(first, static_cast<std::size_t>(last.text.data() + last.text.size() - first));
  expect(";");
  Ref n = node(K::assert_statement, {{K::text_, py_str(written)}});
  if (over) set_item(n, K::iterators, entries_list(entries));
  if (filter) set_item(n, K::index_constraint, filter);
  set_item(n, K::expression, condition);
  set_item(n, K::lineno, py_int(line));
  add_declaration(std::move(n));
}

// constraint c;  constraint c[I];  declares the names that labels give; the labels are enough.
void ModelParser::constraint_declaration() {
  advance();
  std::string owner(expect_name().text);
  std::vector<IteratorEntry> entries;
  if (is("[")) named_dimensions(owner, entries);
  expect(";");
}

// tuple T { int a; string b; }
void ModelParser::tuple_type() {
  int line = advance().line;
  const Token& name = expect_name();
  expect("{");
  Symbol symbol{Kind::TupleType};
  Ref fields = new_list();
  struct SetField {
    TupleField field;
    std::size_t position;
    int line;
  };
  std::vector<SetField> set_fields;
  std::size_t written = 0;
  while (!accept("}")) {
    accept_word("key");
    std::string type;
    const Token& type_token = peek();
    if (is_word("setof")) {
      fail("Unsupported set-valued field written with 'setof' in tuple '" + std::string(name.text) +
               "': write it as '{string} after;'",
           type_token.line);
    }
    if (accept("{")) {
      const Token& element_token = peek();
      if (element_token.kind != Tok::Ident || !is_basic_type(element_token.text)) {
        fail("Unsupported set-valued field in tuple '" + std::string(name.text) +
                 "': its elements must be int, float or string values",
             element_token.line);
      }
      std::string element = value_type();
      expect("}");
      const Token& field = expect_name();
      expect(";");
      set_fields.push_back({{std::string(field.text), element}, written++, field.line});
      continue;
    }
    if (type_token.kind == Tok::Ident && is_basic_type(type_token.text)) {
      type = value_type();
    } else {
      const Symbol* nested = find_symbol(std::string(type_token.text));
      if (nested == nullptr || nested->kind != Kind::TupleType) syntax_error(type_token);
      if (nested->set_fields) {
        fail("Unsupported field of tuple type '" + std::string(type_token.text) + "' in tuple '" +
                 std::string(name.text) + "': '" + std::string(type_token.text) + "' has a set-valued field",
             type_token.line);
      }
      type = std::string(advance().text);
    }
    const Token& field = expect_name();
    for (const TupleField& f : symbol.fields) {
      if (f.name == field.text) {
        fail("Field '" + f.name + "' is declared twice in tuple '" + std::string(name.text) +
                 "'. Hint: give each field its own name.",
             field.line);
      }
    }
    expect(";");
    symbol.fields.push_back({std::string(field.text), type});
    ++written;
    Ref record = new_dict();
    set_item(record, K::name, py_str(field.text));
    set_item(record, K::type, py_str(type));
    append(fields, record);
  }
  accept(";");
  symbol.set_fields = !set_fields.empty();
  declare(name, std::move(symbol));
  add_declaration(
      node(K::tuple_type_decl, {{K::name, py_str(name.text)}, {K::fields, fields}, {K::lineno, py_int(line)}}));
  // Last field first: instantiation takes each out of the tuples' data, and the places of the
  // fields before it stay as written.
  for (std::size_t k = set_fields.size(); k-- > 0;) {
    std::vector<std::size_t> earlier;
    for (std::size_t e = 0; e < k; ++e) earlier.push_back(set_fields[e].position);
    tuple_set_field(std::string(name.text), set_fields[k].field, set_fields[k].position, earlier, set_fields[k].line);
  }
}

// range R = a..b;  or  range R = ...;
void ModelParser::range_declaration() {
  int line = advance().line;
  if (is_word("float")) {
    fail("Unsupported construct 'range float': give the bounds to the variables instead, as in "
         "'dvar float x in 0.5..2.5;'",
         line);
  }
  const Token& name = expect_name();
  expect("=");
  Symbol symbol{Kind::Range};
  Ref decl;
  if (accept("...")) {
    decl = node(K::range_declaration_external, {{K::name, py_str(name.text)}, {K::lineno, py_int(line)}});
  } else {
    symbol.start = bound_expression();
    expect("..");
    symbol.end = bound_expression();
    decl =
        node(K::range_declaration_inline,
             {{K::name, py_str(name.text)}, {K::start, symbol.start}, {K::end, symbol.end}, {K::lineno, py_int(line)}});
  }
  expect(";");
  declare(name, std::move(symbol));
  add_declaration(std::move(decl));
}

// int, int+, float, float+, string, boolean
std::string ModelParser::value_type() {
  std::string type(advance().text);
  if ((type == "int" || type == "float") && accept("+")) type += "+";
  return type;
}

// int n;  int n = ...;  int n = 3;  float c[I][1..3] = ...;  int d[1..2] = [4, 5];
// int m = max(i in I) c[i];  float a[i in I] = 2 * i;  (computed when the data is in: instantiate.cpp)
void ModelParser::parameter() {
  int line = peek().line;
  std::string type = value_type();
  const Token& name = expect_name();
  std::string owner(name.text);
  std::vector<IteratorEntry> entries;
  Ref dims = is("[") ? named_dimensions(owner, entries) : Ref();
  bool indexed = static_cast<bool>(dims);
  Ref decl = new_dict();
  Ref value, computed;
  const Key* kind = indexed ? &K::parameter_external_indexed : &K::parameter_external;
  if (accept("=")) {
    if (accept("...")) {
      kind = indexed ? &K::parameter_external_explicit_indexed : &K::parameter_external_explicit;
    } else if (literal_ahead() && (!indexed || is("["))) {
      int value_line = peek().line;
      value = literal(owner, type);
      if (is_list(value) != indexed) {
        fail("Unsupported initializer of parameter '" + owner + "': " +
                 (indexed ? "an array takes a list [...] of values, or an expression over its named indices, as in "
                            "'float a[i in I] = 2 * i;'"
                          : "a scalar takes one value, not a list"),
             value_line);
      }
      kind = indexed ? &K::parameter_inline_indexed : &K::parameter_inline;
    } else {
      for (IteratorEntry& e : entries) {
        if (e.name.empty()) e.name = hidden_name(owner, "_i");
      }
      computed = initializer(owner, entries);
      kind = indexed ? &K::parameter_computed_indexed : &K::parameter_computed;
    }
  }
  expect(";");
  set_item(decl, K::type, *kind);
  set_item(decl, K::name, py_str(owner));
  if (value) set_item(decl, K::value, value);
  if (indexed) set_item(decl, K::dimensions, dims);
  if (computed && indexed) set_item(decl, K::iterators, entries_list(entries));
  if (computed) set_item(decl, K::expression, computed);
  set_item(decl, K::value_type, py_str(type));
  set_item(decl, K::lineno, py_int(line));
  Symbol symbol{Kind::Param, indexed ? static_cast<std::size_t>(len(dims)) : 0, type};
  symbol.after_solve = computed && reads_solution_;
  if (symbol.after_solve) set_item(decl, K::reads_solution, Py_True);
  declare(name, std::move(symbol));
  add_declaration(std::move(decl));
}

// The expression of an initialised declaration, with its named indices in scope. One that reads
// decision variables is computed after the solve (reads_solution_ says so afterwards).
Ref ModelParser::initializer(const std::string& owner, const std::vector<IteratorEntry>& entries) {
  push_scope(entries);
  Ref e = solution_readable([&] { return expression(); }, "the initializer of '" + owner + "'");
  pop_scope(entries);
  return e;
}

Ref ModelParser::solution_readable(const std::function<Ref()>& read, const std::string& where) {
  data_only_context_ = where + ": it is computed from the data only";
  solution_readable_ = true;
  reads_solution_ = false;
  Ref e = read();
  solution_readable_ = false;
  data_only_context_.clear();
  return e;
}

// Decision variables, decision expressions and what is computed from them have values only after
// the solve: an initializer may read them (and waits for the solve), data-only text may not, and
// the model itself may not read a value computed from its own solution.
void ModelParser::check_solution_use(const std::string& name, const Symbol& symbol, int line) {
  bool decision = symbol.kind == Kind::Dvar || symbol.kind == Kind::Dexpr;
  if (!decision && !symbol.after_solve) return;
  if (solution_readable_) {
    reads_solution_ = true;
  } else if (!data_only_context_.empty()) {
    fail("Unsupported use of " + std::string(decision ? "decision variable '" : "'") + name + "' in " +
             data_only_context_ + (decision ? "" : ", and '" + name + "' is computed from the solution"),
         line);
  } else if (symbol.after_solve) {
    fail("Unsupported use of '" + name + "' in the model: it is computed from the solution, so only "
         "post-processing can read it",
         line);
  }
}

// Whether the tokens up to the next ';' form a literal value: numbers, strings, booleans and the
// brackets of lists, sets and tuples. Anything else is an expression, computed with the data.
bool ModelParser::literal_ahead() const {
  for (std::size_t k = 0;; ++k) {
    const Token& t = peek(k);
    if (t.kind == Tok::End || (t.kind == Tok::Punct && t.text == ";")) return k > 0;
    if (t.kind == Tok::Number || t.kind == Tok::String) continue;
    if (t.kind == Tok::Ident && (t.text == "true" || t.text == "false")) continue;
    if (t.kind == Tok::Punct && t.text.size() == 1 && std::string_view("[]{}<>,").find(t.text) != std::string_view::npos) {
      continue;
    }
    if (t.kind == Tok::Punct && t.text == "-" && peek(k + 1).kind == Tok::Number) continue;
    return false;
  }
}

// {string} S = ...;  {int} S = {1, 2};  {T} Ts = ...;  {T} Ts = {<1, "a">};  setof(int) S = ...;
// {int} Even = {i | i in 1..n : i mod 2 == 0};  {string} U = A union B;  (computed: instantiate.cpp)
void ModelParser::set_declaration(bool setof) {
  int line = advance().line;
  if (setof) expect("(");
  const Token& type_token = peek();
  std::string type;
  bool of_tuples = false;
  if (type_token.kind == Tok::Ident && is_basic_type(type_token.text)) {
    type = value_type();
  } else {
    const Token& t = expect_name();
    type = std::string(t.text);
    const Symbol* tuple = find_symbol(type);
    if (tuple == nullptr) fail("Undeclared symbol '" + type + "'", t.line);
    if (tuple->kind != Kind::TupleType) syntax_error(t);
    of_tuples = true;
  }
  expect(setof ? ")" : "}");
  const Token& name = expect_name();
  if (is("[")) {
    return set_array(name, type, line);
  }
  std::string owner(name.text);
  Ref with = of_tuples && accept_word("with") ? with_clause(owner, type) : Ref();
  Ref value, computed;
  if (accept("=") && !accept("...")) {
    if (is("{") && literal_ahead()) {
      if (of_tuples && find_symbol(type)->set_fields) {
        fail("Unsupported set of tuples '" + owner + "' written in the model: tuple '" + type +
                 "' has a set-valued field, so give its tuples in the .dat file ('" + owner + " = ...;')",
             line);
      }
      value = literal(owner, of_tuples ? "" : type);
    } else {
      computed = solution_readable([&] { return set_expression(); }, "the initializer of set '" + owner + "'");
    }
  }
  expect(";");
  Ref decl = new_dict();
  const Key& kind = computed    ? K::set_computed
                    : of_tuples ? (value ? K::set_of_tuples : K::set_of_tuples_external)
                                : (value ? K::typed_set : K::typed_set_external);
  set_item(decl, K::type, kind);
  set_item(decl, K::name, py_str(owner));
  if (of_tuples) set_item(decl, K::tuple_type, py_str(type));
  if (value) set_item(decl, K::value, value);
  if (computed) set_item(decl, K::expression, computed);
  if (!of_tuples) set_item(decl, K::element_type, py_str(type));
  set_item(decl, K::lineno, py_int(line));
  Symbol symbol{of_tuples ? Kind::TupleSet : Kind::Set, 0, type};
  symbol.after_solve = computed && reads_solution_;
  if (symbol.after_solve) set_item(decl, K::reads_solution, Py_True);
  declare(name, std::move(symbol));
  add_declaration(std::move(decl));
  if (with) add_declaration(node(K::with_check, {{K::name, py_str(owner)}, {K::fields, with}, {K::lineno, py_int(line)}}));
}

// `with a in A, b in B`: each listed field of every tuple must be an element of its set; checked
// with the data (instantiate.cpp).
Ref ModelParser::with_clause(const std::string& owner, const std::string& tuple_type) {
  const Symbol& tuple = *find_symbol(tuple_type);
  Ref checks = new_list();
  do {
    const Token& field = expect_name();
    bool known = std::any_of(tuple.fields.begin(), tuple.fields.end(), [&](const TupleField& f) { return f.name == field.text; });
    if (!known) {
      fail("Unknown symbol '" + std::string(field.text) + "': tuple type '" + tuple_type + "' of '" + owner +
               "' has no such field",
           field.line);
    }
    expect_word("in");
    const Token& set = expect_name();
    const Symbol* symbol = find_symbol(std::string(set.text));
    if (symbol == nullptr) fail("Undeclared symbol '" + std::string(set.text) + "'", set.line);
    if (symbol->kind != Kind::Set && symbol->kind != Kind::TupleSet && symbol->kind != Kind::Range) {
      fail("Unsupported 'with' clause of '" + owner + "': '" + std::string(set.text) + "' is not a set", set.line);
    }
    Ref check = new_list();  // [field, set]: plain JSON, as every node of the tree
    append(check, py_str(field.text));
    append(check, py_str(set.text));
    append(checks, check);
  } while (accept(","));
  return checks;
}

// T arr[S] = ...;  with T a tuple type and S a declared set
void ModelParser::tuple_array(const Token& type_name) {
  const Token& name = expect_name();
  std::string owner(name.text);
  expect("[");
  const Token& set = peek();
  const Symbol* index = set.kind == Tok::Ident ? find_symbol(std::string(set.text)) : nullptr;
  if (set.kind == Tok::Ident && index == nullptr) fail("Undeclared symbol '" + std::string(set.text) + "'", set.line);
  if (index == nullptr || (index->kind != Kind::Set && index->kind != Kind::TupleSet) || !is("]", 1)) {
    fail("Unsupported index of tuple array '" + owner + "': index it by one declared set, as in 'T " + owner +
             "[S] = ...;'",
         set.line);
  }
  advance();
  expect("]");
  if (accept("=")) expect("...");
  expect(";");
  if (find_symbol(std::string(type_name.text))->set_fields) {
    fail("Unsupported tuple array '" + owner + "': tuple '" + std::string(type_name.text) +
             "' has a set-valued field; declare a set of them instead, as in '{" + std::string(type_name.text) +
             "} " + owner + " = ...;'",
         type_name.line);
  }
  declare(name, Symbol{Kind::TupleArray, 1, std::string(type_name.text)});
  add_declaration(node(K::tuple_array_external, {{K::name, py_str(owner)},
                                                 {K::tuple_type, py_str(type_name.text)},
                                                 {K::index_set, py_str(set.text)},
                                                 {K::lineno, py_int(type_name.line)}}));
}

// dvar float+ x[I][1..n] in 0..10;
void ModelParser::decision_variable() {
  int line = advance().line;
  const Token& domain = peek();
  if (domain.kind != Tok::Ident) syntax_error(domain);
  if (domain.text == "string") syntax_error(domain);
  if (!is_basic_type(domain.text)) {
    // `dvar interval t;` names an unsupported domain; `dvar x;` simply lacks one.
    if (is_reserved(domain.text) || peek(1).kind != Tok::Ident) syntax_error(domain);
    fail("Unsupported decision variable type '" + std::string(domain.text) +
             "': use boolean, int, int+, float or float+",
         domain.line);
  }
  std::string var_type = value_type();
  const Token& name = expect_name();
  std::string owner(name.text);
  std::vector<IteratorEntry> entries;
  Ref dims = is("[") ? named_dimensions(owner, entries) : Ref();
  Ref lower, upper;
  if (accept_word("in")) {
    push_scope(entries);
    data_only_context_ = "the bounds of '" + owner + "': they are computed from the data only";
    std::tie(lower, upper) = variable_bounds(owner);
    data_only_context_.clear();
    pop_scope(entries);
  }
  expect(";");
  Ref decl = new_dict();
  set_item(decl, K::type, dims ? K::dvar_indexed : K::dvar);
  set_item(decl, K::name, py_str(owner));
  set_item(decl, K::var_type, py_str(var_type));
  if (dims) set_item(decl, K::dimensions, dims);
  set_item(decl, K::lineno, py_int(line));
  declare(name, Symbol{Kind::Dvar, dims ? static_cast<std::size_t>(len(dims)) : 0, var_type});
  add_declaration(std::move(decl));
  if (lower) add_bound_constraints(owner, dims ? dims.get() : nullptr, entries, lower, upper, line);
}

// `in a..b`, or `in R` with R a declared range; the bounds may use the named indices.
std::pair<Ref, Ref> ModelParser::variable_bounds(const std::string& owner) {
  const Token& t = peek();
  const Symbol* range = t.kind == Tok::Ident && !find_iterator(std::string(t.text)) ? find_symbol(std::string(t.text))
                                                                                    : nullptr;
  if (range != nullptr && range->kind == Kind::Range && !is("..", 1) && !is("[", 1) && !is(".", 1)) {
    if (!range->start) {
      fail("Unsupported domain of '" + owner + "': range '" + std::string(t.text) +
               "' takes its bounds from the data; write 'in a..b' with its bounds instead",
           t.line);
    }
    advance();
    return {deep_copy(range->start), deep_copy(range->end)};
  }
  Ref lower = bound_expression();
  expect("..");
  Ref upper = bound_expression();
  return {std::move(lower), std::move(upper)};
}

// dexpr float total = ...;  dexpr float load[m in M] = ...;
void ModelParser::decision_expression() {
  int line = advance().line;
  const Token& type_token = peek();
  if (type_token.kind != Tok::Ident || !is_basic_type(type_token.text) || type_token.text == "string") {
    syntax_error(type_token);
  }
  std::string type = value_type();
  const Token& name = expect_name();
  std::vector<IteratorEntry> entries;
  while (accept("[")) {
    std::vector<IteratorEntry> more = iterator_list(true);
    pop_scope(more);
    for (const IteratorEntry& e : more) {
      if (e.filter || !e.bindings.empty()) {
        fail("Unsupported tuple pattern in the indices of decision expression '" + std::string(name.text) +
                 "': name the element instead, as in 'a in Arcs', and use its fields as a.field",
             line);
      }
    }
    for (IteratorEntry& e : more) entries.push_back(std::move(e));
    expect("]");
  }
  expect("=");
  Symbol symbol{Kind::Dexpr, entries.size(), type};
  push_scope(entries);
  Ref body;
  {
    CollectGlobals collect(used_globals_, &symbol.globals);
    body = expression();
  }
  pop_scope(entries);
  expect(";");
  for (const IteratorEntry& e : entries) symbol.params.push_back(e.name);
  symbol.body = body.copy();
  symbol.size = tree_size(body);
  Ref decl = new_dict();
  set_item(decl, K::type, entries.empty() ? K::dexpr : K::dexpr_indexed);
  set_item(decl, K::name, py_str(name.text));
  if (!entries.empty()) {
    Ref dims = new_list();
    for (const IteratorEntry& e : entries) append(dims, dimension_of(e.range));
    set_item(decl, K::iterators, entries_list(entries));
    set_item(decl, K::dimensions, dims);
  }
  set_item(decl, K::expression, body);
  set_item(decl, K::value_type, py_str(type));
  set_item(decl, K::lineno, py_int(line));
  declare(name, std::move(symbol));
  add_declaration(std::move(decl));
}

// [a..b][R][i in S]... (commas inside one pair of brackets are accepted as well). Each dimension
// also gives an iterator entry: named by its index (`i in S`), or with an empty name.
Ref ModelParser::named_dimensions(const std::string& owner, std::vector<IteratorEntry>& entries) {
  Ref dims = new_list();
  while (accept("[")) {
    do {
      if (peek().kind == Tok::Ident && is_word("in", 1)) {
        std::string index(expect_name().text);
        advance();
        auto [range, tuple_type] = iteration_range(index);
        append(dims, dimension_of(range));
        entries.push_back({index, std::move(range), tuple_type});
      } else {
        Ref dim = dimension(owner);
        entries.push_back({"", range_of(dim), ""});
        append(dims, dim);
      }
    } while (accept(","));
    expect("]");
  }
  return dims;
}

// The dimension a range of iterators spans.
Ref ModelParser::dimension_of(Handle range) {
  std::string_view kind = utf8(item(range, K::type));
  if (kind == "range_specifier") {
    return node(K::range_index, {{K::start, deep_copy(item(range, K::start))}, {K::end, deep_copy(item(range, K::end))}});
  }
  Ref range_name = item(range, K::name);
  if (kind == "named_range") return named_range_dimension(range_name, *find_symbol(std::string(utf8(range_name))));
  return node(K::named_set_dimension, {{K::name, range_name}});
}

// The range an iterator over a dimension runs over.
Ref ModelParser::range_of(Handle dim) {
  Ref type = item(dim, K::type);
  if (eq(type, K::range_index)) {
    return node(K::range_specifier, {{K::start, deep_copy(item(dim, K::start))}, {K::end, deep_copy(item(dim, K::end))}});
  }
  return node(eq(type, K::named_range_dimension) ? K::named_range : K::named_set, {{K::name, item(dim, K::name)}});
}

Ref ModelParser::dimension(const std::string& owner) {
  const Token& t = peek();
  if (t.kind == Tok::Ident && !is("..", 1) && (is("]", 1) || is(",", 1))) {
    std::string name(t.text);
    const Symbol* symbol = find_symbol(name);
    if (symbol == nullptr) fail("Undeclared symbol '" + name + "'", t.line);
    advance();
    if (symbol->kind == Kind::Range) return named_range_dimension(py_str(name), *symbol);
    if (symbol->kind == Kind::Set || symbol->kind == Kind::TupleSet) {
      return node(K::named_set_dimension, {{K::name, py_str(name)}});
    }
    fail(
        "Unsupported dimension '" + name + "' of '" + owner + "': use a range a..b, a declared range or a declared set",
        t.line);
  }
  Ref start = bound_expression();
  if (!is(".."))
    fail("Unsupported dimension of '" + owner + "': use a range a..b, a declared range or a declared set", peek().line);
  advance();
  Ref end = bound_expression();
  return node(K::range_index, {{K::start, start}, {K::end, end}});
}

// A bound of a declared range or dimension. The data section evaluates these from numbers, names
// and arithmetic only, so written parentheses are dropped (the tree keeps the grouping).
Ref ModelParser::bound_expression() {
  return without_parentheses(additive());
}

// A literal value of an inline parameter or set: numbers, strings, booleans, [lists], {sets} and
// <tuples>, nested. Values are checked against the declared type; ints become floats for floats.
Ref ModelParser::literal(const std::string& owner, const std::string& type) {
  RecursionGuard guard(" while reading a literal");
  const Token& t = peek();
  if (accept("[")) return literal_sequence(owner, type, "]");
  if (accept("{")) return literal_sequence(owner, type, "}");
  if (accept("<")) return literal_sequence(owner, "", ">");
  bool negative = accept("-");
  const Token& v = peek();
  auto mismatch = [&] {
    fail("Unsupported value " + std::string(v.text) + " for " + (type.empty() ? "" : type + " ") + "'" + owner + "'",
         v.line);
  };
  if (v.kind == Tok::Number) {
    advance();
    bool is_float = v.text.find_first_of(".eE") != std::string_view::npos;
    Ref number = source_.number(v.text, is_float);
    if (negative) number = check(PyNumber_Negative(number.get()));
    if (type == "string" || type == "boolean" || (is_float && (type == "int" || type == "int+"))) mismatch();
    if (type.rfind("float", 0) == 0 && !is_float) number = check(PyNumber_Float(number.get()));
    return number;
  }
  if (negative) syntax_error(v);
  if (v.kind == Tok::String) {
    advance();
    if (!type.empty() && type != "string") mismatch();
    return string_from_literal(v.text.substr(1, v.text.size() - 2));
  }
  if (v.kind == Tok::Ident && (v.text == "true" || v.text == "false")) {
    advance();
    if (!type.empty() && type != "boolean") mismatch();
    return py_bool(v.text == "true");
  }
  syntax_error(t);
}

Ref ModelParser::literal_sequence(const std::string& owner, const std::string& type, std::string_view close) {
  Ref values = new_list();
  while (!accept(close)) {
    append(values, literal(owner, type));
    if (accept(",") && is(close)) syntax_error(peek());
  }
  return values;
}

Ref parse_model_text(const Source& source) {
  return ModelParser(source, tokenize(source.text)).parse_reporting_depth();
}

}  // namespace oplparse
