#!/usr/bin/env python3
"""Folded stacks ("main;loop;f 12345" a line, as `nodesim --profile` writes them) to a flame graph SVG.

    scripts/flamegraph.py profile.folded > flame.svg [--title TEXT] [--min-width PIXELS] [--leave-out NAME]

Each function is a box as wide as its share of the cycles, its callees stacked on top of it; a box's
tooltip gives the whole stack, its cycles and its share. Boxes narrower than --min-width are left out.
--leave-out NAME (repeatable) drops the cycles of the stacks whose innermost function is NAME (with or
without its parameter list): the busy waits, say, so that the graph shows where the work goes.
"""
import argparse
import hashlib
import html
import sys

WIDTH = 1200
ROW = 17
TOP = 40


def short(name):
    """The name without its parameter list, for the box's label."""
    return name.split("(")[0] if "(" in name else name


class Node:
    def __init__(self, name):
        self.name = name
        self.total = 0
        self.children = {}


def read_folded(lines, leave_out=()):
    root = Node("all")
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\n")
        if not line:
            continue
        stack, _, count = line.rpartition(" ")
        if not stack or not count.isdigit():
            raise ValueError(f"line {number}: not STACK COUNT: {line!r}")
        cycles = int(count)
        if short(stack.split(";")[-1]) in leave_out or stack.split(";")[-1] in leave_out:
            continue
        node = root
        node.total += cycles
        for name in stack.split(";"):
            node = node.children.setdefault(name, Node(name))
            node.total += cycles
    return root


def depth(node):
    return 1 + max((depth(c) for c in node.children.values()), default=0)


def colour(name):
    h = int(hashlib.md5(name.encode()).hexdigest()[:6], 16)
    return f"rgb({205 + h % 50},{80 + (h >> 8) % 120},{(h >> 16) % 60})"


def boxes(node, x, level, scale, path, out, min_width):
    width = node.total * scale
    if width < min_width:
        return
    out.append((x, level, width, node, path))
    child_x = x
    for child in sorted(node.children.values(), key=lambda c: c.name):
        boxes(child, child_x, level + 1, scale, path + [child.name], out, min_width)
        child_x += child.total * scale


def render(root, title, min_width):
    scale = (WIDTH - 20) / root.total if root.total else 0
    drawn = []
    boxes(root, 10.0, 0, scale, [], drawn, min_width)
    levels = 1 + max((level for _, level, _, _, _ in drawn), default=0)
    height = TOP + levels * ROW + 10
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
        f'viewBox="0 0 {WIDTH} {height}" font-family="monospace" font-size="11">',
        f'<rect width="100%" height="100%" fill="#fdfdf6"/>',
        f'<text x="{WIDTH / 2}" y="20" text-anchor="middle" font-size="15">{html.escape(title)}</text>',
    ]
    for x, level, width, node, path in drawn:
        y = height - 10 - (level + 1) * ROW
        share = 100.0 * node.total / root.total
        stack = ";".join(path) if path else "all"
        label = short(node.name)
        fits = int((width - 6) / 6.6)
        text = label if len(label) <= fits else (label[: fits - 2] + ".." if fits > 3 else "")
        parts.append(
            f'<g><title>{html.escape(stack)}\n{node.total:,} cycles, {share:.2f} %</title>'
            f'<rect x="{x:.2f}" y="{y}" width="{width:.2f}" height="{ROW - 1}" fill="{colour(node.name)}" '
            f'rx="2"/>'
            + (f'<text x="{x + 3:.2f}" y="{y + ROW - 5}">{html.escape(text)}</text>' if text else "")
            + "</g>"
        )
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folded", help="folded stacks file ('-' for standard input)")
    parser.add_argument("--title", default="cycles by call stack")
    parser.add_argument("--min-width", type=float, default=0.1, help="leave out boxes narrower than this (pixels)")
    parser.add_argument("--leave-out", action="append", default=[], metavar="NAME",
                        help="drop the stacks whose innermost function is NAME (repeatable)")
    args = parser.parse_args()
    try:
        source = sys.stdin if args.folded == "-" else open(args.folded, encoding="utf-8")
        root = read_folded(source, set(args.leave_out))
    except (OSError, ValueError) as error:
        print(f"flamegraph.py: {args.folded}: {error}", file=sys.stderr)
        return 2
    sys.stdout.write(render(root, args.title, args.min_width))
    return 0


if __name__ == "__main__":
    sys.exit(main())
