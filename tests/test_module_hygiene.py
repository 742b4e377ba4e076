"""Properties every extension module of the package shares."""
import importlib
import shutil
import subprocess
import sys

import pytest
import velmora_server  # noqa: F401  (lets korvane._velmoraserve import against the FastMCP stand-in)

MODULES = ["faultlore", "setloom", "mipwright", "oplparse", "lpwrightcore", "lpwright", "lpwrightsparse", "_velmoraserve"]


@pytest.mark.parametrize("name", MODULES)
def test_exports_only_its_init_function(name):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    path = importlib.import_module("korvane." + name).__file__
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_" + name]


@pytest.mark.parametrize("name", MODULES)
def test_sub_interpreter_is_refused(name):
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        code = f"import sys; sys.path[:0] = {sys.path!r}\nimport korvane.{name}"
        with pytest.raises(interpreters.RunFailedError, match="ImportError.*sub-interpreter"):
            interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


@pytest.mark.parametrize("name", MODULES)
def test_reimport_in_the_main_interpreter(name):
    import korvane

    full = "korvane." + name
    saved = sys.modules.pop(full)
    try:
        fresh = importlib.import_module(full)
        assert fresh is not saved and fresh.__name__ == full
    finally:
        sys.modules[full] = saved
        setattr(korvane, name, saved)

