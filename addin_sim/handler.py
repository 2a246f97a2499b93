"""The simulated add-in's request handler: one request dict in, one response dict out.

It owns the table of objects handed over (IDs from 100 up), the wire conversions of the
add-in side, the open transaction batch and the per-method request counts.
"""

from __future__ import annotations

import base64
import datetime
import math
import re
import threading
from collections import Counter

from . import model
from .workbook import AddinError, Workbook

FIRST_OBJECT_ID = 100
TRANSACTION_ID = 5

DEFAULT_SETTINGS = {"locale": "en-US", "theme": "light", "calculationMode": "automatic"}


def _decode_date(payload):
    try:
        value = datetime.datetime.fromisoformat(payload)
    except (TypeError, ValueError):
        return model.DateText(payload) if isinstance(payload, str) else payload
    # A fraction finer than microseconds would be cut: such an instant stays text.
    fraction = re.search(r"\.(\d+)", payload)
    return model.DateText(payload) if fraction and len(fraction.group(1)) > 6 else value


class Transaction(model.Node):
    """Object 5: `start` opens a batch that holds every write back until `commit`."""

    type_name = "Transaction"
    methods = frozenset({"start", "commit"})

    def __init__(self, handler: RequestHandler):
        self.handler = handler

    def call_start(self, context=None, block_gets=False):
        # A batch still open here was never committed (a block rolled back): it is dropped.
        self.handler.batch = []
        self.handler.block_gets = bool(block_gets)

    def call_commit(self):
        pending, self.handler.batch = self.handler.batch or [], None
        self.handler.block_gets = False
        errors = []
        for apply in pending:
            try:
                self.handler.apply(apply)
            except AddinError as exc:
                errors.append(str(exc))
        if errors:
            raise AddinError("Commit failed: " + errors[0])


class RequestHandler:
    """Answers request dicts against one workbook. Safe to call from several threads."""

    def __init__(self, workbook: Workbook | None = None, settings: dict | None = None):
        self.workbook = workbook if workbook is not None else Workbook()
        self.settings = dict(DEFAULT_SETTINGS if settings is None else settings)
        self.fixed: dict[int, model.Node] = {
            0: model.RequestContext(self.workbook),
            1: model.Root(self.workbook),
            2: model.GetSetting(self.settings),
            3: model.Union(),
            4: model.Intersect(),
            TRANSACTION_ID: Transaction(self),
        }
        self.objects: dict[int, model.Node] = {}
        self.next_id = FIRST_OBJECT_ID
        self.counts: Counter[str] = Counter()
        self.batch: list | None = None
        self.block_gets = False
        self.callables_seen: list[str] = []
        # The caller of every release, in the order they came.
        self.released: list = []
        # Called with (callable ID, event dict) for each change listener a write concerns.
        self.on_event = None
        self._events: list[tuple[str, dict]] = []
        self._lock = threading.RLock()

    # -- what tests and the demo read -------------------------------------------------------

    def live_objects(self) -> int:
        with self._lock:
            return len(self.objects)

    def request_counts(self) -> dict[str, int]:
        with self._lock:
            return dict(self.counts)

    def forget_objects(self) -> None:
        """Drops every handed-over object, as a new connection starts from nothing."""
        with self._lock:
            self.objects.clear()
            self.batch = None
            self.block_gets = False

    # -- requests ---------------------------------------------------------------------------

    def handle(self, request: dict) -> dict:
        with self._lock:
            try:
                response = {"ok": True, "result": self._dispatch(request)}
            except AddinError as exc:
                response = {"ok": False, "error": {"message": str(exc)}}
            events, self._events = self._events, []
        for callable_id, event in events:
            if self.on_event is not None:
                self.on_event(callable_id, event)
        return response

    def _dispatch(self, request: dict):
        method = request.get("method")
        self.counts[str(method)] += 1
        caller = request.get("caller")
        name = request.get("name")
        if method == "DEL":
            self.released.append(caller)
            if caller not in self.fixed:
                self.objects.pop(caller, None)
            return self.encode(None)
        target = self.lookup(caller)
        if method == "GET":
            value = target.get(str(name))
            if self.block_gets and self.batch is not None and not isinstance(value, model.Node):
                raise AddinError(f"Reading '{name}' is held back until the open batch is committed")
            return self.encode(value)
        if method == "GETITEM":
            return self.encode(target.getitem(str(name)))
        if method == "SET":
            apply = target.prepare_set(str(name), self.decode(request.get("value")))
            if self.batch is not None:
                self.batch.append(apply)
            else:
                self.apply(apply)
            return self.encode(None)
        if method == "CALL":
            if not isinstance(target, model.Function):
                raise AddinError(f"{target.type_name} is not a function")
            args, kwargs = self._arguments(request.get("args"))
            return self.encode(target.call(args, kwargs))
        raise AddinError(f"Unknown request method: {method!r}")

    def _arguments(self, entries) -> tuple[list, dict]:
        if not isinstance(entries, list):
            raise AddinError("A call needs an argument list")
        args, kwargs = [], {}
        for entry in entries:
            if not isinstance(entry, dict):
                raise AddinError("Malformed call argument")
            if entry.get("arg_type") == "NAMED":
                kwargs[str(entry.get("name"))] = self.decode(entry.get("value"))
            else:
                args.append(self.decode(entry.get("value")))
        return args, kwargs

    def apply(self, apply) -> None:
        change = apply()
        if isinstance(change, model.Change):
            event = {
                "type": "WorksheetChanged",
                "changeType": "RangeEdited",
                "worksheet": change.sheet.name,
                "address": change.rect.a1(),
            }
            self._events.extend((cid, event) for cid in change.sheet.listeners)

    def lookup(self, object_id) -> model.Node:
        node = self.fixed.get(object_id) if isinstance(object_id, int) else None
        node = node or self.objects.get(object_id)
        if node is None:
            raise AddinError(f"Unknown object id {object_id!r}")
        return node

    # -- wire values ------------------------------------------------------------------------

    def _hand_over(self, node: model.Node) -> int:
        object_id = self.next_id
        self.next_id += 1
        self.objects[object_id] = node
        return object_id

    def encode(self, value) -> dict:
        """The wire value for an answer; every object, array and dict gets an ID of its own."""
        with self._lock:
            return self._encode(value)

    def _encode(self, value) -> dict:
        def plain(tag, payload):
            return {"type": tag, "value": payload, "isSpec": False}

        if value is None or (isinstance(value, float) and math.isnan(value)):
            return plain("Null", None)
        if isinstance(value, bool):
            return plain("Bool", value)
        if isinstance(value, int):
            return plain("Int", value)
        if isinstance(value, float):
            return plain("Float", value)
        if isinstance(value, model.DateText):
            return plain("Date", str(value))
        if isinstance(value, str):
            return plain("String", value)
        if isinstance(value, (datetime.date, datetime.datetime)):
            return plain("Date", value.isoformat())
        if isinstance(value, bytes):
            return plain("Bytes", base64.b64encode(value).decode("ascii"))
        if isinstance(value, (list, tuple)):
            data = list(value)
            wire = plain("Array", [self._encode(v) for v in data])
            wire["id"] = self._hand_over(model.DataNode(data))
            return wire
        if isinstance(value, dict):
            data = dict(value)
            wire = plain("Dict", {str(k): self._encode(v) for k, v in data.items()})
            wire["id"] = self._hand_over(model.DataNode(data))
            return wire
        if isinstance(value, model.Node):
            return {"type": value.type_name, "value": self._hand_over(value), "isSpec": True}
        raise AddinError(f"Cannot answer with a {type(value).__name__}")

    def decode(self, wire):
        """A wire value from the Python side, with references resolved to their objects."""
        if not isinstance(wire, dict):
            raise AddinError("Malformed wire value")
        tag, payload = wire.get("type"), wire.get("value")
        if tag == "Null":
            return None
        if tag == "Bool":
            return bool(payload)
        if tag in ("Int", "Float"):
            try:
                return float(payload) if tag == "Float" else int(payload)
            except (TypeError, ValueError):
                raise AddinError(f"Malformed {tag} value: {payload!r}") from None
        if tag == "String":
            return str(payload)
        if tag == "Date":
            return _decode_date(payload)
        if tag == "Bytes":
            return base64.b64decode(payload or b"")
        if tag == "Array":
            return [self.decode(v) for v in payload or []]
        if tag == "Dict":
            return {k: self.decode(v) for k, v in (payload or {}).items()}
        if wire.get("isSpec"):
            if tag == "Python_Function":
                self.callables_seen.append(str(payload))
                return model.CallableRef(str(payload))
            return self.lookup(payload)
        return str(payload)
