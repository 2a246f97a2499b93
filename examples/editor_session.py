"""What a user does in the code editor while working on `sales_report.py`, replayed by the demo
against the editor's language services.

Places in the script are named by the text of a saved line, so the script can change around them.
"""

# The two user modules open in the editor; the first is the one being edited.
MODULES = ("sales_report", "sales_stats")

# A new line typed after the anchor; the cursor stands at the end of what was typed.
ANCHOR = "    q1, q2 = sales_stats.quarter_totals(SALES)"
COMPLETION_TYPED = "    best = sales_stats."
SIGNATURE_TYPED = "    change = sales_stats.growth(q1, "

# The mouse rests on this name where the saved script first calls it.
HOVER_NAME = "growth"

# An unsaved draft of the script: each saved line on the left becomes the lines on the right.
DRAFT_EDITS = [
    ("import threading", ["import os", "import threading"]),
    ("import sales_stats", ["import sales_stats", "from sales_charts import bar_chart"]),
    (ANCHOR, [ANCHOR, '    bar_chart(sheet.getRange("E1"), SALE)']),
]
