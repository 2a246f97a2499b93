"""Sums and comparisons over the sales table, kept apart from the script that writes it.

`sales_report.py` imports this module by its bare name, the way the user's modules import one
another in the kernel.
"""

QUARTERS = ("Q1", "Q2")


def quarter_totals(frame, quarters=QUARTERS):
    """Total of each quarter's column, in the order of `quarters`."""
    return [int(frame[quarter].sum()) for quarter in quarters]


def growth(before, after, digits=1):
    """Percentage change from `before` to `after`, rounded to `digits` decimal places.

    A fall comes out negative: growth(200, 150) is -25.0.
    """
    return round((after - before) * 100 / before, digits)


def best_region(frame, quarter="Q2"):
    """The region with the highest figure in `quarter`."""
    return frame.loc[frame[quarter].idxmax(), "Region"]
