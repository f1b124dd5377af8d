#!/usr/bin/python3
"""Fails when the project's modules include each other in a circle.

A module is a file pair (name.h and name.cpp); module A uses module B when
either of A's files includes B's header. Every call between modules goes
through a header, so a circle of calls shows up as a circle here.

    /usr/bin/python3 tools/check_module_cycles.py [SOURCE_DIR]
"""
import os
import re
import sys

DIRS = ("engine", "platform", "publish", "httpd", "tools")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def modules(root):
    uses = {}
    for top in DIRS:
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                module = os.path.splitext(os.path.relpath(path, root))[0]
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                found = uses.setdefault(module, set())
                for target in INCLUDE.findall(text):
                    other = os.path.splitext(target)[0]
                    if other != module and os.path.exists(os.path.join(root, target)):
                        found.add(other)
    return uses


def find_cycle(uses):
    state = {}
    stack = []

    def visit(m):
        state[m] = "open"
        stack.append(m)
        for n in sorted(uses.get(m, ())):
            if state.get(n) == "open":
                return stack[stack.index(n):] + [n]
            if n not in state:
                cycle = visit(n)
                if cycle:
                    return cycle
        stack.pop()
        state[m] = "done"
        return None

    for m in sorted(uses):
        if m not in state:
            cycle = visit(m)
            if cycle:
                return cycle
    return None


USAGE = "usage: /usr/bin/python3 tools/check_module_cycles.py [SOURCE_DIR]\n"


def main():
    args = sys.argv[1:]
    if args in (["-h"], ["--help"]):
        sys.stdout.write(USAGE)
        return 0
    if len(args) > 1 or any(a.startswith("-") for a in args):
        sys.stderr.write(USAGE)
        return 2
    uses = modules(args[0] if args else ".")
    cycle = find_cycle(uses)
    if cycle:
        print("modules include each other in a circle: " + " -> ".join(cycle))
        return 1
    print("%d modules, no circle" % len(uses))
    return 0


if __name__ == "__main__":
    sys.exit(main())
