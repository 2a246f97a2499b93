"""A callback on a changed cell: type a number into column A of the active sheet and the
callback writes its double beside it in column B. The script makes the first edit itself."""

import re
import threading

from quorvel_master.python_server.quorvel.proxwire import Excel

sheet = Excel.workbook.worksheets.getActiveWorksheet()
sheet.getRange("A1:B1").values = [["Number", "Double"]]
sheet.getRange("A1:B1").format.font.bold = True
heard = threading.Event()


def on_change(event):
    # Only single cells of column A below the header: the callback's own writes to column B
    # are changes too and come back here.
    match = re.fullmatch(r"A(\d+)", event["address"])
    if match is None or match.group(1) == "1":
        return
    row = match.group(1)
    value = sheet.getRange(f"A{row}").values[0][0]
    number = isinstance(value, (int, float)) and not isinstance(value, bool)
    double = value * 2 if number else "not a number"
    sheet.getRange(f"B{row}").values = [[double]]
    print(f"A{row} changed to {value!r}: B{row} now shows {double!r}")
    heard.set()


sheet.onChanged.add(on_change)
sheet.getRange("A2").values = [[21]]
heard.wait(10)
print("Type a number into column A of the grid and the callback answers in column B.")
