#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own.

Each room (folder) names the rooms it may include from directly; what those may include is
allowed too. Tests, fuzz targets and benchmarks sit on top and may include anything.
Usage: check_layers.py [ROOT]   (exit 0: clean; 1: violations, each printed)
"""
import os
import re
import sys

# room: the rooms directly below it
ROOMS = {
    "platform": [],
    "common": ["platform"],
    "client/transfer/net": ["common"],
    "client/transfer/session": ["client/transfer/net"],
    "client/transfer/tls": ["client/transfer/session"],
    "client/transfer/text": ["client/transfer/session"],
    "client/transfer/line": ["client/transfer/text"],
    "client/transfer/ftp": ["client/transfer/tls", "client/transfer/text", "client/transfer/line"],
    "client/transfer/smtp": ["client/transfer/line"],
    "client/ssh": ["client/transfer/text"],
    "client/ssh/sftp": ["client/ssh", "client/transfer/tls"],
    "client/actions": ["client/transfer/tls", "client/transfer/text"],
    "client/actions/mail": ["client/transfer/smtp"],
    "client/script": ["client/actions", "client/actions/mail", "client/transfer/ftp", "client/ssh/sftp"],
    "client/frontend": ["client/script"],
    "scheduler": ["common"],
}
TOP = ("tests/", "fuzz/", "bench/")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


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


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    checked = 0
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
    for p in problems:
        print(p)
    print(f"layer check: {checked} files, {len(problems)} upward includes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
