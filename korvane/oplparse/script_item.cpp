// `execute [name] { ... }` and `main { ... }` as items of a model: parsed into a script_block
// node of the syntax tree, with the phase in which it runs (before the model is built, after the
// solve, or as a main block, split at its solve).
#include "parser.hpp"
#include "script.hpp"

namespace oplparse {

void ModelParser::script_block() {
  const Token& keyword = peek();
  std::size_t end = 0;
  script::Program program;
  try {
    program = script::parse_block(source_.text, keyword.offset, keyword.line, &end);
    script::solve_statement(program);  // solves and generates out of place are refused now
  } catch (const lpsparse::ModelError& e) {
    fail(script::with_script_hint(e.message), static_cast<int>(e.lineno > 0 ? e.lineno : keyword.line));
  }
  // The model's tokens resume after the block, read again from there: the model lexer does not
  // know the script's strings, so a '/*' inside one may have swallowed text after the block.
  std::vector<Token> rest = tokenize(source_.text.substr(end));
  int lines_before = source_.line_at(end) - 1;
  for (Token& t : rest) {
    t.offset += end;
    t.line += lines_before;
  }
  tokens_.resize(pos_);
  tokens_.insert(tokens_.end(), rest.begin(), rest.end());
  std::vector<std::string> dvars, declared;
  for (const auto& [name, symbol] : symbols_) {
    bool solved = symbol.kind == Kind::Dvar || symbol.kind == Kind::Dexpr || symbol.after_solve;
    (solved ? dvars : declared).push_back(name);
  }
  std::string phase = "pre";
  if (program.kind == "main") {
    phase = "main";
  } else if (script::reads_solution(program, dvars)) {
    phase = "post";
  } else if (constraints_read_ && !script::writes_data(program, declared)) {
    phase = "post";
  }
  Ref block = script::block_node(program);
  set_item(block, py_str("phase"), py_str(phase));
  add_declaration(std::move(block));
}

}  // namespace oplparse
