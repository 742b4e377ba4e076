// Interned names of the tool server: its module globals, the attributes and methods it reaches
// on outside objects, and the keys of the dictionaries it builds.
#pragma once

#include "common/keys.hpp"

namespace velmora::K {

using kv::Key;

// Module globals read at call time
inline Key asyncio{"asyncio"};
inline Key concurrent{"concurrent"};
inline Key json{"json"};
inline Key tempfile{"tempfile"};
inline Key datetime{"datetime"};
inline Key partial{"partial"};
inline Key Path{"Path"};
inline Key mcp{"mcp"};
inline Key FastMCP{"FastMCP"};
inline Key Context{"Context"};
inline Key TypeVar{"TypeVar"};
inline Key generative_feedback{"generative_feedback"};
inline Key generative_solve{"generative_solve"};
inline Key solve{"solve"};
inline Key LLMProvider{"LLMProvider"};
inline Key list_openai_models{"list_openai_models"};
inline Key list_gemini_models{"list_gemini_models"};
inline Key list_ollama_models{"list_ollama_models"};
inline Key DEFAULT_PROVIDER{"DEFAULT_PROVIDER"};
inline Key DEFAULT_MODEL{"DEFAULT_MODEL"};
inline Key METHODS{"METHODS"};

// The module's own functions, called through its globals so that replacing one takes effect
inline Key normalize_solver{"_normalize_solver"};
inline Key solve_backend{"_solve_backend"};
inline Key normalize_provider{"_normalize_provider"};
inline Key build_llm_kwargs{"_build_llm_kwargs"};
inline Key run_in_thread{"_run_in_thread"};
inline Key run_coro_in_thread{"_run_coro_in_thread"};
inline Key try_import_graphchain{"_try_import_graphchain"};
inline Key generate_with_best_available_backend{"_generate_with_best_available_backend"};
inline Key ask_for_feedback{"_ask_for_feedback"};
inline Key list_providers{"list_providers"};
inline Key list_models{"list_models"};

// Attributes and methods of outside objects
inline Key futures{"futures"};
inline Key ThreadPoolExecutor{"ThreadPoolExecutor"};
inline Key submit{"submit"};
inline Key result{"result"};
inline Key enter{"__enter__"};
inline Key exit{"__exit__"};
inline Key run{"run"};
inline Key tool{"tool"};
inline Key strip{"strip"};
inline Key lower{"lower"};
inline Key get{"get"};
inline Key dumps{"dumps"};
inline Key mkdtemp{"mkdtemp"};
inline Key now{"now"};
inline Key strftime{"strftime"};
inline Key generative_solve_async{"generative_solve_async"};
inline Key report{"report"};
inline Key StringIO{"StringIO"};
inline Key path{"path"};
inline Key realpath{"realpath"};
inline Key lexists{"lexists"};
inline Key isfile{"isfile"};
inline Key stat{"stat"};
inline Key st_nlink{"st_nlink"};
inline Key environ{"environ"};

// Introspection. Attribute names are always interned Keys: a lookup on a type with a fresh string
// leaves that string in the interpreter's method cache, slot by slot, for good.
inline Key inspect{"inspect"};
inline Key Parameter{"Parameter"};
inline Key Signature{"Signature"};
inline Key empty{"empty"};
inline Key POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"};
inline Key KEYWORD_ONLY{"KEYWORD_ONLY"};
inline Key VAR_POSITIONAL{"VAR_POSITIONAL"};
inline Key VAR_KEYWORD{"VAR_KEYWORD"};
inline Key graphchain_module{"korvane.genai.korvane_generative_graphchain"};

// Function attributes
inline Key dunder_name{"__name__"};
inline Key dunder_qualname{"__qualname__"};
inline Key dunder_module{"__module__"};
inline Key dunder_doc{"__doc__"};
inline Key dunder_signature{"__signature__"};
inline Key dunder_annotations{"__annotations__"};
inline Key return_{"return"};

// Keyword arguments and dictionary keys
inline Key iterations{"iterations"};
inline Key return_statistics{"return_statistics"};
inline Key model_name{"model_name"};
inline Key llm_provider{"llm_provider"};
inline Key error{"error"};
inline Key feedback{"feedback"};
inline Key summary{"summary"};
inline Key model_path{"model_path"};
inline Key data_path{"data_path"};
inline Key stats{"stats"};
inline Key results{"results"};
inline Key markdown{"markdown"};
inline Key value{"value"};

}  // namespace velmora::K
