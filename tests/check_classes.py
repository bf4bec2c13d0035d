"""No class of the session or server layers (ftp/, server/) has more than 40
member functions or 20 data members: a class that grows past that holds more
than one thing and is to be cut into objects of its own. Every member function
declared in the class body counts (constructors, overrides, inline ones);
data members are the non-static ones. Nested classes count apart.

Run with --list to see every class's figures."""

import os
import re
import sys

from check_functions import code_of

MAX_FUNCTIONS = 40
MAX_DATA = 20
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
LAYERS = ("ftp/", "server/")
CLASS_HEAD = re.compile(r"\b(class|struct)\s+(\w+)\s*(final\s*)?(:[^;{]*)?$")


def without_template_arguments(text):
    """The text with what stands between angle brackets blanked, so that
    std::function<void()> is not taken for a function."""
    out, depth = [], 0
    for char in text:
        if char == "<":
            depth += 1
        elif char == ">" and depth:
            depth -= 1
        elif not depth:
            out.append(char)
    return "".join(out)


def member_kind(statement):
    """'function', 'data' or None for one declaration of a class body."""
    text = re.sub(r"\b(public|protected|private)\s*:", " ", statement).strip()
    if not text or re.match(r"(using|friend|typedef|enum|static_assert|class|struct)\b", text):
        return None
    if "operator" in text:
        return "function"
    head = without_template_arguments(text).split("=")[0]
    if "(" in head:
        return "function"
    if re.match(r"(static|constexpr|inline\s+static)\b", text):
        return None
    return "data"


def classes_in(path):
    """(name, functions, data) of each class defined in the file."""
    with open(path, encoding="utf-8") as source:
        code = code_of(source.read())
    found, stack = [], []  # stack: [name or None, depth-1 statement, counts]
    statement = ""
    for char in code:
        if char == "{":
            match = CLASS_HEAD.search(statement.strip()) if "(" not in statement else None
            if match and "enum" not in statement:
                stack.append({"name": match.group(2), "statement": "", "f": 0, "d": 0})
            else:
                if stack and stack[-1]["name"] and stack[-1]["statement"] is not None:
                    # A function body (or an initializer) inside the class.
                    owner = stack[-1]
                    kind = member_kind(owner["statement"])
                    if kind:
                        owner["f" if kind == "function" else "d"] += 1
                    owner["statement"] = None
                stack.append({"name": None})
            statement = ""
        elif char == "}":
            top = stack.pop() if stack else {"name": None}
            if top["name"]:
                found.append((top["name"], top["f"], top["d"]))
            if stack and stack[-1]["name"]:
                # The end of a member's body or of a nested class.
                stack[-1]["statement"] = ""
            statement = ""
        elif char == ";":
            if stack and stack[-1]["name"]:
                owner = stack[-1]
                if owner["statement"] is not None and owner["statement"].strip():
                    kind = member_kind(owner["statement"])
                    if kind:
                        owner["f" if kind == "function" else "d"] += 1
                owner["statement"] = ""
            statement = ""
        else:
            statement += char
            if stack and stack[-1]["name"] and stack[-1]["statement"] is not None:
                stack[-1]["statement"] += char
    return found


def main():
    listing = "--list" in sys.argv
    faults = []
    for layer in LAYERS:
        folder = os.path.join(ROOT, layer)
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".h"):
                continue
            for cls, functions, data in classes_in(os.path.join(folder, name)):
                if listing:
                    print(f"{layer}{name}: {cls} {functions} functions, {data} data members")
                if functions > MAX_FUNCTIONS or data > MAX_DATA:
                    faults.append(f"{layer}{name}: {cls} has {functions} member functions and "
                                  f"{data} data members (at most {MAX_FUNCTIONS} and {MAX_DATA})")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
