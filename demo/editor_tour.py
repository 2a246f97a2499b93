"""The tour's editor section: what the language services answer while the sample script is being
written, drawn roughly as the code editor would show it."""

import os
import re
import textwrap

from demo.layout import WIDTH, heading, para
from examples import editor_session
from quorvel_master.python_server import sensewell

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")

# The completion kinds the bridge sends for jedi's name types; instances, parameters and
# statements all arrive as 4.
KIND_NAMES = {1: "function", 4: "variable", 5: "class", 7: "module", 8: "property",
              13: "keyword", 17: "path"}
EDITED = editor_session.MODULES[0]
SEVERITY_NAMES = {sensewell.MONACO_MARKER_SEVERITY_ERROR: "error",
                  sensewell.MONACO_MARKER_SEVERITY_WARNING: "warning"}


def source_of(module: str) -> str:
    with open(os.path.join(EXAMPLES, module + ".py"), encoding="utf-8") as f:
        return f.read()


def line_index(lines: list[str], text: str) -> int:
    """Index of the first line that reads `text`, ignoring trailing space."""
    for i, line in enumerate(lines):
        if line.rstrip() == text.rstrip():
            return i
    raise SystemExit(f"the sample script has no line {text.strip()!r} any more")


def typed_after_anchor(script: str, typed: str) -> tuple[str, int, int]:
    """The script with `typed` on a new line after the anchor, and the cursor at its end
    (1-based line, 0-based column, as the editor sends them)."""
    lines = script.split("\n")
    at = line_index(lines, editor_session.ANCHOR) + 1
    return "\n".join(lines[:at] + [typed] + lines[at:]), at + 1, len(typed)


def draft_of(script: str) -> str:
    lines = script.split("\n")
    for saved, replacement in editor_session.DRAFT_EDITS:
        at = line_index(lines, saved)
        lines[at:at + 1] = replacement
    return "\n".join(lines)


def answer(result: dict, request: str, key: str, empty_ok: bool = False):
    """The answer under `key`. The bridge reports failures in the result rather than raising;
    the tour stops on one, or on an empty answer, rather than draw nothing."""
    if result.get("error") is not None:
        raise SystemExit(f"{request} failed: {result['error']}")
    if not empty_ok and not result[key]:
        raise SystemExit(f"{request} found nothing")
    return result[key]


def source_line(number: int | None, text: str) -> str:
    return f"  {'' if number is None else number:>4} | {text}"


def marks(text: str, start: int, end: int, label: str = "") -> str:
    """A line of carets under columns start..end-1 (1-based) of `text`, aligned with
    `source_line`; tabs are kept so the carets line up however the terminal draws them."""
    pad = "".join(c if c == "\t" else " " for c in text[:start - 1])
    pad += " " * max(0, start - 1 - len(text))
    carets = "^" * max(1, end - start)
    return source_line(None, "") + pad + carets + (" " + label if label else "")


def completion_list(items: list[dict]) -> list[str]:
    """Label, kind spelled out and the signature a function shows beside it, as aligned rows."""
    rows = [(it["label"], KIND_NAMES.get(it["kind"], f"kind {it['kind']}"), it.get("detail", ""))
            for it in items]
    label_w = max(len(r[0]) for r in rows)
    kind_w = max(len(r[1]) for r in rows)
    return [f"    {label:<{label_w}}  {kind:<{kind_w}}  {detail}".rstrip()
            for label, kind, detail in rows]


def markdown_as_text(value: str) -> list[str]:
    """Hover Markdown as the editor renders it: code blocks set off, rules drawn, prose wrapped."""
    out, prose, in_code = [], [], False

    def flush():
        if prose:
            out.extend(wrap(" ".join(prose)))
            prose.clear()

    for line in value.split("\n"):
        if line.startswith("```"):
            flush()
            in_code = not in_code
        elif in_code:
            out.append("      " + line)
        elif line.strip() == "---":
            flush()
            out.append("    " + "-" * 40)
        elif not line.strip():
            flush()
            if out and out[-1]:
                out.append("")
        else:
            prose.append(line.strip())
    flush()
    return out


def wrap(text: str) -> list[str]:
    return textwrap.wrap(text, WIDTH - 4, initial_indent="    ", subsequent_indent="    ")


def parameter_span(label: str, names: list[str], index: int) -> tuple[int, int] | None:
    """0-based span of parameter `index` inside the signature label, found in order after the
    opening parenthesis so that a name repeated in a default value is not taken for it."""
    pos = label.find("(") + 1
    for i, name in enumerate(names):
        found = re.compile(r"\b" + re.escape(name) + r"\b").search(label, pos)
        if found is None:
            return None
        if i == index:
            return found.start(), found.end()
        pos = found.end()
    return None


def first_call(lines: list[str], name: str) -> tuple[int, int]:
    """Line index and 0-based column of the first call of `name`."""
    call = re.compile(r"\b" + re.escape(name) + r"\(")
    for i, line in enumerate(lines):
        found = call.search(line)
        if found:
            return i, found.start()
    raise SystemExit(f"the sample script no longer calls {name}")


def draw_diagnostics(lines: list[str], found: list[dict]) -> None:
    """Each marker as its severity and message over the source it marks, carets under the range."""
    for d in found:
        severity = SEVERITY_NAMES.get(d["severity"], f"severity {d['severity']}")
        print()
        print(f"  {severity} on line {d['startLineNumber']}: {d['message']}")
        for number in range(d["startLineNumber"], d["endLineNumber"] + 1):
            text = lines[number - 1] if number <= len(lines) else ""
            start = d["startColumn"] if number == d["startLineNumber"] else 1
            end = d["endColumn"] if number == d["endLineNumber"] else len(text) + 1
            print(source_line(number, text))
            print(marks(text, start, end))


def show_completions(bridge, script: str) -> None:
    code, line, column = typed_after_anchor(script, editor_session.COMPLETION_TYPED)
    print()
    para("""Completion. On a new line the user types the imported module's name and a dot;
        the editor asks for completions at the cursor:""")
    print()
    print(source_line(line, editor_session.COMPLETION_TYPED))
    print(marks(editor_session.COMPLETION_TYPED, column + 1, column + 2, "cursor"))
    items = answer(bridge.get_completions(code, line, column, path=EDITED), "completion",
                   "completions")
    print()
    para("""The bridge answers with the public names of sales_stats (private and dunder
        names stay hidden until the user types an underscore), each with its kind and, for a
        function, its parameters:""")
    print()
    print("\n".join(completion_list(items)))


def show_hover(bridge, script: str) -> None:
    lines = script.split("\n")
    name = editor_session.HOVER_NAME
    at, start = first_call(lines, name)
    print()
    para(f"""Hover. The mouse rests on {name} where line {at + 1} of the saved script calls
        it; the answer is Markdown, shown here as the editor renders it:""")
    print()
    print(source_line(at + 1, lines[at]))
    print(marks(lines[at], start + 1, start + 1 + len(name)))
    hover = answer(bridge.get_hover(script, at + 1, start + 1, path=EDITED), "hover", "contents")
    print()
    print("\n".join(markdown_as_text(hover["value"])))
    bridge.set_hover_mode("detailed")
    try:
        hover = answer(bridge.get_hover(script, at + 1, start + 1, path=EDITED), "hover",
                       "contents")
    finally:
        bridge.set_hover_mode("compact")
    print()
    para("""That is the compact hover, the default. In detailed mode (set_hover_mode) the
        same hover names the function in full and adds its docstring:""")
    print()
    print("\n".join(markdown_as_text(hover["value"])))


def show_signature_help(bridge, script: str) -> None:
    code, line, column = typed_after_anchor(script, editor_session.SIGNATURE_TYPED)
    print()
    para("""Signature help. Inside a call, after the first argument and a comma, the editor
        shows the call's parameters and marks the one being typed:""")
    print()
    print(source_line(line, editor_session.SIGNATURE_TYPED))
    print(marks(editor_session.SIGNATURE_TYPED, column + 1, column + 2, "cursor"))
    result = bridge.get_signature_help(code, line, column, path=EDITED)
    signature = answer(result, "signature help", "signatures")[0]
    active = result["activeParameter"]
    params = signature["parameters"]
    print()
    print("    " + signature["label"])
    span = parameter_span(signature["label"], [p["label"] for p in params], active)
    if span is not None:
        print("    " + " " * span[0] + "^" * (span[1] - span[0]) +
              f" parameter {active + 1} of {len(params)}")
    first_line = signature["documentation"].split("\n", 1)[0]
    if first_line:
        print()
        print("\n".join(wrap(first_line)))


def show_diagnostics(bridge, script: str) -> None:
    saved = answer(bridge.get_diagnostics(script, EDITED), "diagnostics", "diagnostics", True)
    print()
    if saved:
        para("The saved script already has findings:")
        draw_diagnostics(script.split("\n"), saved)
        print()
    else:
        para("""Diagnostics. The saved script has no findings: it parses, pyflakes has nothing
            to say, and every import resolves, sales_stats among them.""")
        print()
    para("""The user's unsaved draft adds three lines, each with a mistake. The editor asks
        for diagnostics as the text changes and underlines what comes back, errors first:""")
    draft = draft_of(script)
    found = answer(bridge.get_diagnostics(draft, EDITED), "diagnostics", "diagnostics", True)
    draw_diagnostics(draft.split("\n"), found)


def editor_tour() -> None:
    heading("2. The code editor's language services (sensewell)")
    para("""While the user writes a script, the add-in's editor asks the kernel for
        completions, hovers, signature help and diagnostics. One LSPBridge answers them all
        with jedi and pyflakes, in the shapes the editor draws.""")

    modules = {name: source_of(name) for name in editor_session.MODULES}
    script = modules[EDITED]
    bridge = sensewell.LSPBridge()
    try:
        bridge.sync_modules(modules)
        print()
        para("""The editor holds two of the user's modules: sales_report, the script above,
            and sales_stats, which it imports. sync_modules writes each of them as a .py file
            into the bridge's private folder, so that the analysis finds import sales_stats
            just as the kernel does. Every request below names sales_report as the module
            being edited.""")
        show_completions(bridge, script)
        show_hover(bridge, script)
        show_signature_help(bridge, script)
        show_diagnostics(bridge, script)
    finally:
        bridge.cleanup()
    print()
    para("""cleanup() removes the bridge's folder when the kernel shuts down.""")
