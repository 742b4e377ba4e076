// Decision expressions are expanded where they are used: the code generators see the expression
// itself, in parentheses, with the index names of an indexed one replaced by the subscripts of
// the use. The replacement avoids capture: an aggregate inside the expression whose iterator
// has the name of something in a subscript gets a fresh iterator name.
#include "parser.hpp"

namespace oplparse {
namespace {

// Subscripts that can stand for an index name as they are; any other one is put in parentheses so
// that it keeps its grouping inside the operators around the name.
bool is_simple_operand(std::string_view type) {
  return type == "name" || type == "number" || type == "string_literal" || type == "boolean_literal" ||
         type == "parenthesized_expression" || type == "indexed_name" || type == "field_access";
}

// Every name a subtree mentions (names, subscripted names and index names).
void collect_names(Handle tree, std::set<std::string>& names) {
  RecursionGuard guard(" while expanding a decision expression");
  if (is_list(tree)) {
    for (Ref& element : Iterate(tree)) collect_names(element, names);
    return;
  }
  if (!is_dict(tree)) return;
  Ref type = get(tree, K::type);
  if (eq(type, K::name_node) && is_str(get(tree, K::value))) names.emplace(utf8(item(tree, K::value)));
  if ((eq(type, K::name_reference_index) || eq(type, K::indexed_name)) && is_str(get(tree, K::name))) {
    names.emplace(utf8(item(tree, K::name)));
  }
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(tree, &pos, &key, &value)) collect_names(value, names);
}

}  // namespace

std::size_t tree_size(Handle tree) {
  RecursionGuard guard(" while expanding a decision expression");
  std::size_t size = is_dict(tree) ? 1 : 0;
  if (is_list(tree)) {
    for (Ref& element : Iterate(tree)) size += tree_size(element);
  } else if (is_dict(tree)) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tree, &pos, &key, &value)) size += tree_size(value);
  }
  return size;
}

Ref ModelParser::substitute(const Token& use, const std::string& name, const Symbol& symbol, std::vector<Ref> args) {
  for (const Iterator& it : scope_) {
    if (symbol.globals.count(it.name)) {
      fail("Unsupported use of decision expression '" + name + "': the iterator '" + it.name +
               "' hides the declared name its expression uses; rename the iterator",
           use.line);
    }
  }
  if (args.size() != symbol.params.size()) {
    fail("Unsupported subscripts of decision expression '" + name + "': give one subscript per index", use.line);
  }
  // Each use copies the expression, which may itself hold copies of others: nested decision
  // expressions can grow exponentially, so the copies are counted against a limit.
  expanded_ += symbol.size;
  if (expanded_ > expansion_limit_) {
    fail("Decision expression '" + name + "' expands the model beyond " + std::to_string(expansion_limit_) +
             " nodes (decision expressions used inside one another grow exponentially); write the shared part once "
             "as a variable with an equality constraint, or raise korvane.oplparse.EXPANSION_LIMIT",
         use.line);
  }
  Replacements replacements;
  for (std::size_t i = 0; i < args.size(); ++i) {
    Replacement r;
    bool simple = is_simple_operand(utf8(item(args[i], K::type)));
    r.expression = simple ? args[i].copy() : node(K::parenthesized_expression, {{K::expression, args[i]}});
    r.index = index_node(args[i], r.why_not_index);
    replacements[symbol.params[i]] = std::move(r);
  }
  return node(K::parenthesized_expression, {{K::expression, rename(symbol.body, replacements, use.line)}});
}

// A copy of `tree` with the names in `replacements` replaced.
Ref ModelParser::rename(Handle tree, const Replacements& replacements, int line) {
  RecursionGuard guard(" while expanding a decision expression");
  if (replacements.empty()) return deep_copy(tree);
  if (is_list(tree)) {
    Ref copy = new_list();
    for (Ref& element : Iterate(tree)) append(copy, rename(element, replacements, line));
    return copy;
  }
  if (!is_dict(tree)) return Ref::borrow(tree);
  Ref type = get(tree, K::type);
  if (eq(type, K::name_node) || eq(type, K::name_reference_index)) {
    bool is_index = eq(type, K::name_reference_index);
    Ref name = get(tree, is_index ? K::name : K::value);
    auto found = is_str(name) ? replacements.find(std::string(utf8(name))) : replacements.end();
    if (found != replacements.end()) {
      const Replacement& r = found->second;
      if (is_index && !r.index) {
        fail("Unsupported index expression type '" + r.why_not_index + "' in a subscript of '" +
                 std::string(utf8(name)) + "'",
             line);
      }
      Ref copy = deep_copy(is_index ? r.index : r.expression);
      // A renamed iterator keeps the tuple type its uses were read with.
      if (contains(tree, K::sem_type) && is_dict(copy) && !contains(copy, K::sem_type) &&
          eq(get(copy, K::type), type)) {
        set_item(copy, K::sem_type, item(tree, K::sem_type));
      }
      return copy;
    }
  }
  if ((eq(type, K::sum) || eq(type, K::min_agg) || eq(type, K::max_agg)) && contains(tree, K::iterators)) {
    return rename_binder(tree, replacements, line);
  }
  Ref copy = new_dict();
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(tree, &pos, &key, &value)) set_item(copy, key, rename(value, replacements, line));
  return copy;
}

// An aggregate binds its iterators: they hide replaced names of the same name, and are renamed
// when a replacement mentions their name.
Ref ModelParser::rename_binder(Handle aggregate, Replacements replacements, int line) {
  std::set<std::string> mentioned;
  for (const auto& [param, r] : replacements) collect_names(r.expression, mentioned);
  Ref iterators = new_list();
  for (Ref& entry : Iterate(item(aggregate, K::iterators))) {
    Ref range = rename(item(entry, K::range), replacements, line);
    std::string it(utf8(item(entry, K::iterator)));
    replacements.erase(it);
    if (mentioned.count(it)) {
      std::string fresh = fresh_name(it);
      replacements[it] = Replacement{node(K::name_node, {{K::value, py_str(fresh)}}),
                                     node(K::name_reference_index, {{K::name, py_str(fresh)}}), ""};
      it = fresh;
    }
    Ref renamed = new_dict();
    set_item(renamed, K::iterator, py_str(it));
    set_item(renamed, K::range, range);
    append(iterators, renamed);
  }
  Ref copy = new_dict();
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(aggregate, &pos, &key, &value)) {
    set_item(copy, key, eq(key, K::iterators) ? iterators.copy() : rename(value, replacements, line));
  }
  return copy;
}

}  // namespace oplparse
