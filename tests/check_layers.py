#!/usr/bin/env python3
"""Holds the product's includes to its layers: a folder includes only itself
and the folders below it, and the layers without a window never include Qt.

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
    errors = problems()
    for line in errors:
        print(line)
    sys.exit(1 if errors else 0)
