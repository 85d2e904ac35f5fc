#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own, or when the table of
rooms or a room's CMake link line says something other than what its files include.

Each room (folder) names rooms below it that its files include from, and no room they do not;
what those may include is allowed too. The room's library links exactly the libraries of the
rooms its files include directly (plus outside libraries), so the link lines say what the code says. Tests, fuzz targets and benchmarks sit on top and may include anything.
Usage: check_layers.py [ROOT]   (exit 0: clean; 1: violations, each printed)
"""
import os
import re
import sys

# room: the rooms directly below it that its files include from
ROOMS = {
    "platform": [],
    "common": ["platform"],
    "client/transfer/net": ["common"],
    "client/transfer/session": ["client/transfer/net"],
    "client/transfer/tls": ["client/transfer/session"],
    "client/transfer/text": ["client/transfer/session"],
    "client/transfer/line": ["client/transfer/text"],
    "client/transfer/ftp": ["client/transfer/text", "client/transfer/line"],
    "client/transfer/smtp": ["client/transfer/line"],
    "client/ssh": ["client/transfer/net"],
    "client/ssh/sftp": ["client/ssh", "client/transfer/tls"],
    "client/actions": ["common"],
    "client/actions/mail": ["client/transfer/smtp"],
    "client/script": ["client/actions", "client/actions/mail", "client/transfer/ftp", "client/ssh/sftp"],
    "client/frontend": ["client/script"],
    "scheduler": ["common"],
}
TOP = ("tests/", "fuzz/", "bench/")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
LIBRARY = re.compile(r"add_library\(\s*(orvane_\w+)")
LINKS = re.compile(r"target_link_libraries\(\s*(orvane_\w+)([^)]*)\)", re.S)


def room_of(path):
    best = None
    for room in ROOMS:
        if path == room or path.startswith(room + "/"):
            if best is None or len(room) > len(best):
                best = room
    return best


def allowed(room, seen=None):
    seen = set() if seen is None else seen
    if room in seen:
        return seen
    seen.add(room)
    for below in ROOMS[room]:
        allowed(below, seen)
    return seen


def room_library(root, room):
    """The orvane_* library a room's CMakeLists.txt builds, and the orvane_* libraries it links."""
    path = os.path.join(root, room, "CMakeLists.txt")
    if not os.path.exists(path):
        return None, set()
    with open(path, encoding="utf-8") as f:
        text = f.read()
    m = LIBRARY.search(text)
    if not m:
        return None, set()
    links = set()
    for target, names in LINKS.findall(text):
        if target == m.group(1):
            links.update(n for n in names.split() if n.startswith("orvane_"))
    return m.group(1), links


def check_tables(root, used):
    """The table and the link lines against the rooms each room's files really include."""
    problems = []
    libraries = {room: room_library(root, room) for room in ROOMS}
    for room, below in ROOMS.items():
        uses = used.get(room, set())
        for r in sorted(set(below) - uses):
            problems.append(f"{room}: the table names {r}, which no file of the room includes")
        library, links = libraries[room]
        if library is None:
            continue
        wanted = {libraries[r][0] for r in uses if libraries[r][0]}
        for lib in sorted(links - wanted):
            problems.append(f"{room}: {library} links {lib}, which the room does not include")
        for lib in sorted(wanted - links):
            problems.append(f"{room}: {library} does not link {lib}, which the room includes")
    return problems


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    checked = 0
    used = {}
    for room in ROOMS:
        ok = allowed(room)
        for dirpath, _, files in os.walk(os.path.join(root, room)):
            for name in sorted(files):
                path = os.path.relpath(os.path.join(dirpath, name), root)
                # A file in a nested room is checked with that room.
                if not name.endswith((".h", ".cpp")) or room_of(path) != room:
                    continue
                checked += 1
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = room_of(m.group(1))
                        if m.group(1).startswith(TOP):
                            problems.append(f"{path}:{number}: includes test code {m.group(1)}")
                        elif target is None:
                            problems.append(f"{path}:{number}: {m.group(1)} is in no known room")
                        elif target not in ok:
                            problems.append(f"{path}:{number}: {room} may not include {m.group(1)} ({target})")
                        elif target != room:
                            used.setdefault(room, set()).add(target)
    upward = len(problems)
    problems += check_tables(root, used)
    for p in problems:
        print(p)
    print(f"layer check: {checked} files, {upward} upward includes, {len(problems) - upward} table faults")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
