"""A simulated spreadsheet add-in for tests and the demo: an in-memory workbook answering
proxwire's requests across threads, plus the few kernel duties that go with it."""

from .addin import CallbackError, SimulatedAddin
from .handler import FIRST_OBJECT_ID, RequestHandler
from .workbook import AddinError, Rect, Workbook, Worksheet, parse_address

__all__ = [
    "AddinError",
    "CallbackError",
    "FIRST_OBJECT_ID",
    "Rect",
    "RequestHandler",
    "SimulatedAddin",
    "Workbook",
    "Worksheet",
    "parse_address",
]
