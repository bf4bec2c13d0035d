"""No function of the product is longer than 60 lines, signature and braces
included. Comments, strings and preprocessor lines are skipped; a block that
opens at namespace or class level after a parameter list is a function."""

import os
import re
import subprocess
import sys

LIMIT = 60
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
PRODUCT = ("app/", "config/", "fs/", "ftp/", "net/", "res/", "server/", "ui/")
SCOPES = re.compile(r"^(template\s*<[^>]*>\s*)?(namespace|class|struct|union|enum|extern)\b")


def code_of(text):
    """The text with comments, string and character literals blanked out and
    line breaks kept, so that braces inside them are not counted."""
    text = re.sub(r"^\s*#.*$", "", text, flags=re.M)
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|R"\((?:.|\n)*?\)"|"(?:\\.|[^"\\\n])*"|'
                         r"'(?:\\.|[^'\\\n])*'", re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def long_functions(path):
    with open(path, encoding="utf-8") as source:
        code = code_of(source.read())
    found = []
    stack = []  # kinds of the open blocks: scope, function, other
    statement, statement_line, line = "", None, 1
    for char in code:
        if char == "\n":
            line += 1
        if char == "{":
            inside_function = any(kind[0] == "function" for kind in stack)
            head = statement.strip()
            if inside_function:
                kind = ("other",)
            elif SCOPES.match(head):
                kind = ("scope",)
            elif ")" in head and "=" not in head.split("(")[0]:
                kind = ("function", statement_line, head.split("(")[0].split()[-1:])
            else:
                kind = ("other",)
            stack.append(kind)
            statement, statement_line = "", None
        elif char == "}":
            kind = stack.pop() if stack else ("other",)
            if kind[0] == "function" and line - kind[1] + 1 > LIMIT:
                found.append((path, kind[1], " ".join(kind[2]), line - kind[1] + 1))
            statement, statement_line = "", None
        elif char == ";":
            statement, statement_line = "", None
        else:
            if statement_line is None and not char.isspace():
                statement_line = line
            statement += char
    return found


def main():
    files = subprocess.run(["git", "ls-files", "*.cpp", "*.h"], cwd=ROOT, capture_output=True,
                           text=True, check=True).stdout.split()
    problems = []
    for name in files:
        if name.startswith(PRODUCT):
            problems += long_functions(os.path.join(ROOT, name))
    for path, start, name, length in problems:
        print("%s:%d: %s is %d lines long (at most %d)"
              % (os.path.relpath(path, ROOT), start, name, length, LIMIT))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
