"""What every generation method stands on: the LLM providers, their clients and model lists, and
the base class of the prompting strategies."""
import enum

from .clients import GeminiClient, OllamaClient, OpenAIClient


class LLMProvider(str, enum.Enum):
    """The LLM providers korvane can talk to; the values are the canonical provider names."""

    OPENAI = "openai"
    GOOGLE = "google"
    OLLAMA = "ollama"


PROVIDER_ALIASES = {"gemini": LLMProvider.GOOGLE}
CLIENTS = {LLMProvider.OPENAI: OpenAIClient, LLMProvider.GOOGLE: GeminiClient, LLMProvider.OLLAMA: OllamaClient}


def provider_of(name):
    """The provider called `name` (any capitalisation; "gemini" is Google's)."""
    key = str(name.value if isinstance(name, LLMProvider) else name).strip().lower()
    if key in PROVIDER_ALIASES:
        return PROVIDER_ALIASES[key]
    try:
        return LLMProvider(key)
    except ValueError:
        known = ", ".join(sorted([p.value for p in LLMProvider] + list(PROVIDER_ALIASES)))
        raise ValueError(f"Unsupported provider '{key}'. Expected one of: {known}.") from None


def make_client(provider, model_name=None):
    """A chat client of `provider` for `model_name` (the provider's default model when None)."""
    return CLIENTS[provider_of(provider)](model_name)


def _filtered(names, prefix):
    return sorted(name for name in names if not prefix or name.startswith(prefix))


def list_openai_models(prefix=None):
    """Names of the models the OpenAI key can use, those starting with `prefix` when given."""
    return _filtered(OpenAIClient().list_models(), prefix)


def list_gemini_models(prefix=None):
    """Names of the Gemini models that generate content, those starting with `prefix` when given."""
    return _filtered(GeminiClient().list_models(), prefix)


def list_ollama_models(prefix=None):
    """Names of the models the Ollama server has pulled, those starting with `prefix` when given."""
    return _filtered(OllamaClient().list_models(), prefix)


class Strategy:
    """A prompting strategy: how to ask for a .mod/.dat pair, and how to ask again after one failed.

    `propose(failed)` returns the candidate answers of one round (raw LLM replies); `failed` is
    the kept attempt of the previous round, or None in the first round. `select(attempts)` keeps
    one of a round's checked attempts. `learn(failed)` runs after a round without a valid pair,
    before the next `propose`.
    """

    method_id = ""
    registry = {}

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if cls.method_id:
            Strategy.registry[cls.method_id] = cls

    def __init__(self, client, problem):
        self.client = client
        self.problem = problem

    def propose(self, failed):
        raise NotImplementedError

    def select(self, attempts):
        """The attempt of a round to keep: the one that got furthest, the earliest among equals."""
        return max(attempts, key=lambda attempt: attempt.rank)

    def learn(self, failed):
        """Nothing to learn by default: the next proposal sees the failure itself."""

    @classmethod
    def for_method(cls, method_id, client, problem):
        try:
            return cls.registry[method_id](client, problem)
        except KeyError:
            known = ", ".join(cls.registry)
            raise ValueError(f"Unknown generation method '{method_id}'. Expected one of: {known}.") from None
