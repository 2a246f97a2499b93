"""What the editor-request tests share: the demo's user modules, cursor positions named by
the text at them, Monaco ranges, and edits applied as the editor applies them."""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def source(module):
    with open(os.path.join(ROOT, "examples", module + ".py"), encoding="utf-8") as f:
        return f.read()


REPORT = source("sales_report")
STATS = source("sales_stats")
MODULES = {"sales_report": REPORT, "sales_stats": STATS}


def position(text, needle, offset=0, occurrence=0):
    """(line, column) of the occurrence-th `needle` in `text`, moved `offset` characters on:
    line 1-based and column 0-based, as requests take them."""
    at = -1
    for _ in range(occurrence + 1):
        at = text.index(needle, at + 1)
    at += offset
    line = text.count("\n", 0, at) + 1
    return line, at - (text.rfind("\n", 0, at) + 1)


def span(line, column, length):
    """The Monaco range of `length` characters from a 0-based column on one line."""
    return {"startLineNumber": line, "startColumn": column + 1, "endLineNumber": line,
            "endColumn": column + 1 + length}


def name_range(text, needle, offset=0, occurrence=0, length=None):
    line, column = position(text, needle, offset, occurrence)
    return span(line, column, len(needle) - offset if length is None else length)


def apply_edits(text, edits):
    """The text after Monaco-style edits ({"range", "text"}), which must not overlap."""
    starts = [0]
    for i, ch in enumerate(text):
        if ch == "\n":
            starts.append(i + 1)

    def offset(line, column):
        return starts[line - 1] + column - 1

    for edit in sorted(edits, key=lambda e: (e["range"]["startLineNumber"],
                                             e["range"]["startColumn"]), reverse=True):
        r = edit["range"]
        a = offset(r["startLineNumber"], r["startColumn"])
        b = offset(r["endLineNumber"], r["endColumn"])
        text = text[:a] + edit["text"] + text[b:]
    return text
