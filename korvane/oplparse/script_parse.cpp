// The parser of script blocks: statements and expressions of the script subset into an arena of
// nodes. Constructs outside the subset are refused here, where the whole block is seen, so that
// none is skipped because the branch holding it did not run.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>

#include "script.hpp"
#include "script_lexer.hpp"

namespace oplparse::script {
namespace {

// Words of JavaScript that introduce what the subset leaves out.
constexpr std::string_view kRefusedWords[] = {"function", "return", "switch", "case",   "default", "do",
                                              "try",      "catch",  "throw",  "with",   "delete",  "typeof",
                                              "instanceof", "this", "void",   "yield",  "let",     "const",
                                              "class"};

// Functions of Math and Opl, and the methods of the solver and model objects of main blocks.
constexpr std::string_view kMathFunctions[] = {"abs", "min", "max", "floor", "ceil", "round", "sqrt", "pow", "exp", "log"};
constexpr std::string_view kOplFunctions[] = {"ord", "first", "last", "card", "item", "next", "prev", "abs", "floor",
                                              "ceil", "round"};
constexpr std::string_view kCplexMethods[] = {"solve", "getObjValue", "end"};
constexpr std::string_view kModelMethods[] = {"generate", "postProcess", "end"};

template <std::size_t N>
bool listed(const std::string_view (&words)[N], std::string_view w) {
  return std::find(std::begin(words), std::end(words), w) != std::end(words);
}

class BlockParser {
 public:
  BlockParser(std::string_view text, std::size_t offset, int line)
      : text_(text), tokens_(tokenize_block(text, offset, line)) {}

  Program parse(std::size_t* end) {
    const SToken& keyword = advance();
    program_.kind = std::string(keyword.text);
    program_.line = keyword.line;
    program_.base = keyword.offset;
    if (program_.kind == "execute" && peek().kind == STok::Ident) program_.name = std::string(advance().text);
    expect("{");
    while (!is("}")) program_.statements.push_back(statement());
    const SToken& close = advance();
    *end = close.offset + 1;
    program_.source = std::string(text_.substr(keyword.offset, *end - keyword.offset));
    resolve_slots();
    return std::move(program_);
  }

 private:
  // ---- tokens ----
  const SToken& peek(std::size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }
  const SToken& advance() {
    const SToken& t = tokens_[pos_];
    if (t.kind != STok::End) ++pos_;
    return t;
  }
  bool is(std::string_view punct, std::size_t ahead = 0) const {
    const SToken& t = peek(ahead);
    return t.kind == STok::Punct && t.text == punct;
  }
  bool is_word(std::string_view word, std::size_t ahead = 0) const {
    const SToken& t = peek(ahead);
    return t.kind == STok::Ident && t.text == word;
  }
  bool accept(std::string_view punct) {
    if (!is(punct)) return false;
    advance();
    return true;
  }
  void expect(std::string_view punct) {
    if (!accept(punct)) syntax_error();
  }
  [[noreturn]] void syntax_error() const {
    const SToken& t = peek();
    std::string found = t.kind == STok::End ? "the end of the block" : "'" + std::string(t.text) + "'";
    throw ModelError{"Syntax error in " + title() + ": unexpected " + found + " at line " + std::to_string(t.line),
                     t.line};
  }
  std::string title() const {
    Program header;
    header.kind = program_.kind;
    header.name = program_.name;
    header.line = program_.line;
    return header.title();
  }

  // A construct outside the subset: the error quotes the statement around it.
  [[noreturn]] void refuse(const std::string& what, int line) const {
    std::size_t begin = statement_start_;
    std::size_t end = std::min(text_.find_first_of(";\n", begin), text_.size());
    std::string quoted(text_.substr(begin, end - begin));
    throw ModelError{"Statement '" + quoted + "' at line " + std::to_string(line) + " of " + title() + ": " + what +
                         " is not supported in script blocks",
                     line};
  }

  int add(Node n) {
    program_.nodes.push_back(std::move(n));
    return static_cast<int>(program_.nodes.size() - 1);
  }
  Node make(NodeKind kind, const SToken& at) {
    Node n{kind};
    n.line = at.line;
    n.begin = at.offset;
    return n;
  }
  int finish(Node n) {
    n.end = pos_ > 0 ? tokens_[pos_ - 1].offset + tokens_[pos_ - 1].text.size() : n.begin;
    return add(std::move(n));
  }

  int declare(const std::string& name) {
    auto [it, added] = slot_of_.emplace(name, static_cast<int>(program_.slot_names.size()));
    if (added) program_.slot_names.push_back(name);
    return it->second;
  }

  void resolve_slots() {
    for (Node& n : program_.nodes) {
      if (n.kind != NodeKind::Ident) continue;
      auto it = slot_of_.find(n.text);
      if (it != slot_of_.end()) n.slot = it->second;
    }
  }

  // ---- statements ----

  int statement() {
    RecursionGuard guard(" while reading a script block");
    std::size_t saved = statement_start_;
    statement_start_ = peek().offset;
    int s = statement_body();
    statement_start_ = saved;
    return s;
  }

  int statement_body() {
    const SToken& t = peek();
    if (t.kind == STok::End) syntax_error();
    if (is("{")) return block();
    if (accept(";")) return finish(make(NodeKind::Empty, t));
    if (t.kind == STok::Ident) {
      std::string_view w = t.text;
      if (listed(kRefusedWords, w)) refuse("'" + std::string(w) + "'", t.line);
      if (w == "var") return var_statement(true);
      if (w == "if") return if_statement();
      if (w == "while") return while_statement();
      if (w == "for") return for_statement();
      if (w == "break" || w == "continue") {
        advance();
        Node n = make(w == "break" ? NodeKind::Break : NodeKind::Continue, t);
        accept(";");
        return finish(std::move(n));
      }
    }
    Node n = make(NodeKind::ExprStmt, t);
    n.a = expression();
    end_of_statement();
    return finish(std::move(n));
  }

  // Semicolons may be left out before a closing brace or at the end of a line, as JavaScript allows.
  void end_of_statement() {
    if (accept(";") || is("}") || peek().kind == STok::End) return;
    if (peek().line > tokens_[pos_ - 1].line) return;
    syntax_error();
  }

  int block() {
    Node n = make(NodeKind::Block, advance());
    while (!is("}")) n.list.push_back(statement());
    advance();
    return finish(std::move(n));
  }

  int var_statement(bool terminated) {
    Node n = make(NodeKind::Var, advance());
    do {
      const SToken& name = peek();
      if (name.kind != STok::Ident || listed(kRefusedWords, name.text)) syntax_error();
      advance();
      n.names.emplace_back(name.text);
      n.slots.push_back(declare(std::string(name.text)));
      n.list.push_back(accept("=") ? assignment() : -1);
    } while (accept(","));
    if (terminated) end_of_statement();
    return finish(std::move(n));
  }

  // The condition of an if or a while: an expression in parentheses.
  int condition() {
    expect("(");
    int e = expression();
    expect(")");
    return e;
  }

  int if_statement() {
    Node n = make(NodeKind::If, advance());
    n.a = condition();
    n.b = statement();
    if (is_word("else")) {
      advance();
      n.c = statement();
    }
    return finish(std::move(n));
  }

  int while_statement() {
    Node n = make(NodeKind::While, advance());
    n.a = condition();
    n.b = statement();
    return finish(std::move(n));
  }

  int for_statement() {
    const SToken& keyword = advance();
    expect("(");
    bool declares = is_word("var");
    std::size_t name_at = declares ? 1 : 0;
    if (peek(name_at).kind == STok::Ident && is_word("in", name_at + 1)) {
      Node n = make(NodeKind::ForIn, keyword);
      if (declares) advance();
      n.text = std::string(advance().text);
      n.flag = declares;
      if (declares) declare(n.text);
      advance();  // in
      n.a = expression();
      expect(")");
      n.b = statement();
      return finish(std::move(n));
    }
    Node n = make(NodeKind::For, keyword);
    if (!is(";")) n.a = declares ? var_statement(false) : expression_statement();
    expect(";");
    if (!is(";")) n.b = expression();
    expect(";");
    if (!is(")")) n.c = expression_statement();
    expect(")");
    n.d = statement();
    return finish(std::move(n));
  }

  int expression_statement() {
    Node n = make(NodeKind::ExprStmt, peek());
    n.a = expression();
    return finish(std::move(n));
  }

  // ---- expressions ----

  int expression() {
    int e = assignment();
    if (is(",")) refuse("the comma operator", peek().line);
    return e;
  }

  int assignment() {
    RecursionGuard guard(" while reading a script block");
    const SToken& start = peek();
    int target = conditional();
    const SToken& op = peek();
    if (op.kind == STok::Punct && (op.text == "=" || op.text == "+=" || op.text == "-=" || op.text == "*=" ||
                                   op.text == "/=" || op.text == "%=")) {
      check_target(target, op.line);
      advance();
      Node n = make(NodeKind::Assign, start);
      n.text = std::string(op.text);
      n.op = op_code(op.text);
      n.a = target;
      n.b = assignment();
      return finish(std::move(n));
    }
    return target;
  }

  void check_target(int target, int line) const {
    NodeKind k = program_.at(target).kind;
    if (k != NodeKind::Ident && k != NodeKind::Member && k != NodeKind::Index) {
      refuse("assigning to something other than a variable, an element or a field", line);
    }
  }

  int conditional() {
    const SToken& start = peek();
    int test = binary(0);
    if (!is("?")) return test;
    advance();
    Node n = make(NodeKind::Conditional, start);
    n.a = test;
    n.b = assignment();
    expect(":");
    n.c = assignment();
    return finish(std::move(n));
  }

  // Binary operators by precedence level, loosest first.
  static int level_of(std::string_view op) {
    static const std::map<std::string_view, int> levels = {
        {"||", 0}, {"&&", 1}, {"==", 2}, {"!=", 2}, {"===", 2}, {"!==", 2}, {"<", 3}, {">", 3}, {"<=", 3},
        {">=", 3}, {"+", 4},  {"-", 4},  {"*", 5},  {"/", 5},   {"%", 5}};
    auto it = levels.find(op);
    return it == levels.end() ? -1 : it->second;
  }

  int binary(int level) {
    if (level > 5) return unary();
    const SToken& start = peek();
    int left = binary(level + 1);
    for (;;) {
      const SToken& op = peek();
      if (op.kind == STok::Punct && (op.text == "&" || op.text == "|")) refuse("the bitwise operator '" + std::string(op.text) + "'", op.line);
      if (op.kind == STok::Ident && op.text == "in") refuse("the operator 'in'", op.line);
      if (op.kind != STok::Punct || level_of(op.text) != level) return left;
      advance();
      Node n = make(level <= 1 ? NodeKind::Logical : NodeKind::Binary, start);
      n.text = std::string(op.text);
      n.op = op_code(op.text);
      n.a = left;
      n.b = binary(level + 1);
      left = finish(std::move(n));
    }
  }

  int unary() {
    RecursionGuard guard(" while reading a script block");
    const SToken& t = peek();
    if (is("!") || is("-") || is("+")) {
      advance();
      Node n = make(NodeKind::Unary, t);
      n.text = std::string(t.text);
      n.op = t.text == "!" ? Op::Not : t.text == "-" ? Op::Neg : Op::Plus;
      n.a = unary();
      return finish(std::move(n));
    }
    if (is("++") || is("--")) {
      advance();
      Node n = make(NodeKind::Update, t);
      n.text = std::string(t.text);
      n.op = t.text == "++" ? Op::Add : Op::Sub;
      n.flag = true;
      n.a = unary();
      check_target(n.a, t.line);
      return finish(std::move(n));
    }
    return postfix(primary());
  }

  int postfix(int e) {
    for (;;) {
      const SToken& t = peek();
      if (accept(".")) {
        const SToken& name = peek();
        if (name.kind != STok::Ident) syntax_error();
        advance();
        Node n = make(NodeKind::Member, t);
        n.begin = program_.at(e).begin;
        n.a = e;
        n.text = std::string(name.text);
        e = finish(std::move(n));
      } else if (accept("[")) {
        Node n = make(NodeKind::Index, t);
        n.begin = program_.at(e).begin;
        n.a = e;
        n.b = expression();
        expect("]");
        e = finish(std::move(n));
      } else if (is("(")) {
        Node n = make(NodeKind::Call, t);
        n.begin = program_.at(e).begin;
        n.a = e;
        n.list = arguments("(", ")");
        check_call(e, t.line);
        e = finish(std::move(n));
      } else if ((is("++") || is("--")) && t.line == tokens_[pos_ - 1].line) {
        advance();
        check_target(e, t.line);
        Node n = make(NodeKind::Update, t);
        n.begin = program_.at(e).begin;
        n.text = std::string(t.text);
        n.op = t.text == "++" ? Op::Add : Op::Sub;
        n.a = e;
        e = finish(std::move(n));
      } else {
        return e;
      }
    }
  }

  std::vector<int> arguments(std::string_view open, std::string_view close) {
    expect(open);
    std::vector<int> args;
    while (!accept(close)) {
      args.push_back(assignment());
      if (!is(close)) expect(",");
    }
    return args;
  }

  // Calls the subset knows: writeln and write, Math.f and Opl.f, set.add(e), and the methods of
  // cplex and thisOplModel that main blocks use.
  void check_call(int callee, int line) const {
    const Node& c = program_.at(callee);
    if (c.kind == NodeKind::Ident && (c.text == "writeln" || c.text == "write")) return;
    if (c.kind == NodeKind::Member) {
      const Node& object = program_.at(c.a);
      std::string owner = object.kind == NodeKind::Ident ? object.text : "";
      if (owner == "Math" && listed(kMathFunctions, c.text)) return;
      if (owner == "Opl" && listed(kOplFunctions, c.text)) return;
      if (owner == "cplex" && listed(kCplexMethods, c.text)) return;
      if (owner == "thisOplModel" && listed(kModelMethods, c.text)) return;
      if (owner != "Math" && owner != "Opl" && owner != "cplex" && owner != "thisOplModel" && c.text == "add") return;
      refuse("the call '" + std::string(text_.substr(c.begin, c.end - c.begin)) + "(...)'", line);
    }
    refuse("calling '" + std::string(text_.substr(c.begin, c.end - c.begin)) + "'", line);
  }

  int primary() {
    const SToken& t = peek();
    if (t.kind == STok::Number) {
      advance();
      Node n = make(NodeKind::Number, t);
      n.number = std::strtod(std::string(t.text).c_str(), nullptr);
      return finish(std::move(n));
    }
    if (t.kind == STok::String) {
      advance();
      Node n = make(NodeKind::String, t);
      n.text = t.value;
      return finish(std::move(n));
    }
    if (accept("(")) {
      int e = expression();
      expect(")");
      return e;
    }
    if (is("[")) {
      Node n = make(NodeKind::ArrayLit, t);
      n.list = arguments("[", "]");
      return finish(std::move(n));
    }
    if (t.kind != STok::Ident) syntax_error();
    std::string_view w = t.text;
    if (listed(kRefusedWords, w)) refuse("'" + std::string(w) + "'", t.line);
    advance();
    if (w == "true" || w == "false") {
      Node n = make(NodeKind::Bool, t);
      n.flag = w == "true";
      return finish(std::move(n));
    }
    if (w == "null" || w == "undefined") return finish(make(w == "null" ? NodeKind::Null : NodeKind::Undefined, t));
    if (w == "new") return new_expression(t);
    Node n = make(NodeKind::Ident, t);
    n.text = std::string(w);
    return finish(std::move(n));
  }

  int new_expression(const SToken& keyword) {
    const SToken& cls = peek();
    if (cls.kind != STok::Ident) syntax_error();
    advance();
    if (cls.text != "Array") refuse("'new " + std::string(cls.text) + "'", keyword.line);
    Node n = make(NodeKind::New, keyword);
    n.text = std::string(cls.text);
    if (is("(")) n.list = arguments("(", ")");
    return finish(std::move(n));
  }

  std::string_view text_;
  std::vector<SToken> tokens_;
  std::size_t pos_ = 0;
  std::size_t statement_start_ = 0;
  Program program_;
  std::map<std::string, int> slot_of_;
};

// ---- the block as tree nodes ----

const char* kind_name(NodeKind k) {
  static const char* const names[] = {"var",       "expression", "if",        "while",     "for_in",  "for",
                                      "block",     "break",      "continue",  "empty",     "number",  "string",
                                      "boolean",   "null",       "undefined", "name",      "member",  "index",
                                      "call",      "new",        "array",     "unary",     "binary",  "logical",
                                      "conditional", "assign",   "update"};
  return names[static_cast<int>(k)];
}

// The keys of a node's children a, b, c, d.
std::array<const char*, 4> child_keys(NodeKind k) {
  switch (k) {
    case NodeKind::If:
    case NodeKind::Conditional:
      return {"condition", "then", "else", ""};
    case NodeKind::While:
      return {"condition", "body", "", ""};
    case NodeKind::ForIn:
      return {"set", "body", "", ""};
    case NodeKind::For:
      return {"init", "condition", "step", "body"};
    case NodeKind::Member:
    case NodeKind::Index:
      return {"object", "index", "", ""};
    case NodeKind::Call:
      return {"callee", "", "", ""};
    case NodeKind::Binary:
    case NodeKind::Logical:
      return {"left", "right", "", ""};
    case NodeKind::Assign:
    case NodeKind::Update:
      return {"target", "value", "", ""};
    default:
      return {"expression", "", "", ""};
  }
}

Ref node_dict(const Program& p, int i);

Ref node_list(const Program& p, const std::vector<int>& items) {
  Ref out = new_list();
  for (int i : items) append(out, i < 0 ? none() : node_dict(p, i));
  return out;
}

Ref node_dict(const Program& p, int i) {
  RecursionGuard guard(" while converting a script block");
  const Node& n = p.at(i);
  Ref d = new_dict();
  set_item(d, py_str("type"), py_str(kind_name(n.kind)));
  set_item(d, py_str("lineno"), py_int(n.line));
  switch (n.kind) {
    case NodeKind::Number:
      set_item(d, py_str("value"), py_float(n.number));
      break;
    case NodeKind::Bool:
      set_item(d, py_str("value"), py_bool(n.flag));
      break;
    case NodeKind::String:
    case NodeKind::Ident:
    case NodeKind::Member:
    case NodeKind::Unary:
    case NodeKind::Binary:
    case NodeKind::Logical:
    case NodeKind::Assign:
    case NodeKind::Update:
    case NodeKind::New:
    case NodeKind::ForIn:
      set_item(d, py_str(n.kind == NodeKind::String ? "value" : n.kind == NodeKind::Ident || n.kind == NodeKind::Member ||
                                                                        n.kind == NodeKind::ForIn || n.kind == NodeKind::New
                                                                    ? "name"
                                                                    : "op"),
               py_str(n.text));
      break;
    default:
      break;
  }
  if (n.kind == NodeKind::Update) set_item(d, py_str("prefix"), py_bool(n.flag));
  if (n.kind == NodeKind::ForIn) set_item(d, py_str("declares"), py_bool(n.flag));
  if (n.kind == NodeKind::Var) {
    Ref names = new_list();
    for (const std::string& name : n.names) append(names, py_str(name));
    set_item(d, py_str("names"), names);
    set_item(d, py_str("values"), node_list(p, n.list));
  } else if (!n.list.empty() || n.kind == NodeKind::Block || n.kind == NodeKind::Call || n.kind == NodeKind::New ||
             n.kind == NodeKind::ArrayLit) {
    set_item(d, py_str(n.kind == NodeKind::Block ? "statements" : "args"), node_list(p, n.list));
  }
  std::array<const char*, 4> child_names = child_keys(n.kind);
  int children[] = {n.a, n.b, n.c, n.d};
  for (int k = 0; k < 4; ++k) {
    if (children[k] >= 0) set_item(d, py_str(child_names[k]), node_dict(p, children[k]));
  }
  return d;
}

}  // namespace

Op op_code(std::string_view text) {
  static const std::map<std::string_view, Op> codes = {
      {"+", Op::Add},  {"-", Op::Sub},  {"*", Op::Mul},  {"/", Op::Div},  {"%", Op::Mod},  {"==", Op::Eq},
      {"===", Op::Eq}, {"!=", Op::Ne},  {"!==", Op::Ne}, {"<", Op::Lt},   {">", Op::Gt},   {"<=", Op::Le},
      {">=", Op::Ge},  {"&&", Op::And}, {"||", Op::Or},  {"+=", Op::Add}, {"-=", Op::Sub}, {"*=", Op::Mul},
      {"/=", Op::Div}, {"%=", Op::Mod}, {"=", Op::Set}};
  auto it = codes.find(text);
  return it == codes.end() ? Op::None : it->second;
}

std::string Program::title() const {
  if (kind == "main") return "main block";
  if (!name.empty()) return "execute block '" + name + "'";
  return "execute block at line " + std::to_string(line);
}

std::string Program::quote(int i) const {
  const Node& n = at(i);
  std::string_view written = std::string_view(source).substr(n.begin - base, n.end - n.begin);
  std::string out;
  for (char c : written) {
    bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out += space ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > 80) out = out.substr(0, 77) + "...";
  return out;
}

Program parse_block(std::string_view text, std::size_t offset, int line, std::size_t* end) {
  return BlockParser(text, offset, line).parse(end);
}

Ref block_node(const Program& program) {
  Ref d = new_dict();
  set_item(d, py_str("type"), py_str("script_block"));
  set_item(d, py_str("kind"), py_str(program.kind));
  set_item(d, py_str("name"), program.name.empty() ? none() : py_str(program.name));
  set_item(d, py_str("lineno"), py_int(program.line));
  set_item(d, py_str("source"), py_str(program.source));
  set_item(d, py_str("statements"), node_list(program, program.statements));
  return d;
}

}  // namespace oplparse::script
