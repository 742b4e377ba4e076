"""Generation of korvane models by large language models.

`generative_solve` has an LLM write a .mod/.dat pair from a natural-language prompt and repairs it
against korvane's own parser and generator; `generative_feedback` asks an LLM about an existing
pair. The LLM providers (OpenAI, Google Gemini, Ollama) are reached over their HTTP APIs.
"""
from ._strategy_base import LLMProvider, list_gemini_models, list_ollama_models, list_openai_models
from .clients import LLMError
from .generation import DEFAULT_METHOD, generative_feedback, generative_solve

__all__ = ["DEFAULT_METHOD", "LLMError", "LLMProvider", "generative_feedback", "generative_solve",
           "list_gemini_models", "list_ollama_models", "list_openai_models"]
