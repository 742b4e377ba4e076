"""A progress line for commands that take a while: what is being done and for how long, on one
line of a terminal that is rewritten in place and wiped when the work ends."""
import threading
import time


class ProgressLine:
    """Shows "korvane: <phase> (<seconds> s)" on `stream` once the work has taken longer than
    `delay` seconds; quick commands print nothing. Use as a context manager; `phase()` names the
    current step."""

    def __init__(self, stream, enabled=True, delay=1.0, interval=0.5):
        self._stream = stream
        self._enabled = enabled
        self._delay = delay
        self._interval = interval
        self._phase = "starting"
        self._started = time.monotonic()
        self._stop = threading.Event()
        self._thread = None
        self._shown = False

    def phase(self, name):
        self._phase = name

    def __enter__(self):
        if self._enabled:
            self._thread = threading.Thread(target=self._run, name="korvane-progress", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc_info):
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            if self._shown:
                self._write("\r\x1b[K")
        return False

    def _run(self):
        if self._stop.wait(self._delay):
            return
        while True:
            elapsed = time.monotonic() - self._started
            self._write(f"\r\x1b[Kkorvane: {self._phase} ({elapsed:.0f} s)")
            self._shown = True
            if self._stop.wait(self._interval):
                return

    def _write(self, text):
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):  # a closed terminal ends the display, not the work
            self._stop.set()


def wanted(stream, quiet):
    """Whether to show progress: only to a person at a terminal who did not ask for quiet."""
    if quiet:
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
