// The recursive-descent parser of .mod files. It builds the model tree while it reads, checks
// every name against the declarations read so far, and keeps what later parts of the tree need
// to know about each name (its kind, its dimensions, the tuple type of its elements).
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lexer.hpp"
#include "source.hpp"

namespace oplparse {

enum class Kind { Param, Dvar, Dexpr, Range, Set, TupleSet, TupleType, TupleArray, SetArray, Pwl };

struct TupleField {
  std::string name;
  std::string type;
};

struct Symbol {
  explicit Symbol(Kind k, std::size_t d = 0, std::string t = {}) : kind(k), dims(d), type(std::move(t)) {}

  Kind kind;
  std::size_t dims;  // subscripts a use must give (0 for scalars)
  // Parameters: the value type; decision variables: the domain; sets: the element type; sets of
  // tuples and tuple arrays: the tuple type; decision expressions: the declared type.
  std::string type;
  Ref start, end;                   // ranges: the bound expressions
  std::vector<TupleField> fields;   // tuple types
  Ref body;                         // decision expressions: the expression; pwlFunction: the function
  std::vector<std::string> params;  // indexed decision expressions: the index names
  std::set<std::string> globals;    // decision expressions: the declared names they use
  bool after_solve = false;         // parameters and sets computed from decision variables
  std::size_t size = 0;             // decision expressions: the nodes of the expression
  std::string members;              // arrays of sets: the set of (index..., member) tuples that holds them
  bool set_fields = false;          // tuple types: some field holds a set (kept beside the tuples)
};

// The name of the array of sets that holds the set-valued field `field` of tuple type `tuple`; the
// dot keeps it apart from every name a model can declare.
inline std::string set_field_symbol(std::string_view tuple, std::string_view field) {
  std::string name(tuple);
  name += '.';
  name += field;
  return name;
}

// A loop variable in scope: of a forall, a sum, an aggregate or an indexed decision expression,
// or a name bound by a tuple pattern, which stands for a field of the pattern's iterator.
struct Iterator {
  Iterator(std::string n, std::string t) : name(std::move(n)), tuple_type(std::move(t)) {}
  Iterator(std::string n, std::string t, std::string b, std::string bt, std::string f)
      : name(std::move(n)), tuple_type(std::move(t)), base(std::move(b)), base_type(std::move(bt)), field(std::move(f)) {}

  std::string name;
  std::string tuple_type;  // empty unless it runs over a set of tuples (or is a field that is a tuple)
  std::string base, base_type, field;  // a pattern's name: its iterator, that iterator's tuple type, the field
};

// An iterator entry being built: {"iterator": name, "range": range node}, and its element type.
// A tuple pattern adds the names it binds and the conditions its other elements impose.
struct IteratorEntry {
  std::string name;
  Ref range;
  std::string tuple_type;
  std::vector<Iterator> bindings = {};
  Ref filter = {};
};

// What replaces an index name of a decision expression: the argument as an expression, and as an
// index node for subscripts (empty when the argument cannot be a subscript, with the reason).
struct Replacement {
  Ref expression;
  Ref index;
  std::string why_not_index;

  Replacement() = default;
  Replacement(Ref e, Ref i, std::string why)
      : expression(std::move(e)), index(std::move(i)), why_not_index(std::move(why)) {}
  // Copies share the nodes: replacements are copied before they are inserted anywhere.
  Replacement(const Replacement& o)
      : expression(o.expression.copy()), index(o.index.copy()), why_not_index(o.why_not_index) {}
  Replacement(Replacement&&) noexcept = default;
  Replacement& operator=(Replacement&&) noexcept = default;
  Replacement& operator=(const Replacement&) = delete;
};
using Replacements = std::map<std::string, Replacement>;

class ModelParser {
 public:
  ModelParser(const Source& source, std::vector<Token> tokens);
  Ref parse();
  // parse(), with a RecursionError from too deep nesting reworded to name the line.
  Ref parse_reporting_depth();

 private:
  // ---- tokens (model.cpp) ----
  const Token& peek(std::size_t ahead = 0) const;
  const Token& advance();
  bool is(std::string_view punct, std::size_t ahead = 0) const;
  bool is_word(std::string_view word, std::size_t ahead = 0) const;
  bool accept(std::string_view punct);
  const Token& expect(std::string_view punct);
  bool accept_word(std::string_view word);
  const Token& expect_word(std::string_view word);
  const Token& expect_name();
  [[noreturn]] void syntax_error(const Token& at) const;
  [[noreturn]] void fail(const std::string& message, int line) const;

  // ---- error wording and places (diagnose.cpp) ----
  [[noreturn]] void missing(std::string_view expected) const;
  void fail_if_unsupported(const Token& at) const;
  void fail_if_better_said(const std::string& message, int line) const;
  std::string typo_hint(const std::string& message) const;
  std::string field_hint(const std::string& message, std::size_t tuple_type) const;
  const Token* declared_with_iterator(const std::string& name, int line) const;
  std::string hint_for_token(const Token& at) const;
  std::string did_you_mean(const std::string& word) const;
  std::vector<std::string> known_words() const;
  std::size_t statement_start(std::size_t last) const;
  bool closes_block(std::size_t close) const;
  std::string statement_kind(std::size_t start) const;
  int column_for(const std::string& message, int line) const;

  // ---- items and declarations (model.cpp) ----
  void parse_item();
  [[noreturn]] void unsupported_construct(const Token& word);
  void assertion();
  void script_block();
  void constraint_declaration();
  void tuple_type();
  void range_declaration();
  void parameter();
  void set_declaration(bool setof);
  Ref with_clause(const std::string& owner, const std::string& tuple_type);
  void tuple_array(const Token& type_name);
  void decision_variable();
  void decision_expression();
  std::string value_type();
  Ref initializer(const std::string& owner, const std::vector<IteratorEntry>& entries);
  Ref solution_readable(const std::function<Ref()>& read, const std::string& where);
  void check_solution_use(const std::string& name, const Symbol& symbol, int line);
  bool literal_ahead() const;
  std::pair<Ref, Ref> variable_bounds(const std::string& owner);
  Ref named_dimensions(const std::string& owner, std::vector<IteratorEntry>& entries);
  Ref dimension(const std::string& owner);
  Ref dimension_of(Handle range);
  Ref range_of(Handle dim);
  Ref bound_expression();
  Ref literal(const std::string& owner, const std::string& type);
  Ref literal_sequence(const std::string& owner, const std::string& type, std::string_view close);
  const Symbol& declare(const Token& name, Symbol symbol);
  void add_declaration(Ref decl);
  std::string fresh_name(const std::string& base);
  std::string hidden_name(std::string_view base, std::string_view suffix);

  // ---- objective and constraints (constraints.cpp) ----
  void objective(const Token& sense);
  void constraint_block();
  void statements_until_brace(Handle out);
  void constraint_statement(Handle out);
  std::string statement_label();
  Ref forall();
  void if_statement(Handle out);
  Ref if_branch();
  void implied_by(Handle antecedent, Handle branch, Handle out, int line);
  std::vector<Ref> constraint_expression();
  Ref implication_side(Handle side, int line);
  Ref boolean_operands(Handle node);
  bool is_boolean_dvar(Handle node) const;
  bool mentions_decision_variable(Handle tree) const;

  // ---- logical constraints (constraints.cpp) ----
  Ref equivalence_of(Handle comparison);
  void logical_constraints(Handle condition, std::vector<Ref>& out);
  Ref negated(Handle condition);
  bool is_condition(Handle node) const;
  static bool is_combination(Handle node);
  static bool holds_equivalence(Handle node);
  static Ref as_condition(Handle side);
  void add_bound_constraints(const std::string& var, Handle dims, const std::vector<IteratorEntry>& entries,
                             Handle lower, Handle upper, int line);

  // ---- expressions (expressions.cpp) ----
  Ref expression();
  Ref logical_or();
  Ref logical_and();
  Ref comparison();
  Ref membership(Ref element);
  Ref additive();
  Ref term();
  Ref unary();
  Ref postfix(Ref base);
  Ref primary();
  Ref reference(const Token& name);
  Ref field_access(Ref base, const Token& dot);
  Ref call(const Token& function);
  Ref aggregate(const Token& keyword);
  Ref tuple_literal();
  std::vector<Ref> subscripts();
  Ref indexed_reference(const Token& name, const Symbol& symbol, std::vector<Ref> subs);
  Ref index_node(Handle expr, std::string& why_not);
  Ref index_of(Handle expr, const std::string& owner, int line);
  const Iterator* find_iterator(const std::string& name) const;
  const Symbol* find_symbol(const std::string& name);

  // ---- iterators (expressions.cpp) ----
  // Reads `i in R, j, k in a..b, ...`; with `siblings_visible` each iterator is in scope for the
  // ranges after it (sums), otherwise only once the whole list is read (foralls).
  std::vector<IteratorEntry> iterator_list(bool siblings_visible);
  std::pair<Ref, std::string> iteration_range(const std::string& iterator);
  IteratorEntry tuple_pattern();
  Ref with_pattern_filters(const std::vector<IteratorEntry>& entries, Ref filter);
  Ref entries_list(const std::vector<IteratorEntry>& entries);
  void push_scope(const std::vector<IteratorEntry>& entries);
  void pop_scope(const std::vector<IteratorEntry>& entries);

  // ---- set expressions (sets.cpp) ----
  Ref set_expression();
  Ref set_operand();
  Ref set_braces();
  bool set_expression_ahead() const;
  std::pair<Ref, std::string> hidden_set(const std::string& where);
  std::string tuple_type_of(Handle expression);
  void set_array(const Token& name, const std::string& element_type, int line);
  // An array of sets as used: `Q[i]`, or `t.f` with f a set-valued field of t's tuple type.
  struct SetArrayUse {
    const Symbol* symbol;
    std::string name;
    std::vector<Ref> subs;
  };
  const Symbol* set_array_ahead(std::size_t ahead = 0);
  SetArrayUse set_array_use();
  void tuple_set_field(const std::string& tuple, const TupleField& field, std::size_t position,
                       const std::vector<std::size_t>& earlier, int line);
  IteratorEntry set_array_entry();
  Ref set_array_card();
  Ref set_array_membership(Ref element);
  std::vector<Ref> array_subscripts(const Token& array, const Symbol& symbol);
  std::string member_tuple_type(const Symbol& array);
  Ref member_filter(const IteratorEntry& entry, const std::vector<Ref>& subscripts);

  // ---- piecewise-linear functions (piecewise.cpp) ----
  Ref piecewise_function(int line);
  Ref piecewise_expression(const Token& keyword);
  Ref pwl_application(const Token& name, const Symbol& symbol);
  void pwl_declaration();

  // ---- decision expressions (dexpr.cpp) ----
  Ref substitute(const Token& use, const std::string& name, const Symbol& symbol, std::vector<Ref> args);
  Ref rename(Handle tree, const Replacements& replacements, int line);
  Ref rename_binder(Handle aggregate, Replacements replacements, int line);

  const Source& source_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  std::unordered_map<std::string, Symbol> symbols_;
  std::set<std::string> identifiers_;              // every name of the text, and fresh ones handed out
  std::vector<Iterator> scope_;                    // innermost last
  std::vector<std::string> pending_iterators_;     // of a forall header still being read
  std::vector<std::string> label_iterators_;       // of the enclosing foralls, outermost first
  std::string block_label_;                        // of an enclosing labelled forall or block
  std::set<std::string>* used_globals_ = nullptr;  // set while a decision expression is read
  std::size_t expansion_limit_;                    // the most nodes decision expressions may expand to
  std::size_t expanded_ = 0;                       // nodes expanded so far
  std::string data_only_context_;                  // while data-only text is read: where, and why
  bool solution_readable_ = false;                 // while an initializer that may read the solution is read
  bool reads_solution_ = false;                    // it did: the declaration waits for the solve
  Ref declarations_;
  Ref constraints_;
  Ref bound_constraints_;
  Ref objective_;
  bool constraints_read_ = false;  // the block of constraints is behind: later script blocks run after the solve
};

// The number of nodes (dictionaries) of a tree.
std::size_t tree_size(Handle tree);

// The operators of comparisons, in expressions and constraints.
bool is_comparison_op(std::string_view op);

// Words that name constructs of the language; none can be declared as a name.
bool is_reserved(std::string_view word);

// Every name a subtree mentions (names, subscripted names and index names).
void collect_names(Handle tree, std::set<std::string>& names);

}  // namespace oplparse
