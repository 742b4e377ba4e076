// The generator's boundary. The tree and the data arrive from any Python caller, and much of them
// goes into the script verbatim: names become assignments and loop variables, operators and
// numbers become code. Everything is therefore copied to exact built-in types (so no caller code
// runs while the script is written) and every piece of text the script takes as code is checked
// first; nothing of a tree that fails reaches the script.
#include "validate.hpp"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "common/exact_copy.hpp"
#include "common/long_sums.hpp"

namespace mipwright {
namespace {

constexpr const char* kOperators[] = {"+", "-", "*", "/", "==", "!=", "<=", ">=", "<", ">"};
constexpr const char* kPythonKeywords[] = {
    "False", "None",     "True", "and",   "as",       "assert", "async",  "await", "break",
    "class", "continue", "def",  "del",   "elif",     "else",   "except", "finally", "for",
    "from",  "global",   "if",   "import", "in",      "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",    "while",  "with",   "yield",
    // The script's final rewrite turns these words into True and False.
    "true",  "false",
};
// Names the script binds or calls itself: its modules, its model object, the executor's results
// mapping, and the built-in functions in the code it writes.
constexpr const char* kScriptNames[] = {
    "gp",  "GRB",        "model", "itertools", "math", "results_container", "range", "isinstance", "dict", "list",
    "tuple", "enumerate", "zip",  "min",       "max",  "sum",               "str",   "len",        "print", "float",
};
// The script's helper and auxiliary variables, and Python's own dunder names: fixed prefixes,
// and kind + "_b" + a number.
constexpr const char* kAuxiliaryPrefixes[] = {"__",        "_safe_get",        "_cmp_sum_list_", "_cmp_expr_",
                                               "cmp_aux_", "neq_flag_", "implication_flag_"};
constexpr const char* kNumberedAuxiliaryKinds[] = {"cmp_b", "not_b", "and_b", "or_b", "lit_b"};

// A chain of additions and subtractions longer than this is regrouped as a balanced tree: its
// nested translation would otherwise pass Python's limit of nested parentheses.
constexpr std::size_t kLongestChain = 100;

// Declarations whose `value` or `elements` hold data, written with repr.
bool holds_data(std::string_view type) {
  return type.starts_with("parameter_") || type == "typed_set" || type == "typed_set_external" ||
         type == "set_declaration" || type == "set_of_tuples" || type == "set_of_tuples_external";
}

bool in_list(std::string_view s, std::span<const char* const> words) {
  return std::any_of(words.begin(), words.end(), [&](const char* w) { return s == w; });
}

bool is_auxiliary_name(std::string_view s) {
  for (const char* prefix : kAuxiliaryPrefixes) {
    if (s.starts_with(prefix)) return true;
  }
  for (const char* kind : kNumberedAuxiliaryKinds) {
    std::string_view k(kind);
    if (s.starts_with(k) && s.size() > k.size() && s[k.size()] >= '0' && s[k.size()] <= '9') return true;
  }
  return false;
}

std::string subscript(Py_ssize_t i) {
  std::string step("[");
  step.append(std::to_string(i)).append("]");
  return step;
}

class TreeCheck {
 public:
  explicit TreeCheck(const Gen& g) : g_(g) {}

  // Checks a node and everything below it; `key` is the key that holds it in its parent.
  void walk(Handle value, std::string_view key) {
    if (is_list(value)) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.get()); ++i) {
        Segment at(path_, subscript(i));
        walk(PyList_GET_ITEM(value.get(), i), key);
      }
      return;
    }
    if (!is_dict(value)) return;
    // A part the tree shares is checked once.
    if (!checked_.try_emplace(value.get(), Ref::borrow(value)).second) return;
    RecursionGuard guard(" while checking the model tree");
    fields(value, key);
  }

  // Names the script assigns beside the declared ones, and the iterators of foralls, must not
  // overwrite a declared name.
  void declared_names(Handle ast) {
    Ref none_given = new_list();
    std::set<std::string> declared;
    std::vector<std::pair<std::string, Ref>> companions;  // script name and the declaration it serves
    for (Ref& decl : Iterate(get(ast, K::declarations, none_given))) {
      Ref name = get(decl, K::name);
      if (!is_str(name) || str_is(get(decl, K::type), "tuple_type")) continue;
      std::string n(utf8(name));
      declared.insert(n);
      // A typed set's position index and a tuple array's records are script variables too.
      if (has_type(decl, {"typed_set", "typed_set_external"})) companions.emplace_back(n + "_index", decl.copy());
      if (has_type(decl, {"tuple_array", "tuple_array_external"})) companions.emplace_back(n + "_data", decl.copy());
    }
    for (const auto& [companion, decl] : companions) {
      if (declared.count(companion) != 0) {
        g_.semantic_error("The name '" + companion + "' is used by the generated script for '" + text(get(decl, K::name)) +
                              "'; rename it in the model.",
                          get(decl, K::lineno));
      }
    }
    for (Ref& node : Iterate(get(ast, K::constraints, none_given))) forall_iterators(node, declared, {});
  }

  // A name the script assigns or reads: an identifier that neither Python nor the script reserves.
  void model_name(Handle value, const std::string& type, const char* key) {
    identifier(value, type, key);
    std::string_view name = utf8(value);
    if (in_list(name, kPythonKeywords)) {
      reserved(name, "is a keyword of Python, the language of the generated script");
    } else if (in_list(name, kScriptNames)) {
      reserved(name, "is used by the generated script itself");
    } else if (is_auxiliary_name(name)) {
      reserved(name, "has the form of the generated script's own auxiliary names");
    }
  }

 private:
  // One step of the path from the root to the node being checked, for messages.
  struct Segment {
    Segment(std::vector<std::string>& path, std::string step) : path_(path) { path_.push_back(std::move(step)); }
    ~Segment() { path_.pop_back(); }
    std::vector<std::string>& path_;
  };

  void fields(Handle node, std::string_view parent_key) {
    Ref type = get(node, K::type);
    std::string type_text = is_str(type) ? std::string(utf8(type)) : "";
    Ref lineno = get(node, K::lineno);
    if (!is_none(lineno)) linenos_.push_back(lineno.copy());
    bool data = holds_data(type_text);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(node.get(), &pos, &k, &v)) {
      Ref value = Ref::borrow(v);
      if (!is_str(k)) {
        walk(value, "");
        continue;
      }
      std::string key(utf8(k));
      Segment at(path_, "." + key);
      if (data && (key == "value" || key == "elements")) continue;
      if (key == "op") {
        if (!is_str(value) || !in_list(utf8(value), kOperators)) invalid(type_text, "has the unknown operator " + repr_text(value));
      } else if (key == "name") {
        if (parent_key == "label_template") continue;
        if (parent_key == "fields" || type_text == "tuple_type" || type_text == "funcall") {
          identifier(value, type_text, "name");
        } else {
          model_name(value, type_text, "name");
        }
      } else if (key == "value") {
        literal_value(type_text, value);
      } else if (key == "iterator" || key == "index_set") {
        model_name(value, type_text, key.c_str());
      } else if (key == "field" || key == "tuple_type" || key == "sem_type") {
        if (!is_none(value)) identifier(value, type_text, key.c_str());
      } else if (key == "iterators" && parent_key == "label_template") {
        if (!is_list(value)) invalid(type_text, "needs a list of iterator names");
        for (Ref& name : Iterate(value)) model_name(name, "label_template", "iterator");
      } else if (key == "iterators") {
        // Each entry becomes a loop variable of the script: a loop needs at least one.
        if (!is_list(value) || PyList_GET_SIZE(value.get()) == 0) invalid(type_text, "needs a non-empty list of iterators");
        walk(value, key);
      } else if (key == "dimensions") {
        // Each entry is a subscript or an index set of the script: indexing by nothing is no index.
        if (!is_list(value) || PyList_GET_SIZE(value.get()) == 0) invalid(type_text, "needs a non-empty list of dimensions");
        walk(value, key);
      } else if (key != "label" && key != "lineno" && key != "type") {
        walk(value, key);
      }
    }
    if (!is_none(lineno)) linenos_.pop_back();
  }

  // The `value` of a node, by node type: a literal, a name, or a nested node.
  void literal_value(const std::string& type, Handle value) {
    if (type == "number" || type == "number_literal_index") {
      if (!is_number(value) || is_bool(value)) invalid(type, "needs an int or float value, got " + repr_text(value));
    } else if (type == "string_literal") {
      if (!is_str(value)) invalid(type, "needs a str value, got " + repr_text(value));
    } else if (type == "boolean_literal") {
      if (!is_number(value)) invalid(type, "needs a bool value, got " + repr_text(value));
    } else if (type == "name") {
      model_name(value, type, "value");
    } else if (is_str(value)) {
      // Other nodes write a text value as it stands: it must be a name.
      model_name(value, type, "value");
    } else {
      walk(value, "value");
    }
  }

  void identifier(Handle value, const std::string& type, const char* key) {
    if (!is_str(value) || !PyUnicode_IsIdentifier(value.get())) {
      invalid(type, std::string("needs an identifier as its ") + key + ", got " + repr_text(value));
    }
  }

  void forall_iterators(Handle node, const std::set<std::string>& declared, std::set<std::string> enclosing) {
    if (!is_dict(node) || !str_is(get(node, K::type), "forall_constraint")) return;
    RecursionGuard guard(" while checking the model tree");
    Ref lineno = get(node, K::lineno);
    Ref none_given = new_list();
    std::set<std::string> own;
    for (Ref& entry : Iterate(get(node, K::iterators, none_given))) {
      Ref name = is_dict(entry) ? get(entry, K::iterator) : none();
      if (!is_str(name)) continue;
      std::string n(utf8(name));
      const char* hidden = declared.count(n)         ? "the declared name"
                           : enclosing.count(n) != 0 ? "the iterator of an enclosing forall"
                           : own.count(n) != 0       ? "another iterator of the same forall"
                                                     : nullptr;
      if (hidden != nullptr) {
        g_.semantic_error("The forall iterator '" + n + "' hides " + hidden + " '" + n +
                              "': the loop would overwrite it in the script. Rename the iterator.",
                          lineno);
      }
      own.insert(n);
    }
    enclosing.insert(own.begin(), own.end());
    forall_iterators(get(node, K::constraint), declared, enclosing);
    for (Ref& inner : Iterate(get(node, K::constraints, none_given))) forall_iterators(inner, declared, enclosing);
  }

  [[noreturn]] void reserved(std::string_view name, const char* why) {
    g_.semantic_error("The name '" + std::string(name) + "' " + why + "; rename it in the model or data (for example to '" +
                          std::string(name) + "_1').",
                      linenos_.empty() ? none() : linenos_.back().copy());
  }

  [[noreturn]] void invalid(const std::string& type, const std::string& problem) {
    std::string where;
    for (const std::string& step : path_) where += step;
    if (where.starts_with('.')) where.erase(0, 1);
    std::string line = linenos_.empty() ? "" : " (line " + text(linenos_.back()) + ")";
    std::string what = type.empty() ? "The node" : "The '" + type + "' node";
    raise(PyExc_ValueError, "Invalid model tree: " + what + " at " + (where.empty() ? "the root" : where) + line + " " +
                                problem + ".");
  }

  const Gen& g_;
  std::unordered_map<PyObject*, Ref> checked_;
  std::vector<std::string> path_;
  std::vector<Ref> linenos_;
};

}  // namespace

// Keys the front end adds to the root for models with script blocks: the blocks to run after the
// solve, their output and their solver settings. None is a node of the model; the script is
// written without them.
constexpr const char* kScriptKeys[] = {"post_blocks", "script_log", "settings", "ignored_settings"};

Ref validated_model(const Gen& g, Handle ast) {
  Ref copy = ExactCopy("The model tree")(ast);
  if (is_dict(copy)) {
    for (const char* key : kScriptKeys) {
      if (PyDict_DelItemString(copy.get(), key) < 0) PyErr_Clear();
    }
  }
  regroup_long_sums(copy, kLongestChain);
  TreeCheck check(g);
  check.walk(copy, "");
  if (is_dict(copy)) check.declared_names(copy);
  return copy;
}

Ref validated_data(const Gen& g, Handle data) {
  if (!is_dict(data)) raise(PyExc_TypeError, std::string("data_dict must be a dict, not ") + Py_TYPE(data.get())->tp_name);
  Ref copy = new_dict();
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(data.get(), &pos, &k, &v)) {
    Ref key = Ref::borrow(k), value = Ref::borrow(v);
    Ref name = ExactCopy("A data name")(key);
    std::string label = "Data item " + repr_text(name);
    if (!is_str(name) || !PyUnicode_IsIdentifier(name.get())) {
      raise(PyExc_ValueError, label + " cannot be written into the script: data names must be identifiers.");
    }
    TreeCheck(g).model_name(name, "", "name");
    set_item(copy, name, ExactCopy(label)(value));
  }
  return copy;
}

}  // namespace mipwright
