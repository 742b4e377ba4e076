"""A progress line for commands that take a while: the phase, HiGHS's incumbent, bound and gap
while it searches, and the time spent, on one terminal line rewritten in place and wiped at the
end.

HiGHS holds the interpreter lock for the whole search, so no thread of this process could update
the line meanwhile: a small child process draws it. The parent sends it the phase names on a
pipe and, while the solver runs, lends it standard output through a pseudo-terminal, so that
HiGHS's log arrives line by line (C output to a pipe would be held back until the end).
"""
import contextlib
import os
import re
import selectors
import subprocess
import sys
import time

# A line of HiGHS's branch-and-bound log ends with: bound, incumbent, gap, three counts of
# constraints, LP iterations and the time.
_MAXIMIZING = "@maximizing"

_HIGHS_ROW = re.compile(r"(?P<bound>\S+)\s+(?P<incumbent>\S+)\s+(?P<gap>\S+%|inf|Large)"
                        r"\s+\d+\s+\d+\s+\d+\s+\d+\s+[\d.]+s\s*$")


class ProgressLine:
    """Shows "korvane: <phase> (<seconds> s)" on `stream` (a terminal file) once the work has
    taken longer than `delay` seconds; quick commands print nothing. Use as a context manager;
    `phase()` names the current step and `solver_log()` routes the solver's log to the line."""

    def __init__(self, stream, enabled=True, delay=1.0):
        self._stream = stream
        self._enabled = enabled
        self._delay = delay
        self._child = None
        self._log = None

    def __enter__(self):
        if not self._enabled:
            return self
        try:
            self._log = os.openpty()
        except OSError:  # no pseudo-terminals here: the work goes on without the line
            return self
        try:
            self._child = subprocess.Popen(
                [sys.executable, "-m", "korvane.progress", str(self._delay), str(self._log[0])],
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=self._stream, pass_fds=(self._log[0],),
                env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        except OSError:
            os.close(self._log[1])
        finally:
            os.close(self._log[0])
        return self

    def phase(self, name):
        self._send(name)

    def maximizing(self):
        """HiGHS minimises the negated objective of a maximisation: its values are shown negated back."""
        self._send(_MAXIMIZING)

    def _send(self, line):
        if self._child is None:
            return
        with contextlib.suppress(OSError):
            self._child.stdin.write(f"{line}\n".encode())
            self._child.stdin.flush()

    @contextlib.contextmanager
    def solver_log(self):
        """Standard output (file descriptor 1) goes to the progress line while this lasts."""
        if self._child is None:
            yield
            return
        sys.stdout.flush()
        saved = os.dup(1)
        os.dup2(self._log[1], 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)

    def __exit__(self, *exc_info):
        if self._child is not None:
            os.close(self._log[1])
            with contextlib.suppress(OSError):
                self._child.stdin.close()
            self._child.wait()
        return False


def wanted(stream, quiet):
    """Whether to show progress: only to a person at a terminal who did not ask for quiet."""
    if quiet:
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _draw(delay, log_fd):
    """The child's loop: phases from standard input, HiGHS rows from `log_fd`, the line on
    standard error; ends when standard input closes."""
    started = time.monotonic()
    phase, detail, shown, sign = "starting", "", False, 1
    selector = selectors.DefaultSelector()
    selector.register(sys.stdin.fileno(), selectors.EVENT_READ, "phase")
    selector.register(log_fd, selectors.EVENT_READ, "log")
    pending = {"phase": b"", "log": b""}
    while True:
        for key, _ in selector.select(timeout=0.25):
            try:
                chunk = os.read(key.fd, 4096)
            except OSError:  # the pseudo-terminal reports its closing as an error
                chunk = b""
            if not chunk:
                selector.unregister(key.fd)
                if key.data == "phase":
                    if shown:
                        os.write(2, b"\r\x1b[K")
                    return
                continue
            *lines, pending[key.data] = (pending[key.data] + chunk).split(b"\n")
            for line in lines:
                text = line.decode("utf-8", "replace").strip()
                if key.data == "phase" and text == _MAXIMIZING:
                    sign = -1
                elif key.data == "phase" and text:
                    phase, detail = text, ""
                elif key.data == "log":
                    detail = _highs_detail(text, sign) or detail
        elapsed = time.monotonic() - started
        if elapsed >= delay:
            os.write(2, f"\r\x1b[Kkorvane: {phase}{detail} ({elapsed:.0f} s)".encode())
            shown = True


def _highs_detail(line, sign):
    row = _HIGHS_ROW.search(line)
    if row is None:
        return None
    incumbent, bound = _signed(row["incumbent"], sign), _signed(row["bound"], sign)
    if incumbent is None:
        return f": no incumbent yet, bound {bound}"
    return f": incumbent {incumbent}, bound {bound}, gap {row['gap']}"


def _signed(text, sign):
    """A value of the log in the model's own sense; None for an infinite one."""
    try:
        value = float(text) * sign
    except ValueError:
        return text
    return None if abs(value) == float("inf") else f"{value:.10g}"


if __name__ == "__main__":
    _draw(float(sys.argv[1]), int(sys.argv[2]))
