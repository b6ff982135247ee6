"""Fails when an include runs from a lower folder up into a higher one.

The folders stand in LAYERS from the floor up; a file may include our headers only from its
own folder or one listed before it. Tests, benchmarks and fuzz targets sit outside the
layers and may include anything.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LAYERS = [
    "foundation",
    "kernels",
    "exhaustive_search",
    "kmeans",
    "src/structs",
    "src/sampling",
    "src/clustering",
    "src/model",
    "src/bucket",
    "src/level_index",
    "src/index",
    "py_quillmere",
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"quillmere/([^"]+)"', re.M)


def owners():
    """Maps each public header name to the layer that declares it."""
    found = {}
    for rank, layer in enumerate(LAYERS):
        for header in (ROOT / layer).glob("**/include/quillmere/**/*.h"):
            name = header.as_posix().split("/include/quillmere/", 1)[1]
            if name in found:
                sys.exit(f"quillmere/{name} is declared in {LAYERS[found[name]]} and {layer}")
            found[name] = rank
    return found


def main():
    declared = owners()
    faults = []
    for rank, layer in enumerate(LAYERS):
        for path in sorted((ROOT / layer).rglob("*")):
            if path.suffix not in (".h", ".cpp") or "tests" in path.relative_to(ROOT).parts:
                continue
            for name in INCLUDE.findall(path.read_text()):
                owner = declared.get(name)
                if owner is None:
                    faults.append(f"{path.relative_to(ROOT)}: quillmere/{name} is declared nowhere")
                elif owner > rank:
                    faults.append(f"{path.relative_to(ROOT)}: includes quillmere/{name} from "
                                  f"{LAYERS[owner]}, above {layer}")
    for fault in faults:
        print(fault)
    if not declared:
        sys.exit("no public headers found: the layer list is out of date")
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
