#!/usr/bin/env python3
"""Fails when a folder reaches above its floor.

Checks every #include "folder/..." in the source folders and every library a folder's
CMakeLists.txt links, against the floor order below; prints each violation as file:line.
Usage: scripts/layercheck.py [ROOT]   (ROOT defaults to the checkout this script lies in)
"""
import os
import re
import sys

# The floor order, lowest first. A folder may use the folders of lower floors; on its own floor
# only the folders named in SIDEWAYS.
FLOORS = [
    ["framework", "common"],                    # foundation: the application framework, trace, owners, paths...
    ["logcheck", "xml", "zip", "enc", "json"],  # subsystems
    ["app"],                                    # the application object and the update road
    ["tools", "tests", "bench", "fuzz"],        # everything built around the updater
]
SIDEWAYS = {
    "framework": {"common"},   # the start-up traces and owns the common-controls module
    "json": {"enc"},           # JsonFile keeps its documents in the encrypted container
    "tests": {"tools"},        # tests drive the companion programs' libraries (patch builder, listener)
    "fuzz": {"tools"},         # fuzz seeds are made by the companion programs' writers
}

SOURCE_EXTS = (".h", ".hpp", ".c", ".cc", ".cpp", ".inl")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*[<"]([A-Za-z0-9_]+)/[^">]+[">]')
# Library names of the project's own targets, defined by these commands.
DEFINE_RE = re.compile(r"\b(?:lumo_library|lumo_program|lumo_add_gtest|add_library|add_executable)\s*\(\s*([A-Za-z0-9_]+)")
CALL_RE = re.compile(r"\b([A-Za-z_][A-Za-z0-9_]*)\s*\(")
KEYWORDS = {"SOURCES", "LIBS", "LOCKS", "GUI", "PUBLIC", "PRIVATE", "INTERFACE", "STATIC", "OBJECT", "SHARED"}

FLOOR_OF = {folder: n for n, floor in enumerate(FLOORS) for folder in floor}


def allowed(user, used):
    if user == used:
        return True
    if FLOOR_OF[used] < FLOOR_OF[user]:
        return True
    return FLOOR_OF[used] == FLOOR_OF[user] and used in SIDEWAYS.get(user, set())


def describe(folder):
    return "%s (floor %d)" % (folder, FLOOR_OF[folder])


def walk(root, folder, want):
    for base, dirs, files in os.walk(os.path.join(root, folder)):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d != "build")
        for name in sorted(files):
            if want(name):
                yield os.path.join(base, name)


def strip_comments(line):
    return line.split("#", 1)[0]


def cmake_calls(path):
    """Yields (command name, [(line number, word)]) for each call, which may span lines."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        text = strip_comments(lines[i])
        m = CALL_RE.search(text)
        if not m:
            i += 1
            continue
        parts = [(i + 1, text[m.end():])]
        depth = 1 + parts[0][1].count("(") - parts[0][1].count(")")
        while depth > 0 and i + 1 < len(lines):
            i += 1
            more = strip_comments(lines[i])
            parts.append((i + 1, more))
            depth += more.count("(") - more.count(")")
        words = []
        for number, part in parts:
            # An object library pulled into SOURCES is linked as well: it comes back marked "@".
            for a, b in re.findall(r"\$<TARGET_OBJECTS:([A-Za-z0-9_]+)>|([^\s()]+)", part):
                words.append((number, "@" + a if a else b))
        yield m.group(1), words
        i += 1


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    violations = []

    for folder in FLOOR_OF:
        for path in walk(root, folder, lambda n: n.endswith(SOURCE_EXTS)):
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE_RE.match(line)
                    if m and m.group(1) in FLOOR_OF and not allowed(folder, m.group(1)):
                        violations.append("%s:%d: %s includes %s from %s" % (
                            os.path.relpath(path, root), number, describe(folder), line.strip().split(None, 1)[1],
                            describe(m.group(1))))

    # Which folder defines each of the project's libraries and programs.
    lists = {folder: list(walk(root, folder, lambda n: n == "CMakeLists.txt")) for folder in FLOOR_OF}
    home = {}
    for folder, paths in lists.items():
        for path in paths:
            with open(path, encoding="utf-8") as f:
                for m in DEFINE_RE.finditer("\n".join(strip_comments(l) for l in f)):
                    home[m.group(1)] = folder

    for folder, paths in lists.items():
        for path in paths:
            for command, words in cmake_calls(path):
                # add_dependencies is build order only (tests wait for the programs they start).
                used, in_libs = [], command == "target_link_libraries"
                for number, w in words[1:]:
                    if w.startswith("@"):
                        used.append((number, w[1:]))
                    elif w in KEYWORDS:
                        in_libs = command == "target_link_libraries" or w == "LIBS"
                    elif in_libs:
                        used.append((number, w))
                for number, lib in used:
                    if lib in home and not allowed(folder, home[lib]):
                        violations.append("%s:%d: %s links %s from %s" % (
                            os.path.relpath(path, root), number, describe(folder), lib, describe(home[lib])))

    for v in violations:
        print(v)
    if violations:
        print("layercheck: %d violation(s); floors, lowest first: %s" % (
            len(violations), " | ".join(", ".join(f) for f in FLOORS)), file=sys.stderr)
        return 1
    print("layercheck: %d floors, no folder reaches above its own" % len(FLOORS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
