"""Chat clients for the LLM providers, over their HTTP APIs with the standard library only.

Credentials and addresses come from the environment:

| provider | key              | base URL (default)                                             |
|----------|------------------|----------------------------------------------------------------|
| openai   | OPENAI_API_KEY   | OPENAI_BASE_URL (https://api.openai.com/v1)                    |
| google   | GEMINI_API_KEY   | GEMINI_BASE_URL (https://generativelanguage.googleapis.com/v1beta) |
| ollama   | (none)           | OLLAMA_HOST (http://localhost:11434)                           |

The base URLs can point at any server that speaks the same API (a proxy, a local gateway, a
test double). Keys travel in headers, never in URLs, so URLs can appear in error messages.
"""
import json
import os
import time
import urllib.error
import urllib.parse
import urllib.request

# Reasoning models and local models on small machines can take minutes for one answer.
REQUEST_TIMEOUT = 600.0
LISTING_TIMEOUT = 30.0


class LLMError(RuntimeError):
    """A provider could not be reached, refused a request or answered with something unusable."""


def _error_detail(exc):
    """The provider's own explanation of an HTTP error, from the body it sent."""
    body = exc.read().decode("utf-8", "replace")
    try:
        error = json.loads(body).get("error", body)
    except (ValueError, AttributeError):
        return body.strip()[:500] or exc.reason
    if isinstance(error, dict):
        return error.get("message") or json.dumps(error)
    return str(error)


def _request_json(provider, method, url, *, headers=None, body=None, timeout=REQUEST_TIMEOUT):
    data = None if body is None else json.dumps(body).encode("utf-8")
    request = urllib.request.Request(url, data=data, method=method,
                                     headers={"Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            payload = response.read()
    except urllib.error.HTTPError as exc:
        raise LLMError(f"{provider} request {method} {url} failed with HTTP {exc.code}: {_error_detail(exc)}") from None
    except (urllib.error.URLError, OSError) as exc:
        raise LLMError(f"cannot reach {provider} at {url}: {getattr(exc, 'reason', exc)}") from exc
    try:
        return json.loads(payload)
    except ValueError as exc:
        raise LLMError(f"{provider} answered {method} {url} with something that is not JSON") from exc


def _required_env(name, provider):
    value = os.environ.get(name)
    if not value:
        raise LLMError(f"{name} is not set: export your {provider} API key to use the {provider} provider")
    return value


class ChatClient:
    """One provider and model. `complete(messages)` sends a chat (a list of {"role", "content"}
    with roles "system", "user" and "assistant") and returns the text of the reply; it counts
    the calls and the time spent waiting for them."""

    provider = ""
    default_model = ""

    def __init__(self, model=None):
        self.model = model or self.default_model
        self.calls = 0
        self.seconds = 0.0

    def complete(self, messages):
        started = time.perf_counter()
        try:
            return self._complete(messages)
        finally:
            self.calls += 1
            self.seconds += time.perf_counter() - started

    def _complete(self, messages):
        raise NotImplementedError

    def list_models(self):
        raise NotImplementedError


class OpenAIClient(ChatClient):
    provider = "openai"
    default_model = "gpt-5"

    def __init__(self, model=None):
        super().__init__(model)
        self.base_url = os.environ.get("OPENAI_BASE_URL", "https://api.openai.com/v1").rstrip("/")

    def _headers(self):
        return {"Authorization": "Bearer " + _required_env("OPENAI_API_KEY", self.provider)}

    def _complete(self, messages):
        # No temperature: the reasoning models accept only their default.
        reply = _request_json(self.provider, "POST", self.base_url + "/chat/completions", headers=self._headers(),
                              body={"model": self.model, "messages": messages})
        try:
            return reply["choices"][0]["message"]["content"] or ""
        except (KeyError, IndexError, TypeError) as exc:
            raise LLMError(f"openai answered without a message: {json.dumps(reply)[:500]}") from exc

    def list_models(self):
        reply = _request_json(self.provider, "GET", self.base_url + "/models", headers=self._headers(),
                              timeout=LISTING_TIMEOUT)
        return [entry["id"] for entry in reply.get("data", [])]


class GeminiClient(ChatClient):
    provider = "google"
    default_model = "gemini-2.5-flash"

    def __init__(self, model=None):
        super().__init__(model)
        self.base_url = os.environ.get("GEMINI_BASE_URL",
                                       "https://generativelanguage.googleapis.com/v1beta").rstrip("/")

    def _headers(self):
        return {"x-goog-api-key": _required_env("GEMINI_API_KEY", self.provider)}

    def _complete(self, messages):
        system = "\n\n".join(m["content"] for m in messages if m["role"] == "system")
        contents = [{"role": "model" if m["role"] == "assistant" else "user", "parts": [{"text": m["content"]}]}
                    for m in messages if m["role"] != "system"]
        body = {"contents": contents}
        if system:
            body["systemInstruction"] = {"parts": [{"text": system}]}
        model = urllib.parse.quote(self.model.removeprefix("models/"), safe="")
        reply = _request_json(self.provider, "POST", f"{self.base_url}/models/{model}:generateContent",
                              headers=self._headers(), body=body)
        candidates = reply.get("candidates") or []
        if not candidates:
            reason = (reply.get("promptFeedback") or {}).get("blockReason", "no candidates")
            raise LLMError(f"google answered without a candidate ({reason})")
        parts = (candidates[0].get("content") or {}).get("parts") or []
        return "".join(part.get("text", "") for part in parts)

    def list_models(self):
        names, token = [], None
        while True:
            query = "?pageSize=1000" + (f"&pageToken={urllib.parse.quote(token)}" if token else "")
            reply = _request_json(self.provider, "GET", self.base_url + "/models" + query, headers=self._headers(),
                                  timeout=LISTING_TIMEOUT)
            names += [m["name"].removeprefix("models/") for m in reply.get("models", [])
                      if "generateContent" in m.get("supportedGenerationMethods", ["generateContent"])]
            token = reply.get("nextPageToken")
            if not token:
                return names


class OllamaClient(ChatClient):
    provider = "ollama"
    default_model = "llama3.1"

    def __init__(self, model=None):
        super().__init__(model)
        host = os.environ.get("OLLAMA_HOST") or "http://localhost:11434"
        self.base_url = (host if "://" in host else "http://" + host).rstrip("/")

    def _complete(self, messages):
        reply = _request_json(self.provider, "POST", self.base_url + "/api/chat",
                              body={"model": self.model, "messages": messages, "stream": False})
        try:
            return reply["message"]["content"]
        except (KeyError, TypeError) as exc:
            raise LLMError(f"ollama answered without a message: {json.dumps(reply)[:500]}") from exc

    def list_models(self):
        reply = _request_json(self.provider, "GET", self.base_url + "/api/tags", timeout=LISTING_TIMEOUT)
        return [entry["name"] for entry in reply.get("models", [])]
