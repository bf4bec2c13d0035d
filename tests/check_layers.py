#!/usr/bin/env python3
"""Holds the product's includes to its layers: a folder includes only itself
and the folders below it, and the layers without a window never include Qt.
No include runs in a circle, between folders or between files (a file and
its header count as one: ClientSocket.h and ClientSocket.cpp are
ftp/ClientSocket), but for the one pair that is a circle by design: the
dispatcher and the socket it delivers to.

Layers, from the ground up (folders on one line do not include each other):
    res, config, net, fs
    ftp
    server
    ui
    app
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

ALLOWED = {
    "res": {"res"},
    "config": {"config"},
    "net": {"net"},
    "fs": {"fs"},
    "ftp": {"ftp", "net", "fs", "config", "res"},
    "server": {"server", "ftp", "net", "fs", "config", "res"},
    "ui": {"ui", "server", "ftp", "net", "fs", "config", "res"},
    "app": {"app", "ui", "server", "ftp", "net", "fs", "config", "res"},
}
# Files that may use Qt: the store (QtCore) and the resources drawn for the window.
QT_FREE = {"net", "fs", "ftp", "server"}
QT_ALLOWED_FILES = {"config/SettingsStore.cpp", "config/SettingsStore.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
# The circles allowed: each a set of files.
ALLOWED_CIRCLES = [{"net/AsyncSocket", "net/SocketDispatcher"}]


def include_graph():
    """File (without extension) -> the product files it includes."""
    graph = {}
    for folder in ALLOWED:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".cpp", ".h")):
                continue
            unit = "%s/%s" % (folder, name.rsplit(".", 1)[0])
            with open(os.path.join(ROOT, folder, name), encoding="utf-8") as source:
                text = source.read()
            targets = graph.setdefault(unit, set())
            for kind, target in INCLUDE.findall(text):
                other = target.rsplit(".", 1)[0]
                if kind == '"' and other != unit and os.path.exists(os.path.join(ROOT, target)):
                    targets.add(other)
    return graph


def circles(graph):
    """The strongly connected parts of more than one node (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for other in sorted(graph.get(node, ())):
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            part = set()
            while True:
                other = stack.pop()
                on_stack.discard(other)
                part.add(other)
                if other == node:
                    break
            if len(part) > 1:
                found.append(part)

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def circle_problems():
    graph = include_graph()
    found = []
    for part in circles(graph):
        if part not in ALLOWED_CIRCLES:
            found.append("include circle between files: %s" % ", ".join(sorted(part)))
    folders = {}
    for unit, targets in graph.items():
        for target in targets:
            if target.split("/")[0] != unit.split("/")[0]:
                folders.setdefault(unit.split("/")[0], set()).add(target.split("/")[0])
    for part in circles(folders):
        found.append("include circle between folders: %s" % ", ".join(sorted(part)))
    return found


def problems():
    found = []
    for folder, allowed in ALLOWED.items():
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".cpp", ".h")):
                continue
            path = "%s/%s" % (folder, name)
            with open(os.path.join(ROOT, path), encoding="utf-8") as source:
                text = source.read()
            for kind, target in INCLUDE.findall(text):
                if kind == '"':
                    top = target.split("/")[0]
                    if top in ALLOWED and top not in allowed:
                        found.append("%s includes %s: %s may not include %s"
                                     % (path, target, folder, top))
                elif target.startswith("Q") and (
                        folder in QT_FREE or (folder == "config" and path not in QT_ALLOWED_FILES)):
                    found.append("%s includes <%s>: %s never uses Qt" % (path, target, folder))
    return found


if __name__ == "__main__":
    errors = problems() + circle_problems()
    for line in errors:
        print(line)
    sys.exit(1 if errors else 0)
