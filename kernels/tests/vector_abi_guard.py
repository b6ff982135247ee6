"""Fails when a native kernel object could hand a 256- or 512-bit vector across a call.

GCC 12 ends an out-of-line function that has a target attribute with vzeroupper, even when
the function returns a vector wrapped in a struct: the caller then reads a vector whose
upper lanes are zero. The same goes for vector arguments. The vector layer therefore keeps
every helper inline, and this check reads the machine code the build links (objdump) so that
it fails on any processor, AVX-512 or not:

1. every out-of-line function that touches a ymm or zmm register must be one the unit hands
   out by address (a kernel for the registry); a helper that touches none cannot pass a wide
   vector, and cold parts (.cold) count as their function;
2. no function may write a ymm or zmm register just before vzeroupper and return.

Usage: vector_abi_guard.py OBJDUMP OBJECT...
"""

import re
import subprocess
import sys

HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSN = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")
RELOC = re.compile(r"^\s*[0-9a-f]+: (R_X86_64_\w+)\s+(\S+?)(?:[-+]0x[0-9a-f]+)?$")
TARGET = re.compile(r"# [0-9a-f]+ <([^>+]+)>")
WIDE = re.compile(r"%[yz]mm\d+")
WIDE_DEST = re.compile(r"%[yz]mm\d+(\{%k\d\}(\{z\})?)?$")
BRANCH = re.compile(r"^(call|jmp|j[a-z]+)\b")
CLONE_COLD = re.compile(r"\.cold(\.\d+)?$")


def functions(objdump, path):
    """Returns ({name: [instruction text]}, set of names referenced other than by a branch)."""
    out = subprocess.run([objdump, "-d", "-r", "--no-show-raw-insn", path], check=True,
                         capture_output=True, text=True).stdout
    body, taken, current, last = {}, set(), None, ""
    for line in out.splitlines():
        if m := HEADER.match(line):
            current = CLONE_COLD.sub("", m.group(2))
            body.setdefault(current, [])
        elif current and (m := RELOC.match(line)):
            if not BRANCH.match(last) and m.group(1) != "R_X86_64_PLT32":
                taken.add(m.group(2))
        elif current and (m := INSN.match(line)):
            last = m.group(2).strip()
            body[current].append(last)
            if (t := TARGET.search(last)) and not BRANCH.match(last):
                taken.add(t.group(1))
    return body, taken


def demangle(name):
    try:
        return subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip() or name
    except OSError:
        return name


def check(objdump, path):
    body, taken = functions(objdump, path)
    if not body:
        return [f"{path}: no functions found"]
    faults = []
    for name, insns in body.items():
        if name not in taken and any(WIDE.search(i) for i in insns):
            faults.append(f"{path}: out-of-line helper uses ymm/zmm registers: {demangle(name)}")
        for k in range(1, len(insns) - 1):
            if insns[k] == "vzeroupper" and insns[k + 1].startswith("ret") and WIDE_DEST.search(insns[k - 1]):
                faults.append(f"{path}: {demangle(name)} clears the upper lanes of the vector it returns: "
                              f"{insns[k - 1]}; vzeroupper; ret")
    return faults


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    faults = [f for path in argv[2:] for f in check(argv[1], path)]
    print("\n".join(faults) if faults else f"{len(argv) - 2} objects: no vector crosses a call")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
