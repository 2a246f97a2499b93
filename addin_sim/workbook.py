"""The in-memory workbook behind the simulated add-in: sheets of sparse cells, A1 addresses.

Plain data with no knowledge of the wire; the request handler exposes it as add-in objects.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

MAX_ROWS = 1_048_576
MAX_COLUMNS = 16_384

DEFAULT_NUMBER_FORMAT = "General"
DEFAULT_FILL = "#FFFFFF"
DEFAULT_FONT_COLOR = "#000000"


class AddinError(Exception):
    """A failure the add-in reports back as an error answer with this message."""


# ---------------------------------------------------------------------------------------------
# Addresses

_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$")


def column_letters(column: int) -> str:
    """1 -> A, 27 -> AA."""
    letters = ""
    while column:
        column, rest = divmod(column - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def _column_number(letters: str) -> int:
    number = 0
    for ch in letters.upper():
        number = number * 26 + ord(ch) - ord("A") + 1
    return number


@dataclass(frozen=True)
class Rect:
    """A rectangle of cells, 1-based and inclusive."""

    top: int
    left: int
    bottom: int
    right: int

    @property
    def rows(self) -> int:
        return self.bottom - self.top + 1

    @property
    def columns(self) -> int:
        return self.right - self.left + 1

    def cells(self):
        for row in range(self.top, self.bottom + 1):
            for col in range(self.left, self.right + 1):
                yield row, col

    def intersect(self, other: Rect) -> Rect | None:
        top, left = max(self.top, other.top), max(self.left, other.left)
        bottom, right = min(self.bottom, other.bottom), min(self.right, other.right)
        if top > bottom or left > right:
            return None
        return Rect(top, left, bottom, right)

    def a1(self) -> str:
        first = f"{column_letters(self.left)}{self.top}"
        if self.rows == 1 and self.columns == 1:
            return first
        return f"{first}:{column_letters(self.right)}{self.bottom}"


def _parse_cell(text: str) -> tuple[int, int] | None:
    match = _CELL.match(text)
    if not match:
        return None
    row, col = int(match.group(2)), _column_number(match.group(1))
    if not (1 <= row <= MAX_ROWS and 1 <= col <= MAX_COLUMNS):
        return None
    return row, col


def parse_address(address: str) -> tuple[str | None, Rect]:
    """Splits "Sheet1!A1:B2" into the sheet name (or None) and the rectangle it names."""
    if not isinstance(address, str):
        raise AddinError(f"Invalid range address: {address!r}")
    sheet = None
    text = address.strip()
    if "!" in text:
        sheet, text = text.rsplit("!", 1)
        if len(sheet) >= 2 and sheet[0] == sheet[-1] == "'":
            sheet = sheet[1:-1].replace("''", "'")
    parts = text.split(":")
    corners = [_parse_cell(p) for p in parts] if len(parts) in (1, 2) else [None]
    if not sheet and sheet is not None or any(c is None for c in corners):
        raise AddinError(f"Invalid range address: {address!r}")
    (r1, c1), (r2, c2) = corners[0], corners[-1]
    return sheet, Rect(min(r1, r2), min(c1, c2), max(r1, r2), max(c1, c2))


def quote_sheet(name: str) -> str:
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", name):
        return name
    return "'" + name.replace("'", "''") + "'"


# ---------------------------------------------------------------------------------------------
# Cells and sheets


@dataclass
class Cell:
    value: object = ""
    formula: str | None = None
    number_format: str = DEFAULT_NUMBER_FORMAT
    fill: str = DEFAULT_FILL
    bold: bool = False
    font_color: str = DEFAULT_FONT_COLOR

    def is_blank(self) -> bool:
        return self == Cell()

    def has_content(self) -> bool:
        return self.formula is not None or self.value != ""


_FORMULA = re.compile(
    r"^=\s*(?:(SUM|AVERAGE|MIN|MAX|COUNT)\((.+)\)|(\$?[A-Za-z]{1,3}\$?[0-9]+))\s*$"
)


@dataclass
class Worksheet:
    name: str
    cells: dict[tuple[int, int], Cell] = field(default_factory=dict)
    listeners: list[str] = field(default_factory=list)  # callable IDs told of changes

    def cell(self, row: int, col: int) -> Cell:
        return self.cells.get((row, col)) or Cell()

    def update(self, row: int, col: int, **changes) -> None:
        cell = self.cells.get((row, col)) or Cell()
        for key, val in changes.items():
            setattr(cell, key, val)
        if cell.is_blank():
            self.cells.pop((row, col), None)
        else:
            self.cells[(row, col)] = cell

    def value(self, row: int, col: int, _depth: int = 0) -> object:
        cell = self.cell(row, col)
        if cell.formula is None:
            return cell.value
        return self._evaluate(cell.formula, _depth)

    def _evaluate(self, formula: str, depth: int) -> object:
        # Enough of a formula engine for totals; anything else shows as Excel shows an unknown name.
        match = _FORMULA.match(formula)
        if not match or depth > 32:
            return "#NAME?"
        try:
            if match.group(3):
                _, rect = parse_address(match.group(3))
                return self.value(rect.top, rect.left, depth + 1)
            _, rect = parse_address(match.group(2))
        except AddinError:
            return "#NAME?"
        numbers = [
            v for v in (self.value(r, c, depth + 1) for r, c in rect.cells())
            if isinstance(v, (int, float)) and not isinstance(v, bool)
        ]
        func = match.group(1)
        if func == "COUNT":
            return len(numbers)
        if func == "SUM":
            return sum(numbers)
        if not numbers:
            return "#DIV/0!" if func == "AVERAGE" else 0
        if func == "AVERAGE":
            return sum(numbers) / len(numbers)
        return min(numbers) if func == "MIN" else max(numbers)

    def used_rect(self, values_only: bool = False) -> Rect:
        keys = [k for k, c in self.cells.items() if c.has_content() or not values_only]
        if not keys:
            return Rect(1, 1, 1, 1)
        rows = [r for r, _ in keys]
        cols = [c for _, c in keys]
        return Rect(min(rows), min(cols), max(rows), max(cols))


class Workbook:
    """The sheets in tab order and the active one."""

    def __init__(self, sheet_names=("Sheet1",)):
        self.sheets: list[Worksheet] = [Worksheet(n) for n in sheet_names]
        self.active = self.sheets[0] if self.sheets else None

    def sheet(self, name: str) -> Worksheet:
        for sheet in self.sheets:
            if sheet.name.lower() == str(name).lower():
                return sheet
        raise AddinError(f"The worksheet '{name}' does not exist")

    def add_sheet(self, name: str | None = None) -> Worksheet:
        if name is None:
            taken = {s.name.lower() for s in self.sheets}
            n = len(self.sheets) + 1
            while f"sheet{n}" in taken:
                n += 1
            name = f"Sheet{n}"
        if not isinstance(name, str) or not name.strip() or any(ch in name for ch in "[]:*?/\\"):
            raise AddinError(f"Invalid worksheet name: {name!r}")
        if any(s.name.lower() == name.lower() for s in self.sheets):
            raise AddinError(f"A worksheet named '{name}' already exists")
        sheet = Worksheet(name)
        self.sheets.append(sheet)
        return sheet
