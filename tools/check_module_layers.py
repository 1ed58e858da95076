#!/usr/bin/env python3
"""Checks that module/ is layered: a file includes only its own folder and
the folders below it.

The folders are read bottom-up in LAYERS; folders on one row are one layer
and may include each other. The files at the top of module/ (module/*.cpp)
are above every folder. An include of a folder above its own is allowed only
when the include line says why, in a comment at its end:

    #include "bindings/binding_definitions.h"  // <the reason>

Usage: check_module_layers.py [MODULE_DIR]   checks the tree (default: the
                                             repository's module/)
       check_module_layers.py --self-test    checks the checker
Exit status 0 when every include keeps to the layers, 1 otherwise.
"""

import os
import re
import sys
import tempfile

# The module's folders, bottom-up.
LAYERS = [
    ["interfaces"],
    ["frame"],
    ["persistence"],
    ["parameters", "sources"],
    ["calculation"],
    ["executors", "environment"],
    ["bindings"],
    ["scheduling"],
]
TOP = len(LAYERS)  # the files directly in module/

RANK = {folder: rank for rank, row in enumerate(LAYERS) for folder in row}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"(.*)$')
REASON = re.compile(r"^\s*//\s*\S")
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inc")


def rank_of(module_dir, path):
    """The layer of a file under module_dir, TOP for the module's own files,
    None for a folder that LAYERS does not place."""
    parts = os.path.relpath(path, module_dir).split(os.sep)
    if len(parts) == 1:
        return TOP
    return RANK.get(parts[0])


def resolve(module_dir, including_file, name):
    """The module file an include names (next to the including file first,
    as the compiler looks), or None for a header from outside module/."""
    for base in (os.path.dirname(including_file), module_dir):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(candidate) and not os.path.relpath(candidate, module_dir).startswith(".."):
            return candidate
    return None


def check(module_dir):
    """The list of faults in module_dir, each a printable line."""
    module_dir = os.path.abspath(module_dir)
    faults = []
    for root, dirs, files in os.walk(module_dir):
        dirs.sort()
        for file_name in sorted(files):
            if not file_name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(root, file_name)
            shown = os.path.relpath(path, os.path.dirname(module_dir))
            own = rank_of(module_dir, path)
            if own is None:
                faults.append(f"{shown}: its folder has no place in the layers "
                              f"(tools/check_module_layers.py, LAYERS)")
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    target = resolve(module_dir, path, match.group(1))
                    if target is None:
                        continue
                    included = rank_of(module_dir, target)
                    if included is not None and included <= own:
                        continue
                    if included is not None and REASON.match(match.group(2)):
                        continue
                    faults.append(f"{shown}:{number}: includes \"{match.group(1)}\" from a "
                                  f"folder above its own (say why in a comment at the end "
                                  f"of the line if it must)")
    return faults


def self_test():
    """Plants good and bad includes in a scratch module and checks the verdicts."""
    cases = [
        # (file, its text, faults expected)
        ("frame/a.cpp", '#include "frame/b.h"\n#include "interfaces/i.h"\n', 0),
        ("frame/b.h", '#include "bindings/x.h"\n', 1),
        ("frame/c.cpp", '#include "bindings/x.h"  // the reason\n', 0),
        ("frame/d.cpp", '#include "../bindings/x.h"\n', 1),
        ("frame/e.cpp", '#include "module_top.h"\n', 1),
        ("sources/s.cpp", '#include "parameters/p.h"\n#include "calculation/c.h"\n', 1),
        ("parameters/p.h", '#include "sources/s.h"\n#include <vector>\n#include "sys.h"\n', 0),
        ("bindings/x.h", '#include "scheduling/q.h" /* no line comment */\n', 1),
        ("scheduling/q.h", '#include "bindings/x.h"\n', 0),
        ("top.cpp", '#include "scheduling/q.h"\n', 0),
        ("elsewhere/z.cpp", "", 1),
    ]
    empty = ["interfaces/i.h", "calculation/c.h", "sources/s.h", "module_top.h"]
    with tempfile.TemporaryDirectory() as scratch:
        module_dir = os.path.join(scratch, "module")
        for name, text in [(n, t) for n, t, _ in cases] + [(n, "") for n in empty]:
            os.makedirs(os.path.dirname(os.path.join(module_dir, name)), exist_ok=True)
            with open(os.path.join(module_dir, name), "w", encoding="utf-8") as f:
                f.write(text)
        faults = check(module_dir)
    wrong = 0
    for name, _, expected in cases:
        found = sum(1 for fault in faults if fault.startswith(f"module/{name}:"))
        if found != expected:
            print(f"self-test: module/{name}: {found} faults, expected {expected}")
            wrong += 1
    print(f"self-test: {len(cases) - wrong} of {len(cases)} cases right")
    return 1 if wrong else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) > 2:
        print(__doc__)
        return 2
    here = os.path.dirname(os.path.abspath(__file__))
    module_dir = argv[1] if len(argv) == 2 else os.path.join(here, "..", "module")
    faults = check(module_dir)
    for fault in faults:
        print(fault)
    print(f"{len(faults)} include(s) against the layers")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
