"""A plain `pip install` gives type checkers the stub.

Installs the source tree into a fresh virtual environment as the README says (offline), then
runs Debian's mypy in it on a file that passes a wrong argument type, expecting exactly that
error: a stub beside a single-file extension module is not found, a py_quillmere-stubs
package is (PEP 561).

Usage: installed_stub_test.py MODULE: the build's own extension module, which the install
packs instead of building a second, Release tree (the backend's module= setting).
"""

import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]

USES = """\
import numpy as np
import py_quillmere as pq

index = pq.QuillmereBuilder().input_shape(4).build()
ids = index.search(np.zeros(4, dtype=np.float32), 3, n_candidates=100)
index.insert(np.zeros(4, dtype=np.float32), "seven")
"""
WRONG_LINE = USES.splitlines().index('index.insert(np.zeros(4, dtype=np.float32), "seven")') + 1
EXPECTED = [
    f'uses.py:{WRONG_LINE}: error: Argument 2 to "insert" of "Quillmere" has incompatible type "str"; '
    'expected "SupportsIndex"  [arg-type]'
]


def run(args, cwd, env):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def main(module):
    # Nothing of the build tree may stand in for the installed module.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "VIRTUAL_ENV")}
    with tempfile.TemporaryDirectory(prefix="quillmere-stub-") as tmp:
        tmp = pathlib.Path(tmp)
        venv = tmp / "venv"
        steps = [
            ["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv],
            [venv / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
             "--config-settings", f"module={module}", ROOT],
        ]
        for step in steps:
            code, out, err = run(step, tmp, env)
            if code != 0:
                sys.exit(f"{' '.join(map(str, step))} failed ({code}):\n{out}{err}")

        code, out, err = run([venv / "bin" / "python", "-c", "import py_quillmere; print(py_quillmere.__file__)"],
                             tmp, env)
        if code != 0 or not pathlib.Path(out.strip()).is_relative_to(venv):
            sys.exit(f"the installed module is not the one imported ({code}): {out}{err}")

        (tmp / "uses.py").write_text(USES)
        code, out, err = run([venv / "bin" / "python", "-m", "mypy", "--no-error-summary", "--cache-dir",
                              tmp / "mypy-cache", "uses.py"], tmp, env)
        if code != 1 or out.splitlines() != EXPECTED:
            sys.exit(f"mypy ({code}) said:\n{out}{err}\nexpected:\n" + "\n".join(EXPECTED))
    print("mypy found the installed stub and reported the wrong argument type")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(pathlib.Path(sys.argv[1]).resolve())
