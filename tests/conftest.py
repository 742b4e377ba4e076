"""Test setup: import korvane from the source tree (or from the staging directory of a sanitizer
or debug-interpreter build, named by KORVANE_STAGE) and make the test-only modules importable."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

sys.path.insert(0, os.environ.get("KORVANE_STAGE") or ROOT)
sys.path.insert(0, os.environ.get("KORVANE_PROBE_DIR") or os.path.join(ROOT, "build", "release", "probe"))
sys.path.insert(0, os.path.join(HERE, "support"))
