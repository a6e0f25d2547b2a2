#!/usr/bin/env python3
"""Checks the source tree's dependency rules; exits 1 on a violation.

- Folders form layers: base <- engine <- {blitz, decor, plot} <- tarvelopy.
  A file may include its own folder and the layers below it, never a layer
  above it nor a sibling (blitz, decor and plot know nothing of each other).
- No include cycle between modules (a module is a file pair name.hpp +
  name.cpp in one folder), since a cycle means two modules are really one.

Usage: check_layout.py [source root, default: src]
"""
import os
import re
import sys

LAYER = {
    "tarvelo/base": 0,
    "tarvelo/engine": 1,
    "tarvelo/blitz": 2,
    "tarvelo/decor": 2,
    "tarvelo/plot": 2,
    "tarvelopy": 3,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    folder = os.path.dirname(path)
    return folder if folder in LAYER else None


def module_of(path):
    return os.path.splitext(path)[0]


def find_cycle(graph):
    """One cycle of the module graph as a list of modules, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def check(root):
    problems = []
    graph = {}
    for dirpath, _, names in os.walk(root):
        for name in sorted(names):
            if not name.endswith((".hpp", ".cpp")):
                continue
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, root)
            here = folder_of(rel)
            if here is None:
                problems.append(f"{rel}: file outside the known folders")
                continue
            with open(full, encoding="utf-8") as f:
                text = f.read()
            for inc in INCLUDE.findall(text):
                there = folder_of(inc)
                if there is None:
                    continue  # a header outside the source tree
                if there != here and LAYER[there] >= LAYER[here]:
                    problems.append(f"{rel}: includes {inc} from a layer at or above its own")
                if module_of(inc) != module_of(rel):
                    graph.setdefault(module_of(rel), set()).add(module_of(inc))
    cycle = find_cycle(graph)
    if cycle:
        problems.append("include cycle: " + " -> ".join(cycle))
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src")
    problems = check(os.path.normpath(root))
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
