"""In-tree build backend (PEP 517) for korvane.

Builds the extension modules with CMake into a staging copy of the package and packs it as a
wheel with the standard library only, so `pip install .` works without network access.
"""
import base64
import hashlib
import io
import os
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "korvane"
SDIST_EXCLUDE = {".git", "build", "__pycache__", ".pytest_cache"}


def _project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _wheel_tag():
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = python + ("d" if hasattr(sys, "gettotalrefcount") else "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{python}-{abi}-{platform}"


def _metadata(project):
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}",
             f"Summary: {project['description']}", f"Requires-Python: {project['requires-python']}"]
    lines += [f"Requires-Dist: {dep}" for dep in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dep}; extra == "{extra}"' for dep in deps]
    lines += ["Description-Content-Type: text/markdown", ""]
    return "\n".join(lines) + (ROOT / project["readme"]).read_text(encoding="utf-8")


def _python_sources():
    """The pure-Python files of the package: its modules and its Python subpackages."""
    for path in sorted(PACKAGE.rglob("*.py")):
        relative = path.relative_to(PACKAGE)
        if all((PACKAGE / Path(*relative.parts[:i]) / "__init__.py").exists() for i in range(len(relative.parts))):
            yield path


def _build_extensions(build_dir, package_dir):
    configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), f"-DPython3_EXECUTABLE={sys.executable}",
                 "-DCMAKE_BUILD_TYPE=Release", f"-DKORVANE_PACKAGE_DIR={package_dir}", "-DKORVANE_BUILD_PROBE=OFF"]
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 1)], check=True, stdout=sys.stderr)
    return sorted(Path(package_dir).glob("*.so"))


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    dist_info = f"{project['name']}-{project['version']}.dist-info"
    wheel_name = f"{project['name']}-{project['version']}-{_wheel_tag()}.whl"
    with tempfile.TemporaryDirectory() as tmp:
        modules = _build_extensions(Path(tmp) / "build", Path(tmp) / "korvane")
        files = [(f"korvane/{m.name}", m.read_bytes()) for m in modules]
        files += [(f"korvane/{p.relative_to(PACKAGE).as_posix()}", p.read_bytes()) for p in _python_sources()]
    files.append((f"{dist_info}/METADATA", _metadata(project).encode()))
    wheel_meta = f"Wheel-Version: 1.0\nGenerator: korvane_build\nRoot-Is-Purelib: false\nTag: {_wheel_tag()}\n"
    files.append((f"{dist_info}/WHEEL", wheel_meta.encode()))
    scripts = project.get("scripts", {})
    if scripts:
        entry_points = "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in scripts.items())
        files.append((f"{dist_info}/entry_points.txt", entry_points.encode()))
    record = [_record_line(name, data) for name, data in files] + [f"{dist_info}/RECORD,,"]
    files.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            wheel.writestr(name, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{project['name']}-{project['version']}"

    def keep(info):
        parts = Path(info.name).parts
        if any(p in SDIST_EXCLUDE for p in parts) or info.name.endswith(".so"):
            return None
        return info

    with tarfile.open(Path(sdist_directory) / f"{base}.tar.gz", "w:gz") as sdist:
        for entry in sorted(ROOT.iterdir()):
            if entry.name not in SDIST_EXCLUDE:
                sdist.add(entry, arcname=f"{base}/{entry.name}", filter=keep)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata(project).encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return f"{base}.tar.gz"
