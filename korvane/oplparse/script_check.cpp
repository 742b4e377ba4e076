// What a block does, read from its syntax before it runs: where a main block solves, whether a
// block reads the solution or changes the data. The first decides which statements run with the
// model and which after the solve; the others decide when an execute block runs.
#include <algorithm>
#include <functional>

#include "script.hpp"

namespace oplparse::script {
namespace {

// Calls `visit(node, statement)` for every node under `i`, with the statement that holds it.
void walk(const Program& p, int i, int statement, const std::function<void(int, int)>& visit) {
  if (i < 0) return;
  RecursionGuard guard(" while reading a script block");
  const Node& n = p.at(i);
  bool is_statement = n.kind <= NodeKind::Empty && n.kind != NodeKind::Block;
  int here = is_statement ? i : statement;
  visit(i, here);
  for (int child : {n.a, n.b, n.c, n.d}) walk(p, child, here, visit);
  for (int child : n.list) walk(p, child, here, visit);
}

void walk_all(const Program& p, const std::function<void(int, int)>& visit) {
  for (int s : p.statements) walk(p, s, s, visit);
}

// The member call object.method(...) at node `i`, as "object.method", or "".
std::string call_name(const Program& p, int i) {
  const Node& n = p.at(i);
  if (n.kind != NodeKind::Call) return "";
  const Node& callee = p.at(n.a);
  if (callee.kind != NodeKind::Member || p.at(callee.a).kind != NodeKind::Ident) return "";
  return p.at(callee.a).text + "." + callee.text;
}

// The name a target or an object comes from: x in x, x[i], x[i].f, x.add(...).
const Node* root_name(const Program& p, int i) {
  const Node* n = &p.at(i);
  while (n->kind == NodeKind::Member || n->kind == NodeKind::Index) n = &p.at(n->a);
  return n->kind == NodeKind::Ident && n->slot < 0 ? n : nullptr;
}

[[noreturn]] void refuse(const Program& p, int statement, const std::string& what) {
  int line = p.at(statement).line;
  throw ModelError{"Statement '" + p.quote(statement) + "' at line " + std::to_string(line) + " of " + p.title() + ": " +
                       what + " is not supported in script blocks",
                   line};
}

// Whether top-level statement `s` is a solve: cplex.solve(); var s = cplex.solve(); if (cplex.solve()) ...
bool is_solve_statement(const Program& p, int s) {
  const Node& n = p.at(s);
  if (n.kind == NodeKind::ExprStmt || n.kind == NodeKind::If) return call_name(p, n.a) == "cplex.solve";
  if (n.kind == NodeKind::Var) return n.list.size() == 1 && n.list[0] >= 0 && call_name(p, n.list[0]) == "cplex.solve";
  return false;
}

}  // namespace

int solve_statement(const Program& p) {
  int solve_at = -1;
  for (std::size_t k = 0; k < p.statements.size(); ++k) {
    int s = p.statements[k];
    if (!is_solve_statement(p, s)) continue;
    if (solve_at >= 0) refuse(p, s, "solving a second time");
    solve_at = static_cast<int>(k);
  }
  int solve_node = solve_at >= 0 ? p.statements[static_cast<std::size_t>(solve_at)] : -1;
  std::size_t top = 0;
  int solves = 0;
  for (int s : p.statements) {
    bool after = solve_at >= 0 && top > static_cast<std::size_t>(solve_at);
    walk(p, s, s, [&](int i, int statement) {
      std::string name = call_name(p, i);
      if (name == "cplex.solve" && (s != solve_node || ++solves > 1)) refuse(p, statement, "solving inside a loop, a condition or a branch");
      if (name == "cplex.solve" && p.kind != "main") refuse(p, statement, "solving in an execute block");
      bool generate = name == "thisOplModel.generate";
      if (generate && p.kind != "main") refuse(p, statement, "'thisOplModel.generate()' in an execute block");
      if (generate && (after || statement != s || p.at(s).kind != NodeKind::ExprStmt)) {
        refuse(p, statement, "generating the model again or inside flow control");
      }
    });
    ++top;
  }
  return solve_at;
}

bool reads_solution(const Program& p, const std::vector<std::string>& dvars) {
  bool reads = false;
  walk_all(p, [&](int i, int) {
    const Node& n = p.at(i);
    if (n.kind == NodeKind::Ident && n.slot < 0 && std::find(dvars.begin(), dvars.end(), n.text) != dvars.end()) reads = true;
    if (n.kind == NodeKind::Member && n.text == "solutionValue") reads = true;
    if (call_name(p, i) == "cplex.getObjValue") reads = true;
  });
  return reads;
}

bool writes_data(const Program& p, const std::vector<std::string>& declared) {
  bool writes = false;
  auto is_declared = [&](const Node* n) {
    return n != nullptr && std::find(declared.begin(), declared.end(), n->text) != declared.end();
  };
  walk_all(p, [&](int i, int) {
    const Node& n = p.at(i);
    if ((n.kind == NodeKind::Assign || n.kind == NodeKind::Update) && is_declared(root_name(p, n.a))) writes = true;
    if (n.kind == NodeKind::Call && p.at(n.a).kind == NodeKind::Member && p.at(n.a).text == "add" &&
        is_declared(root_name(p, p.at(n.a).a))) {
      writes = true;
    }
  });
  return writes;
}

}  // namespace oplparse::script
