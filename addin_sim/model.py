"""The add-in's object model as requests see it: each node answers GET, SET, GETITEM and CALL.

A property `x` is a `get_x`/`set_x` pair, a method `m` is `call_m`; writes validate first and
return a closure that applies them, so a transaction can hold them back until it commits.
"""

from __future__ import annotations

import datetime
import inspect
import re
from dataclasses import dataclass

from .workbook import AddinError, Rect, Worksheet, parse_address, quote_sheet

_SCALARS = (str, int, float, bool, datetime.date, bytes, type(None))

_COLOR_NAMES = {
    "black": "#000000", "white": "#FFFFFF", "red": "#FF0000", "green": "#008000",
    "blue": "#0000FF", "yellow": "#FFFF00", "orange": "#FFA500", "gray": "#808080",
    "grey": "#808080", "navy": "#000080", "purple": "#800080", "lightgray": "#D3D3D3",
}


class DateText(str):
    """A date the add-in keeps as the text it came as: years beyond 1 to 9999, or an instant
    finer than the microseconds a Python datetime holds."""


@dataclass(frozen=True)
class CallableRef:
    """A Python callable handed over by user code, known here only by its ID."""

    callable_id: str


@dataclass(frozen=True)
class Change:
    """Cell contents a write changed, for the sheet's change listeners."""

    sheet: Worksheet
    rect: Rect


class Node:
    type_name = "Object"
    methods: frozenset[str] = frozenset()

    def get(self, name: str):
        if name in self.methods:
            return Method(self, name)
        getter = getattr(self, "get_" + name, None)
        if getter is None:
            raise AddinError(f"{self.type_name} has no property or method named '{name}'")
        return getter()

    def prepare_set(self, name: str, value):
        setter = getattr(self, "set_" + name, None)
        if setter is None:
            if name in self.methods or hasattr(self, "get_" + name):
                raise AddinError(f"The property '{name}' of {self.type_name} is read-only")
            raise AddinError(f"{self.type_name} has no property named '{name}'")
        return setter(value)

    def getitem(self, key: str):
        raise AddinError(f"{self.type_name} does not support indexing")

    def invoke(self, name: str, args: list, kwargs: dict):
        func = getattr(self, "call_" + name)
        try:
            inspect.signature(func).bind(*args, **kwargs)
        except TypeError as exc:
            raise AddinError(f"Wrong arguments for {self.type_name}.{name}: {exc}") from None
        return func(*args, **kwargs)


class Function(Node):
    """A callable add-in object; CALL requests go to `call`."""

    type_name = "Function"

    def call(self, args: list, kwargs: dict):
        raise NotImplementedError


class Method(Function):
    """A method read off a node, called later by a separate CALL."""

    def __init__(self, target: Node, name: str):
        self.target, self.name = target, name

    def call(self, args, kwargs):
        return self.target.invoke(self.name, args, kwargs)


class DataNode(Node):
    """The add-in side of an array or dict it answered with."""

    def __init__(self, data):
        self.data = data
        self.type_name = "Array" if isinstance(data, list) else "Dict"

    def get_length(self):
        return len(self.data)


# ---------------------------------------------------------------------------------------------
# Roots, workbook and sheets


class Root(Node):
    type_name = "Excel"

    def __init__(self, book):
        self.book = book

    def get_workbook(self):
        return WorkbookNode(self.book)


class RequestContext(Root):
    type_name = "RequestContext"
    methods = frozenset({"echo"})

    def call_echo(self, value=None):
        """Answers with the value as the add-in received it: a round trip for tests."""
        return value


class WorkbookNode(Node):
    type_name = "Workbook"

    def __init__(self, book):
        self.book = book

    def get_name(self):
        return "Book1"

    def get_worksheets(self):
        return WorksheetCollection(self.book)


class WorksheetCollection(Node):
    type_name = "WorksheetCollection"
    methods = frozenset({"getItem", "add", "getActiveWorksheet", "getCount"})

    def __init__(self, book):
        self.book = book

    def get_count(self):
        return len(self.book.sheets)

    def get_items(self):
        return [WorksheetNode(self.book, s) for s in self.book.sheets]

    def getitem(self, key: str):
        sheets = self.book.sheets
        try:
            if ":" in key:
                parts = [int(p) if p else None for p in key.split(":")]
                return [WorksheetNode(self.book, s) for s in sheets[slice(*parts)]]
            return WorksheetNode(self.book, sheets[int(key)])
        except IndexError:
            raise AddinError(f"Worksheet index {key} is out of range") from None
        except (TypeError, ValueError):
            return WorksheetNode(self.book, self.book.sheet(key))

    def call_getItem(self, key):
        return WorksheetNode(self.book, self.book.sheet(key))

    def call_add(self, name=None):
        return WorksheetNode(self.book, self.book.add_sheet(name))

    def call_getActiveWorksheet(self):
        return WorksheetNode(self.book, self.book.active)

    def call_getCount(self):
        return len(self.book.sheets)


class WorksheetNode(Node):
    type_name = "Worksheet"
    methods = frozenset({"getRange", "getUsedRange", "activate"})

    def __init__(self, book, sheet: Worksheet):
        self.book, self.sheet = book, sheet

    def get_name(self):
        return self.sheet.name

    def set_name(self, value):
        if not isinstance(value, str) or not value.strip():
            raise AddinError(f"Invalid worksheet name: {value!r}")
        if any(s is not self.sheet and s.name.lower() == value.lower() for s in self.book.sheets):
            raise AddinError(f"A worksheet named '{value}' already exists")

        def apply():
            self.sheet.name = value

        return apply

    def get_position(self):
        return self.book.sheets.index(self.sheet)

    def get_onChanged(self):
        return EventSource(self.sheet)

    def call_getRange(self, address):
        sheet_name, rect = parse_address(address)
        if sheet_name is not None and sheet_name.lower() != self.sheet.name.lower():
            raise AddinError(f"The address {address!r} is not on worksheet '{self.sheet.name}'")
        return RangeNode(self.book, self.sheet, rect)

    def call_getUsedRange(self, valuesOnly=False):
        return RangeNode(self.book, self.sheet, self.sheet.used_rect(bool(valuesOnly)))

    def call_activate(self):
        self.book.active = self.sheet


class EventSource(Node):
    type_name = "EventHandlers"
    methods = frozenset({"add"})

    def __init__(self, sheet: Worksheet):
        self.sheet = sheet

    def call_add(self, handler):
        if not isinstance(handler, CallableRef):
            raise AddinError("An event handler must be a function")
        self.sheet.listeners.append(handler.callable_id)


# ---------------------------------------------------------------------------------------------
# Ranges


def _normalise_color(value) -> str:
    if not isinstance(value, str):
        raise AddinError(f"Invalid color: {value!r}")
    text = _COLOR_NAMES.get(value.strip().lower(), value.strip())
    if re.fullmatch(r"#[0-9A-Fa-f]{3}", text):
        text = "#" + "".join(ch * 2 for ch in text[1:])
    if not re.fullmatch(r"#[0-9A-Fa-f]{6}", text):
        raise AddinError(f"Invalid color: {value!r}")
    return text.upper()


class Areas:
    """One or more rectangles on one sheet: what a range or a union of ranges covers."""

    def __init__(self, book, sheet: Worksheet, rects: list[Rect]):
        self.book, self.sheet, self.rects = book, sheet, rects

    def cells(self):
        seen = set()
        for rect in self.rects:
            for key in rect.cells():
                if key not in seen:
                    seen.add(key)
                    yield key

    def address(self) -> str:
        prefix = quote_sheet(self.sheet.name) + "!"
        return ",".join(prefix + r.a1() for r in self.rects)

    def uniform(self, attr: str):
        found = {getattr(self.sheet.cell(r, c), attr) for r, c in self.cells()}
        return found.pop() if len(found) == 1 else None

    def set_all(self, **changes):
        def apply():
            for r, c in self.cells():
                self.sheet.update(r, c, **changes)

        return apply


class RangeAreasNode(Node):
    """A range of several rectangles, as a union answers with."""

    type_name = "RangeAreas"

    def __init__(self, areas: Areas):
        self.areas = areas

    def get_address(self):
        return self.areas.address()

    def get_areaCount(self):
        return len(self.areas.rects)

    def get_areas(self):
        return [RangeNode(self.areas.book, self.areas.sheet, r) for r in self.areas.rects]

    def get_cellCount(self):
        return sum(1 for _ in self.areas.cells())

    def get_worksheet(self):
        return WorksheetNode(self.areas.book, self.areas.sheet)

    def get_format(self):
        return FormatNode(self.areas)


def _grid(value, rect: Rect, what: str) -> list[list]:
    """A 2-D write in the range's shape; a single value fills every cell."""
    if not isinstance(value, list):
        value = [[value] * rect.columns for _ in range(rect.rows)]
    if len(value) != rect.rows or any(
        not isinstance(row, list) or len(row) != rect.columns for row in value
    ):
        raise AddinError(
            f"The {what} must be a {rect.rows} x {rect.columns} array to match the range"
        )
    for row in value:
        for item in row:
            if not isinstance(item, _SCALARS):
                kind = type(item).__name__
                raise AddinError(f"Invalid cell {what[:-1]}: {kind} is not a cell value")
    return value


def _content(item) -> dict:
    if item is None:
        return {"value": "", "formula": None}
    if isinstance(item, str) and item.startswith("="):
        return {"value": "", "formula": item}
    return {"value": item, "formula": None}


class RangeNode(RangeAreasNode):
    type_name = "Range"

    def __init__(self, book, sheet: Worksheet, rect: Rect):
        super().__init__(Areas(book, sheet, [rect]))
        self.sheet, self.rect = sheet, rect

    def get_address(self):
        return quote_sheet(self.sheet.name) + "!" + self.rect.a1()

    def get_rowCount(self):
        return self.rect.rows

    def get_columnCount(self):
        return self.rect.columns

    def _rows(self, read):
        return [
            [read(r, c) for c in range(self.rect.left, self.rect.right + 1)]
            for r in range(self.rect.top, self.rect.bottom + 1)
        ]

    def get_values(self):
        return self._rows(self.sheet.value)

    def get_formulas(self):
        def formula(r, c):
            cell = self.sheet.cell(r, c)
            return cell.formula if cell.formula is not None else cell.value

        return self._rows(formula)

    def get_numberFormat(self):
        return self._rows(lambda r, c: self.sheet.cell(r, c).number_format)

    def _write_contents(self, value, what):
        grid = _grid(value, self.rect, what)

        def apply():
            for i, row in enumerate(grid):
                for j, item in enumerate(row):
                    self.sheet.update(self.rect.top + i, self.rect.left + j, **_content(item))
            return Change(self.sheet, self.rect)

        return apply

    def set_values(self, value):
        return self._write_contents(value, "values")

    def set_formulas(self, value):
        return self._write_contents(value, "formulas")

    def set_numberFormat(self, value):
        grid = _grid(value, self.rect, "number formats")
        if any(not isinstance(item, str) for row in grid for item in row):
            raise AddinError("A number format must be text")

        def apply():
            for i, row in enumerate(grid):
                for j, item in enumerate(row):
                    self.sheet.update(self.rect.top + i, self.rect.left + j, number_format=item)

        return apply


class FormatNode(Node):
    type_name = "RangeFormat"
    methods = frozenset({"autofitColumns"})

    def __init__(self, areas: Areas):
        self.areas = areas

    def get_fill(self):
        return FillNode(self.areas)

    def get_font(self):
        return FontNode(self.areas)

    def call_autofitColumns(self):
        return None


class FillNode(Node):
    type_name = "RangeFill"
    methods = frozenset({"clear"})

    def __init__(self, areas: Areas):
        self.areas = areas

    def get_color(self):
        return self.areas.uniform("fill")

    def set_color(self, value):
        return self.areas.set_all(fill=_normalise_color(value))

    def call_clear(self):
        self.areas.set_all(fill="#FFFFFF")()


class FontNode(Node):
    type_name = "RangeFont"

    def __init__(self, areas: Areas):
        self.areas = areas

    def get_bold(self):
        return self.areas.uniform("bold")

    def set_bold(self, value):
        if not isinstance(value, bool):
            raise AddinError(f"Invalid value for bold: {value!r}")
        return self.areas.set_all(bold=value)

    def get_color(self):
        return self.areas.uniform("font_color")

    def set_color(self, value):
        return self.areas.set_all(font_color=_normalise_color(value))


# ---------------------------------------------------------------------------------------------
# Fixed function objects


def _areas_of(args, what: str) -> list[Areas]:
    if not args:
        raise AddinError(f"{what} needs at least one range")
    if any(not isinstance(a, RangeAreasNode) for a in args):
        raise AddinError(f"{what} takes only ranges")
    areas = [a.areas for a in args]
    if any(a.sheet is not areas[0].sheet for a in areas):
        raise AddinError(f"{what} needs ranges on one worksheet")
    return areas


def _range_of(book, sheet, rects):
    if len(rects) == 1:
        return RangeNode(book, sheet, rects[0])
    return RangeAreasNode(Areas(book, sheet, rects))


class GetSetting(Function):
    def __init__(self, settings: dict):
        self.settings = settings

    def call(self, args, kwargs):
        if len(args) != 1 or kwargs or not isinstance(args[0], str):
            raise AddinError("GetSetting takes one setting name")
        return self.settings.get(args[0])


class Union(Function):
    def call(self, args, kwargs):
        areas = _areas_of(args, "Union")
        rects = []
        for a in areas:
            rects.extend(r for r in a.rects if r not in rects)
        return _range_of(areas[0].book, areas[0].sheet, rects)


class Intersect(Function):
    def call(self, args, kwargs):
        areas = _areas_of(args, "Intersect")
        rects = list(areas[0].rects)
        for a in areas[1:]:
            rects = [i for r in rects for o in a.rects if (i := r.intersect(o)) is not None]
        if not rects:
            return None
        return _range_of(areas[0].book, areas[0].sheet, list(dict.fromkeys(rects)))
