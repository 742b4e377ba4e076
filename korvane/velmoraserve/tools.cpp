// The six tools of the server and the insight workflow. Their names, docstrings and signatures
// are what an MCP client sees: the tool list, each tool's description and its input schema.
#include <string>

#include "keys.hpp"
#include "server.hpp"

namespace velmora {
namespace {

using namespace kv;

constexpr const char* kExplainRequest =
    "Translate the following optimization solution into clear, non-technical language for a lay user. Include key "
    "findings and suggested next steps.\n\nSolution:\n";

Ref list_providers_tool(Frame& f) {
  return call(f.global(K::list_providers));
}

Ref list_models_tool(Frame& f) {
  return call_kw(f.global(K::list_models), {}, {{"provider", f[0]}, {"prefix", f[1]}});
}

Ref list_methods_tool(Frame& f) {
  return f.global(K::METHODS);
}

// Tells whoever listens to the call's progress (a client waiting on it) what it is doing now.
void report_progress(const char* message) {
  call(attr(import("korvane.genai.progress"), K::report), py_str(message));
}

void check_model_and_data_files(const Frame& f) {
  check_tool_file("model_file", f[1], ".mod");
  check_tool_file("data_file", f[2], ".dat");
}

Ref generate_tool(Frame& f) {
  check_model_and_data_files(f);
  return call_kw(f.global(K::generate_with_best_available_backend), {f[0], f[1], f[2]},
                 {{"iterations", f[5]}, {"llm_model", f[3]}, {"provider", f[4]}});
}

Ref ask_tool(Frame& f) {
  check_model_and_data_files(f);
  return call_kw(f.global(K::ask_for_feedback), {f[0], f[1], f[2]}, {{"llm_model", f[3]}, {"provider", f[4]}});
}

// Runs `step`; an Exception it raises becomes {"error": prefix + str(exc)}. Anything that is not
// an Exception (KeyboardInterrupt, SystemExit) still ends the call.
template <class Step>
Ref or_error_payload(const char* prefix, Step&& step) {
  try {
    return step();
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
  }
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref exc_type = Ref::steal(type), exc = Ref::steal(value), exc_traceback = Ref::steal(traceback);
  Ref payload = new_dict();
  set_item(payload, K::error, check(PyUnicode_FromFormat("%s%S", prefix, exc.get())));
  return payload;
}

// json.dumps(value, indent=2[, sort_keys=True], default=str)
Ref dumps(const Frame& f, Handle value, bool sort_keys) {
  Ref as_text = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  Ref dumps_fn = attr(f.global(K::json), K::dumps);
  if (sort_keys)
    return call_kw(dumps_fn, {value}, {{"indent", py_int(2)}, {"sort_keys", Py_True}, {"default", as_text}});
  return call_kw(dumps_fn, {value}, {{"indent", py_int(2)}, {"default", as_text}});
}

// The insight text: for a dictionary its "feedback", else its "summary", else the dictionary as
// JSON; anything else as str().
Ref insight_text(const Frame& f, Handle feedback) {
  if (!is_dict(feedback)) return str(feedback);
  for (const Key* key : {&K::feedback, &K::summary}) {
    Ref text = call_method(feedback, K::get, *key);
    if (truthy(text)) return text;
  }
  return dumps(f, feedback, false);
}

// The report: the ten lines of a heading, the prompt and the insight, ending with a newline.
Ref markdown_of(Handle prompt, Handle insight) {
  Ref lines = new_list();
  for (const char* line : {"# GenAI Insight", "", "## Problem Description", ""}) append(lines, py_str(line));
  append(lines, str(prompt));
  for (const char* line : {"", "## Insight", ""}) append(lines, py_str(line));
  append(lines, str(insight));
  append(lines, py_str(""));
  return check(PyUnicode_Join(py_str("\n").get(), lines.get()));
}

// artifact_dir / (base_name + suffix)
Ref artifact_path(Handle artifact_dir, Handle base_name, const char* suffix) {
  Ref file_name = check(PyUnicode_Concat(base_name, py_str(suffix).get()));
  return check(PyNumber_TrueDivide(artifact_dir, file_name.get()));
}

// Where the solver's report goes: standard error, never standard output, which carries the
// protocol when the server runs over stdio. Without a standard error the report is dropped.
Ref report_stream() {
  PyObject* stderr_stream = PySys_GetObject("stderr");
  if (stderr_stream != nullptr && stderr_stream != Py_None) return Ref::borrow(stderr_stream);
  return call(attr(import("io"), K::StringIO));
}

Ref insight_tool(Frame& f) {
  PyObject *prompt = f[0], *provider = f[1], *llm_model = f[2], *iterations = f[3], *solver = f[4];
  Ref mkdtemp = attr(f.global(K::tempfile), K::mkdtemp);
  Ref artifact_dir = call(f.global(K::Path), call_kw(mkdtemp, {}, {{"prefix", py_str("korvane_mcp_")}}));
  Ref now = call_method(f.global(K::datetime), K::now);
  Ref timestamp = call_method(now, K::strftime, py_str("%Y-%m-%d_%H-%M-%S"));
  Ref base_name = check(PyUnicode_Concat(py_str("gen_korvane_").get(), timestamp.get()));
  Ref model_path = artifact_path(artifact_dir, base_name, ".mod");
  Ref data_path = artifact_path(artifact_dir, base_name, ".dat");
  Ref model_file = str(model_path), data_file = str(data_path);

  report_progress("generating the model");
  Ref stats = call_kw(f.global(K::generate_with_best_available_backend), {prompt, model_file, data_file},
                      {{"iterations", iterations}, {"llm_model", llm_model}, {"provider", provider}});
  report_progress("solving the model");
  Ref results = or_error_payload("Error solving generated model: ", [&] {
    Ref backend = call(f.global(K::solve_backend), solver);
    return call_kw(f.global(K::solve), {model_file, data_file}, {{"solver", backend}, {"output", report_stream()}});
  });
  report_progress("explaining the solution");
  Ref feedback = or_error_payload("Error generating feedback: ", [&] {
    Ref solution_json = dumps(f, results, true);
    Ref request = check(PyUnicode_Concat(py_str(kExplainRequest).get(), solution_json.get()));
    return call_kw(f.global(K::ask_for_feedback), {request, model_file, data_file},
                   {{"llm_model", llm_model}, {"provider", provider}});
  });
  Ref markdown = markdown_of(prompt, insight_text(f, feedback));

  Ref out = new_dict();
  set_item(out, K::model_path, model_file);
  set_item(out, K::data_path, data_file);
  set_item(out, K::stats, stats);
  set_item(out, K::results, results);
  set_item(out, K::feedback, feedback);
  set_item(out, K::markdown, markdown);
  return out;
}

constexpr Param kListModelsParams[] = {{"provider", "Optional[str]", "DEFAULT_PROVIDER"},
                                       {"prefix", "Optional[str]", "None"}};
constexpr Param kGenerateParams[] = {
    {"prompt", "str"},
    {"model_file", "str"},
    {"data_file", "str"},
    {"llm_model", "Optional[str]", "None"},
    {"provider", "Optional[str]", "None"},
    {"iterations", "int", "5"},
};
constexpr Param kAskParams[] = {
    {"prompt", "str"},
    {"model_file", "str"},
    {"data_file", "str"},
    {"llm_model", "Optional[str]", "None"},
    {"provider", "Optional[str]", "None"},
};
constexpr Param kInsightParams[] = {
    {"prompt", "str"},          {"provider", "Optional[str]", "None"}, {"llm_model", "Optional[str]", "None"},
    {"iterations", "int", "5"}, {"solver", "str", "DEFAULT_SOLVER"},
};

constexpr const char* kListProvidersDoc = R"(Return supported LLM provider identifiers.

Returns:
    A list of canonical provider names, such as ['openai', 'google', 'ollama']. Pass one of
    them as the `provider` argument of the other tools.
)";

constexpr const char* kListModelsDoc = R"(List available LLM models for a provider.

Args:
    provider: LLM provider. The name is normalized, so aliases are accepted
        (for example 'gemini' -> 'google').
    prefix: Optional prefix; when given, only models whose names start with it are returned.

Returns:
    A list of model names offered by the provider.

Raises:
    ValueError: If the provider is not supported.
)";

constexpr const char* kListMethodsDoc = R"(List available generative method choices.

Returns:
    A list of (display_name, method_id) tuples. The method_id is the identifier a client uses
    to select the generation method.
)";

constexpr const char* kGenerateDoc = R"(Generate an OPL model and data file from a natural-language prompt.

This is a potentially long-running operation: an LLM writes the model, the model is checked by
the compiler, and errors are fed back to the LLM for up to `iterations` rounds.

Args:
    prompt: Natural-language description of the optimization problem.
    model_file: Path where the generated .mod model file is written.
    data_file: Path where the generated .dat data file is written.
    llm_model: Optional LLM model name; the provider's default model when omitted.
    provider: Optional LLM provider ('openai', 'google' or 'gemini', 'ollama').
    iterations: Maximum number of generate-and-repair rounds.

Returns:
    Generation statistics and metadata (backend-dependent), such as whether a valid model was
    found, the rounds used, the errors seen, the provider, the model and timings.

Generative backends need their credentials in environment variables such as OPENAI_API_KEY or
GEMINI_API_KEY. Exceptions of the LLM client or of file I/O are propagated.
)";

constexpr const char* kAskDoc = R"(Ask an LLM for feedback on an existing OPL model and data file.

Args:
    prompt: The question or request about the model, such as what to check or explain.
    model_file: Path of the .mod model file to read.
    data_file: Path of the .dat data file to read.
    llm_model: Optional LLM model name; the provider's default model when omitted.
    provider: Optional LLM provider ('openai', 'google' or 'gemini', 'ollama').

Returns:
    The LLM's feedback, as a string or as a structured dictionary (backend-dependent).

Exceptions of the LLM client or of file I/O are propagated.
)";

constexpr const char* kInsightDoc = R"(Generate, solve, and provide insights on an optimization problem from a prompt.

The workflow generates a .mod/.dat pair from the prompt, solves it, and asks the LLM to explain
the solution in plain language.

Args:
    prompt: Natural-language description of the optimization problem.
    provider: Optional LLM provider ('openai', 'google' or 'gemini', 'ollama').
    llm_model: Optional LLM model name; the provider's default model when omitted.
    iterations: Maximum number of generate-and-repair rounds.
    solver: Solver for the generated model: 'highs' (or 'scipy') or 'gurobi'.

Returns:
    A dictionary with:
        model_path: Path of the generated model file.
        data_path: Path of the generated data file.
        stats: Generation statistics.
        results: The solver output, or {"error": ...} when solving failed.
        feedback: The LLM's explanation, or {"error": ...} when it could not be obtained.
        markdown: A Markdown report of the problem and the insight.

The files are written to a persistent directory under the system temporary directory, named
with the prefix "korvane_mcp_". The tool does not remove it; the caller is responsible for
removing it.
)";

constexpr FunctionSpec kTools[] = {
    {"list_providers_tool", {}, "list", kListProvidersDoc, list_providers_tool},
    {"list_models_tool", kListModelsParams, "list", kListModelsDoc, list_models_tool},
    {"list_methods_tool", {}, "list[tuple[str, str]]", kListMethodsDoc, list_methods_tool},
    {"generate_tool", kGenerateParams, "dict", kGenerateDoc, generate_tool},
    {"ask_tool", kAskParams, "dict | str", kAskDoc, ask_tool},
    {"insight_tool", kInsightParams, "dict", kInsightDoc, insight_tool},
};

}  // namespace

std::span<const FunctionSpec> tool_functions() {
  return kTools;
}

}  // namespace velmora
