"""A user script as the add-in's users write them: a small sales table goes into a new sheet,
its header is styled in one transaction, and a callback hears the sheet change. The figures
quoted along the way come from `sales_stats.py`, another of the user's modules.

Run it inside the kernel (the demo does so on a worker thread); `main` returns what it read.
"""

import threading

import pandas as pd

from quorvel_master.python_server.quorvel.proxwire import (
    Excel,
    GetSetting,
    OfficeJsTransaction,
    Union,
)

import sales_stats

SALES = pd.DataFrame(
    {
        "Region": ["North", "South", "East", "West"],
        "Q1": [1200, 950, 1430, 780],
        "Q2": [1340, 1010, 1390, 905],
    }
)


def main(say=print):
    say(f"The workbook's locale is {GetSetting('locale')}.")

    sheet = Excel.workbook.worksheets.add("Sales")
    table = sheet.getRange("A1:C5")
    table.values = SALES  # the header row, then one row per region
    say(f"Wrote a {len(SALES)}-row DataFrame to {table.address}.")

    totals = sheet.getRange("A6:C6")
    totals.formulas = [["Total", "=SUM(B2:B5)", "=SUM(C2:C5)"]]
    q1, q2 = sales_stats.quarter_totals(SALES)
    say(f"Q2 sales are {sales_stats.growth(q1, q2)}% up on Q1; "
        f"{sales_stats.best_region(SALES)} sold the most in Q2.")

    # The three header writes reach the workbook together, when the block commits.
    header = sheet.getRange("A1:C1")
    with OfficeJsTransaction():
        header.format.fill.color = "navy"
        header.format.font.color = "white"
        header.format.font.bold = True
    say(f"Styled the header {header.address}: bold is {header.format.font.bold}.")

    rows = sheet.getRange("A1:C6").values
    back = pd.DataFrame(rows[1:5], columns=rows[0])
    same = "the same table" if back.equals(SALES) else "a DIFFERENT table"
    say(f"Read the values back into a DataFrame: {same}; totals row {list(rows[5])}.")

    quarters = Union(sheet.getRange("B2:B5"), sheet.getRange("C2:C5"))
    quarters.format.fill.color = "#E8F0FE"
    say(f"Union of both quarters covers {quarters.cellCount} cells: {quarters.address}.")

    heard = threading.Event()

    def on_change(event):
        say(f"Callback: {event['worksheet']}!{event['address']} changed "
            f"(running on thread {threading.current_thread().name!r}).")
        heard.set()

    sheet.onChanged.add(on_change)
    sheet.getRange("B3").values = [[990]]  # a correction; the add-in reports the change
    heard.wait(10)
    say(f"After the correction the Q1 total reads {sheet.getRange('B6').values[0][0]}.")
    return [list(row) for row in rows]


if __name__ == "__main__":
    print("Run this script inside the kernel, for example with `make demo`.")
