// Script blocks during instantiation (pre-processing blocks and the first part of main) and after
// the solve (run_script): the glue between the tree's script_block nodes and the interpreter.
#include "common/limits.hpp"
#include "script.hpp"

namespace oplparse::script {
namespace {

Key kPhase{"phase"}, kSource{"source"}, kKind{"kind"}, kLog{"script_log"}, kPost{"post_blocks"},
    kSettings{"settings"}, kIgnored{"ignored_settings"}, kStepLimit{"SCRIPT_STEP_LIMIT"};

Program program_of(Handle block) {
  Ref source = get(block, kSource);
  Ref line = get(block, K::lineno);
  if (!is_str(source) || !is_int(line)) {
    raise(PyExc_ValueError, "A script block needs its 'source' text and its 'lineno', got " + repr_text(block));
  }
  std::size_t end = 0;
  return parse_block(utf8(source), 0, static_cast<int>(PyLong_AsLong(line.get())), &end);
}

std::size_t step_limit(PyObject* module) {
  return positive_limit(attr(module, kStepLimit), "korvane.oplparse.SCRIPT_STEP_LIMIT");
}

Ref settings_dict(const Settings& s) {
  Ref d = new_dict();
  for (const auto& [option, value] : s.mapped) {
    bool count = option == "threads" && value == std::floor(value) && std::fabs(value) < 1e15;
    set_item(d, py_str(option), count ? py_int(static_cast<long long>(value)) : py_float(value));
  }
  return d;
}

Ref ignored_list(const Settings& s) {
  Ref l = new_list();
  for (const std::string& name : s.ignored) append(l, py_str(name));
  return l;
}

}  // namespace

std::string with_script_hint(const std::string& message) {
  if (message.find("Hint:") != std::string::npos) return message;
  if (message.find("not supported in script blocks") != std::string::npos) {
    return message + ". Hint: write the block with var, if/else, for, while, break, continue, assignments, "
                     "writeln/write and the Math and Opl functions; move other work into the model or the data.";
  }
  if (message.rfind("Syntax error", 0) == 0 || message.rfind("Unterminated", 0) == 0 ||
      message.rfind("Unexpected character", 0) == 0) {
    return message + ". Hint: check the braces, parentheses, quotes and semicolons of the script block near "
                     "this line.";
  }
  return message + ". Hint: a script reads the model's declarations and changes only declared data, with values "
                   "of the declared type.";
}

void BlockRunner::take(Handle block, lpsparse::Model& env, Handle env_root, Ref& data, Handle declarations) {
  try {
    take_block(block, env, env_root, data, declarations);
  } catch (const ModelError& e) {
    throw ModelError{with_script_hint(e.message), e.lineno};
  }
}

void BlockRunner::take_block(Handle block, lpsparse::Model& env, Handle env_root, Ref& data, Handle declarations) {
  seen_ = true;
  std::string phase = text(get(block, kPhase));
  if (phase == "post") {
    append(post_, block);
    return;
  }
  Program program = program_of(block);
  ScriptData bridge(env, env_root, data, declarations);
  if (program.kind == "main") {
    run(program, Part::BeforeSolve, bridge, step_limit(module_), result_);
    if (solve_statement(program) >= 0) append(post_, block);
    return;
  }
  run(program, Part::All, bridge, step_limit(module_), result_);
}

void BlockRunner::add_keys(Handle root) const {
  if (!seen_) return;
  set_item(root, kPost, post_);
  set_item(root, kLog, py_str(result_.log));
  set_item(root, kSettings, settings_dict(result_.settings));
  set_item(root, kIgnored, ignored_list(result_.settings));
}

Ref run_after_solve(PyObject* module, Handle block, Handle tree, Handle data, Handle solution, Handle objective) {
  Program program = program_of(block);
  Ref data_copy = check(PyDict_Copy(data));
  Ref declarations = new_list();
  Ref root = new_dict();
  set_item(root, K::declarations, declarations);
  lpsparse::Model env(root, data_copy);
  Ref none_declared = new_list();
  for (Ref& decl : Iterate(get(tree, K::declarations, none_declared))) {
    append(declarations, decl);
    env.register_declaration(decl);
  }
  ScriptData bridge(env, root, data_copy, declarations);
  bridge.set_solution(solution, objective);
  RunResult result;
  run(program, program.kind == "main" ? Part::FromSolve : Part::All, bridge, step_limit(module), result);
  Ref out = new_dict();
  set_item(out, py_str("log"), py_str(result.log));
  set_item(out, kSettings, settings_dict(result.settings));
  set_item(out, kIgnored, ignored_list(result.settings));
  set_item(out, py_str("data"), data_copy);
  return out;
}

}  // namespace oplparse::script
