// Piecewise-linear functions: `piecewise{s1 -> b1; s2 -> b2; s3}(x0, y0) e`, its iterated form
// `piecewise(i in I){s[i] -> b[i]; s_last} e`, and functions declared once with
// `pwlFunction f = piecewise{...}(x0, y0);` and applied as f(e).
//
// The syntax tree keeps the slopes and breakpoints as expressions (lists "slopes" and
// "breakpoints", and for the iterated form "pieces" with its iterators, "slope" and "breakpoint"),
// the optional point (x0, y0) the function passes through as "anchor", and the expression it is
// applied to as "argument". Instantiation computes the numbers (instantiate.cpp).
#include "parser.hpp"

namespace oplparse {

// The function without its argument: the braces and the optional point after them.
Ref ModelParser::piecewise_function(int line) {
  Ref slopes = new_list(), breakpoints = new_list();
  Ref n = node(K::piecewise, {{K::lineno, py_int(line)}});
  if (accept("(")) {
    std::vector<IteratorEntry> entries = iterator_list(true);
    Ref filter = with_pattern_filters(entries, accept(":") ? expression() : Ref());
    expect(")");
    expect("{");
    Ref slope = expression();
    expect("->");
    Ref breakpoint = expression();
    pop_scope(entries);
    Ref pieces = node(K::pieces, {{K::iterators, entries_list(entries)}, {K::slope, slope}, {K::breakpoint, breakpoint}});
    if (filter) set_item(pieces, K::index_constraint, filter);
    set_item(n, K::pieces, pieces);
    expect(";");
    append(slopes, expression());
  } else {
    expect("{");
    for (;;) {
      append(slopes, expression());
      if (!accept("->")) break;
      append(breakpoints, expression());
      expect(";");
    }
  }
  expect("}");
  set_item(n, K::slopes, slopes);
  set_item(n, K::breakpoints, breakpoints);
  return n;
}

// `piecewise{...}(x0, y0) e` and `piecewise{...} e`. A parenthesis after the braces holds the
// point when it holds two expressions, and is the argument itself when it holds one.
Ref ModelParser::piecewise_expression(const Token& keyword) {
  Ref n = piecewise_function(keyword.line);
  if (accept("(")) {
    Ref first = expression();
    if (!accept(",")) {
      expect(")");
      set_item(n, K::argument, node(K::parenthesized_expression, {{K::expression, first}}));
      return n;
    }
    Ref anchor = new_list();
    append(anchor, first);
    append(anchor, expression());
    expect(")");
    set_item(n, K::anchor, anchor);
  }
  set_item(n, K::argument, unary());
  return n;
}

// f(e) for `pwlFunction f = ...;`: a copy of the function applied to e.
Ref ModelParser::pwl_application(const Token& name, const Symbol& symbol) {
  if (!accept("(")) {
    fail("Unsupported use of the piecewise-linear function '" + std::string(name.text) + "' without an argument: write " +
             std::string(name.text) + "(x)",
         name.line);
  }
  Ref argument = expression();
  expect(")");
  Ref n = deep_copy(symbol.body);
  set_item(n, K::argument, argument);
  return n;
}

// pwlFunction f = piecewise{...}(x0, y0);
void ModelParser::pwl_declaration() {
  int line = advance().line;
  const Token& name = expect_name();
  if (is("[")) fail("Unsupported array of piecewise-linear functions '" + std::string(name.text) + "'", line);
  expect("=");
  const Token& keyword = peek();
  if (!is_word("piecewise")) syntax_error(keyword);
  advance();
  Ref body = piecewise_function(keyword.line);
  if (accept("(")) {
    Ref anchor = new_list();
    append(anchor, expression());
    expect(",");
    append(anchor, expression());
    expect(")");
    set_item(body, K::anchor, anchor);
  }
  expect(";");
  Symbol symbol(Kind::Pwl);
  symbol.body = std::move(body);
  declare(name, std::move(symbol));
}

}  // namespace oplparse
