#!/usr/bin/env python3
"""Draws the include graph between the rooms of the native sources and checks it.

A room is a source file together with its header (src/lsh/compare.cpp and
src/lsh/compare.hpp are the room lsh/compare); a closed folder is one room
as a whole (src/lsh/kernels, src/lsh/portable). The check fails when

- two rooms include each other, directly or through others (a cycle), or
- a closed folder includes a file outside the closed folders below it:
  the kernels may include the portable helpers, the portable helpers
  nothing but themselves, or
- a quoted include names no file.

Usage: python3 scripts/include_rooms.py [--root DIR] [--quiet]
(standard library only; prints the graph floor by floor, the ground floor
first, and exits 1 on any failure).
"""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

# The trees whose rooms are drawn, relative to src/.
TREES = ("lsh", "module", "bulk")
# Closed folders, each one room, and the closed folders each may include.
CLOSED = {
    "lsh/portable": (),
    "lsh/kernels": ("lsh/portable",),
}
SOURCE_SUFFIXES = (".cpp", ".hpp", ".h", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def room_of(rel: str) -> str:
    """The room of a file given relative to src/ (forward slashes)."""
    for folder in CLOSED:
        if rel.startswith(folder + "/"):
            return folder
    return rel.rsplit(".", 1)[0]


def resolve(src: Path, including: Path, name: str) -> Path | None:
    """Where a quoted include leads: beside the including file, else under src/."""
    for base in (including.parent, src):
        candidate = (base / name).resolve()
        if candidate.is_file():
            return candidate
    return None


def collect(src: Path) -> tuple[dict[str, set[str]], list[str]]:
    edges: dict[str, set[str]] = {}
    problems: list[str] = []
    for tree in TREES:
        for path in sorted((src / tree).rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
                continue
            rel = path.relative_to(src).as_posix()
            room = room_of(rel)
            edges.setdefault(room, set())
            for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
                target = resolve(src, path, name)
                if target is None:
                    problems.append(f'{rel}: "{name}" names no file')
                    continue
                try:
                    target_rel = target.relative_to(src.resolve()).as_posix()
                except ValueError:
                    problems.append(f'{rel}: "{name}" leads outside src/')
                    continue
                other = room_of(target_rel)
                if other != room:
                    edges[room].add(other)
                    edges.setdefault(other, set())
                    allowed = CLOSED.get(room)
                    if allowed is not None and other not in allowed:
                        problems.append(f'{rel}: the closed room {room} includes "{name}" ({other})')
    return edges, problems


def cycles(edges: dict[str, set[str]]) -> list[list[str]]:
    """Strongly connected components of more than one room (Tarjan, iterative)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []
    counter = 0
    for start in sorted(edges):
        if start in index:
            continue
        work = [(start, iter(sorted(edges[start])))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(edges[child]))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    found.append(sorted(component))
    return found


def floors(edges: dict[str, set[str]], knots: list[list[str]]) -> dict[str, int]:
    """Each room's floor: 0 for a room including no other, else one above the
    highest it includes; the rooms of one cycle share a floor."""
    group = {room: (room,) for room in edges}
    for knot in knots:
        for room in knot:
            group[room] = tuple(knot)
    below = {g: set() for g in group.values()}
    for room, targets in edges.items():
        below[group[room]].update(group[t] for t in targets if group[t] != group[room])
    level: dict[tuple[str, ...], int] = {}

    def visit(g: tuple[str, ...]) -> int:
        if g not in level:
            level[g] = 1 + max((visit(o) for o in below[g]), default=-1)
        return level[g]

    return {room: visit(group[room]) for room in edges}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=Path(__file__).resolve().parent.parent, type=Path,
                        help="the checkout whose src/ is drawn (default: this one)")
    parser.add_argument("--quiet", action="store_true", help="print only failures")
    args = parser.parse_args()
    src = args.root / "src"
    edges, problems = collect(src)
    knots = cycles(edges)
    for knot in knots:
        problems.append("cycle between rooms: " + " <-> ".join(knot))
    if not args.quiet:
        floor = floors(edges, knots)
        knotted = {room for knot in knots for room in knot}
        for level in range(max(floor.values(), default=-1) + 1):
            print(f"floor {level}:")
            for room in sorted(r for r, f in floor.items() if f == level):
                targets = ", ".join(sorted(edges[room])) or "-"
                mark = " (in a cycle)" if room in knotted else ""
                print(f"  {room}{mark} -> {targets}")
        print(f"{len(edges)} rooms, {sum(len(t) for t in edges.values())} edges, {len(knots)} cycles")
    for problem in problems:
        print("FAIL:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
