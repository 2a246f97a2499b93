"""`make demo`: a short tour of the Python core for a newcomer, one section per module.

Each section is one function that `main` calls in turn; it prints its own story.
"""

import importlib
import json
import os
import sys
import threading

from addin_sim import SimulatedAddin
from demo.editor_tour import editor_tour
from demo.layout import heading, para
from quorvel_master.python_server.quorvel import proxwire

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def table(rows: list[list], indent: str = "  ") -> str:
    """Rows as aligned text: numbers to the right, text to the left, a rule under the header."""
    cells = [["" if v is None else str(v) for v in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]))]
    numeric = [
        all(isinstance(row[i], (int, float)) and not isinstance(row[i], bool) for row in rows[1:])
        for i in range(len(widths))
    ]

    def line(row):
        parts = [c.rjust(w) if num else c.ljust(w) for c, w, num in zip(row, widths, numeric)]
        return indent + " | ".join(parts).rstrip()

    rule = indent + "-+-".join("-" * w for w in widths)
    return "\n".join([line(cells[0]), rule] + [line(r) for r in cells[1:]])


def brief(message: dict) -> str:
    shown = {k: v[:8] + "..." if k == "requestId" else v for k, v in message.items()}
    return json.dumps(shown)


def user_module(name: str):
    """Imports one of the user's modules the way the kernel does, by bare name from their folder."""
    if EXAMPLES not in sys.path:
        sys.path.insert(0, EXAMPLES)
    return importlib.import_module(name)


def run_on_worker(func, name: str):
    """User code never runs on the listener thread: a request made there could only time out."""
    outcome = {}

    def body():
        try:
            outcome["result"] = func()
        except BaseException as exc:  # shown to the reader below
            outcome["error"] = exc

    worker = threading.Thread(target=body, name=name)
    worker.start()
    worker.join(120)
    if worker.is_alive():
        raise SystemExit(f"{name} did not finish within two minutes")
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")


def used_range_of(sheet_name: str):
    """Reads the sheet back through the bridge, keeping only plain values."""
    sheet = proxwire.Excel.workbook.worksheets.getItem(sheet_name)
    used = sheet.getUsedRange()
    header_font = sheet.getRange("A1").format.font
    header = (header_font.bold, header_font.color, sheet.getRange("A1").format.fill.color)
    return used.address, [list(row) for row in used.values], header


def settle(addin: SimulatedAddin) -> None:
    """Lets every dropped proxy's release reach the add-in before counting what is left."""
    addin.settle()


def bridge_tour() -> None:
    heading("1. Python user code drives a workbook (proxwire)")
    para("""A simulated add-in holds an in-memory workbook and answers on a listener thread of
        its own. Every attribute read, attribute write and call in the user script becomes a
        request that crosses to it as JSON text; the script runs on a worker thread and waits
        for each answer, just as it would inside the product's kernel.""")

    sales_report = user_module("sales_report")
    with SimulatedAddin() as addin:
        print()
        print("Running examples/sales_report.py on the worker thread 'user-script':")
        run_on_worker(lambda: sales_report.main(say=lambda text: print("  >", text)), "user-script")

        request, answer = addin.first_exchanges["GET"]
        print()
        para("""The first attribute read (Excel.workbook) as it crossed to the add-in, and the
            answer that came back: a reference to an add-in object, which becomes a new proxy:""")
        print()
        print("  ->", brief(request))
        print("  <-", brief(answer))

        address, rows, (bold, color, fill) = run_on_worker(lambda: used_range_of("Sales"), "reader")
        print()
        print(f"What the sheet holds now, read back as its used range {address}:")
        print()
        print(table(rows))
        print()
        print(f"  The header row is {'bold' if bold else 'plain'}, {color} on {fill}.")

        settle(addin)
        counts = addin.handler.request_counts()
        order = ["GET", "SET", "CALL", "GETITEM", "DEL"]
        listed = [m for m in order if m in counts] + sorted(set(counts) - set(order))
        print()
        para("""Requests the add-in answered, by method. DEL is a proxy telling the add-in that
            Python no longer needs its object:""")
        print()
        print(table([["method", "requests"]] + [[m, counts[m]] for m in listed] +
                    [["total", sum(counts.values())]]))

        handed = addin.handler.next_id - 100
        live = addin.handler.live_objects()
        print()
        para(f"""The add-in handed Python {handed} objects (each proxy gets its own ID, from
            100 up). With the script's proxies gone, {live} of them are still alive.""")


def main() -> int:
    heading("Quorvel Python core: a short tour", "=")
    bridge_tour()
    editor_tour()
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
