"""Writing and styling a DataFrame: a sales table goes onto the active sheet with a totals row,
its header is styled in one transaction, and the figures get number formats."""

import pandas as pd

from quorvel_master.python_server.quorvel.proxwire import Excel, OfficeJsTransaction

sales = pd.DataFrame(
    {
        "Region": ["North", "South", "East", "West"],
        "Q1": [1200, 950, 1430, 780],
        "Q2": [1340, 1010, 1390, 905],
    }
)
sales["Growth"] = sales["Q2"] / sales["Q1"] - 1

sheet = Excel.workbook.worksheets.getActiveWorksheet()
last = len(sales) + 1  # the header row, then one row per region
table = sheet.getRange(f"A1:D{last}")
table.values = sales
print(f"Wrote {len(sales)} regions to {table.address}")

totals = sheet.getRange(f"A{last + 1}:D{last + 1}")
totals.formulas = [["Total", f"=SUM(B2:B{last})", f"=SUM(C2:C{last})", f"=C{last + 1}/B{last + 1}-1"]]
totals.format.font.bold = True

sheet.getRange(f"B2:C{last + 1}").numberFormat = [["#,##0", "#,##0"]] * last
sheet.getRange(f"D2:D{last + 1}").numberFormat = [["0.0%"]] * last

# The three header writes reach the workbook together, when the block commits.
header = sheet.getRange("A1:D1")
with OfficeJsTransaction():
    header.format.fill.color = "navy"
    header.format.font.color = "white"
    header.format.font.bold = True
header.format.autofitColumns()

rows = sheet.getRange(f"A1:D{last + 1}").values
back = pd.DataFrame(rows[1:last], columns=rows[0])
print(back.to_string(index=False))
print(f"Totals: Q1 {rows[last][1]}, Q2 {rows[last][2]}")
