// The plumbing under the tools: names of solvers and providers, the keyword arguments handed to
// the LLM backends, the choice between the asynchronous and the synchronous generation backend,
// and the worker threads that keep blocking work and event loops off the server's own thread.
#include <span>
#include <utility>

#include "keys.hpp"
#include "server.hpp"

namespace velmora {
namespace {

using namespace kv;

using Alias = std::pair<const char*, const char*>;
constexpr Alias kSolverAliases[] = {{"highs", "scipy"}, {"scipy", "scipy"}, {"gurobi", "gurobi"}};
constexpr Alias kProviderAliases[] = {
    {"openai", "openai"}, {"google", "google"}, {"gemini", "google"}, {"ollama", "ollama"}};

// A fresh dictionary on every call, as a literal in a function body would be, so that nothing
// module-wide can be changed through it.
Ref alias_table(std::span<const Alias> aliases) {
  Ref table = new_dict();
  for (const auto& [alias, name] : aliases) set_item(table, py_str(alias), py_str(name));
  return table;
}

// name.strip().lower()
Ref canonical(Handle name) {
  return call_method(call_method(name, K::strip), K::lower);
}

Ref normalize_solver(Frame& f) {
  PyObject* solver = f[0];
  if (!truthy(solver)) return py_str("scipy");
  Ref name = canonical(solver);
  return get(alias_table(kSolverAliases), name, name);
}

Ref solve_backend(Frame& f) {
  Ref normalized = call(f.global(K::normalize_solver), f[0]);
  return py_str(eq(normalized, py_str("gurobi")) ? "gurobi" : "scipy");
}

Ref normalize_provider(Frame& f) {
  Ref name = truthy(f[0]) ? Ref::borrow(f[0]) : f.global(K::DEFAULT_PROVIDER);
  name = canonical(name);
  Ref aliases = alias_table(kProviderAliases);
  if (contains(aliases, name)) return item(aliases, name);
  Ref known = to_list(aliases);
  check_status(PyList_Sort(known.get()));
  Ref expected = check(PyUnicode_Join(py_str(", ").get(), known.get()));
  PyErr_Format(PyExc_ValueError, "Unsupported provider '%S'. Expected one of: %U.", name.get(), expected.get());
  throw PyErrorSet{};
}

Ref build_llm_kwargs(Frame& f) {
  PyObject* llm_model = f[0];
  PyObject* provider = f[1];
  Ref kwargs = new_dict();
  if (is_str(llm_model) && len(llm_model) > 0) set_item(kwargs, K::model_name, llm_model);
  if (truthy(provider)) set_item(kwargs, K::llm_provider, call(f.global(K::normalize_provider), provider));
  return kwargs;
}

Ref run_in_thread(Frame& f) {
  Ref executor_type = attr(attr(f.global(K::concurrent), K::futures), K::ThreadPoolExecutor);
  Ref executor = call_kw(executor_type, {}, {{"max_workers", py_int(1)}});
  return with_block(executor, [&](Handle pool) {
    Ref task_args = check(PySequence_Concat(tuple_of(f[0]).get(), f.varargs.get()));
    Ref task = check(PyObject_Call(f.global(K::partial).get(), task_args.get(), f.varkw.get()));
    // The work runs in a copy of the caller's context, as asyncio.to_thread runs it, so that what
    // the context carries (the listener of a tool call's progress) reaches the worker.
    Ref context = check(PyContext_CopyCurrent());
    Ref future = call_method(pool, K::submit, attr(context, K::run), task);
    return call_method(future, K::result);
  });
}

// The body of `_runner`: runs the coroutine that the captured factory makes, on a fresh event
// loop of the thread it is called in.
Ref run_coroutine(Frame& f) {
  Ref coroutine = call(f.closure);
  return call(attr(f.global(K::asyncio), K::run), coroutine);
}

constexpr FunctionSpec kRunner{"_runner", {}, nullptr, nullptr, run_coroutine, "_run_coro_in_thread.<locals>._runner"};

Ref run_coro_in_thread(Frame& f) {
  Ref runner = define_local(f, kRunner, f[0]);
  return call(f.global(K::run_in_thread), runner);
}

Ref try_import_graphchain(Frame&) {
  PyObject* module = PyImport_Import(K::graphchain_module.get());
  PyObject* found = module != nullptr ? PyObject_GetAttr(module, K::generative_solve_async.get()) : nullptr;
  Py_XDECREF(module);
  if (found != nullptr) return Ref::steal(found);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
  PyErr_Clear();
  return none();
}

// The closure of `_coro`: (generative_solve_async, prompt, model_file, data_file, iterations, llm_kwargs).
Ref start_async_generation(Frame& f) {
  Ref generate = item(f.closure, 0);
  Ref llm_kwargs = item(f.closure, 5);
  Ref model_name = call_method(llm_kwargs, K::get, K::model_name, f.global(K::DEFAULT_MODEL));
  Ref llm_provider = call_method(llm_kwargs, K::get, K::llm_provider, f.global(K::DEFAULT_PROVIDER));
  return call_kw(generate, {item(f.closure, 1), item(f.closure, 2), item(f.closure, 3)},
                 {{"model_name", model_name},
                  {"iterations", item(f.closure, 4)},
                  {"return_statistics", Py_True},
                  {"llm_provider", llm_provider}});
}

// Calling `_coro()` gives the backend's coroutine itself: awaiting it is all `_coro` would do.
constexpr FunctionSpec kCoro{
    "_coro", {}, nullptr, nullptr, start_async_generation, "_generate_with_best_available_backend.<locals>._coro"};

// f(*args, **named, **more) where `named` holds keywords written out in the call: a key of `more`
// that repeats one of them is refused as the interpreter refuses it.
Ref call_with_keywords(Handle f, Handle args, Handle named, Handle more) {
  for (Ref& key : Iterate(more)) {
    if (contains(named, key)) {
      Ref name = getattr(f, K::dunder_qualname, reinterpret_cast<PyObject*>(Py_TYPE(f.get())));
      PyErr_Format(PyExc_TypeError, "%S() got multiple values for keyword argument '%S'", name.get(), key.get());
      throw PyErrorSet{};
    }
    set_item(named, key, item(more, key));
  }
  return check(PyObject_Call(f, args, named));
}

Ref generate_with_best_available_backend(Frame& f) {
  PyObject *prompt = f[0], *model_file = f[1], *data_file = f[2], *iterations = f[3];
  Ref llm_kwargs = call_kw(f.global(K::build_llm_kwargs), {}, {{"llm_model", f[4]}, {"provider", f[5]}});
  Ref generate_async = call(f.global(K::try_import_graphchain));
  if (is_none(generate_async)) {
    Ref named = new_dict();
    set_item(named, K::iterations, iterations);
    set_item(named, K::return_statistics, Py_True);
    Ref args = tuple_of(f.global(K::generative_solve), prompt, model_file, data_file);
    return call_with_keywords(f.global(K::run_in_thread), args, named, llm_kwargs);
  }
  Ref closure = tuple_of(generate_async, prompt, model_file, data_file, iterations, llm_kwargs);
  Ref coro = define_local(f, kCoro, closure);
  return call(f.global(K::run_coro_in_thread), coro);
}

Ref ask_for_feedback(Frame& f) {
  Ref llm_kwargs = call_kw(f.global(K::build_llm_kwargs), {}, {{"llm_model", f[3]}, {"provider", f[4]}});
  Ref args = tuple_of(f.global(K::generative_feedback), f[0], f[1], f[2]);
  return call_with_keywords(f.global(K::run_in_thread), args, new_dict(), llm_kwargs);
}

Ref list_providers(Frame& f) {
  try {
    Ref providers = new_list();
    for (Ref& provider : Iterate(f.global(K::LLMProvider))) append(providers, attr(provider, K::value));
    return providers;
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
  }
  Ref fallback = new_list();
  for (const char* provider : {"openai", "google", "ollama"}) append(fallback, py_str(provider));
  return fallback;
}

Ref list_models(Frame& f) {
  PyObject* prefix = f[1];
  Ref provider = call(f.global(K::normalize_provider), f[0]);
  const std::pair<const char*, const Key*> listers[] = {
      {"openai", &K::list_openai_models}, {"google", &K::list_gemini_models}, {"ollama", &K::list_ollama_models}};
  for (const auto& [name, lister] : listers) {
    if (!eq(provider, py_str(name))) continue;
    Ref list_fn = f.global(*lister);
    return truthy(prefix) ? call_kw(list_fn, {}, {{"prefix", prefix}}) : call(list_fn);
  }
  PyErr_Format(PyExc_ValueError, "Unsupported provider '%S'.", provider.get());
  throw PyErrorSet{};
}

constexpr Param kSolverParams[] = {{"solver", "Optional[str]"}};
constexpr Param kProviderParams[] = {{"provider", "Optional[str]"}};
constexpr Param kBuildLlmKwargsParams[] = {{"llm_model", "Optional[str]", "None"},
                                           {"provider", "Optional[str]", "None"}};
constexpr Param kRunInThreadParams[] = {{"func", "Callable[..., T]"},
                                        {"args", nullptr, nullptr, Kind::VarPositional},
                                        {"kwargs", nullptr, nullptr, Kind::VarKeyword}};
constexpr Param kRunCoroParams[] = {{"coro_factory", "Callable[[], Coroutine[Any, Any, T]]"}};
constexpr Param kGenerateParams[] = {
    {"prompt", "str"},
    {"model_file", "str"},
    {"data_file", "str"},
    {"iterations", "int", "5", Kind::KeywordOnly},
    {"llm_model", "Optional[str]", "None", Kind::KeywordOnly},
    {"provider", "Optional[str]", "None", Kind::KeywordOnly},
};
constexpr Param kFeedbackParams[] = {
    {"prompt", "str"},
    {"model_file", "str"},
    {"data_file", "str"},
    {"llm_model", "Optional[str]", "None"},
    {"provider", "Optional[str]", "None"},
};
constexpr Param kListModelsParams[] = {{"provider", "str", "DEFAULT_PROVIDER"}, {"prefix", "Optional[str]", "None"}};

constexpr FunctionSpec kPlumbing[] = {
    {"_normalize_solver", kSolverParams, "str", "Normalize solver names for compiler/backend compatibility.",
     normalize_solver},
    {"_solve_backend", kSolverParams, "str", "Normalize solver names for solve() backend selection.", solve_backend},
    {"_normalize_provider", kProviderParams, "str", "Normalize supported LLM provider names.", normalize_provider},
    {"_build_llm_kwargs", kBuildLlmKwargsParams, "dict[str, str]", nullptr, build_llm_kwargs},
    {"_run_in_thread", kRunInThreadParams, "T", "Run a synchronous callable in a dedicated worker thread.",
     run_in_thread},
    {"_run_coro_in_thread", kRunCoroParams, "T",
     "Run an async coroutine safely from a sync context in a worker thread.", run_coro_in_thread},
    {"_try_import_graphchain",
     {},
     nullptr,
     "Try to import async GraphChain generation implementation.",
     try_import_graphchain},
    {"_generate_with_best_available_backend", kGenerateParams, "dict",
     "Use async GraphChain if available, otherwise fall back to sync generation.",
     generate_with_best_available_backend},
    {"_ask_for_feedback", kFeedbackParams, "dict | str", "Get feedback on an existing model/data pair.",
     ask_for_feedback},
    {"list_providers", {}, "list", "List supported LLM providers.", list_providers},
    {"list_models", kListModelsParams, "list", "List available models for a given provider.", list_models},
};

}  // namespace

std::span<const FunctionSpec> plumbing_functions() {
  return kPlumbing;
}

}  // namespace velmora
