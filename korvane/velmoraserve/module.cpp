// korvane._velmoraserve: the "Velmora MCP" tool server. Import binds what the functions use as
// module globals, the constants, the server instance and the functions; every function reads
// those globals when it is called, so a caller (or a test) can replace any of them.
#include "server.hpp"

namespace velmora {
namespace {

using namespace kv;

constexpr const char* kModuleDoc = R"(FastMCP server exposing Velmora functionality as MCP tools.

This module can be run as a standalone MCP server (through the launcher module
korvane.velmoraserve) or integrated into an existing MCP setup by importing it and using its
`mcp` server instance.

Tools:
- Discovery: list_providers_tool, list_models_tool and list_methods_tool list the supported
  LLM providers, the models of a provider and the generation methods.
- Generation: generate_tool has an LLM write an OPL model (.mod) and data file (.dat) from a
  natural-language prompt, checked and repaired until the compiler accepts them.
- Feedback: ask_tool asks an LLM for feedback on an existing model and data file.
- Insight: insight_tool generates, solves and explains a model in plain language.

The LLM backends read their credentials from environment variables such as OPENAI_API_KEY or
GEMINI_API_KEY.

Example client configuration (the "servers" section of an editor's or assistant's mcp.json):

{
  "servers": {
    "Velmora MCP": {
      "type": "stdio",
      "command": "${workspaceFolder}/.venv/bin/python",
      "args": ["-m", "korvane.velmoraserve"],
      "env": {"OPENAI_API_KEY": "<your key>"}
    }
  }
}
)";

// `from module import name, ...`
void import_names(PyObject* target, const char* module_name, std::initializer_list<const char*> names) {
  Ref module = import(module_name);
  for (const char* name : names) add(target, name, attr(module, name));
}

// Binds the SDK's server class as `FastMCP` and its request context class as `Context`: the 1.x
// FastMCP when the SDK has it, else the MCPServer that replaced it in 2.x. True for the latter.
bool bind_server_class(PyObject* module) {
  PyObject* first = PyImport_ImportModule("mcp.server.fastmcp");
  if (first != nullptr) {
    Ref sdk = Ref::steal(first);
    add(module, "FastMCP", attr(sdk, "FastMCP"));
    add(module, "Context", attr(sdk, "Context"));
    return false;
  }
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyErrorSet{};
  PyErr_Clear();
  Ref sdk = import("mcp.server.mcpserver");
  add(module, "FastMCP", attr(sdk, "MCPServer"));
  add(module, "Context", attr(sdk, "Context"));
  return true;
}

// The imports the functions read as module globals; true when the SDK is 2.x.
bool bind_imports(PyObject* module) {
  add(module, "asyncio", import("asyncio"));
  import("concurrent.futures");
  add(module, "concurrent", import("concurrent"));
  add(module, "json", import("json"));
  add(module, "tempfile", import("tempfile"));
  import_names(module, "datetime", {"datetime"});
  import_names(module, "functools", {"partial"});
  import_names(module, "pathlib", {"Path"});
  import_names(module, "typing", {"Any", "Callable", "Coroutine", "Optional", "TypeVar", "Union"});
  const bool second_sdk = bind_server_class(module);
  import_names(module, "korvane", {"generative_feedback", "generative_solve", "solve"});
  import_names(module, "korvane.genai._strategy_base",
               {"LLMProvider", "list_gemini_models", "list_ollama_models", "list_openai_models"});
  return second_sdk;
}

// (display name, method identifier) of each generation method, in the order clients show them.
constexpr std::pair<const char*, const char*> kMethods[] = {
    {"Quenta", "korvane_generative"},
    {"Standard", "korvane_standard"},
    {"Chain of Thought", "korvane_chain_of_thought"},
    {"Tree of Thoughts", "korvane_tree_of_thoughts"},
    {"OBRA", "korvane_obra"},
    {"Chain of Experts", "korvane_chain_of_experts"},
    {"Reflexion", "korvane_reflexion"},
};

void bind_constants(PyObject* module, bool second_sdk) {
  add(module, "DEFAULT_SOLVER", py_str("highs"));
  add(module, "DEFAULT_PROVIDER", py_str("openai"));
  add(module, "DEFAULT_MODEL", py_str("gpt-5"));
  Ref methods = new_list();
  for (const auto& [display_name, method_id] : kMethods)
    append(methods, tuple_of(py_str(display_name), py_str(method_id)));
  add(module, "METHODS", methods);
  // The 2.x server reports its own version to clients; 1.x reports the SDK's and takes none.
  Ref server_class = global(module, K::FastMCP);
  add(module, "mcp",
      second_sdk ? call_kw(server_class, {py_str("Velmora MCP")}, {{"version", attr(import("korvane"), "__version__")}})
                 : call(server_class, py_str("Velmora MCP")));
  add(module, "T", call(global(module, K::TypeVar), py_str("T")));
}

void exec_velmoraserve(PyObject* module) {
  const bool second_sdk = bind_imports(module);
  bind_constants(module, second_sdk);
  Ref function_type = make_function_type(module);
  for (const FunctionSpec& spec : plumbing_functions()) add(module, spec.name, define(function_type, module, spec));
  // The module keeps each tool as a plain function; the server gets a coroutine function with the
  // same name, description, parameters and results that runs it in a worker thread, so that a
  // long call neither blocks the server's event loop (a 1.x SDK runs plain functions on it) nor
  // leaves the client without progress notifications until it gives up.
  Ref as_async_tool = attr(import("korvane.velmoracalls"), "as_async_tool");
  for (const FunctionSpec& spec : tool_functions()) {
    Ref tool = define(function_type, module, spec);
    add(module, spec.name, tool);
    Ref decorator = call_method(global(module, K::mcp), K::tool);
    call(decorator, call(as_async_tool, tool, global(module, K::Context)));
  }
}

}  // namespace
}  // namespace velmora

KV_MODULE(_velmoraserve, velmora::exec_velmoraserve, velmora::kModuleDoc)
