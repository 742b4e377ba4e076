"""A fake LLM server on 127.0.0.1 that speaks the OpenAI, Gemini and Ollama HTTP APIs.

Chat requests are answered from a queue of canned replies (a string, a function of the
request's messages returning one, or an HTTP failure); every request is recorded with its normalised messages, so
tests can read what korvane asked. `serve(monkeypatch)` starts one and points the clients at it.
"""
import json
import re
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

API_KEY = "test-key"
MODELS = {
    "openai": ["gpt-5", "gpt-4o", "o3-mini", "gpt-5-mini"],
    "google": ["gemini-2.5-flash", "gemini-2.5-pro", "gemini-1.5-pro"],
    "ollama": ["llama3.1:8b", "qwen2.5:7b", "llama3.2:3b"],
}
GENERATE = re.compile(r"^/v1beta/models/([^/:]+):generateContent$")


@dataclass
class Failure:
    status: int
    body: dict


@dataclass
class Request:
    method: str
    path: str
    headers: dict
    body: dict | None
    messages: list = field(default_factory=list)  # [{"role", "content"}] whatever the API


class FakeLLM:
    def __init__(self):
        self.replies = []
        self.requests = []
        self.lock = threading.Lock()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def reply(self, *answers):
        self.replies.extend(answers)

    def fail(self, status, body):
        """The next chat in the queue is refused with `status` and `body`."""
        self.replies.append(Failure(status, body))

    @property
    def chats(self):
        """The chat requests, in order."""
        return [r for r in self.requests if r.method == "POST"]

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    def _answer(self, messages):
        with self.lock:
            if not self.replies:
                raise AssertionError("the fake LLM has no reply left")
            reply = self.replies.pop(0)
        return reply(messages) if callable(reply) else reply

    def _handler(self):
        fake = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _send(self, status, payload):
                data = json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def _record(self, body=None, messages=()):
                request = Request(self.command, self.path, {k.lower(): v for k, v in self.headers.items()}, body,
                                  list(messages))
                with fake.lock:
                    fake.requests.append(request)
                return request

            def _authorised(self, provider):
                if provider == "openai":
                    ok = self.headers.get("Authorization") == "Bearer " + API_KEY
                elif provider == "google":
                    ok = self.headers.get("x-goog-api-key") == API_KEY
                else:
                    ok = True
                if not ok:
                    self._send(401, {"error": {"message": "Incorrect API key provided", "code": 401}})
                return ok

            def do_GET(self):
                path = self.path.split("?")[0]
                provider = {"/v1/models": "openai", "/v1beta/models": "google", "/api/tags": "ollama"}.get(path)
                self._record()
                if provider is None:
                    return self._send(404, {"error": "not found"})
                if not self._authorised(provider):
                    return
                names = MODELS[provider]
                if provider == "openai":
                    return self._send(200, {"object": "list", "data": [{"id": n, "object": "model"} for n in names]})
                if provider == "ollama":
                    return self._send(200, {"models": [{"name": n, "size": 1} for n in names]})
                # Gemini pages its list; the second page also holds a model that cannot chat.
                if "pageToken=" not in self.path:
                    return self._send(200, {"models": [{"name": "models/" + names[0],
                                                        "supportedGenerationMethods": ["generateContent"]}],
                                            "nextPageToken": "page2"})
                rest = [{"name": "models/" + n, "supportedGenerationMethods": ["generateContent", "countTokens"]}
                        for n in names[1:]]
                rest.append({"name": "models/text-embedding-004", "supportedGenerationMethods": ["embedContent"]})
                return self._send(200, {"models": rest})

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"null")
                if self.path == "/v1/chat/completions":
                    provider, messages = "openai", body["messages"]
                elif self.path == "/api/chat":
                    provider, messages = "ollama", body["messages"]
                elif GENERATE.match(self.path):
                    provider = "google"
                    messages = [{"role": "system", "content": p["text"]}
                                for p in (body.get("systemInstruction") or {}).get("parts", [])]
                    messages += [{"role": "assistant" if c["role"] == "model" else "user",
                                  "content": "".join(p["text"] for p in c["parts"])} for c in body["contents"]]
                else:
                    self._record(body)
                    return self._send(404, {"error": "not found"})
                self._record(body, messages)
                if not self._authorised(provider):
                    return
                text = fake._answer(messages)
                if isinstance(text, Failure):
                    return self._send(text.status, text.body)
                if provider == "openai":
                    return self._send(200, {"choices": [{"index": 0, "message": {"role": "assistant", "content": text}}]})
                if provider == "ollama":
                    return self._send(200, {"message": {"role": "assistant", "content": text}, "done": True})
                return self._send(200, {"candidates": [{"content": {"role": "model", "parts": [{"text": text}]}}]})

        return Handler


def serve(monkeypatch):
    """Starts a fake LLM and points every provider's client at it, with valid keys."""
    fake = FakeLLM().start()
    monkeypatch.setenv("OPENAI_BASE_URL", fake.url + "/v1")
    monkeypatch.setenv("OPENAI_API_KEY", API_KEY)
    monkeypatch.setenv("GEMINI_BASE_URL", fake.url + "/v1beta")
    monkeypatch.setenv("GEMINI_API_KEY", API_KEY)
    monkeypatch.setenv("OLLAMA_HOST", fake.url)
    return fake


def answer(model, data, before="Here is the model."):
    """An LLM reply holding a .mod/.dat pair."""
    return f"{before}\n\n```mod\n{model}\n```\n\n```dat\n{data}\n```\n"


# A small production model: the same problem written wrongly (an assignment '=' in a constraint,
# which the parser rejects at line 8) and rightly. Optimum: 3 * 4 + 2 * 3 = 18 at x = 4, y = 3.
BROKEN_MODEL = """\
float profit_x = ...;
float profit_y = ...;
float hours = ...;
dvar float+ x;
dvar float+ y;
maximize profit_x * x + profit_y * y;
subject to {
  labour: x + y = hours;
  x_cap: x <= 4;
}"""
FIXED_MODEL = BROKEN_MODEL.replace("x + y = hours", "x + y <= hours")
PAIR_DATA = "profit_x = 3;\nprofit_y = 2;\nhours = 7;"
OPTIMUM = 18.0
