#!/usr/bin/env python3
"""Fails if two units of src/ (a header with its source file) include each
other, directly or through others: the layers must form one staircase."""

import os
import re
import sys

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)

uses = {}
for folder, _, files in os.walk(SRC):
    for name in files:
        path = os.path.relpath(os.path.join(folder, name), SRC)
        unit = os.path.splitext(path)[0]
        with open(os.path.join(SRC, path)) as f:
            included = {os.path.splitext(i)[0] for i in INCLUDE.findall(f.read())}
        uses.setdefault(unit, set()).update(included - {unit})


def find_cycle():
    state = {}  # unit -> "open" while on the path, "done" after

    def visit(unit, path):
        state[unit] = "open"
        for other in sorted(uses.get(unit, ())):
            if state.get(other) == "open":
                return path[path.index(other):] + [other]
            if other not in state:
                found = visit(other, path + [other])
                if found:
                    return found
        state[unit] = "done"
        return None

    for unit in sorted(uses):
        if unit not in state:
            found = visit(unit, [unit])
            if found:
                return found
    return None


cycle = find_cycle()
if cycle:
    sys.exit("units that include each other: " + " -> ".join(cycle))
print(f"layers: {len(uses)} units of src/, no unit includes one that includes it")
