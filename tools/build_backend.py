"""A small in-tree build backend: CMake builds the extension module and this
file packs it into a wheel. Standard library only; no network."""

import base64
import csv
import hashlib
import io
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = "py_quillmere"


def _cmake_version():
    """The version of project() in the top CMakeLists.txt, the one place it is written."""
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*py_quillmere\s+VERSION\s+([0-9][0-9.]*)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt: project(py_quillmere VERSION ...) not found")
    return found.group(1)


def _project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    if "version" in project.get("dynamic", []):
        project["version"] = _cmake_version()
    return project


def _tag():
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{python}-{python}-{platform}"


def _build_dir(config_settings):
    configured = (config_settings or {}).get("build-dir")
    return pathlib.Path(configured) if configured else ROOT / "build" / "wheel"


def _build_module(config_settings):
    # A module built already (the tests' own, say) is packed as it is, with no second build.
    prebuilt = (config_settings or {}).get("module")
    if prebuilt:
        built = pathlib.Path(prebuilt)
        if not built.is_file():
            raise RuntimeError(f"module={prebuilt}: no such file")
        return built
    build = _build_dir(config_settings)
    jobs = str((config_settings or {}).get("jobs") or os.cpu_count() or 1)
    # The interpreter that runs the build is the one the module is built for. Release: the
    # tested code without debug information, the module stripped (27 MB otherwise).
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), f"-DPython3_EXECUTABLE={sys.executable}",
         "-DCMAKE_BUILD_TYPE=Release", "-DQUILLMERE_BENCH=OFF"],
        check=True,
    )
    subprocess.run(["cmake", "--build", str(build), "--target", MODULE, "-j", jobs], check=True)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = build / MODULE / f"{MODULE}{suffix}"
    if not built.is_file():
        raise RuntimeError(f"the build did not produce {built}")
    return built


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for requirement in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {requirement}")
    return "\n".join(lines) + "\n"


def _wheel_file():
    return f"Wheel-Version: 1.0\nGenerator: {MODULE}-build-backend\nRoot-Is-Purelib: false\nTag: {_tag()}\n"


def _dist_info(project):
    return f"{project['name'].replace('-', '_')}-{project['version']}.dist-info"


def _record_row(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


# ---- PEP 517 hooks -------------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    info = pathlib.Path(metadata_directory) / _dist_info(project)
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(_metadata(project))
    (info / "WHEEL").write_text(_wheel_file())
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    built = _build_module(config_settings)
    info = _dist_info(project)
    files = {
        built.name: built.read_bytes(),
        # Type checkers do not read a stub beside a single-file extension module in
        # site-packages; a stub-only package named <module>-stubs they do (PEP 561).
        f"{MODULE}-stubs/__init__.pyi": (ROOT / MODULE / f"{MODULE}.pyi").read_bytes(),
        f"{info}/METADATA": _metadata(project).encode(),
        f"{info}/WHEEL": _wheel_file().encode(),
    }
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data in files.items():
        writer.writerow(_record_row(name, data))
    writer.writerow([f"{info}/RECORD", "", ""])
    files[f"{info}/RECORD"] = record.getvalue().encode()

    wheel_name = f"{project['name'].replace('-', '_')}-{project['version']}-{_tag()}.whl"
    path = pathlib.Path(wheel_directory) / wheel_name
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if name == built.name else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return wheel_name
