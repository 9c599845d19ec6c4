#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own, or when a layer below the
commands writes to the terminal itself (it says what it meets through Messages; the commands print).

The layers, lowest first: each may include only its own and lower ones. main.cpp is the top.
    tools/check_layers.py [SRC_DIR]
"""
import pathlib
import re
import sys

LAYERS = ["base", "codecs", "image", "volume", "btree", "catalog", "commands", "shell"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)
PRINTS = re.compile(r"\b(printf|fprintf|puts|fputs|perror|putchar|std::cout|std::cerr)\b")
QUIET = LAYERS[:LAYERS.index("commands")]
PRINTER = "base/messages.cpp"   # where what was said is finally written


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "src")
    wrong = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or path.parent == src:
            continue
        layer = path.relative_to(src).parts[0]
        if layer not in LAYERS:
            wrong.append(f"{path}: folder '{layer}' is no layer")
            continue
        text = path.read_text(encoding="utf-8")
        if layer in QUIET and path.relative_to(src).as_posix() != PRINTER:
            for number, line in enumerate(text.splitlines(), 1):
                if PRINTS.search(line.split("//")[0]) and "format(printf" not in line:
                    wrong.append(f"{path}:{number}: {layer} prints; say it through Messages")
        for target in INCLUDE.findall(text):
            if target not in LAYERS or LAYERS.index(target) > LAYERS.index(layer):
                wrong.append(f"{path}: {layer} includes {target}")
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
