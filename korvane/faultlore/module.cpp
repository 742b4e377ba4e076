// korvane.faultlore: the exception raised for errors in a user's model or data, and the repair
// hints that make its message actionable for a person or a language model fixing the files.
#include "common/module.hpp"

namespace {

using namespace kv;

struct RepairHint {
  const char* pattern;  // searched with the re module, first match wins
  const char* hint;
};

// Order matters: the catch-all "^Unsupported " must come after the more specific patterns that
// begin the same way.
constexpr RepairHint kRepairHints[] = {
    {R"(^Syntax error in \.dat file at end of file)",
     "Hint: the .dat file is likely missing a closing delimiter such as ';', '}', ']', or ')'. Check the most "
     "recent assignment."},
    {R"(^Syntax error in \.dat file at or near token)",
     "Hint: .dat files must contain plain data assignments such as 'x = 3;', 'S = { ... };', or 'A = [ ... ];' "
     "(no 'dvar', 'param', 'minimize', or 'subject to')."},
    {R"(^Syntax error at or near token)",
     "Hint: rewrite the construct using simpler supported Korvane syntax. In particular, avoid filtered "
     "declarations, advanced inline indexing, and OPL-only shorthand that is not part of this implementation."},
    {R"(^Syntax error at end of file)",
     "Hint: the model or data is likely missing a closing delimiter such as ';', '}', ']', or ')'. Check the most "
     "recent declaration or constraint block."},
    {R"(^Illegal character in \.dat file)",
     "Hint: use plain Korvane .dat syntax, not escaped JSON text or unsupported OPL-specific formatting."},
    {R"(^Unsupported index expression type)",
     "Hint: precompute the needed lookup table in the model/data and index it directly with iterator variables "
     "instead of indexing one indexed expression with another."},
    {R"((Undeclared symbol|Unknown name|Unknown symbol|not found in environment|Parameter '.*' not found|AST parameter '.*' with indices .* not found))",
     "Hint: declare the symbol explicitly in the model or provide matching data with the expected name and index "
     "structure."},
    {R"((Range bounds must be integer-valued|Index range bounds must be integer-valued|Range bound must be integer-valued))",
     "Hint: use integer-valued literals, parameters, or expressions for all range bounds."},
    {R"((Range bounds must be non-negative literals|Negative literal indices are not allowed))",
     "Hint: rewrite the index or range using non-negative bounds supported by this compiler."},
    {R"((Type mismatch in arithmetic|Type mismatch in comparison))",
     "Hint: make both sides type-compatible before combining them. Do not mix strings, booleans, and numeric "
     "expressions in the same arithmetic or comparison context."},
    {R"(^Unsupported function)",
     "Hint: use only the functions supported by this implementation, or precompute the value in data or an "
     "auxiliary parameter."},
    {R"((Non-ground boolean|Condition does not evaluate to boolean))",
     "Hint: boolean comparisons cannot be used as arithmetic values. Rewrite them as explicit constraints or "
     "binary-variable linkages."},
    {R"(Division by zero)",
     "Hint: guard the denominator or rewrite the expression so the divisor is guaranteed nonzero at compile time."},
    {R"(^Unsupported )",
     "Hint: rewrite this construct using the supported Korvane subset implemented by this compiler."},
};

Key kRe{"re"};
Key kSearch{"search"};
Key kInit{"__init__"};
Key kMessage{"message"};
Key kLineno{"lineno"};
Key kFilename{"filename"};
Key kCol{"col"};
Key kWithRepairHint{"_with_repair_hint"};
Key kSemanticError{"SemanticError"};

Ref with_repair_hint(const Call& c) {
  auto [message] = c.bind(Params<1>{"_with_repair_hint", {"message"}, 1});
  if (!is_str(message)) {
    raise(PyExc_TypeError, std::string("_with_repair_hint() argument 1 must be str, not ") + Py_TYPE(message)->tp_name);
  }
  Ref marker = py_str("Hint:");
  if (contains(message, marker)) return Ref::borrow(message);
  Ref re = global(c.module, kRe);
  for (const RepairHint& rule : kRepairHints) {
    Ref pattern = py_str(rule.pattern);
    Ref match = call_method(re, kSearch, pattern, message);
    if (truthy(match)) return py_str(std::string(utf8(message)) + " " + rule.hint);
  }
  return Ref::borrow(message);
}

Ref semantic_error_init(const Call& c) {
  // The file and the column are keyword-only: callers that know only a line keep the short form,
  // and the text of the exception stays the same either way.
  auto [self, message, lineno, filename, col] =
      c.bind(Params<5>{"SemanticError.__init__", {"self", "message", "lineno", "filename", "col"}, 2, 3});
  if (lineno == nullptr) lineno = Py_None;
  Ref as_text = is_str(message) ? Ref::borrow(message) : str(message);
  Ref enriched = call(global(c.module, kWithRepairHint), as_text);
  setattr(self, kMessage, enriched);
  setattr(self, kLineno, lineno);
  setattr(self, kFilename, filename ? filename : Py_None);
  setattr(self, kCol, col ? col : Py_None);
  std::string shown = truthy(lineno) ? "Semantic Error (Line " + text(lineno) + "): " + text(enriched)
                                     : "Semantic Error: " + text(enriched);
  Ref parent = call(reinterpret_cast<PyObject*>(&PySuper_Type), global(c.module, kSemanticError), self);
  call_method(parent, kInit, py_str(shown));
  return none();
}

PyMethodDef kFunctions[] = {
    KV_FUNCTION("_with_repair_hint", with_repair_hint,
                "Append the repair hint of the first matching pattern, unless the message has one."),
};

PyMethodDef kSemanticErrorMethods[] = {
    KV_FUNCTION("__init__", semantic_error_init, nullptr),
};

constexpr const char* kSemanticErrorOrder[] = {"__init__"};

void exec_faultlore(PyObject* module) {
  add(module, "re", import("re"));
  add(module, "_with_repair_hint", make_function(&kFunctions[0], module));
  Ref ns = method_namespace(module, kSemanticErrorOrder, {kSemanticErrorMethods});
  Ref bases = tuple_of(PyExc_Exception);
  add(module, "SemanticError", make_class(module, "SemanticError", bases, ns, "Custom exception for semantic errors."));
}

}  // namespace

KV_MODULE(faultlore, exec_faultlore, "Semantic errors of models and data, with repair hints.")
