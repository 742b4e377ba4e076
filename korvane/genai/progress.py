"""Progress of long work for whoever listens to it, such as a server that must show its client
that a call is still alive. The listener belongs to the current context (contextvars), so each of
several concurrent calls hears only its own work, and a worker thread hears it when it runs in a
copy of the caller's context."""
import contextlib
import contextvars

_listener = contextvars.ContextVar("korvane_progress_listener", default=None)


def report(message):
    """Tells the current listener, if there is one, that `message` describes the work now done."""
    listener = _listener.get()
    if listener is not None:
        listener(message)


@contextlib.contextmanager
def listening(listener):
    """Within the block, `report(message)` calls `listener(message)`."""
    token = _listener.set(listener)
    try:
        yield
    finally:
        _listener.reset(token)
